// The BSDL reader: chip makers' files (ST, NXP) as the facts they state,
// small texts for the unusual forms (the 1994 style among them), broken
// texts as the line, column and expectation of their fault, and hostile
// input within the bounds.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lib/formats/bsdl/bsdl.hpp"

namespace orv::bsdl {
namespace {

namespace fs = std::filesystem;

Device read(const fs::path& path)
{
    ParseResult result = read_file(path);
    if (!result.ok()) {
        ADD_FAILURE() << result.error.message();
        return {};
    }
    return std::move(*result.device);
}

Device parsed(std::string_view text)
{
    ParseResult result = parse(text, "test.bsd");
    if (!result.ok()) {
        ADD_FAILURE() << result.error.message();
        return {};
    }
    return std::move(*result.device);
}

const Cell& cell(const Device& d, unsigned number)
{
    const auto entries = d.cells_numbered(number);
    EXPECT_EQ(entries.size(), 1U) << number;
    return *entries.at(0);
}

std::string pin_name(const Device& d, std::optional<std::size_t> pin)
{
    return pin ? d.pins.at(*pin).name : "-";
}

// "BC_1 PA0 output3 X 129 1 Z": a cell as one line.
std::string described(const Device& d, const Cell& c)
{
    std::string out = c.type + " " + pin_name(d, c.pin) + " " + std::string(name_of(c.function)) + " " +
                      "01X"[static_cast<int>(c.safe)];
    if (c.control) {
        out += " " + std::to_string(*c.control) + " " + "01X"[static_cast<int>(c.disable_value)] + " " +
               std::string(name_of(c.disabled_result));
    }
    return out;
}

// ---- chip makers' files ---------------------------------------------------------

struct VendorFacts {
    fs::path file;
    std::string entity, standard;
    unsigned ir_length;
    std::uint64_t idcode, idcode_care;
    unsigned boundary_length;
    std::size_t instructions, ports, pins;
    std::vector<std::pair<std::string, std::string>> opcodes; // instruction, opcode
    std::vector<std::pair<unsigned, std::string>> cells;      // number, described()
    std::vector<std::pair<std::string, std::string>> package; // pin, first package pin
};

TEST(VendorFiles, FactsOfEachFile)
{
    const fs::path boards = ORV_BOARD_FILES;
    const fs::path files = BSDL_FILES;
    const VendorFacts facts[] = {
        {boards / "CortexMx.bsd",
         "CortexMx",
         "STD_1149_1_2001",
         4,
         0x0BA00477,
         0x0FFFFFFF,
         1,
         6,
         5,
         5,
         {{"EXTEST", "0000"},
          {"SAMPLE", "0010"},
          {"PRELOAD", "0010"},
          {"IDCODE", "1110"},
          {"BYPASS", "1111"}},
         {{0, "BC_0 - internal X"}},
         {{"JTRST", "4"}}},
        {boards / "STM32F301_F302_UFQFPN32.bsd",
         "STM32F301_F302_UFQFPN32",
         "STD_1149_1_2001",
         5,
         0x06439041,
         0x0FFFFFFF,
         139,
         5,
         35,
         35,
         {{"SAMPLE", "00010"}, {"PRELOAD", "00010"}, {"EXTEST", "00000"}, {"BYPASS", "11111"}},
         {{129, "BC_1 - control 1"},
          {128, "BC_1 PF0_OSCIN output3 X 129 1 Z"},
          {127, "BC_4 PF0_OSCIN input X"},
          {6, "BC_4 BOOT0 input X"},
          {0, "BC_1 - internal 0"}},
         {{"PA0", "7"}, {"PF1_OSCOUT", "3"}}},
        {files / "mpc567xr_416_r1.bsdl",
         "MPC5676R",
         "STD_1149_1_2001",
         5,
         0x0827601D,
         0xFFFFFFFF,
         524,
         26,
         95,
         416,
         {{"SAMPLE", "00011"}, {"PRELOAD", "00010"}, {"HIGHZ", "01001"}, {"ACCESS_AUX_TAP_OnCE", "10001"}},
         {{0, "BC_2 - control 0"},
          {1, "BC_8 ETPUA(31) bidir 0 0 0 Z"},
          {81, "BC_8 PLLCFG(2) bidir 0 80 0 PULL0"},
          {87, "BC_8 RESET bidir 1 86 0 PULL1"},
          {523, "BC_8 RSTOUT bidir 1 522 0 Z"}},
         {{"ETPUA(31)", "C2"},
          {"ETPUA(0)", "L2"},
          {"BOOTCFG(1)", "N2"},
          {"PLLCFG(0)", "R3"},
          {"VSS(68)", "A1"}}},
        {boards / "gl64_tq100.bsd",
         "GL64_TQ100",
         "STD_1149_1_2001",
         8,
         0x06E510FF,
         0x0FFFFFFF,
         130,
         13,
         17,
         79,
         {{"EXTEST", "00000000"}, {"USER1", "0000100X"}, {"PRELOAD", "00000001"}},
         {{8, "BC_2 IRQ_N output3 X 7 1 WEAK1"},
          {19, "BC_7 D(0) bidir X 18 0 Z"},
          {123, "BC_1 SDA output2 1 123 1 PULL1"},
          {126, "BC_4 CLK clock X"}},
         {{"D(15)", "1"}, {"D(0)", "16"}, {"A(0)", "17"}, {"IO(23)", "25"}}},
    };
    for (const VendorFacts& f : facts) {
        SCOPED_TRACE(f.file.string());
        const Device d = read(f.file);
        EXPECT_EQ(d.entity, f.entity);
        EXPECT_EQ(d.standard, f.standard);
        EXPECT_EQ(d.instruction_length, f.ir_length);
        ASSERT_TRUE(d.idcode);
        EXPECT_EQ(d.idcode->value, f.idcode);
        EXPECT_EQ(d.idcode->care, f.idcode_care);
        EXPECT_EQ(d.boundary_length, f.boundary_length);
        EXPECT_EQ(d.instructions.size(), f.instructions);
        EXPECT_EQ(d.ports.size(), f.ports);
        EXPECT_EQ(d.pins.size(), f.pins);
        EXPECT_TRUE(d.tap.tdi && d.tap.tdo && d.tap.tms && d.tap.tck);
        for (const auto& [instruction, code] : f.opcodes) {
            EXPECT_EQ(d.opcode(instruction), code) << instruction;
        }
        for (const auto& [number, text] : f.cells) {
            EXPECT_EQ(described(d, cell(d, number)), text) << number;
        }
        for (const auto& [pin, package] : f.package) {
            const auto found = d.find_pin(pin);
            ASSERT_TRUE(found) << pin;
            EXPECT_EQ(d.pins[*found].package_pins.at(0), package) << pin;
        }
    }
}

TEST(VendorFiles, RegistersPinsAndWarnings)
{
    const Device stm = read(fs::path(ORV_BOARD_FILES) / "STM32F301_F302_UFQFPN32.bsd");
    EXPECT_EQ(stm.instruction_capture, "XXX01");
    EXPECT_EQ(stm.data_register("SAMPLE"), (DataRegister{"BOUNDARY", 139}));
    EXPECT_EQ(stm.data_register("idcode"), (DataRegister{"DEVICE_ID", 32}));
    EXPECT_EQ(stm.tap.tck_max_hz, 10e6);
    EXPECT_EQ(pin_name(stm, stm.tap.trst), "JTRST");
    ASSERT_TRUE(stm.compliance_patterns);
    EXPECT_EQ(pin_name(stm, stm.compliance_patterns->pins.at(0)), "NRST");
    EXPECT_EQ(stm.compliance_patterns->patterns, std::vector<std::string>{"0"});
    EXPECT_TRUE(
        stm.design_warning.starts_with("Device configuration can effect boundary scan behavior. Keep"));
    EXPECT_TRUE(stm.notices.empty());
    // A pin's cells: the input, the output and the output's control.
    const Pin& pa0 = stm.pins.at(*stm.find_pin("pa0"));
    EXPECT_EQ(stm.cells.at(*pa0.input_cell).number, 109U);
    EXPECT_EQ(stm.cells.at(*pa0.output_cell).number, 110U);
    EXPECT_EQ(stm.cells.at(*pa0.control_cell).number, 111U);
    EXPECT_EQ(stm.nearest_pins("PA13", 3), (std::vector<std::string>{"PA1", "PA3", "PA10"}));

    const Device nxp = read(fs::path(BSDL_FILES) / "mpc567xr_416_r1.bsdl");
    EXPECT_EQ(pin_name(nxp, nxp.tap.tdi), "TDI"); // named "tdi" in the attribute
    EXPECT_TRUE(nxp.find_instruction("ACCESS_AUX_TAP_NPC")->is_private);
    EXPECT_FALSE(nxp.find_instruction("EXTEST")->is_private);
    ASSERT_TRUE(nxp.compliance_patterns);
    EXPECT_EQ(pin_name(nxp, nxp.compliance_patterns->pins.at(1)), "JCOMP");
    EXPECT_EQ(nxp.compliance_patterns->patterns, std::vector<std::string>{"11"});
    const Port& etpua = nxp.ports.at(*nxp.find_port("etpua"));
    EXPECT_TRUE(etpua.downto);
    EXPECT_EQ(etpua.size(), 32U);
    EXPECT_EQ(nxp.pins.at(etpua.first_pin).name, "ETPUA(31)");
    EXPECT_FALSE(nxp.find_pin("ETPUA"));
    EXPECT_FALSE(nxp.find_pin("ETPUA(32)"));
    EXPECT_EQ(pin_name(nxp, nxp.find_pin(" etpua ( 7 ) ")), "ETPUA(7)");
    EXPECT_EQ(nxp.pins.at(*nxp.find_pin("VDD(13)")).package_pins, std::vector<std::string>{"A2"});

    const Device gl64 = read(fs::path(ORV_BOARD_FILES) / "gl64_tq100.bsd");
    EXPECT_EQ(gl64.find_instruction("EXTEST")->opcodes, (std::vector<std::string>{"00000000", "00100000"}));
    EXPECT_EQ(gl64.data_register("USER1"), (DataRegister{"USER_REG", 16}));
    ASSERT_EQ(gl64.notices.size(), 1U);
    EXPECT_EQ(gl64.notices[0].text, "attribute ISC_PIN_BEHAVIOR skipped");
    EXPECT_EQ(gl64.notices[0].line, 102U);
    EXPECT_EQ(gl64.notices[0].column, 14U);
}

// ---- unusual forms ----------------------------------------------------------------

// One small device in the forms vendor files take now and then: letter case,
// comments between everything, '&' across lines, SAMPLE/PRELOAD as one
// instruction, X bits, several opcodes, vectors downto, constants, a
// package and statements to skip.
constexpr std::string_view UNUSUAL = R"bsdl(-- a made-up part
package MY_CELLS is            -- skipped: its cell types are taken by name
  constant BC_99 : CELL_INFO;
end MY_CELLS;
ENTITY Tiny IS
  GENERIC (PHYSICAL_PIN_MAP : STRING := "SO8"; SPEED : string := "fast");
  PORT (tck, TMS, tdi : IN bit; TDO : OUT Bit;   -- the TAP
        d : INOUT bit_vector (3 DOWNTO 2); EN : in bit; GND : linkage BIT);
  use STD_1149_1_1990.all;
  use MY_CELLS.all;
  attribute MY_OWN : string;                     -- a declaration
  attribute PIN_MAP of tiny : entity is PHYSICAL_PIN_MAP;
  constant DIP8 : PIN_MAP_STRING := "TCK:1, TMS:2, TDI:3, TDO:4, D:(5,6), EN:7, GND:8";
  constant SO8  : PIN_MAP_STRING := "tck:8, tms:7, tdi:6, tdo:5, d:(4, 3)," &
                                    -- a comment between the parts
                                    "en:2, gnd:1";
  constant CELLS : string := "0 (BC_1, d(2), bidir, X, 2, 0, Z),";
  attribute TAP_SCAN_IN of TDI : signal is TRUE;
  attribute TAP_SCAN_OUT of tdo : signal is true;
  attribute TAP_SCAN_MODE of tms : SIGNAL is true;
  attribute TAP_SCAN_CLOCK of TCK : signal is (1.0E+07, low);
  attribute INSTRUCTION_LENGTH of Tiny : entity is 3;
  attribute Instruction_Opcode of TINY : Entity is
      "extest (000, 1X0)," &          -- two codes, one with a don't-care bit
      "SAMPLE/PRELOAD (001), " &
      "HIGHZ (X11)";                  -- BYPASS is not listed
  attribute INSTRUCTION_CAPTURE of tiny : entity is "X" & "01";
  attribute IDCODE_REGISTER of tiny : entity is
      "XXXX" & "0000000000000001" &   -- version, part
      "00000000000" & "1";
  attribute MY_OWN of tiny : entity is "anything; even (unbalanced";
  attribute BOUNDARY_LENGTH of tiny : entity is 6;
  attribute BOUNDARY_REGISTER of tiny : entity is
      CELLS &
      "1 (bc_1, d(3), BIDIR, x, 2, 0, weak1), 2 (BC_1, *, controlr, 0)," &
      "3 (BC_4, EN, input, X), 3 (BC_1, *, control, 0), 4 (BC_99, *, INTERNAL, 1)," &
      "5 (BC_1, EN, observe_only, X),";   -- a comma after the last cell
  attribute DESIGN_WARNING of tiny : entity is "Use ""D"" with care.";
end Tiny;
)bsdl";

TEST(UnusualForms, AreReadAndWhatIsSkippedIsNoticed)
{
    const Device d = parsed(UNUSUAL);
    EXPECT_EQ(d.entity, "Tiny");
    EXPECT_EQ(d.standard, "STD_1149_1_1990");
    EXPECT_EQ(d.pin_map, "SO8");
    EXPECT_EQ(d.pins.at(*d.find_pin("D(3)")).package_pins, std::vector<std::string>{"4"});
    EXPECT_EQ(d.pins.at(*d.find_pin("gnd")).package_pins, std::vector<std::string>{"1"});
    EXPECT_EQ(d.tap.tck_max_hz, 1e7);
    EXPECT_EQ(pin_name(d, d.tap.tdo), "TDO");
    EXPECT_EQ(d.find_instruction("EXTEST")->opcodes, (std::vector<std::string>{"000", "1X0"}));
    EXPECT_EQ(d.opcode("sample"), "001");
    EXPECT_EQ(d.opcode("PRELOAD"), "001");
    EXPECT_EQ(d.opcode("BYPASS"), "111");
    EXPECT_EQ(d.opcode("INTEST"), std::nullopt);
    EXPECT_EQ(d.data_register("SAMPLE/PRELOAD"), (DataRegister{"BOUNDARY", 6}));
    EXPECT_EQ(d.instruction_capture, "X01");
    EXPECT_EQ(d.idcode, (MaskedBits{0x00001001, 0x0FFFFFFF, 32}));
    EXPECT_EQ(described(d, cell(d, 1)), "BC_1 d(3) bidir X 2 0 WEAK1");
    EXPECT_EQ(described(d, cell(d, 4)), "BC_99 - internal 1");
    EXPECT_EQ(d.cells_numbered(3).size(), 2U); // a merged input and control cell
    const Pin& en = d.pins.at(*d.find_pin("EN"));
    EXPECT_EQ(d.cells.at(*en.input_cell).number, 3U);
    EXPECT_EQ(d.design_warning, "Use \"D\" with care.");
    std::vector<std::string> notices;
    for (const Notice& n : d.notices) {
        notices.push_back(std::to_string(n.line) + ":" + std::to_string(n.column) + " " + n.text);
    }
    EXPECT_EQ(notices, (std::vector<std::string>{
                           "2:1 package MY_CELLS skipped: its cell types are taken by name",
                           "6:48 generic SPEED skipped",
                           "10:7 package MY_CELLS not read: its cell types are taken by name",
                           "11:13 attribute declaration MY_OWN skipped",
                           "31:13 attribute MY_OWN skipped",
                           "37:37 a ',' after the last cell of BOUNDARY_REGISTER: ignored",
                       }));
}

// The 1994 style (its use clause, a conformance of 1993), with Unix and
// DOS line ends: the same device either way.
TEST(UnusualForms, The1994StyleWithEitherLineEnd)
{
    const std::string text = R"bsdl(entity OLD is
  generic (PHYSICAL_PIN_MAP : string := "SO8");
  port (TDI, TMS, TCK : in bit; TDO : out bit; Q : out bit; P : linkage bit);
  use STD_1149_1_1994.all;
  attribute COMPONENT_CONFORMANCE of OLD : entity is "STD_1149_1_1993";
  attribute PIN_MAP of OLD : entity is PHYSICAL_PIN_MAP;
  constant SO8 : PIN_MAP_STRING := "TDI:1, TMS:2, TCK:3, TDO:4, Q:5, P:6";
  attribute INSTRUCTION_LENGTH of OLD : entity is 3;
  attribute INSTRUCTION_OPCODE of OLD : entity is
    "EXTEST (000), SAMPLE (101), USERCODE (111), PRIVATE (100, 010, 011), BYPASS (001)";
  attribute INSTRUCTION_PRIVATE of OLD : entity is "PRIVATE";
  attribute USERCODE_REGISTER of OLD : entity is "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
  attribute REGISTER_ACCESS of OLD : entity is "CONFIG[40] (PRIVATE), DEVICE_ID (USERCODE)";
  attribute BOUNDARY_LENGTH of OLD : entity is 2;
  attribute BOUNDARY_REGISTER of OLD : entity is
    "1 (BC_1, *, control, 1), 0 (BC_1, Q, output3, X, 1, 1, Z)";
  attribute DESIGN_WARNING of OLD : entity is "PRIVATE, loaded as 100, 010 or 011, configures the part.";
end OLD;
)bsdl";
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const Device unix_ends = parsed(text);
    EXPECT_EQ(parsed(crlf), unix_ends);
    EXPECT_EQ(unix_ends.standard, "STD_1149_1_1994");
    EXPECT_EQ(unix_ends.conformance, "STD_1149_1_1993");
    EXPECT_EQ(unix_ends.find_instruction("PRIVATE")->opcodes,
              (std::vector<std::string>{"100", "010", "011"}));
    EXPECT_TRUE(unix_ends.find_instruction("PRIVATE")->is_private);
    EXPECT_EQ(unix_ends.data_register("PRIVATE"), (DataRegister{"CONFIG", 40}));
    EXPECT_EQ(unix_ends.data_register("USERCODE"), (DataRegister{"DEVICE_ID", 32}));
    ASSERT_TRUE(unix_ends.usercode);
    EXPECT_EQ(unix_ends.usercode->care, 0U);
    EXPECT_EQ(unix_ends.pins.at(*unix_ends.find_pin("Q")).input_cell, std::nullopt); // an output only
    EXPECT_EQ(unix_ends.pins.at(*unix_ends.find_pin("P")).package_pins, std::vector<std::string>{"6"});
}

