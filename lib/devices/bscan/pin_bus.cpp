#include "lib/devices/bscan/pin_bus.hpp"

#include <algorithm>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/tap_phases.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev::bscan {

namespace {

std::string tap_name(std::size_t tap)
{
    return "TAP " + std::to_string(tap);
}

bool can_drive(const PinCells& pin)
{
    return pin.output.has_value() && pin.direction != PinDirection::in;
}

} // namespace

std::string PinSpiBus::line(const char* role) const
{
    const Line* all[] = {&cs_, &sck_, &mosi_, &miso_};
    for (const Line* l : all) {
        if (std::string(l->role) == role) {
            const Boundary& b = chain_.boundary(tap_);
            return std::string(role) + " (" + b.name_of(b.pins()[l->pin]) + ")";
        }
    }
    return role;
}

PinSpiBus::PinSpiBus(BoundaryChain& chain, std::size_t tap, const SpiPinNames& names, int mode)
    : chain_(chain), tap_(tap), mode_(mode)
{
    if (mode != 0 && mode != 3) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "SPI mode " + std::to_string(mode) + " through pins: modes 0 and 3 are made");
    }
    const Boundary& b = chain_.boundary(tap);
    // Every instruction the bus needs, before anything is sent.
    (void)chain_.opcode(tap, "SAMPLE");
    (void)chain_.opcode(tap, "PRELOAD");
    (void)chain_.opcode(tap, "EXTEST");
    const std::pair<Line*, const std::string*> wanted[] = {
        {&cs_, &names.cs}, {&sck_, &names.sck}, {&mosi_, &names.mosi}, {&miso_, &names.miso}};
    std::vector<std::size_t> used;
    for (const auto& [l, name] : wanted) {
        const auto pin = b.find(*name);
        if (!pin) {
            throw Failure(ORVDEV_ERROR_UNKNOWN_PIN,
                          std::string(l->role) + ": " + b.device().entity + " (" + tap_name(tap) +
                              ") has no boundary-scan pin called '" + *name + "'",
                          "orvtool jtag pins lists the pins of the device");
        }
        const PinCells& cells = b.pins()[*pin];
        if (l != &miso_ && !can_drive(cells)) {
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
        if (std::find(used.begin(), used.end(), *pin) != used.end()) {
            throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                          std::string(l->role) + ": " + *name + " is already another line of the bus");
        }
        used.push_back(*pin);
        l->pin = *pin;
    }

    // The other pins keep what they show now: driven ones their level,
    // the rest let go.
    chain_.jtag().claim_adapter();
    const Readout now = chain_.sample(tap);
    for (std::size_t p = 0; p < b.pins().size(); ++p) {
        if (std::find(used.begin(), used.end(), p) != used.end() || !can_drive(b.pins()[p])) {
            continue;
        }
        const PinLevel& level = now.pins[p];
        kept_.push_back(PinSetting{p, level.driven && level.value ? level.value : std::nullopt});
    }

    // The driven lines must follow: SCK and MOSI at both levels (CS high,
    // the part deselected), CS high.
    const bool idle = mode_ == 3;
    auto drive_lines = [&](bool sck, bool mosi) {
        std::vector<PinSetting> settings = kept_;
        settings.push_back({cs_.pin, true});
        settings.push_back({sck_.pin, sck});
        settings.push_back({mosi_.pin, mosi});
        settings.push_back({miso_.pin, std::nullopt});
        const Readout r = chain_.drive(tap_, settings, true);
        holding_ = true;
        const std::pair<const Line*, bool> expect[] = {{&cs_, true}, {&sck_, sck}, {&mosi_, mosi}};
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
        if (holding_) {
            try {
                chain_.release();
            } catch (const Failure&) {
                // The failure that brought us here is the one to tell.
            }
        }
        throw;
    }

    // The chain's DR with the device in EXTEST: the other TAPs in BYPASS (or
    // held as they are), this one at its held image.
    std::vector<TapRole> roles = chain_.bypass_roles();
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

PinSpiBus::~PinSpiBus()
{
    try {
        if (holding_) {
            chain_.release();
        }
    } catch (const Failure&) {
        // The adapter is gone or failing: the devices stay as they are.
    }
}

void PinSpiBus::hold()
{
    // Another user of the adapter (or a failure) since the last
    // transaction: the TAPs may be anywhere, hold the device again.
    if (chain_.needs_reset() || !chain_.held(tap_)) {
        std::vector<PinSetting> settings = kept_;
        settings.push_back({cs_.pin, true});
        settings.push_back({sck_.pin, mode_ == 3});
        settings.push_back({mosi_.pin, false});
        settings.push_back({miso_.pin, std::nullopt});
        (void)chain_.drive(tap_, settings, true);
    }
    chain_.jtag().claim_adapter();
}

// The scans of a transaction as adapter commands, cut into batches whose
// read-back stays within the bound; each batch ends in a flush and goes out
// as one OUT transfer and one read-back exchange.
class PinSpiBus::Batch {
public:
    static constexpr std::size_t MAX_READBACK_BITS = 8 * engine::DEFAULT_MAX_READBACK;

