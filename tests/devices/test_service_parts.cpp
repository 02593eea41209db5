// The device library's services to its front ends, without an adapter:
// flashrom's layout files (the reader, the chosen regions, the reports of a
// write by pieces), which adapter a selector means and why none opens, and
// the BSDL files' choice (directories and ORV_BSDL_PATH, the TAP to work on,
// pin names) on the example boards' files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <libusb.h>

#include "lib/devices/bscan/file_match.hpp"
#include "lib/devices/discovery/adapter_select.hpp"
#include "lib/devices/layout/flash_layout.hpp"
#include "lib/formats/layout/layout.hpp"
#include "orv_devices.h"

namespace {

namespace fs = std::filesystem;
using namespace orv::dev;

// ---- layout files ----------------------------------------------------------

TEST(LayoutReader, TakesFlashromsLinesAndCommentsAndRefusesTheRestWithThePlace)
{
    const auto r = orv::layout::parse(
        "# a layout\n00000000:00000fff boot\n\n0x1000:0x1FFF\tconfig # settings\r\n  2000:3fffff data\n",
        "l.txt");
    ASSERT_TRUE(r.ok()) << r.error.message();
    const auto& regions = r.layout->regions;
    ASSERT_EQ(regions.size(), 3u);
    EXPECT_EQ(regions[1].name, "config");
    EXPECT_EQ(regions[1].start, 0x1000u);
    EXPECT_EQ(regions[1].end, 0x1FFFu);
    EXPECT_EQ(regions[1].line, 4u);
    EXPECT_EQ(r.layout->find("data"), 2u);
    EXPECT_FALSE(r.layout->find("DATA")); // names as written, as flashrom compares them

    const struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"0:fff\n", "l.txt:1:1: expected START:END NAME"},
        {"0-fff boot\n", "l.txt:1:1: expected START:END NAME"},
        {"0:fff boot extra\n", "l.txt:1:1: expected START:END NAME"},
        {"0:fgh boot\n", "l.txt:1:3: a hex number, got \"fgh\""},
        {":ff boot\n", "l.txt:1:1: a hex number, got \"\""},
        {"0:100000000 boot\n", "l.txt:1:3: \"100000000\" lies past four address bytes"},
        {"0:ffffffffffffffffffff boot\n", "l.txt:1:3: \"ffffffffffffffffffff\" lies past four"},
        {"100:ff boot\n", "l.txt:1:5: region boot ends (0x000000ff) before it starts (0x00000100)"},
        {"0:f a\n10:1f a\n", "l.txt:2:7: region a is named twice (first on line 1)"},
        {"0:f b\x1b"
         "c\n",
         "l.txt:1:5: a region name without control characters, got \"b\\x1bc\""},
        {"# only a comment\n", "l.txt: no region in the layout"},
        {"", "l.txt: no region in the layout"},
        // Overlaps are said on the later line, naming the other region.
        {"1000:1fff config\n0:1000 boot\n", "l.txt:2:1: region boot (0x00000000..0x00001000) overlaps region "
                                            "config (0x00001000..0x00001fff, line 1)"},
        {"0:ffff all\n100:1ff inner\n", "l.txt:2:1: region inner"},
        {"0:ffff all\n20000:2ffff far\n100:1ff inner\n", "l.txt:3:1: region inner"},
    };
    for (const auto& c : bad) {
        const auto refused = orv::layout::parse(c.text, "l.txt");
        ASSERT_FALSE(refused.ok()) << c.text;
        EXPECT_EQ(refused.error.message().rfind(c.message, 0), 0u) << refused.error.message();
    }
    const auto long_name = orv::layout::parse("0:f " + std::string(256, 'n') + "\n", "l.txt");
    ASSERT_FALSE(long_name.ok());
    EXPECT_EQ(long_name.error.reason, "a region name of at most 255 characters");
}

