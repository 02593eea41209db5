#include "lib/formats/layout/layout.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <numeric>

namespace orv::layout {

namespace {

bool is_blank(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

struct Word {
    std::string_view text;
    unsigned column = 0; // from 1
};

// The words of a line, split at blanks, with their columns.
std::vector<Word> words_of(std::string_view line)
{
    std::vector<Word> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !is_blank(line[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(Word{line.substr(start, i - start), static_cast<unsigned>(start + 1)});
        }
    }
    return words;
}

enum class NumberFault { none, not_hex, too_large };

// A hex number, 0x optional, below ADDRESS_LIMIT.
NumberFault hex_number(std::string_view text, std::uint64_t& value) noexcept
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || end != text.data() + text.size() ||
        (error != std::errc{} && error != std::errc::result_out_of_range)) {
        return NumberFault::not_hex;
    }
    return error == std::errc::result_out_of_range || value >= ADDRESS_LIMIT ? NumberFault::too_large
                                                                             : NumberFault::none;
}

std::string hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

// A name shown in a message: control characters as \xNN.
std::string shown(std::string_view name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

class Reader {
public:
    explicit Reader(std::string file) { layout_.file = std::move(file); }

    // False, with error(), at the first fault.
    bool line(std::string_view text, unsigned number)
    {
        const std::vector<Word> words = words_of(text);
        if (words.empty() || words[0].text.front() == '#') {
            return true;
        }
        const Word& range = words[0];
        const auto colon = range.text.find(':');
        if (colon == std::string_view::npos || words.size() < 2 ||
            (words.size() > 2 && words[2].text.front() != '#')) {
            return fail(
                number, words[0].column,
                "expected START:END NAME (hex, END the last byte, as 00000000:0000ffff boot), got \"" +
                    shown(text) + "\"");
        }
        Region r;
        r.line = number;
        const std::string_view start_text = range.text.substr(0, colon);
        const std::string_view end_text = range.text.substr(colon + 1);
        const unsigned end_column = range.column + static_cast<unsigned>(colon) + 1;
        if (!number_at(start_text, number, range.column, r.start) ||
            !number_at(end_text, number, end_column, r.end)) {
            return false;
        }
        const Word& name = words[1];
        r.name = std::string(name.text);
        if (r.end < r.start) {
            return fail(number, end_column,
                        "region " + shown(r.name) + " ends (" + hex(r.end) + ") before it starts (" +
                            hex(r.start) + ")");
        }
        if (name.text.size() > MAX_NAME) {
            return fail(number, name.column,
                        "a region name of at most " + std::to_string(MAX_NAME) + " characters");
        }
        if (std::any_of(name.text.begin(), name.text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
            return fail(number, name.column,
                        "a region name without control characters, got \"" + shown(r.name) + "\"");
        }
        const auto [at, added] = layout_.by_name.emplace(r.name, layout_.regions.size());
        if (!added) {
            return fail(number, name.column,
                        "region " + shown(r.name) + " is named twice (first on line " +
                            std::to_string(layout_.regions[at->second].line) + ")");
        }
        layout_.regions.push_back(std::move(r));
        return true;
    }

    // The checks of the whole file; false, with error(), at a fault.
    bool finish()
    {
        if (layout_.regions.empty()) {
            return fail(0, 0, "no region in the layout");
        }
        // Sorted by start, a region overlaps an earlier one exactly when it
        // starts at or before the furthest end so far.
        std::vector<std::size_t> order(layout_.regions.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return layout_.regions[a].start < layout_.regions[b].start;
        });
        std::size_t furthest = order.front();
        for (std::size_t k = 1; k < order.size(); ++k) {
            const Region& r = layout_.regions[order[k]];
            const Region& before = layout_.regions[furthest];
            if (r.start <= before.end) {
                // Said on the later line of the two, naming the other.
                const bool later = r.line > before.line;
                const Region& at = later ? r : before;
                const Region& other = later ? before : r;
                return fail(at.line, 1,
                            "region " + shown(at.name) + " (" + hex(at.start) + ".." + hex(at.end) +
                                ") overlaps region " + shown(other.name) + " (" + hex(other.start) + ".." +
                                hex(other.end) + ", line " + std::to_string(other.line) + ")");
            }
            if (r.end > before.end) {
                furthest = order[k];
            }
        }
        return true;
    }

    // Room for `lines` regions at most, so that neither the list nor the
    // names' index grows line by line.
    void expect(std::size_t lines)
    {
        layout_.regions.reserve(lines);
        layout_.by_name.reserve(lines);
    }

    Layout take() { return std::move(layout_); }
    const Error& error() const { return error_; }

private:
    bool number_at(std::string_view text, unsigned line, unsigned column, std::uint64_t& value)
    {
        switch (hex_number(text, value)) {
        case NumberFault::none:
            return true;
        case NumberFault::too_large:
            return fail(line, column,
                        "\"" + shown(text) + "\" lies past four address bytes (at most 0xffffffff)");
        case NumberFault::not_hex:
            break;
        }
        return fail(line, column, "a hex number, got \"" + shown(text) + "\"");
    }

    bool fail(unsigned line, unsigned column, std::string reason)
    {
        error_ = Error{layout_.file, line, column, std::move(reason)};
        return false;
    }

    Layout layout_;
    Error error_;
};

} // namespace

std::optional<std::size_t> Layout::find(std::string_view name) const
{
    const auto it = by_name.find(std::string(name));
    return it == by_name.end() ? std::nullopt : std::optional(it->second);
}

std::string Error::message() const
{
    if (line == 0) {
        return file + ": " + reason;
    }
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + reason;
}

ParseResult parse(std::string_view text, std::string file)
{
    ParseResult result;
    Reader reader(std::move(file));
    reader.expect(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    unsigned number = 1;
    for (std::size_t from = 0; from <= text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        if (!reader.line(text.substr(from, end - from), number)) {
            result.error = reader.error();
            return result;
        }
        from = end + 1;
    }
    if (!reader.finish()) {
        result.error = reader.error();
        return result;
    }
    result.layout = reader.take();
    return result;
}

} // namespace orv::layout
