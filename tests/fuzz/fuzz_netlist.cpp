// Fuzz target: netlists, read and checked against the BSDL files of the
// example boards (sim/boards: the STM32F301, the GL64, the Cortex-M debug
// TAP), then planned and analysed as the interconnect test does.
//
// The input is the netlist's JSON text up to its first NUL byte; what
// follows the NUL are the readings of the test's patterns. Beyond memory
// errors, undefined behaviour and time, it checks what must hold for any
// input:
//   - a refusal is BadInput with the netlist's name (or a BSDL file's), and
//     a line and column or a JSON path, and a reason; nothing else escapes;
//   - a netlist that is read is consistent: every pin of a net a pin of its
//     device's file with boundary cells, each pin on one net, every device
//     with a file at most once per TAP of the chain;
//   - the plan drives each tested net from one of its pins with a code no
//     other net has, and a board that reads back every code (all connected)
//     passes, while any readings at all give a report that names only the
//     netlist's nets and pins.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/devices/bscan/interconnect.hpp"
#include "lib/devices/bscan/netlist.hpp"
#include "tests/fuzz/input_reader.hpp"

namespace {

using namespace orv::dev::bscan;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// The files a device that gives only an IDCODE takes its file from.
const std::vector<BsdlFile>& candidates()
{
    static const std::vector<BsdlFile> files = [] {
        std::vector<BsdlFile> read;
        for (const char* name : {"CortexMx.bsd", "STM32F301_F302_UFQFPN32.bsd", "gl64_tq100.bsd"}) {
            read.push_back(read_bsdl(std::string(ORV_BOARD_FILES) + "/" + name));
        }
        return read;
    }();
    return files;
}

void check(const Netlist& n)
{
    require(n.named.size() == n.devices.size());
    std::set<orv::bsdl::PinRef> seen;
    for (const auto& net : n.connections.nets) {
        for (const auto& pin : net.pins) {
            require(pin.device < n.devices.size() && n.devices[pin.device].file);
            const Boundary& b = *n.devices[pin.device].file->boundary;
            require(b.cells_of(pin.pin).has_value());
            require(seen.insert(pin).second);
            require(!n.pin_text(pin).empty());
        }
    }
}

// The readings of a board on which every net reads what its driver drives.
Responses connected(const Netlist& n, const TestPlan& plan)
{
    Responses responses(plan.patterns);
    for (unsigned p = 0; p < plan.patterns; ++p) {
        for (std::size_t d = 0; d < n.devices.size(); ++d) {
            responses[p].push_back(n.devices[d].file ? plan.images[d][p] : Bits{});
        }
        for (std::size_t k = 0; k < plan.nets.size(); ++k) {
            if (!plan.nets[k].code) {
                continue;
            }
            for (const auto& pin : n.connections.nets[k].pins) {
                const Boundary& b = *n.devices[pin.device].file->boundary;
                const auto& cells = b.pins()[*b.cells_of(pin.pin)];
                if (cells.input) {
                    responses[p][pin.device][*cells.input] = plan.bit(*plan.nets[k].code, p) ? 1 : 0;
                }
            }
        }
    }
    return responses;
}

void exercise(const Netlist& n, orv::fuzz::InputReader& readings)
{
    const TestPlan plan = plan_test(n);
    require(plan.nets.size() == n.connections.nets.size());
    std::set<std::uint32_t> codes;
    for (const NetPlan& net : plan.nets) {
        if (net.code) {
            require(net.driver.has_value() && codes.insert(*net.code).second);
            require(*net.code != 0 && *net.code < (std::uint32_t{1} << (plan.code_bits - 1)));
        }
    }
    const InterconnectReport good = analyse(n, plan, connected(n, plan));
    require(good.opens.empty() && good.shorts.empty() && good.stuck.empty());
    require(good.passed == (good.nets_tested > 0));

    Responses noisy = connected(n, plan);
    for (auto& pattern : noisy) {
        for (auto& device : pattern) {
            for (auto& bit : device) {
                bit = readings.byte() & 1;
            }
        }
    }
    std::set<std::string> nets;
    for (const auto& net : n.connections.nets) {
        nets.insert(net.name);
    }
    const InterconnectReport report = analyse(n, plan, noisy);
    for (const auto& open : report.opens) {
        require(nets.contains(open.net) && !open.pin.empty());
    }
    for (const auto& s : report.shorts) {
        require(s.nets.size() >= 2);
        for (const auto& net : s.nets) {
            require(nets.contains(net));
        }
    }
    require(report.nets_tested == good.nets_tested);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = std::min(input.find('\0'), input.size());
    Netlist netlist;
    try {
        netlist = parse_netlist(input.substr(0, nul), "fuzz.json", ORV_BOARD_FILES, candidates());
    } catch (const BadInput& e) {
        // The netlist's own refusals have a place: a JSON path, or a line.
        require(!e.file().empty() && !e.reason().empty());
        require(e.file() != "fuzz.json" || !e.path().empty() || e.line() >= 1);
        return 0;
    }
    check(netlist);
    orv::fuzz::InputReader readings(
        std::span<const std::uint8_t>(data, size).subspan(std::min(nul + 1, size)));
    exercise(netlist, readings);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    (void)candidates();
    return 0;
}
