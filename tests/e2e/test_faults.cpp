// Faults of the virtual device as the three libraries report them, and what
// they leave behind: the caller's TAP state and output buffers stay as they
// were, the poll limits hold, and the next operation works once the fault is
// gone and the read-back has been purged.
#include "orv_lumo_iic.h"
#include "orv_lumo_spi.h"
#include "orv_tapwire.h"
#include "tests/e2e/e2e_support.hpp"

namespace orv::e2e {
namespace {

using orv::sim::FaultKind;

constexpr std::uint8_t UNTOUCHED = 0xEE;
const Bytes BOTH_IDCODES = {0x77, 0x04, 0xA0, 0x4B, 0x93, 0x70, 0x72, 0x03};

class FaultTest : public VirtualAdapterTest {
protected:
    std::uint64_t polls() const { return usb_->submitted(0, EP_READBACK_COUNT_IN); }
    std::uint64_t data_reads() const { return usb_->submitted(0, EP_READBACK_DATA_IN); }
    std::uint64_t outs() const { return usb_->submitted(0, EP_COMMAND_OUT); }
};

// ---- JTAG ------------------------------------------------------------------

class JtagFaultTest : public FaultTest {
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        ASSERT_EQ(tapwire_reset(handle(), &state_, TIMEOUT_MS), 0);
        ASSERT_EQ(state_, TPW_TAP_TEST_LOGIC_RESET);
    }

    // A 64-bit IDCODE scan; on failure state and tdo must be as they were.
    int32_t idcode_scan(std::uint32_t timeout = TIMEOUT_MS)
    {
        tdo_.assign(8, UNTOUCHED);
        return tapwire_shift_dr(handle(), &state_, 64, zeros_.data(), tdo_.data(), 0, timeout);
    }

    void expect_untouched()
    {
        EXPECT_EQ(state_, TPW_TAP_TEST_LOGIC_RESET) << "TAP state left as it was";
        EXPECT_EQ(tdo_, Bytes(8, UNTOUCHED)) << "TDO buffer untouched";
    }

    void expect_recovers()
    {
        clear_fault();
        purge();
        ASSERT_EQ(idcode_scan(), 0);
        EXPECT_EQ(tdo_, BOTH_IDCODES);
        EXPECT_EQ(state_, TPW_TAP_RUN_TEST_IDLE);
    }

