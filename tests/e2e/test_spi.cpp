// orv_lumo_spi against the default board's SPI NOR flash (JEDEC EF 40 16),
// and a 32 MiB one with 4-byte addressing, through libusb, in both bit
// orders.
#include <chrono>
#include <numeric>

#include "lib/wire/spi_nor.hpp"
#include "orv_lumo_spi.h"
#include "tests/e2e/e2e_support.hpp"

namespace orv::e2e {
namespace {

using nor::CMD_FAST_READ;
using nor::CMD_PAGE_PROGRAM;
using nor::CMD_READ;
using nor::CMD_READ_JEDEC_ID;
using nor::CMD_READ_STATUS;
using nor::CMD_SECTOR_ERASE;
using nor::CMD_WRITE_ENABLE;
using nor::STATUS_WEL;
constexpr std::uint8_t STATUS_WIP = nor::STATUS_BUSY;
constexpr std::uint32_t PAGE = nor::PAGE_SIZE;

class SpiFlashTest : public VirtualAdapterTest, public ::testing::WithParamInterface<int32_t> {
protected:
    void SetUp() override
    {
        VirtualAdapterTest::SetUp();
        config_.clock_freq = 6000;
        config_.bit_order = GetParam(); // 1: LSB first, 0: MSB first
        config_.clock_polarity = 0;
        config_.cs_polarity = 0;
        config_.cmd_enable = 1;
        ASSERT_EQ(lumo_spi_set_config(handle(), &config_, TIMEOUT_MS), 0);
    }

    lumo_spi_config with_address(std::uint8_t bytes) const
    {
        lumo_spi_config config = config_;
        config.addr_bytes = bytes;
        return config;
    }

    int32_t command(std::uint8_t cmd)
    {
        return lumo_spi_read_write_bytes(handle(), 0, nullptr, nullptr, 0, cmd, 0, &config_, TIMEOUT_MS);
    }

    std::uint8_t status()
    {
        std::uint8_t value = 0xEE;
        EXPECT_EQ(lumo_spi_read_write_bytes(handle(), 1, nullptr, &value, 0, CMD_READ_STATUS, 0, &config_,
                                            TIMEOUT_MS),
                  0);
        return value;
    }

    // Status reads until the busy bit clears; the flash stays busy for a few.
    void wait_ready()
    {
        for (int i = 0; i < 20; ++i) {
            if ((status() & STATUS_WIP) == 0) {
                return;
            }
        }
        FAIL() << "flash stays busy";
    }

    Bytes read(std::uint32_t address, std::uint32_t length)
    {
        Bytes out(length, 0xEE);
        const lumo_spi_config config = with_address(3);
        EXPECT_EQ(lumo_spi_read_write_bytes(handle(), length, nullptr, out.data(), address, CMD_READ, 0,
                                            &config, TIMEOUT_MS),
                  0);
        return out;
    }

