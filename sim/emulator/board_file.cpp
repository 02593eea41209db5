#include "sim/emulator/board_file.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "lib/hostfile/host_file.hpp"
#include "lib/wire/number_text.hpp"
#include "sim/emulator/board_boundary_scan.hpp"

namespace orv::emu {

namespace {

using nlohmann::json;

constexpr std::size_t MAX_TAPS = 32;
constexpr unsigned MIN_IR_LENGTH = 2; // Capture-IR loads ...01
constexpr unsigned MAX_IR_LENGTH = 32;
constexpr unsigned MAX_USER_LENGTH = 64;
constexpr std::uint64_t MAX_FLASH_SIZE = std::uint64_t{256} << 20; // 2 Gbit
constexpr std::uint64_t MAX_PAGE_SIZE = 32768;                     // SFDP's 4-bit page size exponent
constexpr std::uint64_t MAX_BUSY_US = 10'000'000;
constexpr std::uint64_t MIN_EEPROM = 128;           // 24C01
constexpr std::uint64_t MAX_EEPROM = 65536;         // 24C512
constexpr std::uint64_t MAX_ONE_BYTE_EEPROM = 2048; // 24C16: 8 device addresses of 256 bytes
constexpr std::uint64_t MAX_EEPROM_PAGE = 256;
constexpr std::uint64_t BYTES_PER_ADDRESS_BYTE = 256;
constexpr std::uint64_t DEFAULT_MEMORY = 256;
constexpr std::uint64_t MAX_STRETCH_TCK = 1'000'000; // TCK clocks an I2C device behind the pins holds SCL
constexpr std::uint16_t FIRST_7_BIT_ADDRESS = 0x08;  // 0x00..0x07 and 0x78..0x7F are reserved
constexpr std::uint16_t LAST_7_BIT_ADDRESS = 0x77;
constexpr std::uint16_t LAST_10_BIT_ADDRESS = 0x3FF;

std::string shown(const json& value)
{
    std::string text = value.dump();
    constexpr std::size_t LONGEST = 40;
    if (text.size() > LONGEST) {
        text = text.substr(0, LONGEST - 3) + "...";
    }
    return text;
}

std::string hex(std::uint64_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

// Reads one board file's JSON, keeping the file's name and directory for
// messages and image paths.
class Reader {
public:
    Reader(std::string file, std::filesystem::path directory, const BoardFileOptions& options)
        : file_(std::move(file)), directory_(directory.empty() ? "." : std::move(directory)),
          options_(options)
    {
    }

    BoardConfig board(const json& doc);

private:
    [[noreturn]] void fail(const std::string& where, const std::string& expected) const
    {
        throw BoardFileError(file_, where, expected);
    }
    void only_keys(const json& object, const std::string& where,
                   std::initializer_list<std::string_view> keys) const;
    const json& object(const json& value, const std::string& where, const std::string& what) const;
    std::uint64_t number(const json& value, const std::string& where, const std::string& what,
                         std::uint64_t min, std::uint64_t max) const;
    // A number as `number` takes it, or a text with a binary multiple ("16M").
    std::uint64_t size(const json& value, const std::string& where, const std::string& what,
                       std::uint64_t min, std::uint64_t max) const;
    std::uint64_t key_number(const std::string& key, const std::string& where, const std::string& what,
                             std::uint64_t max) const;
    bool boolean(const json& value, const std::string& where) const;
    std::string text(const json& value, const std::string& where, const std::string& what) const;
    std::uint64_t power_of_two(const json& value, const std::string& where, std::uint64_t min,
                               std::uint64_t max) const;
    std::optional<ImageFile> image(const json& part, const std::string& where, std::uint64_t size) const;

    TapConfig tap(const json& value, const std::string& where, std::size_t index) const;
    SpiFlashConfig flash(const json& value) const;
    I2cDeviceConfig i2c_device(const json& value, const std::string& where) const;
    // An i2c device's "connect": the lines of the one I2C bus behind the
    // pins, the same for every device on it.
    void i2c_connect(BoardConfig& board, const json& connect, const std::string& where) const;
    void check_i2c_addresses(const BoardConfig& board) const;
    void check_images(const BoardConfig& board) const;
    void check_capacity(const SpiFlashConfig& flash) const;

    std::string file_;
    std::filesystem::path directory_;
    const BoardFileOptions& options_;
};

void Reader::only_keys(const json& object, const std::string& where,
                       std::initializer_list<std::string_view> keys) const
{
    for (const auto& [key, value] : object.items()) {
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            std::string known;
            for (const std::string_view k : keys) {
                known += (known.empty() ? "" : ", ") + std::string(k);
            }
            fail(where.empty() ? key : where + "." + key, "no such key here; expected one of " + known);
        }
    }
}

const json& Reader::object(const json& value, const std::string& where, const std::string& what) const
{
    if (!value.is_object()) {
        fail(where, "an object (" + what + "), got " + shown(value));
    }
    return value;
}

std::uint64_t Reader::number(const json& value, const std::string& where, const std::string& what,
                             std::uint64_t min, std::uint64_t max) const
{
    std::optional<std::uint64_t> n;
    if (value.is_number_unsigned()) {
        n = value.get<std::uint64_t>();
    } else if (value.is_string()) {
        n = orv::parse_unsigned(value.get_ref<const std::string&>());
    }
    if (!n || *n < min || *n > max) {
        fail(where, what + ", got " + shown(value));
    }
    return *n;
}

std::uint64_t Reader::size(const json& value, const std::string& where, const std::string& what,
                           std::uint64_t min, std::uint64_t max) const
{
    std::optional<std::uint64_t> n;
    if (value.is_number_unsigned()) {
        n = value.get<std::uint64_t>();
    } else if (value.is_string()) {
        n = orv::parse_size(value.get_ref<const std::string&>());
    }
    if (!n || *n < min || *n > max) {
        fail(where, what + ", got " + shown(value));
    }
    return *n;
}

std::uint64_t Reader::key_number(const std::string& key, const std::string& where, const std::string& what,
                                 std::uint64_t max) const
{
    const auto n = orv::parse_unsigned(key);
    if (!n || *n > max) {
        fail(where, what + ", got \"" + key + "\"");
    }
    return *n;
}

bool Reader::boolean(const json& value, const std::string& where) const
{
    if (!value.is_boolean()) {
        fail(where, "true or false, got " + shown(value));
    }
    return value.get<bool>();
}

std::string Reader::text(const json& value, const std::string& where, const std::string& what) const
{
    if (!value.is_string()) {
        fail(where, what + ", got " + shown(value));
    }
    return value.get<std::string>();
}

std::uint64_t Reader::power_of_two(const json& value, const std::string& where, std::uint64_t min,
                                   std::uint64_t max) const
{
    const std::uint64_t n = size(
        value, where, "a power of two from " + std::to_string(min) + " to " + std::to_string(max), min, max);
    if (!std::has_single_bit(n)) {
        fail(where, "a power of two from " + std::to_string(min) + " to " + std::to_string(max) + ", got " +
                        shown(value));
    }
    return n;
}

std::optional<ImageFile> Reader::image(const json& part, const std::string& where, std::uint64_t size) const
{
    const bool persist = part.contains("persist") && boolean(part["persist"], where + ".persist");
    if (!part.contains("image")) {
        if (persist) {
            fail(where + ".persist", "an image to persist to (" + where + ".image)");
        }
        return std::nullopt;
    }
    const std::string name = text(part["image"], where + ".image", "a file name");
    if (name.empty()) {
        fail(where + ".image", "a file name, got \"\"");
    }
    const std::filesystem::path given(name);
    const std::filesystem::path normal = given.lexically_normal();
    if (!options_.images_anywhere && (given.is_absolute() || (!normal.empty() && *normal.begin() == ".."))) {
        fail(where + ".image", "a file in the board file's directory or below it (--allow-outside-images for "
                               "any other), got " +
                                   shown(part["image"]));
    }
    ImageFile file{directory_ / name, persist};
    std::error_code error;
    const auto status = std::filesystem::status(file.path, error);
    if (std::filesystem::exists(status)) {
        if (!std::filesystem::is_regular_file(status)) {
            fail(where + ".image", "a regular file: " + file.path.string() + " is not one");
        }
        const auto bytes = std::filesystem::file_size(file.path, error);
        if (error || std::ifstream(file.path, std::ios::binary).fail()) {
            fail(where + ".image", "a readable file: cannot read " + file.path.string());
        }
        if (bytes > size) {
            fail(where + ".image", "at most " + std::to_string(size) + " bytes (the part's size): " +
                                       file.path.string() + " holds " + std::to_string(bytes));
        }
    } else if (!persist) {
        fail(where + ".image", "an existing file (or \"persist\": true to create it): " + file.path.string() +
                                   " does not exist");
    } else if (!std::filesystem::is_directory(file.path.parent_path(), error)) {
        fail(where + ".image",
             "a file in an existing directory: " + file.path.parent_path().string() + " does not exist");
    }
    return file;
}

// ---- JTAG ------------------------------------------------------------------

TapConfig Reader::tap(const json& value, const std::string& where, std::size_t index) const
{
    object(value, where, "a TAP with at least ir_length");
    if (value.contains("bsdl")) {
        return read_bsdl_tap(value, where, index, {file_, directory_});
    }
    only_keys(value, where, {"name", "idcode", "ir_length", "instructions", "user_length", "bsdl"});
    TapConfig tap;
    tap.name = value.contains("name") ? text(value["name"], where + ".name", "a name")
                                      : "tap" + std::to_string(index);
    if (!value.contains("ir_length")) {
        fail(where + ".ir_length", "the instruction register's length (2 to 32), which is missing");
    }
    tap.ir_length = static_cast<unsigned>(number(value["ir_length"], where + ".ir_length",
                                                 "an instruction register length from 2 to 32", MIN_IR_LENGTH,
                                                 MAX_IR_LENGTH));
    tap.has_idcode = value.contains("idcode");
    if (tap.has_idcode) {
        tap.idcode = static_cast<std::uint32_t>(
            number(value["idcode"], where + ".idcode", "a 32-bit IDCODE", 0, 0xFFFFFFFF));
        if ((tap.idcode & 1) == 0) {
            fail(where + ".idcode", "an IDCODE with bit 0 set (IEEE 1149.1), got " + shown(value["idcode"]));
        }
    }
    const std::uint32_t all_ones = static_cast<std::uint32_t>((std::uint64_t{1} << tap.ir_length) - 1);
    tap.idcode_instruction = 0x1;
    tap.user_instruction = 0x2;
    tap.bypass_instruction = all_ones;
    if (value.contains("instructions")) {
        const std::string at = where + ".instructions";
        const json& instructions = object(value["instructions"], at, "IDCODE, USER and BYPASS codes");
        only_keys(instructions, at, {"IDCODE", "USER", "BYPASS"});
        const auto code = [&](const char* name, std::uint32_t& out) {
            if (instructions.contains(name)) {
                out = static_cast<std::uint32_t>(number(instructions[name], at + "." + name,
                                                        "an instruction of " + std::to_string(tap.ir_length) +
                                                            " bits (0 to " + hex(all_ones) + ")",
                                                        0, all_ones));
            }
        };
        code("IDCODE", tap.idcode_instruction);
        code("USER", tap.user_instruction);
        code("BYPASS", tap.bypass_instruction);
        if (instructions.contains("IDCODE") && !tap.has_idcode) {
            fail(at + ".IDCODE", "no IDCODE instruction on a TAP without \"idcode\"");
        }
    }
    if (tap.user_instruction == tap.bypass_instruction ||
        (tap.has_idcode && (tap.idcode_instruction == tap.user_instruction ||
                            tap.idcode_instruction == tap.bypass_instruction))) {
        fail(where + ".instructions", "IDCODE, USER and BYPASS codes that differ");
    }
    if (value.contains("user_length")) {
        tap.user_length =
            static_cast<unsigned>(number(value["user_length"], where + ".user_length",
                                         "a USER register length from 1 to 64", 1, MAX_USER_LENGTH));
    }
    return tap;
}

// ---- SPI flash ---------------------------------------------------------------

SpiFlashConfig Reader::flash(const json& value) const
{
    const std::string where = "spi_flash";
    object(value, where, "the SPI NOR flash");
    only_keys(value, where,
              {"jedec_id", "size", "page_size", "erase", "sfdp", "status", "program_us", "erase_us", "image",
               "persist", "connect"});
    SpiFlashConfig flash;
    if (value.contains("jedec_id")) {
        std::string id = text(value["jedec_id"], where + ".jedec_id", "3 bytes in hex such as \"ef4018\"");
        std::erase(id, ' ');
        const auto n = id.size() == 6 ? orv::parse_unsigned("0x" + id) : std::nullopt;
        if (!n) {
            fail(where + ".jedec_id", "3 bytes in hex such as \"ef4018\", got " + shown(value["jedec_id"]));
        }
        flash.jedec_id = {static_cast<std::uint8_t>(*n >> 16), static_cast<std::uint8_t>(*n >> 8),
                          static_cast<std::uint8_t>(*n)};
    }
    if (value.contains("size")) {
        flash.size = size(value["size"], where + ".size",
                          "a size from 1 to 268435456 bytes (256 MiB, \"256M\")", 1, MAX_FLASH_SIZE);
    }
    if (value.contains("page_size")) {
        flash.page_size = power_of_two(value["page_size"], where + ".page_size", 1, MAX_PAGE_SIZE);
    }
    if (flash.page_size > flash.size || flash.size % flash.page_size != 0) {
        fail(where + ".size", "a multiple of the page size (" + std::to_string(flash.page_size) + "), got " +
                                  std::to_string(flash.size));
    }
    if (value.contains("erase")) {
        const std::string at = where + ".erase";
        const json& erase = object(value["erase"], at, "erase sizes by opcode, such as {\"0x20\": 4096}");
        flash.erase.clear();
        for (const auto& [key, size] : erase.items()) {
            const std::string item = at + "." + key;
            const auto opcode = static_cast<std::uint8_t>(key_number(key, item, "an erase opcode", 0xFF));
            if (opcode != nor::CMD_SECTOR_ERASE && opcode != nor::CMD_BLOCK_ERASE_32K &&
                opcode != nor::CMD_BLOCK_ERASE_64K) {
                fail(item, "one of the erase opcodes 0x20, 0x52 and 0xd8, got \"" + key + "\"");
            }
            if (std::any_of(flash.erase.begin(), flash.erase.end(),
                            [&](const auto& e) { return e.opcode == opcode; })) {
                fail(item, "each erase opcode once; " + hex(opcode) + " comes twice");
            }
            const std::uint64_t bytes = power_of_two(size, item, 1, flash.size);
            if (flash.size % bytes != 0) {
                fail(item, "an erase size that divides the flash size");
            }
            flash.erase.push_back(EraseType{opcode, bytes});
        }
        std::sort(flash.erase.begin(), flash.erase.end(),
                  [](const EraseType& a, const EraseType& b) { return a.size < b.size; });
    } else {
        std::erase_if(flash.erase,
                      [&](const EraseType& e) { return e.size > flash.size || flash.size % e.size != 0; });
    }
    if (value.contains("sfdp")) {
        flash.sfdp = boolean(value["sfdp"], where + ".sfdp");
    }
    if (value.contains("status")) {
        const std::uint64_t status =
            number(value["status"], where + ".status", "a status register byte", 0, 0xFF);
        if ((status & (nor::STATUS_BUSY | nor::STATUS_WEL)) != 0) {
            fail(where + ".status",
                 "a status with WIP and WEL (bits 0 and 1) clear, got " + shown(value["status"]));
        }
        flash.status = static_cast<std::uint8_t>(status);
    }
    const auto busy_time = [&](const char* key, unsigned& out) {
        if (value.contains(key)) {
            out = static_cast<unsigned>(number(value[key], where + "." + key,
                                               "a time in microseconds up to 10000000", 0, MAX_BUSY_US));
        }
    };
    busy_time("program_us", flash.program_us);
    busy_time("erase_us", flash.erase_us);
    return flash;
}

// ---- I2C ---------------------------------------------------------------------

I2cDeviceConfig Reader::i2c_device(const json& value, const std::string& where) const
{
    using Type = I2cDeviceConfig::Type;
    object(value, where, "an I2C device with address and type");
    I2cDeviceConfig device;
    if (!value.contains("type")) {
        fail(where + ".type", "the device type (eeprom, registers or memory), which is missing");
    }
    const std::string type = text(value["type"], where + ".type", "eeprom, registers or memory");
    if (type == "eeprom") {
        device.type = Type::eeprom;
        only_keys(value, where,
                  {"address", "ten_bit", "type", "size", "page_size", "address_bytes", "image", "persist",
                   "connect", "stretch_tck"});
    } else if (type == "memory") {
        device.type = Type::memory;
        only_keys(value, where,
                  {"address", "ten_bit", "type", "size", "address_bytes", "image", "persist", "connect",
                   "stretch_tck"});
    } else if (type == "registers") {
        device.type = Type::registers;
        only_keys(value, where,
                  {"address", "ten_bit", "type", "reset", "read_only", "connect", "stretch_tck"});
    } else {
        fail(where + ".type", "eeprom, registers or memory, got " + shown(value["type"]));
    }

    device.ten_bit = value.contains("ten_bit") && boolean(value["ten_bit"], where + ".ten_bit");
    if (!value.contains("address")) {
        fail(where + ".address", "the device's address, which is missing");
    }
    device.address = static_cast<std::uint16_t>(
        device.ten_bit ? number(value["address"], where + ".address", "a 10-bit address (0 to 0x3ff)", 0,
                                LAST_10_BIT_ADDRESS)
                       : number(value["address"], where + ".address",
                                "a 7-bit address from 0x08 to 0x77 (\"ten_bit\": true for 10-bit ones)",
                                FIRST_7_BIT_ADDRESS, LAST_7_BIT_ADDRESS));
    if (value.contains("stretch_tck")) {
        const std::string at = where + ".stretch_tck";
        if (!value.contains("connect")) {
            fail(at, "a device behind boundary-scan pins (with \"connect\"): the I2C connector's devices do "
                     "not stretch the clock");
        }
        device.stretch_tck = static_cast<std::uint32_t>(number(
            value["stretch_tck"], at, "the TCK clocks SCL is held low (0 to 1000000)", 0, MAX_STRETCH_TCK));
    }

    if (device.type == Type::registers) {
        std::map<std::uint8_t, I2cRegisterFile::Register> registers;
        if (value.contains("reset")) {
            const std::string at = where + ".reset";
            for (const auto& [key, reset] : object(value["reset"], at, "reset values by register").items()) {
                const auto index = static_cast<std::uint8_t>(
                    key_number(key, at + "." + key, "a register number (0 to 0xff)", 0xFF));
                registers[index] = {
                    index, static_cast<std::uint8_t>(number(reset, at + "." + key, "a byte", 0, 0xFF)),
                    false};
            }
        }
        if (value.contains("read_only")) {
            const std::string at = where + ".read_only";
            if (!value["read_only"].is_array()) {
                fail(at, "a list of register numbers, got " + shown(value["read_only"]));
            }
            for (std::size_t i = 0; i < value["read_only"].size(); ++i) {
                const auto index = static_cast<std::uint8_t>(
                    number(value["read_only"][i], at + "[" + std::to_string(i) + "]",
                           "a register number (0 to 0xff)", 0, 0xFF));
                auto& reg =
                    registers.try_emplace(index, I2cRegisterFile::Register{index, 0, false}).first->second;
                reg.read_only = true;
            }
        }
        for (const auto& [index, reg] : registers) {
            device.registers.push_back(reg);
        }
        return device;
    }

    if (device.type == Type::eeprom) {
        if (!value.contains("size")) {
            fail(where + ".size",
                 "the EEPROM's size (128 for a 24C01 to 65536 for a 24C512), which is missing");
        }
        device.size = power_of_two(value["size"], where + ".size", MIN_EEPROM, MAX_EEPROM);
        // The 24C series: 8-byte pages up to the 24C02, 16 to the 24C16, then
        // 32, 64 and 128 bytes.
        device.page_size = device.size <= 256     ? 8
                           : device.size <= 2048  ? 16
                           : device.size <= 8192  ? 32
                           : device.size <= 32768 ? 64
                                                  : 128;
        if (value.contains("page_size")) {
            device.page_size = power_of_two(value["page_size"], where + ".page_size", 1,
                                            std::min<std::uint64_t>(MAX_EEPROM_PAGE, device.size));
        }
        device.address_bytes = device.size <= MAX_ONE_BYTE_EEPROM ? 1 : 2;
    } else {
        device.size = value.contains("size") ? size(value["size"], where + ".size",
                                                    "a size from 1 to 65536 bytes (\"64k\")", 1, MAX_EEPROM)
                                             : DEFAULT_MEMORY;
        device.page_size = device.size;
        device.address_bytes = device.size <= BYTES_PER_ADDRESS_BYTE ? 1 : 2;
    }
    if (value.contains("address_bytes")) {
        device.address_bytes =
            static_cast<unsigned>(number(value["address_bytes"], where + ".address_bytes", "1 or 2", 1, 2));
    }
    const std::uint64_t one_byte_limit =
        device.type == Type::eeprom ? MAX_ONE_BYTE_EEPROM : BYTES_PER_ADDRESS_BYTE;
    if (device.address_bytes == 1 && device.size > one_byte_limit) {
        fail(where + ".address_bytes", "2 for more than " + std::to_string(one_byte_limit) +
                                           " bytes (one address byte reaches " +
                                           std::to_string(one_byte_limit) + ")");
    }
    // A 24C04..24C16 answers one address per 256 bytes, from an aligned one.
    const std::uint64_t span = memory_address_span(device.size, device.address_bytes);
    const std::uint64_t last = device.ten_bit ? LAST_10_BIT_ADDRESS : LAST_7_BIT_ADDRESS;
    if (device.address % span != 0 || device.address + span - 1 > last) {
        fail(where + ".address", "a multiple of " + std::to_string(span) + " up to " + hex(last - span + 1) +
                                     ": this EEPROM answers " + std::to_string(span) + " addresses, got " +
                                     shown(value["address"]));
    }
    device.image = image(value, where, device.size);
    return device;
}

void Reader::i2c_connect(BoardConfig& board, const json& connect, const std::string& where) const
{
    const std::vector<std::string> roles{"scl", "sda"};
    const auto nets = read_connect(connect, where, roles, board.jtag, board.network, {file_, directory_});
    const I2cNets lines{nets[0], nets[1]};
    if (!board.i2c_connect) {
        board.i2c_connect = lines;
        return;
    }
    // The first device behind the pins set the bus's lines.
    std::size_t first = 0;
    while (!board.i2c[first].behind_pins) {
        ++first;
    }
    const std::size_t had[] = {board.i2c_connect->scl, board.i2c_connect->sda};
    for (std::size_t r = 0; r < roles.size(); ++r) {
        if (nets[r] != had[r]) {
            fail(where + "." + roles[r],
                 "a pin on net " + board.network.nets[had[r]].name + ", as i2c[" + std::to_string(first) +
                     "].connect." + roles[r] + " has: the devices behind the pins share one bus, got " +
                     shown(connect[roles[r]]) + " on net " + board.network.nets[nets[r]].name);
        }
    }
}

void Reader::check_i2c_addresses(const BoardConfig& board) const
{
    const auto span = [](const I2cDeviceConfig& d) -> unsigned {
        return d.type == I2cDeviceConfig::Type::registers ? 1 : memory_address_span(d.size, d.address_bytes);
    };
    for (std::size_t j = 0; j < board.i2c.size(); ++j) {
        const I2cDeviceConfig& b = board.i2c[j];
        for (std::size_t i = 0; i < j; ++i) {
            const I2cDeviceConfig& a = board.i2c[i];
            // Devices behind the pins are on a bus of their own.
            if (a.behind_pins == b.behind_pins && a.ten_bit == b.ten_bit && a.address < b.address + span(b) &&
                b.address < a.address + span(a)) {
                fail("i2c[" + std::to_string(j) + "].address",
                     "an address no other device answers: " + hex(b.address) + " is taken by i2c[" +
                         std::to_string(i) + "]");
            }
        }
    }
}

void Reader::check_images(const BoardConfig& board) const
{
    const std::vector<NamedImage> images = image_files(board);
    for (std::size_t j = 0; j < images.size(); ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            if (images[i].identity == images[j].identity) {
                fail(images[j].where, "an image of its own: " + images[j].file.path.string() +
                                          " is already " + images[i].where);
            }
        }
    }
}

// The JEDEC ID's third byte is the capacity as a power of two on most parts:
// software that sizes a part from its ID (orvtool without SFDP) sees that.
void Reader::check_capacity(const SpiFlashConfig& flash) const
{
    constexpr unsigned LARGEST_EXPONENT = 32; // 4 GiB, what four address bytes reach
    const unsigned capacity = flash.jedec_id[2];
    const std::uint64_t says = capacity <= LARGEST_EXPONENT ? std::uint64_t{1} << capacity : 0;
    if (says != flash.size && options_.warn) {
        options_.warn(file_ + ": spi_flash.size: " + std::to_string(flash.size) +
                      " bytes, but the JEDEC ID's capacity byte " + hex(capacity) + " says " +
                      (says != 0 ? std::to_string(says) + " bytes" : "no size") +
                      ": software that sizes the part from its ID sees that");
    }
}

BoardConfig Reader::board(const json& doc)
{
    object(doc, "top level", "with jtag, spi_flash and i2c");
    only_keys(doc, "", {"description", "jtag", "spi_flash", "i2c", "nets", "pulls", "fixed", "faults"});
    BoardConfig board;
    if (doc.contains("description")) {
        (void)text(doc["description"], "description", "a text");
    }
    if (doc.contains("jtag")) {
        const json& jtag = doc["jtag"];
        if (!jtag.is_array() || jtag.size() > MAX_TAPS) {
            fail("jtag", "a list of at most 32 TAPs, TDO first, got " + shown(jtag));
        }
        for (std::size_t i = 0; i < jtag.size(); ++i) {
            board.jtag.push_back(tap(jtag[i], "jtag[" + std::to_string(i) + "]", i));
        }
    }
    board.network = read_network(doc, board.jtag, {file_, directory_});
    if (doc.contains("spi_flash")) {
        board.spi_flash = flash(doc["spi_flash"]);
        check_capacity(*board.spi_flash);
        board.spi_flash_image = image(doc["spi_flash"], "spi_flash", board.spi_flash->size);
        if (doc["spi_flash"].contains("connect")) {
            const auto nets =
                read_connect(doc["spi_flash"]["connect"], "spi_flash.connect", {"cs", "sck", "mosi", "miso"},
                             board.jtag, board.network, {file_, directory_});
            board.spi_flash_connect = SpiNets{nets[0], nets[1], nets[2], nets[3]};
        }
    }
    if (doc.contains("i2c")) {
        const json& i2c = doc["i2c"];
        if (!i2c.is_array()) {
            fail("i2c", "a list of I2C devices, got " + shown(i2c));
        }
        for (std::size_t i = 0; i < i2c.size(); ++i) {
            const std::string where = "i2c[" + std::to_string(i) + "]";
            board.i2c.push_back(i2c_device(i2c[i], where));
            if (i2c[i].contains("connect")) {
                i2c_connect(board, i2c[i]["connect"], where + ".connect");
                board.i2c.back().behind_pins = true;
            }
        }
    }
    check_i2c_addresses(board);
    check_images(board);
    return board;
}

// Set by the build: share/orv/boards relative to the installed programs, and
// the source tree's boards.
#ifndef ORV_BOARD_DIR_FROM_BIN
#define ORV_BOARD_DIR_FROM_BIN "../share/orv/boards"
#endif
#ifndef ORV_SOURCE_BOARD_DIR
#define ORV_SOURCE_BOARD_DIR ""
#endif

} // namespace

