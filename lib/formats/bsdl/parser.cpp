// The BSDL parser: a loop over the entity's statements that keeps the
// attribute values it knows, then reads those values in a fixed order
// (ports, pin map, instructions, registers, boundary cells), each with a
// small grammar of its own over the text of its strings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <unordered_map>

#include "lib/formats/bsdl/bsdl.hpp"
#include "lib/formats/bsdl/bsdl_lexer.hpp"

namespace orv::bsdl {

namespace {

using detail::Failure;
using detail::Lexer;
using detail::Token;
using detail::TokenKind;

constexpr long MAX_RANGE_BOUND = 1'000'000'000;
constexpr std::size_t LONGEST_SHOWN = 40;
constexpr unsigned IDCODE_BITS = 32;

std::string upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::string in_quotes(std::string_view text)
{
    if (text.size() > LONGEST_SHOWN) {
        return "\"" + std::string(text.substr(0, LONGEST_SHOWN - 3)) + "...\"";
    }
    return "\"" + std::string(text) + "\"";
}

std::string described(const Token& token)
{
    switch (token.kind) {
    case TokenKind::identifier:
    case TokenKind::number:
        return in_quotes(token.text);
    case TokenKind::string:
        return "a string";
    case TokenKind::symbol:
        return "'" + std::string(token.text) + "'";
    case TokenKind::end:
        break;
    }
    return "the end of the file";
}

// ---- string values ----------------------------------------------------------

// The text of one attribute or constant: its string literals joined, with
// where each character came from, so that a fault inside the text is
// reported at its place in the file.
struct StringValue {
    struct Segment {
        std::size_t value_pos; // first character of the segment in `text`
        std::size_t source;    // its offset in the file
    };
    std::string text;
    std::vector<Segment> segments;
    std::size_t end = 0; // the closing quote of the last literal

    [[nodiscard]] std::size_t source_of(std::size_t pos) const noexcept
    {
        if (pos >= text.size() || segments.empty()) {
            return end;
        }
        const auto after = std::upper_bound(segments.begin(), segments.end(), pos,
                                            [](std::size_t p, const Segment& s) { return p < s.value_pos; });
        const Segment& segment = *(after - 1);
        return segment.source + (pos - segment.value_pos);
    }
};

// Scans the text of a StringValue: words (runs of characters other than
// blanks and the separators "(),:[]*") and separators.
class Scanner {
public:
    explicit Scanner(const StringValue& value) noexcept : value_(value), text_(value.text) {}

    [[noreturn]] void fail_at(std::size_t pos, std::string expected) const
    {
        throw Failure{value_.source_of(pos), std::move(expected)};
    }
    // Fails at the next word or separator, saying what was found there.
    [[noreturn]] void fail(const std::string& expected)
    {
        skip_blanks();
        fail_at(pos_, expected + ", got " + next_shown());
    }
    [[nodiscard]] bool at_end()
    {
        skip_blanks();
        return pos_ >= text_.size();
    }
    [[nodiscard]] std::size_t pos()
    {
        skip_blanks();
        return pos_;
    }
    bool accept(char c)
    {
        skip_blanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    void expect(char c, const std::string& what)
    {
        if (!accept(c)) {
            fail(what);
        }
    }
    // Takes the next word when it is `expected` (in any letter case).
    bool accept_word(std::string_view expected)
    {
        skip_blanks();
        std::size_t end = pos_;
        while (end < text_.size() && !is_separator(text_[end])) {
            ++end;
        }
        if (!same_name(text_.substr(pos_, end - pos_), expected)) {
            return false;
        }
        pos_ = end;
        return true;
    }
    std::string_view word(const std::string& what)
    {
        skip_blanks();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !is_separator(text_[pos_])) {
            ++pos_;
        }
        if (pos_ == start) {
            fail(what);
        }
        return text_.substr(start, pos_ - start);
    }
    unsigned number(const std::string& what, unsigned max)
    {
        const std::size_t at = pos();
        const std::string_view digits = word(what);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc{} || end != digits.data() + digits.size() || value > max) {
            fail_at(at, what + ", got " + in_quotes(digits));
        }
        return value;
    }
    // Entries separated by commas until the end of the text. A comma after
    // the last entry is forgiven: its place is returned for a notice.
    template <typename Entry> std::optional<std::size_t> list(Entry&& entry)
    {
        if (at_end()) {
            fail("an entry");
        }
        for (;;) {
            entry();
            if (at_end()) {
                return std::nullopt;
            }
            const std::size_t comma = pos();
            expect(',', "',' or the end of the string");
            if (at_end()) {
                return comma;
            }
        }
    }
    [[nodiscard]] std::size_t source_of(std::size_t pos) const noexcept { return value_.source_of(pos); }

private:
    static bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
    static bool is_separator(char c) noexcept
    {
        return is_blank(c) || std::string_view("(),:[]*").find(c) != std::string_view::npos;
    }
    void skip_blanks() noexcept
    {
        while (pos_ < text_.size() && is_blank(text_[pos_])) {
            ++pos_;
        }
    }
    std::string next_shown() const
    {
        if (pos_ >= text_.size()) {
            return "the end of the string";
        }
        if (is_separator(text_[pos_])) {
            return "'" + std::string(1, text_[pos_]) + "'";
        }
        std::size_t end = pos_;
        while (end < text_.size() && !is_separator(text_[end])) {
            ++end;
        }
        return in_quotes(text_.substr(pos_, end - pos_));
    }

