#include "lib/devices/bscan/pin_bus.hpp"

#include <algorithm>
#include <array>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/tap_phases.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev::bscan {

namespace {

std::string tap_name(std::size_t tap)
{
    return "TAP " + std::to_string(tap);
}

} // namespace

// ---------------------------------------------------------------- held pins

bool HeldPins::can_drive(const PinCells& pin)
{
    return pin.output.has_value() && pin.direction != PinDirection::in;
}

void HeldPins::use_once(const char* role, const std::string& name, std::vector<std::size_t>& used,
                        std::size_t pin)
{
    if (std::find(used.begin(), used.end(), pin) != used.end()) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      std::string(role) + ": " + name + " is already another line of the bus");
    }
    used.push_back(pin);
}

HeldPins::HeldPins(BoundaryChain& chain, std::size_t tap) : chain_(chain), tap_(tap)
{
    (void)chain_.boundary(tap);
    // Every instruction a bus needs, before anything is sent.
    (void)chain_.opcode(tap, "SAMPLE");
    (void)chain_.opcode(tap, "PRELOAD");
    (void)chain_.opcode(tap, "EXTEST");
}

HeldPins::~HeldPins()
{
    release_now();
}

void HeldPins::release_now() noexcept
{
    try {
        if (holding_) {
            holding_ = false;
            chain_.release();
        }
    } catch (const Failure&) {
        // The adapter is gone or failing: the devices stay as they are, and
        // the failure that brought us here is the one to tell.
    }
}

std::size_t HeldPins::find(const char* role, const std::string& name) const
{
    const Boundary& b = boundary();
    const auto pin = b.find(name);
    if (!pin) {
        throw Failure(ORVDEV_ERROR_UNKNOWN_PIN,
                      std::string(role) + ": " + b.device().entity + " (" + tap_name(tap_) +
                          ") has no boundary-scan pin called '" + name + "'",
                      "orvtool jtag pins lists the pins of the device");
    }
    return *pin;
}

std::string HeldPins::name(const PinLine& line) const
{
    const Boundary& b = boundary();
    return std::string(line.role) + " (" + b.name_of(b.pins()[line.pin]) + ")";
}

void HeldPins::keep_others(const std::vector<std::size_t>& bus)
{
    const Boundary& b = boundary();
    chain_.jtag().claim_adapter();
    const Readout now = chain_.sample(tap_);
    for (std::size_t p = 0; p < b.pins().size(); ++p) {
        if (std::find(bus.begin(), bus.end(), p) != bus.end() || !HeldPins::can_drive(b.pins()[p])) {
            continue;
        }
        const PinLevel& level = now.pins[p];
        kept_.push_back(PinSetting{p, level.driven && level.value ? level.value : std::nullopt});
    }
}

Readout HeldPins::hold(const std::vector<PinSetting>& bus)
{
    std::vector<PinSetting> settings = kept_;
    settings.insert(settings.end(), bus.begin(), bus.end());
    Readout r = chain_.drive(tap_, settings, true);
    holding_ = true;
    return r;
}

void HeldPins::take_register()
{
    std::vector<TapRole> roles = chain_.bypass_roles();
    dr_.clear();
    for (std::size_t t = 0; t < roles.size(); ++t) {
        if (t == tap_) {
            offset_ = dr_.size();
        }
        if (roles[t].boundary) {
            dr_.insert(dr_.end(), roles[t].boundary->begin(), roles[t].boundary->end());
        } else {
            dr_.push_back(0);
        }
    }
    dr_length_ = dr_.size();
}

void HeldPins::rehold(const std::vector<PinSetting>& bus)
{
    // Another user of the adapter (or a failure) since the last
    // transaction: the TAPs may be anywhere, hold the device again.
    if (chain_.needs_reset() || !chain_.held(tap_)) {
        (void)hold(bus);
        take_register();
    }
    chain_.jtag().claim_adapter();
}

