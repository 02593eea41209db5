// SVF's lexical level: words, parenthesised hex values and the ';' that ends
// a statement, with comments ("!" or "//" to the end of the line) and blanks
// dropped. A value may run over several lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "lib/formats/svf/program.hpp"

namespace orv::svf {

enum class TokenKind : std::uint8_t { word, value, end_of_statement, end_of_file };

struct Token {
    TokenKind kind = TokenKind::end_of_file;
    std::string_view text; // a word as written
    // A value: what is between the parentheses, blanks and comments dropped,
    // and where its first character that is not a hex digit is, if any (PIO
    // and PIOMAP have such values; every other command wants hex).
    std::string digits;
    std::optional<Location> non_hex;
    char non_hex_char = 0;
    Location where;         // of the word, the '(' or the ';'
    std::size_t offset = 0; // just past the token
};

// 'c', or "byte 0x07" for what does not print.
[[nodiscard]] std::string printable(char c);

class Lexer {
public:
    explicit Lexer(std::string_view text) noexcept : text_(text) {}

    // The next token. Throws ParseError for a character that cannot start a
    // token and for a value not closed before the end of the file.
    [[nodiscard]] Token next();

private:
    void skip_blanks_and_comments();
    [[nodiscard]] bool at_comment() const noexcept;
    void advance() noexcept;

    std::string_view text_;
    std::size_t pos_ = 0;
    Location here_;
};

} // namespace orv::svf
