#include "sim/emulator/board_boundary_scan.hpp"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "lib/formats/bsdl/connections.hpp"
#include "lib/wire/number_text.hpp"
#include "sim/emulator/board_file.hpp"

namespace orv::emu {

namespace {

using nlohmann::json;

constexpr unsigned MAX_EMULATED_IR = 32;
constexpr unsigned MAX_USER_BITS = 64;

std::string listed(std::initializer_list<std::string_view> names)
{
    std::string out;
    for (const std::string_view name : names) {
        out += (out.empty() ? "" : ", ") + std::string(name);
    }
    return out;
}

std::string hex(std::uint64_t value)
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), HEX[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + digits;
}

// The JSON of the keys of this file, with the file's name for refusals.
class Reading {
public:
    explicit Reading(const BoardFileSource& source) : source_(source) {}

    [[noreturn]] void fail(const std::string& where, const std::string& expected) const
    {
        throw BoardFileError(source_.file, where, expected);
    }
    void allow(const json& object, const std::string& where,
               std::initializer_list<std::string_view> keys) const
    {
        for (const auto& item : object.items()) {
            if (std::find(keys.begin(), keys.end(), item.key()) == keys.end()) {
                fail(where + "." + item.key(), "no such key here; expected one of " + listed(keys));
            }
        }
    }
    const json& object(const json& value, const std::string& where, const std::string& what) const
    {
        if (!value.is_object()) {
            fail(where, what + ", got " + value.dump().substr(0, 40));
        }
        return value;
    }
    std::string text(const json& value, const std::string& where, const std::string& what) const
    {
        if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
            fail(where, what + ", got " + value.dump().substr(0, 40));
        }
        return value.get<std::string>();
    }
    std::uint64_t number(const json& value, const std::string& where, const std::string& what,
                         std::uint64_t max) const
    {
        std::optional<std::uint64_t> n;
        if (value.is_number_unsigned()) {
            n = value.get<std::uint64_t>();
        } else if (value.is_string()) {
            n = orv::parse_unsigned(value.get_ref<const std::string&>());
        }
        if (!n || *n > max) {
            fail(where, what + ", got " + value.dump().substr(0, 40));
        }
        return *n;
    }
    bool level(const json& value, const std::string& where) const
    {
        return number(value, where, "a level, 0 or 1", 1) == 1;
    }
    const BoardFileSource& source() const noexcept { return source_; }

private:
    const BoardFileSource& source_;
};

// A BSDL file that exists and reads without a fault.
std::shared_ptr<const bsdl::Device> load_bsdl(const Reading& r, const json& entry, const std::string& where)
{
    const std::string name = r.text(entry, where, "the name of a BSDL file");
    const std::filesystem::path path = r.source().directory / name;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        r.fail(where, "an existing BSDL file: " + path.string() + " is not one");
    }
    bsdl::ParseResult parsed = bsdl::read_file(path);
    if (!parsed.ok()) {
        r.fail(where, "a BSDL file without faults: " + parsed.error.message());
    }
    return std::make_shared<const bsdl::Device>(std::move(*parsed.device));
}

// "instructions": {"USER": "USER1"} (an instruction of the file) or a code.
// Returns the length the file gives the register of a named instruction.
std::optional<unsigned> read_user(const Reading& r, const json& instructions, const std::string& where,
                                  const bsdl::Device& device, TapConfig& tap)
{
    r.object(instructions, where, "the USER instruction, {\"USER\": \"USER1\"}");
    for (const auto& item : instructions.items()) {
        if (item.key() != "USER") {
            r.fail(where + "." + item.key(),
                   "only USER here: the BSDL file gives the opcodes of " + device.entity + "'s instructions");
        }
    }
    if (!instructions.contains("USER")) {
        return std::nullopt;
    }
    const json& user = instructions["USER"];
    const std::string at = where + ".USER";
    std::optional<unsigned> length;
    if (user.is_string() && device.find_instruction(user.get_ref<const std::string&>())) {
        const std::string& name = user.get_ref<const std::string&>();
        for (const std::string_view standard :
             {"BYPASS", "IDCODE", "USERCODE", "SAMPLE", "PRELOAD", "EXTEST", "INTEST", "CLAMP", "HIGHZ"}) {
            if (bsdl::same_name(name, standard)) {
                r.fail(at, "an instruction of the device's own, not " + std::string(standard));
            }
        }
        tap.boundary_scan->user_instruction = opcode_value(device.find_instruction(name)->opcodes.front());
        if (const auto reg = device.data_register(name)) {
            length = reg->length;
        }
    } else {
        const std::uint64_t all = (std::uint64_t{1} << device.instruction_length) - 1;
        tap.boundary_scan->user_instruction =
            static_cast<std::uint32_t>(r.number(user, at,
                                                "an instruction of " + device.entity + " or a code of " +
                                                    std::to_string(device.instruction_length) + " bits",
                                                all));
    }
    if (length && (*length < 1 || *length > MAX_USER_BITS)) {
        r.fail(at, "an instruction whose register has 1 to 64 bits (the emulator's limit), got " +
                       std::to_string(*length));
    }
    return length;
}

} // namespace