    const StringValue& value_;
    std::string_view text_;
    std::size_t pos_ = 0;
};

// A bit string made of 0, 1 and X of a given length: uppercase, or an error
// at `at`.
std::string bits_of(Scanner& scanner, std::size_t at, std::string_view word, unsigned length,
                    const std::string& what)
{
    std::string bits = upper(word);
    const bool valid = bits.find_first_not_of("01X") == std::string::npos;
    if (!valid || bits.size() != length) {
        scanner.fail_at(at, what + " of " + std::to_string(length) + " bits of 0, 1 and X, got " +
                                in_quotes(word));
    }
    return bits;
}

// ---- the entity -------------------------------------------------------------

// The attributes of the entity that are read; the others are skipped.
enum class Attribute : std::uint8_t {
    component_conformance,
    pin_map,
    instruction_length,
    instruction_opcode,
    instruction_capture,
    instruction_private,
    idcode_register,
    usercode_register,
    register_access,
    boundary_length,
    boundary_register,
    compliance_patterns,
    design_warning,
    count
};

struct AttributeInfo {
    std::string_view name;
    bool is_integer; // else a string (PIN_MAP: a name or a string)
};

constexpr std::array<AttributeInfo, static_cast<std::size_t>(Attribute::count)> ATTRIBUTES{{
    {"COMPONENT_CONFORMANCE", false},
    {"PIN_MAP", false},
    {"INSTRUCTION_LENGTH", true},
    {"INSTRUCTION_OPCODE", false},
    {"INSTRUCTION_CAPTURE", false},
    {"INSTRUCTION_PRIVATE", false},
    {"IDCODE_REGISTER", false},
    {"USERCODE_REGISTER", false},
    {"REGISTER_ACCESS", false},
    {"BOUNDARY_LENGTH", true},
    {"BOUNDARY_REGISTER", false},
    {"COMPLIANCE_PATTERNS", false},
    {"DESIGN_WARNING", false},
}};

struct AttributeValue {
    bool present = false;
    std::size_t name_offset = 0;
    std::size_t value_offset = 0;
    long number = 0;
    StringValue string;
    std::string identifier; // PIN_MAP of PHYSICAL_PIN_MAP
};

struct Constant {
    std::string name;
    std::size_t offset = 0;
    bool pin_map = false;
    StringValue value;
};

class Parser {
public:
    explicit Parser(std::string_view text) : lexer_(text), budget_(2 * text.size() + (std::size_t{1} << 20))
    {
        advance();
    }

    Device parse();
    [[nodiscard]] const std::vector<std::pair<std::size_t, std::string>>& notices() const noexcept
    {
        return notices_;
    }
    [[nodiscard]] std::size_t dropped_notices() const noexcept { return notices_dropped_; }

private:
    // -- tokens
    void advance() { token_ = lexer_.next(); }
    [[nodiscard]] bool is_word(std::string_view word) const noexcept
    {
        return token_.kind == TokenKind::identifier && same_name(token_.text, word);
    }
    [[nodiscard]] bool is_symbol(std::string_view symbol) const noexcept
    {
        return token_.kind == TokenKind::symbol && token_.text == symbol;
    }
    [[noreturn]] void fail(const std::string& expected) const
    {
        throw Failure{token_.offset, expected + ", got " + described(token_)};
    }
    Token identifier(const std::string& what)
    {
        if (token_.kind != TokenKind::identifier) {
            fail(what);
        }
        Token t = token_;
        advance();
        return t;
    }
    void keyword(std::string_view word)
    {
        if (!is_word(word)) {
            fail("\"" + std::string(word) + "\"");
        }
        advance();
    }
    void symbol(std::string_view symbol, const std::string& what)
    {
        if (!is_symbol(symbol)) {
            fail(what);
        }
        advance();
    }
    // "( ITEM; ITEM ... );": the form of VHDL's generic and port lists.
    template <typename Item> void interface_list(Item&& item)
    {
        symbol("(", "'('");
        item();
        while (is_symbol(";")) {
            advance();
            item();
        }
        symbol(")", "';' or ')'");
        symbol(";", "';'");
    }
    long integer(const std::string& what);
    void skip_statement();
    void notice(std::size_t offset, std::string text);

    // -- statements
    void skip_package();
    void entity();
    void generic_clause();
    void port_clause();
    void add_ports(const std::vector<Token>& names, Direction direction, bool is_vector, long left,
                   long right, bool downto);
    void use_clause();
    void constant_statement();
    void attribute_statement();
    void tap_attribute(std::string_view key, const Token& name, const Token& target);
    StringValue string_value(const std::string& what);
    void append(StringValue& value, const StringValue& part);

    // -- reading the values
    void build();
    void read_pin_map();
    void read_instructions();
    void read_registers();
    void read_boundary_register();
    void read_compliance_patterns();
    std::optional<std::size_t> pin_reference(Scanner& scanner, const std::string& what);
    std::string bits_to_end(Scanner& scanner, unsigned length, const std::string& what);
    [[nodiscard]] AttributeValue& value(Attribute a) { return attributes_[static_cast<std::size_t>(a)]; }
    [[nodiscard]] std::size_t instruction_index(std::string_view name) const;

    Lexer lexer_;
    Token token_;
    std::size_t budget_; // characters string values may still take
    Device device_;
    std::size_t entity_offset_ = 0;
    std::size_t end_offset_ = 0;                                          // the entity's "end"
    std::optional<std::pair<std::string, std::size_t>> physical_pin_map_; // the generic's default
    std::vector<Constant> constants_;
    std::unordered_map<std::string, std::size_t> constant_by_name_;
    std::array<AttributeValue, static_cast<std::size_t>(Attribute::count)> attributes_{};
    std::unordered_map<std::string, std::size_t> port_by_name_;
    std::unordered_map<std::string, std::size_t> instruction_by_name_;
    std::vector<std::pair<std::size_t, std::string>> notices_;
    std::size_t notices_dropped_ = 0;
};

long Parser::integer(const std::string& what)
{
    bool negative = false;
    if (is_symbol("-")) {
        negative = true;
        advance();
    }
    if (token_.kind != TokenKind::number) {
        fail(what);
    }
    std::string digits(token_.text);
    std::erase(digits, '_');
    long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size() || value > MAX_RANGE_BOUND) {
        fail(what);
    }
    advance();
    return negative ? -value : value;
}

void Parser::notice(std::size_t offset, std::string text)
{
    if (notices_.size() < MAX_NOTICES) {
        notices_.emplace_back(offset, std::move(text));
    } else {
        ++notices_dropped_;
    }
}

// Up to the ';' that ends the statement, over parentheses that may hold ';'.
void Parser::skip_statement()
{
    long depth = 0;
    while (token_.kind != TokenKind::end) {
        if (is_symbol("(")) {
            ++depth;
        } else if (is_symbol(")")) {
            --depth;
        } else if (is_symbol(";") && depth <= 0) {
            advance();
            return;
        }
        advance();
    }
    fail("';'");
}

