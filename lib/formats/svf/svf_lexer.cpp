#include "lib/formats/svf/svf_lexer.hpp"

#include <cctype>

#include "lib/formats/svf/parse_error.hpp"

namespace orv::svf {

namespace {

bool is_blank(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_hex_digit(char c) noexcept
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// A printable ASCII character (isprint() in the C locale, without its call).
bool is_printable(char c) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x7F;
}

} // namespace

std::string printable(char c)
{
    if (std::isprint(static_cast<unsigned char>(c)) != 0) {
        return std::string("'") + c + "'";
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    return std::string("byte 0x") + DIGITS[byte >> 4] + DIGITS[byte & 0xF];
}

void Lexer::advance() noexcept
{
    if (text_[pos_] == '\n') {
        ++here_.line;
        here_.column = 1;
    } else {
        ++here_.column;
    }
    ++pos_;
}

bool Lexer::at_comment() const noexcept
{
    return text_[pos_] == '!' || (text_[pos_] == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/');
}

void Lexer::skip_blanks_and_comments()
{
    while (pos_ < text_.size()) {
        if (is_blank(text_[pos_])) {
            advance();
        } else if (at_comment()) {
            while (pos_ < text_.size() && text_[pos_] != '\n') {
                advance();
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
    token.where = here_;
    if (pos_ == text_.size()) {
        token.offset = pos_;
        return token;
    }
    const char c = text_[pos_];
    if (c == ';') {
        advance();
        token.kind = TokenKind::end_of_statement;
        token.text = text_.substr(pos_ - 1, 1);
        token.offset = pos_;
        return token;
    }
    if (c == '(') {
        advance();
        token.kind = TokenKind::value;
        for (;;) {
            skip_blanks_and_comments();
            if (pos_ == text_.size()) {
                throw ParseError(token.where, "'(' is not closed before the end of the file");
            }
            const char d = text_[pos_];
            if (d == ')') {
                advance();
                break;
            }
            if (!is_hex_digit(d) && !token.non_hex) {
                token.non_hex = here_;
                token.non_hex_char = d;
            }
            token.digits.push_back(d);
            advance();
        }
        token.offset = pos_;
        return token;
    }
    if (c == ')') {
        throw ParseError(here_, "')' without '('");
    }
    if (!is_printable(c)) {
        throw ParseError(here_, "unexpected " + printable(c));
    }
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !is_blank(text_[pos_]) && text_[pos_] != ';' && text_[pos_] != '(' &&
           text_[pos_] != ')' && !at_comment() && is_printable(text_[pos_])) {
        advance();
    }
    token.kind = TokenKind::word;
    token.text = text_.substr(start, pos_ - start);
    token.offset = pos_;
    return token;
}

} // namespace orv::svf
