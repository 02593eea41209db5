#include "front/bridges/sessions.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace orv::bridge {

namespace {

SessionOutcome failed(std::int32_t rc)
{
    return SessionOutcome{Verdict::failed, "adapter: " + result_name(rc), rc};
}

SessionOutcome dropped(std::string why)
{
    return SessionOutcome{Verdict::drop, std::move(why)};
}

bool sampled(std::uint8_t clock) noexcept
{
    return (clock & ORVDEV_CLOCK_SAMPLE) != 0;
}

// The protocols' numbers: `bytes` bytes, least significant first.
std::uint32_t little_endian(std::span<const std::uint8_t> b, unsigned bytes) noexcept
{
    std::uint32_t value = 0;
    for (unsigned i = bytes; i-- > 0;) {
        value = value << 8 | b[i];
    }
    return value;
}

void put_le(std::string& out, std::uint32_t value, unsigned bytes)
{
    for (unsigned i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
    }
}

std::string printable(std::uint8_t byte)
{
    if (byte >= 0x20 && byte < 0x7F) {
        return std::string("'") + static_cast<char>(byte) + "'";
    }
    static constexpr char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 0xF];
}

// One turn's work: it ends after a command that used the adapter, or once
// the replies of the turn reach Session::TURN_REPLY_BYTES.
class TurnBudget {
public:
    explicit TurnBudget(const Replies& replies) : replies_(replies), counted_(replies.size()) {}
    [[nodiscard]] bool spent()
    {
        for (; counted_ < replies_.size(); ++counted_) {
            bytes_ += replies_[counted_].size();
        }
        return used_adapter || bytes_ >= Session::TURN_REPLY_BYTES;
    }
    bool used_adapter = false;

private:
    const Replies& replies_;
    std::size_t counted_; // replies added up so far
    std::size_t bytes_ = 0;
};

} // namespace

// ---------------------------------------------------------------------------
// remote_bitbang

SessionOutcome RemoteBitbangSession::receive(std::span<const std::uint8_t> bytes, Replies& replies)
{
    std::vector<std::uint8_t> kept;
    if (!rest_.empty()) {
        kept.swap(rest_);
        bytes = kept; // the server sends nothing new while a backlog waits
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bool used_adapter = false;
        if (SessionOutcome o = command(bytes[i], replies, used_adapter); o.verdict != Verdict::keep) {
            return o;
        }
        if (used_adapter && i + 1 < bytes.size()) {
            rest_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(i + 1), bytes.end());
            break;
        }
    }
    return {};
}

SessionOutcome RemoteBitbangSession::command(std::uint8_t byte, Replies& replies, bool& used_adapter)
{
    if (byte >= '0' && byte <= '7') {
        const unsigned levels = byte - '0';
        const bool tck = (levels & 4U) != 0;
        tms_ = (levels & 2U) != 0;
        tdi_ = (levels & 1U) != 0;
        if (tck && !tck_) {
            // A rising edge: one clock, sampled when 'R's wait for it.
            const bool sample = unanswered_ != 0;
            clocks_.push_back(static_cast<std::uint8_t>((tms_ ? ORVDEV_CLOCK_TMS : 0) |
                                                        (tdi_ ? ORVDEV_CLOCK_TDI : 0) |
                                                        (sample ? ORVDEV_CLOCK_SAMPLE : 0)));
            if (sample) {
                answers_.push_back(unanswered_);
                answers_waiting_ += unanswered_;
                unanswered_ = 0;
            }
        }
        tck_ = tck;
        if (clocks_.size() >= MAX_PENDING_CLOCKS) {
            used_adapter = true;
            return run(replies);
        }
        return {};
    }
    switch (byte) {
    case 'R':
        if (!tck_) {
            if (++unanswered_ > MAX_PENDING_CLOCKS) {
                return dropped("too many reads without a clock edge");
            }
        } else if (!clocks_.empty()) {
            // TCK high: the level the last rising edge sampled, still on TDO.
            if (!sampled(clocks_.back())) {
                clocks_.back() |= ORVDEV_CLOCK_SAMPLE;
                answers_.push_back(0);
            }
            ++answers_.back();
            if (++answers_waiting_ >= MAX_PENDING_CLOCKS) {
                used_adapter = true;
                return run(replies);
            }
        } else {
            answer(replies, 1, last_level_);
        }
        return {};
    case 'B':
    case 'b':
        return {}; // the activity light: nothing to do
    case 'r':
    case 's':
    case 't':
    case 'u':
        // The reset lines: what came before runs first, as the client
        // expects its queue executed here.
        return reset_lines(byte - 'r', replies, used_adapter);
    case 'Q': {
        SessionOutcome o = run(replies);
        return o.verdict == Verdict::keep ? SessionOutcome{Verdict::close, {}} : o;
    }
    default:
        return dropped("unexpected byte " + printable(byte));
    }
}

