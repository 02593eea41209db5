#include "lib/devices/i2c/i2c_bus.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "lib/wire/value_text.hpp"
#include <orv_lumo_iic.h>
#include <orv_tapwire.h>

#include "lib/devices/i2c/i2c_transfer.hpp"
#include "lib/devices/session/failure.hpp"

namespace orv::dev::i2c {

namespace {

constexpr std::uint32_t DEFAULT_WRITE_CYCLE_MS = 20; // twice the 24Cxx data sheets' 10 ms

} // namespace

ProbeMode probe_for(ProbeMode mode, std::uint32_t addr)
{
    if (mode != ProbeMode::automatic) {
        return mode;
    }
    const bool eeprom_like = (addr >= 0x30 && addr <= 0x37) || (addr >= 0x50 && addr <= 0x5F);
    return eeprom_like ? ProbeMode::read_byte : ProbeMode::quick_write;
}

Bytes register_address(std::uint32_t reg, int reg_bytes)
{
    if ((reg_bytes != 1 && reg_bytes != 2) || reg >= (std::uint32_t{1} << (8 * reg_bytes))) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, "register " + hex(reg, 2) + " does not fit " +
                                                         std::to_string(reg_bytes) + " address byte" +
                                                         (reg_bytes == 1 ? "" : "s"));
    }
    if (reg_bytes == 2) {
        return Bytes{static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg)};
    }
    return Bytes{static_cast<std::uint8_t>(reg)};
}

std::string Bus::address_text(std::uint32_t addr) const
{
    return hex(addr, ten_bit() ? 3 : 2);
}

void Bus::check(std::int32_t rc, std::uint32_t addr, const std::string& doing) const
{
    if (rc == TPW_ERROR_OTHER) {
        throw Failure(ORVDEV_ERROR_I2C_NO_ACK, "no device acknowledged address " + address_text(addr),
                      "check the address, the wiring and the pull-ups", rc, bus_text(rc, doing));
    }
    if (rc == TPW_ERROR_TIMEOUT || rc == LIBUSB_ERROR_TIMEOUT) {
        // The I2C read-back waits a bounded time whatever the session's
        // timeout: a longer one would not help.
        throw Failure(rc, bus_text(rc, doing),
                      "the adapter did not deliver the I2C read-back in time: check that it is powered and "
                      "plugged in, and retry",
                      rc);
    }
    check_bus(rc, doing);
}

void Bus::check_line(const TransferFault& fault) const
{
    if (fault.kind == TransferFault::Kind::line) {
        throw Failure(ORVDEV_ERROR_I2C_LINE_HELD, fault.detail,
                      "check the net for a short to ground or a missing pull-up, and for a device "
                      "stretching the clock");
    }
}

void Bus::fail(const TransferFault& fault, std::uint32_t addr, const std::string& doing) const
{
    check_line(fault);
    switch (fault.kind) {
    case TransferFault::Kind::address:
        check(TPW_ERROR_OTHER, addr, doing);
        break;
    case TransferFault::Kind::data:
        if (fault.acks_packed) {
            throw Failure(
                ORVDEV_ERROR_I2C_WRITE_FAILED,
                "the device at " + address_text(addr) +
                    " refused a data byte, or the adapter's answer came up short",
                "the device may be busy (an EEPROM finishing a write) or the register may not exist",
                fault.code, bus_text(fault.code, doing));
        }
        throw Failure(ORVDEV_ERROR_I2C_DATA_NACK,
                      "the device at " + address_text(addr) + " refused data byte " +
                          std::to_string(fault.byte) + " (counted from 0)",
                      "the device may be busy (an EEPROM finishing a write) or the register may not exist")
            .with_byte_index(static_cast<int>(fault.byte));
    case TransferFault::Kind::bus:
    case TransferFault::Kind::line:
        break;
    }
    check(fault.code, addr, doing);
    throw Failure(ORVDEV_ERROR_INTERNAL, doing + ": a transaction failed without a cause");
}

