#include "lib/formats/bsdl/connections.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

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

namespace {

// A fault of the document's shape, found as the parser goes.
struct ShapeFault {
    std::string path, message;
};

// The parser's events kept as the path of what it reads: per open object
// its keys so far, per open list its element.
class Shape {
public:
    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed)
    {
        using Event = json::parse_event_t;
        if (event == Event::object_start || event == Event::array_start) {
            if (open_.size() == MAX_JSON_DEPTH) {
                throw ShapeFault{path(), "at most " + std::to_string(MAX_JSON_DEPTH) +
                                             " levels of objects and lists"};
            }
            open_.push_back({event == Event::array_start, 0, {}, {}});
        } else if (event == Event::key) {
            open_.back().key = parsed.get<std::string>();
            if (!open_.back().keys.insert(open_.back().key).second) {
                throw ShapeFault{path(),
                                 "each key once in an object: \"" + open_.back().key + "\" is given again"};
            }
        } else {
            if (event == Event::object_end || event == Event::array_end) {
                open_.pop_back();
            }
            if (!open_.empty() && open_.back().list) {
                ++open_.back().element;
            }
        }
        return true;
    }

private:
    struct Open {
        bool list;
        std::size_t element;
        std::string key;
        std::set<std::string> keys;
    };
    [[nodiscard]] std::string path() const
    {
        std::string out;
        for (const Open& o : open_) {
            out += o.list ? "[" + std::to_string(o.element) + "]" : (out.empty() ? "" : ".") + o.key;
        }
        return out.empty() ? "(the document)" : out;
    }
    std::vector<Open> open_;
};

// Line and column (from 1) of an offset.
void place(std::string_view text, std::size_t at, JsonSyntaxError& error)
{
    at = std::min(at, text.size());
    const std::string_view before = text.substr(0, at);
    const std::size_t newline = before.rfind('\n');
    error.line = static_cast<unsigned>(std::count(before.begin(), before.end(), '\n') + 1);
    error.column = static_cast<unsigned>(newline == std::string_view::npos ? at + 1 : at - newline);
}

} // namespace

std::optional<json> parse_json(std::string_view text, JsonSyntaxError& error)
{
    error = {};
    try {
        return json::parse(text.begin(), text.end(), Shape());
    } catch (const ShapeFault& fault) {
        error.path = fault.path;
        error.message = fault.message;
    } catch (const json::parse_error& e) {
        // e.byte is 1-based: the character where parsing stopped.
        place(text, e.byte == 0 ? 0 : e.byte - 1, error);
        // "[json.exception.parse_error.101] parse error at line 3, column 7: what"
        const std::string message = e.what();
        const std::size_t colon = message.find(": ", message.find("parse error"));
        error.message = "JSON (" + (colon == std::string::npos ? message : message.substr(colon + 2)) + ")";
    } catch (const json::out_of_range& e) {
        // "number overflow parsing '1e999'": placed at the number, which is
        // not repeated whole.
        const std::string message = e.what();
        const std::size_t quote = message.find('\'');
        const std::string number =
            quote == std::string::npos ? "" : message.substr(quote + 1, message.size() - quote - 2);
        const std::size_t at = number.empty() ? std::string_view::npos : text.find(number);
        place(text, at == std::string_view::npos ? 0 : at, error);
        error.message = "a number a double can hold, got " +
                        (number.size() <= LONGEST_SHOWN ? number
                                                        : number.substr(0, 12) + "... (" +
                                                              std::to_string(number.size()) + " characters)");
    } catch (const std::exception&) {
        error.message = "a JSON document that fits in the memory at hand";
    }
    return std::nullopt;
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
        std::map<std::string_view, std::size_t> net_named;
        for (std::size_t k = 0; k < out.nets.size(); ++k) {
            net_named.emplace(out.nets[k].name, k);
        }
        for (const auto& [name, pull] : pulls.items()) {
            const std::string where = "pulls." + name;
            const auto found = net_named.find(name);
            const auto net =
                found == net_named.end() ? std::nullopt : std::optional<std::size_t>(found->second);
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
