#include "lib/wire/i2c_transaction.hpp"

namespace orv::i2c {

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