bool Bus::probe_write(std::uint32_t addr)
{
    const auto fault = link_->probe(addr, false);
    if (fault && fault->kind != TransferFault::Kind::address) {
        fail(*fault, addr, "probing " + address_text(addr));
    }
    return !fault;
}

bool Bus::probe_read(std::uint32_t addr)
{
    const auto fault = link_->probe(addr, true);
    if (fault && fault->kind != TransferFault::Kind::address) {
        fail(*fault, addr, "probing " + address_text(addr));
    }
    return !fault;
}

std::vector<bool> Bus::detect(std::uint32_t first, std::uint32_t last, ProbeMode mode)
{
    // 10-bit addresses have no EEPROM ranges to spare: quick writes unless
    // reads are asked for.
    if (ten_bit() && mode == ProbeMode::automatic) {
        mode = ProbeMode::quick_write;
    }
    const std::uint32_t total = last - first + 1;
    std::vector<bool> present;
    present.reserve(total);
    reporting_done(
        [&] {
            Progress progress(session(), "probe", total, ORVDEV_UNIT_ITEMS);
            for (std::uint32_t a = first; a <= last; ++a) {
                const bool read = probe_for(mode, a) == ProbeMode::read_byte;
                present.push_back(read ? probe_read(a) : probe_write(a));
                progress.update(a - first + 1);
            }
        },
        [&] {
            const std::uint64_t probed = present.size();
            const auto found = static_cast<std::uint64_t>(std::count(present.begin(), present.end(), true));
            return std::vector<Done>{Done{"probed",
                                          {{"addresses", probed, total}, {"devices found", found, {}}},
                                          first,
                                          first + probed,
                                          ten_bit() ? 3 : 2}};
        });
    return present;
}

void Bus::write(std::uint32_t addr, std::span<const std::uint8_t> bytes, const std::string& doing)
{
    if (const auto fault = link_->write(addr, bytes)) {
        fail(*fault, addr, doing);
    }
}

void Bus::read(std::uint32_t addr, std::span<std::uint8_t> out, bool staged)
{
    std::uint64_t read = 0;
    reporting_done(
        [&] {
            std::optional<Progress> progress;
            if (staged) {
                progress.emplace(session(), "read", out.size(), ORVDEV_UNIT_BYTES);
            }
            while (read < out.size()) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(link_->max_read(), out.size() - read));
                if (const auto fault = link_->read(addr, out.subspan(static_cast<std::size_t>(read), n))) {
                    fail(*fault, addr, "reading from " + address_text(addr));
                }
                read += n;
                if (progress) {
                    progress->update(read);
                }
            }
        },
        [&] {
            return std::vector<Done>{Done{"read", {{"bytes", read, out.size()}}, {}, {}, 2}};
        });
}

void Bus::read_register(std::uint32_t addr, std::uint32_t reg, int reg_bytes, std::span<std::uint8_t> out)
{
    const Bytes select = register_address(reg, reg_bytes);
    const int digits = 2 * reg_bytes;
    std::uint64_t read = 0;
    reporting_done(
        [&] {
            write(addr, select, "selecting register " + hex(reg, digits));
            Progress progress(session(), "read", out.size(), ORVDEV_UNIT_BYTES);
            while (read < out.size()) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(link_->max_read(), out.size() - read));
                if (const auto fault = link_->read(addr, out.subspan(static_cast<std::size_t>(read), n))) {
                    fail(*fault, addr, "reading from " + address_text(addr));
                }
                read += n;
                progress.update(read);
            }
        },
        [&] {
            return std::vector<Done>{Done{"read", {{"bytes", read, out.size()}}, reg, reg + read, digits}};
        });
}

void Bus::write_register(std::uint32_t addr, std::uint32_t reg, int reg_bytes,
                         std::span<const std::uint8_t> data)
{
    Bytes bytes = register_address(reg, reg_bytes);
    bytes.insert(bytes.end(), data.begin(), data.end());
    write(addr, bytes, "writing register " + hex(reg, 2 * reg_bytes));
}