// package [body] NAME is ... end [package] [body] [NAME];
void Parser::skip_package()
{
    const std::size_t at = token_.offset;
    advance();
    if (is_word("body")) {
        advance();
    }
    const Token name = identifier("a package name");
    notice(at, "package " + std::string(name.text) + " skipped: its cell types are taken by name");
    while (token_.kind != TokenKind::end) {
        if (!is_word("end")) {
            advance();
            continue;
        }
        advance();
        while (is_word("package") || is_word("body") || is_word(name.text)) {
            advance();
        }
        if (is_symbol(";")) {
            advance();
            return;
        }
    }
    fail("the end of package " + std::string(name.text));
}

Device Parser::parse()
{
    bool have_entity = false;
    while (token_.kind != TokenKind::end) {
        if (is_word("entity")) {
            if (have_entity) {
                notice(token_.offset, "a second entity and what follows it skipped: one device per file");
                break;
            }
            entity();
            have_entity = true;
        } else if (is_word("package")) {
            skip_package();
        } else if (is_word("use") || is_word("library")) {
            skip_statement();
        } else {
            fail(have_entity ? "a package or the end of the file" : "\"entity\"");
        }
    }
    if (!have_entity) {
        fail("\"entity\"");
    }
    build();
    device_.index_ports();
    return std::move(device_);
}

void Parser::entity()
{
    entity_offset_ = token_.offset;
    advance();
    device_.entity = std::string(identifier("the entity's name").text);
    keyword("is");
    for (;;) {
        if (token_.kind == TokenKind::end) {
            fail("\"end " + device_.entity + ";\"");
        }
        const Token statement = token_;
        using Reader = void (Parser::*)();
        static constexpr std::array<std::pair<std::string_view, Reader>, 5> STATEMENTS{{
            {"generic", &Parser::generic_clause},
            {"port", &Parser::port_clause},
            {"use", &Parser::use_clause},
            {"constant", &Parser::constant_statement},
            {"attribute", &Parser::attribute_statement},
        }};
        const auto known = std::find_if(STATEMENTS.begin(), STATEMENTS.end(),
                                        [&](const auto& s) { return is_word(s.first); });
        if (known != STATEMENTS.end()) {
            advance();
            (this->*known->second)();
        } else if (is_word("end")) {
            end_offset_ = token_.offset;
            advance();
            if (is_word("entity")) {
                advance();
            }
            if (token_.kind == TokenKind::identifier) {
                if (!same_name(token_.text, device_.entity)) {
                    fail("the entity's name " + in_quotes(device_.entity));
                }
                advance();
            }
            symbol(";", "';'");
            return;
        } else if (token_.kind == TokenKind::identifier) {
            notice(statement.offset, "statement \"" + std::string(statement.text) + "\" skipped");
            skip_statement();
        } else {
            fail("a statement of the entity (generic, port, use, constant, attribute or end)");
        }
    }
}

// generic (PHYSICAL_PIN_MAP : string := "PACKAGE");
void Parser::generic_clause()
{
    interface_list([&] {
        const Token name = identifier("a generic's name");
        symbol(":", "':'");
        (void)identifier("the generic's type");
        std::optional<Token> default_value;
        if (is_symbol(":=")) {
            advance();
            if (token_.kind != TokenKind::string) {
                fail("a string");
            }
            default_value = token_;
            advance();
        }
        if (same_name(name.text, "PHYSICAL_PIN_MAP")) {
            if (default_value) {
                physical_pin_map_.emplace(std::string(default_value->text), default_value->offset + 1);
            }
        } else {
            notice(name.offset, "generic " + std::string(name.text) + " skipped");
        }
    });
}

// port (A, B : in bit; D : inout bit_vector (7 downto 0); ...);
void Parser::port_clause()
{
    interface_list([&] {
        std::vector<Token> names{identifier("a port's name")};
        while (is_symbol(",")) {
            advance();
            names.push_back(identifier("a port's name"));
        }
        symbol(":", "':' or ','");
        static constexpr std::array<std::pair<std::string_view, Direction>, 5> MODES{{
            {"in", Direction::in},
            {"out", Direction::out},
            {"inout", Direction::inout},
            {"buffer", Direction::buffer},
            {"linkage", Direction::linkage},
        }};
        const auto mode =
            std::find_if(MODES.begin(), MODES.end(), [&](const auto& m) { return is_word(m.first); });
        if (mode == MODES.end()) {
            fail("in, out, inout, buffer or linkage");
        }
        advance();
        if (is_word("bit")) {
            advance();
            add_ports(names, mode->second, false, 0, 0, false);
        } else if (is_word("bit_vector")) {
            advance();
            symbol("(", "'(' and a range");
            const long left = integer("a number");
            bool downto = false;
            if (is_word("downto")) {
                downto = true;
            } else if (!is_word("to")) {
                fail("to or downto");
            }
            advance();
            const long right = integer("a number");
            symbol(")", "')'");
            if (downto ? left < right : left > right) {
                throw Failure{names.front().offset, "a range that is not empty"};
            }
            add_ports(names, mode->second, true, left, right, downto);
        } else {
            fail("bit or bit_vector");
        }
    });
}

void Parser::add_ports(const std::vector<Token>& names, Direction direction, bool is_vector, long left,
                       long right, bool downto)
{
    const auto size = static_cast<std::size_t>((downto ? left - right : right - left) + 1);
    for (const Token& name : names) {
        if (device_.pins.size() + size > MAX_PINS) {
            throw Failure{name.offset, "at most " + std::to_string(MAX_PINS) + " port elements in all"};
        }
        if (!port_by_name_.emplace(upper(name.text), device_.ports.size()).second) {
            throw Failure{name.offset, "a port name not declared before, got " + in_quotes(name.text)};
        }
        Port port{std::string(name.text), direction, is_vector, left, right, downto, device_.pins.size()};
        for (std::size_t i = 0; i < size; ++i) {
            const long index = downto ? left - static_cast<long>(i) : left + static_cast<long>(i);
            Pin pin;
            pin.name = is_vector ? port.name + "(" + std::to_string(index) + ")" : port.name;
            pin.port = device_.ports.size();
            pin.index = is_vector ? index : 0;
            device_.pins.push_back(std::move(pin));
        }
        device_.ports.push_back(std::move(port));
    }
}

