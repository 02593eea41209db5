#include "sim/emulator/pin_network.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <span>

#include "sim/emulator/virtual_chain.hpp"

namespace orv::emu {

namespace {

constexpr std::size_t NO_NET = std::numeric_limits<std::size_t>::max();

// Levels that meet on one wire: wired-AND or wired-OR.
struct Wire {
    bool wired_or = false;
    bool any = false;
    bool level = false;
    void add(bool l) noexcept
    {
        level = !any ? l : wired_or ? (level || l) : (level && l);
        any = true;
    }
};

} // namespace

PinNetwork::PinNetwork(NetworkConfig config, const std::vector<std::size_t>& pin_counts)
    : config_(std::move(config))
{
    // Shorted nets become one group.
    const std::size_t nets = config_.nets.size();
    std::vector<std::size_t> root(nets);
    std::iota(root.begin(), root.end(), std::size_t{0});
    const auto find = [&root](std::size_t n) {
        while (root[n] != n) {
            root[n] = root[root[n]];
            n = root[n];
        }
        return n;
    };
    for (const ShortFault& s : config_.shorts) {
        for (const std::size_t n : s.nets) {
            root[find(n)] = find(s.nets.front());
        }
    }
    std::vector<bool> wired_or(nets, false);
    for (const ShortFault& s : config_.shorts) {
        wired_or[find(s.nets.front())] = s.wired_or;
    }
    std::vector<std::int64_t> group_of_root(nets, -1);
    group_of_net_.resize(nets);
    for (std::size_t n = 0; n < nets; ++n) {
        const std::size_t r = find(n);
        if (group_of_root[r] < 0) {
            group_of_root[r] = static_cast<std::int64_t>(groups_.size());
            groups_.push_back(Group{{}, {}, {}, wired_or[r], {}});
        }
        group_of_net_[n] = static_cast<std::size_t>(group_of_root[r]);
        groups_[group_of_net_[n]].nets.push_back(n);
    }

    group_of_pin_.resize(pin_counts.size());
    for (std::size_t t = 0; t < pin_counts.size(); ++t) {
        group_of_pin_[t].assign(pin_counts[t], -1);
    }
    for (std::size_t n = 0; n < nets; ++n) {
        const NetConfig& net = config_.nets[n];
        Group& group = groups_[group_of_net_[n]];
        for (const NetPin& pin : net.pins) {
            const bool cut = std::find(config_.open.begin(), config_.open.end(), pin) != config_.open.end();
            if (cut || pin.tap >= group_of_pin_.size() || pin.pin >= group_of_pin_[pin.tap].size()) {
                continue;
            }
            group.pins.push_back(pin);
            group_of_pin_[pin.tap][pin.pin] = static_cast<std::int32_t>(group_of_net_[n]);
        }
        if (net.fixed) {
            group.sources.push_back(*net.fixed);
        }
        if (net.pull) {
            group.pulls.push_back(*net.pull);
        }
    }
    for (const StuckFault& stuck : config_.stuck) {
        groups_[group_of_net_[stuck.net]].sources.push_back(stuck.level);
    }
    group_level_.assign(groups_.size(), FLOATING_LEVEL ? 1 : 0);
    external_.assign(nets, -1);
    level_without_external_.assign(nets, FLOATING_LEVEL ? 1 : 0);
}

void PinNetwork::set_external(std::size_t net, std::optional<bool> level)
{
    external_.at(net) = level ? static_cast<std::int8_t>(*level) : std::int8_t{-1};
}

void PinNetwork::resolve(std::vector<Tap>& taps)
{
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        const Group& group = groups_[g];
        Wire sources{group.wired_or}, pins{group.wired_or}, pulls{group.wired_or}, weak{group.wired_or};
        bool keeper = false;
        for (const bool level : group.sources) {
            sources.add(level);
        }
        for (const bool level : group.pulls) {
            pulls.add(level);
        }
        for (const NetPin& pin : group.pins) {
            const PinDrive drive = taps[pin.tap].pin_drive(pin.pin);
            if (drive.driven) {
                pins.add(drive.level);
            } else if (drive.pull == PinPull::low || drive.pull == PinPull::high) {
                weak.add(drive.pull == PinPull::high);
            } else if (drive.pull == PinPull::keeper) {
                keeper = true;
            }
        }
        const bool held = group_level_[g] != 0;
        // The rules in order, with the parts beyond the TAPs on the group's
        // nets as further drivers, except the net `leave_out`.
        const auto level_of = [&](std::size_t leave_out) {
            Wire drivers = pins;
            for (const std::size_t net : group.nets) {
                if (net != leave_out && external_[net] >= 0) {
                    drivers.add(external_[net] != 0);
                }
            }
            if (sources.any) {
                return sources.level;
            }
            if (drivers.any) {
                return drivers.level;
            }
            if (pulls.any) {
                return pulls.level;
            }
            if (weak.any) {
                return weak.level;
            }
            return keeper ? held : FLOATING_LEVEL;
        };
        for (const std::size_t net : group.nets) {
            level_without_external_[net] = level_of(net) ? 1 : 0;
        }
        group_level_[g] = level_of(NO_NET) ? 1 : 0;
    }

    for (std::size_t t = 0; t < taps.size() && t < group_of_pin_.size(); ++t) {
        Tap& tap = taps[t];
        const std::span<std::uint8_t> levels = tap.pin_levels();
        for (std::size_t p = 0; p < levels.size() && p < group_of_pin_[t].size(); ++p) {
            const std::int32_t group = group_of_pin_[t][p];
            if (group >= 0) {
                levels[p] = group_level_[static_cast<std::size_t>(group)];
                continue;
            }
            // A pin on no net, or cut from its net, sees only its own device.
            const PinDrive drive = tap.pin_drive(p);
            if (drive.driven) {
                levels[p] = drive.level ? 1 : 0;
            } else if (drive.pull == PinPull::low || drive.pull == PinPull::high) {
                levels[p] = drive.pull == PinPull::high ? 1 : 0;
            } else if (drive.pull != PinPull::keeper) {
                levels[p] = FLOATING_LEVEL ? 1 : 0;
            }
        }
    }
}

} // namespace orv::emu
