// The device library's front-end services through the real libusb and the
// virtual USB device: adapters listed and opened (by serial number, busy, none,
// several), and flashrom's layouts read, written (with one backup of what the
// write claims) and verified on a flash.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <orv_devices.h>

#include "tests/e2e/e2e_support.hpp"

namespace {

using orv::e2e::Bytes;

class Services : public orv::e2e::VirtualAdapterTest {
protected:
    orvdev_report report{};
    orvdev_no_adapter why{};
};

std::vector<orvdev_adapter_info> listed(const orvdev_adapter_selector* selector, std::int32_t& rc,
                                        orvdev_no_adapter& why, orvdev_report& report)
{
    std::vector<orvdev_adapter_info> found(8);
    std::uint32_t count = 0;
    rc = orvdev_adapter_list(selector, found.data(), static_cast<std::uint32_t>(found.size()), &count, &why,
                             &report);
    found.resize(std::min<std::size_t>(count, found.size()));
    return found;
}

TEST_F(Services, AdaptersAreListedAndOpenedBySerialWithTheCauseWhenNoneOpens)
{
    std::int32_t rc = 0;
    const auto all = listed(nullptr, rc, why, report);
    ASSERT_EQ(rc, 0) << report.message;
    ASSERT_EQ(all.size(), 2u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].vid, orv::sim::VIRTUAL_VID);
        EXPECT_EQ(all[i].bus, 1u);
        EXPECT_EQ(all[i].address, 2u + i);
        EXPECT_EQ(std::string(all[i].port_path), "1-" + std::to_string(i + 1));
        EXPECT_EQ(std::string(all[i].serial), "ORVSIM000" + std::to_string(i));
        EXPECT_STREQ(all[i].product, "ORV USB bridge (virtual)");
        EXPECT_EQ(all[i].open_error, 0);
    }
    EXPECT_EQ(why.cause, ORVDEV_ADAPTER_FOUND);
    std::uint32_t count = 0;
    EXPECT_EQ(orvdev_adapter_list(nullptr, nullptr, 0, &count, nullptr, nullptr), 0);
    EXPECT_EQ(count, 2u); // how many, with room for none

    orvdev_adapter_selector by_serial{};
    orvdev_adapter_selector_init(&by_serial);
    by_serial.serial = "ORVSIM0001";
    const auto one = listed(&by_serial, rc, why, report);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].address, 3u);

    // Both are claimed by this test's own handles: busy.
    orvdev_adapter* opened = nullptr;
    EXPECT_EQ(orvdev_adapter_open(&by_serial, &opened, &why, &report), ORVDEV_ERROR_NO_ADAPTER);
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(why.cause, ORVDEV_ADAPTER_BUSY);
    EXPECT_EQ(why.usb_code, LIBUSB_ERROR_BUSY);
    EXPECT_EQ(why.adapter.address, 3u);
    EXPECT_STREQ(report.message, "the adapter at bus 001 device 003 is busy");
    EXPECT_EQ(report.bus_code, LIBUSB_ERROR_BUSY);
    EXPECT_EQ(orvdev_adapter_open(nullptr, &opened, &why, &report), ORVDEV_ERROR_NO_ADAPTER);
    EXPECT_EQ(why.cause, ORVDEV_ADAPTER_SEVERAL);
    EXPECT_EQ(why.matches, 2u);
    EXPECT_STREQ(report.message, "2 adapters found");
    orvdev_adapter_selector other{};
    ASSERT_EQ(orvdev_adapter_selector_parse("1234:5678", &other, &report), 0);
    EXPECT_EQ(orvdev_adapter_open(&other, &opened, &why, &report), ORVDEV_ERROR_NO_ADAPTER);
    EXPECT_EQ(why.cause, ORVDEV_ADAPTER_NOT_FOUND);
    EXPECT_STREQ(report.message, "no adapter found with USB id 1234:5678");
    EXPECT_EQ(listed(&other, rc, why, report).size(), 0u);
    EXPECT_EQ(rc, ORVDEV_ERROR_NO_ADAPTER);
    orvdev_adapter_selector bad{0x1209, -1, 300, -1, nullptr};
    EXPECT_EQ(orvdev_adapter_open(&bad, &opened, &why, &report), ORVDEV_ERROR_INVALID_ARGUMENT);

    // Let the second go: it opens by its serial number, with a session on it.
    ASSERT_EQ(libusb_release_interface(handle(1), 0), 0);
    ASSERT_EQ(orvdev_adapter_open(&by_serial, &opened, &why, &report), 0) << report.message;
    EXPECT_EQ(why.cause, ORVDEV_ADAPTER_FOUND);
    orvdev_adapter_info info{};
    orvdev_adapter_get_info(opened, &info);
    EXPECT_STREQ(info.serial, "ORVSIM0001");
    orvdev_session* session = nullptr;
    ASSERT_EQ(orvdev_session_open(orvdev_adapter_handle(opened), nullptr, &session, &report), 0)
        << report.message;
    orvdev_jtag* jtag = nullptr;
    ASSERT_EQ(orvdev_jtag_open(session, nullptr, &jtag, &report), 0);
    orvdev_chain chain{};
    ASSERT_EQ(orvdev_chain_scan(jtag, &chain, &report), 0) << report.message;
    EXPECT_EQ(chain.taps[1].idcode, 0x03727093u);
    orvdev_jtag_close(jtag);
    orvdev_session_close(session);
    orvdev_adapter_close(opened);
    EXPECT_EQ(libusb_claim_interface(handle(1), 0), 0); // let go again
}