// use STD_1149_1_2001.all;
void Parser::use_clause()
{
    const Token package = identifier("a package's name");
    if (upper(package.text).starts_with("STD_1149_1_")) {
        device_.standard = std::string(package.text);
    } else {
        notice(package.offset,
               "package " + std::string(package.text) + " not read: its cell types are taken by name");
    }
    skip_statement();
}

// constant NAME : PIN_MAP_STRING := "..." & "...";
void Parser::constant_statement()
{
    const Token name = identifier("a constant's name");
    symbol(":", "':'");
    const Token type = identifier("the constant's type");
    symbol(":=", "':='");
    if (token_.kind != TokenKind::string) {
        notice(name.offset, "constant " + std::string(name.text) + " skipped");
        skip_statement();
        return;
    }
    StringValue value = string_value("a string");
    symbol(";", "'&' or ';'");
    if (!constant_by_name_.emplace(upper(name.text), constants_.size()).second) {
        throw Failure{name.offset, "a constant name not declared before, got " + in_quotes(name.text)};
    }
    constants_.push_back(Constant{std::string(name.text), name.offset, same_name(type.text, "PIN_MAP_STRING"),
                                  std::move(value)});
}

void Parser::append(StringValue& value, const StringValue& part)
{
    if (part.text.size() > budget_) {
        fail("strings of at most " + std::to_string(MAX_FILE_BYTES) + " characters");
    }
    budget_ -= part.text.size();
    for (const StringValue::Segment& s : part.segments) {
        value.segments.push_back({value.text.size() + s.value_pos, s.source});
    }
    value.text += part.text;
    value.end = part.end;
}

// "..." & "..." & CONSTANT
StringValue Parser::string_value(const std::string& what)
{
    StringValue value;
    for (;;) {
        if (token_.kind == TokenKind::string) {
            StringValue part;
            part.segments.push_back({0, token_.offset + 1});
            for (std::size_t i = 0; i < token_.text.size(); ++i) {
                part.text.push_back(token_.text[i]);
                if (token_.text[i] == '"') {
                    ++i; // "" is one quote
                    part.segments.push_back({part.text.size(), token_.offset + 2 + i});
                }
            }
            part.end = token_.offset + 1 + token_.text.size();
            append(value, part);
        } else if (token_.kind == TokenKind::identifier) {
            const auto c = constant_by_name_.find(upper(token_.text));
            if (c == constant_by_name_.end()) {
                fail(what + " (or the name of a string constant)");
            }
            append(value, constants_[c->second].value);
        } else {
            fail(what);
        }
        advance();
        if (!is_symbol("&")) {
            return value;
        }
        advance();
    }
}

// attribute NAME of TARGET : CLASS is VALUE;
void Parser::attribute_statement()
{
    const Token name = identifier("an attribute's name");
    if (is_symbol(":")) {
        notice(name.offset, "attribute declaration " + std::string(name.text) + " skipped");
        skip_statement();
        return;
    }
    keyword("of");
    const Token target = identifier("the entity or port the attribute is of");
    symbol(":", "':'");
    const Token kind = identifier("entity or signal");
    keyword("is");
    const std::string key = upper(name.text);
    if (key.starts_with("TAP_SCAN_")) {
        tap_attribute(key, name, target);
        return;
    }
    const auto known = std::find_if(ATTRIBUTES.begin(), ATTRIBUTES.end(),
                                    [&](const AttributeInfo& a) { return a.name == key; });
    if (known == ATTRIBUTES.end()) {
        notice(name.offset, "attribute " + std::string(name.text) + " skipped");
        skip_statement();
        return;
    }
    if (!same_name(kind.text, "entity")) {
        throw Failure{kind.offset, "entity, got " + in_quotes(kind.text)};
    }
    if (!same_name(target.text, device_.entity)) {
        throw Failure{target.offset,
                      "the entity's name " + in_quotes(device_.entity) + ", got " + in_quotes(target.text)};
    }
    AttributeValue& value = attributes_[static_cast<std::size_t>(known - ATTRIBUTES.begin())];
    if (value.present) {
        throw Failure{name.offset, "each attribute once: " + std::string(known->name) + " is given again"};
    }
    value.present = true;
    value.name_offset = name.offset;
    value.value_offset = token_.offset;
    if (known->is_integer) {
        value.number = integer("a number");
    } else if (key == "PIN_MAP" && token_.kind == TokenKind::identifier &&
               same_name(token_.text, "PHYSICAL_PIN_MAP")) {
        value.identifier = std::string(token_.text);
        advance();
    } else {
        value.string = string_value("a string");
    }
    symbol(";", known->is_integer ? "';'" : "'&' or ';'");
}

// attribute TAP_SCAN_IN of TDI : signal is true;
// attribute TAP_SCAN_CLOCK of TCK : signal is (10.0e6, BOTH);
void Parser::tap_attribute(std::string_view key, const Token& name, const Token& target)
{
    const auto port = port_by_name_.find(upper(target.text));
    if (port == port_by_name_.end() || device_.ports[port->second].is_vector) {
        throw Failure{target.offset, "a scalar port of the entity, got " + in_quotes(target.text)};
    }
    const std::size_t pin = device_.ports[port->second].first_pin;
    std::optional<std::size_t>* slot = key == "TAP_SCAN_IN"      ? &device_.tap.tdi
                                       : key == "TAP_SCAN_OUT"   ? &device_.tap.tdo
                                       : key == "TAP_SCAN_MODE"  ? &device_.tap.tms
                                       : key == "TAP_SCAN_RESET" ? &device_.tap.trst
                                       : key == "TAP_SCAN_CLOCK" ? &device_.tap.tck
                                                                 : nullptr;
    if (slot == nullptr) {
        notice(name.offset, "attribute " + std::string(name.text) + " skipped");
        skip_statement();
        return;
    }
    if (*slot) {
        throw Failure{name.offset, "each attribute once: " + std::string(key) + " is given again"};
    }
    *slot = pin;
    if (key == "TAP_SCAN_CLOCK") {
        symbol("(", "'(' and the highest TCK frequency");
        if (token_.kind != TokenKind::number) {
            fail("a frequency in Hz");
        }
        double hz = 0;
        const auto [end, error] =
            std::from_chars(token_.text.data(), token_.text.data() + token_.text.size(), hz);
        if (error != std::errc{} || end != token_.text.data() + token_.text.size() || !(hz >= 0)) {
            fail("a frequency in Hz");
        }
        device_.tap.tck_max_hz = hz;
        advance();
        symbol(",", "','");
        (void)identifier("LOW or BOTH (where TCK may stop)");
        symbol(")", "')'");
    } else {
        if (!is_word("true")) {
            fail("true");
        }
        advance();
    }
    symbol(";", "';'");
}