// ---- broken files -----------------------------------------------------------------

// A device that parses; the refusals below break it in one place.
constexpr std::string_view GOOD = R"bsdl(entity T is
  port (TDI, TMS, TCK : in bit; TDO : out bit; A : inout bit; B : out bit_vector (1 downto 0));
  use STD_1149_1_2001.all;
  attribute INSTRUCTION_LENGTH of T : entity is 2;
  attribute INSTRUCTION_OPCODE of T : entity is "EXTEST (00), SAMPLE (01), BYPASS (11)";
  attribute IDCODE_REGISTER of T : entity is "00000000000000000000000000000001";
  attribute BOUNDARY_LENGTH of T : entity is 4;
  attribute BOUNDARY_REGISTER of T : entity is
    "0 (BC_1, A, bidir, X, 1, 0, Z), 1 (BC_1, *, control, 0), 2 (BC_1, B(0), output2, 0), 3 (BC_1, B(1), output2, 0)";
end T;
)bsdl";

std::string broken(std::string_view find, std::string_view replace)
{
    std::string text(GOOD);
    const auto at = text.find(find);
    EXPECT_NE(at, std::string::npos) << find;
    return text.replace(at, find.size(), replace);
}

struct Refusal {
    std::string text;
    unsigned line, column;
    std::string expected; // a part of what the error says was expected
};