TapConfig read_bsdl_tap(const json& entry, const std::string& where, std::size_t index,
                        const BoardFileSource& source)
{
    const Reading r(source);
    r.allow(entry, where, {"name", "bsdl", "ir_length", "idcode", "instructions", "user_length", "drive"});
    TapConfig tap;
    tap.name = entry.contains("name") ? r.text(entry["name"], where + ".name", "a name")
                                      : "tap" + std::to_string(index);
    const auto device = load_bsdl(r, entry["bsdl"], where + ".bsdl");
    const std::string file = entry["bsdl"].get<std::string>();
    if (device->instruction_length > MAX_EMULATED_IR) {
        r.fail(where + ".bsdl", "a device with at most 32 instruction bits (the emulator's limit): " + file +
                                    " has " + std::to_string(device->instruction_length));
    }
    tap.ir_length = device->instruction_length;
    if (entry.contains("ir_length") && r.number(entry["ir_length"], where + ".ir_length",
                                                "an instruction length", MAX_EMULATED_IR) != tap.ir_length) {
        r.fail(where + ".ir_length", "the instruction length of " + file + ", " +
                                         std::to_string(tap.ir_length) + " (or no ir_length), got " +
                                         entry["ir_length"].dump());
    }
    if (!device->instruction_capture.empty()) {
        tap.ir_capture = opcode_value(device->instruction_capture);
    }

    // IDCODE: the file's, X bits as 0, unless the entry names one it allows.
    const bsdl::Instruction* idcode = device->find_instruction("IDCODE");
    tap.has_idcode = device->idcode && idcode != nullptr;
    if (entry.contains("idcode")) {
        const std::string at = where + ".idcode";
        if (!device->idcode) {
            r.fail(at, "no idcode: " + file + " has no IDCODE_REGISTER");
        }
        const std::uint64_t value = r.number(entry["idcode"], at, "a 32-bit IDCODE", 0xFFFFFFFF);
        if (!device->idcode->matches(value)) {
            r.fail(at, "an IDCODE that " + file + " allows, " + bsdl::pattern_text(*device->idcode) +
                           ", got " + hex(value));
        }
        tap.idcode = static_cast<std::uint32_t>(value);
    } else if (device->idcode) {
        tap.idcode = static_cast<std::uint32_t>(device->idcode->value);
    }
    tap.idcode_instruction = tap.has_idcode ? opcode_value(idcode->opcodes.front()) : 0;
    tap.bypass_instruction = opcode_value(*device->opcode("BYPASS"));
    tap.user_instruction = tap.bypass_instruction; // the decoder comes from the file

    tap.boundary_scan = BoundaryScanConfig{device, std::vector<std::int8_t>(device->pins.size(), -1), {}};
    std::optional<unsigned> file_length;
    if (entry.contains("instructions")) {
        file_length = read_user(r, entry["instructions"], where + ".instructions", *device, tap);
        tap.user_length = file_length.value_or(tap.user_length);
    }
    if (entry.contains("user_length")) {
        const std::string at = where + ".user_length";
        const auto bits = static_cast<unsigned>(
            r.number(entry["user_length"], at, "a USER register length from 1 to 64", MAX_USER_BITS));
        if (bits < 1) {
            r.fail(at, "a USER register length from 1 to 64, got 0");
        }
        if (file_length && bits != *file_length) {
            r.fail(at, "the length " + file + " gives the USER register, " + std::to_string(*file_length) +
                           " (or no user_length), got " + std::to_string(bits));
        }
        tap.user_length = bits;
    }

    // "drive": the pins the device drives in its normal function.
    if (entry.contains("drive")) {
        const std::string at = where + ".drive";
        for (const auto& [name, level] :
             r.object(entry["drive"], at, "levels by pin, {\"PA0\": 1}").items()) {
            const auto pin = device->find_pin(name);
            if (!pin) {
                std::string nearest;
                for (const std::string& n : device->nearest_pins(name)) {
                    nearest += (nearest.empty() ? "" : ", ") + n;
                }
                r.fail(at + "." + name, "a pin of " + device->entity + "; nearest: " + nearest);
            }
            if (!device->pins[*pin].output_cell) {
                r.fail(at + "." + name,
                       "a pin " + device->entity + " can drive: " + name + " has no output cell");
            }
            tap.boundary_scan->normal_drive[*pin] = r.level(level, at + "." + name) ? 1 : 0;
        }
    }
    return tap;
}

