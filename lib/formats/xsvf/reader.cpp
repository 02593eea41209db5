#include "lib/formats/xsvf/reader.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <optional>

#include "lib/formats/svf/parse_error.hpp"

namespace orv::xsvf {

namespace {

using svf::Bits;
using svf::Command;
using svf::Pattern;
using svf::Register;
using svf::Statement;
using svf::TapState;
using svf::Value;

// The command bytes.
constexpr std::uint8_t XCOMPLETE = 0x00;
constexpr std::uint8_t XTDOMASK = 0x01;
constexpr std::uint8_t XSIR = 0x02;
constexpr std::uint8_t XSDR = 0x03;
constexpr std::uint8_t XRUNTEST = 0x04;
constexpr std::uint8_t XREPEAT = 0x07;
constexpr std::uint8_t XSDRSIZE = 0x08;
constexpr std::uint8_t XSDRTDO = 0x09;
constexpr std::uint8_t XSETSDRMASKS = 0x0A;
constexpr std::uint8_t XSDRINC = 0x0B;
constexpr std::uint8_t XSDRB = 0x0C;
constexpr std::uint8_t XSDRC = 0x0D;
constexpr std::uint8_t XSDRE = 0x0E;
constexpr std::uint8_t XSDRTDOB = 0x0F;
constexpr std::uint8_t XSDRTDOC = 0x10;
constexpr std::uint8_t XSDRTDOE = 0x11;
constexpr std::uint8_t XSTATE = 0x12;
constexpr std::uint8_t XENDIR = 0x13;
constexpr std::uint8_t XENDDR = 0x14;
constexpr std::uint8_t XSIR2 = 0x15;
constexpr std::uint8_t XCOMMENT = 0x16;
constexpr std::uint8_t XWAIT = 0x17;

// XENDIR and XENDDR: 0 Run-Test/Idle, 1 the Pause state.
constexpr std::uint8_t END_IN_PAUSE = 1;

constexpr std::uint64_t MICROSECONDS = 1'000'000;

std::optional<Command> command_of(std::uint8_t byte) noexcept
{
    switch (byte) {
    case XCOMPLETE:
        return Command::xcomplete;
    case XTDOMASK:
        return Command::xtdomask;
    case XSIR:
        return Command::xsir;
    case XSDR:
        return Command::xsdr;
    case XRUNTEST:
        return Command::xruntest;
    case XREPEAT:
        return Command::xrepeat;
    case XSDRSIZE:
        return Command::xsdrsize;
    case XSDRTDO:
        return Command::xsdrtdo;
    case XSETSDRMASKS:
        return Command::xsetsdrmasks;
    case XSDRINC:
        return Command::xsdrinc;
    case XSDRB:
        return Command::xsdrb;
    case XSDRC:
        return Command::xsdrc;
    case XSDRE:
        return Command::xsdre;
    case XSDRTDOB:
        return Command::xsdrtdob;
    case XSDRTDOC:
        return Command::xsdrtdoc;
    case XSDRTDOE:
        return Command::xsdrtdoe;
    case XSTATE:
        return Command::xstate;
    case XENDIR:
        return Command::xendir;
    case XENDDR:
        return Command::xenddr;
    case XSIR2:
        return Command::xsir2;
    case XCOMMENT:
        return Command::xcomment;
    case XWAIT:
        return Command::xwait;
    default:
        return std::nullopt;
    }
}

std::string hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string state_name(TapState state)
{
    return std::string(svf::STATE_NAMES[static_cast<std::size_t>(state)]);
}

// The step the reference player takes from `state` toward `target` (not
// Test-Logic-Reset): it leaves Select-IR-Scan for Capture-IR always, so that
// it never passes through Test-Logic-Reset on the way.
TapState step_toward(TapState state, TapState target) noexcept
{
    switch (state) {
    case svf::STATE_RESET:
        return svf::STATE_IDLE;
    case svf::STATE_IDLE:
        return TPW_TAP_SELECT_DR_SCAN;
    case TPW_TAP_SELECT_DR_SCAN:
        return target >= TPW_TAP_SELECT_IR_SCAN ? TPW_TAP_SELECT_IR_SCAN : svf::STATE_DRCAPTURE;
    case svf::STATE_DRCAPTURE:
        return target == svf::STATE_DRSHIFT ? svf::STATE_DRSHIFT : svf::STATE_DREXIT1;
    case svf::STATE_DRSHIFT:
        return svf::STATE_DREXIT1;
    case svf::STATE_DREXIT1:
        return target == svf::STATE_DRPAUSE ? svf::STATE_DRPAUSE : svf::STATE_DRUPDATE;
    case svf::STATE_DRPAUSE:
        return TPW_TAP_EXIT2_DR;
    case TPW_TAP_EXIT2_DR:
        return target == svf::STATE_DRSHIFT ? svf::STATE_DRSHIFT : svf::STATE_DRUPDATE;
    case svf::STATE_DRUPDATE:
    case svf::STATE_IRUPDATE:
        return target == svf::STATE_IDLE ? svf::STATE_IDLE : TPW_TAP_SELECT_DR_SCAN;
    case TPW_TAP_SELECT_IR_SCAN:
        return svf::STATE_IRCAPTURE;
    case svf::STATE_IRCAPTURE:
        return target == svf::STATE_IRSHIFT ? svf::STATE_IRSHIFT : svf::STATE_IREXIT1;
    case svf::STATE_IRSHIFT:
        return svf::STATE_IREXIT1;
    case svf::STATE_IREXIT1:
        return target == svf::STATE_IRPAUSE ? svf::STATE_IRPAUSE : svf::STATE_IRUPDATE;
    case svf::STATE_IRPAUSE:
        return TPW_TAP_EXIT2_IR;
    default: // Exit2-IR
        return target == svf::STATE_IRSHIFT ? svf::STATE_IRSHIFT : svf::STATE_IRUPDATE;
    }
}

// A value of `bits` bits from its whole bytes, first byte most significant.
std::vector<std::uint8_t> lsb_first(std::span<const std::uint8_t> file_bytes)
{
    return {file_bytes.rbegin(), file_bytes.rend()};
}

class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, const svf::StatementSink& each, const svf::StopCheck& stop)
        : bytes_(bytes), each_(each), stop_(stop)
    {
    }