BoardFileError::BoardFileError(std::string file, std::string where, std::string expected)
    // A fault of the file as a whole needs no place in it: "b.json: a board
    // file, not a directory".
    : std::runtime_error(file + ": " + (where == "the file" ? "" : where + ": ") + expected),
      file_(std::move(file)), where_(std::move(where)), expected_(std::move(expected))
{
}

namespace {

// Follows the parser through the document: the JSON path of what it is
// reading, for a nesting deeper than MAX_BOARD_FILE_DEPTH (refused before the
// parser builds it) and a key that comes twice in its object (which the
// parser would take silently, keeping the last).
class Structure {
public:
    explicit Structure(std::string file) : file_(std::move(file)) {}

    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed)
    {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            if (open_.size() >= MAX_BOARD_FILE_DEPTH) {
                throw BoardFileError(file_, where(),
                                     "at most " + std::to_string(MAX_BOARD_FILE_DEPTH) +
                                         " levels of objects and lists (a board needs a few)");
            }
            open_.push_back(Level{event == json::parse_event_t::array_start, 0, {}, {}});
            break;
        case json::parse_event_t::key: {
            Level& level = open_.back();
            level.key = parsed.get<std::string>();
            if (!level.keys.insert(level.key).second) {
                throw BoardFileError(file_, where(),
                                     "each key once in an object: \"" + level.key + "\" comes twice");
            }
            break;
        }
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            open_.pop_back();
            element_done();
            break;
        case json::parse_event_t::value:
            element_done();
            break;
        }
        return true;
    }