// Many regions: every name and every overlap is still found (a name given
// twice on the very last line, an overlap of the first region and the last).
TEST(LayoutReader, ManyRegionsAreCheckedWhole)
{
    constexpr unsigned N = 65536;
    std::string text;
    for (unsigned i = 0; i < N; ++i) {
        char line[48];
        std::snprintf(line, sizeof line, "%x:%x r%u\n", i * 16, i * 16 + 15, i);
        text += line;
    }
    const auto all = orv::layout::parse(text, "big.txt");
    ASSERT_TRUE(all.ok()) << all.error.message();
    EXPECT_EQ(all.layout->regions.size(), N);
    const auto twice = orv::layout::parse(text + "100000:10000f r7\n", "big.txt");
    ASSERT_FALSE(twice.ok());
    EXPECT_EQ(twice.error.line, N + 1);
    const auto overlap = orv::layout::parse(text + "5:6 late\n", "big.txt");
    ASSERT_FALSE(overlap.ok());
    EXPECT_EQ(overlap.error.line, N + 1);
    EXPECT_NE(overlap.error.reason.find("overlaps region r0"), std::string::npos) << overlap.error.reason;
}

layout::FlashLayout layout_of(const char* text)
{
    auto r = orv::layout::parse(text, "l.txt");
    EXPECT_TRUE(r.ok()) << r.error.message();
    return layout::FlashLayout(std::move(*r.layout));
}

std::string failure_of(const std::function<void()>& work, std::int32_t code)
{
    try {
        work();
    } catch (const Failure& f) {
        EXPECT_EQ(f.code(), code) << f.what();
        return std::string(f.what()) + " | " + f.hint();
    }
    ADD_FAILURE() << "no failure";
    return "";
}

TEST(FlashLayout, ChosenRegionsMakeMergedSpansWithinTheRangeAndTheFlash)
{
    layout::FlashLayout l = layout_of("0:fff boot\n1000:1fff config\n3000:3fff data\n4000:ffffff big\n");
    EXPECT_NE(
        failure_of([&] { l.include("bios"); }, ORVDEV_ERROR_INVALID_ARGUMENT)
            .find("no region bios in the layout l.txt | the layout's regions are boot, config, data, big"),
        std::string::npos);
    EXPECT_NE(failure_of([&] { (void)l.spans(0, 0x4000, 0x400000); }, ORVDEV_ERROR_INVALID_ARGUMENT)
                  .find("no region of the layout l.txt is chosen"),
              std::string::npos);
    l.include("data");
    l.include("boot");
    l.include("config");
    l.include("boot"); // twice is once
    EXPECT_TRUE(l.included(0) && l.included(1) && l.included(2) && !l.included(3));
    // boot and config touch: one span; clipped to the range.
    const auto spans = l.spans(0x800, 0x3000, 0x400000);
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].addr, 0x800u);
    EXPECT_EQ(spans[0].len, 0x1800u);
    EXPECT_EQ(spans[1].addr, 0x3000u);
    EXPECT_EQ(spans[1].len, 0x800u);
    EXPECT_EQ(l.regions_in(0x800, 0x3000), 3u);
    EXPECT_EQ(l.regions_in(0x2000, 0x1000), 0u);
    EXPECT_NE(failure_of([&] { (void)l.spans(0x2000, 0x1000, 0x400000); }, ORVDEV_ERROR_INVALID_ARGUMENT)
                  .find("none of the chosen regions lies in 0x002000..0x002fff"),
              std::string::npos);
    // A chosen region past the end of the flash is refused with its line;
    // one not chosen is not looked at.
    EXPECT_NO_THROW((void)l.spans(0, 0x4000, 0x4000));
    l.include("big");
    EXPECT_NE(failure_of([&] { (void)l.spans(0, 0x4000, 0x400000); }, ORVDEV_ERROR_OUT_OF_RANGE)
                  .find("l.txt:4: region big (0x004000..0xffffff) goes past the end of the 4 MiB flash"),
              std::string::npos);
}

