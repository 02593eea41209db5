// Bit-wise SPI transactions: any number of data bits from 1 to 2048, sent as
// whole bytes plus one bit command for the final, partly used byte. The stream
// is built on the stack.
#include <array>
#include <cstddef>
#include <span>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/operation.hpp"
#include "lib/wire/spi_phases.hpp"
#include "lib/wire/wire.hpp"
#include "orv_lumo_spi.h"

namespace orv::spi {
namespace {

constexpr std::size_t MAX_BIT_BYTES = LUMO_SPI_MAX_BITS / 8;
// The whole bytes of the string precede or follow the final byte; 2048 bits
// leave at most 255 of them, one byte command.
constexpr std::size_t MAX_WHOLE_BYTES = MAX_BIT_BYTES - 1;
static_assert(MAX_WHOLE_BYTES <= MAX_BYTES_PER_COMMAND);

// Longest stream: every optional phase at its largest, a written data phase
// (bit command, then byte command head and its bytes), flush and deselect.
constexpr std::size_t MAX_PREAMBLE_LENGTH =
    SELECT_LENGTH + COMMAND_PHASE_LENGTH + address_phase_length(MAX_ADDRESS_BYTES) + DUMMY_PHASE_LENGTH;
constexpr std::size_t MAX_DATA_LENGTH = BITS_LENGTH + BYTES_HEAD_LENGTH + MAX_WHOLE_BYTES;
constexpr std::size_t MAX_BIT_STREAM = MAX_PREAMBLE_LENGTH + MAX_DATA_LENGTH + FLUSH_LENGTH + DESELECT_LENGTH;

// The bit string's shape: nbytes bytes, the last holding `last_bits` valid
// bits in its low positions.
struct BitString {
    std::size_t nbytes;
    unsigned last_bits;
};

constexpr BitString shape_of(std::uint32_t bit_count) noexcept
{
    const unsigned rest = bit_count % 8;
    return {bytes_for_bits(bit_count), rest == 0 ? 8U : rest};
}

// LSB first: the whole bytes from byte 0 up, then the final byte's low bits
// from bit 0 up, so the string leaves from bit 0 to its top bit.
void append_data_lsb_first(CommandStream& stream, bool sample, std::span<const std::uint8_t> bits,
                           BitString shape) noexcept
{
    if (shape.nbytes > 1) {
        append_bytes(stream, BitOrder::lsb_first, sample, bits.first(shape.nbytes - 1));
    }
    append_bits(stream, BitOrder::lsb_first, sample, shape.last_bits, bits[shape.nbytes - 1]);
}

// MSB first: the final byte's valid bits moved to the top (the MSB-first bit
// command shifts from bit 7 down), then the whole bytes from the highest down,
// so the string leaves from its top bit to bit 0.
void append_data_msb_first(CommandStream& stream, bool sample, std::span<const std::uint8_t> bits,
                           BitString shape) noexcept
{
    const auto top = static_cast<std::uint8_t>(bits[shape.nbytes - 1] << (8 - shape.last_bits));
    append_bits(stream, BitOrder::msb_first, sample, shape.last_bits, top);
    if (shape.nbytes > 1) {
        std::array<std::uint8_t, MAX_WHOLE_BYTES> reversed{};
        const std::size_t whole = shape.nbytes - 1;
        for (std::size_t i = 0; i < whole; ++i) {
            reversed[i] = bits[whole - 1 - i];
        }
        append_bytes(stream, BitOrder::msb_first, sample,
                     std::span<const std::uint8_t>(reversed.data(), whole));
    }
}

// Read-only or clock-only data: one clock per bit in one command, whatever the
// bit order.
void append_data_bit_clocks(CommandStream& stream, bool sample, std::uint32_t bit_count) noexcept
{
    append_clocks(stream, sample ? OP_CLOCKS_READ : OP_CLOCKS, bit_count, SPI_CLOCK_COUNT);
}

} // namespace
} // namespace orv::spi

int32_t lumo_spi_read_write_bits(libusb_device_handle* handle, uint32_t bit_count, const uint8_t* write_buf,
                                 uint8_t* read_buf, uint32_t addr, uint8_t cmd, uint32_t dummy_clocks,
                                 const lumo_spi_config* config, uint32_t timeout)
{
    using namespace orv;
    using namespace orv::spi;
    if (!transaction_args_valid(handle, config, dummy_clocks) || bit_count == 0 ||
        bit_count > LUMO_SPI_MAX_BITS) {
        return RESULT_INVALID_PARAM;
    }
    const BitString shape = shape_of(bit_count);
    const bool sample = read_buf != nullptr;
    std::array<std::uint8_t, MAX_BIT_STREAM> storage{};
    CommandStream stream(storage);
    append_preamble(stream, *config, cmd, addr, dummy_clocks);
    if (write_buf == nullptr) {
        append_data_bit_clocks(stream, sample, bit_count);
    } else if (bit_order_of(*config) == BitOrder::lsb_first) {
        append_data_lsb_first(stream, sample, std::span<const std::uint8_t>(write_buf, shape.nbytes), shape);
    } else {
        append_data_msb_first(stream, sample, std::span<const std::uint8_t>(write_buf, shape.nbytes), shape);
    }
    // Here the flush goes before the deselect, while chip select is still held.
    if (sample) {
        append_flush(stream);
    }
    append_deselect(stream, *config);
    return transact(handle, stream,
                    sample ? std::span<std::uint8_t>(read_buf, shape.nbytes) : std::span<std::uint8_t>(),
                    timeout, SPI_READBACK)
        .result;
}
