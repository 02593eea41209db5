#include "lib/devices/svf/svf_program.hpp"

#include <chrono>
#include <thread>

#include "lib/wire/jtag_sequence.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev {

namespace {

// The player's wire on a JTAG port. The port's set-up goes out before the
// first transfer unless the adapter holds it; the clock and pins the player
// sets become the port's, so that whoever uses the adapter next knows them.
class PortWire final : public svf::PlayerWire {
public:
    explicit PortWire(JtagPort& port) noexcept
        : port_(port), usb_(port.session().handle(), port.session().timeout_ms())
    {
    }

    std::int32_t send(std::span<const std::uint8_t> stream) override
    {
        if (!claimed_) {
            if (const std::int32_t rc = guard([&] { port_.claim_for_caller(); }); rc != 0) {
                return rc;
            }
            claimed_ = true;
        }
        return note(usb_.send(stream));
    }
    std::int32_t read_back(std::span<std::uint8_t> bytes) override { return note(usb_.read_back(bytes)); }
    std::int32_t set_tck(const ClockChoice& clock) override
    {
        return guard([&] { port_.set_tck(clock); });
    }
    std::int32_t set_pins(std::uint16_t direction, std::uint16_t level) override
    {
        return guard([&] { port_.set_pins(direction, level); });
    }
    void purge() override { port_.session().purge_after_failure(bus_code_); }
    void sleep(double seconds) override
    {
        if (seconds > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        }
    }
    [[nodiscard]] bool reads_the_chain() const override { return true; }

private:
    std::int32_t note(std::int32_t rc) noexcept
    {
        if (rc != 0) {
            bus_code_ = rc;
        }
        return rc;
    }
    // The port's own calls throw; the player takes result codes.
    template <typename Work> std::int32_t guard(Work&& work)
    {
        try {
            work();
            return 0;
        } catch (const Failure& failure) {
            bus_code_ = failure.bus_code();
            return failure.code();
        }
    }

    JtagPort& port_;
    engine::UsbWire usb_;
    bool claimed_ = false;
    std::int32_t bus_code_ = 0;
};

} // namespace

svf::PlayResult play_on_port(const svf::Program& program, JtagPort& port, const svf::PlayerOptions& options,
                             const svf::PlayProgress& progress, const svf::StopCheck& stop)
{
    PortWire wire(port);
    return svf::play(program, wire, options, progress, stop);
}

} // namespace orv::dev
