// Boundary-scan devices on a virtual board (boards/bscan.json and
// bscan-faults.json), driven through the JTAG library in-process: the
// files' instructions and registers, SAMPLE of the nets, PRELOAD then EXTEST
// from one device to the other, control cells, the faults, and board files
// with bad boundary-scan keys refused with their JSON paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "orv_tapwire.h"
#include "sim/emulator/board_file.hpp"
#include "sim/emulator/inproc_usb.hpp"
#include "tests/emulator/emu_test_util.hpp"

namespace orv::emu::test {
namespace {

namespace fs = std::filesystem;
constexpr std::uint32_t TIMEOUT = 5;
using Bits = std::vector<std::uint8_t>; // one bit per element, bit 0 nearest TDO

// The chain of bscan.json: U1's debug TAP (nearest TDO), U1, U2.
constexpr std::size_t CORE = 0, U1 = 1, U2 = 2;

class BoundaryScan : public ::testing::Test {
protected:
    void use(const std::string& board)
    {
        config_ = load_board_file(fs::path(ORV_BOARD_SOURCE_DIR) / board);
        adapter_ = make_board(config_);
        usb_ = std::make_unique<InprocUsb>(*adapter_);
        state_ = -1;
        ASSERT_EQ(tapwire_reset(usb_->handle(), &state_, TIMEOUT), 0);
        lengths_ = {32, 32, 32}; // IDCODE after reset
    }

    const bsdl::Device& model(std::size_t tap) const { return *config_.jtag.at(tap).boundary_scan->device; }

    // One IR scan loading an instruction by name into each TAP, TAP 0 first;
    // returns what the IRs captured.
    Bits instruct(const std::vector<std::string>& names)
    {
        Bits in;
        for (std::size_t t = 0; t < names.size(); ++t) {
            const auto code = model(t).opcode(names[t]);
            if (!code) {
                ADD_FAILURE() << model(t).entity << " has no " << names[t];
                return {};
            }
            for (auto c = code->rbegin(); c != code->rend(); ++c) {
                in.push_back(*c == '1' ? 1 : 0);
            }
            // The registers the emulator has; any other is BYPASS.
            const auto reg = model(t).data_register(names[t]);
            const bool emulated =
                reg && (reg->name == "BOUNDARY" || reg->name == "DEVICE_ID" || names[t] == "USER1");
            lengths_[t] = emulated ? *reg->length : 1;
        }
        return shift(in, true);
    }
    // One DR scan: `in[t]` into TAP t's register; returns what each captured.
    std::vector<Bits> scan(const std::vector<Bits>& in)
    {
        Bits all;
        for (std::size_t t = 0; t < in.size(); ++t) {
            EXPECT_EQ(in[t].size(), lengths_[t]) << "TAP " << t;
            all.insert(all.end(), in[t].begin(), in[t].end());
        }
        const Bits out = shift(all, false);
        std::vector<Bits> split;
        std::size_t at = 0;
        for (std::size_t t = 0; t < in.size(); ++t) {
            split.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(at),
                               out.begin() + static_cast<std::ptrdiff_t>(at + lengths_[t]));
            at += lengths_[t];
        }
        return split;
    }
    // SAMPLE on both devices: their boundary registers as captured.
    std::vector<Bits> sample()
    {
        instruct({"BYPASS", "SAMPLE", "SAMPLE"});
        return scan({{0}, safe(U1), safe(U2)});
    }

    // The safe values of a boundary register (X as 0): nothing driven.
    Bits safe(std::size_t tap) const
    {
        Bits bits(model(tap).boundary_length, 0);
        for (const bsdl::Cell& cell : model(tap).cells) {
            bits[cell.number] = cell.safe == bsdl::Bit::one ? 1 : 0;
        }
        return bits;
    }
    // Sets a pin's output cell and enables its driver.
    void drive(std::size_t tap, Bits& bits, const std::string& pin, bool level) const
    {
        const bsdl::Device& d = model(tap);
        const bsdl::Pin& p = d.pins.at(*d.find_pin(pin));
        const bsdl::Cell& out = d.cells.at(*p.output_cell);
        bits[out.number] = level ? 1 : 0;
        if (out.control && *out.control != out.number) {
            bits[*out.control] = out.disable_value == bsdl::Bit::one ? 0 : 1;
        }
    }
    // What a pin's input cell captured.
    bool seen(std::size_t tap, const Bits& captured, const std::string& pin) const
    {
        const bsdl::Device& d = model(tap);
        return captured.at(d.cells.at(*d.pins.at(*d.find_pin(pin)).input_cell).number) != 0;
    }
    bool cell(const Bits& captured, unsigned number) const { return captured.at(number) != 0; }

