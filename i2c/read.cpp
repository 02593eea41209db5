// lumo_iic_read_bytes: one read transaction, START to STOP.
#include <cstring>

#include "heap_buffer.hpp"
#include "orv_lumo_iic.h"
#include "result.hpp"
#include "transaction.hpp"

namespace orv::i2c {
namespace {

// START, the address in the read direction (a 10-bit address goes out in the
// write direction first, then a repeated START and the header in the read
// direction), the data bytes clocked in with the master's acknowledge after
// each but the last, STOP. The address acknowledges fill read-back byte 0; each
// data byte is one read-back byte after it.
void build_read(CommandStream& stream, AddressForm form, std::uint32_t addr, std::size_t len) noexcept
{
    idle_before_start(stream);
    start(stream, StartHold::one);
    if (form == AddressForm::seven_bit) {
        byte_after_start(stream, seven_bit_address(addr, Direction::read));
    } else {
        byte_after_start(stream, ten_bit_header(addr, Direction::write));
        byte_out(stream, ten_bit_low(addr));
        repeated_start(stream);
        byte_after_start(stream, ten_bit_header(addr, Direction::read));
    }
    close_readback_byte(stream);
    for (std::size_t k = 0; k < len; ++k) {
        byte_in(stream, k + 1 == len);
    }
    close_readback_byte(stream);
    stop(stream);
}

} // namespace
} // namespace orv::i2c

int32_t lumo_iic_read_bytes(libusb_device_handle* handle, uint32_t addr, int32_t addr_bits, uint8_t* read_buf,
                            uint32_t len, uint32_t timeout)
{
    using namespace orv;
    using namespace orv::i2c;
    const auto form = address_form(addr_bits);
    if (!form || handle == nullptr || read_buf == nullptr || len > LUMO_IIC_MAX_READ_BYTES) {
        return RESULT_INVALID_PARAM;
    }
    const std::size_t data_bytes = len;
    // One byte of address acknowledges, then the data bytes.
    const std::size_t expected = 1 + data_bytes;
    TransactionBuffers buffers;
    if (!allocate_transaction(buffers, READ_FRAME_BUFFER, data_bytes, expected)) {
        return RESULT_NO_MEMORY;
    }
    HeapBuffer& readback = buffers.readback;
    CommandStream stream(buffers.commands.span());
    build_read(stream, *form, addr, data_bytes);
    const std::int32_t rc = run_transaction(handle, stream, readback.span(), timeout);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (readback.data()[0] != 0) {
        return RESULT_NO_ACK;
    }
    // The caller's buffer sees only a complete, acknowledged read.
    if (data_bytes != 0) {
        std::memcpy(read_buf, readback.data() + 1, data_bytes);
    }
    return RESULT_OK;
}
