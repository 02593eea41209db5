// The I2C bus on two pins of a device held in EXTEST (pin_bus.hpp): each
// bus phase a few DR scans, the line state before and after in a comment.
#include <algorithm>
#include <array>
#include <chrono>

#include "lib/wire/i2c_transaction.hpp"

#include "lib/devices/bscan/pin_bus.hpp"
#include "lib/devices/session/failure.hpp"

namespace orv::dev::bscan {

std::string PinI2cLink::line(const char* role) const
{
    return pins_.name(std::string(role) == "SCL" ? scl_ : sda_);
}

std::vector<PinSetting> PinI2cLink::at_rest() const
{
    return {{scl_.pin, std::nullopt}, {sda_.pin, std::nullopt}};
}

PinI2cLink::PinI2cLink(BoundaryChain& chain, std::size_t tap, const I2cPinNames& names, bool ten_bit,
                       bool wait_for_scl)
    : pins_(chain, tap), ten_bit_(ten_bit), wait_for_scl_(wait_for_scl)
{
    const Boundary& b = pins_.boundary();
    const std::pair<PinLine*, const std::string*> wanted[] = {{&scl_, &names.scl}, {&sda_, &names.sda}};
    std::vector<std::size_t> used;
    for (const auto& [l, name] : wanted) {
        const std::size_t pin = pins_.find(l->role, *name);
        const PinCells& cells = b.pins()[pin];
        if (!HeldPins::can_drive(cells)) {
            throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                          std::string(l->role) + ": " + *name + " is " +
                              std::string(name_of(cells.direction)) + ": the device cannot pull it low",
                          "give a pin with an output cell and a control cell");
        }
        if (!cells.control) {
            throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                          std::string(l->role) + ": " + *name +
                              " has no control cell: the device cannot let the line go, as an open-drain "
                              "I2C line must",
                          "give a pin with an output cell and a control cell");
        }
        if (l == &sda_ && !cells.input) {
            throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                          "SDA: " + *name + " has no input cell: the device cannot read the acknowledges",
                          "give a pin with an input cell");
        }
        HeldPins::use_once(l->role, *name, used, pin);
        l->pin = pin;
    }
    // The cells of each line low and let go, from the device's own drive.
    for (const auto& [l, cells] : {std::pair{&scl_, &scl_cells_}, std::pair{&sda_, &sda_cells_}}) {
        const PinCells& pin = b.pins()[l->pin];
        Bits low = b.safe();
        Boundary::drive(low, pin, false);
        Bits released = low;
        Boundary::release(released, pin);
        for (const unsigned c : {*pin.output, *pin.control}) {
            cells->low.push_back({c, low[c]});
            cells->released.push_back({c, released[c]});
        }
    }
    scl_read_ = b.pins()[scl_.pin].input.has_value();
    if (wait_for_scl_ && !scl_read_) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "SCL: " + names.scl +
                          " has no input cell: the bus cannot wait for a device stretching the clock",
                      "give a pin with an input cell, or open the bus without waiting for SCL");
    }
    scl_input_ = scl_read_ ? *b.pins()[scl_.pin].input : 0;
    sda_input_ = *b.pins()[sda_.pin].input;

    pins_.keep_others(used);
    // Both lines let go must read high (their pull-ups); each pulled low
    // must read low (a line that does not follow is not the net's).
    auto check = [&](const std::vector<PinSetting>& settings, bool scl, bool sda) {
        const Readout r = pins_.hold(settings);
        const std::pair<const PinLine*, bool> expect[] = {{&scl_, scl}, {&sda_, sda}};
        for (const auto& [l, level] : expect) {
            const PinCells& cells = b.pins()[l->pin];
            if (cells.input && (r.capture.at(*cells.input) != 0) != level) {
                throw Failure(ORVDEV_ERROR_I2C_LINE_HELD,
                              "the " + line(l->role) + " line reads " + (level ? "0" : "1") +
                                  " while the pins " + (level ? "let it go" : "pull it low") +
                                  (level ? ": its net is stuck low or has no pull-up"
                                         : ": its net is stuck high or not on this pin"),
                              "check the net of " + line(l->role) +
                                  " and its pull-up (orvtool jtag connect-test finds stuck and open nets)");
            }
        }
    };
    try {
        if (wait_for_scl_) {
            // A device may still hold SCL from a transfer cut short: wait,
            // within the time limit, as every clock of the bus will.
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(session().timeout_ms());
            while (pins_.hold(at_rest()).capture.at(scl_input_) == 0 &&
                   std::chrono::steady_clock::now() < deadline) {
            }
        }
        // SDA moves only while SCL is low: no START or STOP on the bus.
        check(at_rest(), true, true);
        check({{scl_.pin, false}, {sda_.pin, std::nullopt}}, false, true);
        check({{scl_.pin, false}, {sda_.pin, false}}, false, false);
        check({{scl_.pin, false}, {sda_.pin, std::nullopt}}, false, true);
        check(at_rest(), true, true);
    } catch (...) {
        pins_.release_now();
        throw;
    }
    pins_.take_register();
}

