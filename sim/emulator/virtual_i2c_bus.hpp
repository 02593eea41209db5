// An I2C bus with open-drain lines and pull-ups, and the devices on it.
//
// The adapter model hands the bus the levels it drives on SCL and SDA (a
// released line is high unless a device pulls it low) and the clock pulses
// of its shift commands. The bus detects START, repeated START and STOP from
// SDA changing while SCL is high, frames bits into bytes (most significant
// bit first) and acknowledge bits, and lets the addressed device answer: each
// device decides on its own whether to acknowledge its address and each data
// byte, and drives SDA when it is read.
//
// 10-bit addressing: the header 11110aa0 and the low address byte select a
// 10-bit device; after a repeated START the header 11110aa1 reads from the
// device selected that way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace orv::emu {

class I2cDevice {
public:
    virtual ~I2cDevice();
    [[nodiscard]] virtual std::uint16_t address() const noexcept = 0;
    [[nodiscard]] virtual bool ten_bit() const noexcept { return false; }
    // How many consecutive addresses from address() the device answers (a
    // 24C16 takes eight: the device address carries its memory's high bits).
    [[nodiscard]] virtual unsigned address_span() const noexcept { return 1; }
    // The device was addressed at `address` and acknowledged; read is the R/W bit.
    virtual void begin(std::uint16_t address, bool read) = 0;
    // A byte written by the master; returns true to acknowledge it.
    virtual bool write(std::uint8_t value) = 0;
    // The next byte the master reads.
    virtual std::uint8_t read() = 0;
    // STOP, or a START addressing anyone.
    virtual void end() {}

    [[nodiscard]] bool answers(std::uint16_t at, bool ten_bit_address) const noexcept
    {
        return ten_bit() == ten_bit_address && at >= address() && unsigned{at} - address() < address_span();
    }
};

// A byte memory with an address pointer, as the 24C01..24C512 EEPROMs have
// it: after the device address the master writes the pointer (address_bytes
// bytes, high byte first; with one address byte and more than 256 bytes, the
// device answers size / 256 addresses and the one used gives the pointer's
// high bits). Further bytes are stored at the pointer, which wraps within its
// page (page_size bytes); reads start at the pointer and wrap around the whole
// memory. With page_size = size it is a plain memory without page limit.
// How many device addresses such a memory answers: size / 256 with one
// address byte (24C04: 2, 24C08: 4, 24C16: 8), else 1.
[[nodiscard]] unsigned memory_address_span(std::size_t size, unsigned address_bytes) noexcept;

struct I2cMemoryConfig {
    std::uint16_t address = 0;
    bool ten_bit = false;
    std::size_t size = 256;      // 1..65536
    std::size_t page_size = 256; // divides size
    unsigned address_bytes = 1;  // 1 or 2
};

class I2cMemory : public I2cDevice {
public:
    explicit I2cMemory(const I2cMemoryConfig& config);
    I2cMemory(std::uint16_t address, bool ten_bit, std::size_t size, std::size_t page_size);
    [[nodiscard]] std::uint16_t address() const noexcept override { return config_.address; }
    [[nodiscard]] bool ten_bit() const noexcept override { return config_.ten_bit; }
    [[nodiscard]] unsigned address_span() const noexcept override;
    void begin(std::uint16_t address, bool read) override;
    bool write(std::uint8_t value) override;
    std::uint8_t read() override;

    [[nodiscard]] std::span<std::uint8_t> memory() noexcept { return memory_; }
    [[nodiscard]] std::size_t pointer() const noexcept { return pointer_; }
    // Data was written since construction or the last clear_modified().
    [[nodiscard]] bool modified() const noexcept { return modified_; }
    void clear_modified() noexcept { modified_ = false; }

private:
    I2cMemoryConfig config_;
    std::vector<std::uint8_t> memory_;
    std::size_t pointer_ = 0;
    std::size_t block_ = 0;          // high pointer bits from the device address
    unsigned pointer_bytes_due_ = 0; // address bytes still to come in this write
    std::size_t new_pointer_ = 0;
    bool modified_ = false;
};

