// Fuzz target: the three bridge protocols (remote_bitbang, XVC, serprog) fed
// any bytes, in any pieces, by one client after another on one adapter port
// that lives as long as the fuzzer, as `orvtool serve` keeps it.
//
// Input: one byte choosing the first client's protocol, then records of a
// piece length and the piece; after a piece the session may be told that the
// client paused (and, when the session waits for quiet, that it stayed
// quiet). A record header of 0xFF ends the client (it hangs up) and the next
// byte chooses the protocol of the next one. When a client ends, for any
// reason, the port is cleaned up as the server does it, and a well-behaved
// XVC client must then read both IDCODEs of the default board: whatever a
// client left behind (clocks, read-back bytes) would show in them.
//
// Beyond memory errors and undefined behaviour it checks:
//   - remote_bitbang replies only '0' and '1', never more than the 'R's sent;
//   - every serprog reply starts with ACK or NAK;
//   - an XVC reply is the getinfo line, a 4-byte period, or a TDO vector no
//     longer than the largest vector;
//   - a session that drops the client says why.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <span>
#include <streambuf>
#include <string>

#include "front/bridges/sessions.hpp"
#include "orv_devices.h"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace {

using orv::bridge::Replies;
using orv::bridge::Session;
using orv::bridge::SessionOutcome;
using orv::bridge::Verdict;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
};

constexpr std::uint32_t TIMEOUT_MS = 2;

orvdev_session* open_session(libusb_device_handle* handle)
{
    orvdev_session_options options{};
    orvdev_session_options_init(&options);
    options.timeout_ms = TIMEOUT_MS;
    orvdev_session* session = nullptr;
    require(orvdev_session_open(handle, &options, &session, nullptr) == 0);
    return session;
}

// One board, one session and one port for the whole run, as one server has
// them.
struct Rig {
    std::unique_ptr<orv::emu::Adapter> adapter = orv::emu::make_default_board();
    orv::emu::InprocUsb usb{*adapter};
    NullBuffer sink;
    std::ostream log{&sink};
    orvdev_session* session = open_session(usb.handle());
    orv::bridge::AdapterPort port{session, orv::bridge::PortSettings{}, log};
};

Rig& rig()
{
    static Rig r;
    return r;
}

std::unique_ptr<Session> make_session(unsigned choice, orv::bridge::AdapterPort& port)
{
    switch (choice % 3) {
    case 0:
        return std::make_unique<orv::bridge::RemoteBitbangSession>(port);
    case 1:
        return std::make_unique<orv::bridge::XvcSession>(port);
    default:
        return std::make_unique<orv::bridge::SerprogSession>(port);
    }
}

// The server's clean-up when a client's session ends.
void end_session(Rig& r, const SessionOutcome& outcome)
{
    if (outcome.verdict == Verdict::failed) {
        r.port.recover("fuzz");
    } else {
        r.port.end_session("fuzz");
    }
    r.port.release_trst("fuzz");
}

// TAP reset, Shift-DR, 64 bits: both IDCODEs of the default board.
void check_idcodes(Rig& r)
{
    constexpr std::uint32_t PATH = 9; // five TMS-high clocks, then Idle, Select-DR, Capture-DR, Shift-DR
    constexpr std::uint32_t BITS = PATH + 64;
    constexpr std::size_t BYTES = (BITS + 7) / 8;
    std::string request = "shift:";
    for (unsigned k = 0; k < 4; ++k) {
        request.push_back(static_cast<char>(BITS >> (8 * k) & 0xFF));
    }
    std::string tms(BYTES, '\0');
    tms[0] = static_cast<char>(0x1F | 0x2 << 5);
    request += tms + std::string(BYTES, '\0');
    orv::bridge::XvcSession probe(r.port);
    Replies replies;
    const SessionOutcome outcome = probe.receive(
        std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()), replies);
    require(outcome.verdict == Verdict::keep && replies.size() == 1 && replies[0].size() == BYTES);
    std::uint64_t idcodes = 0;
    for (std::uint32_t bit = 0; bit < 64; ++bit) {
        const std::uint32_t at = PATH + bit;
        idcodes |= std::uint64_t{(static_cast<unsigned char>(replies[0][at / 8]) >> (at % 8)) & 1U} << bit;
    }
    require(idcodes == (std::uint64_t{0x03727093} << 32 | 0x4BA00477));
    end_session(r, outcome);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    (void)rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    Rig& r = rig();
    unsigned protocol = data[0] % 3;
    std::unique_ptr<Session> session = make_session(protocol, r.port);
    std::span<const std::uint8_t> rest(data + 1, size - 1);
    std::size_t reads = 0;
    std::size_t answers = 0;
    SessionOutcome outcome;
    const auto client_ends = [&] {
        session.reset();
        end_session(r, outcome);
        check_idcodes(r);
        outcome = {};
        reads = 0;
        answers = 0;
    };
    while (!rest.empty()) {
        if (rest[0] == 0xFF) {
            // The client hangs up; the next one connects.
            if (session != nullptr) {
                client_ends();
            }
            protocol = rest.size() > 1 ? rest[1] % 3 : 0;
            session = make_session(protocol, r.port);
            rest = rest.subspan(std::min<std::size_t>(rest.size(), 2));
            continue;
        }
        const std::size_t piece = std::min<std::size_t>(rest.size() - 1, rest[0] & 0x7F);
        const bool pause = (rest[0] & 0x80) != 0;
        const auto bytes = rest.subspan(1, piece);
        rest = rest.subspan(1 + piece);
        if (session == nullptr) {
            continue; // this client is gone: the rest of its bytes go nowhere
        }
        for (const std::uint8_t b : bytes) {
            reads += b == 'R' ? 1 : 0;
        }
        Replies replies;
        outcome = session->receive(bytes, replies);
        // The turns that follow, as the server gives them, until what came has run.
        while (outcome.verdict == Verdict::keep && session->backlog()) {
            outcome = session->receive({}, replies);
        }
        if (outcome.verdict == Verdict::keep && pause) {
            outcome = session->settle(replies);
            if (outcome.verdict == Verdict::keep && session->awaits_quiet()) {
                outcome = session->idle(replies);
            }
        }
        for (const std::string& reply : replies) {
            require(!reply.empty() || protocol == 1);
            if (protocol == 0) {
                for (const char c : reply) {
                    require(c == '0' || c == '1');
                }
                answers += reply.size();
            } else if (protocol == 2) {
                require(reply[0] == 0x06 || reply[0] == 0x15);
            } else {
                require(reply.size() <= orv::bridge::XvcSession::MAX_VECTOR_BYTES / 2 ||
                        reply.rfind("xvcServer_v1.0:", 0) == 0);
            }
        }
        require(answers <= reads);
        if (outcome.verdict == Verdict::drop) {
            require(!outcome.error.empty());
        }
        if (outcome.verdict != Verdict::keep) {
            // The server closes the connection: the session ends here.
            client_ends();
        }
    }
    if (session != nullptr) {
        client_ends();
    }
    return 0;
}
