#include "lib/formats/bsdl/connections.hpp"

#include <algorithm>
#include <cctype>
#include <map>

#include <nlohmann/json.hpp>

#include "lib/formats/bsdl/bsdl_lexer.hpp"

namespace orv::bsdl {

using nlohmann::json;

namespace {

constexpr std::size_t LONGEST_SHOWN = 40;

std::string shown(const json& value)
{
    const std::string text = value.dump();
    return text.size() <= LONGEST_SHOWN ? text : text.substr(0, LONGEST_SHOWN - 3) + "...";
}

std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const std::string& name : names) {
        out += (out.empty() ? "" : ", ") + name;
    }
    return out;
}

const char* const PIN_FORM = "a pin DEVICE.PORT such as \"U1.PB7\" or \"U1.D(3)\"";

} // namespace

std::optional<std::size_t> Connections::find_net(std::string_view name) const
{
    const auto found = std::find_if(nets.begin(), nets.end(), [&](const Net& n) { return n.name == name; });
    return found == nets.end() ? std::nullopt : std::optional<std::size_t>(found - nets.begin());
}

std::optional<std::size_t> Connections::net_of(PinRef pin) const
{
    for (std::size_t i = 0; i < nets.size(); ++i) {
        if (std::find(nets[i].pins.begin(), nets[i].pins.end(), pin) != nets[i].pins.end()) {
            return i;
        }
    }
    return std::nullopt;
}

PinLookup find_pin(std::string_view text, std::span<const NamedDevice> devices)
{
    // Port names have no '.', device names might.
    const std::size_t dot = text.rfind('.', text.find('('));
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) {
        return {std::nullopt, std::string(PIN_FORM) + ", got \"" + std::string(text) + "\""};
    }
    const std::string_view device_name = text.substr(0, dot);
    const std::string_view port = text.substr(dot + 1);
    const auto device = std::find_if(devices.begin(), devices.end(),
                                     [&](const NamedDevice& d) { return same_name(d.name, device_name); });
    if (device == devices.end()) {
        std::vector<std::string> names;
        for (const NamedDevice& d : devices) {
            names.push_back(d.name);
        }
        return {std::nullopt, "a known device (" +
                                  (names.empty() ? std::string("there is none") : joined(names)) +
                                  "), got \"" + std::string(device_name) + "\""};
    }
    if (device->device == nullptr) {
        return {std::nullopt, {}};
    }
    const Device& model = *device->device;
    if (const auto pin = model.find_pin(port)) {
        return {PinRef{static_cast<std::size_t>(device - devices.begin()), *pin}, {}};
    }
    return {std::nullopt, "a pin of " + device->name + " (" + model.entity + "), got \"" + std::string(port) +
                              "\"; nearest: " + joined(model.nearest_pins(port))};
}

std::string pin_text(PinRef pin, std::span<const NamedDevice> devices)
{
    const NamedDevice& device = devices[pin.device];
    return device.name + "." + device.device->pins[pin.pin].name;
}

std::optional<json> parse_json(std::string_view text, JsonSyntaxError& error)
{
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::parse_error& e) {
        // e.byte is 1-based: the character where parsing stopped.
        const std::size_t at = std::min<std::size_t>(e.byte == 0 ? 0 : e.byte - 1, text.size());
        const std::string_view before = text.substr(0, at);
        const std::size_t newline = before.rfind('\n');
        error.line = static_cast<unsigned>(std::count(before.begin(), before.end(), '\n') + 1);
        error.column = static_cast<unsigned>(newline == std::string_view::npos ? at + 1 : at - newline);
        // "[json.exception.parse_error.101] parse error at line 3, column 7: what"
        const std::string message = e.what();
        const std::size_t colon = message.find(": ", message.find("parse error"));
        error.message = colon == std::string::npos ? message : message.substr(colon + 2);
        return std::nullopt;
    }
}

std::optional<JsonProblem> read_connections(const json& doc, std::span<const NamedDevice> devices,
                                            Connections& out)
{
    out = {};
    std::map<PinRef, std::string> placed;      // pin -> the net it is on
    std::map<std::string, std::string> others; // a pin without boundary scan, in upper case -> its net
    if (doc.contains("nets")) {
        const json& nets = doc["nets"];
        if (!nets.is_object()) {
            return JsonProblem{"nets", "an object of nets, each a list of pins, got " + shown(nets)};
        }
        for (const auto& [name, pins] : nets.items()) {
            const std::string where = "nets." + name;
            if (name.empty()) {
                return JsonProblem{where, "a net name that is not empty"};
            }
            if (!pins.is_array() || pins.empty()) {
                return JsonProblem{where, "a list of at least one pin, got " + shown(pins)};
            }
            Net net{name, {}, Pull::none, {}};
            for (std::size_t i = 0; i < pins.size(); ++i) {
                const std::string at = where + "[" + std::to_string(i) + "]";
                if (!pins[i].is_string()) {
                    return JsonProblem{at, std::string(PIN_FORM) + ", got " + shown(pins[i])};
                }
                const std::string& text = pins[i].get_ref<const std::string&>();
                const PinLookup lookup = find_pin(text, devices);
                if (!lookup.pin && !lookup.problem.empty()) {
                    return JsonProblem{at, lookup.problem};
                }
                if (!lookup.pin) {
                    std::string folded = text;
                    std::transform(folded.begin(), folded.end(), folded.begin(),
                                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
                    const auto [before, added] = others.emplace(folded, name);
                    if (!added) {
                        return JsonProblem{at, "a pin on one net only: " + text + " is already on net " +
                                                   before->second};
                    }
                    net.other_pins.push_back(text);
                    continue;
                }
                const auto [before, added] = placed.emplace(*lookup.pin, name);
                if (!added) {
                    return JsonProblem{at, "a pin on one net only: " + pin_text(*lookup.pin, devices) +
                                               " is already on net " + before->second};
                }
                net.pins.push_back(*lookup.pin);
            }
            out.nets.push_back(std::move(net));
        }
    }
    if (doc.contains("pulls")) {
        const json& pulls = doc["pulls"];
        if (!pulls.is_object()) {
            return JsonProblem{"pulls", "an object of nets, each \"up\" or \"down\", got " + shown(pulls)};
        }
        for (const auto& [name, pull] : pulls.items()) {
            const std::string where = "pulls." + name;
            const auto net = out.find_net(name);
            if (!net) {
                return JsonProblem{where, "a net of \"nets\", got \"" + name + "\""};
            }
            if (pull != "up" && pull != "down") {
                return JsonProblem{where, "\"up\" or \"down\", got " + shown(pull)};
            }
            out.nets[*net].pull = pull == "up" ? Pull::up : Pull::down;
        }
    }
    return std::nullopt;
}

} // namespace orv::bsdl
