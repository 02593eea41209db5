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

Bus::Bus(Session& session, std::uint32_t clock_khz, bool ten_bit)
    : session_(session), clock_(clock_not_above_khz(clock_khz)), ten_bit_(ten_bit),
      lease_(session, I2cSetup{clock_.request_khz, bus_timeout(session.timeout_ms())})
{
    claim_adapter();
}

std::string Bus::address_text(std::uint32_t addr) const
{
    return hex(addr, ten_bit_ ? 3 : 2);
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

bool Bus::probe_write(std::uint32_t addr)
{
    claim_adapter();
    static constexpr std::uint8_t none = 0; // the library wants a buffer even for no bytes
    const std::int32_t rc = lumo_iic_send_bytes(session_.handle(), addr, address_bits(), &none, 0, timeout());
    if (rc != 0 && rc != TPW_ERROR_OTHER) {
        check(rc, addr, "probing " + address_text(addr));
    }
    return rc == 0;
}

bool Bus::probe_read(std::uint32_t addr)
{
    claim_adapter();
    std::uint8_t byte = 0;
    const std::int32_t rc = lumo_iic_read_bytes(session_.handle(), addr, address_bits(), &byte, 1, timeout());
    if (rc != 0 && rc != TPW_ERROR_OTHER) {
        check(rc, addr, "probing " + address_text(addr));
    }
    return rc == 0;
}

std::vector<bool> Bus::detect(std::uint32_t first, std::uint32_t last, ProbeMode mode)
{
    // 10-bit addresses have no EEPROM ranges to spare: quick writes unless
    // reads are asked for.
    if (ten_bit_ && mode == ProbeMode::automatic) {
        mode = ProbeMode::quick_write;
    }
    const std::uint32_t total = last - first + 1;
    std::vector<bool> present;
    present.reserve(total);
    reporting_done(
        [&] {
            Progress progress(session_, "probe", total, ORVDEV_UNIT_ITEMS);
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
                                          ten_bit_ ? 3 : 2}};
        });
    return present;
}

void Bus::write(std::uint32_t addr, std::span<const std::uint8_t> bytes, const std::string& doing)
{
    claim_adapter();
    if (bytes.size() + 1 <= MAX_TRANSFER_READBACK) {
        // As one message of a combined transaction: the same START, address,
        // bytes and STOP on the bus, but each data byte's acknowledge comes
        // back in a read-back byte of its own, so a refusal names its byte.
        Bytes data(bytes.begin(), bytes.end());
        const Message message{addr, false, data};
        run_combined(session_.handle(), timeout(), ten_bit_, std::span(&message, 1),
                     [&](const TransferFault& fault) {
                         switch (fault.kind) {
                         case TransferFault::Kind::address:
                             check(TPW_ERROR_OTHER, addr, doing);
                             break;
                         case TransferFault::Kind::data:
                             throw Failure(ORVDEV_ERROR_I2C_DATA_NACK,
                                           "the device at " + address_text(addr) + " refused data byte " +
                                               std::to_string(fault.byte) + " (counted from 0)",
                                           "the device may be busy (an EEPROM finishing a write) or the "
                                           "register may not exist")
                                 .with_byte_index(static_cast<int>(fault.byte));
                         case TransferFault::Kind::bus:
                             break;
                         }
                         check(fault.code, addr, doing);
                     });
        return;
    }
    const std::int32_t rc = lumo_iic_send_bytes(session_.handle(), addr, address_bits(), bytes.data(),
                                                static_cast<std::uint32_t>(bytes.size()), timeout());
    if (rc == TPW_ERROR_USBTRANS_ERR) {
        // The library packs the data bytes' acknowledges eight to a read-back
        // byte: it cannot tell which byte went unacknowledged, nor that from a
        // read-back that came up short.
        throw Failure(ORVDEV_ERROR_I2C_WRITE_FAILED,
                      "the device at " + address_text(addr) +
                          " refused a data byte, or the adapter's answer came up short",
                      "the device may be busy (an EEPROM finishing a write) or the register may not exist",
                      rc, bus_text(rc, doing));
    }
    check(rc, addr, doing);
}

void Bus::read(std::uint32_t addr, std::span<std::uint8_t> out, bool staged)
{
    claim_adapter();
    std::uint64_t read = 0;
    reporting_done(
        [&] {
            std::optional<Progress> progress;
            if (staged) {
                progress.emplace(session_, "read", out.size(), ORVDEV_UNIT_BYTES);
            }
            while (read < out.size()) {
                const auto n = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(LUMO_IIC_MAX_READ_BYTES, out.size() - read));
                check(lumo_iic_read_bytes(session_.handle(), addr, address_bits(), out.data() + read, n,
                                          timeout()),
                      addr, "reading from " + address_text(addr));
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
            Progress progress(session_, "read", out.size(), ORVDEV_UNIT_BYTES);
            while (read < out.size()) {
                const auto n = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(LUMO_IIC_MAX_READ_BYTES, out.size() - read));
                claim_adapter();
                check(lumo_iic_read_bytes(session_.handle(), addr, address_bits(), out.data() + read, n,
                                          timeout()),
                      addr, "reading from " + address_text(addr));
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
            Progress progress(session_, "write", data.size(), ORVDEV_UNIT_BYTES);
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
    claim_adapter();
    run_combined(session_.handle(), timeout(), ten_bit_, messages, [&](const TransferFault& fault) {
        const Message& m = messages[fault.message];
        const std::string doing = "message " + std::to_string(fault.message) + " of the transfer, " +
                                  (m.read ? "reading from " : "writing to ") + address_text(m.addr);
        switch (fault.kind) {
        case TransferFault::Kind::address:
            throw Failure(ORVDEV_ERROR_I2C_NO_ACK,
                          "no device acknowledged address " + address_text(m.addr) + " (message " +
                              std::to_string(fault.message) + ", counted from 0)",
                          "check the address, the wiring and the pull-ups", TPW_ERROR_OTHER,
                          bus_text(TPW_ERROR_OTHER, doing))
                .with_message_index(static_cast<int>(fault.message));
        case TransferFault::Kind::data:
            throw Failure(
                ORVDEV_ERROR_I2C_DATA_NACK,
                "the device at " + address_text(m.addr) + " refused data byte " + std::to_string(fault.byte) +
                    " of message " + std::to_string(fault.message) + " (both counted from 0)",
                "the device may be busy (an EEPROM finishing a write) or the register may not exist")
                .with_byte_index(static_cast<int>(fault.byte))
                .with_message_index(static_cast<int>(fault.message));
        case TransferFault::Kind::bus:
            check(fault.code, m.addr, "the combined transfer");
        }
    });
}

} // namespace orv::dev::i2c
