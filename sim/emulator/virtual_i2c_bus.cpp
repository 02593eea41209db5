#include "sim/emulator/virtual_i2c_bus.hpp"

#include <algorithm>
#include <utility>

#include "lib/wire/wire.hpp"

namespace orv::emu {

I2cDevice::~I2cDevice() = default;

// ---- memory device ---------------------------------------------------------

namespace {

// One address byte reaches 256 bytes; larger one-byte parts take the rest of
// the pointer from the device address.
constexpr std::size_t BYTES_PER_ADDRESS_BYTE = 256;

} // namespace

I2cMemory::I2cMemory(const I2cMemoryConfig& config)
    : config_(config), memory_(std::max<std::size_t>(config.size, 1), 0xFF)
{
    config_.size = memory_.size();
    config_.page_size = std::clamp<std::size_t>(config_.page_size, 1, config_.size);
    config_.address_bytes = std::clamp(config_.address_bytes, 1U, 2U);
}

I2cMemory::I2cMemory(std::uint16_t address, bool ten_bit, std::size_t size, std::size_t page_size)
    : I2cMemory(I2cMemoryConfig{address, ten_bit, size, page_size, size > BYTES_PER_ADDRESS_BYTE ? 2U : 1U})
{
}

unsigned memory_address_span(std::size_t size, unsigned address_bytes) noexcept
{
    if (address_bytes > 1 || size <= BYTES_PER_ADDRESS_BYTE) {
        return 1;
    }
    return static_cast<unsigned>(size / BYTES_PER_ADDRESS_BYTE);
}

unsigned I2cMemory::address_span() const noexcept
{
    return memory_address_span(config_.size, config_.address_bytes);
}

void I2cMemory::begin(std::uint16_t address, bool read)
{
    block_ = address - config_.address;
    pointer_bytes_due_ = read ? 0 : config_.address_bytes;
    new_pointer_ = 0;
}

bool I2cMemory::write(std::uint8_t value)
{
    if (pointer_bytes_due_ > 0) {
        new_pointer_ = (new_pointer_ << 8) | value;
        if (--pointer_bytes_due_ == 0) {
            pointer_ = (block_ * BYTES_PER_ADDRESS_BYTE + new_pointer_) % memory_.size();
        }
        return true;
    }
    memory_[pointer_] = value;
    modified_ = true;
    // The pointer rolls over within its page, as an EEPROM's page buffer does.
    const std::size_t page = pointer_ - pointer_ % config_.page_size;
    pointer_ = page + (pointer_ + 1 - page) % config_.page_size;
    return true;
}

std::uint8_t I2cMemory::read()
{
    const std::uint8_t value = memory_[pointer_];
    pointer_ = (pointer_ + 1) % memory_.size();
    return value;
}

// ---- register file ---------------------------------------------------------

I2cRegisterFile::I2cRegisterFile(std::uint16_t address, std::span<const Register> registers, bool ten_bit)
    : address_(address), ten_bit_(ten_bit)
{
    for (const Register& r : registers) {
        registers_[r.index] = r.reset_value;
        read_only_[r.index] = r.read_only;
    }
}

void I2cRegisterFile::begin(std::uint16_t /*address*/, bool read)
{
    pointer_pending_ = !read;
}

bool I2cRegisterFile::write(std::uint8_t value)
{
    if (pointer_pending_) {
        pointer_ = value;
        pointer_pending_ = false;
        return true;
    }
    if (read_only_[pointer_]) {
        return false;
    }
    registers_[pointer_] = value;
    pointer_ = static_cast<std::uint8_t>(pointer_ + 1);
    return true;
}

std::uint8_t I2cRegisterFile::read()
{
    const std::uint8_t value = registers_[pointer_];
    pointer_ = static_cast<std::uint8_t>(pointer_ + 1);
    return value;
}

// ---- bus -------------------------------------------------------------------

void I2cBus::add(std::unique_ptr<I2cDevice> device)
{
    devices_.push_back(std::move(device));
}

I2cDevice* I2cBus::find(std::uint16_t address, bool ten_bit) const noexcept
{
    for (const auto& device : devices_) {
        if (device->answers(address, ten_bit)) {
            return device.get();
        }
    }
    return nullptr;
}

void I2cBus::set_master(bool scl, bool sda)
{
    // When both lines change at once, SDA moves while SCL is low (before a
    // rising SCL, after a falling one): that is never a START or STOP.
    if (scl && !scl_) {
        master_sda_ = sda;
        rise();
        return;
    }
    if (!scl && scl_) {
        fall();
        master_sda_ = sda;
        return;
    }
    const bool before = this->sda();
    master_sda_ = sda;
    const bool after = this->sda();
    if (scl_ && before != after) {
        if (after) {
            stop();
        } else {
            start();
        }
    }
}

bool I2cBus::clock(bool sda_out)
{
    if (phase_ == Phase::idle) {
        ++stray_clocks_;
    }
    if (scl_) {
        fall();
    }
    master_sda_ = sda_out;
    rise();
    const bool sampled = sda();
    fall();
    return sampled;
}

void I2cBus::disconnect()
{
    end_transaction();
    ten_bit_selected_ = nullptr;
    scl_ = true;
    master_sda_ = true;
}

void I2cBus::start()
{
    ++starts_;
    end_transaction();
    phase_ = Phase::address;
}

void I2cBus::stop()
{
    ++stops_;
    end_transaction();
    ten_bit_selected_ = nullptr;
}

void I2cBus::end_transaction()
{
    if (selected_ != nullptr) {
        selected_->end();
    }
    selected_ = nullptr;
    phase_ = Phase::idle;
    bit_ = 0;
    rose_ = false;
    shift_ = 0;
    acked_ = false;
    go_read_ = false;
    master_ack_ = false;
    device_sda_low_ = false;
}

void I2cBus::rise()
{
    scl_ = true;
    if (phase_ == Phase::idle) {
        return;
    }
    rose_ = true;
    const bool line = sda();
    if (phase_ == Phase::read) {
        if (bit_ == 8) {
            master_ack_ = !line;
        }
        return;
    }
    if (bit_ < 8) {
        shift_ = static_cast<std::uint8_t>((shift_ << 1) | (line ? 1 : 0));
    }
}

void I2cBus::fall()
{
    scl_ = false;
    // The fall that follows a START (SCL was already high) is not a bit.
    if (phase_ == Phase::idle || !rose_) {
        return;
    }
    rose_ = false;
    if (bit_ < 7) {
        ++bit_;
        if (phase_ == Phase::read) {
            device_sda_low_ = ((shift_ >> (7 - bit_)) & 1) == 0;
        }
        return;
    }
    if (bit_ == 7) {
        bit_ = 8;
        if (phase_ == Phase::read) {
            device_sda_low_ = false; // the master answers now
        } else {
            byte_received(shift_);
            device_sda_low_ = acked_;
        }
        return;
    }
    // End of the acknowledge clock.
    if (selected_ != nullptr) {
        ++acknowledges_;
    }
    bit_ = 0;
    device_sda_low_ = false;
    if (phase_ == Phase::read) {
        if (!master_ack_) {
            // No acknowledge: the device lets go of the bus until STOP/START.
            phase_ = Phase::idle;
            return;
        }
        shift_ = selected_->read();
        device_sda_low_ = (shift_ & 0x80) == 0;
        return;
    }
    shift_ = 0;
    if (!acked_) {
        phase_ = Phase::idle;
        return;
    }
    if (go_read_) {
        phase_ = Phase::read;
        shift_ = selected_->read();
        device_sda_low_ = (shift_ & 0x80) == 0;
    }
}

void I2cBus::byte_received(std::uint8_t value)
{
    acked_ = false;
    switch (phase_) {
    case Phase::address:
        if ((value & I2C_TEN_BIT_HEADER_MASK) == I2C_TEN_BIT_HEADER) {
            const std::uint8_t high = static_cast<std::uint8_t>((value >> 1) & 3);
            if ((value & 1) == 0) {
                ten_bit_high_ = high;
                for (std::uint16_t low = 0; low <= 0xFF && !acked_; ++low) {
                    acked_ = find(static_cast<std::uint16_t>((high << 8) | low), true) != nullptr;
                }
                phase_ = Phase::address_low;
            } else if (ten_bit_selected_ != nullptr && (ten_bit_address_ >> 8) == high) {
                selected_ = ten_bit_selected_;
                selected_->begin(ten_bit_address_, true);
                go_read_ = true;
                acked_ = true;
            }
            return;
        }
        if (I2cDevice* device = find(static_cast<std::uint16_t>(value >> 1), false)) {
            selected_ = device;
            go_read_ = (value & 1) != 0;
            device->begin(static_cast<std::uint16_t>(value >> 1), go_read_);
            acked_ = true;
            phase_ = go_read_ ? Phase::address : Phase::write;
        }
        return;
    case Phase::address_low: {
        const auto address = static_cast<std::uint16_t>((ten_bit_high_ << 8) | value);
        if (I2cDevice* device = find(address, true)) {
            selected_ = device;
            ten_bit_selected_ = device;
            ten_bit_address_ = address;
            device->begin(address, false);
            acked_ = true;
            phase_ = Phase::write;
        }
        return;
    }
    case Phase::write:
        acked_ = selected_ != nullptr && selected_->write(value);
        return;
    case Phase::read:
    case Phase::idle:
        return;
    }
}

} // namespace orv::emu
