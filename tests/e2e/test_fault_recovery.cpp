// Each library through a fault scheduled among its transfers, then the way
// back: the result the fault gives, what it leaves in the caller's state and
// buffers, what the purge throws away, and a next operation that returns the
// board's true data.
//
// The faults: the adapter unplugged between the OUT transfer and the
// read-back; a stall on the data read; a count that grows past what was asked
// (more than the adapter can deliver); a data read that sends more than asked;
// an adapter that stops completing transfers after the OUT transfer.
#include <functional>

#include "lib/wire/spi_nor.hpp"
#include "orv_lumo_iic.h"
#include "orv_lumo_spi.h"
#include "orv_tapwire.h"
#include "tests/e2e/e2e_support.hpp"

namespace orv::e2e {
namespace {

using orv::sim::Fault;
using orv::sim::FaultKind;

constexpr std::uint8_t UNTOUCHED = 0xEE;
constexpr std::uint32_t FAST_TIMEOUT_MS = 3; // for faults that make transfers wait out their timeout

// One read of each library, E read-back bytes each.
enum class Library { jtag, spi, i2c };

const char* name(Library library)
{
    return library == Library::jtag ? "jtag" : library == Library::spi ? "spi" : "i2c";
}

enum class Scheduled { unplug_before_readback, stall_data_read, count_past_expected, data_past_count, stops };

struct RecoveryCase {
    Library library;
    Scheduled fault;
    std::int32_t result;
    bool output_may_change;   // the caller's buffer may hold bytes that arrived (JTAG, SPI)
    std::uint64_t min_purged; // read-back bytes the fault leaves behind (at least)
};

std::string case_name(const ::testing::TestParamInfo<RecoveryCase>& info)
{
    static const char* const FAULT_NAMES[] = {"UnplugBeforeReadBack", "StallOnDataRead", "CountPastExpected",
                                              "DataPastCount", "AdapterStopsAnswering"};
    return std::string(name(info.param.library)) + FAULT_NAMES[static_cast<int>(info.param.fault)];
}

void PrintTo(const RecoveryCase& c, std::ostream* os)
{
    *os << name(c.library) << "/" << static_cast<int>(c.fault);
}

Fault fault_of(Scheduled scheduled)
{
    switch (scheduled) {
    case Scheduled::unplug_before_readback:
        return {FaultKind::unplugged, 0, -1, 1}; // the OUT transfer goes through
    case Scheduled::stall_data_read:
        return {FaultKind::stall, EP_READBACK_DATA_IN, 1, 0};
    case Scheduled::count_past_expected:
        return {FaultKind::overcount, EP_READBACK_COUNT_IN, -1, 0};
    case Scheduled::data_past_count:
        return {FaultKind::overflow, EP_READBACK_DATA_IN, 1, 0};
    case Scheduled::stops:
        return {FaultKind::timeout, 0, -1, 1};
    }
    return {};
}

class FaultRecovery : public VirtualAdapterTest, public ::testing::WithParamInterface<RecoveryCase> {
protected:
    void SetUp() override
    {
        VirtualAdapterTest::SetUp();
        spi_.clock_freq = 6000;
        spi_.cmd_enable = 1;
        spi_.addr_bytes = nor::ADDRESS_BYTES_3;
        ASSERT_EQ(tapwire_reset(handle(), &tap_, TIMEOUT_MS), 0);
        ASSERT_EQ(lumo_spi_set_config(handle(), &spi_, TIMEOUT_MS), 0);
        ASSERT_EQ(lumo_iic_init(handle(), 100, TIMEOUT_MS), 0);
        for (std::size_t i = 0; i < 64; ++i) {
            model().flash_memory()[i] = static_cast<std::uint8_t>(i * 7 + 1);
            model().eeprom_memory()[i] = static_cast<std::uint8_t>(0xC0 ^ i);
        }
    }

    // The library's read into `out` (4 bytes): JTAG the first 32 bits of the
    // IDCODE chain after a reset, SPI the flash at 0, I2C the EEPROM at 0.
    std::int32_t read(Library library, Bytes& out, std::uint32_t timeout)
    {
        out.assign(4, UNTOUCHED);
        switch (library) {
        case Library::jtag: {
            std::int32_t rc = tapwire_reset(handle(), &tap_, timeout);
            const Bytes zeros(4, 0);
            return rc != 0 ? rc : tapwire_shift_dr(handle(), &tap_, 32, zeros.data(), out.data(), 0, timeout);
        }
        case Library::spi:
            return lumo_spi_read_write_bytes(handle(), 4, nullptr, out.data(), 0, nor::CMD_READ, 0, &spi_,
                                             timeout);
        case Library::i2c: {
            const std::uint8_t offset = 0;
            std::int32_t rc = lumo_iic_send_bytes(handle(), 0x50, 7, &offset, 1, timeout);
            return rc != 0 ? rc : lumo_iic_read_bytes(handle(), 0x50, 7, out.data(), 4, timeout);
        }
        }
        return -1;
    }

    Bytes truth(Library library)
    {
        switch (library) {
        case Library::jtag:
            return {0x77, 0x04, 0xA0, 0x4B};
        case Library::spi:
            return Bytes(model().flash_memory().begin(), model().flash_memory().begin() + 4);
        case Library::i2c:
            return Bytes(model().eeprom_memory().begin(), model().eeprom_memory().begin() + 4);
        }
        return {};
    }