private:
    struct Level {
        bool list;
        std::size_t index; // list: the element being read
        std::string key;   // object: the member being read
        std::set<std::string> keys;
    };

    void element_done()
    {
        if (!open_.empty() && open_.back().list) {
            ++open_.back().index;
        }
    }

    [[nodiscard]] std::string where() const
    {
        std::string path;
        for (const Level& level : open_) {
            path +=
                level.list ? "[" + std::to_string(level.index) + "]" : (path.empty() ? "" : ".") + level.key;
        }
        return path.empty() ? "top level" : path;
    }

    std::string file_;
    std::vector<Level> open_;
};

} // namespace

BoardConfig parse_board(std::string_view text, const std::filesystem::path& path,
                        const BoardFileOptions& options)
{
    if (text.size() > MAX_BOARD_FILE_BYTES) {
        throw BoardFileError(path.string(), "the file",
                             "a board file of at most " + std::to_string(MAX_BOARD_FILE_BYTES >> 20) +
                                 " MiB");
    }
    json doc;
    try {
        doc = json::parse(text.begin(), text.end(), Structure(path.string()));
    } catch (const json::parse_error& e) {
        // "[json.exception.parse_error.101] parse error at line 3, column 7: ..."
        std::string message = e.what();
        const std::string at = "parse error at ";
        const auto found = message.find(at);
        std::string where = "byte " + std::to_string(e.byte);
        if (found != std::string::npos) {
            message.erase(0, found + at.size());
            const auto colon = message.find(": ");
            where = message.substr(0, colon);
            message = colon == std::string::npos ? "" : message.substr(colon + 2);
        }
        throw BoardFileError(path.string(), where, "JSON (" + message + ")");
    }
    return Reader(path.string(), path.parent_path(), options).board(doc);
}