// 'r' + (TRST << 1 | SRST), 1 asserting. TRST is driven as an SVF TRST
// statement drives it: asserted low, deasserted high. Until the client first
// asserts it the line stays released, where its pull-up keeps it inactive
// already, so the 'r' OpenOCD sends at start costs nothing on the wire. The
// connector has no SRST: said once in the log.
SessionOutcome RemoteBitbangSession::reset_lines(unsigned levels, Replies& replies, bool& used_adapter)
{
    used_adapter = !clocks_.empty();
    if (SessionOutcome o = run(replies); o.verdict != Verdict::keep) {
        return o;
    }
    if ((levels & 1U) != 0 && !srst_told_) {
        srst_told_ = true;
        notice_ = "asks for SRST, which the JTAG connector does not have: ignored";
    }
    const bool assert_trst = (levels & 2U) != 0;
    std::int32_t wanted = port_.trst();
    if (assert_trst) {
        wanted = ORVDEV_TRST_ON;
    } else if (wanted == ORVDEV_TRST_ON) {
        wanted = ORVDEV_TRST_OFF;
    }
    if (wanted == port_.trst()) {
        return {};
    }
    used_adapter = true;
    if (const std::int32_t rc = port_.set_trst(wanted); rc != 0) {
        return failed(rc);
    }
    return {};
}

SessionOutcome RemoteBitbangSession::settle(Replies& replies)
{
    return run(replies);
}

SessionOutcome RemoteBitbangSession::idle(Replies& replies)
{
    if (SessionOutcome o = run(replies); o.verdict != Verdict::keep) {
        return o;
    }
    if (unanswered_ != 0) {
        answer(replies, unanswered_, last_level_);
        unanswered_ = 0;
    }
    return {};
}

// The answers are a stream of '0' and '1': they go on the reply before.
void RemoteBitbangSession::answer(Replies& replies, std::size_t count, bool level)
{
    if (replies.empty()) {
        replies.emplace_back();
    }
    replies.back().append(count, level ? '1' : '0');
}

SessionOutcome RemoteBitbangSession::run(Replies& replies)
{
    if (clocks_.empty()) {
        return {};
    }
    // The level of the last edge, for an 'R' that comes without one after
    // it: with TCK left high it is TDO's level now.
    if ((tck_ || unanswered_ != 0) && !sampled(clocks_.back())) {
        clocks_.back() |= ORVDEV_CLOCK_SAMPLE;
        answers_.push_back(0);
    }
    const bool last_sampled = sampled(clocks_.back());
    std::vector<std::uint8_t> tdo(answers_.size());
    const std::int32_t rc = port_.run_jtag(clocks_, tdo);
    clocks_.clear();
    std::deque<std::size_t> answers;
    answers.swap(answers_);
    answers_waiting_ = 0;
    if (rc != 0) {
        return failed(rc);
    }
    for (std::size_t i = 0; i < tdo.size(); ++i) {
        if (answers[i] != 0) {
            answer(replies, answers[i], tdo[i] != 0);
        }
    }
    if (last_sampled) {
        last_level_ = tdo.back() != 0;
    }
    return {};
}

// ---------------------------------------------------------------------------
// XVC 1.0

