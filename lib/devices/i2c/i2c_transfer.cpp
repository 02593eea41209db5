#include "lib/devices/i2c/i2c_transfer.hpp"

#include <algorithm>
#include <cstring>

#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/i2c_phases.hpp"
#include "lib/wire/i2c_transaction.hpp"
#include "lib/wire/operation.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev::i2c {

namespace {

namespace phases = orv::i2c;
using phases::AddressForm;
using phases::Direction;

// The longest address phase: a 10-bit read (address written, repeated START,
// header with the read bit), after a repeated START.
constexpr std::size_t MAX_ADDRESS_PHASE = built_length([](CommandStream& s) {
    phases::repeated_start(s);
    phases::byte_after_start(s, 0);
    phases::byte_out(s, 0);
    phases::repeated_start(s);
    phases::byte_after_start(s, 0);
    phases::close_readback_byte(s);
});
constexpr std::size_t START_LENGTH = built_length([](CommandStream& s) {
    phases::idle_before_start(s);
    phases::start(s, phases::StartHold::two);
});
constexpr std::size_t WRITE_BYTE_LENGTH = phases::BYTE_OUT_LENGTH + FLUSH_LENGTH;
constexpr std::size_t TAIL_LENGTH = built_length([](CommandStream& s) { phases::transaction_tail(s); });

// START (or a repeated START after the first message), then the address in
// the message's direction; its acknowledges closed into one read-back byte.
// assert before: anything (first) or SCL low; after: SCL low, SDA released.
void address_phase(CommandStream& stream, bool first, AddressForm form, std::uint32_t addr,
                   Direction direction)
{
    if (first) {
        phases::idle_before_start(stream);
        phases::start(stream, phases::StartHold::two);
    } else {
        phases::repeated_start(stream);
    }
    if (form == AddressForm::seven_bit) {
        phases::byte_after_start(stream, phases::seven_bit_address(addr, direction));
    } else {
        phases::byte_after_start(stream, phases::ten_bit_header(addr, Direction::write));
        phases::byte_out(stream, phases::ten_bit_low(addr));
        if (direction == Direction::read) {
            phases::repeated_start(stream);
            phases::byte_after_start(stream, phases::ten_bit_header(addr, Direction::read));
        }
    }
    phases::close_readback_byte(stream);
}

// Each data byte out with its acknowledge in a read-back byte of its own.
// assert before: SCL low, SDA released; after: SCL low, SDA released.
void data_out_one_ack_each(CommandStream& stream, std::span<const std::uint8_t> data)
{
    for (const std::uint8_t byte : data) {
        phases::byte_out(stream, byte);
        phases::close_readback_byte(stream);
    }
}

std::size_t stream_bound(std::span<const Message> messages) noexcept
{
    std::size_t n = START_LENGTH + TAIL_LENGTH;
    for (const Message& m : messages) {
        n += MAX_ADDRESS_PHASE + m.data.size() * (m.read ? phases::BYTE_IN_LENGTH : WRITE_BYTE_LENGTH);
    }
    return n;
}

} // namespace

std::size_t transfer_readback_bytes(std::span<const Message> messages) noexcept
{
    std::size_t n = 0;
    for (const Message& m : messages) {
        n += 1 + m.data.size();
    }
    return n;
}

std::optional<TransferFault> run_combined(libusb_device_handle* handle, std::uint32_t timeout_ms,
                                          bool ten_bit, std::span<const Message> messages)
{
    const AddressForm form = ten_bit ? AddressForm::ten_bit : AddressForm::seven_bit;
    HeapBuffer commands = HeapBuffer::allocate(stream_bound(messages));
    HeapBuffer readback = HeapBuffer::allocate(transfer_readback_bytes(messages));
    if (!commands.ok() || !readback.ok()) {
        return TransferFault{TransferFault::Kind::bus, 0, 0, LIBUSB_ERROR_NO_MEM};
    }
    CommandStream stream(commands.span());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const Message& m = messages[i];
        address_phase(stream, i == 0, form, m.addr, m.read ? Direction::read : Direction::write);
        if (m.read) {
            phases::data_bytes_in(stream, m.data.size());
            phases::close_readback_byte(stream);
        } else {
            data_out_one_ack_each(stream, m.data);
        }
    }
    phases::transaction_tail(stream);

    const Outcome outcome =
        transact(handle, stream, readback.span(), timeout_ms, I2C_READBACK, SendResult::ignored);
    if (outcome.result != RESULT_OK) {
        return TransferFault{TransferFault::Kind::bus, 0, 0, outcome.result};
    }
    // An acknowledge reads 0, and the unused bits of a closed byte read 0.
    const std::span<const std::uint8_t> back = readback.span();
    std::size_t at = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const Message& m = messages[i];
        if (back[at] != 0) {
            return TransferFault{TransferFault::Kind::address, i, 0, 0};
        }
        ++at;
        if (!m.read) {
            for (std::size_t b = 0; b < m.data.size(); ++b) {
                if (back[at + b] != 0) {
                    return TransferFault{TransferFault::Kind::data, i, b, 0};
                }
            }
        }
        at += m.data.size();
    }
    // Every acknowledge came: the reads reach the caller.
    at = 0;
    for (const Message& m : messages) {
        ++at;
        if (m.read && !m.data.empty()) {
            std::memcpy(m.data.data(), back.data() + at, m.data.size());
        }
        at += m.data.size();
    }
    return std::nullopt;
}

} // namespace orv::dev::i2c