TEST(FlashLayout, APiecesWriteReportsAddUp)
{
    flash::WriteReport total;
    flash::WriteReport a;
    a.addr = 0x1000;
    a.len = 0x100;
    a.unchanged_bytes = 0x10;
    a.erased = {{4096, 1}};
    a.pages_programmed = 1;
    a.verify = true;
    a.verified_bytes = 0x1000;
    a.erases_planned = 1;
    a.pages_planned = 1;
    a.range = {0x1000, 0x1000};
    flash::WriteReport b = a;
    b.addr = 0x20000;
    b.erased = {{4096, 2}, {65536, 1}};
    b.range = {0x20000, 0x10000};
    flash::WriteReport c = a;
    c.erased = {{32768, 1}};
    c.range = {0x40000, 0x8000};
    for (const auto* part : {&a, &b, &c}) {
        layout::add_write_report(total, *part);
    }
    EXPECT_EQ(total.addr, 0x1000u);
    EXPECT_EQ(total.len, 0x300u);
    EXPECT_EQ(total.unchanged_bytes, 0x30u);
    ASSERT_EQ(total.erased.size(), 3u);
    EXPECT_EQ(total.erased[0].size, 4096u);
    EXPECT_EQ(total.erased[0].count, 3u);
    EXPECT_EQ(total.erased[1].size, 32768u);
    EXPECT_EQ(total.erased[2].size, 65536u);
    EXPECT_EQ(total.pages_programmed, 3u);
    EXPECT_EQ(total.erases_planned, 3u);
    EXPECT_EQ(total.verified_bytes, 0x3000u);
    EXPECT_EQ(total.range.addr, 0x1000u);
    EXPECT_EQ(total.range.len, 0x48000u - 0x1000u);
}

// ---- which adapter ----------------------------------------------------------

TEST(AdapterSelector, VidPidAndOptionalBusAddressAndWhatTheySay)
{
    const auto s = discovery::parse_selector("1209:4F52");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->vid, 0x1209);
    EXPECT_EQ(s->pid, 0x4F52);
    EXPECT_EQ(s->bus, -1);
    const auto full = discovery::parse_selector("0x1209:0x4f52:1:12");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->bus, 1);
    EXPECT_EQ(full->address, 12);
    EXPECT_EQ(discovery::wanted_text(*full), " with USB id 1209:4f52:1:12");
    for (const char* bad : {"", "1209", "1209:", "12345:1", "1209:4f52:1", "1209:4f52:1:256", "1209:4f52:a:1",
                            "1209:4f52:1:2:3", "xyz:1", "-1:1", "1209:4f52:+1:2"}) {
        EXPECT_FALSE(discovery::parse_selector(bad)) << bad;
    }
    // Without a colon the text is a serial number, hex digits or not; the
    // selector points at the caller's text. A refused text leaves the
    // selector as it was.
    struct SerialCase {
        std::string text;
        bool taken;
    };
    const SerialCase serials[] = {{"ORVSIM0001", true},
                                  {"1209", true},
                                  {"A B-c.9_", true},
                                  {"", false},
                                  {std::string(ORVDEV_USB_STRING_MAX - 1, 'x'), true},
                                  {std::string(ORVDEV_USB_STRING_MAX, 'x'), false},
                                  {"bad\nserial", false},
                                  {"caf\xc3\xa9", false}};
    for (const SerialCase& c : serials) {
        orvdev_adapter_selector parsed{1, 2, 3, 4, nullptr};
        orvdev_report report{};
        const std::int32_t rc = orvdev_adapter_selector_parse(c.text.c_str(), &parsed, &report);
        EXPECT_EQ(rc, c.taken ? 0 : ORVDEV_ERROR_INVALID_ARGUMENT) << c.text;
        EXPECT_EQ(parsed.serial, c.taken ? c.text.c_str() : nullptr) << c.text;
        EXPECT_EQ(parsed.vid, c.taken ? -1 : 1) << c.text;
        EXPECT_EQ(parsed.address, c.taken ? -1 : 4) << c.text;
    }
    orvdev_adapter_selector some{-1, -1, 1, -1, "ORVSIM0001"};
    EXPECT_EQ(discovery::wanted_text(some), " with serial number ORVSIM0001 at bus 1");
    EXPECT_EQ(discovery::selector_fault(orvdev_adapter_selector{0x10000, -1, -1, -1, nullptr}).has_value(),
              true);
    EXPECT_EQ(discovery::selector_fault(orvdev_adapter_selector{-1, -1, -1, 256, nullptr}).has_value(), true);

    orvdev_adapter_info a{};
    a.vid = 0x1209;
    a.pid = 0x4f52;
    a.bus = 1;
    a.address = 3;
    std::snprintf(a.serial, sizeof a.serial, "ORVSIM0001");
    EXPECT_TRUE(discovery::matches(some, a));
    a.open_error = LIBUSB_ERROR_ACCESS; // its serial could not be read
    EXPECT_FALSE(discovery::matches(some, a));
    EXPECT_TRUE(discovery::matches(orvdev_adapter_selector{0x1209, 0x4f52, 1, 3, nullptr}, a));
    EXPECT_FALSE(discovery::matches(orvdev_adapter_selector{0x1209, 0x4f52, 1, 2, nullptr}, a));
}