TEST(BrokenFiles, AreRefusedWithLineColumnAndExpectation)
{
    ASSERT_TRUE(parse(GOOD, "t.bsd").ok());
    const Refusal refusals[] = {
        {"", 1, 1, "\"entity\", got the end of the file"},
        {"-- only a comment\n", 2, 1, "\"entity\""},
        {broken("entity T is", "entity T"), 2, 3, "\"is\", got \"port\""},
        {broken("entity T is", "entity T $"), 1, 10, "got '$'"},
        {broken("A : inout bit", "A : inout std_logic"), 2, 58, "bit or bit_vector, got \"std_logic\""},
        {broken("A : inout bit", "A : inward bit"), 2, 52, "in, out, inout, buffer or linkage"},
        {broken("(1 downto 0)", "(0 downto 1)"), 2, 63, "a range that is not empty"},
        {broken("TDO : out bit", "TDI : out bit"), 2, 33, "a port name not declared before, got \"TDI\""},
        {broken("bit_vector (1 downto 0))", "bit_vector (1 downto 0)"), 3, 7,
         "':' or ',', got \"STD_1149_1_2001\""},
        {broken("\"EXTEST (00)", "\"EXTEST (00)\n"), 5, 61, "a closing '\"' before the end of the line"},
        {broken("is 2;", "is 1;"), 4, 49, "an instruction length from 2 to 1024, got 1"},
        {broken("EXTEST (00)", "EXTEST (000)"), 5, 58, "an opcode of 2 bits of 0, 1 and X, got \"000\""},
        {broken("EXTEST (00)", "EXTEST (0Z)"), 5, 58, "got \"0Z\""},
        {broken("SAMPLE (01)", "EXTEST (01)"), 5, 63, "each instruction once, got \"EXTEST\" again"},
        {broken("BYPASS (11)\"", "BYPASS (11)"), 5, 88, "a closing '\"'"},
        {broken("\"00000000000000000000000000000001\"", "\"0000000000000000000000000000000\""), 6, 47,
         "an IDCODE of 32 bits"},
        {broken("\"00000000000000000000000000000001\"", "\"00000000000000000000000000000010\""), 6, 47,
         "an IDCODE whose last bit (bit 0) is 1"},
        {broken("3 (BC_1, B(1)", "4 (BC_1, B(1)"), 9, 91,
         "a cell number below 4 (BOUNDARY_LENGTH), got \"4\""},
        {broken("control, 0)", "kontrol, 0)"), 9, 50, "a cell function (input, clock, output2"},
        {broken("B(0), output2, 0)", "B(0), output2, 2)"), 9, 87, "a safe value (0, 1 or X), got \"2\""},
        {broken("0, Z)", "0, HIGH)"), 9, 34, "a disabled result (Z, WEAK0, WEAK1, PULL0, PULL1 or KEEPER)"},
        {broken("1, 0, Z)", "7, 0, Z)"), 9, 28, "a control cell number below 4"},
        {broken("BC_1, A,", "BC_1, C,"), 9, 15, "a port or '*', got \"C\", which is not a port of T"},
        {broken("BC_1, A,", "BC_1, A(0),"), 9, 17, "no index: A is not a vector"},
        {broken("B(0), output2", "B, output2"), 9, 73, "an index of vector B, got ','"},
        {broken("B(0), output2", "B(2), output2"), 9, 74, "an index of B (0 to 1), got \"2\""},
        {broken("0 (BC_1, A,", "0 BC_1, A,"), 9, 8, "'(' and the cell's description, got \"BC_1\""},
        {broken("1 (BC_1, *, control, 0)", "0 (BC_1, *, control, 0), 0 (BC_1, *, control, 0)"), 9, 63,
         "each cell number at most twice (a merged cell), got 0 a third time"},
        {broken("  attribute BOUNDARY_LENGTH of T : entity is 4;\n", ""), 9, 1,
         "attribute BOUNDARY_LENGTH of T before the end of the entity"},
        {broken("attribute BOUNDARY_LENGTH of T", "attribute BOUNDARY_LENGTH of U"), 7, 32,
         "the entity's name \"T\", got \"U\""},
        {broken(
             "attribute BOUNDARY_LENGTH of T : entity is 4;",
             "attribute BOUNDARY_LENGTH of T : entity is 4; attribute BOUNDARY_LENGTH of T : entity is 4;"),
         7, 59, "each attribute once: BOUNDARY_LENGTH is given again"},
        {broken("entity is 4;", "entity is 4"), 8, 3, "';', got \"attribute\""},
        {broken("end T;", "end U;"), 10, 5, "the entity's name \"T\", got \"U\""},
        {broken("end T;\n", ""), 10, 1, "\"end T;\""},
        {broken("end T;", "end T; junk"), 10, 8, "a package or the end of the file, got \"junk\""},
        {broken("use STD_1149_1_2001.all;",
                "attribute PIN_MAP of T : entity is \"P\"; constant P : PIN_MAP_STRING := \"A:1, Q:2\";"),
         3, 80, "a port of T, got \"Q\""},
        {broken("use STD_1149_1_2001.all;", "constant P : PIN_MAP_STRING := \"B:(1, 2, 3)\";"), 3, 37,
         "a list of 2 package pins for B, got 3"},
        {broken("use STD_1149_1_2001.all;", "attribute TAP_SCAN_IN of B : signal is true;"), 3, 28,
         "a scalar port of the entity, got \"B\""},
        {broken("use STD_1149_1_2001.all;", "attribute TAP_SCAN_CLOCK of TCK : signal is (fast, BOTH);"), 3,
         48, "a frequency in Hz, got \"fast\""},
        {broken("use STD_1149_1_2001.all;",
                "attribute REGISTER_ACCESS of T : entity is \"R[16777217] (EXTEST)\";"),
         3, 49, "a register length of 1 to 16777216 bits, got \"16777217\""},
    };
    for (const Refusal& r : refusals) {
        const ParseResult result = parse(r.text, "bad.bsd");
        ASSERT_FALSE(result.ok()) << r.text;
        EXPECT_EQ(result.error.line, r.line) << r.text << "\n" << result.error.message();
        EXPECT_EQ(result.error.column, r.column) << r.text << "\n" << result.error.message();
        EXPECT_NE(result.error.expected.find(r.expected), std::string::npos) << result.error.message();
        EXPECT_TRUE(result.error.message().starts_with("bad.bsd:" + std::to_string(r.line) + ":" +
                                                       std::to_string(r.column) + ": expected "));
    }
    // What is not a regular file is refused before it is read: a FIFO
    // without a writer would block the read for ever.
    const fs::path fifo = fs::path(testing::TempDir()) / "bsdl_fifo.bsd";
    fs::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [path, expected] : std::vector<std::pair<fs::path, std::string>>{
             {fifo, "a readable BSDL file, not a FIFO"},
             {testing::TempDir(), "a readable BSDL file, not a directory"},
             {"/dev/zero", "a readable BSDL file, not a device"}}) {
        EXPECT_EQ(read_file(path).error.expected, expected) << path;
    }
    fs::remove(fifo);
    const ParseResult missing = read_file("/nonexistent/x.bsd");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error.message(),
              "/nonexistent/x.bsd: expected a readable BSDL file (No such file or directory)");
}

