#include "lib/formats/bsdl/bsdl_lexer.hpp"

#include "lib/formats/bsdl/bsdl.hpp"

#include <cctype>

namespace orv::bsdl::detail {

namespace {

bool is_letter(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_digit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// Blanks of VHDL: space, tabs, line ends, form feed; a carriage return too.
bool is_blank(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string shown(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x21 && byte < 0x7F) {
        return std::string("'") + c + "'";
    }
    static constexpr char HEX[] = "0123456789abcdef";
    return std::string("byte 0x") + HEX[byte >> 4] + HEX[byte & 15];
}

} // namespace

} // namespace orv::bsdl::detail

namespace orv::bsdl {

bool same_name(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace orv::bsdl

namespace orv::bsdl::detail {

void Lexer::skip_blanks_and_comments() noexcept
{
    while (pos_ < text_.size()) {
        if (is_blank(text_[pos_])) {
            ++pos_;
        } else if (text_.compare(pos_, 2, "--") == 0) {
            while (pos_ < text_.size() && text_[pos_] != '\n') {
                ++pos_;
            }
        } else {
            return;
        }
    }
}

Token Lexer::next()
{
    skip_blanks_and_comments();
    Token token;
    token.offset = pos_;
    if (pos_ >= text_.size()) {
        return token;
    }
    const std::size_t start = pos_;
    const char c = text_[pos_];
    if (is_letter(c)) {
        while (pos_ < text_.size() &&
               (is_letter(text_[pos_]) || is_digit(text_[pos_]) || text_[pos_] == '_')) {
            ++pos_;
        }
        token.kind = TokenKind::identifier;
    } else if (is_digit(c)) {
        // Integers and reals: 406, 10.0e6, 1.0E+07.
        while (pos_ < text_.size() && (is_digit(text_[pos_]) || text_[pos_] == '_')) {
            ++pos_;
        }
        if (pos_ + 1 < text_.size() && text_[pos_] == '.' && is_digit(text_[pos_ + 1])) {
            ++pos_;
            while (pos_ < text_.size() && is_digit(text_[pos_])) {
                ++pos_;
            }
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            std::size_t exponent = pos_ + 1;
            if (exponent < text_.size() && (text_[exponent] == '+' || text_[exponent] == '-')) {
                ++exponent;
            }
            if (exponent < text_.size() && is_digit(text_[exponent])) {
                pos_ = exponent;
                while (pos_ < text_.size() && is_digit(text_[pos_])) {
                    ++pos_;
                }
            }
        }
        token.kind = TokenKind::number;
    } else if (c == '"') {
        // A string ends on its line; "" inside it is one quote.
        ++pos_;
        for (;;) {
            if (pos_ >= text_.size() || text_[pos_] == '\n' || text_[pos_] == '\r') {
                throw Failure{pos_, "a closing '\"' before the end of the line"};
            }
            if (text_[pos_] == '"') {
                if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                    pos_ += 2;
                    continue;
                }
                break;
            }
            ++pos_;
        }
        token.kind = TokenKind::string;
        token.text = text_.substr(start + 1, pos_ - start - 1);
        ++pos_;
        return token;
    } else if (c == ':' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '=') {
        pos_ += 2;
        token.kind = TokenKind::symbol;
    } else if (std::string_view("();:,&*./[]'=<>+-#|").find(c) != std::string_view::npos) {
        ++pos_;
        token.kind = TokenKind::symbol;
    } else {
        throw Failure{pos_, "a name, a number, a string or punctuation, got " + shown(c)};
    }
    token.text = text_.substr(start, pos_ - start);
    return token;
}

} // namespace orv::bsdl::detail
