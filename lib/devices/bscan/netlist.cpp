#include "lib/devices/bscan/netlist.hpp"

#include <algorithm>
#include <initializer_list>
#include <map>

#include <nlohmann/json.hpp>

#include "lib/wire/number_text.hpp"
#include "lib/wire/value_text.hpp"

#include "orv_devices.h"

namespace orv::dev::bscan {

namespace {

using nlohmann::json;

// A netlist larger than this is no netlist.
constexpr std::size_t MAX_NETLIST_BYTES = std::size_t{16} << 20;
// What its BSDL files may hold in all: the largest makers' files are a few
// MiB, and reading this much takes well under a second.
constexpr std::uintmax_t MAX_NETLIST_BSDL_BYTES = std::uintmax_t{32} << 20;
constexpr unsigned MAX_TAP = ORVDEV_JTAG_MAX_DEVICES - 1;

std::string message_of(const std::string& file, unsigned line, unsigned column, const std::string& path,
                       const std::string& reason)
{
    if (!path.empty()) {
        return file + ": " + path + ": " + reason;
    }
    if (line != 0) {
        return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + reason;
    }
    return file + ": " + reason;
}

std::string shown(const json& value)
{
    constexpr std::size_t LONGEST = 40;
    const std::string text = value.dump();
    return text.size() <= LONGEST ? text : text.substr(0, LONGEST - 3) + "...";
}

std::string listed(std::initializer_list<const char*> names)
{
    std::string out;
    for (const char* name : names) {
        out += (out.empty() ? "" : ", ") + std::string(name);
    }
    return out;
}

[[noreturn]] void mismatch(const std::string& message)
{
    throw Failure(ORVDEV_ERROR_BSDL_MISMATCH, message,
                  "check the netlist's devices against orvtool jtag scan (TAP 0 is nearest TDO)");
}

// The netlist being read: its name in refusals and the directory its BSDL
// paths start from.
class Reader {
public:
    Reader(std::string file, std::filesystem::path directory, std::span<const BsdlFile> candidates,
           bool bsdl_anywhere)
        : file_(std::move(file)), directory_(std::move(directory)), candidates_(candidates),
          bsdl_anywhere_(bsdl_anywhere)
    {
    }

    [[noreturn]] void fail(const std::string& where, const std::string& reason) const
    {
        throw BadInput(file_, 0, 0, where, reason);
    }

    void allow(const json& object, const std::string& where, std::initializer_list<const char*> keys) const
    {
        for (const auto& item : object.items()) {
            if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return item.key() == k; })) {
                fail(where.empty() ? item.key() : where + "." + item.key(),
                     "no such key here; expected one of " + listed(keys));
            }
        }
    }

    std::uint64_t number(const json& value, const std::string& where, std::uint64_t most,
                         const std::string& what) const
    {
        std::optional<std::uint64_t> n;
        if (value.is_number_unsigned()) {
            n = value.get<std::uint64_t>();
        } else if (value.is_string()) {
            n = parse_unsigned(value.get_ref<const std::string&>());
        }
        if (!n || *n > most) {
            fail(where, what + ", got " + shown(value));
        }
        return *n;
    }

    Netlist read(const json& doc)
    {
        if (!doc.is_object()) {
            fail("(the document)", "an object with \"devices\" and \"nets\", got " + shown(doc));
        }
        allow(doc, "", {"description", "devices", "nets", "pulls", "leave"});
        Netlist n;
        n.file = file_;
        if (!doc.contains("devices") || !doc["devices"].is_object() || doc["devices"].empty()) {
            fail("devices",
                 "an object of devices, each with a chain position (\"tap\") or an \"idcode\" and a "
                 "\"bsdl\" file");
        }
        for (const auto& [name, entry] : doc["devices"].items()) {
            n.devices.push_back(device(name, entry, n.devices));
        }
        for (const NetlistDevice& d : n.devices) {
            n.named.push_back(bsdl::NamedDevice{d.name, d.file ? &d.file->boundary->device() : nullptr});
        }
        if (const auto problem = bsdl::read_connections(doc, n.named, n.connections)) {
            fail(problem->where, problem->expected);
        }
        check_pins(doc, n);
        if (doc.contains("leave")) {
            leave(doc["leave"], n);
        }
        return n;
    }

