// lumo_iic_read_bytes: one read transaction, START to STOP.
#include <cstring>

#include "lib/wire/i2c_transaction.hpp"
#include "lib/wire/operation.hpp"
#include "orv_lumo_iic.h"

int32_t lumo_iic_read_bytes(libusb_device_handle* handle, uint32_t addr, int32_t addr_bits, uint8_t* read_buf,
                            uint32_t len, uint32_t timeout)
{
    using namespace orv;
    using namespace orv::i2c;
    // check
    const auto form = address_form(addr_bits, addr);
    if (!form || handle == nullptr || read_buf == nullptr || len > LUMO_IIC_MAX_READ_BYTES) {
        return RESULT_INVALID_PARAM;
    }
    // size: one byte of address acknowledges, then the data bytes
    const std::size_t expected = 1 + std::size_t{len};
    // allocate
    TransactionBuffers buffers;
    if (!allocate_transaction(buffers, read_frame_length(*form), len, BYTE_IN_LENGTH, expected)) {
        return RESULT_NO_MEMORY;
    }
    // build
    CommandStream stream(buffers.commands.span());
    read_head(stream, *form, addr);
    data_bytes_in(stream, len);
    transaction_tail(stream);
    // send, read back
    const Outcome outcome =
        transact(handle, stream, buffers.readback.span(), timeout, I2C_READBACK, SendResult::ignored);
    if (outcome.result != RESULT_OK) {
        return outcome.result;
    }
    const std::span<const std::uint8_t> readback = buffers.readback.span();
    if (readback[0] != 0) {
        return RESULT_NO_ACK;
    }
    // commit: the caller's buffer sees only a complete, acknowledged read
    if (len != 0) {
        std::memcpy(read_buf, readback.data() + 1, len);
    }
    return RESULT_OK;
}