// ---- reading the values -------------------------------------------------------

std::string Parser::bits_to_end(Scanner& scanner, unsigned length, const std::string& what)
{
    const std::size_t at = scanner.pos();
    std::string joined;
    while (!scanner.at_end()) {
        joined += scanner.word(what);
    }
    return bits_of(scanner, at, joined, length, what);
}

// A port or vector element of the entity: PA0, D(3).
std::optional<std::size_t> Parser::pin_reference(Scanner& scanner, const std::string& what)
{
    const std::size_t at = scanner.pos();
    const std::string_view name = scanner.word(what);
    const auto port = port_by_name_.find(upper(name));
    if (port == port_by_name_.end()) {
        scanner.fail_at(at, what + ", got " + in_quotes(name) + ", which is not a port of " + device_.entity);
    }
    const Port& p = device_.ports[port->second];
    if (!scanner.accept('(')) {
        if (p.is_vector) {
            scanner.fail("an index of vector " + p.name);
        }
        return p.first_pin;
    }
    const std::size_t index_at = scanner.pos();
    if (!p.is_vector) {
        scanner.fail_at(index_at, "no index: " + p.name + " is not a vector");
    }
    const long low = std::min(p.left, p.right);
    const long high = std::max(p.left, p.right);
    const long index = scanner.number("an index of " + p.name + " (" + std::to_string(low) + " to " +
                                          std::to_string(high) + ")",
                                      static_cast<unsigned>(std::max(high, 0L)));
    if (index < low) {
        scanner.fail_at(index_at, "an index of " + p.name + " from " + std::to_string(low) + " to " +
                                      std::to_string(high) + ", got " + std::to_string(index));
    }
    scanner.expect(')', "')'");
    return p.first_pin + static_cast<std::size_t>(p.downto ? p.left - index : index - p.left);
}

void Parser::build()
{
    for (const auto& [offset, name] : std::array<std::pair<Attribute, std::string_view>, 4>{{
             {Attribute::instruction_length, "INSTRUCTION_LENGTH"},
             {Attribute::instruction_opcode, "INSTRUCTION_OPCODE"},
             {Attribute::boundary_length, "BOUNDARY_LENGTH"},
             {Attribute::boundary_register, "BOUNDARY_REGISTER"},
         }}) {
        if (!value(offset).present) {
            throw Failure{end_offset_, "attribute " + std::string(name) + " of " + device_.entity +
                                           " before the end of the entity"};
        }
    }
    if (const AttributeValue& v = value(Attribute::component_conformance); v.present) {
        device_.conformance = v.string.text;
    }
    read_pin_map();
    read_instructions();
    read_registers();
    read_boundary_register();
    read_compliance_patterns();
    if (const AttributeValue& v = value(Attribute::design_warning); v.present) {
        device_.design_warning = v.string.text;
    }
}

// "PA0 : 14, D : (3, 4, 5), VDD : (19, 32)"
void Parser::read_pin_map()
{
    const Constant* map = nullptr;
    const AttributeValue& attribute = value(Attribute::pin_map);
    std::string wanted;
    std::size_t wanted_at = 0;
    if (attribute.present && attribute.identifier.empty()) {
        wanted = attribute.string.text;
        wanted_at = attribute.value_offset;
    } else if (physical_pin_map_) {
        std::tie(wanted, wanted_at) = *physical_pin_map_;
    }
    // Vendors pad the name in its string: " TQFP  ".
    const auto first = wanted.find_first_not_of(" \t");
    wanted =
        first == std::string::npos ? "" : wanted.substr(first, wanted.find_last_not_of(" \t") + 1 - first);
    std::size_t maps = 0;
    std::string names;
    for (const Constant& c : constants_) {
        if (!c.pin_map) {
            continue;
        }
        ++maps;
        names += (names.empty() ? "" : ", ") + c.name;
        if (!wanted.empty() ? same_name(c.name, wanted) : map == nullptr) {
            map = &c;
        }
    }
    if (!wanted.empty() && map == nullptr) {
        // "UNDEFINED", or a package the file does not describe: the device
        // is read without package pins rather than with a guessed package.
        notice(wanted_at, "pin map " + in_quotes(wanted) + " is not in the file" +
                              (maps == 0 ? std::string() : " (its pin maps: " + names + ")") +
                              ": no package pins");
        return;
    }
    if (map == nullptr) {
        return; // a device without package pins
    }
    if (wanted.empty() && maps > 1) {
        notice(map->offset,
               "no package chosen: pin map " + map->name + " used, the first of " + std::to_string(maps));
    }
    device_.pin_map = map->name;
    Scanner scanner(map->value);
    std::vector<bool> mapped(device_.ports.size(), false);
    scanner.list([&] {
        const std::size_t at = scanner.pos();
        const std::string_view name = scanner.word("a port's name");
        const auto port = port_by_name_.find(upper(name));
        if (port == port_by_name_.end()) {
            scanner.fail_at(at, "a port of " + device_.entity + ", got " + in_quotes(name));
        }
        if (mapped[port->second]) {
            scanner.fail_at(at, "each port once in the pin map, got " + in_quotes(name) + " again");
        }
        mapped[port->second] = true;
        const Port& p = device_.ports[port->second];
        scanner.expect(':', "':'");
        std::vector<std::string> pins;
        const std::size_t list_at = scanner.pos();
        if (scanner.accept('(')) {
            do {
                pins.emplace_back(scanner.word("a package pin"));
            } while (scanner.accept(','));
            scanner.expect(')', "',' or ')'");
        } else {
            pins.emplace_back(scanner.word("a package pin or '(' and a list of them"));
        }
        if (p.is_vector && pins.size() != p.size()) {
            scanner.fail_at(list_at, "a list of " + std::to_string(p.size()) + " package pins for " + p.name +
                                         ", got " + std::to_string(pins.size()));
        }
        if (p.is_vector) {
            for (std::size_t i = 0; i < pins.size(); ++i) {
                device_.pins[p.first_pin + i].package_pins = {std::move(pins[i])};
            }
        } else {
            device_.pins[p.first_pin].package_pins = std::move(pins);
        }
    });
}

