// BSDL (IEEE 1149.1 Boundary-Scan Description Language) read into a model of
// one device: its ports and package pins, its TAP, its instructions and data
// registers, and its boundary register cell by cell.
//
// parse() reads the parts of 1149.1-1994 and -2001 BSDL that vendor files
// use (see README.md); anything else is skipped and named in
// Device::notices, never a failure. A file that breaks the grammar, or
// contradicts itself (a cell beyond BOUNDARY_LENGTH, an opcode of the wrong
// length, a cell on a port that does not exist), is refused with the file,
// line, column and what was expected there. Nothing throws out of this API.
//
// Bounded on hostile input: files up to MAX_FILE_BYTES, at most MAX_PINS
// port elements, MAX_CELLS cells, MAX_INSTRUCTIONS instructions, opcodes of
// at most MAX_INSTRUCTION_LENGTH bits; the parser is a loop over tokens
// without recursion, linear in the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::bsdl {

inline constexpr std::size_t MAX_FILE_BYTES = std::size_t{16} << 20;
inline constexpr std::size_t MAX_PINS = 100'000;
inline constexpr std::size_t MAX_CELLS = 100'000;
inline constexpr std::size_t MAX_INSTRUCTIONS = 4096;
inline constexpr std::size_t MAX_OPCODES = 65536;
inline constexpr unsigned MAX_INSTRUCTION_LENGTH = 1024;
// A data register of REGISTER_ACCESS: big FPGAs have private registers of a
// few 100,000 bits (Cyclone V's IOCSR: 113,922); a scan of this many bits
// still fits in memory (2 MiB).
inline constexpr unsigned MAX_REGISTER_LENGTH = 1U << 24;
inline constexpr std::size_t MAX_NOTICES = 200;

enum class Direction : std::uint8_t { in, out, inout, buffer, linkage };
enum class CellFunction : std::uint8_t {
    input,
    clock,
    output2,
    output3,
    bidir,
    control,
    controlr,
    internal,
    observe_only
};
// A safe value, a disable value, a bit of an opcode or IDCODE.
enum class Bit : std::uint8_t { zero, one, x };
// What an output shows while its control cell disables it.
enum class DisabledResult : std::uint8_t { z, weak0, weak1, pull0, pull1, keeper };

// Names compare in any letter case, as everywhere in BSDL.
[[nodiscard]] bool same_name(std::string_view a, std::string_view b) noexcept;

[[nodiscard]] std::string_view name_of(Direction direction) noexcept;
[[nodiscard]] std::string_view name_of(CellFunction function) noexcept;
[[nodiscard]] std::string_view name_of(DisabledResult result) noexcept;

// A port as declared: `PA0 : inout bit` or `D : inout bit_vector (7 downto 0)`.
struct Port {
    std::string name; // as the file spells it
    Direction direction = Direction::in;
    bool is_vector = false;
    long left = 0, right = 0; // the range as written: (left to right) or (left downto right)
    bool downto = false;
    std::size_t first_pin = 0; // Device::pins index of the element `left`
    [[nodiscard]] std::size_t size() const noexcept;
    bool operator==(const Port&) const = default;
};

// One element of a port (the port itself when it is scalar): what a board
// wires, what a boundary cell observes or drives.
struct Pin {
    std::string name; // "PA0", "D(3)"
    std::size_t port = 0;
    long index = 0;                        // the vector index; 0 for a scalar port
    std::vector<std::string> package_pins; // from the pin map in use (several for a linkage port such as VDD)
    // Its cells, as indexes into Device::cells: the one that captures the pin
    // (input, clock, observe_only, bidir), the one that drives it (output2,
    // output3, bidir) and the output's control cell.
    std::optional<std::size_t> input_cell, output_cell, control_cell;
    bool operator==(const Pin&) const = default;
};

// One entry of BOUNDARY_REGISTER. A cell number may have two entries (a
// merged cell, such as an input that is also a control cell).
struct Cell {
    unsigned number = 0;            // bit position: cell 0 is nearest TDO
    std::string type;               // BC_1 .. BC_10 or a type of the vendor's own
    std::optional<std::size_t> pin; // Device::pins index; none for "*"
    CellFunction function = CellFunction::internal;
    Bit safe = Bit::x;
    // An output's control: the control cell's number, the value that
    // disables the output and what the pin shows then.
    std::optional<unsigned> control;
    Bit disable_value = Bit::x;
    DisabledResult disabled_result = DisabledResult::z;
    bool operator==(const Cell&) const = default;
};

struct Instruction {
    std::string name;
    std::vector<std::string> opcodes; // as written, first bit shifted last: "00010", 0/1/X
    bool is_private = false;
    bool operator==(const Instruction&) const = default;
};

// A bit pattern of up to 64 bits with don't-care bits: `care` has a 1 for
// every bit that matters. Bit 0 is the last character of the text.
struct MaskedBits {
    std::uint64_t value = 0;
    std::uint64_t care = 0;
    unsigned length = 0;
    [[nodiscard]] bool matches(std::uint64_t bits) const noexcept { return ((bits ^ value) & care) == 0; }
    bool operator==(const MaskedBits&) const = default;
};
// "0XX01" as a MaskedBits; nullopt for other characters or more than 64 bits.
[[nodiscard]] std::optional<MaskedBits> masked_bits(std::string_view bits) noexcept;
// In hex digits, a digit with a don't-care bit as '?': "0x?ba00477".
[[nodiscard]] std::string pattern_text(const MaskedBits& bits);

