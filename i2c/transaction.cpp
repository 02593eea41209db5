#include "transaction.hpp"

#include <cstring>

namespace orv::i2c {

void data_bytes_out(CommandStream& stream, std::span<const std::uint8_t> data) noexcept
{
    const auto length = checked_mul(data.size(), BYTE_OUT_LENGTH);
    const std::span<std::uint8_t> run = length ? stream.claim(*length) : std::span<std::uint8_t>();
    if (!length) {
        stream.fault();
    }
    std::uint8_t* out = run.data();
    if (out == nullptr) {
        return; // nothing to stamp, or the stream is faulted
    }
    for (const std::uint8_t byte : data) {
        std::memcpy(out, BYTE_OUT_STAMP.block.data(), BYTE_OUT_LENGTH);
        out[BYTE_OUT_STAMP.variable_at] = byte;
        out += BYTE_OUT_LENGTH;
    }
}

void data_bytes_in(CommandStream& stream, std::size_t len) noexcept
{
    const auto length = checked_mul(len, BYTE_IN_LENGTH);
    const std::span<std::uint8_t> run = length ? stream.claim(*length) : std::span<std::uint8_t>();
    if (!length) {
        stream.fault();
    }
    std::uint8_t* out = run.data();
    if (out == nullptr || len == 0) {
        return;
    }
    for (std::size_t k = 0; k < len; ++k) {
        std::memcpy(out + k * BYTE_IN_LENGTH, BYTE_IN_STAMP.block.data(), BYTE_IN_LENGTH);
    }
    out[(len - 1) * BYTE_IN_LENGTH + BYTE_IN_STAMP.variable_at] = LAST_BYTE_IN_VARIABLE;
}

bool allocate_transaction(TransactionBuffers& buffers, std::size_t frame, std::size_t len,
                          std::size_t per_byte, std::size_t readback_bytes) noexcept
{
    const auto data = checked_mul(len, per_byte);
    const auto command_bytes = data ? checked_add(frame, *data) : std::nullopt;
    if (!command_bytes) {
        return false;
    }
    buffers.commands = HeapBuffer::allocate(*command_bytes);
    buffers.readback = HeapBuffer::allocate(readback_bytes);
    return buffers.commands.ok() && buffers.readback.ok();
}

} // namespace orv::i2c
