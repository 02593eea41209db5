// Values as people read them in messages: hex numbers and bytes, counts with
// their noun, sizes in binary multiples, and bits of a scan string. Shared by
// the device library and the tools, so that a message reads the same from
// both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace orv {

// "0x4ba00477" with `digits` digits at least.
[[nodiscard]] inline std::string hex(std::uint64_t value, int digits)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return buf;
}

// "ef 40 16"
[[nodiscard]] inline std::string hex_bytes(std::span<const std::uint8_t> bytes,
                                           std::string_view separator = " ")
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            out += separator;
        }
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
    }
    return out;
}

// "1 byte", "2 bytes": the count and the noun, in the plural unless it is 1.
[[nodiscard]] inline std::string count_text(std::uint64_t count, std::string_view noun)
{
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

// "4 MiB", "512 KiB", "300 bytes", "1 byte": whole binary multiples by name.
[[nodiscard]] inline std::string size_text(std::uint64_t bytes)
{
    constexpr std::uint64_t KIB = 1ULL << 10;
    constexpr std::uint64_t MIB = 1ULL << 20;
    constexpr std::uint64_t GIB = 1ULL << 30;
    if (bytes >= GIB && bytes % GIB == 0) {
        return std::to_string(bytes / GIB) + " GiB";
    }
    if (bytes >= MIB && bytes % MIB == 0) {
        return std::to_string(bytes / MIB) + " MiB";
    }
    if (bytes >= KIB && bytes % KIB == 0) {
        return std::to_string(bytes / KIB) + " KiB";
    }
    return count_text(bytes, "byte");
}

// Bit i of a scan string: bit (i mod 8) of byte (i div 8); false past the end.
[[nodiscard]] inline bool bit_at(std::span<const std::uint8_t> bytes, std::size_t index) noexcept
{
    return index / 8 < bytes.size() && ((bytes[index / 8] >> (index % 8)) & 1) != 0;
}

} // namespace orv