    BoardConfig config_;
    std::unique_ptr<Adapter> adapter_;
    std::unique_ptr<InprocUsb> usb_;
    std::int32_t state_ = -1;
    std::vector<unsigned> lengths_;

    Bits shift(const Bits& bits, bool ir)
    {
        Bytes tdi((bits.size() + 7) / 8, 0), tdo(tdi.size(), 0);
        for (std::size_t i = 0; i < bits.size(); ++i) {
            tdi[i / 8] = static_cast<std::uint8_t>(tdi[i / 8] | bits[i] << (i % 8));
        }
        const auto n = static_cast<std::int32_t>(bits.size());
        const auto shifter = ir ? tapwire_shift_ir : tapwire_shift_dr;
        EXPECT_EQ(shifter(usb_->handle(), &state_, n, tdi.data(), tdo.data(), 0, TIMEOUT), 0);
        Bits out(bits.size());
        for (std::size_t i = 0; i < bits.size(); ++i) {
            out[i] = (tdo[i / 8] >> (i % 8)) & 1;
        }
        return out;
    }
};

std::uint32_t word(const Bits& bits)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bits.size() && i < 32; ++i) {
        value |= std::uint32_t{bits[i]} << i;
    }
    return value;
}

TEST_F(BoundaryScan, TheFilesInstructionsAndRegisters)
{
    use("bscan.json");
    // Test-Logic-Reset selects IDCODE: the entry's for U1_CORE and U1, the
    // file's with X as 0 for U2.
    const auto ids = scan({Bits(32, 0), Bits(32, 0), Bits(32, 0)});
    EXPECT_EQ(word(ids[CORE]), 0x4BA00477U);
    EXPECT_EQ(word(ids[U1]), 0x06439041U);
    EXPECT_EQ(word(ids[U2]), 0x06E510FFU);

    // Capture-IR loads each file's INSTRUCTION_CAPTURE (X as 0).
    const Bits captured = instruct({"BYPASS", "BYPASS", "USERCODE"});
    EXPECT_EQ(captured, (Bits{1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(word(scan({{1}, {1}, Bits(32, 1)})[U2]), 0U); // USERCODE: all X

    // USER1 (0000100X) is the board's USER register, 16 bits, under both codes.
    instruct({"BYPASS", "BYPASS", "USER1"});
    EXPECT_EQ(lengths_[U2], 16U);
    Bits pattern(16, 0);
    pattern[0] = pattern[3] = pattern[15] = 1;
    (void)scan({{0}, {0}, pattern});
    EXPECT_EQ(adapter_->jtag().tap(U2).user(), 0x8009U);
    EXPECT_EQ(scan({{0}, {0}, Bits(16, 0)})[U2], pattern);
    Bits other(17, 1); // both BYPASS, then U2's 00001001
    std::fill(other.begin() + 9, other.end(), 0);
    other[9] = other[12] = 1;
    (void)shift(other, true);
    EXPECT_EQ(adapter_->jtag().tap(U2).selected(), TapRegister::user);
    // An instruction without an emulated register, and an unknown code, are BYPASS.
    instruct({"BYPASS", "BYPASS", "ISC_PROGRAM"});
    EXPECT_EQ(adapter_->jtag().tap(U2).selected(), TapRegister::bypass);
    EXPECT_EQ(scan({{1}, {1}, {1}})[U2], Bits{0});
}

// Each row: a pin, the level its input cell captures under SAMPLE in
// normal function.
struct Level {
    std::size_t tap;
    const char* pin;
    bool level;
};

TEST_F(BoundaryScan, SampleSeesTheNetsAsTheBoardPutsThem)
{
    use("bscan.json");
    const auto got = sample();
    const Level levels[] = {
        {U2, "IO(4)", true},    // UART_TX: U1 drives 1
        {U1, "PA2", true},      //   ... and sees its own level
        {U2, "IO(0)", false},   // SPI_SCK: U1 drives 0
        {U2, "IO(3)", true},    // SPI_CS_N: U1 drives 1, pulled up
        {U1, "PA3", true},      // UART_RX: U2 drives 1
        {U1, "PA0", true},      // IRQ_N: U2 drives 1
        {U1, "PA1", false},     // CPLD_DONE: nobody drives, pulled down
        {U2, "IO(6)", false},   //   ...
        {U2, "D(0)", true},     // BUS0: floating reads 1
        {U1, "PB7", true},      // I2C_SDA: pulled up, the open drain released
        {U2, "SDA", true},      //   ...
        {U2, "MODE(0)", false}, // strapped to 0
        {U2, "MODE(1)", true},  // strapped to 1
        {U1, "BOOT0", false},   // pulled down
        {U2, "RESET_N", true},  // pulled up, on no other pin
        {U2, "CLK", false},     // CLK_OUT: U1 drives 0 into a clock cell
    };
    for (const Level& l : levels) {
        EXPECT_EQ(seen(l.tap, got[l.tap], l.pin), l.level) << l.pin;
    }
    // Output and control cells capture what the logic drives: U1's PA2 (1,
    // enabled: its control reads 0), PA6 undriven (control reads its disable
    // value); U2's LED(0) and LED(1).
    const bsdl::Device& u1 = model(U1);
    const bsdl::Cell& pa2 = u1.cells[*u1.pins[*u1.find_pin("PA2")].output_cell];
    EXPECT_TRUE(cell(got[U1], pa2.number));
    EXPECT_FALSE(cell(got[U1], *pa2.control));
    EXPECT_TRUE(cell(got[U1], *u1.cells[*u1.pins[*u1.find_pin("PA6")].output_cell].control));
    EXPECT_TRUE(cell(got[U2], 3));  // LED(0)
    EXPECT_FALSE(cell(got[U2], 4)); // LED(1)
}

TEST_F(BoundaryScan, PreloadThenExtestDrivesANetTheOtherDeviceSees)
{
    use("bscan.json");
    // PRELOAD: U1 drives BUS0 high and BUS1 low, everything else at its safe
    // value; U2 released.
    instruct({"BYPASS", "PRELOAD", "PRELOAD"});
    Bits u1 = safe(U1);
    drive(U1, u1, "PA8", true);
    drive(U1, u1, "PA9", false);
    (void)scan({{0}, u1, safe(U2)});
    EXPECT_TRUE(seen(U2, sample()[U2], "D(1)")) << "PRELOAD drove a pin";

    instruct({"BYPASS", "PRELOAD", "PRELOAD"});
    (void)scan({{0}, u1, safe(U2)});
    instruct({"BYPASS", "EXTEST", "EXTEST"});
    auto got = scan({{0}, u1, safe(U2)});
    EXPECT_TRUE(seen(U2, got[U2], "D(0)"));
    EXPECT_FALSE(seen(U2, got[U2], "D(1)"));
    EXPECT_TRUE(seen(U2, got[U2], "IO(0)")) << "SPI_SCK: U1's logic no longer drives it, it floats high";

    // Now U2 drives BUS2 low: U1 reads it on its next capture.
    Bits u2 = safe(U2);
    drive(U2, u2, "D(2)", false);
    (void)scan({{0}, u1, u2});
    got = scan({{0}, u1, u2});
    EXPECT_FALSE(seen(U1, got[U1], "PA10"));
    EXPECT_TRUE(seen(U1, got[U1], "PA8"));

    // Test-Logic-Reset returns both to normal function.
    ASSERT_EQ(tapwire_reset(usb_->handle(), &state_, TIMEOUT), 0);
    got = sample();
    EXPECT_TRUE(seen(U1, got[U1], "PA10"));
    EXPECT_FALSE(seen(U2, got[U2], "IO(0)"));
}

TEST_F(BoundaryScan, ControlCellsOpenDrainsAndInstructionsTriState)
{
    use("bscan.json");
    instruct({"BYPASS", "EXTEST", "EXTEST"});
    Bits u1 = safe(U1);
    drive(U1, u1, "PA8", false);
    u1[*model(U1).cells[*model(U1).pins[*model(U1).find_pin("PA8")].output_cell].control] = 1; // disabled
    Bits u2 = safe(U2);
    drive(U2, u2, "SDA", false); // open drain: 0 pulls low
    (void)scan({{0}, u1, u2});
    auto got = scan({{0}, u1, u2});
    EXPECT_TRUE(seen(U2, got[U2], "D(0)")) << "a disabled output does not drive";
    EXPECT_FALSE(seen(U1, got[U1], "PB7"));
    drive(U1, u1, "PA8", false);
    drive(U2, u2, "SDA", true); // 1 releases: the pull-up wins
    (void)scan({{0}, u1, u2});
    got = scan({{0}, u1, u2});
    EXPECT_FALSE(seen(U2, got[U2], "D(0)"));
    EXPECT_TRUE(seen(U1, got[U1], "PB7"));

    // CLAMP drives from the update stage through the 1-bit BYPASS register;
    // HIGHZ drives nothing, not even what the logic drove (LED1, low in
    // normal function, floats high); with U1 released too, CPLD_EN shows
    // the board's pull-down rather than U2's own PULL1.
    ASSERT_EQ(tapwire_reset(usb_->handle(), &state_, TIMEOUT), 0);
    instruct({"BYPASS", "PRELOAD", "PRELOAD"});
    u2 = safe(U2);
    drive(U2, u2, "IO(1)", false);
    (void)scan({{0}, safe(U1), u2});
    const PinNetwork& network = adapter_->jtag().network();
    const auto net = [&](const char* name) {
        for (std::size_t n = 0; n < network.config().nets.size(); ++n) {
            if (network.config().nets[n].name == name) {
                return network.net_level(n);
            }
        }
        ADD_FAILURE() << name;
        return false;
    };
    instruct({"BYPASS", "EXTEST", "CLAMP"});
    EXPECT_EQ(lengths_[U2], 1U);
    EXPECT_FALSE(net("SPI_MISO"));
    EXPECT_FALSE(net("LED1"));
    instruct({"BYPASS", "EXTEST", "HIGHZ"});
    EXPECT_TRUE(net("SPI_MISO"));
    EXPECT_TRUE(net("LED1"));
    EXPECT_FALSE(net("CPLD_EN"));
    EXPECT_TRUE(net("IRQ_N")) << "U2's IRQ_N released: the board's pull-up";
    // SAMPLE returns both to normal function.
    got = sample();
    EXPECT_FALSE(seen(U2, got[U2], "IO(0)"));
    EXPECT_TRUE(seen(U2, got[U2], "IO(8)"));
    EXPECT_TRUE(cell(got[U2], 3)) << "LED(0)'s output cell: the logic drives 1";
}

// A fault case: what U1 drives in EXTEST, and what U2 then reads.
struct FaultCase {
    const char* fault;
    std::vector<std::pair<const char*, bool>> u1_drives;
    std::vector<std::pair<const char*, bool>> u2_reads;
    std::vector<std::pair<const char*, bool>> u1_reads;
};

TEST_F(BoundaryScan, EachFaultBehavesAsTheBoardFileSays)
{
    use("bscan-faults.json");
    const FaultCase cases[] = {
        {"open U2.D(2)", {{"PA10", false}}, {{"D(2)", true}}, {{"PA10", false}}},
        {"short SPI_MISO and SPI_MOSI as AND",
         {{"PA6", true}, {"PA7", false}},
         {{"IO(1)", false}, {"IO(2)", false}},
         {{"PA6", false}}},
        {"... both high", {{"PA6", true}, {"PA7", true}}, {{"IO(1)", true}, {"IO(2)", true}}, {}},
        {"short BUS3 and BUS4 as OR",
         {{"PA11", false}, {"PA12", true}},
         {{"D(3)", true}, {"D(4)", true}},
         {{"PA11", true}}},
        {"... both low", {{"PA11", false}, {"PA12", false}}, {{"D(3)", false}, {"D(4)", false}}, {}},
        {"ADC_SEL stuck at 0", {{"PB0", true}}, {{"IO(7)", false}}, {{"PB0", false}}},
        {"CLK_SEL stuck at 1", {{"PF1_OSCOUT", false}}, {{"IO(9)", true}}, {{"PF1_OSCOUT", true}}},
        {"a good net beside them", {{"PA8", false}}, {{"D(0)", false}}, {}},
    };
    instruct({"BYPASS", "EXTEST", "EXTEST"});
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.fault);
        Bits u1 = safe(U1);
        for (const auto& [pin, level] : c.u1_drives) {
            drive(U1, u1, pin, level);
        }
        (void)scan({{0}, u1, safe(U2)});
        const auto got = scan({{0}, u1, safe(U2)});
        for (const auto& [pin, level] : c.u2_reads) {
            EXPECT_EQ(seen(U2, got[U2], pin), level) << "U2." << pin;
        }
        for (const auto& [pin, level] : c.u1_reads) {
            EXPECT_EQ(seen(U1, got[U1], pin), level) << "U1." << pin;
        }
    }
    // Driven from U2's side, the open pin reaches nobody.
    Bits u2 = safe(U2);
    drive(U2, u2, "D(2)", false);
    (void)scan({{0}, safe(U1), u2});
    const auto got = scan({{0}, safe(U1), u2});
    EXPECT_TRUE(seen(U1, got[U1], "PA10"));
    EXPECT_FALSE(seen(U2, got[U2], "D(2)")) << "it reads its own output";
}

// ---- bad board files ------------------------------------------------------------

struct Refusal {
    std::string json;
    const char* where;
    const char* expected;
};

TEST(BoundaryScanBoardFile, BadKeysAreRefusedWithTheirPaths)
{
    const fs::path dir = fs::path(::testing::TempDir()) / "orv_bscan_refusals";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path boards = ORV_BOARD_SOURCE_DIR;
    const std::string u1 = (boards / "STM32F301_F302_UFQFPN32.bsd").string();
    const std::string u2 = (boards / "gl64_tq100.bsd").string();
    std::ofstream(dir / "broken.bsd")
        << "entity B is\n  port (TDI : in bit);\n  attribute X of C : entity is 1;\nend B;\n";
    std::ofstream(dir / "wide.bsd")
        << "entity W is port (A : in bit);\n"
           "attribute INSTRUCTION_LENGTH of W : entity is 33;\n"
           "attribute INSTRUCTION_OPCODE of W : entity is \"BYPASS (" +
               std::string(33, '1') +
               ")\";\n"
               "attribute BOUNDARY_LENGTH of W : entity is 1;\n"
               "attribute BOUNDARY_REGISTER of W : entity is \"0 (BC_1, A, input, X)\";\n"
               "end W;\n";
    // Two devices; `more` is spliced into the top level.
    const auto board = [&](const std::string& more, const std::string& u1_keys = "",
                           const std::string& u2_keys = "") {
        return "{\"jtag\": [{\"name\": \"U1\", \"bsdl\": \"" + u1 + "\"" + u1_keys +
               "}, {\"name\": \"U2\", \"bsdl\": \"" + u2 + "\"" + u2_keys + "}]" + more + "}";
    };
    const std::string nets =
        ", \"nets\": {\"A\": [\"U1.PA0\", \"U2.IO(0)\"], \"B\": [\"U1.PA1\", \"U2.IO(1)\"]}";
    const Refusal refusals[] = {
        {R"({"jtag": [{"bsdl": "missing.bsd"}]})", "jtag[0].bsdl", "an existing BSDL file"},
        {R"({"jtag": [{"bsdl": "broken.bsd"}]})", "jtag[0].bsdl",
         "broken.bsd:4:1: expected attribute INSTRUCTION_LENGTH"},
        {R"({"jtag": [{"bsdl": "wide.bsd"}]})", "jtag[0].bsdl", "at most 32 instruction bits"},
        {R"({"jtag": [{"bsdl": ""}]})", "jtag[0].bsdl", "the name of a BSDL file"},
        {board("", ", \"ir_length\": 4"), "jtag[0].ir_length", "the instruction length of"},
        {board("", ", \"irlen\": 5"), "jtag[0].irlen", "expected one of name, bsdl, ir_length"},
        {board("", "", ", \"idcode\": \"0x06e510fe\""), "jtag[1].idcode",
         "allows, 0x?6e510ff, got 0x6e510fe"},
        {board("", ", \"instructions\": {\"IDCODE\": 1}"), "jtag[0].instructions.IDCODE", "only USER here"},
        {board("", ", \"instructions\": {\"USER\": \"SAMPLE\"}"), "jtag[0].instructions.USER",
         "an instruction of the device's own, not SAMPLE"},
        {board("", ", \"instructions\": {\"USER\": \"0x20\"}"), "jtag[0].instructions.USER",
         "a code of 5 bits"},
        {board("", "", ", \"instructions\": {\"USER\": \"USER1\"}, \"user_length\": 32"),
         "jtag[1].user_length", "gives the USER register, 16"},
        {board("", ", \"drive\": {\"PA13\": 1}"), "jtag[0].drive.PA13", "nearest: PA1, PA3, PA10"},
        {board("", ", \"drive\": {\"BOOT0\": 1}"), "jtag[0].drive.BOOT0", "BOOT0 has no output cell"},
        {board("", ", \"drive\": {\"PA0\": 2}"), "jtag[0].drive.PA0", "a level, 0 or 1"},
        {"{\"jtag\": [{\"name\": \"U1\", \"bsdl\": \"" + u1 + "\"}, {\"name\": \"u1\", \"bsdl\": \"" + u2 +
             "\"}]}",
         "jtag[1].name", "a name no other TAP with a bsdl has"},
        {board(", \"nets\": []"), "nets", "an object of nets"},
        {board(", \"nets\": {\"A\": \"U1.PA0\"}"), "nets.A", "a list of at least one pin"},
        {board(", \"nets\": {\"A\": [7]}"), "nets.A[0]", "a pin DEVICE.PORT"},
        {board(", \"nets\": {\"A\": [\"PA0\"]}"), "nets.A[0]", "a pin DEVICE.PORT"},
        {board(", \"nets\": {\"A\": [\"U3.PA0\"]}"), "nets.A[0]", "a known device (U1, U2), got \"U3\""},
        {board(", \"nets\": {\"A\": [\"U1.PB77\"]}"), "nets.A[0]", "nearest: PB7"},
        {board(", \"nets\": {\"A\": [\"U2.IO(24)\"]}"), "nets.A[0]", "a pin of U2 (GL64_TQ100)"},
        {board(", \"nets\": {\"A\": [\"U1.PA0\"], \"B\": [\"u1.pa0\"]}"), "nets.B[0]",
         "a pin on one net only: U1.PA0 is already on net A"},
        {board(nets + ", \"pulls\": {\"C\": \"up\"}"), "pulls.C", "a net of \"nets\""},
        {board(nets + ", \"pulls\": {\"A\": \"high\"}"), "pulls.A", "\"up\" or \"down\""},
        {board(nets + ", \"fixed\": {\"A\": 2}"), "fixed.A", "a level, 0 or 1"},
        {board(nets + ", \"fixed\": {\"Q\": 0}"), "fixed.Q", "a net of \"nets\""},
        {board(nets + ", \"faults\": {}"), "faults", "a list of faults"},
        {board(nets + ", \"faults\": [{\"cut\": \"U1.PA0\"}]"), "faults[0]", "one of open, short and stuck"},
        {board(nets + ", \"faults\": [{\"open\": \"U1.PA0\", \"stuck\": \"A\"}]"), "faults[0]",
         "one of open"},
        {board(nets + ", \"faults\": [{\"open\": \"U1.PA5\"}]"), "faults[0].open",
         "a pin on a net: U1.PA5 is on none"},
        {board(nets + ", \"faults\": [{\"open\": \"U1.PX0\"}]"), "faults[0].open", "nearest: PA0"},
        {board(nets + ", \"faults\": [{\"short\": [\"A\"]}]"), "faults[0].short", "two or more nets"},
        {board(nets + ", \"faults\": [{\"short\": [\"A\", \"Q\"]}]"), "faults[0].short[1]",
         "a net of \"nets\""},
        {board(nets + ", \"faults\": [{\"short\": [\"A\", \"A\"]}]"), "faults[0].short[1]",
         "not named before"},
        {board(nets + ", \"faults\": [{\"short\": [\"A\", \"B\"], \"as\": \"xor\"}]"), "faults[0].as",
         "\"and\" or \"or\""},
        {board(nets +
               ", \"faults\": [{\"short\": [\"A\", \"B\"]}, {\"short\": [\"B\", \"A\"], \"as\": \"or\"}]"),
         "faults[1].as", "\"and\" as faults[0], which joins the same nets"},
        {board(nets + ", \"faults\": [{\"stuck\": \"A\"}]"), "faults[0].value", "which is missing"},
        {board(nets + ", \"faults\": [{\"stuck\": \"A\", \"value\": 1, \"as\": \"or\"}]"), "faults[0].as",
         "expected one of stuck, value"},
        {board(nets + ", \"netz\": {}"), "netz", "expected one of description, jtag, spi_flash, i2c, nets"},
    };
    for (const Refusal& r : refusals) {
        try {
            (void)parse_board(r.json, dir / "bad.json");
            ADD_FAILURE() << "accepted: " << r.json;
        } catch (const BoardFileError& e) {
            EXPECT_EQ(e.file(), (dir / "bad.json").string());
            EXPECT_EQ(e.where(), r.where) << r.json << "\n" << e.what();
            EXPECT_NE(e.expected().find(r.expected), std::string::npos) << r.json << "\n" << e.what();
        }
    }
}

} // namespace
} // namespace orv::emu::test
