#include "sim/emulator/virtual_chain.hpp"

#include <array>
#include <utility>

namespace orv::emu {

namespace {

// Next state for TMS 0 and TMS 1, indexed by state.
constexpr std::array<std::array<TapState, 2>, 16> TRANSITIONS{{
    {TapState::run_test_idle, TapState::test_logic_reset},
    {TapState::run_test_idle, TapState::select_dr_scan},
    {TapState::capture_dr, TapState::select_ir_scan},
    {TapState::shift_dr, TapState::exit1_dr},
    {TapState::shift_dr, TapState::exit1_dr},
    {TapState::pause_dr, TapState::update_dr},
    {TapState::pause_dr, TapState::exit2_dr},
    {TapState::shift_dr, TapState::update_dr},
    {TapState::run_test_idle, TapState::select_dr_scan},
    {TapState::capture_ir, TapState::test_logic_reset},
    {TapState::shift_ir, TapState::exit1_ir},
    {TapState::shift_ir, TapState::exit1_ir},
    {TapState::pause_ir, TapState::update_ir},
    {TapState::pause_ir, TapState::exit2_ir},
    {TapState::shift_ir, TapState::update_ir},
    {TapState::run_test_idle, TapState::select_dr_scan},
}};

constexpr std::uint64_t mask_of(unsigned bits) noexcept
{
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

} // namespace

TapState next_tap_state(TapState state, bool tms) noexcept
{
    return TRANSITIONS[static_cast<std::size_t>(state) & 15][tms ? 1 : 0];
}

Tap::Tap(TapConfig config) : config_(std::move(config))
{
    if (config_.ir_length < 2) {
        config_.ir_length = 2;
    }
    if (config_.ir_length > 32) {
        config_.ir_length = 32;
    }
    if (config_.user_length < 1) {
        config_.user_length = 1;
    }
    if (config_.user_length > 64) {
        config_.user_length = 64;
    }
    user_ = config_.user_reset_value & mask_of(config_.user_length);
    if (config_.boundary_scan && config_.boundary_scan->device) {
        decode_ = instruction_table(*config_.boundary_scan, config_.has_idcode);
        boundary_.emplace(*config_.boundary_scan);
        pin_levels_.assign(boundary_->pin_count(), FLOATING_LEVEL ? 1 : 0);
    } else {
        const auto all = static_cast<std::uint32_t>(mask_of(config_.ir_length));
        if (config_.has_idcode) {
            decode_.push_back({config_.idcode_instruction, all, TapRegister::idcode, PinMode::normal});
        }
        decode_.push_back({config_.user_instruction, all, TapRegister::user, PinMode::normal});
        decode_.push_back({config_.bypass_instruction, all, TapRegister::bypass, PinMode::normal});
    }
    reset_logic();
    pins_changed_ = true;
}

void Tap::select(std::uint32_t instruction) noexcept
{
    instruction_ = instruction;
    TapRegister selects = TapRegister::bypass;
    PinMode pins = PinMode::normal;
    for (const InstructionDecode& d : decode_) {
        if ((instruction & d.care) == d.value) {
            selects = d.selects;
            pins = d.pins;
            break;
        }
    }
    selected_ = selects;
    if (pins != pin_mode_) {
        pin_mode_ = pins;
        pins_changed_ = true;
    }
}

void Tap::reset_logic() noexcept
{
    select(config_.has_idcode ? config_.idcode_instruction : config_.bypass_instruction);
    if (boundary_) {
        boundary_->reset();
    }
}

void Tap::reset() noexcept
{
    state_ = TapState::test_logic_reset;
    reset_logic();
}

void Tap::set_user(std::uint64_t value) noexcept
{
    user_ = value & mask_of(config_.user_length);
}

PinDrive Tap::pin_drive(std::size_t pin) const noexcept
{
    return boundary_ ? boundary_->drive(pin, pin_mode_) : PinDrive{};
}

bool Tap::take_pins_changed() noexcept
{
    return std::exchange(pins_changed_, false);
}

unsigned Tap::dr_length() const noexcept
{
    switch (selected_) {
    case TapRegister::idcode:
    case TapRegister::usercode:
        return 32;
    case TapRegister::user:
        return config_.user_length;
    case TapRegister::boundary:
        return boundary_->length();
    case TapRegister::bypass:
        break;
    }
    return 1;
}

bool Tap::tdo() const noexcept
{
    if (state_ == TapState::shift_dr && selected_ == TapRegister::boundary) {
        return boundary_->tdo();
    }
    if (state_ == TapState::shift_dr || state_ == TapState::shift_ir) {
        return (shift_ & 1) != 0;
    }
    return true;
}

void Tap::clock(bool tms, bool tdi) noexcept
{
    ++tck_count_;
    const std::uint64_t in = tdi ? 1 : 0;
    switch (state_) {
    case TapState::capture_dr:
        switch (selected_) {
        case TapRegister::idcode:
            shift_ = config_.idcode;
            break;
        case TapRegister::usercode:
            shift_ = config_.boundary_scan->device->usercode->value;
            break;
        case TapRegister::user:
            shift_ = user_;
            break;
        case TapRegister::boundary:
            boundary_->capture(pin_levels_);
            break;
        case TapRegister::bypass:
            shift_ = 0;
            break;
        }
        break;
    case TapState::capture_ir:
        shift_ = config_.ir_capture;
        break;
    case TapState::shift_dr:
        if (selected_ == TapRegister::boundary) {
            boundary_->shift(tdi);
        } else {
            shift_ = (shift_ >> 1) | (in << (dr_length() - 1));
        }
        break;
    case TapState::shift_ir:
        shift_ = (shift_ >> 1) | (in << (config_.ir_length - 1));
        break;
    default:
        break;
    }

    state_ = next_tap_state(state_, tms);

    switch (state_) {
    case TapState::test_logic_reset:
        reset_logic();
        break;
    case TapState::update_ir:
        select(static_cast<std::uint32_t>(shift_ & mask_of(config_.ir_length)));
        break;
    case TapState::update_dr:
        if (selected_ == TapRegister::user) {
            user_ = shift_ & mask_of(config_.user_length);
        } else if (selected_ == TapRegister::boundary) {
            boundary_->update();
            pins_changed_ = pins_changed_ || pin_mode_ == PinMode::extest;
        }
        break;
    default:
        break;
    }
}

JtagChain::JtagChain(std::vector<TapConfig> taps, Empty empty, NetworkConfig network) : empty_(empty)
{
    taps_.reserve(taps.size());
    std::vector<std::size_t> pin_counts;
    for (auto& config : taps) {
        taps_.emplace_back(std::move(config));
        pin_counts.push_back(taps_.back().pin_count());
        has_pins_ = has_pins_ || pin_counts.back() > 0;
    }
    network_ = PinNetwork(std::move(network), pin_counts);
    resolve_pins_if_changed();
}

void JtagChain::resolve_pins_if_changed(bool external_changed) noexcept
{
    if (!has_pins_) {
        return;
    }
    bool changed = external_changed;
    for (Tap& tap : taps_) {
        changed = tap.take_pins_changed() || changed;
    }
    if (changed) {
        network_.resolve(taps_);
        // A part's answer may move another part's input (nets shorted
        // together): run them until the nets settle, within a bound that
        // stops a loop of parts answering each other.
        constexpr int MOST_ROUNDS = 8;
        for (int round = 0; round < MOST_ROUNDS && run_attached(); ++round) {
            network_.resolve(taps_);
        }
    }
}

void JtagChain::attach_flash(SpiFlash flash, SpiNets nets)
{
    pin_flash_.emplace(PinFlash{std::move(flash), nets, network_.net_level(nets.sck), true});
}

bool JtagChain::run_attached()
{
    const bool flash = run_flash();
    const bool i2c = run_i2c();
    return flash || i2c;
}

bool JtagChain::run_flash()
{
    if (!pin_flash_) {
        return false;
    }
    PinFlash& f = *pin_flash_;
    const bool was_selected = f.flash.selected();
    const bool cs = network_.net_level(f.nets.cs);
    const bool sck = network_.net_level(f.nets.sck);
    const bool old_miso = f.miso;
    if (cs) {
        f.flash.deselect();
    } else {
        if (!was_selected) {
            f.flash.select();
            f.miso = true;
        } else if (sck && !f.sck) {
            f.miso = f.flash.clock(network_.net_level(f.nets.mosi), BitOrder::msb_first);
        }
    }
    f.sck = sck;
    const bool selected = f.flash.selected();
    if (selected != was_selected || f.miso != old_miso) {
        network_.set_external(f.nets.miso, selected ? std::optional<bool>(f.miso) : std::nullopt);
        return true;
    }
    return false;
}

void JtagChain::attach_i2c(I2cBus bus, I2cNets nets)
{
    const bool scl = network_.net_level(nets.scl);
    const bool sda = network_.net_level_without_external(nets.sda);
    bus.set_lines(scl, sda);
    pin_i2c_.emplace(PinI2c{std::move(bus), nets, scl, sda, false, {}, 0, 0});
}

bool JtagChain::run_i2c()
{
    if (!pin_i2c_) {
        return false;
    }
    PinI2c& b = *pin_i2c_;
    // SDA as the master side leaves it: the devices' own pull is not a
    // START, nor a 0 the master sends.
    const bool scl = network_.net_level(b.nets.scl);
    const bool sda = network_.net_level_without_external(b.nets.sda);
    if (scl != b.scl || sda != b.sda_master) {
        b.bus.set_master(scl, sda);
        b.scl = scl;
        b.sda_master = sda;
    }
    bool changed = false;
    // An acknowledge clock just ended: the selected device may hold SCL low.
    // The bus is given the SCL net's level, so it sees no edge until the
    // device lets go (count_scl_hold).
    if (b.bus.acknowledges() != b.acknowledges) {
        b.acknowledges = b.bus.acknowledges();
        for (const auto& [device, tck] : b.stretch) {
            if (device == b.bus.selected() && tck > 0 && b.scl_held == 0) {
                b.scl_held = tck;
                network_.set_external(b.nets.scl, false);
                changed = true;
            }
        }
    }
    const bool device_low = b.bus.device_pulls_sda();
    if (device_low != b.device_low) {
        b.device_low = device_low;
        network_.set_external(b.nets.sda, device_low ? std::optional<bool>(false) : std::nullopt);
        changed = true;
    }
    return changed;
}

void JtagChain::stretch_i2c(const I2cDevice& device, std::uint32_t tck)
{
    if (!pin_i2c_) {
        return;
    }
    auto& stretch = pin_i2c_->stretch;
    for (auto& [known, known_tck] : stretch) {
        if (known == &device) {
            known_tck = tck;
            return;
        }
    }
    stretch.emplace_back(&device, tck);
}

bool JtagChain::count_scl_hold() noexcept
{
    if (!pin_i2c_ || pin_i2c_->scl_held == 0 || --pin_i2c_->scl_held > 0) {
        return false;
    }
    network_.set_external(pin_i2c_->nets.scl, std::nullopt);
    return true;
}

void JtagChain::set_trst(bool asserted) noexcept
{
    trst_ = asserted;
    if (asserted) {
        for (Tap& tap : taps_) {
            tap.reset();
        }
        resolve_pins_if_changed();
    }
}

bool JtagChain::tdo(bool tdi) const noexcept
{
    if (taps_.empty()) {
        return empty_ == Empty::wire ? tdi : true;
    }
    if (trst_) {
        return true; // held in Test-Logic-Reset: TDO released
    }
    return taps_.front().tdo();
}

bool JtagChain::clock(bool tms, bool tdi) noexcept
{
    // Every TAP shifts at the same edge: take all outputs first.
    const bool chain_tdo = tdo(tdi);
    // A device stretching SCL counts TCK whatever the TAPs do.
    const bool scl_released = count_scl_hold();
    if (taps_.empty() || trst_) {
        resolve_pins_if_changed(scl_released);
        return chain_tdo; // a wire, or held in Test-Logic-Reset: nothing shifts
    }
    for (std::size_t i = 0; i < taps_.size(); ++i) {
        const bool in = i + 1 < taps_.size() ? taps_[i + 1].tdo() : tdi;
        taps_[i].clock(tms, in);
    }
    resolve_pins_if_changed(scl_released);
    return chain_tdo;
}

} // namespace orv::emu
