// What a command found or did, as data: main hands it to the renderer, which
// prints it as text or as one JSON object. A result is a list of entries in
// order; each has a JSON member (a name and a value), a text form, or both.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "front/orvtool/errors.hpp"
#include "front/orvtool/format.hpp"

namespace orvtool {

// A JSON value: null, a flag, a number, a string, a list, or an object whose
// members keep their order.
class Value {
public:
    using List = std::vector<Value>;
    using Members = std::vector<std::pair<std::string, Value>>;

    Value() = default; // null
    Value(bool flag) : data_(flag) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) Value(T number)
    {
        if constexpr (std::is_signed_v<T>) {
            data_ = static_cast<std::int64_t>(number);
        } else {
            data_ = static_cast<std::uint64_t>(number);
        }
    }
    Value(double number) : data_(number) {} // null when not finite
    Value(std::string text) : data_(std::move(text)) {}
    // Null for a null pointer (an unknown name, say).
    Value(const char* text)
    {
        if (text != nullptr) {
            data_ = std::string(text);
        }
    }
    // Null when empty.
    template <typename T> Value(const std::optional<T>& value)
    {
        if (value) {
            *this = Value(*value);
        }
    }

    static Value list(List items);
    static Value object(Members members);

    using Data =
        std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, List, Members>;
    const Data& data() const { return data_; }

private:
    Data data_;
};

// A table: in JSON a list of one object per row, in text a heading line and
// a line per row in columns. A cell is padded to its column's width (longer
// ones push the rest along), then `gap` spaces follow; the last column is
// neither padded nor followed.
struct Table {
    struct Column {
        std::string heading;
        std::size_t width = 0;
        std::size_t gap = 1;
    };
    struct Row {
        Value json;
        std::vector<std::string> cells;
    };
    std::vector<Column> columns;
    std::vector<Row> rows;
};

class Result {
public:
    // JSON only.
    Result& field(std::string name, Value value);
    // Text only: one line, without its newline.
    Result& line(std::string text);
    // Text only: lines as they stand, each with its newline.
    Result& text(std::string lines);
    // A value in both: in text "label text", the texts of all labelled
    // entries aligned one space after the longest label.
    Result& labelled(std::string name, Value value, std::string label, std::string text);
    Result& labelled(std::string name, const std::string& text, std::string label);
    // A byte block: in JSON a hex string, in text a hexdump -C style dump
    // whose offsets start at `base`.
    Result& bytes(std::string name, std::uint64_t base, Bytes data);
    Result& table(std::string name, Table table);
    // The result goes to standard error: standard output carries data (spi
    // read -o -).
    Result& to_stderr()
    {
        on_stderr_ = true;
        return *this;
    }
    bool on_stderr() const { return on_stderr_; }
    // The command ran to its end and found what fails it (a board that fails
    // its test): main prints the result as always, then `message` as the
    // error on stderr, and exits with status 1.
    Result& finding(std::string message)
    {
        finding_ = std::move(message);
        return *this;
    }
    const std::optional<std::string>& finding() const { return finding_; }
    // The command has printed its result itself, as it went on (a command
    // that runs until Ctrl-C): main prints nothing more.
    Result& shown()
    {
        shown_ = true;
        return *this;
    }
    bool is_shown() const { return shown_; }
    // The result in a few words, for the one line a run on many adapters
    // (--each) gives each of them ("1 MiB written (...), verified"); without
    // one that line shows the result's text when it is a single line.
    Result& summary(std::string text)
    {
        summary_ = std::move(text);
        return *this;
    }
    const std::string& summary() const { return summary_; }
    // Every entry of `other`, after these.
    Result& append(const Result& other);

    struct Field {
        std::string name;
        Value value;
    };
    struct Text {
        std::string lines;
    };
    struct Labelled {
        Field field;
        std::string label;
        std::string text;
    };
    struct Block {
        std::string name;
        std::uint64_t base = 0;
        Bytes data;
    };
    struct Tabled {
        std::string name;
        Table table;
    };
    using Entry = std::variant<Field, Text, Labelled, Block, Tabled>;
    const std::vector<Entry>& entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
    bool on_stderr_ = false;
    std::optional<std::string> finding_;
    bool shown_ = false;
    std::string summary_;
};

// A failure with a result of its own (what was done before it, and the
// failure in detail): main prints the message and hint as for any ToolError,
// then the result's text on stderr; with --json the result's fields join the
// error object.
class ResultError : public ToolError {
public:
    ResultError(ToolError error, Result details) : ToolError(std::move(error)), details_(std::move(details))
    {
    }
    const Result& details() const { return details_; }

private:
    Result details_;
};

} // namespace orvtool