// A register-file device of 256 registers with an auto-incrementing pointer
// (wraps at 256): the first byte written sets the pointer. Registers listed as
// read-only refuse writes with a missing acknowledge.
class I2cRegisterFile : public I2cDevice {
public:
    struct Register {
        std::uint8_t index;
        std::uint8_t reset_value;
        bool read_only;
        bool operator==(const Register&) const = default;
    };
    I2cRegisterFile(std::uint16_t address, std::span<const Register> registers, bool ten_bit = false);
    [[nodiscard]] std::uint16_t address() const noexcept override { return address_; }
    [[nodiscard]] bool ten_bit() const noexcept override { return ten_bit_; }
    void begin(std::uint16_t address, bool read) override;
    bool write(std::uint8_t value) override;
    std::uint8_t read() override;

    [[nodiscard]] std::span<std::uint8_t> registers() noexcept { return registers_; }
    [[nodiscard]] std::uint8_t pointer() const noexcept { return pointer_; }

private:
    std::uint16_t address_;
    bool ten_bit_;
    std::vector<std::uint8_t> registers_ = std::vector<std::uint8_t>(256, 0);
    std::vector<bool> read_only_ = std::vector<bool>(256, false);
    std::uint8_t pointer_ = 0;
    bool pointer_pending_ = false;
};

class I2cBus {
public:
    I2cBus() = default;
    I2cBus(I2cBus&&) noexcept = default;
    I2cBus& operator=(I2cBus&&) noexcept = default;

    void add(std::unique_ptr<I2cDevice> device);
    // The device that answers this address.
    [[nodiscard]] I2cDevice* find(std::uint16_t address, bool ten_bit) const noexcept;

    // The master's drive on the lines (true = released or driven high); a
    // change of SDA while SCL stays high is a START or STOP.
    void set_master(bool scl, bool sda);
    // One SCL pulse (low, high, low) with the master driving sda_out on SDA
    // (true = released or high). Returns the SDA level while SCL was high.
    // The master leaves SCL low afterwards.
    bool clock(bool sda_out);
    // Lines released and every device idle (the connector was switched away).
    void disconnect();
    // The lines as they are when the bus is wired up (power-up): taken as
    // they stand, without a START, STOP or clock edge.
    void set_lines(bool scl, bool sda) noexcept
    {
        scl_ = scl;
        master_sda_ = sda;
    }

    [[nodiscard]] bool scl() const noexcept { return scl_; }
    [[nodiscard]] bool sda() const noexcept { return master_sda_ && !device_sda_low_; }
    // A device holds SDA low (acknowledging, or sending a 0).
    [[nodiscard]] bool device_pulls_sda() const noexcept { return device_sda_low_; }
    [[nodiscard]] unsigned starts() const noexcept { return starts_; }
    [[nodiscard]] unsigned stops() const noexcept { return stops_; }
    // Bytes that reached the address or data framing while the bus was not
    // in a transaction (clocks without a START): a sign of a broken stream.
    [[nodiscard]] unsigned stray_clocks() const noexcept { return stray_clocks_; }
    // The device the transaction addresses (null when none answered).
    [[nodiscard]] const I2cDevice* selected() const noexcept { return selected_; }
    // Acknowledge clocks that ended (SCL fell after the 9th bit of a byte)
    // while a device was selected: where a device may stretch the clock.
    [[nodiscard]] unsigned acknowledges() const noexcept { return acknowledges_; }

private:
    enum class Phase : std::uint8_t { idle, address, address_low, write, read };
    void start();
    void stop();
    void rise(); // SCL edges: devices sample on the rising edge and change SDA after the falling one
    void fall();
    void byte_received(std::uint8_t value);
    void end_transaction();

    std::vector<std::unique_ptr<I2cDevice>> devices_;
    bool scl_ = true;
    bool master_sda_ = true;
    bool device_sda_low_ = false;

    Phase phase_ = Phase::idle;
    unsigned bit_ = 0;  // 0..7 data bits, 8 the acknowledge clock
    bool rose_ = false; // SCL rose in this transaction: the next fall ends a bit clock
    std::uint8_t shift_ = 0;
    bool acked_ = false;      // the device acknowledged the byte just received
    bool go_read_ = false;    // the address asked for a read
    bool master_ack_ = false; // the master acknowledged the byte just read
    I2cDevice* selected_ = nullptr;
    I2cDevice* ten_bit_selected_ = nullptr; // kept across repeated START
    std::uint16_t ten_bit_address_ = 0;     // the address it was selected at
    std::uint8_t ten_bit_high_ = 0;
    unsigned starts_ = 0;
    unsigned stops_ = 0;
    unsigned stray_clocks_ = 0;
    unsigned acknowledges_ = 0;
};

} // namespace orv::emu