NetworkConfig read_network(const json& doc, const std::vector<TapConfig>& taps, const BoardFileSource& source)
{
    const Reading r(source);
    std::vector<bsdl::NamedDevice> devices;
    std::vector<std::size_t> tap_of;
    for (std::size_t t = 0; t < taps.size(); ++t) {
        if (!taps[t].boundary_scan) {
            continue;
        }
        for (std::size_t d = 0; d < devices.size(); ++d) {
            if (bsdl::same_name(devices[d].name, taps[t].name)) {
                r.fail("jtag[" + std::to_string(t) + "].name",
                       "a name no other TAP with a bsdl has: " + taps[t].name + " is also jtag[" +
                           std::to_string(tap_of[d]) + "]'s");
            }
        }
        devices.push_back({taps[t].name, taps[t].boundary_scan->device.get()});
        tap_of.push_back(t);
    }
    bsdl::Connections connections;
    if (const auto problem = bsdl::read_connections(doc, devices, connections)) {
        r.fail(problem->where, problem->expected);
    }
    NetworkConfig network;
    for (const bsdl::Net& net : connections.nets) {
        NetConfig wired{net.name, {}, std::nullopt, std::nullopt};
        for (const bsdl::PinRef& pin : net.pins) {
            wired.pins.push_back({tap_of[pin.device], pin.pin});
        }
        if (net.pull != bsdl::Pull::none) {
            wired.pull = net.pull == bsdl::Pull::up;
        }
        network.nets.push_back(std::move(wired));
    }
    const auto net_named = [&](const json& name, const std::string& at) {
        const std::string text = r.text(name, at, "the name of a net of \"nets\"");
        const auto net = connections.find_net(text);
        if (!net) {
            r.fail(at, "a net of \"nets\", got \"" + text + "\"");
        }
        return *net;
    };

    if (doc.contains("fixed")) {
        for (const auto& [name, level] :
             r.object(doc["fixed"], "fixed", "levels by net, {\"BOOT0\": 0}").items()) {
            const std::size_t net = net_named(name, "fixed." + name);
            network.nets[net].fixed = r.level(level, "fixed." + name);
        }
    }
    if (!doc.contains("faults")) {
        return network;
    }
    const json& faults = doc["faults"];
    if (!faults.is_array()) {
        r.fail("faults", "a list of faults ({\"open\": PIN}, {\"short\": [NET, NET], \"as\": \"and\"}, "
                         "{\"stuck\": NET, \"value\": 0})");
    }
    std::vector<std::size_t> short_fault; // faults index of each of network.shorts
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const std::string at = "faults[" + std::to_string(i) + "]";
        const json& fault = r.object(faults[i], at, "a fault: open, short or stuck");
        const auto kinds = fault.contains("open") + fault.contains("short") + fault.contains("stuck");
        if (kinds != 1) {
            r.fail(at, "one of open, short and stuck");
        }
        if (fault.contains("open")) {
            r.allow(fault, at, {"open"});
            const std::string text = r.text(fault["open"], at + ".open", "a pin DEVICE.PORT");
            const bsdl::PinLookup lookup = bsdl::find_pin(text, devices);
            if (!lookup.pin) {
                r.fail(at + ".open", lookup.problem);
            }
            if (!connections.net_of(*lookup.pin)) {
                r.fail(at + ".open", "a pin on a net: " + text + " is on none");
            }
            network.open.push_back({tap_of[lookup.pin->device], lookup.pin->pin});
        } else if (fault.contains("short")) {
            r.allow(fault, at, {"short", "as"});
            const json& nets = fault["short"];
            if (!nets.is_array() || nets.size() < 2) {
                r.fail(at + ".short", "a list of two or more nets");
            }
            ShortFault joined;
            for (std::size_t k = 0; k < nets.size(); ++k) {
                const std::size_t net = net_named(nets[k], at + ".short[" + std::to_string(k) + "]");
                if (std::find(joined.nets.begin(), joined.nets.end(), net) != joined.nets.end()) {
                    r.fail(at + ".short[" + std::to_string(k) + "]", "a net not named before in this short");
                }
                joined.nets.push_back(net);
            }
            if (fault.contains("as")) {
                const json& as = fault["as"];
                if (as != "and" && as != "or") {
                    r.fail(at + ".as", "\"and\" or \"or\" (how the shorted nets combine), got " + as.dump());
                }
                joined.wired_or = as == "or";
            }
            // Nets joined by several shorts combine one way.
            for (std::size_t s = 0; s < network.shorts.size(); ++s) {
                const ShortFault& other = network.shorts[s];
                const bool shared = std::any_of(joined.nets.begin(), joined.nets.end(), [&](std::size_t n) {
                    return std::find(other.nets.begin(), other.nets.end(), n) != other.nets.end();
                });
                if (shared && other.wired_or != joined.wired_or) {
                    r.fail(at + ".as", std::string("\"") + (other.wired_or ? "or" : "and") + "\" as faults[" +
                                           std::to_string(short_fault[s]) + "], which joins the same nets");
                }
            }
            network.shorts.push_back(std::move(joined));
            short_fault.push_back(i);
        } else {
            r.allow(fault, at, {"stuck", "value"});
            const std::size_t net = net_named(fault["stuck"], at + ".stuck");
            if (!fault.contains("value")) {
                r.fail(at + ".value", "the level the net is stuck at, 0 or 1, which is missing");
            }
            network.stuck.push_back({net, r.level(fault["value"], at + ".value")});
        }
    }
    return network;
}