// A flash with a pattern in it, and a layout over it.
class Layouts : public Services {
protected:
    void SetUp() override
    {
        Services::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        auto memory = model().flash().memory();
        for (std::size_t i = 0; i < memory.size(); ++i) {
            memory[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
        }
        ASSERT_EQ(orvdev_session_open(handle(), nullptr, &session, &report), 0) << report.message;
        ASSERT_EQ(orvdev_flash_open(session, nullptr, &flash, &report), 0) << report.message;
        const std::string text =
            "# regions of the 4 MiB flash\n0:fff boot\n1000:17ff config\n1800:1fff keys\n"
            "10000:10fff data\n3ff000:3fffff end\n";
        ASSERT_EQ(orvdev_layout_parse(text.data(), text.size(), "board.layout", &layout, nullptr, &report), 0)
            << report.message;
    }
    void TearDown() override
    {
        orvdev_layout_free(layout);
        orvdev_flash_close(flash);
        orvdev_session_close(session);
        Services::TearDown();
    }

    orvdev_session* session = nullptr;
    orvdev_flash* flash = nullptr;
    orvdev_layout* layout = nullptr;
};

TEST_F(Layouts, AWriteTakesOneBackupOfEverythingItClaimsAndTouchesOnlyTheChosenRegions)
{
    for (const char* name : {"config", "keys", "data"}) {
        ASSERT_EQ(orvdev_layout_include(layout, name, &report), 0) << report.message;
    }
    EXPECT_EQ(orvdev_layout_include(layout, "bios", &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(std::string(report.hint).find("boot, config, keys, data, end"), std::string::npos)
        << report.hint;
    orvdev_layout_region region{};
    ASSERT_EQ(orvdev_layout_get_region(layout, 1, &region), 0);
    EXPECT_STREQ(region.name, "config");
    EXPECT_EQ(region.line, 3u);
    EXPECT_EQ(region.included, 1);

    const Bytes before(model().flash().memory().begin(), model().flash().memory().end());
    Bytes image(0x12000, 0xA5);
    const std::string backup = ::testing::TempDir() + "orv_layout_backup.bin";
    orvdev_write_options options{};
    orvdev_write_options_init(&options);
    options.backup_file = backup.c_str();
    orvdev_write_report result{};
    orvdev_layout_result covered{};
    ASSERT_EQ(orvdev_layout_write(flash, layout, 0, image.data(), image.size(), &options, &result, &covered,
                                  &report),
              0)
        << report.message;
    EXPECT_EQ(covered.regions, 3u);
    EXPECT_EQ(covered.spans, 2u); // config and keys touch
    EXPECT_EQ(covered.bytes, 0x2000u);
    EXPECT_EQ(result.len, 0x2000u);
    EXPECT_EQ(result.addr, 0x1000u);
    EXPECT_EQ(result.range_addr, 0x1000u);
    EXPECT_EQ(result.range_len, 0x10000u);
    EXPECT_EQ(result.verify, 1);

    // The chosen regions hold the image; everything else what it held.
    const auto after = model().flash().memory();
    for (std::size_t a = 0; a < after.size(); ++a) {
        const bool chosen = (a >= 0x1000 && a < 0x2000) || (a >= 0x10000 && a < 0x11000);
        ASSERT_EQ(after[a], chosen ? 0xA5 : before[a]) << "at " << a;
    }
    // One backup of all it claims: the blocks from config's to data's, gap
    // included, as they were.
    std::ifstream in(backup, std::ios::binary);
    const Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(saved.size(), 0x10000u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), before.begin() + 0x1000));

    // Verify compares the chosen regions alone, and counts their differences.
    model().flash().memory()[0x10010] ^= 0xFF;
    model().flash().memory()[0x1800] ^= 0xFF;
    model().flash().memory()[0x20] ^= 0xFF; // boot: not chosen
    orvdev_mismatch m{};
    EXPECT_EQ(orvdev_layout_verify(flash, layout, 0, image.data(), image.size(), &m, &covered, &report),
              ORVDEV_ERROR_MISMATCH);
    EXPECT_EQ(m.addr, 0x1800u);
    EXPECT_EQ(m.count, 2u);
    EXPECT_EQ(covered.bytes, 0x2000u);

    // Read: the chosen regions' bytes, the rest as erased flash.
    Bytes back(0x12000, 0);
    ASSERT_EQ(orvdev_layout_read(flash, layout, 0, back.data(), back.size(), &covered, &report), 0);
    EXPECT_EQ(back[0x20], 0xFF);
    EXPECT_EQ(back[0x1000], 0xA5);
    EXPECT_EQ(back[0x1800], 0xA5 ^ 0xFF);
    EXPECT_EQ(back[0x11000], 0xFF);
}

TEST_F(Layouts, RegionsPastTheFlashOrOutsideTheRangeAreRefusedBeforeAnythingIsSent)
{
    ASSERT_EQ(orvdev_layout_include(layout, "end", &report), 0);
    Bytes image(0x1000, 0);
    model().reset_counts();
    orvdev_write_report result{};
    // The range starts past "end": nothing of it lies in the range.
    EXPECT_EQ(
        orvdev_layout_write(flash, layout, 0, image.data(), image.size(), nullptr, &result, nullptr, &report),
        ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(std::string(report.message).find("none of the chosen regions lies in 0x000000..0x000fff"),
              std::string::npos)
        << report.message;
    // A layout for a larger part: its region past the end is named by its line.
    const std::string text = "0:fff boot\n400000:400fff beyond\n";
    orvdev_layout* larger = nullptr;
    ASSERT_EQ(orvdev_layout_parse(text.data(), text.size(), "big.layout", &larger, nullptr, &report), 0);
    ASSERT_EQ(orvdev_layout_include(larger, "beyond", &report), 0);
    EXPECT_EQ(orvdev_layout_read(flash, larger, 0, image.data(), image.size(), nullptr, &report),
              ORVDEV_ERROR_OUT_OF_RANGE);
    EXPECT_NE(std::string(report.message).find("big.layout:2: region beyond"), std::string::npos)
        << report.message;
    orvdev_layout_free(larger);
    EXPECT_EQ(model().counts().out, 0u);

    // A layout refused says where.
    const std::string overlapping = "0:1fff boot\n1000:2fff config\n";
    orvdev_input_error where{};
    EXPECT_EQ(
        orvdev_layout_parse(overlapping.data(), overlapping.size(), "o.layout", &larger, &where, &report),
        ORVDEV_ERROR_BAD_INPUT);
    EXPECT_EQ(where.line, 2u);
    EXPECT_EQ(where.column, 1u);
    EXPECT_STREQ(where.file, "o.layout");
    EXPECT_NE(std::string(where.reason).find("overlaps region boot"), std::string::npos);
    EXPECT_EQ(orvdev_layout_load("/nonexistent/layout", &larger, &where, &report), ORVDEV_ERROR_BAD_INPUT);
    EXPECT_STREQ(where.file, "/nonexistent/layout");
}

} // namespace
