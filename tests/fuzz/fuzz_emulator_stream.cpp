// Fuzz target: the emulator's command-stream decoder and read-back FIFO.
//
// The input is a board choice, then a sequence of records: a command buffer
// for endpoint 0x02 of any bytes, then a few polls of 0x83 and a data read of
// 0x81 of a size taken from the input. The default board (JTAG chain, SPI
// flash, I2C bus), with a small flash, sits behind the adapter, so arbitrary
// pin and shift commands reach the targets.
//
// Beyond memory errors and undefined behaviour it checks what must hold for
// any stream:
//   - read_data moves at most the bytes asked for and at most what the FIFO
//     holds, and removes exactly what it moved;
//   - the reported count never exceeds what the FIFO holds, and the FIFO
//     never exceeds its capacity;
//   - the diagnostics stay bounded.
#include "sim/emulator/adapter.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class Input {
public:
    explicit Input(std::span<const std::uint8_t> data) : data_(data) {}
    [[nodiscard]] bool empty() const { return position_ >= data_.size(); }
    std::uint8_t byte() { return empty() ? 0 : data_[position_++]; }
    std::span<const std::uint8_t> take(std::size_t n)
    {
        const std::size_t left = data_.size() - position_;
        const auto chunk = data_.subspan(position_, n < left ? n : left);
        position_ += chunk.size();
        return chunk;
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

// The boards, built once per process: building a board per input (a flash
// array, the TAPs, the I2C devices) would cost more than running the input.
// Each input picks one by read-back capacity (small ones reach the overflow
// path) and count latency (0..3 polls); boards keep their state from input to
// input, as an adapter keeps it from one command buffer to the next.
constexpr std::size_t CAPACITIES[] = {1, 2, 3, 7, 16, 64, 4096};
constexpr unsigned LATENCIES = 4;

std::unique_ptr<orv::emu::Adapter> small_board(std::size_t capacity, unsigned latency)
{
    orv::emu::AdapterConfig config;
    config.readback_capacity = capacity;
    config.latency_polls = latency;
    orv::emu::BoardConfig board = orv::emu::default_board_config();
    board.spi_flash->size = 64 * 1024; // addresses wrap at the flash's size
    return orv::emu::make_board(board, config);
}

orv::emu::Adapter& board(std::uint8_t pick)
{
    static std::vector<std::unique_ptr<orv::emu::Adapter>> boards = [] {
        std::vector<std::unique_ptr<orv::emu::Adapter>> all;
        for (std::size_t capacity : CAPACITIES) {
            for (unsigned latency = 0; latency < LATENCIES; ++latency) {
                all.push_back(small_board(capacity, latency));
            }
        }
        return all;
    }();
    return *boards[pick % boards.size()];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    (void)board(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in({data, size});
    orv::emu::Adapter& adapter = board(in.byte());
    adapter.clear_diagnostics();

    std::vector<std::uint8_t> out;
    while (!in.empty()) {
        // Record: length byte (0..255 command bytes), the commands, then
        // polls (0..3) and a data read of 0..63 bytes.
        const std::size_t length = in.byte();
        adapter.write_commands(in.take(length));
        require(adapter.readback_size() <= adapter.config().readback_capacity);

        const std::uint8_t exchange = in.byte();
        std::uint32_t shown = 0;
        for (unsigned poll = 0; poll < (exchange & 3u); ++poll) {
            shown = adapter.poll_count();
            require(shown <= adapter.readback_size());
        }
        out.assign((exchange >> 2) & 0x3Fu, 0);
        const std::size_t before = adapter.readback_size();
        const std::size_t moved = adapter.read_data(out);
        require(moved <= out.size());
        require(moved <= before);
        require(adapter.readback_size() == before - moved);
        require(adapter.diagnostics().size() <= orv::emu::Adapter::MAX_DIAGNOSTICS);
    }
    return 0;
}