    int32_t state_ = TPW_TAP_RUN_TEST_IDLE;
    Bytes zeros_ = Bytes(8, 0);
    Bytes tdo_;
};

TEST_F(JtagFaultTest, UnpluggedIsNoDeviceEverywhere)
{
    fault(FaultKind::unplugged);
    EXPECT_EQ(idcode_scan(), LIBUSB_ERROR_NO_DEVICE);
    expect_untouched();
    EXPECT_EQ(tapwire_reset(handle(), &state_, TIMEOUT_MS), LIBUSB_ERROR_NO_DEVICE);
    const std::uint8_t ir[2] = {0xFF, 0x03};
    EXPECT_EQ(tapwire_shift_ir(handle(), &state_, 10, ir, nullptr, 0, TIMEOUT_MS), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(tapwire_goto_idle(handle(), &state_, 10, TIMEOUT_MS), LIBUSB_ERROR_NO_DEVICE);
    expect_untouched();
    expect_recovers();
}

TEST_F(JtagFaultTest, StalledCommandEndpointIsPipeError)
{
    fault(FaultKind::stall, EP_COMMAND_OUT, 1);
    EXPECT_EQ(idcode_scan(), LIBUSB_ERROR_PIPE);
    expect_untouched();
    EXPECT_EQ(polls(), 0u) << "no read-back after a failed command transfer";
    expect_recovers();
}

TEST_F(JtagFaultTest, StalledDataEndpointIsPipeError)
{
    fault(FaultKind::stall, EP_READBACK_DATA_IN, 1);
    EXPECT_EQ(idcode_scan(), LIBUSB_ERROR_PIPE);
    expect_untouched();
    expect_recovers();
}

TEST_F(JtagFaultTest, TimedOutTransfersAreLibusbTimeouts)
{
    fault(FaultKind::timeout, EP_COMMAND_OUT, 1);
    EXPECT_EQ(idcode_scan(20), LIBUSB_ERROR_TIMEOUT);
    expect_untouched();
    fault(FaultKind::timeout, EP_READBACK_COUNT_IN, 1);
    EXPECT_EQ(idcode_scan(20), LIBUSB_ERROR_TIMEOUT);
    expect_untouched();
    expect_recovers();
}

TEST_F(JtagFaultTest, ShortTransfersOnEachEndpointAreUsbTransErrors)
{
    fault(FaultKind::short_transfer, EP_COMMAND_OUT, 1);
    EXPECT_EQ(idcode_scan(), TPW_ERROR_USBTRANS_ERR);
    expect_untouched();
    EXPECT_EQ(tapwire_reset(handle(), &state_, TIMEOUT_MS), 0);

    fault(FaultKind::short_transfer, EP_READBACK_COUNT_IN, 1);
    EXPECT_EQ(idcode_scan(), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(state_, TPW_TAP_TEST_LOGIC_RESET);
    purge();

    fault(FaultKind::short_transfer, EP_READBACK_DATA_IN, 1);
    EXPECT_EQ(idcode_scan(), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(state_, TPW_TAP_TEST_LOGIC_RESET);
    expect_recovers();
}

TEST_F(JtagFaultTest, ReadBackThatNeverFillsGivesUpAtThePollLimit)
{
    fault(FaultKind::never_fill);
    const auto polls_before = polls();
    const auto reads_before = data_reads();
    EXPECT_EQ(idcode_scan(1), TPW_ERROR_TIMEOUT);
    expect_untouched();
    EXPECT_EQ(polls() - polls_before, 11u) << "10 x timeout + 1 polls";
    EXPECT_EQ(data_reads() - reads_before, 1u) << "one drain read";

    EXPECT_EQ(idcode_scan(3), TPW_ERROR_TIMEOUT);
    EXPECT_EQ(polls() - polls_before, 11u + 31u);
    expect_untouched();
    expect_recovers();
}

// ---- SPI -------------------------------------------------------------------

class SpiFaultTest : public FaultTest {
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        config_.clock_freq = 6000;
        config_.bit_order = 0;
        config_.cmd_enable = 1;
        ASSERT_EQ(lumo_spi_set_config(handle(), &config_, TIMEOUT_MS), 0);
    }
    int32_t read_id(std::uint8_t* id, std::uint32_t timeout = TIMEOUT_MS)
    {
        return lumo_spi_read_write_bytes(handle(), 3, nullptr, id, 0, 0x9F, 0, &config_, timeout);
    }
    void expect_recovers()
    {
        clear_fault();
        purge();
        std::uint8_t id[3] = {};
        ASSERT_EQ(read_id(id), 0);
        EXPECT_EQ(Bytes(id, id + 3), (Bytes{0xEF, 0x40, 0x16}));
    }
    lumo_spi_config config_{};
};

TEST_F(SpiFaultTest, EachFaultHasItsResult)
{
    std::uint8_t id[3] = {UNTOUCHED, UNTOUCHED, UNTOUCHED};
    fault(FaultKind::unplugged);
    EXPECT_EQ(read_id(id), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(lumo_spi_set_config(handle(), &config_, TIMEOUT_MS), LIBUSB_ERROR_NO_DEVICE);
    fault(FaultKind::stall, EP_READBACK_COUNT_IN, 1);
    EXPECT_EQ(read_id(id), LIBUSB_ERROR_PIPE);
    purge();
    fault(FaultKind::timeout, EP_READBACK_DATA_IN, 1);
    EXPECT_EQ(read_id(id, 20), LIBUSB_ERROR_TIMEOUT);
    purge();
    fault(FaultKind::short_transfer, EP_COMMAND_OUT, 1);
    EXPECT_EQ(lumo_spi_set_config(handle(), &config_, TIMEOUT_MS), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(Bytes(id, id + 3), Bytes(3, UNTOUCHED)) << "no bytes arrived before these failures";
    // A short data read may leave the bytes that did arrive, nothing beyond.
    fault(FaultKind::short_transfer, EP_READBACK_DATA_IN, 1);
    EXPECT_EQ(read_id(id), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(id[2], UNTOUCHED);
    expect_recovers();
}

TEST_F(SpiFaultTest, ReadBackThatNeverFillsGivesUpAtThePollLimit)
{
    std::uint8_t id[3] = {UNTOUCHED, UNTOUCHED, UNTOUCHED};
    fault(FaultKind::never_fill);
    const auto polls_before = polls();
    EXPECT_EQ(read_id(id, 1), TPW_ERROR_TIMEOUT);
    EXPECT_EQ(polls() - polls_before, 11u);
    expect_recovers();
}

// ---- I2C -------------------------------------------------------------------

class I2cFaultTest : public FaultTest {
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        ASSERT_EQ(lumo_iic_init(handle(), 100, TIMEOUT_MS), 0);
    }
    int32_t read_eeprom(std::uint32_t timeout = TIMEOUT_MS)
    {
        buffer_.assign(4, UNTOUCHED);
        return lumo_iic_read_bytes(handle(), 0x50, 7, buffer_.data(), 4, timeout);
    }
    void expect_untouched() { EXPECT_EQ(buffer_, Bytes(4, UNTOUCHED)) << "read buffer untouched"; }
    void expect_recovers()
    {
        clear_fault();
        purge();
        ASSERT_EQ(read_eeprom(), 0);
        EXPECT_EQ(buffer_, Bytes(4, model().eeprom_memory()[0]));
    }
    Bytes buffer_;
};

TEST_F(I2cFaultTest, ReadBackThatNeverFillsGivesUpAfterTenTimesTimeoutPolls)
{
    fault(FaultKind::never_fill);
    const auto polls_before = polls();
    EXPECT_EQ(read_eeprom(2), TPW_ERROR_TIMEOUT);
    EXPECT_EQ(polls() - polls_before, 20u);
    expect_untouched();
    expect_recovers();
}

TEST_F(I2cFaultTest, FailedCommandTransferShowsAsReadBackTimeout)
{
    // The command transfer's result is not examined: nothing ran, so the
    // read-back never arrives.
    fault(FaultKind::stall, EP_COMMAND_OUT, 1);
    EXPECT_EQ(read_eeprom(1), TPW_ERROR_TIMEOUT);
    expect_untouched();
    fault(FaultKind::short_transfer, EP_COMMAND_OUT, 1);
    const std::uint8_t data[2] = {0x00, 0x42};
    EXPECT_EQ(lumo_iic_send_bytes(handle(), 0x50, 7, data, 2, 1), TPW_ERROR_TIMEOUT);
    EXPECT_NE(model().eeprom_memory()[0], 0x42);
    expect_recovers();
}

TEST_F(I2cFaultTest, UnpluggedAdapterEndsTheExchangeAtTheFirstPoll)
{
    fault(FaultKind::unplugged);
    const auto polls_before = polls();
    EXPECT_EQ(read_eeprom(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(polls() - polls_before, 1u) << "not 10 x timeout polls of a device that is gone";
    expect_untouched();
    expect_recovers();
}

TEST_F(I2cFaultTest, TimedOutPollsAreRetried)
{
    fault(FaultKind::timeout, EP_READBACK_COUNT_IN, 2);
    EXPECT_EQ(read_eeprom(5), 0);
    EXPECT_EQ(usb_->fault_remaining(0), 0);
}

TEST_F(I2cFaultTest, FailedDataReadIsReportedAndLeavesTheBufferAlone)
{
    fault(FaultKind::stall, EP_READBACK_DATA_IN, 1);
    EXPECT_EQ(read_eeprom(), LIBUSB_ERROR_PIPE);
    expect_untouched();
    purge();
    fault(FaultKind::short_transfer, EP_READBACK_DATA_IN, 1);
    EXPECT_EQ(read_eeprom(), TPW_ERROR_USBTRANS_ERR);
    expect_untouched();
    expect_recovers();
}

} // namespace
} // namespace orv::e2e