BoardConfig load_board_file(const std::filesystem::path& path, const BoardFileOptions& options)
{
    std::vector<std::uint8_t> bytes;
    try {
        bytes = hostfile::read_file(path.string(), MAX_BOARD_FILE_BYTES);
    } catch (const hostfile::FileError& e) {
        switch (e.kind()) {
        case hostfile::FileError::Kind::too_large:
            throw BoardFileError(path.string(), "the file",
                                 "a board file of at most " + std::to_string(MAX_BOARD_FILE_BYTES >> 20) +
                                     " MiB; this one holds more");
        case hostfile::FileError::Kind::not_a_file:
            throw BoardFileError(path.string(), "the file", "a board file, not a directory");
        default:
            throw BoardFileError(path.string(), "the file",
                                 std::string("a readable board file: ") + std::strerror(e.error_number()));
        }
    }
    return parse_board(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path,
                       options);
}

std::filesystem::path board_directory()
{
    std::error_code error;
    std::filesystem::path installed;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        installed = (program.parent_path() / ORV_BOARD_DIR_FROM_BIN).lexically_normal();
        if (std::filesystem::is_directory(installed, error)) {
            return installed;
        }
    }
    // Not installed: a program of the build tree reads the source tree's boards.
    if (std::string_view(ORV_SOURCE_BOARD_DIR).size() > 0 &&
        std::filesystem::is_directory(ORV_SOURCE_BOARD_DIR, error)) {
        return ORV_SOURCE_BOARD_DIR;
    }
    return installed;
}