    int32_t tap_ = TPW_TAP_RUN_TEST_IDLE;
    lumo_spi_config spi_{};
};

TEST_P(FaultRecovery, FailsCleanlyThenPurgeAndNextReadGiveTheTruth)
{
    const RecoveryCase& c = GetParam();
    const bool waits = c.fault == Scheduled::stops ||
                       (c.library == Library::i2c && c.fault == Scheduled::count_past_expected);
    if (c.library == Library::i2c) {
        const std::uint8_t offset = 0; // the EEPROM's pointer, before the faulted read
        ASSERT_EQ(lumo_iic_send_bytes(handle(), 0x50, 7, &offset, 1, TIMEOUT_MS), 0);
    }
    const int32_t tap_before = tap_;
    Bytes out(4, UNTOUCHED);
    usb_->set_fault(0, fault_of(c.fault));
    const std::uint32_t timeout = waits ? FAST_TIMEOUT_MS : TIMEOUT_MS;
    std::int32_t rc = 0;
    const Bytes zeros(4, 0);
    switch (c.library) {
    case Library::jtag:
        rc = tapwire_shift_dr(handle(), &tap_, 32, zeros.data(), out.data(), 0, timeout);
        EXPECT_EQ(tap_, tap_before) << "the TAP state variable is kept on failure";
        break;
    case Library::spi:
        rc = lumo_spi_read_write_bytes(handle(), 4, nullptr, out.data(), 0, nor::CMD_READ, 0, &spi_, timeout);
        break;
    case Library::i2c:
        rc = lumo_iic_read_bytes(handle(), 0x50, 7, out.data(), 4, timeout);
        break;
    }
    EXPECT_EQ(rc, c.result);
    if (!c.output_may_change) {
        EXPECT_EQ(out, Bytes(4, UNTOUCHED)) << "the caller's buffer is left alone";
    }

    clear_fault();
    EXPECT_GE(purge(), c.min_purged);
    EXPECT_EQ(purge(), 0u) << "one purge empties the read-back";
    ASSERT_EQ(read(c.library, out, TIMEOUT_MS), 0);
    EXPECT_EQ(out, truth(c.library));
}

// E is 4 for JTAG and SPI, 5 for the I2C read (the address acknowledge first).
INSTANTIATE_TEST_SUITE_P(
    AllLibraries, FaultRecovery,
    ::testing::Values(
        RecoveryCase{Library::jtag, Scheduled::unplug_before_readback, LIBUSB_ERROR_NO_DEVICE, false, 4},
        RecoveryCase{Library::spi, Scheduled::unplug_before_readback, LIBUSB_ERROR_NO_DEVICE, false, 4},
        // A gone device ends the I2C exchange at its first poll, not after 10 x timeout.
        RecoveryCase{Library::i2c, Scheduled::unplug_before_readback, LIBUSB_ERROR_NO_DEVICE, false, 5},
        RecoveryCase{Library::jtag, Scheduled::stall_data_read, LIBUSB_ERROR_PIPE, false, 4},
        RecoveryCase{Library::spi, Scheduled::stall_data_read, LIBUSB_ERROR_PIPE, false, 4},
        RecoveryCase{Library::i2c, Scheduled::stall_data_read, LIBUSB_ERROR_PIPE, false, 5},
        // JTAG and SPI read the whole count through a scratch buffer: short.
        // I2C never sees its exact count: the poll limit, and its drain empties the adapter.
        RecoveryCase{Library::jtag, Scheduled::count_past_expected, TPW_ERROR_USBTRANS_ERR, false, 0},
        RecoveryCase{Library::spi, Scheduled::count_past_expected, TPW_ERROR_USBTRANS_ERR, false, 0},
        RecoveryCase{Library::i2c, Scheduled::count_past_expected, TPW_ERROR_TIMEOUT, false, 0},
        // The bytes asked for arrive before the overflow: JTAG and SPI read
        // straight into the caller's buffer, which is valid only on success.
        RecoveryCase{Library::jtag, Scheduled::data_past_count, LIBUSB_ERROR_OVERFLOW, true, 0},
        RecoveryCase{Library::spi, Scheduled::data_past_count, LIBUSB_ERROR_OVERFLOW, true, 0},
        RecoveryCase{Library::i2c, Scheduled::data_past_count, LIBUSB_ERROR_OVERFLOW, false, 0},
        // The first poll waits out its timeout; I2C keeps polling to its limit.
        RecoveryCase{Library::jtag, Scheduled::stops, LIBUSB_ERROR_TIMEOUT, false, 4},
        RecoveryCase{Library::spi, Scheduled::stops, LIBUSB_ERROR_TIMEOUT, false, 4},
        RecoveryCase{Library::i2c, Scheduled::stops, TPW_ERROR_TIMEOUT, false, 5}),
    case_name);

// Without the purge the next read takes the bytes a failed one left behind
// as its own, with success: the hazard the purge is for.
TEST_F(VirtualAdapterTest, WithoutAPurgeTheNextReadReturnsStaleBytes)
{
    lumo_spi_config spi{};
    spi.clock_freq = 6000;
    spi.cmd_enable = 1;
    ASSERT_EQ(lumo_spi_set_config(handle(), &spi, TIMEOUT_MS), 0);
    Bytes id(3, UNTOUCHED);
    fault(FaultKind::stall, EP_READBACK_DATA_IN, 1);
    ASSERT_EQ(lumo_spi_read_write_bytes(handle(), 3, nullptr, id.data(), 0, nor::CMD_READ_JEDEC_ID, 0, &spi,
                                        TIMEOUT_MS),
              LIBUSB_ERROR_PIPE);
    std::uint8_t status = 0xEE;
    ASSERT_EQ(lumo_spi_read_write_bytes(handle(), 1, nullptr, &status, 0, nor::CMD_READ_STATUS, 0, &spi,
                                        TIMEOUT_MS),
              0);
    EXPECT_EQ(status, 0xEF) << "the status read returned the first byte of the JEDEC id";
    EXPECT_GT(purge(), 0u) << "and left bytes of its own behind";
}

} // namespace
} // namespace orv::e2e