private:
    NetlistDevice device(const std::string& name, const json& entry, const std::vector<NetlistDevice>& before)
    {
        const std::string where = "devices." + name;
        if (!entry.is_object()) {
            fail(where, "an object such as {\"tap\": 0, \"bsdl\": \"u1.bsd\"}, or {} for a part without "
                        "boundary scan, got " +
                            shown(entry));
        }
        if (name.empty() || name.find('.') != std::string::npos) {
            fail(where, "a device name without '.' (pins are written DEVICE.PORT)");
        }
        allow(entry, where, {"tap", "idcode", "bsdl"});
        NetlistDevice d;
        d.name = name;
        if (entry.contains("tap")) {
            d.tap = static_cast<unsigned>(
                number(entry["tap"], where + ".tap", MAX_TAP,
                       "a chain position 0.." + std::to_string(MAX_TAP) + " (0 is nearest TDO)"));
            for (const NetlistDevice& other : before) {
                if (other.tap == d.tap) {
                    fail(where + ".tap", "a position no other device has: " + std::to_string(*d.tap) +
                                             " is " + other.name + "'s");
                }
            }
        }
        if (entry.contains("idcode")) {
            const auto id = number(entry["idcode"], where + ".idcode", 0xFFFFFFFF, "a 32-bit IDCODE");
            if ((id & 1) == 0) {
                fail(where + ".idcode", "an IDCODE with bit 0 set, got " + hex(id, 8));
            }
            d.idcode = static_cast<std::uint32_t>(id);
        }
        if (entry.contains("bsdl")) {
            d.file = bsdl_file(entry["bsdl"], where + ".bsdl");
        } else if (d.idcode) {
            for (const BsdlFile& c : candidates_) {
                const auto& id = c.boundary->device().idcode;
                if (id && id->matches(*d.idcode)) {
                    d.file = c;
                    break;
                }
            }
            if (!d.file) {
                fail(where, "a \"bsdl\" file: none of the BSDL files given has IDCODE " + hex(*d.idcode, 8));
            }
        }
        if (d.file && !d.tap && !d.idcode) {
            fail(where, "a chain position (\"tap\") or an \"idcode\" to find the device in the chain by");
        }
        if (!d.file && (d.tap || d.idcode)) {
            fail(where, "a \"bsdl\" file for a device in the chain");
        }
        if (d.file && d.idcode && d.file->boundary->device().idcode &&
            !d.file->boundary->device().idcode->matches(*d.idcode)) {
            fail(where + ".idcode", "the IDCODE of " + d.file->path + ", " +
                                        bsdl::pattern_text(*d.file->boundary->device().idcode) + ", got " +
                                        hex(*d.idcode, 8));
        }
        return d;
    }

    // Every pin of a net an I/O, and at most one pin of a net that always
    // drives it.
    void check_pins(const json& doc, const Netlist& n) const
    {
        if (!doc.contains("nets")) {
            return;
        }
        for (const auto& [name, pins] : doc["nets"].items()) {
            std::vector<std::string> always;
            for (std::size_t i = 0; i < pins.size(); ++i) {
                const auto lookup = bsdl::find_pin(pins[i].get_ref<const std::string&>(), n.named);
                if (!lookup.pin) {
                    continue; // a part without boundary scan
                }
                const Boundary& b = *n.devices[lookup.pin->device].file->boundary;
                const auto cells = b.cells_of(lookup.pin->pin);
                const std::string text = n.pin_text(*lookup.pin);
                if (!cells) {
                    const bsdl::Port& port = b.device().ports[b.device().pins[lookup.pin->pin].port];
                    fail("nets." + name + "[" + std::to_string(i) + "]",
                         "an I/O pin: " + text + " has no boundary-scan cell (" +
                             std::string(port.direction == bsdl::Direction::linkage ? "a linkage port"
                                                                                    : "a TAP or other port") +
                             ")");
                }
                if (b.pins()[*cells].direction == PinDirection::out) {
                    always.push_back(text);
                }
            }
            if (always.size() > 1) {
                fail("nets." + name, "one driver per net: " + always[0] + " and " + always[1] +
                                         " are two-state outputs, which drive at all times");
            }
        }
    }

    void leave(const json& list, Netlist& n) const
    {
        if (!list.is_array()) {
            fail("leave", "a list of pins to leave alone, got " + shown(list));
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string at = "leave[" + std::to_string(i) + "]";
            if (!list[i].is_string()) {
                fail(at, "a pin DEVICE.PORT, got " + shown(list[i]));
            }
            const auto lookup = bsdl::find_pin(list[i].get_ref<const std::string&>(), n.named);
            if (!lookup.problem.empty()) {
                fail(at, lookup.problem);
            }
            if (lookup.pin) {
                n.leave.push_back(*lookup.pin);
            }
        }
    }

    // A BSDL file the netlist names: in its directory or below it unless
    // allowed anywhere (a netlist from elsewhere must not read, and quote,
    // any file of the host), each read once however often it is named.
    BsdlFile bsdl_file(const json& value, const std::string& where)
    {
        if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
            fail(where, "the path of a BSDL file, got " + shown(value));
        }
        const std::filesystem::path given(value.get_ref<const std::string&>());
        const std::filesystem::path normal = given.lexically_normal();
        if (!bsdl_anywhere_ && (given.is_absolute() || (!normal.empty() && *normal.begin() == ".."))) {
            fail(where, "a BSDL file in the netlist's directory or below it, got " + shown(value));
        }
        const std::filesystem::path path = given.is_absolute() ? given : directory_ / given;
        const auto known = read_.find(path.lexically_normal().string());
        if (known != read_.end()) {
            return known->second;
        }
        if (read_.size() == MAX_TAP + 1) {
            fail(where, "at most " + std::to_string(MAX_TAP + 1) + " BSDL files (a chain has at most " +
                            std::to_string(MAX_TAP + 1) + " TAPs)");
        }
        std::error_code error;
        const std::uintmax_t bytes = std::filesystem::file_size(path, error);
        bytes_ += error ? 0 : bytes;
        if (bytes_ > MAX_NETLIST_BSDL_BYTES) {
            fail(where, "BSDL files of at most " + size_text(MAX_NETLIST_BSDL_BYTES) + " in all");
        }
        return read_.emplace(path.lexically_normal().string(), read_bsdl(path)).first->second;
    }

    std::string file_;
    std::filesystem::path directory_;
    std::span<const BsdlFile> candidates_;
    bool bsdl_anywhere_;
    std::map<std::string, BsdlFile> read_;
    std::uintmax_t bytes_ = 0;
};

} // namespace