// A transaction's scans, from both lines let go back to both let go, with
// what each level read stands for.
class PinI2cLink::Transaction {
public:
    explicit Transaction(PinI2cLink& link) : link_(link), batch_(link.session(), link.pins_.stats())
    {
        link_.pins_.begin();
    }

    // What a sampled scan reads.
    struct Read {
        // idle: both lines let go; clock: SCL alone, let go; wait: SCL
        // read while the bus waits for it; ack, bit: SDA with SCL.
        enum class Kind : std::uint8_t { idle, clock, ack, bit, wait } kind;
        std::size_t message = 0;
        std::size_t byte = 0; // ack: the data byte (npos: the address)
        unsigned bit = 0;
    };
    static constexpr std::size_t ADDRESS = static_cast<std::size_t>(-1);

    // START. assert before: SCL and SDA let go; after: SCL low, SDA low.
    // The first scan's capture shows the bus at rest: both lines high.
    void start()
    {
        put(true, false, Read{Read::Kind::idle});
        put(false, false);
    }
    // Repeated START. assert before: SCL low; after: SCL low, SDA low.
    void repeated_start()
    {
        if (!sda_) {
            put(false, true);
        }
        release_scl(true);
        put(true, false, Read{Read::Kind::idle});
        put(false, false);
    }
    // STOP. assert before: SCL low; after: SCL and SDA let go.
    void stop()
    {
        if (sda_) {
            put(false, false);
        }
        release_scl(false);
        put(true, true, clock_read());
    }
    // One bit clock. assert before: SCL low; after: SCL low, SDA at `sda`.
    // The level read is the capture of the scan that pulls SCL low again:
    // the bus as the high phase left it.
    void bit(bool sda, std::optional<Read> read = std::nullopt)
    {
        if (sda != sda_) {
            put(false, sda);
        }
        release_scl(sda);
        put(false, sda, read ? read : clock_read());
        ++link_.pins_.stats().spi_clocks;
    }
    // A byte out and its acknowledge read.
    void byte_out(std::uint8_t value, std::size_t message, std::size_t byte)
    {
        for (int k = 7; k >= 0; --k) {
            bit((value >> k & 1U) != 0);
        }
        bit(true, Read{Read::Kind::ack, message, byte});
    }
    // A byte in, acknowledged unless it is the last of its message.
    void byte_in(std::size_t message, std::size_t byte, bool last)
    {
        for (unsigned k = 0; k < 8; ++k) {
            bit(true, Read{Read::Kind::bit, message, byte, k});
        }
        bit(last);
    }
    void address(const i2c::Message& m, std::size_t message, bool ten_bit)
    {
        using orv::i2c::Direction;
        message_ = message;
        const Direction d = m.read ? Direction::read : Direction::write;
        if (!ten_bit) {
            byte_out(orv::i2c::seven_bit_address(m.addr, d), message, ADDRESS);
            return;
        }
        byte_out(orv::i2c::ten_bit_header(m.addr, Direction::write), message, ADDRESS);
        byte_out(orv::i2c::ten_bit_low(m.addr), message, ADDRESS);
        if (m.read) {
            repeated_start();
            byte_out(orv::i2c::ten_bit_header(m.addr, Direction::read), message, ADDRESS);
        }
    }

