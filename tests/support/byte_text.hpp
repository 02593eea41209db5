// Byte strings as the tests write them: "5B 02 01 7B ..." for golden vectors.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace orv::test {

using Bytes = std::vector<std::uint8_t>;

// Hex digit pairs to bytes; spaces and commas between bytes are ignored.
inline Bytes hex(const std::string& text)
{
    Bytes bytes;
    int high = -1;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            continue;
        }
        const int v =
            std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : (std::tolower(c) - 'a' + 10);
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

// "5B 02 01", upper case, one space between bytes.
inline std::string to_hex(const Bytes& bytes)
{
    std::string text;
    char cell[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += cell;
    }
    return text;
}

} // namespace orv::test
