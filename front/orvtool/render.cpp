#include "front/orvtool/render.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace orvtool {

namespace {

template <typename... F> struct Overloaded : F... {
    using F::operator()...;
};
// clang before 17 does not deduce an aggregate's template arguments.
template <typename... F> Overloaded(F...) -> Overloaded<F...>;

void write_json(std::ostream& out, const Result& result)
{
    JsonWriter j(out);
    j.begin_object();
    auto member = [&j](const Result::Field& f) { j.key(f.name).value(f.value); };
    for (const auto& entry : result.entries()) {
        std::visit(Overloaded{
                       [&](const Result::Field& f) { member(f); },
                       [](const Result::Text&) {},
                       [&](const Result::Labelled& l) { member(l.field); },
                       [&](const Result::Block& b) { j.key(b.name).value(hex_bytes(b.data, "")); },
                       [&](const Result::Tabled& t) {
                           j.key(t.name).begin_array();
                           for (const auto& row : t.table.rows) {
                               j.value(row.json);
                           }
                           j.end_array();
                       },
                   },
                   entry);
    }
    j.end_object().finish();
}

void write_cell(std::string& line, const Table::Column& column, const std::string& cell, bool last)
{
    line += cell;
    if (!last) {
        line.append(column.width > cell.size() ? column.width - cell.size() : 0, ' ');
        line.append(column.gap, ' ');
    }
}

void write_table(std::ostream& out, const Table& table)
{
    auto write_line = [&](auto cell_of) {
        std::string line;
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            write_cell(line, table.columns[c], terminal_text(cell_of(c)), c + 1 == table.columns.size());
        }
        out << line << "\n";
    };
    write_line([&](std::size_t c) -> const std::string& { return table.columns[c].heading; });
    for (const auto& row : table.rows) {
        write_line([&](std::size_t c) -> const std::string& { return row.cells.at(c); });
    }
}

void write_text(std::ostream& out, const Result& result)
{
    std::size_t label_width = 0;
    for (const auto& entry : result.entries()) {
        if (const auto* l = std::get_if<Result::Labelled>(&entry)) {
            label_width = std::max(label_width, l->label.size());
        }
    }
    for (const auto& entry : result.entries()) {
        std::visit(Overloaded{
                       [](const Result::Field&) {},
                       [&](const Result::Text& t) { out << terminal_text(t.lines); },
                       [&](const Result::Labelled& l) {
                           out << terminal_text(l.label) << std::string(label_width + 1 - l.label.size(), ' ')
                               << terminal_text(l.text) << "\n";
                       },
                       [&](const Result::Block& b) { hex_dump(out, b.base, b.data); },
                       [&](const Result::Tabled& t) { write_table(out, t.table); },
                   },
                   entry);
    }
}

} // namespace

void render(std::ostream& out, const Result& result, Style style)
{
    if (style == Style::json) {
        write_json(out, result);
    } else {
        write_text(out, result);
    }
}

std::string done_text(const Done& done)
{
    // The unit is plural ("bytes", "addresses"); one of it is singular.
    auto count_text = [](const Done::Count& c) {
        std::string unit = c.unit;
        if (c.total.value_or(c.done) == 1 && unit.ends_with("s")) {
            unit.resize(unit.size() - (unit.ends_with("sses") ? 2 : 1));
        }
        return std::to_string(c.done) + (c.total ? " of " + std::to_string(*c.total) : "") + " " + unit;
    };
    std::string text = done.action;
    for (std::size_t i = 0; i < done.counts.size(); ++i) {
        text += (i == 0 ? " " : i == 1 ? " (" : ", ") + count_text(done.counts[i]);
    }
    if (done.counts.size() > 1) {
        text += ")";
    }
    if (done.from) {
        text += " from " + hex(*done.from, done.address_digits);
    }
    if (done.stopped_at) {
        text += ", stopped at " + hex(*done.stopped_at, done.address_digits);
    }
    return text;
}