// Why no adapter opens, for each state of the host: the messages name the
// cause and the remedy that applies, and nothing else.
TEST(NoAdapter, MessagesSayWhichCauseApplies)
{
    using discovery::UsbHost;
    const UsbHost plain{true, "", ""};
    const UsbHost installed{true, "", "/opt/orv/lib/udev/rules.d/60-orv-adapter.rules"};
    const UsbHost active{true, "/usr/lib/udev/rules.d/60-orv-adapter.rules", ""};
    const UsbHost no_usbfs{false, "", ""};
    struct Case {
        const char* name;
        UsbHost host;
        std::uint16_t pid;
        std::vector<std::string> says;
        std::vector<std::string> never;
    };
    const std::string reload = "sudo udevadm control --reload-rules && sudo udevadm trigger";
    const Case cases[] = {
        {"rule nowhere, source tree named",
         plain,
         0x4f52,
         {"(from the source tree): sudo install -m 644 front/orvtool/udev/60-orv-adapter.rules "
          "/etc/udev/rules.d/",
          reload, "replug"},
         {"add a line"}},
        {"rule installed under another prefix",
         installed,
         0x4f52,
         {"sudo install -m 644 /opt/orv/lib/udev/rules.d/60-orv-adapter.rules /etc/udev/rules.d/", reload},
         {"add a line"}},
        {"other id, rule nowhere", installed, 0x6014, {"sudo install", "add a line for 1209:6014"}, {}},
        {"other id, rule active",
         active,
         0x6014,
         {"/usr/lib/udev/rules.d/60-orv-adapter.rules names 1209:4f52 only", "add a line for 1209:6014",
          reload},
         {"sudo install"}},
        {"rule active for this id",
         active,
         0x4f52,
         {"gives the user at the seat access", reload},
         {"add a line"}},
    };
    orvdev_adapter_info a{};
    a.vid = 0x1209;
    a.bus = 1;
    a.address = 5;
    for (const Case& c : cases) {
        a.pid = c.pid;
        const discovery::NoAdapter n =
            discovery::open_failed(c.host, a, LIBUSB_ERROR_ACCESS, "Access denied");
        EXPECT_EQ(n.cause, ORVDEV_ADAPTER_PERMISSION) << c.name;
        EXPECT_EQ(n.usb_code, LIBUSB_ERROR_ACCESS);
        EXPECT_EQ(n.message.rfind("permission denied opening /dev/bus/usb/001/005", 0), 0u) << c.name;
        for (const auto& text : c.says) {
            EXPECT_NE(n.hint.find(text), std::string::npos) << c.name << ": " << n.hint;
        }
        for (const auto& text : c.never) {
            EXPECT_EQ(n.hint.find(text), std::string::npos) << c.name << ": " << n.hint;
        }
    }
    // The same for a claim the system refuses; busy and gone by their codes.
    EXPECT_EQ(discovery::claim_failed(active, a, LIBUSB_ERROR_ACCESS, "").cause, ORVDEV_ADAPTER_PERMISSION);
    const discovery::NoAdapter busy = discovery::claim_failed(plain, a, LIBUSB_ERROR_BUSY, "Resource busy");
    EXPECT_EQ(busy.cause, ORVDEV_ADAPTER_BUSY);
    EXPECT_EQ(busy.message, "the adapter at bus 001 device 005 is busy");
    EXPECT_EQ(discovery::open_failed(plain, a, LIBUSB_ERROR_NO_DEVICE, "No such device").cause,
              ORVDEV_ADAPTER_GONE);
    // Without /dev/bus/usb no device node opens, whatever libusb says.
    EXPECT_EQ(discovery::open_failed(no_usbfs, a, LIBUSB_ERROR_IO, "Input/Output Error").cause,
              ORVDEV_ADAPTER_NO_USBFS);

    const orvdev_adapter_selector any{-1, -1, -1, -1, nullptr};
    const orvdev_adapter_selector id{0x1234, 0x5678, -1, -1, nullptr};
    const discovery::NoAdapter missing = discovery::not_found(no_usbfs, any);
    EXPECT_EQ(missing.cause, ORVDEV_ADAPTER_NO_USBFS);
    EXPECT_EQ(missing.message, "no adapter found");
    EXPECT_EQ(missing.hint.rfind("/dev/bus/usb does not exist", 0), 0u) << missing.hint;
    const discovery::NoAdapter absent = discovery::not_found(plain, id);
    EXPECT_EQ(absent.cause, ORVDEV_ADAPTER_NOT_FOUND);
    EXPECT_EQ(absent.message, "no adapter found with USB id 1234:5678");
    EXPECT_EQ(absent.hint.find("/dev/bus/usb"), std::string::npos) << absent.hint;
    EXPECT_NE(absent.hint.find("plugged in"), std::string::npos) << absent.hint;
    EXPECT_EQ(discovery::several(any, 2).message, "2 adapters found");
    const discovery::NoAdapter unavailable =
        discovery::usb_unavailable(no_usbfs, "cannot start libusb", LIBUSB_ERROR_OTHER, "Other error");
    EXPECT_EQ(unavailable.message, "cannot start libusb: Other error");
    EXPECT_EQ(unavailable.usb_code, LIBUSB_ERROR_OTHER);
    EXPECT_NE(unavailable.hint.find("docker run --device /dev/bus/usb"), std::string::npos);

    orvdev_no_adapter why{};
    discovery::to_c(&busy, active, &why);
    EXPECT_EQ(why.cause, ORVDEV_ADAPTER_BUSY);
    EXPECT_EQ(why.adapter.address, 5u);
    EXPECT_STREQ(why.udev_rule, "/usr/lib/udev/rules.d/60-orv-adapter.rules");
    discovery::to_c(nullptr, plain, &why);
    EXPECT_EQ(why.cause, ORVDEV_ADAPTER_FOUND);
    EXPECT_EQ(why.adapter.address, 0u);
}

