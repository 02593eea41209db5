// An I2C EEPROM behind boundary-scan pins (boards/bscan-flash.json: a 24C32
// on the STM32F301's PB6 and PB7), bit-banged through the chain's TAPs in
// EXTEST as a host would: the pins drive SCL and SDA low or release them to
// the pull-ups, and each Capture-DR sees the levels the previous Update-DR
// left. A write and a read back, the pull-up and the acknowledge on SDA, the
// nets' faults, and the board-file refusals with their JSON paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/emulator/board_file.hpp"

namespace orv::emu::test {
namespace {

namespace fs = std::filesystem;
using Bits = std::vector<std::uint8_t>; // one bit per element, cell 0 first

constexpr std::size_t CORE = 0, U1 = 1; // the STM32's debug TAP (nearest TDO), its boundary-scan TAP
constexpr std::uint16_t EEPROM = 0x50;

std::size_t net_named(const BoardConfig& config, const std::string& name)
{
    for (std::size_t n = 0; n < config.network.nets.size(); ++n) {
        if (config.network.nets[n].name == name) {
            return n;
        }
    }
    ADD_FAILURE() << "no net " << name;
    return 0;
}

BoardConfig pin_board()
{
    return load_board_file(fs::path(ORV_BOARD_SOURCE_DIR) / "bscan-flash.json");
}

// An I2C master on U1's PB6 (SCL) and PB7 (SDA), one DR scan per change of
// the lines, the debug TAP in BYPASS.
class PinMaster {
public:
    explicit PinMaster(const BoardConfig& config) : config_(config), board_(build_board(config))
    {
        for (int i = 0; i < 5; ++i) {
            clock(true, false);
        }
        clock(false, false); // Run-Test/Idle
        // EXTEST's update stage starts at the safe values: every output released.
        bits_.assign(model(U1).boundary_length, 0);
        for (const bsdl::Cell& cell : model(U1).cells) {
            bits_[cell.number] = cell.safe == bsdl::Bit::one ? 1 : 0;
        }
        instruct("BYPASS", "EXTEST");
    }

    JtagChain& chain() { return board_.jtag; }
    // Each TCK of the master's scans goes through here, counted.
    bool clock(bool tms, bool tdi)
    {
        ++tck_;
        return chain().clock(tms, tdi);
    }
    [[nodiscard]] std::uint64_t tck() const { return tck_; }
    // In Run-Test/Idle, `count` more TCK clocks.
    void idle(std::uint64_t count)
    {
        for (std::uint64_t i = 0; i < count; ++i) {
            clock(false, false);
        }
    }
    // At each release of SCL, scan until a capture shows it high (a device
    // may hold it low), at most MOST_SCL_POLLS times.
    void wait_for_scl(bool wait) { wait_for_scl_ = wait; }
    [[nodiscard]] unsigned scl_polls() const { return scl_polls_; }
    [[nodiscard]] bool scl_captured() const { return captured_.at(input_cell(scl_pin_)) != 0; }
    I2cBus& bus() { return *board_.jtag.pin_i2c(); }
    I2cMemory& eeprom() { return dynamic_cast<I2cMemory&>(*bus().find(EEPROM, false)); }
    Board& board() { return board_; }

    // One DR scan putting the master's drive on the lines (true: released);
    // returns SDA as captured, that is as the previous scan left it. A
    // master that waits for SCL scans on while the capture shows it low.
    bool step(bool scl, bool sda)
    {
        line(scl_pin_, scl);
        line(sda_pin_, sda);
        captured_ = scan_dr();
        if (scl && wait_for_scl_) {
            constexpr unsigned MOST_SCL_POLLS = 1000;
            for (unsigned polls = 0; !scl_captured() && polls < MOST_SCL_POLLS; ++polls) {
                ++scl_polls_;
                captured_ = scan_dr();
            }
        }
        return captured_.at(input_cell(sda_pin_)) != 0;
    }