std::size_t Parser::instruction_index(std::string_view name) const
{
    const auto found = instruction_by_name_.find(upper(name));
    return found == instruction_by_name_.end() ? device_.instructions.size() : found->second;
}

void Parser::read_instructions()
{
    const AttributeValue& length = value(Attribute::instruction_length);
    if (length.number < 2 || length.number > MAX_INSTRUCTION_LENGTH) {
        throw Failure{length.value_offset, "an instruction length from 2 to " +
                                               std::to_string(MAX_INSTRUCTION_LENGTH) + ", got " +
                                               std::to_string(length.number)};
    }
    device_.instruction_length = static_cast<unsigned>(length.number);
    const unsigned bits = device_.instruction_length;

    // "EXTEST (00000, 11100), SAMPLE (00010)"
    Scanner opcodes(value(Attribute::instruction_opcode).string);
    std::size_t total = 0;
    opcodes.list([&] {
        const std::size_t at = opcodes.pos();
        const std::string_view name = opcodes.word("an instruction's name");
        if (device_.instructions.size() == MAX_INSTRUCTIONS) {
            opcodes.fail_at(at, "at most " + std::to_string(MAX_INSTRUCTIONS) + " instructions");
        }
        if (!instruction_by_name_.emplace(upper(name), device_.instructions.size()).second) {
            opcodes.fail_at(at, "each instruction once, got " + in_quotes(name) + " again");
        }
        Instruction instruction{std::string(name), {}, false};
        opcodes.expect('(', "'(' and the opcodes of " + instruction.name);
        do {
            const std::size_t code_at = opcodes.pos();
            if (++total > MAX_OPCODES) {
                opcodes.fail_at(code_at, "at most " + std::to_string(MAX_OPCODES) + " opcodes");
            }
            instruction.opcodes.push_back(
                bits_of(opcodes, code_at, opcodes.word("an opcode"), bits, "an opcode"));
        } while (opcodes.accept(','));
        opcodes.expect(')', "',' or ')'");
        device_.instructions.push_back(std::move(instruction));
    });

    if (const AttributeValue& capture = value(Attribute::instruction_capture); capture.present) {
        Scanner scanner(capture.string);
        device_.instruction_capture = bits_to_end(scanner, bits, "an instruction capture pattern");
    }
    if (const AttributeValue& hidden = value(Attribute::instruction_private); hidden.present) {
        Scanner scanner(hidden.string);
        scanner.list([&] {
            const std::size_t at = scanner.pos();
            const std::string_view name = scanner.word("an instruction's name");
            const std::size_t index = instruction_index(name);
            if (index == device_.instructions.size()) {
                notice(hidden.string.source_of(at),
                       "private instruction " + std::string(name) + " has no opcode: skipped");
            } else {
                device_.instructions[index].is_private = true;
            }
        });
    }
}

void Parser::read_registers()
{
    const auto code = [&](Attribute a, const char* what) -> std::optional<MaskedBits> {
        const AttributeValue& v = value(a);
        if (!v.present) {
            return std::nullopt;
        }
        Scanner scanner(v.string);
        const std::size_t at = scanner.pos();
        const std::string bits = bits_to_end(scanner, IDCODE_BITS, what);
        if (a == Attribute::idcode_register && bits.back() != '1') {
            scanner.fail_at(at, "an IDCODE whose last bit (bit 0) is 1, got " + in_quotes(bits));
        }
        return masked_bits(bits);
    };
    device_.idcode = code(Attribute::idcode_register, "an IDCODE");
    device_.usercode = code(Attribute::usercode_register, "a USERCODE");

    // "BOUNDARY (EXTEST, SAMPLE), USER1[32] (USER1 CAPTURES 0101), ..."
    const AttributeValue& access = value(Attribute::register_access);
    if (!access.present) {
        return;
    }
    Scanner scanner(access.string);
    scanner.list([&] {
        const std::string register_name(scanner.word("a register's name"));
        std::optional<unsigned> length;
        if (scanner.accept('[')) {
            const std::size_t length_at = scanner.pos();
            const std::string what =
                "a register length of 1 to " + std::to_string(MAX_REGISTER_LENGTH) + " bits";
            length = scanner.number(what, MAX_REGISTER_LENGTH);
            if (*length == 0) {
                scanner.fail_at(length_at, what + ", got 0");
            }
            scanner.expect(']', "']'");
        }
        scanner.expect('(', "'(' and the instructions that select " + register_name);
        do {
            const std::size_t at = scanner.pos();
            RegisterAccess entry{register_name, length, std::string(scanner.word("an instruction's name")),
                                 ""};
            if (instruction_index(entry.instruction) == device_.instructions.size()) {
                notice(access.string.source_of(at),
                       "instruction " + entry.instruction + " of REGISTER_ACCESS has no opcode");
            }
            if (scanner.accept_word("CAPTURES")) {
                const std::size_t bits_at = scanner.pos();
                const std::string_view bits = scanner.word("the bits it captures");
                entry.captures = upper(bits);
                if (entry.captures.find_first_not_of("01X") != std::string::npos) {
                    scanner.fail_at(bits_at, "bits of 0, 1 and X, got " + in_quotes(bits));
                }
            }
            device_.register_access.push_back(std::move(entry));
        } while (scanner.accept(','));
        scanner.expect(')', "',', ')' or CAPTURES");
    });
}