// ---- BSDL files, the TAP, pin names ----------------------------------------------

const std::string BOARDS = ORV_BOARD_FILES;
const std::string STM32 = BOARDS + "/STM32F301_F302_UFQFPN32.bsd";
const std::string GL64 = BOARDS + "/gl64_tq100.bsd";

// The bscan board's chain: the debug TAP, the STM32, the CPLD.
chain::Chain bscan_chain(unsigned stm32_ir = 5)
{
    chain::Chain c;
    for (const auto& [idcode, ir] :
         {std::pair{0x4BA00477u, 4u}, {0x06439041u, stm32_ir}, {0x06E510FFu, 8u}}) {
        chain::Device d;
        d.idcode = chain::decode_idcode(idcode);
        d.ir_length = ir;
        c.devices.push_back(d);
    }
    return c;
}

std::vector<const bscan::BsdlFile*> pointers(const std::vector<bscan::BsdlFile>& files)
{
    std::vector<const bscan::BsdlFile*> p;
    for (const auto& f : files) {
        p.push_back(&f);
    }
    return p;
}

TEST(BsdlFiles, DirectoriesInNameOrderThenOrvBsdlPathAndRefusalsWithTheSource)
{
    const std::vector<std::string> boards{BOARDS};
    const auto files = bscan::read_sources(boards);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(fs::path(files[0].path).filename(), "CortexMx.bsd");
    EXPECT_EQ(fs::path(files[2].path).filename(), "gl64_tq100.bsd");

    const std::string empty = ::testing::TempDir() + "orv_bsdl_empty";
    fs::create_directories(empty);
    std::ofstream(empty + "/readme.txt") << "not a BSDL file\n";
    const struct {
        std::string source;
        std::string message;
    } bad[] = {
        {empty, empty + ": no BSDL files (*.bsd, *.bsdl) in this directory"},
        {empty + "/missing.bsd", empty + "/missing.bsd: no such BSDL file or directory"},
    };
    for (const auto& c : bad) {
        try {
            (void)bscan::read_sources(std::vector<std::string>{STM32, c.source});
            ADD_FAILURE() << c.source;
        } catch (const bscan::BadInput& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.file(), c.source);
            EXPECT_EQ(e.line(), 0u);
        }
    }

    ::setenv(bscan::BSDL_PATH_VARIABLE, (":" + GL64 + "::" + BOARDS + ":").c_str(), 1);
    EXPECT_EQ(bscan::path_variable_entries(), (std::vector<std::string>{GL64, BOARDS}));
    ::unsetenv(bscan::BSDL_PATH_VARIABLE);
    EXPECT_TRUE(bscan::path_variable_entries().empty());
}

