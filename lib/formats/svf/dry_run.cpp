// The dry run: the player on a wire that takes every transfer without sending
// it, so that what it counts is what playing sends.
#include <algorithm>

#include "lib/formats/svf/player.hpp"
#include "lib/wire/result_codes.hpp"

namespace orv::svf {

namespace {

// Every transfer succeeds at once; read-backs bring zeros, which the player
// does not judge.
class UnsentWire final : public PlayerWire {
public:
    std::int32_t send(std::span<const std::uint8_t>) override { return RESULT_OK; }
    std::int32_t read_back(std::span<std::uint8_t>) override { return RESULT_OK; }
    std::int32_t set_tck(const ClockChoice&) override { return RESULT_OK; }
    std::int32_t set_pins(std::uint16_t, std::uint16_t) override { return RESULT_OK; }
    void purge() override {}
    void sleep(double) override {}
    [[nodiscard]] bool reads_the_chain() const override { return false; }
};

} // namespace

DryRunResult dry_run(const Program& program, const PlayerOptions& options, const StopCheck& stop)
{
    PlayerOptions clamped = options;
    clamped.tck_khz = std::clamp<std::uint32_t>(options.tck_khz, 1, CLOCK_BASE_KHZ);
    clamped.max_readback = std::clamp<std::size_t>(options.max_readback, 1, MAX_READBACK_BOUND);
    UnsentWire wire;
    const PlayResult played = play(program, wire, clamped, {}, stop);
    return DryRunResult{played.compiled, played.wire, played.stopped};
}

} // namespace orv::svf
