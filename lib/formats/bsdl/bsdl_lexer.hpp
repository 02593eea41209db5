// BSDL's lexical level (VHDL's, as far as BSDL uses it): identifiers,
// numbers, string literals and punctuation, with "--" comments and blanks
// dropped. Tokens are made one at a time, so a file never becomes a list of
// tokens in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orv::bsdl::detail {

enum class TokenKind : std::uint8_t { identifier, number, string, symbol, end };

struct Token {
    TokenKind kind = TokenKind::end;
    // An identifier or number as written; a string's characters between its
    // quotes (a doubled quote still doubled); a symbol (":=" or one
    // character).
    std::string_view text;
    std::size_t offset = 0; // of its first character in the file (the opening quote of a string)
};

// A fault at a place in the file; parse() turns it into a ParseError.
struct Failure {
    std::size_t offset;
    std::string expected;
};

class Lexer {
public:
    explicit Lexer(std::string_view text) noexcept : text_(text) {}

    // The next token. Throws Failure for a character that cannot start a
    // token and for a string not closed on its line.
    [[nodiscard]] Token next();

private:
    void skip_blanks_and_comments() noexcept;

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace orv::bsdl::detail
