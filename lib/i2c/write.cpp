// lumo_iic_send_bytes: one write transaction, START to STOP.
#include "lib/wire/i2c_transaction.hpp"
#include "lib/wire/operation.hpp"
#include "orv_lumo_iic.h"

namespace orv::i2c {
namespace {

// An acknowledge is sampled as 0, and the unused bits of a closed byte read 0,
// so any set bit is a missing acknowledge.
std::int32_t check_write_readback(std::span<const std::uint8_t> readback) noexcept
{
    if (readback[0] != 0) {
        return RESULT_NO_ACK;
    }
    for (const std::uint8_t acks : readback.subspan(1)) {
        if (acks != 0) {
            return RESULT_SHORT_TRANSFER; // a data byte was not acknowledged
        }
    }
    return RESULT_OK;
}

} // namespace
} // namespace orv::i2c

int32_t lumo_iic_send_bytes(libusb_device_handle* handle, uint32_t addr, int32_t addr_bits,
                            const uint8_t* write_buf, uint32_t len, uint32_t timeout)
{
    using namespace orv;
    using namespace orv::i2c;
    // check
    const auto form = address_form(addr_bits, addr);
    if (!form || handle == nullptr || write_buf == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    // A longer write would need a read-back above the 512 bytes a read asks for.
    if (len > LUMO_IIC_MAX_WRITE_BYTES) {
        return RESULT_INVALID_PARAM;
    }
    // size: one byte of address acknowledges, then one acknowledge bit per data byte
    const std::size_t expected = 1 + bytes_for_bits(len);
    // allocate
    TransactionBuffers buffers;
    if (!allocate_transaction(buffers, write_frame_length(*form), len, BYTE_OUT_LENGTH, expected)) {
        return RESULT_NO_MEMORY;
    }
    // build
    CommandStream stream(buffers.commands.span());
    write_head(stream, *form, addr);
    data_bytes_out(stream, {write_buf, len});
    transaction_tail(stream);
    // send, read back
    const Outcome outcome =
        transact(handle, stream, buffers.readback.span(), timeout, I2C_READBACK, SendResult::ignored);
    if (outcome.result != RESULT_OK) {
        return outcome.result;
    }
    // commit: the acknowledges
    return check_write_readback(buffers.readback.span());
}