    // Each phase from SCL low (START from the idle bus), SCL left low.
    void start()
    {
        step(false, true);
        step(true, true);
        step(true, false);
        step(false, false);
    }
    void stop()
    {
        step(false, false);
        step(true, false);
        step(true, true);
    }
    void write_bit(bool bit)
    {
        step(false, bit);
        step(true, bit);
        step(false, bit);
    }
    // SDA released: what the device puts on it while SCL is high.
    bool read_bit()
    {
        step(false, true);
        step(true, true);
        return step(false, true);
    }
    // True when SDA read low in the acknowledge clock.
    bool write_byte(std::uint8_t value)
    {
        for (int b = 7; b >= 0; --b) {
            write_bit(((value >> b) & 1) != 0);
        }
        return !read_bit();
    }
    std::uint8_t read_byte(bool ack)
    {
        std::uint8_t value = 0;
        for (int b = 0; b < 8; ++b) {
            value = static_cast<std::uint8_t>(value << 1 | (read_bit() ? 1 : 0));
        }
        write_bit(!ack);
        return value;
    }
    // START, then each byte; the acknowledges seen.
    std::vector<bool> send(const std::vector<std::uint8_t>& bytes)
    {
        start();
        std::vector<bool> acks;
        for (const std::uint8_t b : bytes) {
            acks.push_back(write_byte(b));
        }
        return acks;
    }

    [[nodiscard]] std::size_t sda_net() const { return net_named(config_, "I2C_SDA"); }
    [[nodiscard]] std::size_t scl_net() const { return net_named(config_, "I2C_SCL"); }

private:
    const bsdl::Device& model(std::size_t tap) const { return *config_.jtag.at(tap).boundary_scan->device; }
    const bsdl::Pin& pin(const std::string& name) const
    {
        return model(U1).pins.at(*model(U1).find_pin(name));
    }
    std::size_t input_cell(const std::string& name) const
    {
        return model(U1).cells.at(*pin(name).input_cell).number;
    }
    // Open drain: an enabled output at 0, or the output disabled.
    void line(const std::string& name, bool released)
    {
        const bsdl::Cell& out = model(U1).cells.at(*pin(name).output_cell);
        bits_[out.number] = 0;
        const bool disable = out.disable_value == bsdl::Bit::one;
        bits_[*out.control] = released == disable ? 1 : 0;
    }

    void instruct(const std::string& core, const std::string& u1)
    {
        Bits in;
        for (const auto& [tap, name] : {std::pair{CORE, core}, std::pair{U1, u1}}) {
            const std::string code = *model(tap).opcode(name);
            for (auto c = code.rbegin(); c != code.rend(); ++c) {
                in.push_back(*c == '1' ? 1 : 0);
            }
        }
        clock(true, false);  // Select-DR-Scan
        clock(true, false);  // Select-IR-Scan
        clock(false, false); // Capture-IR
        clock(false, false); // Shift-IR
        shift(in);
    }
    Bits scan_dr()
    {
        Bits in{0}; // the debug TAP's BYPASS
        in.insert(in.end(), bits_.begin(), bits_.end());
        clock(true, false);  // Select-DR-Scan
        clock(false, false); // Capture-DR
        clock(false, false); // Shift-DR
        Bits out = shift(in);
        return Bits(out.begin() + 1, out.end());
    }
    // Shifts `in` (the last bit leaving Shift-xR), then Update and Idle.
    Bits shift(const Bits& in)
    {
        Bits out;
        for (std::size_t i = 0; i < in.size(); ++i) {
            out.push_back(clock(i + 1 == in.size(), in[i] != 0) ? 1 : 0);
        }
        clock(true, false);  // Update
        clock(false, false); // Run-Test/Idle
        return out;
    }

