// Text in and out: numbers and hex strings from the command line, hex dumps
// and a small JSON writer for --json.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvtool {

using Bytes = std::vector<std::uint8_t>;

// "0x1F" (hex), "0b101" (binary) or "31" (decimal); nothing else, no sign, no
// octal. Empty when the text is not a number or exceeds max.
std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max = UINT64_MAX);

// Parses a number argument or throws a usage error naming `what`.
std::uint64_t number_arg(std::string_view text, std::string_view what, std::uint64_t max = UINT64_MAX);

// A bit string given as one hex number ("0x3F8", "3f8", underscores allowed):
// bit i of the number becomes bit i of the scan, stored as bit (i mod 8) of
// byte (i div 8). Empty when the text is not hex or has bits set at or above
// bit_count.
std::optional<Bytes> parse_hex_bits(std::string_view text, unsigned bit_count);

// The inverse: "0x" and ceil(bit_count / 4) lower-case hex digits; bits at or
// above bit_count are ignored.
std::string bits_to_hex(std::span<const std::uint8_t> bytes, unsigned bit_count);

bool bit_at(std::span<const std::uint8_t> bytes, std::size_t index);

// "ef 40 16"
std::string hex_bytes(std::span<const std::uint8_t> bytes, std::string_view separator = " ");
// "0x4ba00477" with `digits` digits.
std::string hex(std::uint64_t value, int digits);

// hexdump -C layout: offset, 16 bytes in two groups of eight, ASCII column.
// Offsets start at base_address.
void hex_dump(std::ostream& out, std::uint64_t base_address, std::span<const std::uint8_t> bytes);

// A streaming JSON writer: compact output, commas placed by the writer.
class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(std::int64_t number);
    JsonWriter& value(std::uint64_t number);
    JsonWriter& value(int number) { return value(static_cast<std::int64_t>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<std::uint64_t>(number)); }
    JsonWriter& value(bool flag);
    JsonWriter& null();
    // Ends the document with a newline.
    void finish();

private:
    void before_value();
    std::ostream& out_;
    std::vector<bool> first_; // per open container: nothing written in it yet
    bool after_key_ = false;
};

std::string json_escape(std::string_view text);

} // namespace orvtool