// One instruction of REGISTER_ACCESS: "USER1[32] (USER1 CAPTURES 0101)".
struct RegisterAccess {
    std::string register_name;
    std::optional<unsigned> length;
    std::string instruction;
    std::string captures; // bit string, empty when not given
    bool operator==(const RegisterAccess&) const = default;
};

// The data register an instruction selects, with its length when known.
struct DataRegister {
    std::string name; // BOUNDARY, BYPASS, DEVICE_ID or the file's own name
    std::optional<unsigned> length;
    bool operator==(const DataRegister&) const = default;
};

struct TapPins {
    // Device::pins indexes of the TAP's ports.
    std::optional<std::size_t> tdi, tdo, tms, tck, trst;
    double tck_max_hz = 0; // TAP_SCAN_CLOCK's first field; 0 when not given
    bool operator==(const TapPins&) const = default;
};

// COMPLIANCE_PATTERNS: the levels that put the device in its IEEE 1149.1
// mode, one bit per pin in each pattern.
struct CompliancePatterns {
    std::vector<std::size_t> pins;
    std::vector<std::string> patterns;
    bool operator==(const CompliancePatterns&) const = default;
};

// Something of the file that was skipped.
struct Notice {
    unsigned line = 0, column = 0;
    std::string text;
    bool operator==(const Notice&) const = default;
};

struct Device {
    std::string entity;
    std::string standard;    // the package of the use clause: "STD_1149_1_2001"
    std::string conformance; // COMPONENT_CONFORMANCE, when given
    std::string pin_map;     // the PIN_MAP_STRING constant in use
    std::vector<Port> ports;
    std::vector<Pin> pins;
    TapPins tap;
    unsigned instruction_length = 0;
    std::vector<Instruction> instructions;
    std::string instruction_capture; // bit string with X, empty when not given
    std::optional<MaskedBits> idcode, usercode;
    std::vector<RegisterAccess> register_access;
    unsigned boundary_length = 0;
    std::vector<Cell> cells; // in the file's order
    std::optional<CompliancePatterns> compliance_patterns;
    std::string design_warning;
    std::vector<Notice> notices;
    // The ports in the order of their names in upper case (index_ports()),
    // so that a name is found in log n steps; empty: found by a search.
    std::vector<std::size_t> port_order;
    bool operator==(const Device&) const = default;

    // Fills port_order (the reader does).
    void index_ports();
    // A port by name, in any letter case.
    [[nodiscard]] std::optional<std::size_t> find_port(std::string_view name) const;
    // A pin by name, in any letter case: "PA0", or a vector element "D(3)"
    // (blanks allowed around the index). A vector's name alone is no pin.
    [[nodiscard]] std::optional<std::size_t> find_pin(std::string_view name) const;
    // Up to `count` pin names nearest to a misspelt one (fewest edits first).
    [[nodiscard]] std::vector<std::string> nearest_pins(std::string_view name, std::size_t count = 4) const;

    // An instruction by name, in any letter case.
    [[nodiscard]] const Instruction* find_instruction(std::string_view name) const;
    // The first opcode of an instruction, with the standard's names filled
    // in: SAMPLE is also found as SAMPLE/PRELOAD (1149.1-1990 files);
    // PRELOAD as SAMPLE/PRELOAD, else SAMPLE's opcode (before 1149.1-2001
    // one instruction did both); BYPASS, when the file does not list it, is
    // all ones.
    [[nodiscard]] std::optional<std::string> opcode(std::string_view instruction) const;
    // The data register an instruction selects: REGISTER_ACCESS (its
    // IDCODE and USERCODE registers, the 1990 names, as DEVICE_ID), else the
    // standard's (BOUNDARY for SAMPLE, PRELOAD, EXTEST, INTEST; DEVICE_ID for
    // IDCODE and USERCODE; BYPASS for BYPASS, CLAMP and HIGHZ).
    [[nodiscard]] std::optional<DataRegister> data_register(std::string_view instruction) const;
    // The entries of a cell number.
    [[nodiscard]] std::vector<const Cell*> cells_numbered(unsigned number) const;
};

// A file that was refused: where, and what was expected there.
struct ParseError {
    std::string file;
    unsigned line = 0, column = 0;
    std::string expected;
    // "FILE:LINE:COLUMN: expected EXPECTED"
    [[nodiscard]] std::string message() const;
    bool operator==(const ParseError&) const = default;
};

struct ParseResult {
    std::optional<Device> device; // set when the file was read
    ParseError error;             // otherwise
    [[nodiscard]] bool ok() const noexcept { return device.has_value(); }
};

// The text of a file that reads whole at once: a regular file of at most
// `max_bytes`. Anything else (a FIFO, a device, a directory) is refused
// before a byte is read, so that a read never waits for a writer.
struct FileText {
    std::string text;
    // Empty when read; else what is wrong: "not a FIFO", "larger than N
    // bytes", or the system's reason ("No such file or directory").
    std::string problem;
};
[[nodiscard]] FileText read_regular_file(const std::filesystem::path& path, std::size_t max_bytes) noexcept;

// `file_name` names the text in errors.
[[nodiscard]] ParseResult parse(std::string_view text, std::string_view file_name) noexcept;
// Reads a regular file (at most MAX_FILE_BYTES) and parses it.
[[nodiscard]] ParseResult read_file(const std::filesystem::path& path) noexcept;

} // namespace orv::bsdl