BadInput::BadInput(std::string file, unsigned line, unsigned column, std::string path, std::string reason)
    : Failure(ORVDEV_ERROR_BAD_INPUT, message_of(file, line, column, path, reason),
              "fix the file: nothing was sent"),
      file_(std::move(file)), line_(line), column_(column), path_(std::move(path)), reason_(std::move(reason))
{
}

BsdlFile read_bsdl(const std::filesystem::path& path)
{
    bsdl::ParseResult r = bsdl::read_file(path);
    if (!r.ok()) {
        throw BadInput(r.error.file, r.error.line, r.error.column, {}, "expected " + r.error.expected);
    }
    return BsdlFile{path.string(), std::make_shared<const Boundary>(
                                       std::make_shared<const bsdl::Device>(std::move(*r.device)))};
}

std::string Netlist::pin_text(bsdl::PinRef pin) const
{
    return bsdl::pin_text(pin, named);
}

std::vector<std::optional<std::size_t>> place_devices(const Netlist& netlist, const chain::Chain& chain)
{
    const auto taps = chain.devices.size();
    std::vector<std::optional<std::size_t>> placed(netlist.devices.size());
    std::vector<const NetlistDevice*> on_tap(taps, nullptr);
    for (std::size_t d = 0; d < netlist.devices.size(); ++d) {
        const NetlistDevice& device = netlist.devices[d];
        if (!device.file) {
            continue;
        }
        const bsdl::Device& file = device.file->boundary->device();
        const std::uint64_t care = file.idcode ? file.idcode->care : 0xFFFFFFFF;
        const auto has_idcode = [&](std::size_t t) {
            const auto& id = chain.devices[t].idcode;
            return id && ((id->raw ^ *device.idcode) & care) == 0;
        };
        std::size_t t = 0;
        if (device.tap) {
            t = *device.tap;
            if (t >= taps) {
                mismatch(device.name + " is at chain position " + std::to_string(t) + ", the chain has " +
                         count_text(taps, "TAP"));
            }
            if (device.idcode && !has_idcode(t)) {
                mismatch(device.name + " has IDCODE " + hex(*device.idcode, 8) + ", TAP " +
                         std::to_string(t) + " does not");
            }
        } else {
            std::vector<std::size_t> found;
            for (std::size_t k = 0; k < taps; ++k) {
                if (has_idcode(k)) {
                    found.push_back(k);
                }
            }
            if (found.size() != 1) {
                mismatch(found.empty() ? "no TAP of the chain has " + device.name + "'s IDCODE " +
                                             hex(*device.idcode, 8)
                                       : count_text(found.size(), "TAP") + " have " + device.name +
                                             "'s IDCODE " + hex(*device.idcode, 8) + ": give its \"tap\"");
            }
            t = found.front();
        }
        const chain::Device& tap = chain.devices[t];
        if (tap.idcode && file.idcode && !file.idcode->matches(tap.idcode->raw)) {
            mismatch(device.name + "'s BSDL file (" + file.entity + ") is for IDCODE " +
                     bsdl::pattern_text(*file.idcode) + ", TAP " + std::to_string(t) + " reads " +
                     hex(tap.idcode->raw, 8));
        }
        if (tap.ir_length && *tap.ir_length != file.instruction_length) {
            mismatch(device.name + "'s BSDL file (" + file.entity + ") has an instruction register of " +
                     count_text(file.instruction_length, "bit") + ", TAP " + std::to_string(t) + " has " +
                     std::to_string(*tap.ir_length));
        }
        if (on_tap[t] != nullptr) {
            mismatch(device.name + " and " + on_tap[t]->name + " are both at TAP " + std::to_string(t));
        }
        on_tap[t] = &device;
        placed[d] = t;
    }
    return placed;
}