// One DR scan, entered from Run-Test/Idle or from the Update-DR of the scan
// before: Select-DR, Capture-DR, Shift-DR (with the exit of the scan before,
// one TMS command), the register with its last bit left for the exit clock.
void HeldPins::scan(Batch& batch, std::span<const Cell> set, std::span<const std::size_t> sample)
{
    if (stats_.scans == first_scan_) {
        batch.tms(0b001, 3, false); // Run-Test/Idle to Shift-DR
    } else {
        // The last bit of the scan before on its exit clock, Update-DR,
        // then into this scan's Shift-DR: TMS 1, 1, 1, 0, 0.
        batch.tms(0b00111, 5, last_bit_);
    }
    for (const Cell& c : set) {
        dr_[offset_ + c.index] = c.value;
    }
    const std::size_t last = dr_length_ - 1;
    std::size_t at = 0;
    bool last_read = false;
    for (const std::size_t cell : sample) {
        const std::size_t bit = offset_ + cell;
        if (bit == last) {
            last_read = true;
            break;
        }
        batch.shift(dr_, at, bit);
        batch.read_bit(dr_[bit] != 0);
        at = bit + 1;
    }
    batch.shift(dr_, at, last);
    last_bit_ = dr_[last] != 0;
    if (last_read) {
        // A sampled cell nearest TDI: its bit rides on the exit clock, read.
        batch.tms(0b1, 1, last_bit_, true);
        batch.tms(0b1, 1, false); // Exit1-DR to Update-DR
        // The next scan enters from Update-DR with TMS 1, 0, 0 alone.
        exited_ = true;
        first_scan_ = stats_.scans + 1;
    } else {
        exited_ = false;
    }
    ++stats_.scans;
}

void HeldPins::end(Batch& batch)
{
    if (exited_) {
        batch.tms(0b0, 1, false); // Update-DR to Run-Test/Idle
    } else {
        batch.tms(0b011, 3, last_bit_); // exit, Update-DR, Run-Test/Idle
    }
}

void HeldPins::finish(std::int32_t rc, const std::string& doing)
{
    if (rc != 0) {
        chain_.forget_holds();
        check_bus(rc, doing);
    }
}

HeldPins::Batch::Batch(const Session& session, PinBusStats& stats)
    : wire_(session.handle(), session.timeout_ms()), stats_(stats)
{
}

template <typename F> void HeldPins::Batch::command(F&& put)
{
    constexpr std::size_t ROOM = 8;
    stream_.resize(size_ + ROOM);
    CommandStream s{std::span<std::uint8_t>(stream_).subspan(size_)};
    put(s);
    size_ += s.size();
}

void HeldPins::Batch::tms(std::uint8_t pattern, unsigned clocks, bool tdi, bool read)
{
    command([&](CommandStream& s) { jtag::append_tms_clocks(s, pattern, clocks, tdi, read); });
    stats_.wire.clocks += clocks;
    sampled_ += read ? 1 : 0;
}

void HeldPins::Batch::shift(const Bits& bits, std::size_t from, std::size_t to)
{
    std::vector<std::uint8_t> bytes;
    std::size_t i = from;
    for (; i + 8 <= to; i += 8) {
        std::uint8_t byte = 0;
        for (unsigned k = 0; k < 8; ++k) {
            byte = static_cast<std::uint8_t>(byte | (bits[i + k] & 1U) << k);
        }
        bytes.push_back(byte);
    }
    if (!bytes.empty()) {
        stream_.resize(stream_.size() + bytes.size() + 3 * (bytes.size() / 256 + 1));
        CommandStream s{std::span<std::uint8_t>(stream_).subspan(size_)};
        jtag::append_shift_bytes(s, bytes, false);
        size_ += s.size();
    }
    if (i < to) {
        std::uint8_t rest = 0;
        for (std::size_t k = 0; i + k < to; ++k) {
            rest = static_cast<std::uint8_t>(rest | (bits[i + k] & 1U) << k);
        }
        command([&](CommandStream& s) {
            jtag::append_shift_bits(s, rest, static_cast<unsigned>(to - i), false);
        });
    }
    stats_.wire.clocks += to > from ? to - from : 0;
}