TEST(TapChoice, TheTapAskedForNamedOrTheOneWithPinsAndWhyNot)
{
    const auto all = bscan::read_sources(std::vector<std::string>{BOARDS});
    const auto gl64 = bscan::read_sources(std::vector<std::string>{GL64});
    using Status = bscan::ChoiceStatus;
    const struct {
        const char* name;
        unsigned stm32_ir;
        const std::vector<bscan::BsdlFile>* files;
        std::optional<std::size_t> tap;
        std::optional<std::string_view> entity;
        std::vector<std::string> pins;
        Status status;
        std::size_t chosen;
        std::string message;
    } cases[] = {
        {"asked", 5, &all, 1, {}, {}, Status::chosen, 1, ""},
        {"the only one with pins", 5, &gl64, {}, {}, {}, Status::chosen, 2, ""},
        {"by entity, any case", 5, &all, {}, "gl64_tq100", {}, Status::chosen, 2, ""},
        {"by pins", 5, &all, {}, {}, {"pa8", "PA5"}, Status::chosen, 1, ""},
        {"no pins",
         5,
         &all,
         0,
         {},
         {},
         Status::no_pins,
         0,
         "TAP 0 (CortexMx) has no pins with boundary cells"},
        {"past the chain", 5, &all, 3, {}, {}, Status::no_such, 3, "no TAP 3: the chain has 3 TAPs"},
        {"no file", 5, &gl64, 1, {}, {}, Status::no_file, 1, "TAP 1: no BSDL file has IDCODE 0x06439041"},
        {"another IR length",
         4,
         &all,
         1,
         {},
         {},
         Status::no_file,
         1,
         "TAP 1: " + STM32 + " has its IDCODE but an instruction register of 5 bits; the chain's is 4"},
        {"several",
         5,
         &all,
         {},
         {},
         {},
         Status::several,
         0,
         "several TAPs fit: TAP 1 (STM32F301_F302_UFQFPN32), TAP 2 (GL64_TQ100)"},
        {"pins of two files",
         5,
         &all,
         {},
         {},
         {"PA8", "LED(0)"},
         Status::none_fits,
         0,
         "no TAP of the chain has a BSDL file with all of those pins"},
        {"no such entity",
         5,
         &all,
         {},
         "XC7Z010",
         {},
         Status::none_fits,
         0,
         "no TAP of the chain has the BSDL file of XC7Z010"},
    };
    for (const auto& c : cases) {
        const auto choice =
            bscan::choose_tap(bscan_chain(c.stm32_ir), pointers(*c.files), c.tap, c.entity, c.pins);
        EXPECT_EQ(choice.status, c.status) << c.name;
        EXPECT_EQ(choice.message, c.message) << c.name;
        if (c.status == Status::chosen || c.tap) {
            EXPECT_EQ(choice.tap, c.chosen) << c.name;
        }
        EXPECT_EQ(choice.code, c.status == Status::chosen ? 0
                               : c.status == Status::no_file || c.status == Status::none_fits
                                   ? ORVDEV_ERROR_BSDL_MISMATCH
                                   : ORVDEV_ERROR_INVALID_ARGUMENT)
            << c.name;
    }
    chain::Chain bypass = bscan_chain();
    bypass.devices[0].idcode.reset();
    const auto choice = bscan::choose_tap(bypass, pointers(all), 0, {}, {});
    EXPECT_EQ(choice.why, "no IDCODE (BYPASS after reset): nothing to match a file by");
}