    // The commands read.
    std::uint64_t run()
    {
        for (;;) {
            if (stop_ && stop_()) {
                throw svf::Stopped();
            }
            start_ = pos_;
            if (pos_ == bytes_.size()) {
                fail("a command: the file ends without XCOMPLETE");
            }
            const std::uint8_t byte = bytes_[pos_++];
            const auto command = command_of(byte);
            if (!command) {
                pos_ = start_;
                fail("a command byte (0x00 to 0x17 but 0x05 and 0x06), found " + hex(byte));
            }
            command_ = *command;
            statements_.clear();
            read_command(byte);
            if (statements_.empty()) {
                statements_.emplace_back(svf::Setting{});
            }
            const svf::Origin origin{command_, svf::Location{0, 0}, index_, start_, pos_};
            bool more = true;
            for (auto& what : statements_) {
                more = more && each_(Statement{origin, std::move(what)});
            }
            ++index_;
            if (byte == XCOMPLETE || !more) {
                return index_;
            }
        }
    }

private:
    // At the current offset, in the current command.
    [[noreturn]] void fail(const std::string& expected) const
    {
        throw FormatError(pos_, index_ + 1, expected);
    }

    // `count` bytes of what is named, or the error that the file ends first.
    std::span<const std::uint8_t> take(std::size_t count, const std::string& what)
    {
        if (bytes_.size() - pos_ < count) {
            fail(what + " (" + std::to_string(count) + (count == 1 ? " byte" : " bytes") +
                 "), found the end of the file");
        }
        const auto taken = bytes_.subspan(pos_, count);
        pos_ += count;
        return taken;
    }
    std::uint8_t u8(const std::string& what) { return take(1, what)[0]; }
    std::uint32_t u32(const std::string& what)
    {
        const auto b = take(4, what);
        return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
    }
    std::uint16_t u16(const std::string& what)
    {
        const auto b = take(2, what);
        return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
    }
    // A value of `bits` bits: its bytes as the file holds them.
    std::span<const std::uint8_t> value_bytes(std::uint32_t bits, const std::string& what)
    {
        return take((std::size_t{bits} + 7) / 8,
                    what + " of " + std::to_string(bits) + (bits == 1 ? " bit" : " bits"));
    }
    Value value(std::uint32_t bits, const std::string& what)
    {
        return std::make_shared<const Bits>(Bits::from_bytes(lsb_first(value_bytes(bits, what)), bits));
    }
    TapState state_byte(const std::string& what)
    {
        const std::uint8_t s = u8(what);
        if (s > svf::STATE_IRUPDATE) {
            pos_ -= 1;
            fail(what + " (0 to 15), found " + std::to_string(s));
        }
        return static_cast<TapState>(s);
    }

