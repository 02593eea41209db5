// An I2C EEPROM behind boundary-scan pins (boards/bscan-flash.json: a 24C32
// on the STM32F301's PB6 and PB7), bit-banged through the chain's TAPs in
// EXTEST as a host would: the pins drive SCL and SDA low or release them to
// the pull-ups, and each Capture-DR sees the levels the previous Update-DR
// left. A write and a read back, the pull-up and the acknowledge on SDA, the
// nets' faults, and the board-file refusals with their JSON paths.
#include <gtest/gtest.h>

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
            chain().clock(true, false);
        }
        chain().clock(false, false); // Run-Test/Idle
        // EXTEST's update stage starts at the safe values: every output released.
        bits_.assign(model(U1).boundary_length, 0);
        for (const bsdl::Cell& cell : model(U1).cells) {
            bits_[cell.number] = cell.safe == bsdl::Bit::one ? 1 : 0;
        }
        instruct("BYPASS", "EXTEST");
    }

    JtagChain& chain() { return board_.jtag; }
    I2cBus& bus() { return *board_.jtag.pin_i2c(); }
    I2cMemory& eeprom() { return dynamic_cast<I2cMemory&>(*bus().find(EEPROM, false)); }
    Board& board() { return board_; }

    // One DR scan putting the master's drive on the lines (true: released);
    // returns SDA as captured, that is as the previous scan left it.
    bool step(bool scl, bool sda)
    {
        line(scl_pin_, scl);
        line(sda_pin_, sda);
        const Bits captured = scan_dr();
        return captured.at(input_cell(sda_pin_)) != 0;
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
        chain().clock(true, false);  // Select-DR-Scan
        chain().clock(true, false);  // Select-IR-Scan
        chain().clock(false, false); // Capture-IR
        chain().clock(false, false); // Shift-IR
        shift(in);
    }
    Bits scan_dr()
    {
        Bits in{0}; // the debug TAP's BYPASS
        in.insert(in.end(), bits_.begin(), bits_.end());
        chain().clock(true, false);  // Select-DR-Scan
        chain().clock(false, false); // Capture-DR
        chain().clock(false, false); // Shift-DR
        Bits out = shift(in);
        return Bits(out.begin() + 1, out.end());
    }
    // Shifts `in` (the last bit leaving Shift-xR), then Update and Idle.
    Bits shift(const Bits& in)
    {
        Bits out;
        for (std::size_t i = 0; i < in.size(); ++i) {
            out.push_back(chain().clock(i + 1 == in.size(), in[i] != 0) ? 1 : 0);
        }
        chain().clock(true, false);  // Update
        chain().clock(false, false); // Run-Test/Idle
        return out;
    }

    BoardConfig config_;
    Board board_;
    Bits bits_;
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
}

} // namespace
} // namespace orv::emu::test
