// BSDL files and netlists as the device library reads them, and the netlist
// of an interconnect test checked against its BSDL files before anything is
// driven (see orvtool(1), NETLIST FILES):
//
//   {"devices": {"U1": {"tap": 0, "bsdl": "stm32.bsd"}, "U2": {"idcode": "0x06e510ff", ...},
//                "J1": {}},
//    "nets":    {"SDA": ["U1.PB7", "U2.SDA", "J1.3"], ...},
//    "pulls":   {"SDA": "up", "RST": "down"},
//    "leave":   ["U1.PA13", ...]}
//
// A refused file throws BadInput: the file, the line and column (BSDL, JSON
// syntax) or the JSON path (netlist keys), and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/devices/bscan/boundary.hpp"
#include "lib/devices/chain/jtag_chain.hpp"
#include "lib/devices/session/failure.hpp"
#include "lib/formats/bsdl/connections.hpp"

namespace orv::dev::bscan {

class BadInput : public Failure {
public:
    BadInput(std::string file, unsigned line, unsigned column, std::string path, std::string reason);
    [[nodiscard]] const std::string& file() const noexcept { return file_; }
    [[nodiscard]] unsigned line() const noexcept { return line_; }
    [[nodiscard]] unsigned column() const noexcept { return column_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

private:
    std::string file_;
    unsigned line_, column_;
    std::string path_;
    std::string reason_;
};

// A BSDL file read, with its boundary register; throws BadInput.
struct BsdlFile {
    std::string path;
    std::shared_ptr<const Boundary> boundary;
};
[[nodiscard]] BsdlFile read_bsdl(const std::filesystem::path& path);

struct NetlistDevice {
    std::string name;
    std::optional<unsigned> tap;
    std::optional<std::uint32_t> idcode;
    std::optional<BsdlFile> file; // none: a part without boundary scan
};

struct Netlist {
    std::string file;
    std::vector<NetlistDevice> devices;
    std::vector<bsdl::NamedDevice> named; // per device, for the connections
    bsdl::Connections connections;
    std::vector<bsdl::PinRef> leave;
    [[nodiscard]] std::string pin_text(bsdl::PinRef pin) const;
};

// Reads and checks a netlist (a regular file): its BSDL files (relative to
// it, in its directory or below unless `bsdl_anywhere`) or, for a device
// that gives only an IDCODE, the first of `candidates` with that IDCODE;
// every pin an I/O of its device; at most one pin of a net that always
// drives. Throws BadInput.
[[nodiscard]] Netlist read_netlist(const std::filesystem::path& path, std::span<const BsdlFile> candidates,
                                   bool bsdl_anywhere = false);
// The same from a netlist's text: `file` names it in refusals, its BSDL
// paths start from `directory`.
[[nodiscard]] Netlist parse_netlist(std::string_view text, const std::string& file,
                                    const std::filesystem::path& directory,
                                    std::span<const BsdlFile> candidates, bool bsdl_anywhere = false);

// The TAP of each device of the netlist (none for a part without boundary
// scan): its "tap", or the one TAP with its "idcode"; checked against the
// TAP's IDCODE and instruction length. Throws Failure
// (ORVDEV_ERROR_BSDL_MISMATCH).
[[nodiscard]] std::vector<std::optional<std::size_t>> place_devices(const Netlist& netlist,
                                                                    const chain::Chain& chain);

} // namespace orv::dev::bscan
