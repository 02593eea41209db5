// Boundary scan through the device library, the real libusb and the virtual
// USB device, on the example boards: adapter 0 is bscan (an STM32F301 behind
// its Cortex-M debug TAP, and a GL64 CPLD, wired by nets), adapter 1 is
// bscan-faults (the same board with an open, two shorts and two stuck nets).
// BSDL files matched to the chain; pins sampled as the nets put them; pins
// driven and read on the other device; the interconnect test; files and
// netlists refused with nothing sent; transfers per operation.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <orv_devices.h>

#include "tests/e2e/e2e_support.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path BOARDS = ORV_BOARD_FILES;
const fs::path NETLIST = BOARDS / "netlists" / "bscan.json";

enum Tap : std::uint32_t { CORE = 0, U1 = 1, U2 = 2 };

struct BsdlCloser {
    void operator()(orvdev_bsdl* f) const { orvdev_bsdl_free(f); }
};
using Bsdl = std::unique_ptr<orvdev_bsdl, BsdlCloser>;

class BoundaryScan : public orv::e2e::VirtualAdapterTest {
protected:
    orv::emu::BoardConfig board(std::size_t index) const override
    {
        return orv::emu::load_board_file(*orv::emu::find_board(index == 0 ? "bscan" : "bscan-faults"));
    }

    void SetUp() override
    {
        VirtualAdapterTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        for (std::size_t a = 0; a < ADAPTERS; ++a) {
            orvdev_session* s = nullptr;
            ASSERT_EQ(orvdev_session_open(handle(a), nullptr, &s, &report), 0) << report.message;
            sessions.push_back(s);
            orvdev_jtag* j = nullptr;
            ASSERT_EQ(orvdev_jtag_open(s, nullptr, &j, &report), 0) << report.message;
            jtags.push_back(j);
        }
        ASSERT_EQ(orvdev_chain_scan(jtags[0], &chain, &report), 0) << report.message;
        ASSERT_EQ(chain.count, 3u);
        for (const char* name : {"CortexMx.bsd", "STM32F301_F302_UFQFPN32.bsd", "gl64_tq100.bsd"}) {
            files.push_back(load(BOARDS / name));
        }
    }

    void TearDown() override
    {
        orvdev_bscan_close(bscan);
        for (orvdev_jtag* j : jtags) {
            orvdev_jtag_close(j);
        }
        for (orvdev_session* s : sessions) {
            orvdev_session_close(s);
        }
        files.clear();
        VirtualAdapterTest::TearDown();
    }

    Bsdl load(const fs::path& path)
    {
        orvdev_bsdl* f = nullptr;
        EXPECT_EQ(orvdev_bsdl_load(path.c_str(), &f, nullptr, &report), 0) << report.message;
        return Bsdl(f);
    }

    // The handle with every TAP's file, on adapter 0.
    orvdev_bscan* open_all()
    {
        const orvdev_bsdl* taps[3] = {files[0].get(), files[1].get(), files[2].get()};
        EXPECT_EQ(orvdev_bscan_open(jtags[0], &chain, taps, &bscan, &report), 0) << report.message;
        return bscan;
    }

    std::vector<orvdev_bscan_pin> sample(std::uint32_t tap)
    {
        std::vector<orvdev_bscan_pin> pins(200);
        EXPECT_EQ(orvdev_bscan_sample(bscan, tap, pins.data(), 200, &report), 0) << report.message;
        return pins;
    }

    static const orvdev_bscan_pin& pin(const std::vector<orvdev_bscan_pin>& pins, const std::string& name)
    {
        for (const auto& p : pins) {
            if (p.port != nullptr && p.port == name) {
                return p;
            }
        }
        static const orvdev_bscan_pin none{"(none)", "", -1, -1, -1};
        ADD_FAILURE() << "no pin " << name;
        return none;
    }

    std::vector<orvdev_session*> sessions;
    std::vector<orvdev_jtag*> jtags;
    orvdev_chain chain{};
    std::vector<Bsdl> files;
    orvdev_bscan* bscan = nullptr;
    orvdev_report report{};
};

// A BSDL file of a made-up part with the GL64's IDCODE but a 6-bit
// instruction register, written for the test.
std::string write_wrong_length_file()
{
    const std::string path = (fs::path(testing::TempDir()) / "gl64_ir6.bsd").string();
    std::ofstream(path) << R"bsdl(entity GL64_IR6 is
  port (TDI, TMS, TCK : in bit; TDO : out bit; P : inout bit);
  use STD_1149_1_2001.all;
  attribute TAP_SCAN_IN of TDI : signal is true;
  attribute TAP_SCAN_OUT of TDO : signal is true;
  attribute TAP_SCAN_MODE of TMS : signal is true;
  attribute TAP_SCAN_CLOCK of TCK : signal is (1.0e6, BOTH);
  attribute INSTRUCTION_LENGTH of GL64_IR6 : entity is 6;
  attribute INSTRUCTION_OPCODE of GL64_IR6 : entity is "EXTEST (000000), SAMPLE (000001), BYPASS (111111)";
  attribute IDCODE_REGISTER of GL64_IR6 : entity is "XXXX0110111001010001000011111111";
  attribute BOUNDARY_LENGTH of GL64_IR6 : entity is 2;
  attribute BOUNDARY_REGISTER of GL64_IR6 : entity is
    "0 (BC_1, P, input, X), 1 (BC_1, P, output2, X)";
end GL64_IR6;
)bsdl";
    return path;
}