void HeldPins::Batch::read_bit(bool tdi)
{
    command([&](CommandStream& s) { jtag::append_shift_bits(s, tdi ? 1 : 0, 1, true); });
    ++stats_.wire.clocks;
    ++sampled_;
}

std::int32_t HeldPins::Batch::send_if_full(std::vector<std::uint8_t>& levels, std::size_t more)
{
    return sampled_ + more > MAX_READBACK_BITS ? send(levels) : 0;
}

std::int32_t HeldPins::Batch::send(std::vector<std::uint8_t>& levels)
{
    if (size_ == 0) {
        return 0;
    }
    if (sampled_ != 0) {
        command([](CommandStream& s) { append_flush(s); });
    }
    std::int32_t rc = wire_.send(std::span(stream_).first(size_));
    ++stats_.wire.out_transfers;
    stats_.wire.stream_bytes += size_;
    if (rc == 0 && sampled_ != 0) {
        std::vector<std::uint8_t> back((sampled_ + 7) / 8);
        rc = wire_.read_back(back);
        ++stats_.wire.exchanges;
        stats_.wire.readback_bytes += back.size();
        for (std::size_t b = 0; rc == 0 && b < sampled_; ++b) {
            levels.push_back(static_cast<std::uint8_t>(back[b / 8] >> (b % 8) & 1U));
        }
    }
    size_ = 0;
    sampled_ = 0;
    return rc;
}

// ---------------------------------------------------------------- SPI

std::string PinSpiBus::line(const char* role) const
{
    for (const PinLine* l : {&cs_, &sck_, &mosi_, &miso_}) {
        if (std::string(l->role) == role) {
            return pins_.name(*l);
        }
    }
    return role;
}

std::vector<PinSetting> PinSpiBus::at_rest() const
{
    return {{cs_.pin, true}, {sck_.pin, mode_ == 3}, {mosi_.pin, false}, {miso_.pin, std::nullopt}};
}

PinSpiBus::PinSpiBus(BoundaryChain& chain, std::size_t tap, const SpiPinNames& names, int mode)
    : pins_(chain, tap), mode_(mode)
{
    if (mode != 0 && mode != 3) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "SPI mode " + std::to_string(mode) + " through pins: modes 0 and 3 are made");
    }
    const Boundary& b = pins_.boundary();
    const std::pair<PinLine*, const std::string*> wanted[] = {
        {&cs_, &names.cs}, {&sck_, &names.sck}, {&mosi_, &names.mosi}, {&miso_, &names.miso}};
    std::vector<std::size_t> used;
    for (const auto& [l, name] : wanted) {
        const std::size_t pin = pins_.find(l->role, *name);
        const PinCells& cells = b.pins()[pin];
        if (l != &miso_ && !HeldPins::can_drive(cells)) {
            throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                          std::string(l->role) + ": " + *name + " is " +
                              std::string(name_of(cells.direction)) + ": the device cannot drive it",
                          "give a pin with an output cell");
        }
        if (l == &miso_ && !cells.input) {
            throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                          "MISO: " + *name + " has no input cell: the device cannot read it",
                          "give a pin with an input cell");
        }
        HeldPins::use_once(l->role, *name, used, pin);
        l->pin = pin;
    }

    // The other pins keep what they show now: driven ones their level,
    // the rest let go.
    pins_.keep_others(used);

    // The driven lines must follow: SCK and MOSI at both levels (CS high,
    // the part deselected), CS high.
    const bool idle = mode_ == 3;
    auto drive_lines = [&](bool sck, bool mosi) {
        const Readout r =
            pins_.hold({{cs_.pin, true}, {sck_.pin, sck}, {mosi_.pin, mosi}, {miso_.pin, std::nullopt}});
        const std::pair<const PinLine*, bool> expect[] = {{&cs_, true}, {&sck_, sck}, {&mosi_, mosi}};
        for (const auto& [l, level] : expect) {
            const PinCells& cells = b.pins()[l->pin];
            if (cells.input && (r.capture.at(*cells.input) != 0) != level) {
                throw Failure(ORVDEV_ERROR_NO_FLASH,
                              "the " + line(l->role) + " line reads " + (level ? "0" : "1") +
                                  " while the pins drive it " + (level ? "1" : "0") +
                                  ": its net is stuck or shorted, no part on the bus can answer",
                              "check the net of " + line(l->role) +
                                  " (orvtool jtag connect-test finds "
                                  "the fault)");
            }
        }
    };
    try {
        drive_lines(!idle, true);
        drive_lines(idle, false);
    } catch (...) {
        pins_.release_now();
        throw;
    }
    pins_.take_register();
}

