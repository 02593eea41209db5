// Helpers shared by the emulator tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adapter.hpp"

namespace orv::emu::test {

using Bytes = std::vector<std::uint8_t>;

// "5B 02 01" -> {0x5B, 0x02, 0x01}; spaces and commas are ignored.
inline Bytes hex(const std::string& text)
{
    Bytes out;
    int high = -1;
    for (const char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        }
        if (v < 0) {
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Everything the FIFO holds, popped.
inline Bytes drain(Adapter& adapter)
{
    Bytes out(adapter.readback_size());
    out.resize(adapter.read_data(out));
    return out;
}

// A board whose JTAG connector is a plain wire from TDI to TDO: every sample
// is the bit the shift engine drove, which makes the packing visible.
inline std::unique_ptr<Adapter> loopback_adapter(AdapterConfig config = {})
{
    Board board = make_default_board_parts();
    board.jtag = JtagChain({});
    return std::make_unique<Adapter>(config, std::move(board));
}

} // namespace orv::emu::test