// "0 (BC_1, PA0, output3, X, 1, 1, Z), 1 (BC_1, *, control, 1), ..."
void Parser::read_boundary_register()
{
    const AttributeValue& length = value(Attribute::boundary_length);
    if (length.number < 1 || length.number > static_cast<long>(MAX_CELLS)) {
        throw Failure{length.value_offset, "a boundary length from 1 to " + std::to_string(MAX_CELLS) +
                                               ", got " + std::to_string(length.number)};
    }
    const auto cells = static_cast<unsigned>(length.number);
    device_.boundary_length = cells;
    const std::string below = "a cell number below " + std::to_string(cells) + " (BOUNDARY_LENGTH)";
    constexpr std::size_t NONE = ~std::size_t{0};
    std::vector<std::array<std::size_t, 2>> entries(cells, {NONE, NONE}); // of each number

    static constexpr std::array<std::pair<std::string_view, CellFunction>, 9> FUNCTIONS{{
        {"INPUT", CellFunction::input},
        {"CLOCK", CellFunction::clock},
        {"OUTPUT2", CellFunction::output2},
        {"OUTPUT3", CellFunction::output3},
        {"BIDIR", CellFunction::bidir},
        {"CONTROL", CellFunction::control},
        {"CONTROLR", CellFunction::controlr},
        {"INTERNAL", CellFunction::internal},
        {"OBSERVE_ONLY", CellFunction::observe_only},
    }};
    static constexpr std::array<std::pair<std::string_view, DisabledResult>, 6> RESULTS{{
        {"Z", DisabledResult::z},
        {"WEAK0", DisabledResult::weak0},
        {"WEAK1", DisabledResult::weak1},
        {"PULL0", DisabledResult::pull0},
        {"PULL1", DisabledResult::pull1},
        {"KEEPER", DisabledResult::keeper},
    }};
    const auto bit = [](Scanner& scanner, bool x_allowed, const std::string& what) {
        const std::size_t at = scanner.pos();
        const std::string_view word = scanner.word(what);
        if (word == "0" || word == "1") {
            return word == "0" ? Bit::zero : Bit::one;
        }
        if (x_allowed && same_name(word, "X")) {
            return Bit::x;
        }
        scanner.fail_at(at, what + ", got " + in_quotes(word));
    };

    Scanner scanner(value(Attribute::boundary_register).string);
    std::vector<std::size_t> cell_at; // where each cell is written
    const auto comma = scanner.list([&] {
        Cell cell;
        const std::size_t at = scanner.pos();
        cell_at.push_back(scanner.source_of(at));
        cell.number = scanner.number(below, cells - 1);
        std::array<std::size_t, 2>& slots = entries[cell.number];
        if (slots[1] != NONE) {
            scanner.fail_at(at, "each cell number at most twice (a merged cell), got " +
                                    std::to_string(cell.number) + " a third time");
        }
        (slots[0] == NONE ? slots[0] : slots[1]) = device_.cells.size();
        scanner.expect('(', "'(' and the cell's description");
        cell.type = upper(scanner.word("a cell type such as BC_1"));
        scanner.expect(',', "','");
        if (!scanner.accept('*')) {
            cell.pin = pin_reference(scanner, "a port or '*'");
        }
        scanner.expect(',', "','");
        const std::size_t function_at = scanner.pos();
        const std::string_view function_word = scanner.word("a cell function");
        const std::string function = upper(function_word);
        const auto f = std::find_if(FUNCTIONS.begin(), FUNCTIONS.end(),
                                    [&](const auto& e) { return e.first == function; });
        if (f == FUNCTIONS.end()) {
            scanner.fail_at(function_at, "a cell function (input, clock, output2, output3, bidir, control, "
                                         "controlr, internal or observe_only), got " +
                                             in_quotes(function_word));
        }
        cell.function = f->second;
        scanner.expect(',', "','");
        cell.safe = bit(scanner, true, "a safe value (0, 1 or X)");
        if (scanner.accept(',')) {
            cell.control = scanner.number("a control cell number below " + std::to_string(cells), cells - 1);
            scanner.expect(',', "','");
            cell.disable_value = bit(scanner, false, "a disable value (0 or 1)");
            scanner.expect(',', "','");
            const std::size_t result_at = scanner.pos();
            const std::string_view result_word = scanner.word("a disabled result");
            const std::string result = upper(result_word);
            const auto r = std::find_if(RESULTS.begin(), RESULTS.end(),
                                        [&](const auto& e) { return e.first == result; });
            if (r == RESULTS.end()) {
                scanner.fail_at(result_at,
                                "a disabled result (Z, WEAK0, WEAK1, PULL0, PULL1 or KEEPER), got " +
                                    in_quotes(result_word));
            }
            cell.disabled_result = r->second;
        }
        scanner.expect(')', "')', or ',' and the control cell");
        device_.cells.push_back(std::move(cell));
    });
    if (comma) {
        notice(scanner.source_of(*comma), "a ',' after the last cell of BOUNDARY_REGISTER: ignored");
    }

    // Which cells capture, drive and enable each pin.
    for (std::size_t k = 0; k < device_.cells.size(); ++k) {
        const Cell& cell = device_.cells[k];
        if (!cell.pin) {
            continue;
        }
        Pin& pin = device_.pins[*cell.pin];
        const CellFunction f = cell.function;
        if ((f == CellFunction::input || f == CellFunction::clock || f == CellFunction::observe_only ||
             f == CellFunction::bidir) &&
            !pin.input_cell) {
            pin.input_cell = k;
        }
        if ((f == CellFunction::output2 || f == CellFunction::output3 || f == CellFunction::bidir) &&
            !pin.output_cell) {
            pin.output_cell = k;
            if (cell.control) {
                const auto& slots = entries[*cell.control];
                const bool second_is_control =
                    slots[1] != NONE && (device_.cells[slots[1]].function == CellFunction::control ||
                                         device_.cells[slots[1]].function == CellFunction::controlr);
                if (slots[0] != NONE) {
                    pin.control_cell = second_is_control ? slots[1] : slots[0];
                } else {
                    notice(value(Attribute::boundary_register).name_offset,
                           "control cell " + std::to_string(*cell.control) + " of " + pin.name +
                               " is not described");
                }
            }
        }
    }
    const auto missing = static_cast<std::size_t>(
        std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e[0] == NONE; }));
    if (missing > 0) {
        const auto first =
            std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e[0] == NONE; });
        notice(length.value_offset,
               "BOUNDARY_LENGTH is " + std::to_string(cells) + ", BOUNDARY_REGISTER describes " +
                   std::to_string(cells - missing) + " cell numbers: " +
                   (missing == 1
                        ? "cell " + std::to_string(first - entries.begin()) + " is taken as an internal cell"
                        : std::to_string(missing) + " cells (the first is cell " +
                              std::to_string(first - entries.begin()) + ") are taken as internal cells"));
    }

    // A port the pin map leaves out: its cells work, but a board's pins
    // cannot be found by package pin.
    if (!device_.pin_map.empty()) {
        std::vector<bool> told(device_.ports.size(), false);
        for (std::size_t k = 0; k < device_.cells.size(); ++k) {
            const auto pin = device_.cells[k].pin;
            if (!pin || !device_.pins[*pin].package_pins.empty() || told[device_.pins[*pin].port]) {
                continue;
            }
            const std::size_t port = device_.pins[*pin].port;
            told[port] = true;
            notice(cell_at[k], "port " + device_.ports[port].name +
                                   " has boundary cells but no package pin in " + device_.pin_map);
        }
    }
}

