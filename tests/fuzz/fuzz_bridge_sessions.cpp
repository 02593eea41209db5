// Fuzz target: the three bridge protocols (remote_bitbang, XVC, serprog) fed
// any bytes, in any pieces, against the emulated adapter.
//
// Input: one byte choosing the protocol, then records of a piece length and
// the piece; after a piece the session may be told that the client paused.
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

#include "adapter.hpp"
#include "inproc_usb.hpp"
#include "sessions.hpp"
#include "wire.hpp"

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
};

// One board for the whole run: building its flash per input would dominate.
struct Rig {
    std::unique_ptr<orv::emu::Adapter> adapter = orv::emu::make_default_board();
    orv::emu::InprocUsb usb{*adapter};
    NullBuffer sink;
    std::ostream log{&sink};
};

Rig& rig()
{
    static Rig r;
    return r;
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
    orv::bridge::PortSettings settings;
    settings.timeout_ms = 2;
    settings.jtag_direction = orv::JTAG_DEFAULT_DIRECTION;
    settings.jtag_level = orv::JTAG_DEFAULT_LEVEL;
    orv::bridge::AdapterPort port(r.usb.handle(), settings, r.log);
    std::unique_ptr<orv::bridge::Session> session;
    const unsigned protocol = data[0] % 3;
    if (protocol == 0) {
        session = std::make_unique<orv::bridge::RemoteBitbangSession>(port);
    } else if (protocol == 1) {
        session = std::make_unique<orv::bridge::XvcSession>(port);
    } else {
        session = std::make_unique<orv::bridge::SerprogSession>(port);
    }
    std::span<const std::uint8_t> rest(data + 1, size - 1);
    std::size_t reads = 0;
    std::size_t answers = 0;
    while (!rest.empty()) {
        const std::size_t piece = std::min<std::size_t>(rest.size() - 1, rest[0] & 0x7F);
        const bool pause = (rest[0] & 0x80) != 0;
        const auto bytes = rest.subspan(1, piece);
        rest = rest.subspan(1 + piece);
        for (const std::uint8_t b : bytes) {
            reads += b == 'R' ? 1 : 0;
        }
        orv::bridge::Replies replies;
        orv::bridge::Step step = session->receive(bytes, replies);
        if (step.verdict == orv::bridge::Verdict::keep && pause) {
            step = session->settle(replies);
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
        if (step.verdict == orv::bridge::Verdict::drop) {
            require(!step.error.empty());
        }
        if (step.verdict != orv::bridge::Verdict::keep) {
            break;
        }
    }
    return 0;
}