TEST_F(BoundaryScan, FilesMatchTheChainByMaskedIdcodeAndInstructionLength)
{
    const Bsdl wrong = load(write_wrong_length_file());
    struct Case {
        const char* what;
        std::vector<const orvdev_bsdl*> given;
        std::vector<orvdev_bsdl_match> want; // per TAP
    } cases[] = {
        {"every file", {files[2].get(), files[1].get(), files[0].get()}, {{0, 2}, {0, 1}, {0, 0}}},
        {"the GL64's file missing",
         {files[0].get(), files[1].get()},
         {{0, 0}, {0, 1}, {ORVDEV_MATCH_NONE, -1}}},
        {"a file whose IR length the chain contradicts",
         {wrong.get(), files[1].get()},
         {{ORVDEV_MATCH_NONE, -1}, {0, 1}, {ORVDEV_MATCH_IR_LENGTH, 0}}},
        {"the right file after the contradicting one",
         {wrong.get(), files[2].get()},
         {{ORVDEV_MATCH_NONE, -1}, {ORVDEV_MATCH_NONE, -1}, {0, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<orvdev_bsdl_match> got(chain.count);
        ASSERT_EQ(orvdev_bsdl_match_chain(&chain, c.given.data(), static_cast<std::uint32_t>(c.given.size()),
                                          got.data(), &report),
                  0);
        for (std::size_t t = 0; t < got.size(); ++t) {
            EXPECT_EQ(got[t].status, c.want[t].status) << "TAP " << t;
            EXPECT_EQ(got[t].file, c.want[t].file) << "TAP " << t;
        }
    }
    // A TAP that came up in BYPASS has nothing to match by.
    orvdev_chain bypass = chain;
    bypass.taps[2].has_idcode = 0;
    std::vector<orvdev_bsdl_match> got(3);
    const orvdev_bsdl* all[] = {files[2].get()};
    ASSERT_EQ(orvdev_bsdl_match_chain(&bypass, all, 1, got.data(), &report), 0);
    EXPECT_EQ(got[2].status, ORVDEV_MATCH_NO_IDCODE);

    // A handle with a file the chain contradicts is refused before anything
    // is sent.
    model().reset_counts();
    const orvdev_bsdl* taps[3] = {files[0].get(), files[1].get(), wrong.get()};
    EXPECT_EQ(orvdev_bscan_open(jtags[0], &chain, taps, &bscan, &report), ORVDEV_ERROR_BSDL_MISMATCH);
    EXPECT_STREQ(report.message,
                 "TAP 2 has an instruction register of 8 bits, its BSDL file (GL64_IR6) says 6");
    EXPECT_EQ(model().counts().out, 0u);
}

TEST_F(BoundaryScan, SampleReadsThePinsAsTheNetsPutThemInOneExchange)
{
    open_all();
    struct Expect {
        std::uint32_t tap;
        const char* pin;
        int direction, value, driven;
    } cases[] = {
        {U1, "PA2", ORVDEV_PIN_INOUT, 1, 1},  // U1 drives UART_TX high
        {U1, "PA5", ORVDEV_PIN_INOUT, 0, 1},  // ... and SPI_SCK low
        {U1, "PA0", ORVDEV_PIN_INOUT, 1, 0},  // U2 drives IRQ_N high
        {U1, "PA1", ORVDEV_PIN_INOUT, 0, 0},  // CPLD_DONE: nobody drives, pulled down
        {U1, "PA6", ORVDEV_PIN_INOUT, 1, 0},  // SPI_MISO: nobody drives, no pull
        {U1, "BOOT0", ORVDEV_PIN_IN, 0, 0},   // pulled down
        {U2, "LED(0)", ORVDEV_PIN_OUT, 1, 1}, // an output without an input cell: what U2 drives
        {U2, "LED(1)", ORVDEV_PIN_OUT, 0, 1},
        {U2, "A(0)", ORVDEV_PIN_OUT3, -1, 0}, // let go, not observed
        {U2, "IRQ_N", ORVDEV_PIN_OUT3, 1, 1},
        {U2, "MODE(0)", ORVDEV_PIN_IN, 0, 0}, // straps
        {U2, "MODE(1)", ORVDEV_PIN_IN, 1, 0},
        {U2, "RESET_N", ORVDEV_PIN_IN, 1, 0},
        {U2, "IO(4)", ORVDEV_PIN_INOUT, 1, 0}, // UART_TX, which U1 drives
        {U2, "D(0)", ORVDEV_PIN_INOUT, 1, 0},
        {U2, "SDA", ORVDEV_PIN_INOUT, 1, 0}, // open drain, let go, pulled up
    };
    std::map<std::uint32_t, std::vector<orvdev_bscan_pin>> sampled;
    for (const std::uint32_t tap : {U1, U2}) {
        model().reset_counts();
        sampled[tap] = sample(tap);
        // One IR scan and one DR scan: one OUT transfer and one read-back
        // exchange (its polls, one data read).
        EXPECT_EQ(model().counts().out, 1u) << "TAP " << tap;
        EXPECT_EQ(model().counts().data_reads, 1u) << "TAP " << tap;
    }
    for (const Expect& e : cases) {
        const orvdev_bscan_pin& p = pin(sampled[e.tap], e.pin);
        EXPECT_EQ(p.direction, e.direction) << e.pin;
        EXPECT_EQ(p.value, e.value) << e.pin;
        EXPECT_EQ(p.driven, e.driven) << e.pin;
    }
    EXPECT_STREQ(pin(sampled[U1], "PA0").package_pin, "7");
    // The device stays in its normal function.
    EXPECT_EQ(model().jtag().tap(U1).pin_mode(), orv::emu::PinMode::normal);
}

TEST_F(BoundaryScan, DrivenPinsReachTheOtherDeviceAndTheResetGivesThemBack)
{
    open_all();
    const auto drive = [&](std::uint32_t tap, std::vector<orvdev_pin_setting> settings, bool hold) {
        std::vector<orvdev_bscan_pin> pins(200);
        model().reset_counts();
        EXPECT_EQ(orvdev_bscan_drive(bscan, tap, settings.data(), static_cast<std::uint32_t>(settings.size()),
                                     hold ? 1 : 0, pins.data(), 200, &report),
                  0)
            << report.message;
        EXPECT_EQ(model().counts().out, 1u);
        EXPECT_EQ(model().counts().data_reads, 1u);
        return pins;
    };
    // U1 holds BUS0 high, then low; U2 reads it. U1's other pins let go
    // (their safe values) while it is held: UART_TX, which it drives in its
    // normal function, floats high, and U2 pulls SPI_CS_N low through it.
    auto driven = drive(U1, {{"PA8", ORVDEV_LEVEL_HIGH}, {"pa5", ORVDEV_LEVEL_HIGH}}, true);
    EXPECT_EQ(pin(driven, "PA8").value, 1);
    EXPECT_EQ(pin(driven, "PA8").driven, 1);
    EXPECT_EQ(pin(driven, "PA2").driven, 0);
    EXPECT_EQ(model().jtag().tap(U1).pin_mode(), orv::emu::PinMode::extest);
    EXPECT_EQ(pin(sample(U2), "D(0)").value, 1);
    EXPECT_EQ(pin(sample(U2), "IO(0)").value, 1); // SPI_SCK
    drive(U1, {{"PA8", ORVDEV_LEVEL_LOW}}, true);
    EXPECT_EQ(pin(sample(U2), "D(0)").value, 0);
    EXPECT_EQ(pin(sample(U2), "IO(0)").value, 1) << "PA5 stays as the hold left it";
    EXPECT_EQ(model().jtag().tap(U1).pin_mode(), orv::emu::PinMode::extest) << "sampling U2 keeps U1 held";

    // U2 drives SPI_CS_N low for a moment, without a hold: U1 (still held,
    // PA4 let go) reads it while it lasts; afterwards U2 is back in its
    // normal function (BYPASS, as U1 stays held).
    driven = drive(U2, {{"IO(3)", ORVDEV_LEVEL_LOW}}, false);
    EXPECT_EQ(pin(driven, "IO(3)").value, 0);
    EXPECT_EQ(model().jtag().tap(U2).pin_mode(), orv::emu::PinMode::normal);
    EXPECT_EQ(pin(sample(U1), "PA4").value, 1) << "pulled up again";

    // Released: Test-Logic-Reset, U1 drives SPI_SCK low again.
    ASSERT_EQ(orvdev_bscan_release(bscan, &report), 0) << report.message;
    EXPECT_EQ(model().jtag().tap(U1).pin_mode(), orv::emu::PinMode::normal);
    EXPECT_EQ(pin(sample(U2), "IO(0)").value, 0);
    EXPECT_EQ(pin(sample(U2), "D(0)").value, 1);
}

TEST_F(BoundaryScan, BadSettingsAreRefusedBeforeAnythingIsSent)
{
    open_all();
    struct Case {
        std::vector<orvdev_pin_setting> settings;
        std::int32_t rc;
        const char* message;
    } cases[] = {
        {{{"PA99", 1}},
         ORVDEV_ERROR_UNKNOWN_PIN,
         "no pin PA99 in STM32F301_F302_UFQFPN32; nearest: PA9, PA0, PA1, PA2"},
        {{{"BOOT0", 1}}, ORVDEV_ERROR_INVALID_ARGUMENT, "BOOT0 is an input: it has no cell to drive it"},
        {{{"VDD1", 1}},
         ORVDEV_ERROR_INVALID_ARGUMENT,
         "VDD1 of STM32F301_F302_UFQFPN32 has no boundary cell: it cannot be sampled or driven"},
        {{{"PA0", 1}, {"pa0", 0}}, ORVDEV_ERROR_INVALID_ARGUMENT, "PA0 is set twice"},
        {{{"PA0", 3}}, ORVDEV_ERROR_INVALID_ARGUMENT, "PA0: a level 0, 1 or Z, got 3"},
        {{}, ORVDEV_ERROR_INVALID_ARGUMENT, "no handle, or no pins to drive"},
    };
    for (const Case& c : cases) {
        model().reset_counts();
        EXPECT_EQ(orvdev_bscan_drive(bscan, U1, c.settings.data(),
                                     static_cast<std::uint32_t>(c.settings.size()), 1, nullptr, 0, &report),
                  c.rc);
        EXPECT_STREQ(report.message, c.message);
        EXPECT_EQ(model().counts().out, 0u) << c.message;
    }
    const orvdev_pin_setting led{"LED(0)", ORVDEV_LEVEL_Z};
    EXPECT_EQ(orvdev_bscan_drive(bscan, U2, &led, 1, 0, nullptr, 0, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_STREQ(report.message, "LED(0) is a two-state output: it drives at all times and cannot be let go");
    std::vector<orvdev_bscan_pin> few(10);
    EXPECT_EQ(orvdev_bscan_sample(bscan, U1, few.data(), 10, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(orvdev_bscan_sample(bscan, CORE, few.data(), 10, &report), 0) << "the debug TAP has no pins";
    // A device whose cells are all internal needs no room at all.
    EXPECT_EQ(orvdev_bscan_sample(bscan, CORE, nullptr, 0, &report), 0) << report.message;
    EXPECT_EQ(orvdev_bscan_sample(bscan, U1, nullptr, 0, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_STREQ(report.message, "room for 20 pins (STM32F301_F302_UFQFPN32), got 0");
    EXPECT_EQ(model().counts().out, 2u);
}

// ---- the interconnect test ---------------------------------------------------------

struct NetlistCloser {
    void operator()(orvdev_netlist* n) const { orvdev_netlist_free(n); }
};
using NetlistHandle = std::unique_ptr<orvdev_netlist, NetlistCloser>;

struct ResultCloser {
    void operator()(orvdev_connect_result* r) const { orvdev_connect_result_free(r); }
};
using ResultHandle = std::unique_ptr<orvdev_connect_result, ResultCloser>;

std::set<std::string> texts(const orvdev_connect_result& r)
{
    std::set<std::string> found;
    for (std::uint32_t i = 0; i < r.open_count; ++i) {
        found.insert(std::string("open ") + r.opens[i].net + " at " + r.opens[i].pin +
                     (r.opens[i].or_pin != nullptr ? std::string(" or ") + r.opens[i].or_pin : ""));
    }
    for (std::uint32_t i = 0; i < r.short_count; ++i) {
        std::string s = "short";
        for (std::uint32_t k = 0; k < r.shorts[i].net_count; ++k) {
            s += std::string(" ") + r.shorts[i].nets[k];
        }
        static const char* const AS[] = {"and", "or", "unknown"};
        found.insert(s + " as " + AS[r.shorts[i].behaves_as]);
    }
    for (std::uint32_t i = 0; i < r.stuck_count; ++i) {
        found.insert(std::string("stuck ") + r.stuck[i].net + " at " + std::to_string(r.stuck[i].value));
    }
    return found;
}

TEST_F(BoundaryScan, InterconnectTestPassesTheGoodBoardAndNamesEveryFault)
{
    orvdev_netlist* loaded = nullptr;
    ASSERT_EQ(orvdev_netlist_load(NETLIST.c_str(), nullptr, 0, &loaded, nullptr, &report), 0)
        << report.message;
    const NetlistHandle netlist(loaded);
    const struct {
        std::size_t adapter;
        bool passed;
        std::set<std::string> found;
    } boards[] = {
        {0, true, {}},
        {1,
         false,
         // BUS2 has one driver and one receiver: U2.D(2), lifted, is
         // named with the driver, as the readings would be the same had
         // U1.PA10 been lifted.
         {"open BUS2 at U1.PA10 or U2.D(2)", "short SPI_MISO SPI_MOSI as and", "short BUS3 BUS4 as or",
          "stuck ADC_SEL at 0", "stuck CLK_SEL at 1"}},
    };
    for (const auto& b : boards) {
        SCOPED_TRACE(b.adapter == 0 ? "bscan" : "bscan-faults");
        orvdev_chain c{};
        ASSERT_EQ(orvdev_chain_scan(jtags[b.adapter], &c, &report), 0) << report.message;
        const orvdev_bsdl* taps[3] = {};
        ASSERT_EQ(orvdev_netlist_taps(netlist.get(), &c, taps, &report), 0) << report.message;
        EXPECT_EQ(taps[0], nullptr) << "the debug TAP is in no net";
        orvdev_bscan* h = nullptr;
        ASSERT_EQ(orvdev_bscan_open(jtags[b.adapter], &c, taps, &h, &report), 0) << report.message;
        model(b.adapter).reset_counts();
        orvdev_connect_result* raw = nullptr;
        ASSERT_EQ(orvdev_connect_test(h, netlist.get(), &raw, &report), 0) << report.message;
        const ResultHandle r(raw);
        orvdev_bscan_close(h);
        EXPECT_EQ(r->passed != 0, b.passed);
        EXPECT_EQ(texts(*r), b.found);
        // 28 nets have a driver: codes of 6 bits, with their complements.
        EXPECT_EQ(r->patterns, 12u);
        EXPECT_EQ(r->nets_tested, 20u);
        EXPECT_EQ(r->scans, 13u);
        // All scans in one OUT transfer and one read-back exchange.
        EXPECT_EQ(r->out_transfers, 1u);
        EXPECT_EQ(r->readback_exchanges, 1u);
        EXPECT_EQ(model(b.adapter).counts().out, 1u);
        EXPECT_EQ(model(b.adapter).counts().data_reads, 1u);
        EXPECT_EQ(model(b.adapter).jtag().tap(U1).pin_mode(), orv::emu::PinMode::normal)
            << "reset at the end";
        std::map<std::string, std::string> untested;
        for (std::uint32_t i = 0; i < r->untested_count; ++i) {
            untested[r->untested[i].net] = r->untested[i].why;
        }
        EXPECT_EQ(untested.size(), 11u);
        EXPECT_EQ(untested["LED0"], "no receiver: no other pin of the net can read it");
        EXPECT_EQ(untested["ADDR2"], "no receiver: no other pin of the net can read it");
        EXPECT_EQ(untested["RESET_N"], "no driver: none of its pins can drive it");
        EXPECT_EQ(untested["MODE1"], "left alone: all its pins are in \"leave\"");
    }
}

// Netlists that break a rule, each written beside the example boards' BSDL
// files: refused with the JSON path (or line) and the reason.
TEST_F(BoundaryScan, BadNetlistsAreRefusedWithThePlaceAndTheReason)
{
    model().reset_counts();
    const std::string devices =
        R"j("devices": {"U1": {"tap": 1, "bsdl": ")j" + (BOARDS / "STM32F301_F302_UFQFPN32.bsd").string() +
        R"j("}, "U2": {"tap": 2, "bsdl": ")j" + (BOARDS / "gl64_tq100.bsd").string() + R"j("}, "J1": {}})j";
    const struct {
        std::string body;
        std::string path;
        std::string reason;
        unsigned line = 0;
    } cases[] = {
        {devices + R"j(, "nets": {"LEDS": ["U2.LED(0)", "U2.LED(1)"]})j", "nets.LEDS",
         "one driver per net: U2.LED(0) and U2.LED(1) are two-state outputs, which drive at all times"},
        {devices + R"j(, "nets": {"P": ["U1.PA0", "U1.VDD1"]})j", "nets.P[1]",
         "an I/O pin: U1.VDD1 has no boundary-scan cell (a linkage port)"},
        {devices + R"j(, "nets": {"P": ["U1.PA0", "U2.TDI"]})j", "nets.P[1]",
         "an I/O pin: U2.TDI has no boundary-scan cell (a TAP or other port)"},
        {devices + R"j(, "nets": {"P": ["U1.PA0", "U9.X"]})j", "nets.P[1]",
         "a known device (J1, U1, U2), got \"U9\""},
        {devices + R"j(, "nets": {"P": ["U1.PA99", "U2.D(0)"]})j", "nets.P[0]",
         "a pin of U1 (STM32F301_F302_UFQFPN32), got \"PA99\"; nearest: PA9, PA0, PA1, PA2"},
        {devices + R"j(, "nets": {"P": ["U1.PA0"]}, "leave": ["U2.LED(9)"])j", "leave[0]",
         "a pin of U2 (GL64_TQ100), got \"LED(9)\"; nearest: LED(3), LED(2), LED(1), LED(0)"},
        {devices + R"j(, "nets": {}, "nest": {})j", "nest",
         "no such key here; expected one of description, devices, nets, pulls, leave"},
        {R"j("devices": {"U1": {"bsdl": "x.bsd", "tap": 99}})j", "devices.U1.tap",
         "a chain position 0..63 (0 is nearest TDO), got 99"},
        {R"j("devices": {"U1": {"tap": 0}})j", "devices.U1", "a \"bsdl\" file for a device in the chain"},
        {devices + R"j(, "nets": {"P": ["U1.PA0",]})j", "",
         "JSON (syntax error while parsing value - unexpected ']'; "
         "expected '[', '{', or a literal)",
         1},
    };
    const std::string path = (fs::path(testing::TempDir()) / "bad_netlist.json").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::ofstream(path) << "{" << c.body << "}";
        orvdev_input_error where{};
        orvdev_netlist* n = nullptr;
        // The files lie elsewhere: allowed.
        EXPECT_EQ(orvdev_netlist_load_flags(path.c_str(), nullptr, 0, ORVDEV_NETLIST_BSDL_ANYWHERE, &n,
                                            &where, &report),
                  ORVDEV_ERROR_BAD_INPUT);
        EXPECT_EQ(n, nullptr);
        EXPECT_STREQ(where.file, path.c_str());
        EXPECT_EQ(where.path, c.path);
        EXPECT_EQ(where.reason, c.reason);
        EXPECT_EQ(where.line, c.line);
    }
    // A broken BSDL file that a netlist names: its own line and column.
    const std::string bsdl = (fs::path(testing::TempDir()) / "broken.bsd").string();
    std::ofstream(bsdl) << "entity X is\n  port (TDI : in bit)\nend X;\n";
    std::ofstream(path) << R"j({"devices": {"U1": {"tap": 0, "bsdl": "broken.bsd"}}, "nets": {}})j";
    orvdev_input_error where{};
    orvdev_netlist* n = nullptr;
    EXPECT_EQ(orvdev_netlist_load(path.c_str(), nullptr, 0, &n, &where, &report), ORVDEV_ERROR_BAD_INPUT);
    EXPECT_STREQ(where.file, bsdl.c_str());
    EXPECT_EQ(where.line, 3u);
    EXPECT_EQ(std::string(report.message).rfind(bsdl + ":3:", 0), 0u) << report.message;
    EXPECT_EQ(model().counts().out, 0u) << "nothing was sent";
}

} // namespace

// ---- parts in other makers' forms ----------------------------------------------------

// Two made-up parts written as makers write them: a 1149.6 FPGA (AC cells on
// a transceiver's pins, the P leg of each pair with cells, its own
// attributes; the forms of Xilinx's 7-series files) and a 1149.1-1990 part
// whose identification register is named after its instruction, "IDCODE
// (IDCODE)" (the forms of AMD's and GSI's files). Wired by two nets: the
// transceiver's output to the other part's input, and a bus of two I/Os.
constexpr std::string_view XA7_LIKE = R"bsdl(entity XA7_LIKE is
  generic (PHYSICAL_PIN_MAP : string := "CSG325");
  port (TCK, TMS, TDI : in bit; TDO : out bit;
        MGTPTXP0_113, MGTPTXN0_113 : out bit; MGTPRXP0_113, MGTPRXN0_113 : in bit;
        IO_A : inout bit; VCCINT : linkage bit_vector (1 to 2));
  use STD_1149_1_2001.all;
  use STD_1149_6_2003.all;
  attribute PIN_MAP of XA7_LIKE : entity is PHYSICAL_PIN_MAP;
  constant CSG325 : PIN_MAP_STRING := "TCK:L6, TMS:M6, TDI:N6, TDO:N5, MGTPTXP0_113:B4, " &
    "MGTPTXN0_113:A4, MGTPRXP0_113:D5, MGTPRXN0_113:C5, IO_A:F3, VCCINT:(G7, H8)";
  attribute PORT_GROUPING of XA7_LIKE : entity is
    "DIFFERENTIAL_VOLTAGE ((MGTPTXP0_113, MGTPTXN0_113), (MGTPRXP0_113, MGTPRXN0_113))";
  attribute TAP_SCAN_IN of TDI : signal is true;
  attribute TAP_SCAN_OUT of TDO : signal is true;
  attribute TAP_SCAN_MODE of TMS : signal is true;
  attribute TAP_SCAN_CLOCK of TCK : signal is (66.0e6, BOTH);
  attribute INSTRUCTION_LENGTH of XA7_LIKE : entity is 6;
  attribute INSTRUCTION_OPCODE of XA7_LIKE : entity is
    "EXTEST (100110), SAMPLE (000001), PRELOAD (000001), IDCODE (001001), HIGHZ (001010), " &
    "EXTEST_PULSE (111100), EXTEST_TRAIN (111101), BYPASS (111111)";
  attribute INSTRUCTION_CAPTURE of XA7_LIKE : entity is "XXXX01";
  attribute IDCODE_REGISTER of XA7_LIKE : entity is "XXXX0011011000110110000010010011";
  attribute BOUNDARY_LENGTH of XA7_LIKE : entity is 6;
  attribute BOUNDARY_REGISTER of XA7_LIKE : entity is
    "0 (BC_2, *, controlr, 1), 1 (BC_2, IO_A, output3, X, 0, 1, PULL0), 2 (BC_2, IO_A, input, X), " &
    "3 (AC_2, MGTPTXP0_113, output2, X), 4 (AC_1, MGTPRXP0_113, observe_only, X), " &
    "5 (AC_SELX, *, internal, 0)";
  attribute AIO_COMPONENT_CONFORMANCE of XA7_LIKE : entity is "STD_1149_6_2003";
  attribute AIO_EXTEST_PULSE_EXECUTION of XA7_LIKE : entity is "Wait_Duration TCK 15";
  attribute AIO_PIN_BEHAVIOR of XA7_LIKE : entity is "MGTPTXP0_113 : LP_time=22.5e-9; MGTPRXP0_113";
end XA7_LIKE;
)bsdl";

constexpr std::string_view AM_LIKE = R"bsdl(entity AM_LIKE is
  generic (PHYSICAL_PIN_MAP : string := "PGA");
  port (TCK, TMS, TDI : in bit; TDO : out bit; RX : in bit; IO_B : inout bit);
  use STD_1149_1_1990.all;
  attribute PIN_MAP of AM_LIKE : entity is PHYSICAL_PIN_MAP;
  constant PGA : PIN_MAP_STRING := "TCK:A1, TMS:A2, TDI:A3, TDO:A4, RX:B1, IO_B:B2";
  attribute INSTRUCTION_LENGTH of AM_LIKE : entity is 4;
  attribute INSTRUCTION_OPCODE of AM_LIKE : entity is
    "EXTEST (0000), SAMPLE (0001), IDCODE (0010), BYPASS (1111)";
  attribute INSTRUCTION_CAPTURE of AM_LIKE : entity is "0001";
  attribute IDCODE_REGISTER of AM_LIKE : entity is "0001" & "0100100001100000" & "00000000001" & "1";
  attribute REGISTER_ACCESS of AM_LIKE : entity is
    "BOUNDARY (EXTEST, SAMPLE), IDCODE (IDCODE), BYPASS (BYPASS)";
  attribute BOUNDARY_LENGTH of AM_LIKE : entity is 4;
  attribute BOUNDARY_REGISTER of AM_LIKE : entity is
    "0 (BC_1, RX, input, X), 1 (BC_1, IO_B, input, X), 2 (BC_1, IO_B, output3, X, 3, 0, Z), " &
    "3 (BC_1, *, control, 0)";
end AM_LIKE;
)bsdl";

// The files, the two boards (adapter 1's with the bus lifted at U3's pin,
// its driver) and the netlist, in one directory.
fs::path makers_directory()
{
    const fs::path dir = fs::path(testing::TempDir()) / "makers_board";
    fs::create_directories(dir);
    std::ofstream(dir / "xa7_like.bsd") << XA7_LIKE;
    std::ofstream(dir / "am_like.bsd") << AM_LIKE;
    const std::string taps =
        R"j("jtag": [{"name": "U3", "bsdl": "xa7_like.bsd"}, {"name": "U4", "bsdl": "am_like.bsd"}])j";
    const std::string nets =
        R"j("nets": {"TX": ["U3.MGTPTXP0_113", "U4.RX"], "BUS": ["U3.IO_A", "U4.IO_B"]})j";
    std::ofstream(dir / "board.json") << "{" << taps << ", " << nets << "}";
    std::ofstream(dir / "board-open.json")
        << "{" << taps << ", " << nets << R"j(, "faults": [{"open": "U3.IO_A"}]})j";
    std::ofstream(dir / "nets.json")
        << R"j({"devices": {"U3": {"tap": 0, "bsdl": "xa7_like.bsd"}, "U4": {"tap": 1, "bsdl": "am_like.bsd"}}, )j"
        << nets << "}";
    return dir;
}

class MakersBoard : public orv::e2e::VirtualAdapterTest {
protected:
    orv::emu::BoardConfig board(std::size_t index) const override
    {
        return orv::emu::load_board_file(makers_directory() /
                                         (index == 0 ? "board.json" : "board-open.json"));
    }

    void TearDown() override
    {
        orvdev_bscan_close(bscan);
        orvdev_jtag_close(jtag);
        orvdev_session_close(session);
        VirtualAdapterTest::TearDown();
    }

    // Adapter `index` scanned, with both files matched to its chain.
    void open(std::size_t index)
    {
        ASSERT_EQ(orvdev_session_open(handle(index), nullptr, &session, &report), 0) << report.message;
        ASSERT_EQ(orvdev_jtag_open(session, nullptr, &jtag, &report), 0) << report.message;
        ASSERT_EQ(orvdev_chain_scan(jtag, &chain, &report), 0) << report.message;
        for (const char* name : {"xa7_like.bsd", "am_like.bsd"}) {
            orvdev_bsdl* f = nullptr;
            ASSERT_EQ(orvdev_bsdl_load((makers_directory() / name).c_str(), &f, nullptr, &report), 0)
                << report.message;
            files.emplace_back(f);
        }
    }

    // The interconnect test of the netlist at `path` on the open adapter.
    ResultHandle connect_test(const fs::path& path)
    {
        orvdev_netlist* loaded = nullptr;
        EXPECT_EQ(orvdev_netlist_load(path.c_str(), nullptr, 0, &loaded, nullptr, &report), 0)
            << report.message;
        const NetlistHandle netlist(loaded);
        const orvdev_bsdl* taps[2] = {};
        orvdev_connect_result* raw = nullptr;
        if (loaded == nullptr || orvdev_netlist_taps(netlist.get(), &chain, taps, &report) != 0 ||
            orvdev_bscan_open(jtag, &chain, taps, &bscan, &report) != 0 ||
            orvdev_connect_test(bscan, netlist.get(), &raw, &report) != 0) {
            ADD_FAILURE() << report.message;
        }
        return ResultHandle(raw);
    }

    orvdev_session* session = nullptr;
    orvdev_jtag* jtag = nullptr;
    orvdev_chain chain{};
    std::vector<Bsdl> files;
    orvdev_bscan* bscan = nullptr;
    orvdev_report report{};
};

// The 1990 part's IDCODE instruction selects its 32-bit identification
// register, so it shows its IDCODE after reset and its file matches; the
// 1149.6 part's transceiver output, a two-state output, drives its net in
// the normal function as its output cell says: the other part reads what
// the sample says it drives.
TEST_F(MakersBoard, IdcodesMatchAndATwoStateOutputDrivesItsNet)
{
    open(0);
    ASSERT_EQ(chain.count, 2u);
    EXPECT_EQ(chain.taps[1].has_idcode, 1);
    EXPECT_EQ(chain.taps[1].idcode, 0x14860003u);
    EXPECT_EQ(chain.taps[0].idcode, 0x03636093u);
    const orvdev_bsdl* given[] = {files[0].get(), files[1].get()};
    orvdev_bsdl_match matches[2]{};
    ASSERT_EQ(orvdev_bsdl_match_chain(&chain, given, 2, matches, &report), 0);
    EXPECT_EQ(matches[0].status, ORVDEV_MATCH_FOUND);
    EXPECT_EQ(matches[1].status, ORVDEV_MATCH_FOUND);
    EXPECT_EQ(matches[1].file, 1);

    ASSERT_EQ(orvdev_bscan_open(jtag, &chain, given, &bscan, &report), 0) << report.message;
    std::vector<orvdev_bscan_pin> u3(3), u4(2);
    ASSERT_EQ(orvdev_bscan_sample(bscan, 0, u3.data(), 3, &report), 0) << report.message;
    ASSERT_EQ(orvdev_bscan_sample(bscan, 1, u4.data(), 2, &report), 0) << report.message;
    const auto named = [](const std::vector<orvdev_bscan_pin>& pins, std::string_view name) {
        return *std::find_if(pins.begin(), pins.end(), [&](const auto& p) { return p.port == name; });
    };
    const orvdev_bscan_pin tx = named(u3, "MGTPTXP0_113");
    EXPECT_EQ(tx.direction, ORVDEV_PIN_OUT);
    EXPECT_STREQ(tx.package_pin, "B4");
    EXPECT_EQ(tx.driven, 1);
    EXPECT_EQ(named(u4, "RX").value, tx.value) << "the other pin of the net reads what it drives";
    EXPECT_EQ(named(u3, "MGTPRXP0_113").direction, ORVDEV_PIN_IN);
}

// A bus of two pins lifted at its driver: the report names the driver, and
// the receiver with it, since the readings are the same at either end.
TEST_F(MakersBoard, AnOpenOnANetOfTwoPinsNamesTheDriverAndItsReceiver)
{
    open(1);
    const ResultHandle r = connect_test(makers_directory() / "nets.json");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nets_tested, 2u);
    EXPECT_EQ(texts(*r), std::set<std::string>{"open BUS at U3.IO_A or U4.IO_B"});
}

