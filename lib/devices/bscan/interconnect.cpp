#include "lib/devices/bscan/interconnect.hpp"

#include <algorithm>
#include <bit>
#include <map>
#include <set>

#include <orv_tapwire.h>

#include "lib/devices/session/failure.hpp"

namespace orv::dev::bscan {

namespace {

using bsdl::PinRef;

// A pin's readings, one per pattern.
using Reading = std::vector<bool>;

// Which pin drives each net: the one that must (a two-state output), else
// the first of its pins that drives without reading (so that the others can
// read), then those that read too, then open-drain pins where something
// pulls the net up; never one whose output enable would make a pin drive
// that must not.
class Planner {
public:
    explicit Planner(const Netlist& netlist) : n_(netlist), plans_(netlist.connections.nets.size())
    {
        leave_.insert(n_.leave.begin(), n_.leave.end());
        for (std::size_t k = 0; k < n_.connections.nets.size(); ++k) {
            for (const PinRef& p : n_.connections.nets[k].pins) {
                net_of_[p] = k;
            }
        }
    }

    std::vector<NetPlan> plan()
    {
        const auto& nets = n_.connections.nets;
        for (std::size_t k = 0; k < nets.size(); ++k) {
            always_driven(k);
        }
        for (std::size_t k = 0; k < nets.size(); ++k) {
            if (!plans_[k].driver && plans_[k].untested.empty()) {
                choose_driver(k);
            }
        }
        std::uint32_t code = 0;
        for (std::size_t k = 0; k < nets.size(); ++k) {
            NetPlan& plan = plans_[k];
            if (!plan.driver) {
                continue;
            }
            if (plan.untested.empty()) {
                plan.code = ++code;
            }
            for (const PinRef& p : nets[k].pins) {
                if (!leave_.contains(p) && !drives(plan, p) && cells(p).input) {
                    plan.receivers.push_back(p);
                }
            }
            if (plan.receivers.empty() && plan.untested.empty()) {
                plan.untested = "no receiver: no other pin of the net can read it";
            }
        }
        return std::move(plans_);
    }

private:
    const Boundary& boundary(std::size_t device) const { return *n_.devices[device].file->boundary; }
    const PinCells& cells(PinRef p) const
    {
        const Boundary& b = boundary(p.device);
        return b.pins()[*b.cells_of(p.pin)];
    }
    static bool drives(const NetPlan& plan, PinRef p)
    {
        return plan.driver == p ||
               std::find(plan.co_drivers.begin(), plan.co_drivers.end(), p) != plan.co_drivers.end();
    }

    // Nets no pin of which is left to test, and nets a two-state output
    // drives whatever the test does.
    void always_driven(std::size_t k)
    {
        const bsdl::Net& net = n_.connections.nets[k];
        NetPlan& plan = plans_[k];
        if (net.pins.empty()) {
            plan.untested = "not in any BSDL: none of its pins is on a boundary-scan device";
            return;
        }
        if (std::all_of(net.pins.begin(), net.pins.end(), [&](PinRef p) { return leave_.contains(p); })) {
            plan.untested = "left alone: all its pins are in \"leave\"";
            return;
        }
        for (const PinRef& p : net.pins) {
            if (cells(p).direction != PinDirection::out) {
                continue;
            }
            plan.driver = p;
            if (leave_.contains(p)) {
                plan.untested =
                    "left alone: " + n_.pin_text(p) + " drives it at all times and is in \"leave\"";
            }
        }
    }

    void choose_driver(std::size_t k)
    {
        const bsdl::Net& net = n_.connections.nets[k];
        std::vector<PinRef> candidates;
        for (int rank = 0; rank < 3; ++rank) {
            for (const PinRef& p : net.pins) {
                const PinCells& c = cells(p);
                if (!c.output || leave_.contains(p)) {
                    continue;
                }
                const int r = c.open_drain() ? 2 : (c.input ? 1 : 0);
                if (r == rank) {
                    candidates.push_back(p);
                }
            }
        }
        if (candidates.empty()) {
            plans_[k].untested = "no driver: none of its pins can drive it";
            return;
        }
        std::string why;
        for (const PinRef& p : candidates) {
            why = try_driver(k, p);
            if (why.empty()) {
                return;
            }
        }
        plans_[k].untested = "no driver: " + why;
    }