// ---- the forms of older and other makers' files ------------------------------------

std::vector<std::string> notice_texts(const Device& d)
{
    std::vector<std::string> texts;
    for (const Notice& n : d.notices) {
        texts.push_back(std::to_string(n.line) + ":" + std::to_string(n.column) + " " + n.text);
    }
    return texts;
}

// Each case changes GOOD as a maker's file is written: the 1990 register
// names (AMD, GSI), a default pin map the file does not have (TI, ADI,
// National), padded names, long private registers (Cyclone V), and the
// slips that are read with a notice rather than silently.
TEST(MakersForms, AreReadWithWhatTheyLackNoticed)
{
    const std::string pkg = "constant PKG : PIN_MAP_STRING := \"TDI:1, TMS:2, TCK:3, TDO:4, A:5, B:(6, 7)\";";
    const std::string generic = "entity T is\n  generic (PHYSICAL_PIN_MAP : string := ";
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> edits; // find, replace
        std::vector<std::string> notices;
        std::string pin_map;                               // the one in use
        std::vector<std::string> a_pins;                   // A's package pins
        std::optional<DataRegister> idcode = std::nullopt; // what IDCODE selects
        std::optional<DataRegister> iocsr = std::nullopt;
    } cases[] = {
        {"the 1990 IDCODE register",
         {{"SAMPLE (01)", "SAMPLE (01), IDCODE (10)"},
          {"use STD_1149_1_2001.all;",
           "use STD_1149_1_1990.all;\n  attribute REGISTER_ACCESS of T : entity is "
           "\"BOUNDARY (EXTEST, SAMPLE), IDCODE (IDCODE)\";"}},
         {},
         "",
         {},
         DataRegister{"DEVICE_ID", 32}},
        {"a default pin map named UNDEFINED",
         {{"entity T is\n", generic + "\"UNDEFINED\");\n"}, {"use STD_1149_1_2001.all;", pkg}},
         {"2:42 pin map \"UNDEFINED\" is not in the file (its pin maps: PKG): no package pins"},
         "",
         {}},
        {"a pin map absent from the file",
         {{"use STD_1149_1_2001.all;", "attribute PIN_MAP of T : entity is \"DW\";"}},
         {"3:38 pin map \"DW\" is not in the file: no package pins"},
         "",
         {}},
        {"a padded pin map name",
         {{"entity T is\n", generic + "\" PKG  \");\n"}, {"use STD_1149_1_2001.all;", pkg}},
         {},
         "PKG",
         {"5"}},
        {"a port with cells missing from the pin map",
         {{"use STD_1149_1_2001.all;",
           "constant PKG : PIN_MAP_STRING := \"TDI:1, TMS:2, TCK:3, TDO:4, A:5\";"}},
         {"9:63 port B has boundary cells but no package pin in PKG"},
         "PKG",
         {"5"}},
        {"a comma after the last cell",
         {{"B(1), output2, 0)\"", "B(1), output2, 0),\""}},
         {"9:117 a ',' after the last cell of BOUNDARY_REGISTER: ignored"},
         "",
         {}},
        {"a boundary length one more than the cells",
         {{"entity is 4;", "entity is 5;"}},
         {"7:46 BOUNDARY_LENGTH is 5, BOUNDARY_REGISTER describes 4 cell numbers: cell 4 is taken as an "
          "internal cell"},
         "",
         {}},
        {"a private register longer than 100,000 bits",
         {{"SAMPLE (01)", "SAMPLE (01), IOCSR (10)"},
          {"use STD_1149_1_2001.all;",
           "attribute INSTRUCTION_PRIVATE of T : entity is \"IOCSR\";\n"
           "  attribute REGISTER_ACCESS of T : entity is \"IOCSR[113922] (IOCSR)\";"}},
         {},
         "",
         {},
         std::nullopt,
         DataRegister{"IOCSR", 113922}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text(GOOD);
        for (const auto& [find, replace] : c.edits) {
            const auto at = text.find(find);
            ASSERT_NE(at, std::string::npos) << find;
            text.replace(at, find.size(), replace);
        }
        const Device d = parsed(text);
        EXPECT_EQ(notice_texts(d), c.notices);
        EXPECT_EQ(d.pin_map, c.pin_map);
        EXPECT_EQ(d.pins.at(*d.find_pin("A")).package_pins, c.a_pins);
        EXPECT_EQ(d.data_register("IDCODE"), c.idcode);
        EXPECT_EQ(d.data_register("IOCSR"), c.iocsr);
    }
}