    // Sends what is left; the levels read, in the order of reads().
    std::int32_t send()
    {
        if (!failed()) {
            link_.pins_.end(batch_);
            rc_ = batch_.send(levels_);
        }
        return rc_;
    }
    // SCL stayed low past the time limit while the bus waited for it.
    [[nodiscard]] bool scl_held() const noexcept { return scl_held_; }
    [[nodiscard]] const std::vector<Read>& reads() const noexcept { return reads_; }
    [[nodiscard]] const std::vector<std::uint8_t>& levels() const noexcept { return levels_; }

private:
    [[nodiscard]] bool failed() const noexcept { return rc_ != 0 || scl_held_; }
    // Every high phase reads SCL where it can be read: a device holding it
    // low swallows the clock, and what follows would be misread.
    [[nodiscard]] std::optional<Read> clock_read() const
    {
        return link_.scl_read_ ? std::optional<Read>(Read{Read::Kind::clock, message_}) : std::nullopt;
    }

    // SCL let go. When the bus waits for a device stretching the clock, the
    // scans so far go out with one that reads SCL, and more follow until SCL
    // reads high: the bus goes on only once the clock is up, as a master on
    // the wire does. assert before: SCL low; after: SCL high.
    void release_scl(bool sda)
    {
        put(true, sda);
        if (!link_.wait_for_scl_) {
            return;
        }
        const std::size_t per_read = link_.scl_read_ ? 2 : 1;
        const bool scl_first = link_.scl_input_ < link_.sda_input_;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(link_.session().timeout_ms());
        while (!failed()) {
            put(true, sda, Read{Read::Kind::wait});
            link_.pins_.end(batch_);
            rc_ = batch_.send(levels_);
            link_.pins_.begin();
            if (rc_ != 0 || levels_.size() < per_read) {
                return;
            }
            if (levels_[levels_.size() - per_read + (scl_first ? 0 : 1)] != 0) {
                return;
            }
            scl_held_ = std::chrono::steady_clock::now() > deadline;
        }
    }

    // One update of the lines (true: let go), with the capture before it
    // read when `read` says what it stands for.
    void put(bool scl, bool sda, std::optional<Read> read = std::nullopt)
    {
        if (failed()) {
            return;
        }
        std::array<HeldPins::Cell, 4> set{};
        std::size_t n = 0;
        for (const auto& [level, cells] :
             {std::pair{scl, &link_.scl_cells_}, std::pair{sda, &link_.sda_cells_}}) {
            for (const HeldPins::Cell& c : level ? cells->released : cells->low) {
                set[n++] = c;
            }
        }
        std::array<std::size_t, 2> sample{};
        std::size_t sampled = 0;
        if (read) {
            if (link_.scl_read_) {
                sample[sampled++] = link_.scl_input_;
            }
            sample[sampled++] = link_.sda_input_;
            std::sort(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(sampled));
            // A full read-back goes before the levels that would not fit.
            rc_ = batch_.send_if_full(levels_, sampled);
            reads_.push_back(*read);
        }
        if (!failed()) {
            link_.pins_.scan(batch_, std::span(set).first(n), std::span(sample).first(sampled));
        }
        scl_ = scl;
        sda_ = sda;
    }

    PinI2cLink& link_;
    HeldPins::Batch batch_;
    std::vector<Read> reads_;
    std::vector<std::uint8_t> levels_;
    std::int32_t rc_ = 0;
    std::size_t message_ = 0; // the message whose bits are being built
    bool scl_held_ = false;
    bool scl_ = true;
    bool sda_ = true;
};

