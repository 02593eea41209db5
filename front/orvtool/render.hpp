// The one printer of results and failures: as text for people, or as one
// JSON object on one line for programs (--json). Also its two building
// blocks, the hex dump and the JSON writer. Every text goes out through
// terminal_text() (format.hpp), as JSON strings go out escaped: names and
// messages carry what files and the adapter put in them.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "front/orvtool/command_result.hpp"
#include "front/orvtool/errors.hpp"

namespace orvtool {

enum class Style { text, json };

void render(std::ostream& out, const Result& result, Style style);

// A failure: "orvtool: <message>", the library's detail, the hint and what the command had done
// ("  done: programmed 2048 of 4096 bytes ...") as text on `err`; with
// Style::json also one JSON object on `out` (error, hint, code, exit, done).
// `details` (a TDO mismatch's line and values, say) follow as text on `err`,
// and as fields of the JSON object.
void render_error(std::ostream& err, std::ostream& out, const ToolError& error, Style style,
                  const Result* details = nullptr);

// "programmed 2048 of 4096 bytes (8 of 16 pages) from 0x000000, stopped at
// 0x000800"
std::string done_text(const Done& done);
// {"action": "programmed", "bytes": 2048, "bytes_total": 4096, "pages": 8, ...,
// "from": 0, "stopped_at": 2048}; a unit's key is in lower case with
// underscores for spaces ("IR bits": "ir_bits").
Value done_value(const Done& done);

// The lines of `text` as a terminal of `columns` x `rows` shows them without
// wrapping or scrolling, for a display redrawn in place: each cut to
// columns - 1 characters (one in the last column makes some terminals
// wrap), at most rows - 1 of them (the cursor's line stays free). When lines
// must be left out, the last line shown is `more(count left out)`.
std::vector<std::string> fit_to_screen(std::string_view text, unsigned columns, unsigned rows,
                                       const std::function<std::string(std::size_t)>& more);

// hexdump -C layout: offset, 16 bytes in two groups of eight, ASCII column.
// Offsets start at base_address.
void hex_dump(std::ostream& out, std::uint64_t base_address, std::span<const std::uint8_t> bytes);

// A streaming JSON writer: compact output, commas placed by the writer.
class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}
    JsonWriter& begin_object() { return open('{'); }
    JsonWriter& end_object() { return close('}'); }
    JsonWriter& begin_array() { return open('['); }
    JsonWriter& end_array() { return close(']'); }
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(std::int64_t number);
    JsonWriter& value(std::uint64_t number);
    JsonWriter& value(int number) { return value(static_cast<std::int64_t>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<std::uint64_t>(number)); }
    JsonWriter& value(double number); // null when not finite
    JsonWriter& value(bool flag);
    JsonWriter& value(const Value& value);
    JsonWriter& null();
    // A value already written as JSON (one object rendered by render()),
    // put in as it stands, without its trailing newline.
    JsonWriter& raw(std::string_view json);
    // Ends the document with a newline.
    void finish();

private:
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);
    void before_value();
    std::ostream& out_;
    std::vector<bool> first_; // per open container: nothing written in it yet
    bool after_key_ = false;
};

std::string json_escape(std::string_view text);

} // namespace orvtool