    // Makes `candidate` the net's driver, with every pin its output enable
    // turns on; says why not when that would make a pin drive that must not.
    std::string try_driver(std::size_t k, PinRef candidate)
    {
        const PinCells& c = cells(candidate);
        const std::string name = n_.pin_text(candidate);
        if (c.open_drain()) {
            const bool pulled_up = c.released == bsdl::DisabledResult::pull1 ||
                                   c.released == bsdl::DisabledResult::weak1 ||
                                   n_.connections.nets[k].pull == bsdl::Pull::up;
            return pulled_up ? accept(k, candidate, {}, {})
                             : name + " is open drain and nothing pulls the net up";
        }
        std::vector<PinRef> same_net;
        std::vector<std::pair<PinRef, std::size_t>> forced; // pins that drive other nets with it
        if (c.control) {
            const Boundary& b = boundary(candidate.device);
            for (const std::size_t g : b.sharing_control(*c.control)) {
                const PinRef other{candidate.device, b.pins()[g].pin};
                if (other == candidate) {
                    continue;
                }
                const std::string why = name + " shares its output enable with " + n_.pin_text(other);
                if (leave_.contains(other)) {
                    return why + ", which is left alone";
                }
                const auto on = net_of_.find(other);
                if (on == net_of_.end()) {
                    continue; // on no net: it drives its safe value
                }
                const NetPlan& theirs = plans_[on->second];
                if (on->second == k) {
                    same_net.push_back(other);
                } else if ((theirs.driver && !drives(theirs, other)) || !theirs.untested.empty()) {
                    return why + ", which must not drive net " + n_.connections.nets[on->second].name;
                } else {
                    forced.emplace_back(other, on->second);
                }
            }
        }
        return accept(k, candidate, same_net, forced);
    }

    std::string accept(std::size_t k, PinRef driver, const std::vector<PinRef>& same_net,
                       const std::vector<std::pair<PinRef, std::size_t>>& forced)
    {
        plans_[k].driver = driver;
        plans_[k].co_drivers = same_net;
        for (const auto& [pin, net] : forced) {
            NetPlan& theirs = plans_[net];
            if (!theirs.driver) {
                theirs.driver = pin;
            } else if (!drives(theirs, pin)) {
                theirs.co_drivers.push_back(pin);
            }
        }
        return {};
    }

    const Netlist& n_;
    std::vector<NetPlan> plans_;
    std::set<PinRef> leave_;
    std::map<PinRef, std::size_t> net_of_;
};

Reading reading_of(const Netlist& n, const Responses& responses, PinRef pin)
{
    const Boundary& b = *n.devices[pin.device].file->boundary;
    const unsigned cell = *b.pins()[*b.cells_of(pin.pin)].input;
    Reading r;
    for (const auto& pattern : responses) {
        r.push_back(pattern[pin.device][cell] != 0);
    }
    return r;
}

Reading code_reading(const TestPlan& plan, std::uint32_t code)
{
    Reading r;
    for (unsigned p = 0; p < plan.patterns; ++p) {
        r.push_back(plan.bit(code, p));
    }
    return r;
}

std::optional<bool> constant(const Reading& r)
{
    if (r.empty() || std::any_of(r.begin(), r.end(), [&](bool b) { return b != r.front(); })) {
        return std::nullopt;
    }
    return r.front();
}

Reading combined(const std::vector<Reading>& codes, bool wired_or)
{
    Reading out = codes.front();
    for (const Reading& c : codes) {
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = wired_or ? (out[i] || c[i]) : (out[i] && c[i]);
        }
    }
    return out;
}

Behaviour behaviour(const std::vector<Reading>& codes, const Reading& seen)
{
    if (seen == combined(codes, false)) {
        return Behaviour::wired_and;
    }
    return seen == combined(codes, true) ? Behaviour::wired_or : Behaviour::unknown;
}

} // namespace

bool TestPlan::bit(std::uint32_t code, unsigned pattern) const noexcept
{
    const unsigned b = pattern % code_bits;
    const bool value = (code >> b & 1U) != 0;
    return pattern < code_bits ? value : !value;
}

TestPlan plan_test(const Netlist& netlist)
{
    TestPlan plan;
    plan.nets = Planner(netlist).plan();
    std::uint32_t driven = 0;
    for (const NetPlan& net : plan.nets) {
        driven = std::max(driven, net.code.value_or(0));
    }
    if (driven != 0) {
        plan.code_bits = static_cast<unsigned>(std::bit_width(driven)) + 1;
        plan.patterns = 2 * plan.code_bits;
    }
    // Every pin of a net lets go unless it drives; then the drivers drive
    // their codes (which turns on any output enable they share).
    std::vector<Bits> base;
    for (const NetlistDevice& d : netlist.devices) {
        base.push_back(d.file ? d.file->boundary->safe() : Bits{});
    }
    const std::set<PinRef> leave(netlist.leave.begin(), netlist.leave.end());
    const auto cells_of = [&](PinRef p) -> const PinCells& {
        const Boundary& b = *netlist.devices[p.device].file->boundary;
        return b.pins()[*b.cells_of(p.pin)];
    };
    std::vector<std::pair<PinRef, std::uint32_t>> drivers; // with their codes
    for (std::size_t k = 0; k < plan.nets.size(); ++k) {
        const NetPlan& net = plan.nets[k];
        for (const PinRef& p : netlist.connections.nets[k].pins) {
            const bool drives =
                net.code && (net.driver == p || std::find(net.co_drivers.begin(), net.co_drivers.end(), p) !=
                                                    net.co_drivers.end());
            if (drives) {
                drivers.emplace_back(p, *net.code);
            } else if (!leave.contains(p)) {
                Boundary::release(base[p.device], cells_of(p));
            }
        }
    }
    plan.quiet = base;
    for (const auto& [p, code] : drivers) {
        Boundary::release(plan.quiet[p.device], cells_of(p));
    }
    plan.images.resize(netlist.devices.size());
    for (unsigned pattern = 0; pattern < plan.patterns; ++pattern) {
        std::vector<Bits> images = base;
        for (const auto& [p, code] : drivers) {
            Boundary::drive(images[p.device], cells_of(p), plan.bit(code, pattern));
        }
        for (std::size_t d = 0; d < images.size(); ++d) {
            plan.images[d].push_back(std::move(images[d]));
        }
    }
    return plan;
}