    Batch(const Session& session, PinBusStats& stats)
        : wire_(session.handle(), session.timeout_ms()), stats_(stats)
    {
    }

    // TMS clocks (pattern bit k for clock k), TDI held at `tdi`.
    void tms(std::uint8_t pattern, unsigned clocks, bool tdi, bool read = false)
    {
        command([&](CommandStream& s) { jtag::append_tms_clocks(s, pattern, clocks, tdi, read); });
        stats_.wire.clocks += clocks;
        sampled_ += read ? 1 : 0;
    }
    // Bits [from, to) of `bits` shifted with TMS low, none read.
    void shift(const Bits& bits, std::size_t from, std::size_t to)
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
        stats_.wire.clocks += to - from;
    }
    // One bit shifted with TMS low, TDO read.
    void read_bit(bool tdi)
    {
        command([&](CommandStream& s) { jtag::append_shift_bits(s, tdi ? 1 : 0, 1, true); });
        ++stats_.wire.clocks;
        ++sampled_;
    }
    // Sends the batch when its read-back is full; `levels` gets what it read.
    [[nodiscard]] std::int32_t send_if_full(std::vector<std::uint8_t>& levels)
    {
        return sampled_ >= MAX_READBACK_BITS ? send(levels) : 0;
    }
    [[nodiscard]] std::int32_t send(std::vector<std::uint8_t>& levels)
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

private:
    template <typename F> void command(F&& put)
    {
        constexpr std::size_t ROOM = 8;
        stream_.resize(size_ + ROOM);
        CommandStream s{std::span<std::uint8_t>(stream_).subspan(size_)};
        put(s);
        size_ += s.size();
    }

    engine::UsbWire wire_;
    PinBusStats& stats_;
    std::vector<std::uint8_t> stream_;
    std::size_t size_ = 0;
    std::size_t sampled_ = 0;
};

// One DR scan, entered from Run-Test/Idle or from the Update-DR of the scan
// before: Select-DR, Capture-DR, Shift-DR (with the exit of the scan before,
// one TMS command), the register with its last bit left for the exit clock.
void PinSpiBus::scan(Batch& batch, bool cs, bool sck, bool mosi, bool sample)
{
    const Boundary& b = chain_.boundary(tap_);
    auto set = [&](const Line& l, bool level) { dr_[offset_ + *b.pins()[l.pin].output] = level ? 1 : 0; };
    if (stats_.scans == first_scan_) {
        batch.tms(0b001, 3, false); // Run-Test/Idle to Shift-DR
    } else {
        // The last bit of the scan before on its exit clock, Update-DR,
        // then into this scan's Shift-DR: TMS 1, 1, 1, 0, 0.
        batch.tms(0b00111, 5, last_bit_);
    }
    set(cs_, cs);
    set(sck_, sck);
    set(mosi_, mosi);
    const std::size_t miso = offset_ + *b.pins()[miso_.pin].input;
    const std::size_t last = dr_length_ - 1;
    if (sample && miso < last) {
        batch.shift(dr_, 0, miso);
        batch.read_bit(dr_[miso] != 0);
        batch.shift(dr_, miso + 1, last);
    } else {
        batch.shift(dr_, 0, last);
    }
    last_bit_ = dr_[last] != 0;
    if (sample && miso == last) {
        // The MISO cell nearest TDI: its bit rides on the exit clock, read.
        batch.tms(0b1, 1, last_bit_, true);
        batch.tms(0b1, 1, false); // Exit1-DR to Update-DR
        exited_ = true;
    } else {
        exited_ = false;
    }
    ++stats_.scans;
}

void PinSpiBus::transact(const flash::SpiCommand& c, const std::string& doing)
{
    hold();
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

    Batch batch(session(), stats_);
    std::vector<std::uint8_t> miso;
    std::int32_t rc = 0;
    first_scan_ = stats_.scans;
    const bool idle = mode_ == 3;
    const auto next = [&](bool cs, bool sck, bool mosi, bool sample) {
        if (sample && rc == 0) {
            // A full read-back goes before the bit that would not fit: the
            // last batch carries the end of the transaction with it.
            rc = batch.send_if_full(miso);
        }
        if (rc == 0) {
            scan(batch, cs, sck, mosi, sample);
            if (exited_) {
                // The exit went with a read: the next scan enters from
                // Update-DR with TMS 1, 0, 0 alone.
                first_scan_ = stats_.scans;
            }
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
        if (exited_) {
            batch.tms(0b0, 1, false); // Update-DR to Run-Test/Idle
        } else {
            batch.tms(0b011, 3, last_bit_); // exit, Update-DR, Run-Test/Idle
        }
        rc = batch.send(miso);
    }
    stats_.spi_clocks += bits.size();
    if (rc != 0) {
        chain_.forget_holds();
        check_bus(rc, doing);
    }
    if (miso.size() != 8 * c.in.size()) {
        chain_.forget_holds();
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