Value done_value(const Done& done)
{
    Value::Members members{{"action", done.action}};
    for (const auto& c : done.counts) {
        std::string key;
        for (char ch : c.unit) {
            key += ch == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        members.emplace_back(key, c.done);
        if (c.total) {
            members.emplace_back(key + "_total", *c.total);
        }
    }
    members.emplace_back("from", done.from);
    members.emplace_back("stopped_at", done.stopped_at);
    return Value::object(std::move(members));
}

void render_error(std::ostream& err, std::ostream& out, const ToolError& error, Style style,
                  const Result* details)
{
    err << "orvtool: " << terminal_text(error.what()) << "\n";
    for (const std::string* line : {&error.detail(), &error.hint()}) {
        if (!line->empty()) {
            err << "  " << terminal_text(*line) << "\n";
        }
    }
    Value::List done;
    for (const Done& d : error.done()) {
        err << "  done: " << terminal_text(done_text(d)) << "\n";
        done.push_back(done_value(d));
    }
    if (details != nullptr) {
        render(err, *details, Style::text);
    }
    if (style == Style::json) {
        Result object = Result()
                            .field("error", error.what())
                            .field("detail", error.detail().empty() ? Value() : Value(error.detail()))
                            .field("hint", error.hint().empty() ? Value() : Value(error.hint()))
                            .field("code", error.code())
                            .field("exit", static_cast<int>(error.exit()))
                            .field("done", Value::list(std::move(done)));
        if (details != nullptr) {
            object.append(*details);
        }
        render(out, object, Style::json);
    }
}

std::vector<std::string> fit_to_screen(std::string_view text, unsigned columns, unsigned rows,
                                       const std::function<std::string(std::size_t)>& more)
{
    const auto cut = [&](std::string_view line) {
        // Characters, not bytes: a UTF-8 sequence is one, and never split.
        std::size_t end = 0;
        for (unsigned shown = 0; end < line.size() && shown + 1 < std::max(columns, 2U); ++shown) {
            do {
                ++end;
            } while (end < line.size() && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80);
        }
        return std::string(line.substr(0, end));
    };
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        lines.push_back(cut(text.substr(from, end - from)));
        from = end + 1;
    }
    const std::size_t room = std::max(rows, 3U) - 1;
    if (lines.size() > room) {
        const std::size_t left_out = lines.size() - (room - 1);
        lines.resize(room - 1);
        lines.push_back(cut(more(left_out)));
    }
    return lines;
}

void hex_dump(std::ostream& out, std::uint64_t base_address, std::span<const std::uint8_t> bytes)
{
    char buf[16];
    for (std::size_t line = 0; line < bytes.size(); line += 16) {
        std::snprintf(buf, sizeof buf, "%08llx ", static_cast<unsigned long long>(base_address + line));
        out << buf;
        std::string ascii;
        for (std::size_t i = 0; i < 16; ++i) {
            if (i == 8) {
                out << ' ';
            }
            if (line + i < bytes.size()) {
                std::uint8_t b = bytes[line + i];
                std::snprintf(buf, sizeof buf, " %02x", b);
                out << buf;
                ascii += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
            } else {
                out << "   ";
            }
        }
        out << "  |" << ascii << "|\n";
    }
}

std::string json_escape(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out;
}

void JsonWriter::before_value()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) {
            out_ << ',';
        }
        first_.back() = false;
    }
}

JsonWriter& JsonWriter::open(char bracket)
{
    before_value();
    out_ << bracket;
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::close(char bracket)
{
    out_ << bracket;
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name)
{
    before_value();
    out_ << '"' << json_escape(name) << "\":";
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text)
{
    before_value();
    out_ << '"' << json_escape(text) << '"';
    return *this;
}

JsonWriter& JsonWriter::value(std::int64_t number)
{
    before_value();
    out_ << number;
    return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t number)
{
    before_value();
    out_ << number;
    return *this;
}

JsonWriter& JsonWriter::value(double number)
{
    if (!std::isfinite(number)) {
        return null();
    }
    before_value();
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", number);
    out_ << text;
    return *this;
}

JsonWriter& JsonWriter::value(bool flag)
{
    before_value();
    out_ << (flag ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::value(const Value& value)
{
    std::visit(Overloaded{
                   [&](std::monostate) { null(); },
                   [&](bool flag) { this->value(flag); },
                   [&](std::int64_t number) { this->value(number); },
                   [&](std::uint64_t number) { this->value(number); },
                   [&](double number) { this->value(number); },
                   [&](const std::string& text) { this->value(text); },
                   [&](const Value::List& items) {
                       begin_array();
                       for (const auto& item : items) {
                           this->value(item);
                       }
                       end_array();
                   },
                   [&](const Value::Members& members) {
                       begin_object();
                       for (const auto& [name, member] : members) {
                           key(name).value(member);
                       }
                       end_object();
                   },
               },
               value.data());
    return *this;
}

JsonWriter& JsonWriter::null()
{
    before_value();
    out_ << "null";
    return *this;
}

JsonWriter& JsonWriter::raw(std::string_view json)
{
    before_value();
    while (!json.empty() && json.back() == '\n') {
        json.remove_suffix(1);
    }
    out_ << json;
    return *this;
}

void JsonWriter::finish()
{
    out_ << '\n';
}

} // namespace orvtool