    lumo_spi_config config_{};
};

TEST_P(SpiFlashTest, ReadsJedecId)
{
    std::uint8_t id[3] = {};
    ASSERT_EQ(
        lumo_spi_read_write_bytes(handle(), 3, nullptr, id, 0, CMD_READ_JEDEC_ID, 0, &config_, TIMEOUT_MS),
        0);
    EXPECT_EQ(Bytes(id, id + 3), (Bytes{0xEF, 0x40, 0x16}));

    // The same 24 bits through a bit transfer.
    std::uint8_t bits[3] = {};
    ASSERT_EQ(
        lumo_spi_read_write_bits(handle(), 24, nullptr, bits, 0, CMD_READ_JEDEC_ID, 0, &config_, TIMEOUT_MS),
        0);
    EXPECT_EQ(Bytes(bits, bits + 3), (Bytes{0xEF, 0x40, 0x16}));
    EXPECT_TRUE(model().diagnostics().empty());
}

TEST_P(SpiFlashTest, WritesReadsBackAndErasesAPage)
{
    constexpr std::uint32_t ADDRESS = 0x012300;
    Bytes page(PAGE);
    std::iota(page.begin(), page.end(), std::uint8_t{0x5A});

    ASSERT_EQ(command(CMD_WRITE_ENABLE), 0);
    EXPECT_EQ(status() & STATUS_WEL, STATUS_WEL);
    const lumo_spi_config addressed = with_address(3);
    ASSERT_EQ(lumo_spi_read_write_bytes(handle(), PAGE, page.data(), nullptr, ADDRESS, CMD_PAGE_PROGRAM, 0,
                                        &addressed, TIMEOUT_MS),
              0);
    EXPECT_EQ(status() & STATUS_WIP, STATUS_WIP) << "programming takes a while";
    wait_ready();
    EXPECT_EQ(status() & STATUS_WEL, 0);

    EXPECT_EQ(read(ADDRESS, PAGE), page);
    const auto memory = model().flash_memory();
    EXPECT_TRUE(std::equal(page.begin(), page.end(), memory.begin() + ADDRESS)) << "the flash holds the page";
    EXPECT_EQ(memory[ADDRESS - 1], 0xFF);
    EXPECT_EQ(memory[ADDRESS + PAGE], 0xFF);

    // Fast read: one dummy byte of clocks after the address.
    Bytes fast(16, 0xEE);
    ASSERT_EQ(lumo_spi_read_write_bytes(handle(), 16, nullptr, fast.data(), ADDRESS + 8, CMD_FAST_READ, 8,
                                        &addressed, TIMEOUT_MS),
              0);
    EXPECT_EQ(fast, Bytes(page.begin() + 8, page.begin() + 24));

    ASSERT_EQ(command(CMD_WRITE_ENABLE), 0);
    ASSERT_EQ(lumo_spi_read_write_bytes(handle(), 0, nullptr, nullptr, ADDRESS, CMD_SECTOR_ERASE, 0,
                                        &addressed, TIMEOUT_MS),
              0);
    wait_ready();
    EXPECT_EQ(read(ADDRESS, PAGE), Bytes(PAGE, 0xFF));
    EXPECT_TRUE(model().diagnostics().empty());
}

TEST_P(SpiFlashTest, ProgramWithoutWriteEnableChangesNothing)
{
    const Bytes data(8, 0x00);
    const lumo_spi_config addressed = with_address(3);
    ASSERT_EQ(lumo_spi_read_write_bytes(handle(), 8, data.data(), nullptr, 0x100, CMD_PAGE_PROGRAM, 0,
                                        &addressed, TIMEOUT_MS),
              0);
    EXPECT_EQ(status() & (STATUS_WIP | STATUS_WEL), 0);
    EXPECT_EQ(read(0x100, 8), Bytes(8, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(BitOrders, SpiFlashTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int32_t>& order) {
                             return order.param == 1 ? std::string("LsbFirst") : std::string("MsbFirst");
                         });

// The installed W25Q256-like board: 32 MiB, 4-byte addressing, real-time
// program and erase times.
class LargeFlashTest : public SpiFlashTest {
protected:
    orv::emu::BoardConfig board(std::size_t /*index*/) const override
    {
        return orv::emu::load_board("w25q256");
    }

    int32_t transfer(std::uint8_t cmd, std::uint32_t address, const Bytes& write, Bytes* read = nullptr)
    {
        const lumo_spi_config config = with_address(4);
        const auto length = static_cast<std::uint32_t>(read != nullptr ? read->size() : write.size());
        return lumo_spi_read_write_bytes(handle(), length, write.empty() ? nullptr : write.data(),
                                         read != nullptr ? read->data() : nullptr, address, cmd, 0, &config,
                                         TIMEOUT_MS);
    }
    void wait_ready_for(std::chrono::milliseconds most)
    {
        const auto end = std::chrono::steady_clock::now() + most;
        while ((status() & STATUS_WIP) != 0 && std::chrono::steady_clock::now() < end) {
        }
        EXPECT_EQ(status() & STATUS_WIP, 0) << "still busy after " << most.count() << " ms";
    }
};

TEST_P(LargeFlashTest, WritesAndReadsAbove16MiBWithFourAddressBytes)
{
    constexpr std::uint32_t ADDRESS = 0x1ABCD00; // above 16 MiB
    Bytes page(PAGE);
    std::iota(page.begin(), page.end(), std::uint8_t{0x21});
    ASSERT_EQ(command(CMD_WRITE_ENABLE), 0);
    ASSERT_EQ(transfer(nor::CMD_SECTOR_ERASE_4B, ADDRESS, {}), 0);
    wait_ready_for(std::chrono::milliseconds(500));
    ASSERT_EQ(command(CMD_WRITE_ENABLE), 0);
    ASSERT_EQ(transfer(nor::CMD_PAGE_PROGRAM_4B, ADDRESS, page), 0);
    wait_ready_for(std::chrono::milliseconds(100));

    Bytes back(PAGE, 0xEE);
    ASSERT_EQ(transfer(nor::CMD_READ_4B, ADDRESS, {}, &back), 0);
    EXPECT_EQ(back, page);
    const auto memory = model().flash_memory();
    EXPECT_TRUE(std::equal(page.begin(), page.end(), memory.begin() + ADDRESS));
    EXPECT_EQ(memory[ADDRESS - 0x1000000], 0xFF) << "not written 16 MiB lower";

    // In 4-byte address mode the usual read takes four address bytes too.
    ASSERT_EQ(command(nor::CMD_ENTER_4BYTE), 0);
    Bytes again(PAGE, 0xEE);
    ASSERT_EQ(transfer(CMD_READ, ADDRESS, {}, &again), 0);
    EXPECT_EQ(again, page);
    ASSERT_EQ(command(nor::CMD_EXIT_4BYTE), 0);
    EXPECT_TRUE(model().diagnostics().empty());
}

INSTANTIATE_TEST_SUITE_P(BitOrders, LargeFlashTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int32_t>& order) {
                             return order.param == 1 ? std::string("LsbFirst") : std::string("MsbFirst");
                         });

} // namespace
} // namespace orv::e2e