Netlist read_netlist(const std::filesystem::path& path, std::span<const BsdlFile> candidates,
                     bool bsdl_anywhere)
{
    const std::string file = path.string();
    bsdl::FileText read = bsdl::read_regular_file(path, MAX_NETLIST_BYTES);
    if (read.problem.starts_with("larger than")) {
        throw BadInput(file, 0, 0, {}, "a netlist of at most " + size_text(MAX_NETLIST_BYTES));
    }
    if (!read.problem.empty()) {
        throw BadInput(file, 0, 0, {},
                       "a readable netlist" +
                           (read.problem.starts_with("not a ") ? ", " + read.problem : ": " + read.problem));
    }
    return parse_netlist(read.text, file, path.parent_path(), candidates, bsdl_anywhere);
}

Netlist parse_netlist(std::string_view text, const std::string& file, const std::filesystem::path& directory,
                      std::span<const BsdlFile> candidates, bool bsdl_anywhere)
{
    bsdl::JsonSyntaxError syntax;
    const auto doc = bsdl::parse_json(text, syntax);
    if (!doc) {
        throw BadInput(file, syntax.line, syntax.column, syntax.path, syntax.message);
    }
    return Reader(file, directory, candidates, bsdl_anywhere).read(*doc);
}

} // namespace orv::dev::bscan