InterconnectReport analyse(const Netlist& netlist, const TestPlan& plan, const Responses& responses)
{
    InterconnectReport report;
    report.patterns = plan.patterns;
    const auto& nets = netlist.connections.nets;
    // Nets whose receivers agree on a value that is not their code: shorted
    // to others that read the same, or to a net that cannot be read.
    std::map<Reading, std::vector<std::size_t>> short_candidates;
    for (std::size_t k = 0; k < nets.size(); ++k) {
        const NetPlan& net = plan.nets[k];
        if (!net.untested.empty()) {
            report.untested.push_back({nets[k].name, net.untested});
            continue;
        }
        ++report.nets_tested;
        const Reading code = code_reading(plan, *net.code);
        std::optional<Reading> own; // the driver's reading of its own pin
        const Boundary& db = *netlist.devices[net.driver->device].file->boundary;
        if (db.pins()[*db.cells_of(net.driver->pin)].input) {
            own = reading_of(netlist, responses, *net.driver);
        }
        std::vector<Reading> seen;
        for (const PinRef& r : net.receivers) {
            seen.push_back(reading_of(netlist, responses, r));
        }
        const bool all_follow =
            std::all_of(seen.begin(), seen.end(), [&](const Reading& r) { return r == code; });
        if (all_follow && (!own || *own == code)) {
            continue;
        }
        // Stuck: every reading the same level, seen by two pins at least.
        std::vector<Reading> every = seen;
        if (own) {
            every.push_back(*own);
        }
        const auto level = constant(every.front());
        if (level && every.size() >= 2 &&
            std::all_of(every.begin(), every.end(), [&](const Reading& r) { return r == every.front(); })) {
            report.stuck.push_back({nets[k].name, *level});
            continue;
        }
        const bool some_follow =
            std::any_of(seen.begin(), seen.end(), [&](const Reading& r) { return r == code; });
        const bool agree =
            std::all_of(seen.begin(), seen.end(), [&](const Reading& r) { return r == seen.front(); });
        const bool driver_follows = !own || *own == code;
        if (!some_follow && agree && (!own || *own == seen.front()) && !constant(seen.front())) {
            short_candidates[seen.front()].push_back(k);
            continue;
        }
        if (!some_follow && agree && driver_follows && seen.size() >= 2) {
            // Every receiver reads the same other thing while the driver
            // drives: the driver's pin is off the net.
            report.opens.push_back({nets[k].name, netlist.pin_text(*net.driver), {}});
            continue;
        }
        if (!some_follow && driver_follows && seen.size() == 1) {
            // A driver whose receiver does not follow it: a pin lifted at
            // either end reads the same (the driver its own output, the
            // receiver what the cut-off side floats to), so both are named.
            report.opens.push_back(
                {nets[k].name, netlist.pin_text(*net.driver), netlist.pin_text(net.receivers.front())});
            continue;
        }
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (seen[i] != code) {
                report.opens.push_back({nets[k].name, netlist.pin_text(net.receivers[i]), {}});
            }
        }
        if (some_follow && !driver_follows) {
            report.opens.push_back(
                {nets[k].name, netlist.pin_text(*net.driver), {}}); // its input does not see the net
        }
    }
    std::vector<std::pair<std::size_t, InterconnectReport::Short>> shorts; // by their first net
    for (const auto& [value, group] : short_candidates) {
        std::vector<std::size_t> members = group;
        if (members.size() == 1) {
            // One net reads another's code combined with its own: the other
            // cannot be read (no receiver), or drives harder.
            const std::uint32_t own = *plan.nets[members[0]].code;
            for (std::size_t m = 0; m < nets.size(); ++m) {
                const auto code = plan.nets[m].code;
                if (m == members[0] || !code || plan.nets[m].driver == std::nullopt) {
                    continue;
                }
                const Reading pair_codes[] = {code_reading(plan, own), code_reading(plan, *code)};
                const std::vector<Reading> codes(std::begin(pair_codes), std::end(pair_codes));
                if (behaviour(codes, value) != Behaviour::unknown || value == codes[1]) {
                    members.push_back(m);
                    break;
                }
            }
        }
        if (members.size() == 1) {
            const std::size_t k = members[0];
            for (const PinRef& r : plan.nets[k].receivers) {
                report.opens.push_back({nets[k].name, netlist.pin_text(r), {}});
            }
            continue;
        }
        std::sort(members.begin(), members.end());
        InterconnectReport::Short s;
        std::vector<Reading> codes;
        for (const std::size_t m : members) {
            s.nets.push_back(nets[m].name);
            codes.push_back(code_reading(plan, *plan.nets[m].code));
        }
        s.behaves_as = behaviour(codes, value);
        shorts.emplace_back(members.front(), std::move(s));
    }
    // In the netlist's order of nets, as everything else.
    std::sort(shorts.begin(), shorts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [first, s] : shorts) {
        report.shorts.push_back(std::move(s));
    }
    // A test of no net found nothing, which is no pass.
    report.passed =
        report.nets_tested > 0 && report.opens.empty() && report.shorts.empty() && report.stuck.empty();
    return report;
}