    BoardConfig config_;
    Board board_;
    Bits bits_;
    Bits captured_;
    std::uint64_t tck_ = 0;
    bool wait_for_scl_ = false;
    unsigned scl_polls_ = 0;
    std::string scl_pin_ = "PB6", sda_pin_ = "PB7";
};

TEST(PinI2c, WritesAndReadsTheEepromThroughThePins)
{
    PinMaster master(pin_board());
    // Write: the address, the two pointer bytes, the data.
    const std::vector<std::uint8_t> write{EEPROM << 1, 0x01, 0x23, 0xDE, 0xAD, 0x00, 0x5A};
    const Bits data(write.begin() + 3, write.end());
    EXPECT_EQ(master.send(write), std::vector<bool>(write.size(), true));
    master.stop();
    const auto memory = master.eeprom().memory();
    EXPECT_EQ(Bits(memory.begin() + 0x123, memory.begin() + 0x127), data);
    EXPECT_EQ(memory[0x127], 0xFF);

    // Read back: the pointer written, a repeated START, the read address.
    EXPECT_EQ(master.send({EEPROM << 1, 0x01, 0x23}), std::vector<bool>(3, true));
    EXPECT_EQ(master.send({EEPROM << 1 | 1}), std::vector<bool>{true});
    Bits read;
    for (std::size_t i = 0; i < data.size(); ++i) {
        read.push_back(master.read_byte(i + 1 < data.size()));
    }
    master.stop();
    EXPECT_EQ(read, data);
    EXPECT_EQ(master.bus().starts(), 3u);
    EXPECT_EQ(master.bus().stops(), 2u);
    EXPECT_EQ(master.bus().stray_clocks(), 0u);
    EXPECT_FALSE(master.bus().device_pulls_sda());
}

TEST(PinI2c, ReleasedSdaReadsThePullUpAndTheAcknowledgeLow)
{
    PinMaster master(pin_board());
    const std::size_t sda = master.sda_net();
    EXPECT_TRUE(master.step(true, true));
    EXPECT_TRUE(master.step(true, true)) << "released SDA reads the pull-up";

    // The eighth bit of the address clocked out, SCL low: the device holds
    // SDA low, and the capture of the scan after shows it.
    master.start();
    for (int b = 7; b >= 0; --b) {
        master.write_bit((((EEPROM << 1) >> b) & 1) != 0);
    }
    EXPECT_TRUE(master.bus().device_pulls_sda());
    master.step(false, true); // the master lets go of SDA
    EXPECT_FALSE(master.chain().network().net_level(sda));
    EXPECT_TRUE(master.chain().network().net_level_without_external(sda)) << "the master side releases SDA";
    EXPECT_FALSE(master.step(true, true)) << "SDA low after the release: the acknowledge";
    EXPECT_FALSE(master.step(false, true)) << "held while SCL was high";
    // The acknowledge clock over, the device lets go before the next bit.
    EXPECT_FALSE(master.bus().device_pulls_sda());
    EXPECT_TRUE(master.step(false, true));
    master.stop();

    // An address nobody answers: SDA stays with the pull-up.
    EXPECT_EQ(master.send({0x51 << 1}), std::vector<bool>{false});
    master.stop();
}

// Longer than two of the master's scans, so that a master which does not wait
// for SCL runs on while the device holds it.
constexpr std::uint32_t STRETCH = 2000;

BoardConfig stretching_board(std::uint32_t tck)
{
    BoardConfig config = pin_board();
    config.i2c.at(0).stretch_tck = tck;
    return config;
}

// The address acknowledged, SCL left low by the master: the falling edge that
// ends the acknowledge clock was the Update-DR of the last scan, one TCK
// (into Run-Test/Idle) ago. Returns that TCK's number.
std::uint64_t address_acknowledged(PinMaster& master)
{
    master.start();
    for (int b = 7; b >= 0; --b) {
        master.write_bit((((EEPROM << 1) >> b) & 1) != 0);
    }
    EXPECT_FALSE(master.read_bit()) << "the acknowledge";
    return master.tck() - 1;
}

TEST(PinI2c, AStretchingDeviceHoldsSclForItsTckClocks)
{
    PinMaster master(stretching_board(STRETCH));
    const std::size_t scl = master.scl_net();
    const std::uint64_t fell = address_acknowledged(master);
    EXPECT_FALSE(master.chain().network().net_level(scl));

    master.step(true, true); // the master lets go of SCL
    EXPECT_TRUE(master.chain().network().net_level_without_external(scl)) << "the master side releases SCL";
    EXPECT_FALSE(master.chain().network().net_level(scl));
    master.step(true, true);
    EXPECT_FALSE(master.scl_captured()) << "the capture sees the device's hold";
    EXPECT_FALSE(master.bus().scl()) << "the master's rising edge did not reach the bus";

    ASSERT_LT(master.tck(), fell + STRETCH - 1);
    master.idle(fell + STRETCH - 1 - master.tck());
    EXPECT_FALSE(master.chain().network().net_level(scl))
        << "held through TCK " << STRETCH - 1 << " after the fall";
    master.idle(1);
    EXPECT_TRUE(master.chain().network().net_level(scl)) << "let go at the end of TCK " << STRETCH;
    EXPECT_TRUE(master.bus().scl()) << "the release is the rising edge the bus sees";
    master.stop();
    EXPECT_EQ(master.bus().stops(), 1u);

    // A Capture-DR is the third TCK of a scan from Run-Test/Idle and sees
    // the nets as the TCK before it left them: low up to the STRETCH-th TCK
    // after the fall, high from the one after.
    for (const std::uint64_t capture_at : {fell + STRETCH, fell + STRETCH + 1}) {
        SCOPED_TRACE(capture_at - fell);
        PinMaster again(stretching_board(STRETCH));
        ASSERT_EQ(address_acknowledged(again), fell);
        again.step(true, true);
        again.idle(capture_at - 3 - again.tck());
        again.step(true, true);
        EXPECT_EQ(again.scl_captured(), capture_at > fell + STRETCH);
    }
}

struct StretchCase {
    const char* name;
    std::uint32_t stretch_tck;
    bool master_waits; // scans at each release until SCL reads high
    bool works;        // every byte acknowledged, written and read back
};

TEST(PinI2c, OnlyAMasterThatWaitsForSclGetsThroughAStretchingDevice)
{
    const StretchCase cases[] = {
        {"no stretching", 0, false, true},
        {"stretching, the master waits", STRETCH, true, true},
        // The master's rising edges while SCL is held never reach the bus:
        // bits are lost and the bytes shift.
        {"stretching, the master runs on", STRETCH, false, false},
    };
    const std::vector<std::uint8_t> write{EEPROM << 1, 0x00, 0x40, 0xC3, 0x3C};
    const Bits data(write.begin() + 3, write.end());
    for (const StretchCase& c : cases) {
        SCOPED_TRACE(c.name);
        PinMaster master(stretching_board(c.stretch_tck));
        master.wait_for_scl(c.master_waits);
        std::vector<bool> acks = master.send(write);
        master.stop();
        const auto memory = master.eeprom().memory();
        const bool written = Bits(memory.begin() + 0x40, memory.begin() + 0x42) == data;

        for (const bool ack : master.send({EEPROM << 1, 0x00, 0x40})) {
            acks.push_back(ack);
        }
        for (const bool ack : master.send({EEPROM << 1 | 1})) {
            acks.push_back(ack);
        }
        Bits read;
        for (std::size_t i = 0; i < data.size(); ++i) {
            read.push_back(master.read_byte(i + 1 < data.size()));
        }
        master.stop();
        const bool all_acked = std::find(acks.begin(), acks.end(), false) == acks.end();
        EXPECT_EQ(all_acked && written && read == data, c.works)
            << "acked " << all_acked << ", written " << written << ", read back " << (read == data);
        EXPECT_EQ(master.scl_polls() > 0, c.stretch_tck > 0 && c.master_waits);
    }
}

// A fault of the nets, what the master then sees and what reaches the EEPROM.
struct FaultCase {
    const char* name;
    std::function<void(BoardConfig&)> put_in;
    bool start_seen; // the bus saw the START
    bool acked;      // SDA read low in the address's acknowledge clock
    bool written;    // the data reached the memory
};

TEST(PinI2c, TheNetsFaultsReachTheBus)
{
    const auto stuck = [](const char* net, bool level) {
        return [=](BoardConfig& c) { c.network.stuck.push_back({net_named(c, net), level}); };
    };
    const FaultCase cases[] = {
        {"none", [](BoardConfig&) {}, true, true, true},
        // SDA never moves: no START, and every bit reads low, the
        // acknowledge too, though nothing answers.
        {"SDA stuck at 0", stuck("I2C_SDA", false), false, true, false},
        {"SDA stuck at 1", stuck("I2C_SDA", true), false, false, false},
        {"SCL stuck at 0", stuck("I2C_SCL", false), false, false, false},
        // The master's SDA pin cut from the net: it reads its own output or
        // floats high, and the net stays at its pull-up.
        {"SDA pin open",
         [](BoardConfig& c) { c.network.open.push_back(c.network.nets[net_named(c, "I2C_SDA")].pins.at(0)); },
         false, false, false},
        // Shorted to the flash's MISO, undriven while the flash is not
        // selected: SDA's pull-up holds both, and the bus works.
        {"SDA shorted to an idle net",
         [](BoardConfig& c) {
             c.network.shorts.push_back({{net_named(c, "I2C_SDA"), net_named(c, "FLASH_MISO")}, false});
         },
         true, true, true},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        BoardConfig config = pin_board();
        c.put_in(config);
        PinMaster master(config);
        const std::vector<bool> acks = master.send({EEPROM << 1, 0x00, 0x10, 0x42});
        master.stop();
        EXPECT_EQ(master.bus().starts() > 0, c.start_seen);
        EXPECT_EQ(acks.front(), c.acked);
        EXPECT_EQ(master.eeprom().memory()[0x10] == 0x42, c.written);
        EXPECT_EQ(master.eeprom().modified(), c.written);
    }
}

TEST(PinI2c, APersistedImageBehindThePinsIsSaved)
{
    const fs::path dir = fs::path(::testing::TempDir()) / "orv_pin_i2c_image";
    fs::remove_all(dir);
    fs::create_directories(dir);
    BoardConfig config = pin_board();
    config.i2c.at(0).image = ImageFile{dir / "eeprom.bin", true};
    std::vector<std::string> errors;
    {
        PinMaster master(config);
        master.send({EEPROM << 1, 0x00, 0x02, 0x77});
        master.stop();
        errors = save_images(master.board());
    }
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(fs::file_size(dir / "eeprom.bin"), 4096u);
    Board again = build_board(config);
    EXPECT_EQ(dynamic_cast<I2cMemory&>(*again.jtag.pin_i2c()->find(EEPROM, false)).memory()[2], 0x77);
}

struct Refusal {
    std::string i2c; // the board's "i2c" list
    const char* where;
    const char* expected;
};

TEST(PinI2cBoardFile, ConnectIsCheckedWithItsPath)
{
    const fs::path boards = ORV_BOARD_SOURCE_DIR;
    const auto board = [](const std::string& i2c) {
        return R"({"jtag": [{"name": "U1", "bsdl": "STM32F301_F302_UFQFPN32.bsd"}],
                   "nets": {"I2C_SCL": ["U1.PB6"], "I2C_SDA": ["U1.PB7"]},
                   "pulls": {"I2C_SCL": "up", "I2C_SDA": "up"}, "i2c": )" +
               i2c + "}";
    };
    const std::string eeprom = R"({"type": "eeprom", "address": "0x50", "size": 4096, "connect": )";
    const std::string pins = R"({"scl": "U1.PB6", "sda": "U1.PB7"})";
    const Refusal refusals[] = {
        {"[" + eeprom + "[1]}]", "i2c[0].connect", "the pins it hangs on by role (scl, sda)"},
        {"[" + eeprom + R"({"scl": "U1.PB6"}}])", "i2c[0].connect.sda", "which is missing"},
        {"[" + eeprom + R"({"scl": "U1.PB6", "sda": "U1.PB7", "int": "U1.PB5"}}])", "i2c[0].connect.int",
         "expected one of scl, sda"},
        {"[" + eeprom + R"({"scl": "U1.PB6", "sda": "U1.PB6"}}])", "i2c[0].connect.sda",
         "shares its net with another role"},
        {"[" + eeprom + R"({"scl": "U2.PB6", "sda": "U1.PB7"}}])", "i2c[0].connect.scl", "a known device"},
        {"[" + eeprom + pins +
             R"(}, {"type": "memory", "address": "0x20", "connect": {"scl": "U1.PB6", "sda": "U1.PB5"}}])",
         "i2c[1].connect.sda", "a pin on net I2C_SDA, as i2c[0].connect.sda has"},
        {R"([{"type": "registers", "address": "0x20"}, )" + eeprom + pins +
             R"(}, {"type": "memory", "address": "0x21", "connect": {"scl": "U1.PA0", "sda": "U1.PB7"}}])",
         "i2c[2].connect.scl", "a pin on net I2C_SCL, as i2c[1].connect.scl has"},
        // Only a device behind the pins stretches SCL, by 0 to 1000000 TCK.
        {R"([{"type": "eeprom", "address": "0x50", "size": 4096, "stretch_tck": 10}])", "i2c[0].stretch_tck",
         "with \"connect\""},
        {"[" + eeprom + pins + R"(, "stretch_tck": 1000001}])", "i2c[0].stretch_tck", "0 to 1000000"},
        {"[" + eeprom + pins + R"(, "stretch_tck": -1}])", "i2c[0].stretch_tck", "0 to 1000000"},
        {"[" + eeprom + pins + R"(, "stretch_tck": true}])", "i2c[0].stretch_tck", "0 to 1000000"},
        // One bus behind the pins: its addresses are its own.
        {"[" + eeprom + pins + R"(}, {"type": "memory", "address": "0x50", "connect": )" + pins + "}]",
         "i2c[1].address", "is taken by i2c[0]"},
    };
    for (const Refusal& r : refusals) {
        const std::string json = board(r.i2c);
        try {
            (void)parse_board(json, boards / "bad.json");
            ADD_FAILURE() << "accepted: " << json;
        } catch (const BoardFileError& e) {
            EXPECT_EQ(e.where(), r.where) << json << "\n" << e.what();
            EXPECT_NE(e.expected().find(r.expected), std::string::npos) << json << "\n" << e.what();
        }
    }