TEST(PinCheck, EachPinMustBeInAFileAndAbleToDoWhatIsAsked)
{
    const auto all = bscan::read_sources(std::vector<std::string>{BOARDS});
    using bscan::Wanted;
    const struct {
        std::vector<std::string> pins;
        std::vector<Wanted> wanted;
        bscan::PinProblem problem;
        std::string message;
    } cases[] = {
        {{"PA1", "led(0)", "A(0)"},
         {Wanted::drive, Wanted::drive, Wanted::let_go},
         bscan::PinProblem::fits,
         ""},
        {{"PA1", "PA13"},
         {},
         bscan::PinProblem::unknown,
         "no pin PA13 in the BSDL files; nearest: STM32F301_F302_UFQFPN32: PA1, PA3, PA10, PA11; GL64_TQ100: "
         "D(13), D(1), A(1), A(3)"},
        {{"JTMS"},
         {},
         bscan::PinProblem::no_cells,
         "JTMS of STM32F301_F302_UFQFPN32 has no boundary cell: it cannot be sampled or driven"},
        {{"BOOT0"},
         {Wanted::drive},
         bscan::PinProblem::input,
         "BOOT0 is an input of STM32F301_F302_UFQFPN32: it has no cell to drive it"},
        {{"LED(0)"},
         {Wanted::let_go},
         bscan::PinProblem::two_state,
         "LED(0) is a two-state output of GL64_TQ100: it drives at all times and cannot be let go"},
    };
    for (const auto& c : cases) {
        const auto check = bscan::check_pins(pointers(all), c.pins, c.wanted);
        EXPECT_EQ(check.problem, c.problem) << c.message;
        EXPECT_EQ(check.message, c.message);
        if (c.problem == bscan::PinProblem::unknown) {
            EXPECT_EQ(check.pin, 1u);
            ASSERT_EQ(check.nearest.size(), 8u);
            EXPECT_EQ(*check.nearest[0].name, "PA1");
            EXPECT_EQ(check.nearest[0].file, 1u);
            EXPECT_EQ(*check.nearest[4].name, "D(13)");
            EXPECT_EQ(check.nearest[4].file, 2u);
        }
    }
}

} // namespace