std::vector<std::size_t> read_connect(const json& connect, const std::string& where,
                                      const std::vector<std::string>& roles,
                                      const std::vector<TapConfig>& taps, NetworkConfig& network,
                                      const BoardFileSource& source)
{
    const Reading r(source);
    std::string wanted;
    for (const std::string& role : roles) {
        wanted += (wanted.empty() ? "" : ", ") + role;
    }
    r.object(connect, where, "the pins it hangs on by role (" + wanted + "), each TAP.PORT");
    std::vector<bsdl::NamedDevice> devices;
    std::vector<std::size_t> tap_of;
    for (std::size_t t = 0; t < taps.size(); ++t) {
        if (taps[t].boundary_scan) {
            devices.push_back({taps[t].name, taps[t].boundary_scan->device.get()});
            tap_of.push_back(t);
        }
    }
    std::vector<std::size_t> nets;
    for (const std::string& role : roles) {
        const std::string at = where + "." + role;
        if (!connect.contains(role)) {
            r.fail(at, "the pin of " + role + " (TAP.PORT), which is missing");
        }
        const std::string text = r.text(connect[role], at, "a pin TAP.PORT of a jtag entry with a bsdl");
        const bsdl::PinLookup lookup = bsdl::find_pin(text, devices);
        if (!lookup.pin) {
            r.fail(at, lookup.problem);
        }
        const NetPin pin{tap_of[lookup.pin->device], lookup.pin->pin};
        std::optional<std::size_t> net;
        for (std::size_t n = 0; n < network.nets.size() && !net; ++n) {
            const auto& pins = network.nets[n].pins;
            if (std::find(pins.begin(), pins.end(), pin) != pins.end()) {
                net = n;
            }
        }
        if (!net) {
            net = network.nets.size();
            network.nets.push_back(NetConfig{text, {pin}, std::nullopt, std::nullopt});
        }
        if (std::find(nets.begin(), nets.end(), *net) != nets.end()) {
            r.fail(at, "a pin on a net of its own: " + text + " shares its net with another role here");
        }
        nets.push_back(*net);
    }
    for (const auto& item : connect.items()) {
        if (std::find(roles.begin(), roles.end(), item.key()) == roles.end()) {
            r.fail(where + "." + item.key(), "no such key here; expected one of " + wanted);
        }
    }
    return nets;
}

} // namespace orv::emu
