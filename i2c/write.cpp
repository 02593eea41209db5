// lumo_iic_send_bytes: one write transaction, START to STOP.
#include "heap_buffer.hpp"
#include "orv_lumo_iic.h"
#include "result.hpp"
#include "transaction.hpp"

namespace orv::i2c {
namespace {

// START, address in the write direction, the data bytes each with the
// target's acknowledge sampled, STOP. The address acknowledges fill read-back
// byte 0 on their own; the data acknowledges follow, eight to a byte.
void build_write(CommandStream& stream, AddressForm form, std::uint32_t addr,
                 std::span<const std::uint8_t> data) noexcept
{
    idle_before_start(stream);
    start(stream, StartHold::two);
    if (form == AddressForm::seven_bit) {
        byte_after_start(stream, seven_bit_address(addr, Direction::write));
    } else {
        byte_after_start(stream, ten_bit_header(addr, Direction::write));
        byte_out(stream, ten_bit_low(addr));
    }
    close_readback_byte(stream);
    for (const std::uint8_t byte : data) {
        byte_out(stream, byte);
    }
    close_readback_byte(stream);
    stop(stream);
}

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
    const auto form = address_form(addr_bits);
    if (!form || handle == nullptr || write_buf == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    // A longer write would need a read-back above the 512 bytes a read asks for.
    if (len > LUMO_IIC_MAX_WRITE_BYTES) {
        return RESULT_INVALID_PARAM;
    }
    const std::size_t data_bytes = len;
    // One byte of address acknowledges, then one acknowledge bit per data byte.
    const std::size_t expected = 1 + bytes_for_bits(data_bytes);
    TransactionBuffers buffers;
    if (!allocate_transaction(buffers, WRITE_FRAME_BUFFER, data_bytes, expected)) {
        return RESULT_NO_MEMORY;
    }
    HeapBuffer& readback = buffers.readback;
    CommandStream stream(buffers.commands.span());
    build_write(stream, *form, addr, {write_buf, data_bytes});
    const std::int32_t rc = run_transaction(handle, stream, readback.span(), timeout);
    if (rc != RESULT_OK) {
        return rc;
    }
    return check_write_readback(readback.span());
}
