// The wires of a board between the pins of its boundary-scan devices: nets
// with their pulls and fixed levels, and the faults put in on purpose. The
// chain resolves them whenever what a pin drives may have changed (after
// Update-DR, an instruction change, a reset) and hands each pin its level.
//
// A net's level, first rule that applies:
//   1. stuck (a fault) or fixed (a strap): that level;
//   2. driven: the drivers' levels combined, wired-AND when they disagree
//      (the low side wins, as most CMOS contention reads);
//   3. pulled up or down by the board;
//   4. pulled by a device's own disabled result (WEAK0/PULL0, WEAK1/PULL1);
//   5. held by a device's KEEPER: the level it had;
//   6. floating: 1 (FLOATING_LEVEL), stable from read to read.
// A short joins nets into one: rules 1 to 4 then combine everything the
// joined nets hold, wired-AND or wired-OR as the fault says. An open pin is
// cut from its net: it neither drives the net nor reads it, and reads as a
// pin on no net does: its own output while it drives, else its device's
// disabled result, else FLOATING_LEVEL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv::emu {

class Tap;

inline constexpr bool FLOATING_LEVEL = true;

struct NetPin {
    std::size_t tap = 0; // chain position
    std::size_t pin = 0; // index into the TAP's bsdl::Device::pins
    auto operator<=>(const NetPin&) const = default;
};

struct NetConfig {
    std::string name;
    std::vector<NetPin> pins;
    std::optional<bool> pull;  // true: up
    std::optional<bool> fixed; // tied to a level
    bool operator==(const NetConfig&) const = default;
};

struct ShortFault {
    std::vector<std::size_t> nets; // indexes into NetworkConfig::nets
    bool wired_or = false;
    bool operator==(const ShortFault&) const = default;
};

struct StuckFault {
    std::size_t net = 0;
    bool level = false;
    bool operator==(const StuckFault&) const = default;
};

struct NetworkConfig {
    std::vector<NetConfig> nets;
    std::vector<NetPin> open; // pins cut from their nets
    std::vector<ShortFault> shorts;
    std::vector<StuckFault> stuck;
    bool operator==(const NetworkConfig&) const = default;
};

class PinNetwork {
public:
    PinNetwork() = default;
    // `pin_counts[t]`: how many pins TAP t has.
    PinNetwork(NetworkConfig config, const std::vector<std::size_t>& pin_counts);

    // Every pin's level from what the TAPs drive now.
    void resolve(std::vector<Tap>& taps);
    // A part of the board beyond the TAPs (a flash's MISO) driving a net,
    // or letting it go: a driver like a pin's, taken at the next resolve.
    void set_external(std::size_t net, std::optional<bool> level);

    [[nodiscard]] const NetworkConfig& config() const noexcept { return config_; }
    // A net's level after the last resolve.
    [[nodiscard]] bool net_level(std::size_t net) const
    {
        return group_level_.at(group_of_net_.at(net)) != 0;
    }
    // What the rest of the board puts on a net, leaving out the part beyond
    // the TAPs that drives it (set_external): after the last resolve. An
    // open-drain part needs it to tell its own pull from another driver's.
    [[nodiscard]] bool net_level_without_external(std::size_t net) const
    {
        return level_without_external_.at(net) != 0;
    }

private:
    struct Group {
        std::vector<NetPin> pins;  // connected pins (open ones left out)
        std::vector<bool> sources; // stuck and fixed levels
        std::vector<bool> pulls;   // the board's pulls
        bool wired_or = false;
        std::vector<std::size_t> nets; // its nets, for their external drivers
    };

    NetworkConfig config_;
    std::vector<Group> groups_;
    std::vector<std::size_t> group_of_net_;
    std::vector<std::uint8_t> group_level_;
    std::vector<std::int8_t> external_; // per net: -1, or the level a part beyond the TAPs drives
    std::vector<std::uint8_t> level_without_external_;    // per net
    std::vector<std::vector<std::int32_t>> group_of_pin_; // per TAP, per pin: group or -1
};

} // namespace orv::emu
