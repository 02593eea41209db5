// Two virtual adapters driven from two threads at once: each thread's scans
// and memory traffic see only its own adapter.
#include <thread>

#include "orv_lumo_spi.h"
#include "orv_tapwire.h"
#include "tests/e2e/e2e_support.hpp"

namespace orv::e2e {
namespace {

constexpr int ROUNDS = 40;

std::uint32_t le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

// Selects TAP0's USER register, then writes a sequence of values unique to
// `seed`, each scan reading back the previous one. Returns the mismatches.
int jtag_worker(libusb_device_handle* handle, std::uint32_t seed)
{
    int32_t state = TPW_TAP_RUN_TEST_IDLE;
    if (tapwire_reset(handle, &state, TIMEOUT_MS) != 0) {
        return -1;
    }
    const std::uint8_t ir[2] = {0xF8, 0x03}; // TAP0 USER, TAP1 BYPASS
    if (tapwire_shift_ir(handle, &state, 10, ir, nullptr, 0, TIMEOUT_MS) != 0) {
        return -1;
    }
    int mismatches = 0;
    std::uint32_t previous = 0;
    for (int i = 0; i < ROUNDS; ++i) {
        const std::uint32_t value = seed ^ (static_cast<std::uint32_t>(i) * 0x9E3779B9u);
        const std::uint8_t tdi[5] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                     static_cast<std::uint8_t>(value >> 16),
                                     static_cast<std::uint8_t>(value >> 24), 0};
        std::uint8_t tdo[5] = {};
        if (tapwire_shift_dr(handle, &state, 33, tdi, tdo, 0, TIMEOUT_MS) != 0) {
            return -1;
        }
        if (i > 0 && le32(tdo) != previous) {
            ++mismatches;
        }
        previous = value;
    }
    return mismatches;
}

class ThreadsTest : public VirtualAdapterTest {};

TEST_F(ThreadsTest, TwoAdaptersInTwoThreadsDoNotInterfere)
{
    int result[2] = {-2, -2};
    std::thread first([&] { result[0] = jtag_worker(handle(0), 0x13579BDF); });
    std::thread second([&] { result[1] = jtag_worker(handle(1), 0x2468ACE0); });
    first.join();
    second.join();
    EXPECT_EQ(result[0], 0);
    EXPECT_EQ(result[1], 0);
    // Each adapter executed exactly its own thread's transfers.
    EXPECT_EQ(model(0).counts().out, model(1).counts().out);
    EXPECT_EQ(model(0).counts().out, 2u + ROUNDS);
    EXPECT_TRUE(model(0).diagnostics().empty());
    EXPECT_TRUE(model(1).diagnostics().empty());
}

TEST_F(ThreadsTest, AFaultOnOneAdapterLeavesTheOtherWorking)
{
    usb_->set_fault(1, orv::sim::Fault{orv::sim::FaultKind::unplugged, 0, -1});
    int result[2] = {-2, -2};
    std::thread first([&] { result[0] = jtag_worker(handle(0), 0x0F0F0F0F); });
    std::thread second([&] { result[1] = jtag_worker(handle(1), 0xF0F0F0F0); });
    first.join();
    second.join();
    EXPECT_EQ(result[0], 0);
    EXPECT_EQ(result[1], -1) << "the unplugged adapter fails";
    EXPECT_EQ(model(1).counts().out, 0u);
}

TEST_F(ThreadsTest, JtagOnOneAdapterWhileSpiProgramsTheOther)
{
    int jtag_result = -2;
    int spi_failures = 0;
    std::thread jtag([&] { jtag_result = jtag_worker(handle(0), 0xFEEDC0DE); });
    std::thread spi([&] {
        lumo_spi_config config{};
        config.clock_freq = 6000;
        config.cmd_enable = 1;
        if (lumo_spi_set_config(handle(1), &config, TIMEOUT_MS) != 0) {
            ++spi_failures;
            return;
        }
        lumo_spi_config addressed = config;
        addressed.addr_bytes = 3;
        for (std::uint32_t page = 0; page < 8; ++page) {
            const Bytes data(32, static_cast<std::uint8_t>(0xC0 + page));
            std::uint8_t status = 0x01;
            spi_failures += lumo_spi_read_write_bytes(handle(1), 0, nullptr, nullptr, 0, 0x06, 0, &config,
                                                      TIMEOUT_MS) != 0;
            spi_failures += lumo_spi_read_write_bytes(handle(1), 32, data.data(), nullptr, page * 256, 0x02,
                                                      0, &addressed, TIMEOUT_MS) != 0;
            for (int i = 0; i < 20 && (status & 0x01) != 0; ++i) {
                spi_failures += lumo_spi_read_write_bytes(handle(1), 1, nullptr, &status, 0, 0x05, 0, &config,
                                                          TIMEOUT_MS) != 0;
            }
            Bytes back(32, 0);
            spi_failures += lumo_spi_read_write_bytes(handle(1), 32, nullptr, back.data(), page * 256, 0x03,
                                                      0, &addressed, TIMEOUT_MS) != 0;
            spi_failures += back != data;
        }
    });
    jtag.join();
    spi.join();
    EXPECT_EQ(jtag_result, 0);
    EXPECT_EQ(spi_failures, 0);
    // The JTAG adapter's flash was never written.
    const auto untouched = model(0).flash_memory();
    EXPECT_EQ(untouched[0], 0xFF);
    EXPECT_EQ(untouched[7 * 256], 0xFF);
    EXPECT_EQ(model(1).flash_memory()[7 * 256], 0xC7);
}

} // namespace
} // namespace orv::e2e
