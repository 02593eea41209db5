// Helpers shared by the emulator tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/emulator/adapter.hpp"
#include "tests/support/byte_text.hpp"

namespace orv::emu::test {

using orv::test::Bytes;

using orv::test::hex;

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