namespace {

constexpr std::string_view XVC_GETINFO = "getinfo:";
constexpr std::string_view XVC_SETTCK = "settck:";
constexpr std::string_view XVC_SHIFT = "shift:";
constexpr std::uint64_t NS_PER_S = 1000000000;

// How far the bytes received so far go with a command's name.
enum class NameMatch {
    none,   // they cannot start it
    prefix, // they are its beginning: wait for more
    whole,  // they start with the whole name
};

NameMatch match(std::span<const std::uint8_t> buffer, std::string_view name)
{
    const std::size_t n = std::min(buffer.size(), name.size());
    if (std::memcmp(buffer.data(), name.data(), n) != 0) {
        return NameMatch::none;
    }
    return buffer.size() >= name.size() ? NameMatch::whole : NameMatch::prefix;
}

} // namespace

SessionOutcome XvcSession::receive(std::span<const std::uint8_t> bytes, Replies& replies)
{
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    std::size_t used = 0;
    SessionOutcome outcome;
    TurnBudget turn(replies);
    backlog_ = false;
    while (outcome.verdict == Verdict::keep && used < buffer_.size()) {
        if (turn.spent()) {
            backlog_ = true;
            break;
        }
        const std::span<const std::uint8_t> rest(buffer_.data() + used, buffer_.size() - used);
        const NameMatch getinfo = match(rest, XVC_GETINFO);
        const NameMatch settck = match(rest, XVC_SETTCK);
        const NameMatch shifting = match(rest, XVC_SHIFT);
        if (getinfo == NameMatch::none && settck == NameMatch::none && shifting == NameMatch::none) {
            outcome = dropped("not an XVC command (starts with " + printable(rest[0]) + ")");
            break;
        }
        if (getinfo == NameMatch::whole) {
            replies.push_back("xvcServer_v1.0:" + std::to_string(MAX_VECTOR_BYTES) + "\n");
            used += XVC_GETINFO.size();
        } else if (settck == NameMatch::whole) {
            if (rest.size() < XVC_SETTCK.size() + 4) {
                break;
            }
            const std::uint32_t period = little_endian(rest.subspan(XVC_SETTCK.size()), 4);
            turn.used_adapter = true;
            orvdev_clock chosen{};
            const std::int32_t rc = port_.set_tck(period == 0 ? NS_PER_S : NS_PER_S / period, chosen);
            if (rc != 0) {
                outcome = failed(rc);
                break;
            }
            // The period of the divisor sent, not of a rounded frequency.
            std::string reply;
            put_le(reply, orvdev_clock_period_ns(chosen), 4);
            replies.push_back(std::move(reply));
            used += XVC_SETTCK.size() + 4;
        } else if (shifting == NameMatch::whole) {
            if (rest.size() < XVC_SHIFT.size() + 4) {
                break;
            }
            const std::uint32_t bits = little_endian(rest.subspan(XVC_SHIFT.size()), 4);
            const std::uint64_t vector = (std::uint64_t{bits} + 7) / 8;
            if (2 * vector > MAX_VECTOR_BYTES) {
                outcome = dropped("shift of " + std::to_string(bits) + " bits: more than " +
                                  std::to_string(MAX_VECTOR_BYTES / 2) + " bytes a vector");
                break;
            }
            const std::size_t length = XVC_SHIFT.size() + 4 + 2 * static_cast<std::size_t>(vector);
            if (rest.size() < length) {
                break;
            }
            turn.used_adapter = true;
            outcome = shift(bits, rest.subspan(XVC_SHIFT.size() + 4, 2 * static_cast<std::size_t>(vector)),
                            replies);
            used += length;
        } else {
            break; // a command name still arriving
        }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
    return outcome;
}

SessionOutcome XvcSession::shift(std::uint32_t bits, std::span<const std::uint8_t> vectors, Replies& replies)
{
    const std::size_t bytes = vectors.size() / 2;
    const auto tms = vectors.first(bytes);
    const auto tdi = vectors.subspan(bytes);
    std::vector<std::uint8_t> clocks(bits);
    for (std::uint32_t i = 0; i < bits; ++i) {
        clocks[i] = static_cast<std::uint8_t>(((tms[i / 8] >> (i % 8) & 1U) != 0 ? ORVDEV_CLOCK_TMS : 0) |
                                              ((tdi[i / 8] >> (i % 8) & 1U) != 0 ? ORVDEV_CLOCK_TDI : 0) |
                                              ORVDEV_CLOCK_SAMPLE);
    }
    std::vector<std::uint8_t> tdo(bits);
    const std::int32_t rc = port_.run_jtag(clocks, tdo);
    if (rc != 0) {
        return failed(rc);
    }
    // One bit per bit asked for: the reply's size comes from the request.
    std::string reply(bytes, '\0');
    for (std::uint32_t i = 0; i < bits; ++i) {
        if (tdo[i] != 0) {
            reply[i / 8] = static_cast<char>(static_cast<unsigned char>(reply[i / 8]) | 1U << (i % 8));
        }
    }
    replies.push_back(std::move(reply));
    return {};
}

// ---------------------------------------------------------------------------
// serprog

namespace {

constexpr std::uint8_t S_ACK = 0x06;
constexpr std::uint8_t S_NAK = 0x15;

enum : std::uint8_t {
    S_CMD_NOP = 0x00,
    S_CMD_Q_IFACE = 0x01,
    S_CMD_Q_CMDMAP = 0x02,
    S_CMD_Q_PGMNAME = 0x03,
    S_CMD_Q_SERBUF = 0x04,
    S_CMD_Q_BUSTYPE = 0x05,
    S_CMD_Q_WRNMAXLEN = 0x08,
    S_CMD_SYNCNOP = 0x10,
    S_CMD_Q_RDNMAXLEN = 0x11,
    S_CMD_S_BUSTYPE = 0x12,
    S_CMD_O_SPIOP = 0x13,
    S_CMD_S_SPI_FREQ = 0x14,
    S_CMD_S_PIN_STATE = 0x15,
};

constexpr std::uint16_t SERPROG_INTERFACE_VERSION = 1;
constexpr std::uint8_t BUS_SPI = 0x08;
constexpr std::uint16_t SERIAL_BUFFER = 0xFFFF;
constexpr std::uint32_t WRITE_DATA_MAX = 256; // one page program's data
constexpr std::size_t PROGRAMMER_NAME_LENGTH = 16;
constexpr std::string_view PROGRAMMER_NAME = "orvtool serve";

// Parameter bytes after each opcode answered; the O_SPIOP data follows its
// parameters.
constexpr int parameter_bytes(std::uint8_t opcode)
{
    switch (opcode) {
    case S_CMD_NOP:
    case S_CMD_Q_IFACE:
    case S_CMD_Q_CMDMAP:
    case S_CMD_Q_PGMNAME:
    case S_CMD_Q_SERBUF:
    case S_CMD_Q_BUSTYPE:
    case S_CMD_Q_WRNMAXLEN:
    case S_CMD_SYNCNOP:
    case S_CMD_Q_RDNMAXLEN:
        return 0;
    case S_CMD_S_BUSTYPE:
    case S_CMD_S_PIN_STATE:
        return 1;
    case S_CMD_O_SPIOP:
        return 6;
    case S_CMD_S_SPI_FREQ:
        return 4;
    default:
        return -1;
    }
}

std::string ack(std::string_view payload = {})
{
    std::string r(1, static_cast<char>(S_ACK));
    r.append(payload);
    return r;
}

} // namespace

SessionOutcome SerprogSession::receive(std::span<const std::uint8_t> bytes, Replies& replies)
{
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    std::size_t used = 0;
    SessionOutcome outcome;
    TurnBudget turn(replies);
    backlog_ = false;
    while (outcome.verdict == Verdict::keep && used < buffer_.size()) {
        if (turn.spent()) {
            backlog_ = true;
            break;
        }
        const std::span<const std::uint8_t> rest(buffer_.data() + used, buffer_.size() - used);
        const std::uint8_t opcode = rest[0];
        const int params = parameter_bytes(opcode);
        if (params < 0) {
            replies.emplace_back(1, static_cast<char>(S_NAK));
            used += 1;
            continue;
        }
        if (rest.size() < 1 + static_cast<std::size_t>(params)) {
            break;
        }
        const auto p = rest.subspan(1, static_cast<std::size_t>(params));
        std::size_t length = 1 + static_cast<std::size_t>(params);
        std::string reply;
        bool waiting = false; // the operation's data is still arriving
        switch (opcode) {
        case S_CMD_NOP:
            reply = ack();
            break;
        case S_CMD_Q_IFACE:
            reply = ack();
            put_le(reply, SERPROG_INTERFACE_VERSION, 2);
            break;
        case S_CMD_Q_CMDMAP: {
            std::array<char, 32> map{};
            for (std::uint8_t op = 0; op < 0x20; ++op) {
                if (parameter_bytes(op) >= 0) {
                    map[op / 8] = static_cast<char>(map[op / 8] | 1 << (op % 8));
                }
            }
            reply = ack(std::string_view(map.data(), map.size()));
            break;
        }
        case S_CMD_Q_PGMNAME: {
            std::string name(PROGRAMMER_NAME);
            name.resize(PROGRAMMER_NAME_LENGTH, '\0');
            reply = ack(name);
            break;
        }
        case S_CMD_Q_SERBUF:
            reply = ack();
            put_le(reply, SERIAL_BUFFER, 2);
            break;
        case S_CMD_Q_BUSTYPE:
            reply = ack(std::string(1, static_cast<char>(BUS_SPI)));
            break;
        case S_CMD_Q_WRNMAXLEN:
            reply = ack();
            put_le(reply, WRITE_DATA_MAX, 3);
            break;
        case S_CMD_Q_RDNMAXLEN:
            reply = ack();
            put_le(reply, MAX_READ, 3);
            break;
        case S_CMD_SYNCNOP:
            reply = std::string(1, static_cast<char>(S_NAK)) + static_cast<char>(S_ACK);
            break;
        case S_CMD_S_BUSTYPE:
            reply = (p[0] & BUS_SPI) != 0 ? ack() : std::string(1, static_cast<char>(S_NAK));
            break;
        case S_CMD_S_PIN_STATE:
            reply = ack();
            break;
        case S_CMD_S_SPI_FREQ: {
            const std::uint32_t hz = little_endian(p, 4);
            if (hz == 0) {
                reply = std::string(1, static_cast<char>(S_NAK));
                break;
            }
            std::uint32_t actual = 0;
            turn.used_adapter = true;
            const std::int32_t rc = port_.set_spi_clock(hz, actual);
            if (rc != 0) {
                replies.emplace_back(1, static_cast<char>(S_NAK));
                outcome = failed(rc);
                break;
            }
            reply = ack();
            put_le(reply, actual, 4);
            break;
        }
        case S_CMD_O_SPIOP: {
            const std::uint32_t write = little_endian(p, 3);
            const std::uint32_t read = little_endian(p.subspan(3), 3);
            if (write > MAX_WRITE || read > MAX_READ) {
                outcome = dropped("SPI operation of " + std::to_string(write) + " bytes out and " +
                                  std::to_string(read) + " in: more than " + std::to_string(MAX_WRITE) +
                                  " / " + std::to_string(MAX_READ));
                break;
            }
            length += write;
            if (rest.size() < length) {
                waiting = true;
                break;
            }
            std::vector<std::uint8_t> in(read);
            turn.used_adapter = true;
            const std::int32_t rc = port_.spi_transfer(rest.subspan(1 + 6, write), in);
            if (rc == ORVDEV_ERROR_INVALID_ARGUMENT) {
                reply = std::string(1, static_cast<char>(S_NAK)); // not one chip-select window
                break;
            }
            if (rc != 0) {
                replies.emplace_back(1, static_cast<char>(S_NAK));
                outcome = failed(rc);
                break;
            }
            reply = ack(std::string_view(reinterpret_cast<const char*>(in.data()), in.size()));
            break;
        }
        default:
            break;
        }
        if (waiting || outcome.verdict != Verdict::keep) {
            break;
        }
        replies.push_back(std::move(reply));
        used += length;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
    return outcome;
}

} // namespace orv::bridge