std::optional<i2c::TransferFault> PinI2cLink::run(std::span<const i2c::Message> messages)
{
    using i2c::TransferFault;
    pins_.rehold(at_rest());
    // The whole transaction goes out at once, whatever the acknowledges say:
    // a refused address or byte ends it only in what is reported, and the
    // bytes clocked on after it go to no device or one that refuses them.
    Transaction t(*this);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const i2c::Message& m = messages[i];
        if (i == 0) {
            t.start();
        } else {
            t.repeated_start();
        }
        t.address(m, i, ten_bit_);
        for (std::size_t b = 0; b < m.data.size(); ++b) {
            if (m.read) {
                t.byte_in(i, b, b + 1 == m.data.size());
            } else {
                t.byte_out(m.data[b], i, b);
            }
        }
    }
    t.stop();
    const std::int32_t rc = t.send();
    if (rc != 0) {
        pins_.chain().forget_holds();
        return TransferFault{TransferFault::Kind::bus, 0, 0, rc};
    }
    if (t.scl_held()) {
        TransferFault fault{TransferFault::Kind::line};
        fault.detail = "the " + line("SCL") + " line stayed low for more than " +
                       std::to_string(session().timeout_ms()) +
                       " ms while the bus waited for it: its net is stuck low, or a device holds the clock";
        return fault;
    }
    const std::size_t per_read = scl_read_ ? 2 : 1;
    if (t.levels().size() != per_read * t.reads().size()) {
        pins_.chain().forget_holds();
        throw Failure(ORVDEV_ERROR_INTERNAL, "fewer I2C line levels came back than were read");
    }
    // The levels of each read: SCL and SDA in register order.
    const bool scl_first = scl_read_ && scl_input_ < sda_input_;
    std::vector<Bytes> data(messages.size());
    std::optional<TransferFault> fault;
    for (std::size_t r = 0; r < t.reads().size() && !fault; ++r) {
        const Transaction::Read& read = t.reads()[r];
        const std::uint8_t* at = t.levels().data() + per_read * r;
        const bool sda = (scl_read_ ? at[scl_first ? 1 : 0] : at[0]) != 0;
        const bool scl = scl_read_ ? at[scl_first ? 0 : 1] != 0 : true;
        if (read.kind == Transaction::Read::Kind::wait) {
            continue; // the bus waited until SCL read high
        }
        if (!scl) {
            fault = TransferFault{TransferFault::Kind::line};
            fault->message = read.message;
            fault->detail = "the " + line("SCL") + " line read 0 while the bus had let it go" +
                            (read.kind == Transaction::Read::Kind::idle
                                 ? std::string(" before the START")
                                 : " in message " + std::to_string(read.message) + " (counted from 0)") +
                            ": its net is stuck low, or a device stretches the clock (open the bus to wait "
                            "for SCL at every clock: orvtool i2c --stretch, Python stretch=True)";
            break;
        }
        switch (read.kind) {
        case Transaction::Read::Kind::idle:
            if (!sda) {
                fault = TransferFault{TransferFault::Kind::line};
                fault->message = read.message;
                fault->detail = "the " + line("SDA") +
                                " line read 0 before the START while the bus had let it go: its net is stuck "
                                "low, or a device holds it in the middle of a transfer";
            }
            break;
        case Transaction::Read::Kind::ack:
            if (sda) {
                fault = read.byte == Transaction::ADDRESS
                            ? TransferFault{TransferFault::Kind::address, read.message}
                            : TransferFault{TransferFault::Kind::data, read.message, read.byte};
            }
            break;
        case Transaction::Read::Kind::clock:
        case Transaction::Read::Kind::wait:
            break;
        case Transaction::Read::Kind::bit:
            data[read.message].resize(read.byte + 1);
            data[read.message][read.byte] =
                static_cast<std::uint8_t>(data[read.message][read.byte] | (sda ? 0x80U >> read.bit : 0U));
            break;
        }
    }
    if (fault) {
        return fault;
    }
    // Every acknowledge came: the reads reach the caller.
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].read) {
            std::copy_n(data[i].begin(), std::min(data[i].size(), messages[i].data.size()),
                        messages[i].data.begin());
        }
    }
    return std::nullopt;
}

std::optional<i2c::TransferFault> PinI2cLink::probe(std::uint32_t addr, bool read)
{
    std::uint8_t byte = 0;
    const i2c::Message m{addr, read, read ? std::span(&byte, 1) : std::span<std::uint8_t>()};
    return run(std::span(&m, 1));
}

std::optional<i2c::TransferFault> PinI2cLink::read(std::uint32_t addr, std::span<std::uint8_t> out)
{
    const i2c::Message m{addr, true, out};
    return run(std::span(&m, 1));
}

std::optional<i2c::TransferFault> PinI2cLink::write(std::uint32_t addr, std::span<const std::uint8_t> bytes)
{
    Bytes data(bytes.begin(), bytes.end());
    const i2c::Message m{addr, false, data};
    return run(std::span(&m, 1));
}

std::optional<i2c::TransferFault> PinI2cLink::transfer(std::span<const i2c::Message> messages)
{
    return run(messages);
}

} // namespace orv::dev::bscan