    static Value ones(std::uint32_t bits) { return std::make_shared<const Bits>(bits, true); }

    // ---- moves ------------------------------------------------------------

    // To `target` by the reference player's walk; Test-Logic-Reset by TMS
    // high from anywhere.
    void move(TapState target)
    {
        if (target == svf::STATE_RESET) {
            statements_.emplace_back(svf::StateMove{{svf::STATE_RESET}, false});
            state_ = target;
            return;
        }
        const bool exit2 = target == TPW_TAP_EXIT2_DR || target == TPW_TAP_EXIT2_IR;
        const TapState pause = target == TPW_TAP_EXIT2_DR ? svf::STATE_DRPAUSE : svf::STATE_IRPAUSE;
        if (exit2 && state_ != target && state_ != pause) {
            fail(std::string("a state that follows ") + state_name(state_) + ": " + state_name(target) +
                 " is reached only from " + state_name(pause));
        }
        svf::StateMove m;
        m.explicit_path = true;
        TapState at = state_;
        if (at == target && (at == svf::STATE_DRPAUSE || at == svf::STATE_IRPAUSE)) {
            at = step_toward(at, target); // Pause to itself: round through Update and Capture
            m.path.push_back(at);
        }
        while (at != target) {
            at = step_toward(at, target);
            m.path.push_back(at);
        }
        if (!m.path.empty()) {
            statements_.emplace_back(std::move(m));
        }
        state_ = target;
    }

    // A wait of `us` microseconds in `state`.
    void wait(TapState state, std::uint64_t us)
    {
        svf::RunTest r;
        r.run_state = state;
        r.end_state = state;
        r.min_us = us;
        r.min_time = static_cast<double>(us) / MICROSECONDS;
        r.clocked = svf::is_stable(state);
        statements_.emplace_back(r);
    }

    // ---- scans ------------------------------------------------------------

    void scan(Register reg, Pattern pattern, std::optional<TapState> end, std::uint32_t repeat,
              std::uint32_t wait_us)
    {
        if (pattern.length == 0) {
            // Nothing shifted: only the wait, in Run-Test/Idle.
            if (wait_us != 0) {
                move(svf::STATE_IDLE);
                wait(svf::STATE_IDLE, wait_us);
            }
            return;
        }
        svf::Scan s;
        s.reg = reg;
        s.pattern = std::move(pattern);
        s.end = end;
        s.repeat = repeat;
        s.wait_us = wait_us;
        statements_.emplace_back(std::move(s));
        state_ = wait_us != 0 ? svf::STATE_IDLE : end.value_or(reg == Register::ir ? end_ir_ : end_dr_);
    }

    Pattern data(Value tdi, Value tdo, Value mask) const
    {
        return Pattern{size_, std::move(tdi), std::move(tdo), std::move(mask), ones(size_)};
    }

    void instruction(std::uint32_t bits)
    {
        Value tdi = value(bits, "the instruction");
        scan(Register::ir, Pattern{bits, std::move(tdi), nullptr, ones(bits), ones(bits)}, std::nullopt, 0,
             runtest_);
    }