std::optional<std::filesystem::path> find_board(std::string_view name)
{
    std::error_code error;
    const std::filesystem::path given(name);
    if (std::filesystem::exists(given, error) || given.has_parent_path()) {
        return given;
    }
    const std::filesystem::path file =
        given.extension() == ".json" ? given : std::filesystem::path(std::string(name) + ".json");
    const std::filesystem::path directory = board_directory();
    if (!directory.empty() && std::filesystem::exists(directory / file, error)) {
        return directory / file;
    }
    return std::nullopt;
}

std::vector<std::string> board_names(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().extension() == ".json" && entry->is_regular_file(error)) {
            names.push_back(entry->path().stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

BoardConfig load_board(std::string_view name, const BoardFileOptions& options)
{
    if (name.empty()) {
        const auto file = find_board("default");
        return file ? load_board_file(*file, options) : default_board_config();
    }
    const auto file = find_board(name);
    if (!file) {
        // Say where named boards come from and which there are, so that a
        // typo is seen at once.
        const std::filesystem::path directory = board_directory();
        std::string expected = "an existing board file, or the name of a board in " +
                               (directory.empty() ? std::string("share/orv/boards") : directory.string());
        const std::vector<std::string> names = board_names(directory);
        if (names.empty()) {
            expected += " (there are none there)";
        } else {
            expected += ": ";
            for (std::size_t i = 0; i < names.size(); ++i) {
                expected += (i == 0 ? "" : ", ") + names[i];
            }
        }
        throw BoardFileError(std::string(name), "the file", expected);
    }
    return load_board_file(*file, options);
}

std::string board_comment(std::string_view name)
{
    const std::string_view asked = name.empty() ? "default" : name;
    const auto file = find_board(asked);
    return "board: " + (file ? file->string() : std::string(asked) + " (built in)");
}

} // namespace orv::emu