    // The same address on the connector's bus and behind the pins: two buses.
    const BoardConfig both = parse_board(
        board(R"([{"type": "memory", "address": "0x50"}, )" + eeprom + pins + "}]"), boards / "good.json");
    ASSERT_EQ(both.i2c.size(), 2u);
    EXPECT_FALSE(both.i2c[0].behind_pins);
    EXPECT_TRUE(both.i2c[1].behind_pins);
    ASSERT_TRUE(both.i2c_connect);
    EXPECT_EQ(both.network.nets.at(both.i2c_connect->sda).name, "I2C_SDA");
    Board built = build_board(both);
    EXPECT_NE(built.i2c.find(EEPROM, false), nullptr);
    EXPECT_NE(built.jtag.pin_i2c()->find(EEPROM, false), nullptr);

    const BoardConfig stretching =
        parse_board(board("[" + eeprom + pins + R"(, "stretch_tck": 1000000}])"), boards / "good.json");
    EXPECT_EQ(stretching.i2c.at(0).stretch_tck, 1000000u);
    EXPECT_EQ(both.i2c.at(1).stretch_tck, 0u) << "not stretching by default";
    EXPECT_NE(stretching.i2c.at(0), both.i2c.at(1));
}

} // namespace
} // namespace orv::emu::test