// "(NRST, TEST) (01, 11)"
void Parser::read_compliance_patterns()
{
    const AttributeValue& v = value(Attribute::compliance_patterns);
    if (!v.present) {
        return;
    }
    Scanner scanner(v.string);
    CompliancePatterns patterns;
    scanner.expect('(', "'(' and the pins of the compliance patterns");
    do {
        patterns.pins.push_back(*pin_reference(scanner, "a port"));
    } while (scanner.accept(','));
    scanner.expect(')', "',' or ')'");
    scanner.expect('(', "'(' and the patterns");
    do {
        const std::size_t at = scanner.pos();
        patterns.patterns.push_back(bits_of(scanner, at, scanner.word("a pattern"),
                                            static_cast<unsigned>(patterns.pins.size()), "a pattern"));
    } while (scanner.accept(','));
    scanner.expect(')', "',' or ')'");
    if (!scanner.at_end()) {
        scanner.fail("the end of the string");
    }
    device_.compliance_patterns = std::move(patterns);
}

// Line and column (from 1) of each offset, in one pass over the text.
std::vector<std::pair<unsigned, unsigned>> positions(std::string_view text,
                                                     const std::vector<std::size_t>& offsets)
{
    std::vector<std::size_t> order(offsets.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return offsets[a] < offsets[b]; });
    std::vector<std::pair<unsigned, unsigned>> out(offsets.size());
    unsigned line = 1;
    std::size_t line_start = 0;
    std::size_t scanned = 0;
    for (const std::size_t i : order) {
        const std::size_t offset = std::min(offsets[i], text.size());
        for (; scanned < offset; ++scanned) {
            if (text[scanned] == '\n') {
                ++line;
                line_start = scanned + 1;
            }
        }
        out[i] = {line, static_cast<unsigned>(offset - line_start + 1)};
    }
    return out;
}

} // namespace

std::string ParseError::message() const
{
    if (line == 0) {
        return file + ": expected " + expected;
    }
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": expected " + expected;
}

ParseResult parse(std::string_view text, std::string_view file_name) noexcept
{
    ParseResult result;
    try {
        result.error.file = std::string(file_name);
        if (text.size() > MAX_FILE_BYTES) {
            result.error.expected = "a file of at most " + std::to_string(MAX_FILE_BYTES) + " bytes, got " +
                                    std::to_string(text.size());
            return result;
        }
        Parser parser(text);
        Device device = parser.parse();
        std::vector<std::size_t> offsets;
        for (const auto& [offset, notice] : parser.notices()) {
            offsets.push_back(offset);
        }
        const auto where = positions(text, offsets);
        for (std::size_t i = 0; i < where.size(); ++i) {
            device.notices.push_back(Notice{where[i].first, where[i].second, parser.notices()[i].second});
        }
        std::stable_sort(device.notices.begin(), device.notices.end(), [](const Notice& a, const Notice& b) {
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
        if (parser.dropped_notices() > 0) {
            device.notices.push_back(
                Notice{0, 0, std::to_string(parser.dropped_notices()) + " more notices not kept"});
        }
        result.device = std::move(device);
    } catch (const Failure& failure) {
        const auto where = positions(text, {failure.offset});
        result.error.line = where.front().first;
        result.error.column = where.front().second;
        result.error.expected = failure.expected;
    } catch (const std::exception&) {
        result.error.line = 0;
        result.error.expected = "a file that can be read within the memory at hand";
    }
    return result;
}

FileText read_regular_file(const std::filesystem::path& path, std::size_t max_bytes) noexcept
{
    FileText out;
    try {
        // O_NONBLOCK: opening a FIFO must not wait for its writer.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            out.problem = std::strerror(errno);
            return out;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const int error = errno;
            ::close(fd);
            out.problem = S_ISDIR(st.st_mode)                          ? "not a directory"
                          : S_ISFIFO(st.st_mode)                       ? "not a FIFO"
                          : S_ISSOCK(st.st_mode)                       ? "not a socket"
                          : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "not a device"
                          : error != 0                                 ? std::strerror(error)
                                                                       : "not a regular file";
            return out;
        }
        if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
            ::close(fd);
            out.problem = "larger than " + std::to_string(max_bytes) + " bytes";
            return out;
        }
        out.text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < out.text.size()) {
            const ssize_t n = ::read(fd, out.text.data() + done, out.text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                const int error = n < 0 ? errno : 0;
                ::close(fd);
                out.text.clear();
                out.problem =
                    error != 0 ? std::strerror(error) : "shorter than its size: it changed while read";
                return out;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    } catch (const std::exception&) {
        out.text.clear();
        out.problem = "larger than the memory at hand";
    }
    return out;
}

ParseResult read_file(const std::filesystem::path& path) noexcept
{
    FileText file = read_regular_file(path, MAX_FILE_BYTES);
    if (!file.problem.empty()) {
        ParseResult result;
        result.error.file = path.string();
        result.error.expected = file.problem.starts_with("larger than")
                                    ? "a BSDL file of at most " + std::to_string(MAX_FILE_BYTES) + " bytes"
                                : file.problem.starts_with("not a ")
                                    ? "a readable BSDL file, " + file.problem
                                    : "a readable BSDL file (" + file.problem + ")";
        return result;
    }
    return parse(file.text, path.string());
}

} // namespace orv::bsdl