// A test of nothing (every pin left alone) is no pass.
TEST_F(MakersBoard, ATestOfNoNetDoesNotPass)
{
    open(0);
    const fs::path path = makers_directory() / "all_left.json";
    std::ofstream(path) << R"j({"devices": {"U3": {"tap": 0, "bsdl": "xa7_like.bsd"}, "U4": {"tap": 1, "bsdl":
        "am_like.bsd"}}, "nets": {"TX": ["U3.MGTPTXP0_113", "U4.RX"]}, "leave": ["U3.MGTPTXP0_113", "U4.RX"]})j";
    const ResultHandle r = connect_test(path);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nets_tested, 0u);
    EXPECT_EQ(r->passed, 0);
    EXPECT_EQ(r->untested_count, 1u);
}

// Netlists from elsewhere: the files they name stay in their directory, a
// key given twice, a number no double holds, nesting without end, and what
// is not a regular file are refused with the place and the reason, before
// anything is sent and without waiting on a FIFO.
TEST_F(MakersBoard, HostileNetlistsAreRefusedWithThePlaceAndTheReason)
{
    const fs::path dir = makers_directory();
    const fs::path fifo = dir / "fifo.bsd";
    fs::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string u3 = R"j({"devices": {"U3": {"tap": 0, "bsdl": )j";
    std::string many = R"j({"devices": {)j";
    for (int i = 0; i < 65; ++i) {
        const std::string name = "copy" + std::to_string(i) + ".bsd";
        fs::remove(dir / name);
        fs::create_symlink("xa7_like.bsd", dir / name);
        many += (i == 0 ? "" : ", ") + std::string(i < 10 ? "\"U0" : "\"U") + std::to_string(i) +
                R"j(": {"idcode": "0x03636093", "bsdl": ")j" + name + "\"}";
    }
    const struct {
        std::string text;
        std::string file, path, reason;
        unsigned line = 0;
    } cases[] = {
        {u3 + R"j("/etc/passwd"}}})j", "", "devices.U3.bsdl",
         "a BSDL file in the netlist's directory or below it, got \"/etc/passwd\""},
        {u3 + R"j("sub/../../x.bsd"}}})j", "", "devices.U3.bsdl",
         "a BSDL file in the netlist's directory or below it, got \"sub/../../x.bsd\""},
        {R"j({"devices": {"U3": {"tap": 0, "bsdl": "xa7_like.bsd", "tap": 1}}})j", "", "devices.U3.tap",
         "each key once in an object: \"tap\" is given again"},
        {R"j({"devices": {"U3": {"tap": )j" + std::string(5000, '9') + "}}}", "", "",
         "a number a double can hold, got 999999999999... (5000 characters)", 1},
        {R"j({"description": )j" + std::string(100, '[') + std::string(100, ']') + "}", "",
         "description" +
             [] {
                 std::string p;
                 for (int i = 0; i < 63; ++i) {
                     p += "[0]";
                 }
                 return p;
             }(),
         "at most 64 levels of objects and lists"},
        {u3 + R"j("fifo.bsd"}}})j", fifo.string(), "", "expected a readable BSDL file, not a FIFO"},
        {many + "}}", "", "devices.U64.bsdl", "at most 64 BSDL files (a chain has at most 64 TAPs)"},
    };
    const fs::path path = dir / "hostile.json";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        std::ofstream(path) << c.text;
        orvdev_input_error where{};
        orvdev_netlist* n = nullptr;
        EXPECT_EQ(orvdev_netlist_load(path.c_str(), nullptr, 0, &n, &where, &report), ORVDEV_ERROR_BAD_INPUT)
            << report.message;
        EXPECT_EQ(n, nullptr);
        EXPECT_EQ(where.file, c.file.empty() ? path.string() : c.file);
        EXPECT_EQ(where.path, c.path);
        EXPECT_EQ(where.reason, c.reason);
        EXPECT_EQ(where.line, c.line);
    }
    // The netlist itself a FIFO: refused at once.
    orvdev_input_error where{};
    orvdev_netlist* n = nullptr;
    EXPECT_EQ(orvdev_netlist_load(fifo.c_str(), nullptr, 0, &n, &where, &report), ORVDEV_ERROR_BAD_INPUT);
    EXPECT_STREQ(where.reason, "a readable netlist, not a FIFO");
    // Allowed elsewhere, the file outside is read.
    std::ofstream(path) << u3 + "\"" + (dir / "xa7_like.bsd").string() + "\"}}}";
    ASSERT_EQ(orvdev_netlist_load_flags(path.c_str(), nullptr, 0, ORVDEV_NETLIST_BSDL_ANYWHERE, &n, &where,
                                        &report),
              0)
        << report.message;
    orvdev_netlist_free(n);
    EXPECT_EQ(orvdev_netlist_load_flags(path.c_str(), nullptr, 0, 2, &n, &where, &report),
              ORVDEV_ERROR_INVALID_ARGUMENT);
    fs::remove(fifo);
}