void PinSpiBus::scan(HeldPins::Batch& batch, bool cs, bool sck, bool mosi, bool sample)
{
    const Boundary& b = pins_.boundary();
    const std::array<HeldPins::Cell, 3> set{
        {{*b.pins()[cs_.pin].output, cs ? std::uint8_t{1} : std::uint8_t{0}},
         {*b.pins()[sck_.pin].output, sck ? std::uint8_t{1} : std::uint8_t{0}},
         {*b.pins()[mosi_.pin].output, mosi ? std::uint8_t{1} : std::uint8_t{0}}}};
    const std::size_t miso = *b.pins()[miso_.pin].input;
    pins_.scan(batch, set, sample ? std::span<const std::size_t>(&miso, 1) : std::span<const std::size_t>());
}

void PinSpiBus::transact(const flash::SpiCommand& c, const std::string& doing)
{
    pins_.rehold(at_rest());
    // The bits out, most significant first; the data phase last.
    std::vector<std::uint8_t> bits;
    auto push_byte = [&](std::uint8_t byte) {
        for (int k = 7; k >= 0; --k) {
            bits.push_back(static_cast<std::uint8_t>(byte >> k & 1U));
        }
    };
    push_byte(c.command);
    if (c.addr) {
        for (unsigned k = c.addr_bytes; k-- > 0;) {
            push_byte(static_cast<std::uint8_t>(*c.addr >> (8 * k)));
        }
    }
    bits.resize(bits.size() + c.dummy_clocks, 0);
    const std::size_t data_from = bits.size();
    for (const std::uint8_t byte : c.out) {
        push_byte(byte);
    }
    bits.resize(bits.size() + 8 * c.in.size(), 0);

    HeldPins::Batch batch(session(), pins_.stats());
    std::vector<std::uint8_t> miso;
    std::int32_t rc = 0;
    pins_.begin();
    const bool idle = mode_ == 3;
    const auto next = [&](bool cs, bool sck, bool mosi, bool sample) {
        if (sample && rc == 0) {
            // A full read-back goes before the bit that would not fit: the
            // last batch carries the end of the transaction with it.
            rc = batch.send_if_full(miso);
        }
        if (rc == 0) {
            scan(batch, cs, sck, mosi, sample);
        }
    };
    // Chip select with the clock at rest; then per bit the data with SCK
    // low and SCK high; the capture of the scan after each rising edge
    // holds MISO for it; chip select released with the clock at rest.
    next(false, idle, bits.empty() ? false : bits[0] != 0, false);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        const bool read_previous = i > 0 && i - 1 >= data_from && !c.in.empty();
        if (i > 0 || idle) {
            next(false, false, bits[i] != 0, read_previous);
        }
        next(false, true, bits[i] != 0, false);
    }
    const bool read_last = !bits.empty() && bits.size() - 1 >= data_from && !c.in.empty();
    next(true, idle, false, read_last);
    if (rc == 0) {
        pins_.end(batch);
        rc = batch.send(miso);
    }
    pins_.stats().spi_clocks += bits.size();
    pins_.finish(rc, doing);
    if (miso.size() != 8 * c.in.size()) {
        pins_.chain().forget_holds();
        throw Failure(ORVDEV_ERROR_INTERNAL, doing + ": fewer MISO bits came back than were asked for");
    }
    for (std::size_t k = 0; k < c.in.size(); ++k) {
        std::uint8_t byte = 0;
        for (std::size_t j = 0; j < 8; ++j) {
            byte = static_cast<std::uint8_t>(byte << 1 | (miso[8 * k + j] & 1U));
        }
        c.in[k] = byte;
    }
}

} // namespace orv::dev::bscan