// ---- hostile input ----------------------------------------------------------------

TEST(HostileInput, StaysWithinTheBounds)
{
    // Too large: refused before anything is read.
    const std::string huge(MAX_FILE_BYTES + 1, ' ');
    EXPECT_NE(parse(huge, "big.bsd").error.expected.find("a file of at most"), std::string::npos);

    // Parentheses nested a million deep in a skipped attribute: no recursion.
    std::string deep =
        broken("use STD_1149_1_2001.all;", "attribute X of T : entity is " + std::string(1'000'000, '(') +
                                               std::string(1'000'000, ')') + ";");
    EXPECT_TRUE(parse(deep, "deep.bsd").ok());

    // More port elements than the limit.
    const ParseResult wide = parse(broken("bit_vector (1 downto 0)", "bit_vector (0 to 200000)"), "wide.bsd");
    ASSERT_FALSE(wide.ok());
    EXPECT_NE(wide.error.expected.find("at most 100000 port elements"), std::string::npos);

    // Notices are kept up to their limit, then counted.
    std::string noisy;
    for (std::size_t i = 0; i < MAX_NOTICES + 50; ++i) {
        noisy += "attribute X" + std::to_string(i) + " of T : entity is 1;\n";
    }
    const Device many = parsed(broken("use STD_1149_1_2001.all;", noisy));
    ASSERT_EQ(many.notices.size(), MAX_NOTICES + 1);
    EXPECT_EQ(many.notices.back().text, "50 more notices not kept");

    // A string constant used many times cannot grow past the budget.
    std::string bomb = "constant C : string := \"" + std::string(1 << 20, 'x') + "\";\n" +
                       "attribute DESIGN_WARNING of T : entity is C";
    for (int i = 0; i < 64; ++i) {
        bomb += " & C";
    }
    const ParseResult blown = parse(broken("use STD_1149_1_2001.all;", bomb + ";"), "bomb.bsd");
    ASSERT_FALSE(blown.ok());
    EXPECT_NE(blown.error.expected.find("strings of at most"), std::string::npos);
}

} // namespace
} // namespace orv::bsdl
