#include "transaction.hpp"

#include "heap_buffer.hpp"
#include "result.hpp"
#include "transport.hpp"

namespace orv::i2c {

bool allocate_transaction(TransactionBuffers& buffers, std::size_t frame, std::size_t len,
                          std::size_t readback_bytes) noexcept
{
    const auto per_byte = checked_mul(len, STREAM_BYTES_PER_DATA_BYTE);
    const auto command_bytes = per_byte ? checked_add(frame, *per_byte) : std::nullopt;
    if (!command_bytes) {
        return false;
    }
    buffers.commands = HeapBuffer::allocate(*command_bytes);
    buffers.readback = HeapBuffer::allocate(readback_bytes);
    return buffers.commands.ok() && buffers.readback.ok();
}

std::int32_t run_transaction(libusb_device_handle* handle, const CommandStream& stream,
                             std::span<std::uint8_t> readback, std::uint32_t timeout) noexcept
{
    if (stream.faulted()) {
        return RESULT_CMD_ERR;
    }
    // The command transfer's own result is not looked at: the adapter answers
    // a transaction only through its read-back, so a transaction that never
    // reached it ends at the poll limit as TPW_ERROR_TIMEOUT, like one the
    // adapter lost.
    (void)send(handle, stream.bytes(), timeout);
    return read_back(handle, readback, timeout, ReadBackVariant::i2c);
}

} // namespace orv::i2c