    // XSDRINC: the first value, then each next one from it.
    void increments()
    {
        if (!address_mask_ || !data_mask_) {
            fail("XSETSDRMASKS for XSDRSIZE " + std::to_string(size_) + " before XSDRINC");
        }
        std::vector<std::uint8_t> tdi = lsb_first(value_bytes(size_, "the first TDI"));
        scan(Register::dr, data(std::make_shared<const Bits>(Bits::from_bytes(tdi, size_)), expected_, mask_),
             std::nullopt, repeat_, runtest_);
        const std::uint8_t count = u8("the number of data values");
        std::uint64_t data_bits = 0;
        for (std::uint64_t i = 0; i < size_; i += 64) {
            data_bits += static_cast<unsigned>(std::popcount(data_mask_->word(i)));
        }
        const std::vector<std::uint8_t> address = lsb_first(address_bytes_);
        for (unsigned k = 0; k < count; ++k) {
            const std::vector<std::uint8_t> next = lsb_first(
                take(static_cast<std::size_t>((data_bits + 7) / 8),
                     "data value " + std::to_string(k + 1) + " of " + std::to_string(data_bits) + " bits"));
            // The address mask added, carries across bytes.
            unsigned carry = 0;
            for (std::size_t b = 0; b < tdi.size(); ++b) {
                const unsigned sum = tdi[b] + address[b] + carry;
                tdi[b] = static_cast<std::uint8_t>(sum & 0xFFU);
                carry = sum >> 8;
            }
            // The data-mask bits from the next data, lowest first.
            std::uint64_t j = 0;
            for (std::uint64_t i = 0; i < size_; i += 64) {
                for (std::uint64_t w = data_mask_->word(i); w != 0; w &= w - 1, ++j) {
                    const std::uint64_t bit = i + static_cast<unsigned>(std::countr_zero(w));
                    const bool set = (next[j / 8] >> (j % 8) & 1U) != 0;
                    const auto mask = static_cast<std::uint8_t>(1U << (bit % 8));
                    auto& byte = tdi[static_cast<std::size_t>(bit / 8)];
                    byte = static_cast<std::uint8_t>(set ? byte | mask : byte & ~mask);
                }
            }
            scan(Register::dr,
                 data(std::make_shared<const Bits>(Bits::from_bytes(tdi, size_)), expected_, mask_),
                 std::nullopt, repeat_, runtest_);
        }
    }

    void read_command(std::uint8_t byte)
    {
        const bool stays = byte == XSDRB || byte == XSDRC || byte == XSDRTDOB || byte == XSDRTDOC;
        const std::optional<TapState> shift_end =
            stays ? std::optional<TapState>(svf::STATE_DRSHIFT) : std::nullopt;
        switch (byte) {
        case XCOMPLETE:
            break;
        case XTDOMASK:
            mask_ = value(size_, "XTDOMASK's mask");
            break;
        case XSIR:
            instruction(u8("XSIR's length"));
            break;
        case XSIR2:
            instruction(u16("XSIR2's length"));
            break;
        case XSDR: {
            Value tdi = value(size_, "XSDR's TDI");
            scan(Register::dr, data(std::move(tdi), expected_, mask_), std::nullopt, repeat_, runtest_);
            break;
        }
        case XRUNTEST:
            runtest_ = u32("XRUNTEST's microseconds");
            break;
        case XREPEAT:
            repeat_ = u8("XREPEAT's count");
            break;
        case XSDRSIZE: {
            const std::uint32_t size = u32("XSDRSIZE's length in bits");
            if (size > MAX_SCAN_BITS) {
                pos_ -= 4;
                fail("a length of at most " + std::to_string(MAX_SCAN_BITS) + " bits, found " +
                     std::to_string(size));
            }
            if (size != size_) {
                // Values given for another length do not carry over.
                size_ = size;
                mask_ = ones(size);
                expected_ = nullptr;
                address_mask_ = nullptr;
                data_mask_ = nullptr;
            }
            break;
        }
        case XSDRTDO: {
            Value tdi = value(size_, "XSDRTDO's TDI");
            expected_ = value(size_, "XSDRTDO's TDO");
            scan(Register::dr, data(std::move(tdi), expected_, mask_), std::nullopt, repeat_, runtest_);
            break;
        }
        case XSETSDRMASKS: {
            const auto address = value_bytes(size_, "XSETSDRMASKS's address mask");
            address_bytes_.assign(address.begin(), address.end());
            address_mask_ = std::make_shared<const Bits>(Bits::from_bytes(lsb_first(address), size_));
            data_mask_ = value(size_, "XSETSDRMASKS's data mask");
            break;
        }
        case XSDRINC:
            increments();
            break;
        case XSDRB:
        case XSDRC:
        case XSDRE: {
            Value tdi = value(size_, std::string(svf::name_of(command_)) + "'s TDI");
            scan(Register::dr, data(std::move(tdi), nullptr, ones(size_)), shift_end, 0, 0);
            break;
        }
        case XSDRTDOB:
        case XSDRTDOC:
        case XSDRTDOE: {
            Value tdi = value(size_, std::string(svf::name_of(command_)) + "'s TDI");
            expected_ = value(size_, std::string(svf::name_of(command_)) + "'s TDO");
            scan(Register::dr, data(std::move(tdi), expected_, ones(size_)), shift_end, 0, 0);
            break;
        }
        case XSTATE:
            move(state_byte("XSTATE's TAP state"));
            break;
        case XENDIR:
        case XENDDR: {
            const bool ir = byte == XENDIR;
            const std::uint8_t end = u8(std::string(svf::name_of(command_)) + "'s end state");
            if (end > END_IN_PAUSE) {
                pos_ -= 1;
                fail(std::string(svf::name_of(command_)) +
                     "'s end state 0 (Run-Test/Idle) or 1 (Pause), found " + std::to_string(end));
            }
            const TapState state =
                end == END_IN_PAUSE ? (ir ? svf::STATE_IRPAUSE : svf::STATE_DRPAUSE) : svf::STATE_IDLE;
            (ir ? end_ir_ : end_dr_) = state;
            statements_.emplace_back(svf::EndState{ir ? Register::ir : Register::dr, state});
            break;
        }
        case XCOMMENT: {
            const auto rest = bytes_.subspan(pos_);
            const auto zero = std::find(rest.begin(), rest.end(), std::uint8_t{0});
            if (zero == rest.end()) {
                pos_ = bytes_.size();
                fail("the zero byte that ends XCOMMENT's text, found the end of the file");
            }
            pos_ += static_cast<std::size_t>(zero - rest.begin()) + 1;
            break;
        }
        default: { // XWAIT
            const TapState wait_state = state_byte("XWAIT's wait state");
            const TapState end_state = state_byte("XWAIT's end state");
            const std::uint32_t us = u32("XWAIT's microseconds");
            if (wait_state != state_) {
                move(wait_state);
            }
            if (us != 0) {
                wait(wait_state, us);
            }
            if (end_state != state_) {
                move(end_state);
            }
            break;
        }
        }
    }