InterconnectReport run_test(BoundaryChain& chain, const Netlist& netlist,
                            const std::vector<std::size_t>& taps)
{
    const TestPlan plan = plan_test(netlist);
    if (plan.patterns == 0) {
        return analyse(netlist, plan, {});
    }
    // The devices under test in chain order, and where each one's bits lie
    // in a sampled scan.
    std::vector<std::size_t> order;
    for (std::size_t d = 0; d < netlist.devices.size(); ++d) {
        if (netlist.devices[d].file) {
            order.push_back(d);
        }
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return taps[a] < taps[b]; });
    std::vector<bool> sampled(chain.taps().size(), false);
    std::size_t scan_bits = 0;
    for (const std::size_t d : order) {
        sampled[taps[d]] = true;
        scan_bits += netlist.devices[d].file->boundary->length();
    }

    chain.forget_holds();
    chain.jtag().claim_adapter();
    ScanSequence sequence(true);
    std::vector<TapRole> roles = chain.bypass_roles();
    const auto load = [&](const char* instruction, const auto& image_of) {
        for (const std::size_t d : order) {
            roles[taps[d]] = TapRole{chain.opcode(taps[d], instruction), image_of(d)};
        }
    };
    load("PRELOAD", [&](std::size_t d) { return plan.images[d][0]; });
    sequence.scan_ir(roles);
    sequence.scan_dr(roles, std::vector<bool>(roles.size(), false));
    load("EXTEST", [&](std::size_t d) { return plan.images[d][0]; });
    sequence.scan_ir(roles);
    // Each scan reads what the pattern before it drives.
    for (unsigned p = 1; p <= plan.patterns; ++p) {
        load("EXTEST", [&](std::size_t d) { return p < plan.patterns ? plan.images[d][p] : plan.quiet[d]; });
        sequence.scan_dr(roles, sampled);
    }
    sequence.reset();

    const engine::SequenceStats before = chain.stats();
    const Session& session = chain.jtag().session();
    Progress progress(session, "test", plan.patterns, ORVDEV_UNIT_ITEMS);
    const std::vector<Bits> scans =
        chain.run(sequence, "running the interconnect test", [&](std::size_t levels, std::size_t /*clocks*/) {
            try {
                progress.update(std::min<std::uint64_t>(levels / scan_bits, plan.patterns));
                return true;
            } catch (const Failure&) {
                return false;
            }
        });

    Responses responses(plan.patterns, std::vector<Bits>(netlist.devices.size()));
    for (unsigned p = 0; p < plan.patterns; ++p) {
        std::size_t at = 0;
        for (const std::size_t d : order) {
            const unsigned length = netlist.devices[d].file->boundary->length();
            responses[p][d].assign(scans.at(p).begin() + static_cast<std::ptrdiff_t>(at),
                                   scans.at(p).begin() + static_cast<std::ptrdiff_t>(at + length));
            at += length;
        }
    }
    InterconnectReport report = analyse(netlist, plan, responses);
    report.scans = plan.patterns + 1;
    const engine::SequenceStats& after = chain.stats();
    report.wire.clocks = after.clocks - before.clocks;
    report.wire.stream_bytes = after.stream_bytes - before.stream_bytes;
    report.wire.out_transfers = after.out_transfers - before.out_transfers;
    report.wire.exchanges = after.exchanges - before.exchanges;
    report.wire.readback_bytes = after.readback_bytes - before.readback_bytes;
    return report;
}

} // namespace orv::dev::bscan
