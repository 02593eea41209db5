// Numbers and bit strings from the command line, and the hex text of values
// and bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/wire/value_text.hpp"

namespace orvtool {

using Bytes = std::vector<std::uint8_t>;

// The hex, count and size texts every message uses.
using orv::bit_at;
using orv::count_text;
using orv::hex;
using orv::hex_bytes;
using orv::size_text;

// "0x1F" (hex), "0b101" (binary) or "31" (decimal); nothing else, no sign, no
// octal. Empty when the text is not a number or exceeds max.
std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max = UINT64_MAX);

// Parses a number argument or throws a usage error naming `what`.
std::uint64_t number_arg(std::string_view text, std::string_view what, std::uint64_t max = UINT64_MAX);

// A size or address: a number as parse_number takes it, optionally followed
// by k, M or G (binary multiples: 4k = 4096, 4M = 4194304). Empty when the
// text is not such a size, or it exceeds max.
std::optional<std::uint64_t> parse_size(std::string_view text, std::uint64_t max = UINT64_MAX);
// Parses a size argument or throws a usage error naming `what`.
std::uint64_t size_arg(std::string_view text, std::string_view what, std::uint64_t max = UINT64_MAX);

// A clock frequency argument in kHz, or a usage error naming `what`. The
// adapter divides its base clock by base / f, sent in one byte: frequencies
// low enough for that to wrap are refused.
std::uint32_t khz_arg(const std::string& text, const char* what);

// --timeout in milliseconds, 1 to MAX_TIMEOUT_MS, or a usage error. 0 is
// refused: to the libraries it means no limit, so a read-back that never
// fills would wait for ever.
inline constexpr std::uint32_t MAX_TIMEOUT_MS = 600000;
std::uint32_t timeout_arg(const std::string& text);

// The clock the adapter really runs for a requested one (khz_arg's range):
// the base clock over the truncated divisor, so 7000 kHz asked gives 7500.
std::uint32_t clock_set_khz(std::uint32_t asked_khz);

// A bit string given as one hex number ("0x3F8", "3f8", underscores allowed):
// bit i of the number becomes bit i of the scan, stored as bit (i mod 8) of
// byte (i div 8). Empty when the text is not hex or has bits set at or above
// bit_count.
std::optional<Bytes> parse_hex_bits(std::string_view text, unsigned bit_count);

// The inverse: "0x" and ceil(bit_count / 4) lower-case hex digits; bits at or
// above bit_count are ignored.
std::string bits_to_hex(std::span<const std::uint8_t> bytes, unsigned bit_count);

// Text for a terminal, whatever a file or the adapter put in it: control
// characters (the line end aside), DEL and the C1 controls are written as
// escapes ("\x1b", "\u009b"), as are bytes that are not UTF-8, so that no
// name can move the cursor or reset the terminal; printable text, UTF-8
// included, stays as it is.
std::string terminal_text(std::string_view text);

} // namespace orvtool
