// Byte-wise SPI transactions and the collection of their sampled bytes.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/operation.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/spi_phases.hpp"
#include "lib/wire/wire.hpp"
#include "orv_lumo_spi.h"

namespace orv::spi {
namespace {

constexpr std::size_t CHUNK = MAX_BYTES_PER_COMMAND;

constexpr std::size_t chunks_for(std::size_t len) noexcept
{
    return len / CHUNK + (len % CHUNK != 0 ? 1 : 0);
}

// Exact length of the stream the transaction builds, or nothing when it does
// not fit a size_t.
std::optional<std::size_t> stream_length(const lumo_spi_config& config, std::size_t len, bool writes,
                                         bool samples, std::uint32_t dummy_clocks) noexcept
{
    const std::size_t chunks = chunks_for(len);
    const auto heads = checked_mul(chunks, writes ? BYTES_HEAD_LENGTH : CLOCKS_LENGTH);
    if (!heads) {
        return std::nullopt;
    }
    const auto data = writes ? checked_add(len, *heads) : heads;
    if (!data) {
        return std::nullopt;
    }
    const std::size_t frame =
        preamble_length(config, dummy_clocks) + DESELECT_LENGTH + (samples ? FLUSH_LENGTH : 0);
    return checked_add(*data, frame);
}

// Write-only or full-duplex data: the caller's bytes, packed back to back in
// commands of up to 256.
void append_data_bytes(CommandStream& stream, BitOrder order, bool sample,
                       std::span<const std::uint8_t> data) noexcept
{
    while (!data.empty()) {
        const std::size_t n = std::min(data.size(), CHUNK);
        append_bytes(stream, order, sample, data.first(n));
        data = data.subspan(n);
    }
}

// Read-only or clock-only data: eight clocks per byte, 256 bytes per command.
// The bit order does not matter: nothing is shifted out.
void append_data_clocks(CommandStream& stream, bool sample, std::size_t len) noexcept
{
    const std::uint8_t opcode = sample ? OP_CLOCKS_READ : OP_CLOCKS;
    while (len != 0) {
        const std::size_t n = std::min(len, CHUNK);
        append_clocks(stream, opcode, static_cast<unsigned>(8 * n), SPI_CLOCK_COUNT);
        len -= n;
    }
}

} // namespace
} // namespace orv::spi

int32_t lumo_spi_read_write_bytes(libusb_device_handle* handle, uint32_t len, const uint8_t* write_buf,
                                  uint8_t* read_buf, uint32_t addr, uint8_t cmd, uint32_t dummy_clocks,
                                  const lumo_spi_config* config, uint32_t timeout)
{
    using namespace orv;
    using namespace orv::spi;
    if (!transaction_args_valid(handle, config, dummy_clocks) ||
        (read_buf != nullptr && len > LUMO_SPI_MAX_READ_BYTES)) {
        return RESULT_INVALID_PARAM;
    }
    // With no data bytes nothing is sampled: no flush and no read-back, so a
    // command-only transaction (such as a write enable) works with any buffers.
    const bool sample = read_buf != nullptr && len != 0;
    const bool writes = write_buf != nullptr;
    const auto length = stream_length(*config, len, writes, sample, dummy_clocks);
    if (!length || *length > MAX_TRANSFER_LENGTH) {
        return RESULT_INVALID_PARAM; // more than one transfer can carry
    }
    HeapBuffer buffer = HeapBuffer::allocate(*length);
    if (!buffer.ok()) {
        return RESULT_NO_MEMORY;
    }
    CommandStream stream(buffer.span());
    append_preamble(stream, *config, cmd, addr, dummy_clocks);
    if (writes) {
        append_data_bytes(stream, bit_order_of(*config), sample,
                          std::span<const std::uint8_t>(write_buf, len));
    } else {
        append_data_clocks(stream, sample, len);
    }
    append_deselect(stream, *config);
    // The flush closes the stream, after the deselect.
    if (sample) {
        append_flush(stream);
    }
    return transact(handle, stream,
                    sample ? std::span<std::uint8_t>(read_buf, len) : std::span<std::uint8_t>(), timeout,
                    SPI_READBACK)
        .result;
}

int32_t lumo_spi_read_miso(libusb_device_handle* handle, uint32_t len, uint8_t* read_buf, uint32_t timeout)
{
    if (handle == nullptr || (read_buf == nullptr && len != 0)) {
        return orv::RESULT_INVALID_PARAM;
    }
    return orv::read_back(handle, std::span<std::uint8_t>(read_buf, len), timeout, orv::SPI_READBACK);
}