void Bus::eeprom_write(std::uint32_t addr, std::uint32_t offset, int offset_bytes, std::uint32_t page_size,
                       std::span<const std::uint8_t> data, std::uint32_t write_cycle_ms)
{
    if (page_size == 0 || page_size > 256 || (page_size & (page_size - 1)) != 0) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "EEPROM page size " + std::to_string(page_size) + " is not a power of two up to 256");
    }
    (void)register_address(offset + static_cast<std::uint32_t>(data.size() == 0 ? 0 : data.size() - 1),
                           offset_bytes);
    const auto cycle =
        std::chrono::milliseconds(write_cycle_ms == 0 ? DEFAULT_WRITE_CYCLE_MS : write_cycle_ms);
    std::uint64_t written = 0;
    std::uint64_t pages = 0;
    std::uint64_t at = offset;
    reporting_done(
        [&] {
            Progress progress(session(), "write", data.size(), ORVDEV_UNIT_BYTES);
            while (written < data.size()) {
                at = offset + written;
                // Never across a page boundary: the EEPROM would wrap to the
                // page's start.
                const std::uint64_t room = page_size - at % page_size;
                const std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(room, data.size() - written));
                write_register(addr, static_cast<std::uint32_t>(at), offset_bytes,
                               data.subspan(static_cast<std::size_t>(written), n));
                // The write cycle: the EEPROM ignores its address until done.
                const auto started = std::chrono::steady_clock::now();
                for (;;) {
                    const auto before = std::chrono::steady_clock::now();
                    if (probe_write(addr)) {
                        break;
                    }
                    if (before - started > cycle) {
                        throw Failure(ORVDEV_ERROR_I2C_BUSY,
                                      "the EEPROM at " + address_text(addr) +
                                          " did not finish its write cycle in " +
                                          std::to_string(cycle.count()) + " ms",
                                      "check the EEPROM's write-protect pin and its supply");
                    }
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
                written += n;
                ++pages;
                progress.update(written);
            }
        },
        [&] {
            return std::vector<Done>{Done{"wrote",
                                          {{"bytes", written, data.size()}, {"pages", pages, {}}},
                                          offset,
                                          at,
                                          2 * offset_bytes}};
        });
}

void Bus::transfer(std::span<const Message> messages)
{
    const auto fault = link_->transfer(messages);
    if (!fault) {
        return;
    }
    check_line(*fault);
    const Message& m = messages[fault->message];
    const std::string doing = "message " + std::to_string(fault->message) + " of the transfer, " +
                              (m.read ? "reading from " : "writing to ") + address_text(m.addr);
    switch (fault->kind) {
    case TransferFault::Kind::address:
        throw Failure(ORVDEV_ERROR_I2C_NO_ACK,
                      "no device acknowledged address " + address_text(m.addr) + " (message " +
                          std::to_string(fault->message) + ", counted from 0)",
                      "check the address, the wiring and the pull-ups", TPW_ERROR_OTHER,
                      bus_text(TPW_ERROR_OTHER, doing))
            .with_message_index(static_cast<int>(fault->message));
    case TransferFault::Kind::data:
        throw Failure(ORVDEV_ERROR_I2C_DATA_NACK,
                      "the device at " + address_text(m.addr) + " refused data byte " +
                          std::to_string(fault->byte) + " of message " + std::to_string(fault->message) +
                          " (both counted from 0)",
                      "the device may be busy (an EEPROM finishing a write) or the register may not exist")
            .with_byte_index(static_cast<int>(fault->byte))
            .with_message_index(static_cast<int>(fault->message));
    case TransferFault::Kind::bus:
    case TransferFault::Kind::line:
        break;
    }
    check(fault->code, m.addr, "the combined transfer");
    throw Failure(ORVDEV_ERROR_INTERNAL, "the combined transfer failed without a cause");
}

} // namespace orv::dev::i2c
