// The interconnect test: every net of a netlist driven by one of its pins
// with a code of its own, read at every other pin, and the readings turned
// into opens, shorts and stuck nets.
//
// Codes: net k of the N driven nets gets the number k + 1 in w bits, where
// w is one more than N needs, so that the top bit is always 0: no code is
// all 0 or all 1 or the complement of another, and neither the AND nor the
// OR of two codes is a third's or all 0 or all 1. Pattern p < w drives bit p
// of every code, pattern w + p its complement: 2w patterns, each net seen
// rising and falling. One DR scan per pattern, all in one sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/devices/bscan/boundary_chain.hpp"
#include "lib/devices/bscan/netlist.hpp"

namespace orv::dev::bscan {

// How the nets of a net: by whom it is driven, who reads it, its code.
struct NetPlan {
    std::optional<bsdl::PinRef> driver;
    std::vector<bsdl::PinRef> co_drivers; // pins that share the driver's output enable on the same net
    std::vector<bsdl::PinRef> receivers;
    std::optional<std::uint32_t> code;
    std::string untested; // why the net is not tested; empty when it is
};

struct TestPlan {
    std::vector<NetPlan> nets; // per Netlist::connections.nets
    unsigned code_bits = 0;
    unsigned patterns = 0;
    // Per netlist device (empty for a part without boundary scan): the
    // boundary register of each pattern, and with every net let go.
    std::vector<std::vector<Bits>> images;
    std::vector<Bits> quiet;
    [[nodiscard]] bool bit(std::uint32_t code, unsigned pattern) const noexcept;
};

// Which pins drive, which read, the codes and the registers of every
// pattern. Pure: nothing is sent.
[[nodiscard]] TestPlan plan_test(const Netlist& netlist);

enum class Behaviour : std::uint8_t { wired_and, wired_or, unknown };

struct InterconnectReport {
    struct Open {
        std::string net, pin;
        // A net of one driver (`pin`) and one receiver (`or_pin`) that do
        // not agree: it is open between them, at either pin.
        std::string or_pin;
    };
    struct Short {
        std::vector<std::string> nets;
        Behaviour behaves_as = Behaviour::unknown;
    };
    struct Stuck {
        std::string net;
        bool value = false;
    };
    struct Untested {
        std::string net, why;
    };
    bool passed = true;
    unsigned patterns = 0;
    unsigned nets_tested = 0;
    std::vector<Open> opens;
    std::vector<Short> shorts;
    std::vector<Stuck> stuck;
    std::vector<Untested> untested;
    unsigned scans = 0;
    engine::SequenceStats wire;
};

// The readings of each pattern, per netlist device's boundary register.
using Responses = std::vector<std::vector<Bits>>; // [pattern][device]

// Opens, shorts and stuck nets from what each pattern read.
[[nodiscard]] InterconnectReport analyse(const Netlist& netlist, const TestPlan& plan,
                                         const Responses& responses);

// Runs the test on the chain, whose TAPs `taps` (per netlist device; unused
// for parts without boundary scan) hold the netlist's files; ends with
// Test-Logic-Reset. Progress stage "test" in patterns.
[[nodiscard]] InterconnectReport run_test(BoundaryChain& chain, const Netlist& netlist,
                                          const std::vector<std::size_t>& taps);

} // namespace orv::dev::bscan