namespace {

// The C functions over the same: what they fill, and nothing past a refusal.
TEST(BsdlFilesApi, FilesTheTapAndPinsThroughTheCFunctions)
{
    orvdev_bsdl_files* files = nullptr;
    orvdev_input_error where{};
    orvdev_report report{};
    const std::string missing = BOARDS + "/missing.bsd";
    const char* bad[] = {BOARDS.c_str(), missing.c_str()};
    EXPECT_EQ(orvdev_bsdl_files_load(bad, 2, 0, &files, &where, &report), ORVDEV_ERROR_BAD_INPUT);
    EXPECT_EQ(files, nullptr);
    EXPECT_EQ(std::string(where.file), missing);
    EXPECT_EQ(std::string(where.reason), "no such BSDL file or directory");
    EXPECT_EQ(orvdev_bsdl_files_load(bad, 1, 0, nullptr, &where, &report), ORVDEV_ERROR_INVALID_ARGUMENT);

    ::setenv("ORV_BSDL_PATH", GL64.c_str(), 1);
    ASSERT_EQ(orvdev_bsdl_files_load(bad, 1, 1, &files, &where, &report), 0) << report.message;
    ::unsetenv("ORV_BSDL_PATH");
    ASSERT_EQ(orvdev_bsdl_files_count(files), 4u); // the directory's three, then the variable's
    EXPECT_EQ(orvdev_bsdl_files_get(files, 4), nullptr);
    std::vector<const orvdev_bsdl*> list;
    for (std::uint32_t i = 0; i < 4; ++i) {
        list.push_back(orvdev_bsdl_files_get(files, i));
    }
    orvdev_bsdl_info info{};
    orvdev_bsdl_get_info(list[3], &info);
    EXPECT_EQ(std::string(info.path), GL64);

    orvdev_chain chain{};
    chain.count = 3;
    for (const auto& [t, idcode, ir] :
         {std::tuple{0u, 0x4BA00477u, 4u}, {1u, 0x06439041u, 5u}, {2u, 0x06E510FFu, 8u}}) {
        orvdev_idcode_decode(idcode, &chain.taps[t]);
        chain.taps[t].ir_length_known = 1;
        chain.taps[t].ir_length = ir;
        chain.ir_total += ir;
    }
    orvdev_tap_choice choice{};
    EXPECT_EQ(orvdev_bsdl_choose_tap(&chain, list.data(), 4, 0, nullptr, nullptr, 0, &choice, &report),
              ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(choice.status, ORVDEV_TAP_NO_PINS);
    EXPECT_STREQ(report.message, "TAP 0 (CortexMx) has no pins with boundary cells");
    EXPECT_EQ(orvdev_bsdl_choose_tap(&chain, list.data(), 4, -1, nullptr, nullptr, 0, &choice, &report),
              ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(choice.status, ORVDEV_TAP_SEVERAL);
    ASSERT_EQ(choice.candidate_count, 2u);
    EXPECT_EQ(choice.candidates[0] * 10 + choice.candidates[1], 12u);
    const char* pins[] = {"PA8"};
    ASSERT_EQ(orvdev_bsdl_choose_tap(&chain, list.data(), 4, -1, nullptr, pins, 1, &choice, &report), 0);
    EXPECT_EQ(choice.tap, 1u);
    EXPECT_EQ(choice.match.file, 1);
    EXPECT_EQ(std::string(choice.why), "described by " + STM32);

    orvdev_pin_check check{};
    const char* named[] = {"PA8", "PA13"};
    const std::int32_t levels[] = {ORVDEV_LEVEL_HIGH, ORVDEV_LEVEL_Z};
    EXPECT_EQ(orvdev_bsdl_check_pins(list.data(), 4, named, levels, 2, &check, &report),
              ORVDEV_ERROR_UNKNOWN_PIN);
    EXPECT_EQ(check.problem, ORVDEV_PIN_UNKNOWN);
    EXPECT_EQ(check.pin, 1u);
    EXPECT_EQ(check.file, -1);
    ASSERT_EQ(check.nearest_count, 12u); // 4 of each file with pins: the STM32, the GL64 twice
    EXPECT_STREQ(check.nearest[0].name, "PA1");
    EXPECT_EQ(check.nearest[8].file, 3);
    EXPECT_NE(std::string(report.hint).find("D(3)"), std::string::npos);
    const std::int32_t wrong[] = {7, 0};
    check = orvdev_pin_check{};
    EXPECT_EQ(orvdev_bsdl_check_pins(list.data(), 4, named, wrong, 2, &check, &report),
              ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(check.problem, ORVDEV_PIN_FITS); // refused before it was looked at: untouched
    orvdev_bsdl_files_free(files);
}

TEST(StatusDecode, RegistersAsReadStatusDecodesThem)
{
    orvdev_flash_status s{};
    // BP0..2 = 1, TB: the lowest 64 KiB of a 4 MiB part; CMP in register 2
    // turns it into everything above.
    orvdev_flash_status_decode(0x24 | 0x03, 0x00, 0xFF, 4u << 20, &s);
    EXPECT_EQ((s.busy << 4) | (s.write_enabled << 3) | (s.tb << 2) | (s.sec << 1) | s.srp, 0x1C);
    EXPECT_EQ(s.bp, 1u);
    EXPECT_EQ(s.protected_from, 0u);
    EXPECT_EQ(s.protected_to, 0x10000u);
    orvdev_flash_status_decode(0x24, 0x40, 0xFF, 4u << 20, &s);
    EXPECT_EQ(s.cmp, 1);
    EXPECT_EQ(s.protected_from, 0x10000u);
    EXPECT_EQ(s.protected_to, 4u << 20);
    orvdev_flash_status_decode(0x24, 0xFF, 0xFF, 4u << 20, &s); // no register 2: no CMP
    EXPECT_EQ(s.cmp, 0);
    orvdev_flash_status_decode(0, 0, 0, 0, nullptr);
}

} // namespace