    std::span<const std::uint8_t> bytes_;
    const svf::StatementSink& each_;
    const svf::StopCheck& stop_;
    std::size_t pos_ = 0;
    std::size_t start_ = 0;
    std::uint64_t index_ = 0;
    Command command_ = Command::xcomplete;
    std::vector<Statement::Variant> statements_;

    TapState state_ = svf::STATE_RESET; // after the reset playback starts with
    TapState end_ir_ = svf::STATE_IDLE;
    TapState end_dr_ = svf::STATE_IDLE;
    std::uint32_t size_ = 0;
    std::uint32_t repeat_ = 0;
    std::uint32_t runtest_ = 0;
    Value mask_ = ones(0);
    Value expected_;
    Value address_mask_;
    Value data_mask_;
    std::vector<std::uint8_t> address_bytes_;
};

// A checked XSVF file, read again as it is played.
class XsvfProgram final : public svf::Program {
public:
    XsvfProgram(std::vector<std::uint8_t> file, std::uint64_t commands) : file_(std::move(file))
    {
        statements_ = commands;
        bytes_ = file_.size();
    }
    bool each(const svf::StatementSink& each) const override
    {
        bool all = true;
        read(file_, [&](const Statement& s) { return all = each(s); });
        return all;
    }
    [[nodiscard]] std::string_view unit() const override { return "command"; }

private:
    std::vector<std::uint8_t> file_;
};

} // namespace

FormatError::FormatError(std::size_t offset, std::uint64_t command, const std::string& expected)
    : std::runtime_error("offset " + hex(offset) + " (command " + std::to_string(command) + "): expected " +
                         expected),
      offset_(offset), command_(command), expected_(expected)
{
}

void read(std::span<const std::uint8_t> bytes, const svf::StatementSink& each, const svf::StopCheck& stop)
{
    (void)Reader(bytes, each, stop).run();
}

std::unique_ptr<svf::Program> load(std::vector<std::uint8_t> bytes, const svf::StopCheck& stop,
                                   const svf::StatementSink& also)
{
    const std::uint64_t commands = Reader(
                                       bytes, [&](const Statement& s) { return !also || also(s); }, stop)
                                       .run();
    return std::make_unique<XsvfProgram>(std::move(bytes), commands);
}

} // namespace orv::xsvf
