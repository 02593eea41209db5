// The three network protocols as sessions: bytes from one client in, the
// replies out, the work done on the shared adapter. No sockets here; the
// server (server.hpp) moves the bytes, and the fuzz targets drive the
// sessions directly.
//
//   remote_bitbang  OpenOCD's per-edge protocol: '0'..'7' set TCK, TMS, TDI;
//                   each rising TCK edge is one clock; 'R' reads TDO,
//                   answered '0' or '1'. TDO moves only after a falling edge,
//                   so an 'R' with TCK low gets the level the next rising
//                   edge samples, one with TCK high the level the last one
//                   sampled. 'r'..'u' drive TRST (the connector has no SRST).
//   XVC 1.0         Xilinx Virtual Cable: getinfo:, settck:, shift: with TMS
//                   and TDI vectors, TDO vector back.
//   serprog         flashrom's serial programmer protocol, SPI only.
//
// Each session parses a byte stream, never message boundaries: a client may
// send a command in pieces, or several in one piece. A session hands the
// adapter whole operations only (AdapterPort::run_jtag, spi_transfer): what
// it has not handed over yet is its own and ends with it, so a client that
// leaves, for whatever reason, leaves nothing behind for the next one.
//
// A call of receive() is one turn of the client's: it stops after the first
// command that used the adapter, or once its replies reach TURN_REPLY_BYTES,
// and keeps the commands after it (backlog()) for the next turn, so that a
// client that sends much at once holds up the others by one operation at
// most.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "front/bridges/adapter_port.hpp"

namespace orv::bridge {

// What a session asks of the server after some input.
enum class Verdict {
    keep,   // go on reading
    close,  // the client said goodbye
    drop,   // a protocol error: close the connection (see `error`)
    failed, // an adapter error: close the connection (see `error`)
};

// A session's verdict on the input so far, and why when it ends the connection.
struct SessionOutcome {
    Verdict verdict = Verdict::keep;
    std::string error;
    std::int32_t rc = 0; // failed: the library's result code
};

// Replies to send, in order; where the protocol has boundaries, each with
// send() calls of its own (Session::separate_replies).
using Replies = std::vector<std::string>;

class Session {
public:
    virtual ~Session() = default;
    // Consumes bytes that arrived, or with none the backlog, for one turn;
    // may already reply.
    virtual SessionOutcome receive(std::span<const std::uint8_t> bytes, Replies& replies) = 0;
    // Commands that arrived and wait for the client's next turn: the server
    // reads nothing more from it until they have run.
    [[nodiscard]] virtual bool backlog() const = 0;
    // The client has nothing more to say for now (it waits for answers): run
    // what is pending.
    virtual SessionOutcome settle(Replies& replies) = 0;
    // Part of a command has arrived, the rest has not.
    [[nodiscard]] virtual bool mid_command() const = 0;
    // Whether each reply must go out with send() calls of its own (the XVC
    // client reads each reply with a single recv()); otherwise replies are a
    // byte stream and may go out together.
    [[nodiscard]] virtual bool separate_replies() const { return false; }
    // Whether the session holds a question it answers only once the client
    // has been quiet for IDLE_MS (then idle() is called).
    [[nodiscard]] virtual bool awaits_quiet() const { return false; }
    virtual SessionOutcome idle(Replies&) { return {}; }
    // A line for the log about what the client asked (once per session for
    // each kind), or empty.
    [[nodiscard]] virtual std::string take_notice() { return {}; }

    static constexpr int IDLE_MS = 1000;
    // Reply bytes after which a turn ends.
    static constexpr std::size_t TURN_REPLY_BYTES = 65536;
};

class RemoteBitbangSession final : public Session {
public:
    explicit RemoteBitbangSession(AdapterPort& port) : port_(port) {}
    SessionOutcome receive(std::span<const std::uint8_t> bytes, Replies& replies) override;
    [[nodiscard]] bool backlog() const override { return !rest_.empty(); }
    SessionOutcome settle(Replies& replies) override;
    [[nodiscard]] bool mid_command() const override { return unanswered_ != 0 || !rest_.empty(); }
    // 'R's with TCK low whose rising edge has not come: OpenOCD always sends
    // it right after (a pause within its stream is a matter of scheduling,
    // far below a second), so when the client stays quiet without it, they
    // get the level of the last edge.
    [[nodiscard]] bool awaits_quiet() const override { return unanswered_ != 0; }
    SessionOutcome idle(Replies& replies) override;
    [[nodiscard]] std::string take_notice() override { return std::exchange(notice_, {}); }

    // Clocks a client may queue, and reads it may wait for, before they are
    // run without waiting for it to pause: bounds memory and the answers held
    // back, whatever the client sends.
    static constexpr std::size_t MAX_PENDING_CLOCKS = 1U << 20;

private:
    // One command byte; `used_adapter` is set when it ran clocks or drove a pin.
    SessionOutcome command(std::uint8_t byte, Replies& replies, bool& used_adapter);
    SessionOutcome run(Replies& replies);
    SessionOutcome reset_lines(unsigned levels, Replies& replies, bool& used_adapter);
    static void answer(Replies& replies, std::size_t count, bool level);

    AdapterPort& port_;
    std::vector<std::uint8_t> rest_; // bytes received and kept for the next turn
    bool srst_told_ = false;
    std::string notice_;
    bool tck_ = false;
    bool tms_ = false;
    bool tdi_ = false;
    std::size_t unanswered_ = 0; // 'R's with TCK low, waiting for the next rising edge
    // The rising edges not run yet (orvdev_clock_flag bytes); per sampled
    // one, how many 'R's it answers.
    std::vector<std::uint8_t> clocks_;
    std::deque<std::size_t> answers_;
    std::size_t answers_waiting_ = 0; // the sum of answers_
    // TDO at the last rising edge that ran, when it was sampled ('1', TDO
    // pulled up, before any): each run samples its last edge when TCK stays
    // high after it or 'R's wait.
    bool last_level_ = true;
};

class XvcSession final : public Session {
public:
    // The most bytes a shift may carry in its TMS and TDI vectors together;
    // getinfo: tells the client.
    static constexpr std::size_t MAX_VECTOR_BYTES = 32768;

    explicit XvcSession(AdapterPort& port) : port_(port) {}
    SessionOutcome receive(std::span<const std::uint8_t> bytes, Replies& replies) override;
    [[nodiscard]] bool backlog() const override { return backlog_; }
    SessionOutcome settle(Replies&) override { return {}; }
    [[nodiscard]] bool mid_command() const override { return !buffer_.empty(); }
    [[nodiscard]] bool separate_replies() const override { return true; }

private:
    SessionOutcome shift(std::uint32_t bits, std::span<const std::uint8_t> vectors, Replies& replies);

    AdapterPort& port_;
    std::vector<std::uint8_t> buffer_;
    bool backlog_ = false;
};

class SerprogSession final : public Session {
public:
    // Largest write (opcode, address and data) and read of one SPI operation.
    static constexpr std::uint32_t MAX_WRITE = 4096 + 5;
    static constexpr std::uint32_t MAX_READ = 512;

    explicit SerprogSession(AdapterPort& port) : port_(port) {}
    SessionOutcome receive(std::span<const std::uint8_t> bytes, Replies& replies) override;
    [[nodiscard]] bool backlog() const override { return backlog_; }
    SessionOutcome settle(Replies&) override { return {}; }
    [[nodiscard]] bool mid_command() const override { return !buffer_.empty(); }

private:
    AdapterPort& port_;
    std::vector<std::uint8_t> buffer_;
    bool backlog_ = false;
};

} // namespace orv::bridge
