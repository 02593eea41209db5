// The nets of a board, as board files and netlists write them in JSON, read
// onto the BSDL models of the devices they connect:
//
//   "nets":  {"SDA": ["U1.PB7", "U2.PA3"], "D3": ["U1.D(3)", "U2.DATA(3)"]},
//   "pulls": {"SDA": "up", "RST_N": "down"}
//
// A pin is DEVICE.PORT, or DEVICE.PORT(INDEX) for an element of a vector
// port, in any letter case (net names are kept as written). Each pin is on
// one net at most. A device without a model (a part without boundary scan:
// a connector, a resistor) takes any pin name; its pins are kept as written.
// Problems are returned with the JSON path and what was expected there;
// nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "lib/formats/bsdl/bsdl.hpp"

namespace orv::bsdl {

// A device of the board or netlist by the name nets use for it.
struct NamedDevice {
    std::string name;
    const Device* device = nullptr; // null: a part without boundary scan
};

struct PinRef {
    std::size_t device = 0; // index into the NamedDevice list
    std::size_t pin = 0;    // index into its Device::pins
    auto operator<=>(const PinRef&) const = default;
};

enum class Pull : std::uint8_t { none, up, down };

struct Net {
    std::string name;
    std::vector<PinRef> pins;
    Pull pull = Pull::none;
    std::vector<std::string> other_pins; // pins of parts without boundary scan, as written
    bool operator==(const Net&) const = default;
};

struct Connections {
    std::vector<Net> nets; // in the order of their names
    [[nodiscard]] std::optional<std::size_t> find_net(std::string_view name) const;
    // The net a pin is on.
    [[nodiscard]] std::optional<std::size_t> net_of(PinRef pin) const;
    bool operator==(const Connections&) const = default;
};

// Where in the JSON document (a path such as "nets.SDA[1]") and what was
// expected there.
struct JsonProblem {
    std::string where;
    std::string expected;
};

// "U1.PB7" as a pin of `devices`, or what is wrong with it: an unknown
// device (naming the known ones), or a pin its BSDL does not have (naming
// the nearest pins). A pin of a part without boundary scan has neither.
struct PinLookup {
    std::optional<PinRef> pin;
    std::string problem;
};
[[nodiscard]] PinLookup find_pin(std::string_view text, std::span<const NamedDevice> devices);

// "U1.PB7", "U2.D(3)": a pin as nets write it.
[[nodiscard]] std::string pin_text(PinRef pin, std::span<const NamedDevice> devices);

// A JSON text that is refused: where (line and column from 1, or for a
// fault of the document's shape its JSON path) and what is wrong.
struct JsonSyntaxError {
    unsigned line = 0, column = 0;
    std::string path; // "devices.U1": a key given twice, nesting too deep
    std::string message;
};
// Refuses, beside what is not JSON, a key that comes twice in one object
// (which parsers take silently, keeping one), more than MAX_JSON_DEPTH
// levels of objects and lists, and a number too large for a double.
inline constexpr std::size_t MAX_JSON_DEPTH = 64;
[[nodiscard]] std::optional<nlohmann::json> parse_json(std::string_view text, JsonSyntaxError& error);

// Reads `doc`'s "nets" and "pulls" (either may be absent) into `out`.
[[nodiscard]] std::optional<JsonProblem>
read_connections(const nlohmann::json& doc, std::span<const NamedDevice> devices, Connections& out);

} // namespace orv::bsdl
