// The bridges' server in-process, on the emulated adapter behind the transfer
// seam, with clients on loopback sockets in threads of their own: many
// clients of every protocol at once, each served in its turn with the right
// answers; a client that streams long shifts holds another up by about one
// operation; one that reads nothing is dropped once its answers wait unread
// for the limit, after little work.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "front/bridges/server.hpp"
#include "orv_devices.h"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace {

using orv::bridge::Protocol;

constexpr std::uint64_t ZYNQ_IDCODES = std::uint64_t{0x03727093} << 32 | 0x4BA00477;
const std::string JEDEC_ID = "\xef\x40\x16";
// Test-Logic-Reset (five TMS-high clocks), then Idle, Select-DR, Capture-DR, Shift-DR.
constexpr std::uint8_t RESET_TO_SHIFT_DR[] = {1, 1, 1, 1, 1, 0, 1, 0, 0};

// The emulated adapter, counting its OUT transfers for the client threads.
class CountedUsb final : public orv::seam::TransferDevice {
public:
    explicit CountedUsb(orv::emu::Adapter& adapter) : inner_(adapter) {}
    orv::seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            sizes_.push_back(stream.size());
        }
        outs.fetch_add(1);
        return inner_.out(stream, timeout);
    }
    orv::seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override
    {
        return inner_.poll_count(length, timeout);
    }
    orv::seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override
    {
        return inner_.read_data(buffer, timeout);
    }
    // The sizes of the OUT transfers from the n-th on.
    std::vector<std::size_t> sizes_from(std::uint64_t n)
    {
        const std::lock_guard<std::mutex> hold(lock_);
        return {sizes_.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(n, sizes_.size())),
                sizes_.end()};
    }
    std::atomic<std::uint64_t> outs{0};

private:
    orv::emu::InprocUsb inner_;
    std::mutex lock_;
    std::vector<std::size_t> sizes_;
};

extern "C" void wake_only(int) {}

// A blocking loopback client with a time limit on every call.
class Client {
public:
    explicit Client(std::uint16_t port, int receive_buffer = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{20, 0};
        (void)setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        (void)setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (receive_buffer != 0) {
            (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        }
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool send(const std::string& bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Exactly n bytes, or what came before the server closed or the time ran out.
    std::string receive(std::size_t n)
    {
        std::string got;
        char buffer[65536];
        while (got.size() < n) {
            const ssize_t r = ::recv(fd_, buffer, std::min(sizeof buffer, n - got.size()), 0);
            if (r <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(r));
        }
        return got;
    }
    [[nodiscard]] bool connected() const { return connected_; }
    [[nodiscard]] int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string le32(std::uint32_t v)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        s.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
    }
    return s;
}

std::string xvc_shift(std::uint32_t bits, const std::vector<std::uint8_t>& tms_bits)
{
    const std::size_t bytes = (bits + 7) / 8;
    std::string tms(bytes, '\0');
    for (std::size_t i = 0; i < tms_bits.size(); ++i) {
        tms[i / 8] = static_cast<char>(tms[i / 8] | tms_bits[i] << (i % 8));
    }
    return "shift:" + le32(bits) + tms + std::string(bytes, '\0');
}

std::optional<std::uint64_t> xvc_idcodes(Client& c)
{
    constexpr std::uint32_t path = sizeof RESET_TO_SHIFT_DR;
    const std::uint32_t bits = path + 64;
    if (!c.send(xvc_shift(bits, {std::begin(RESET_TO_SHIFT_DR), std::end(RESET_TO_SHIFT_DR)}))) {
        return std::nullopt;
    }
    const std::string reply = c.receive((bits + 7) / 8);
    if (reply.size() != (bits + 7) / 8) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (std::uint32_t i = 0; i < 64; ++i) {
        const std::uint32_t at = path + i;
        v |= std::uint64_t{static_cast<unsigned char>(reply[at / 8]) >> (at % 8) & 1U} << i;
    }
    return v;
}

// As OpenOCD sends a clock: TCK low, 'R' when read, TCK high.
std::string bitbang_clock(int tms, bool read)
{
    const char low = static_cast<char>('0' + (tms << 1));
    return std::string(1, low) + (read ? "R" : "") + static_cast<char>(low + 4);
}

std::optional<std::uint64_t> bitbang_idcodes(Client& c)
{
    std::string stream;
    for (const std::uint8_t tms : RESET_TO_SHIFT_DR) {
        stream += bitbang_clock(tms, false);
    }
    for (int bit = 0; bit < 64; ++bit) {
        stream += bitbang_clock(bit == 63 ? 1 : 0, true);
    }
    if (!c.send(stream + "0")) {
        return std::nullopt;
    }
    const std::string reply = c.receive(64);
    if (reply.size() != 64) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 64; ++i) {
        v |= std::uint64_t{reply[i] == '1'} << i;
    }
    return v;
}

std::optional<std::string> serprog_jedec_id(Client& c)
{
    // O_SPIOP: 1 byte out (0x9f), 3 in.
    if (!c.send(std::string("\x13\x01\x00\x00\x03\x00\x00\x9f", 8))) {
        return std::nullopt;
    }
    const std::string reply = c.receive(4);
    if (reply.size() != 4 || reply[0] != '\x06') {
        return std::nullopt;
    }
    return reply.substr(1);
}

class Server : public ::testing::Test {
protected:
    void start(const orv::bridge::ServeLimits& limits = {})
    {
        orvdev_session_options options{};
        orvdev_session_options_init(&options);
        options.timeout_ms = 100;
        ASSERT_EQ(orvdev_session_open(usb.handle(), &options, &session, nullptr), 0);
        port = std::make_unique<orv::bridge::AdapterPort>(session, orv::bridge::PortSettings{}, log);
        struct sigaction wake {};
        wake.sa_handler = wake_only;
        sigemptyset(&wake.sa_mask);
        sigaction(SIGTERM, &wake, &old_term_);
        std::promise<std::map<Protocol, std::uint16_t>> bound;
        auto ports_future = bound.get_future();
        const std::vector<orv::bridge::Endpoint> endpoints = {
            {Protocol::remote_bitbang, "127.0.0.1", 0, false},
            {Protocol::xvc, "127.0.0.1", 0, false},
            {Protocol::serprog, "127.0.0.1", 0, false},
        };
        server_ = std::thread([this, endpoints, limits, &bound] {
            const orv::bridge::Announce announce = [&bound](const std::vector<orv::bridge::Listening>& l) {
                std::map<Protocol, std::uint16_t> by_protocol;
                for (const auto& one : l) {
                    by_protocol[one.protocol] = one.port;
                }
                bound.set_value(by_protocol);
            };
            result_ = orv::bridge::serve(*port, endpoints, limits, {}, announce, log, stop_);
        });
        ports = ports_future.get();
    }

    // Stops the server (the signal reaches its wait only) and returns its log.
    std::string stop()
    {
        stop_ = 1;
        pthread_kill(server_.native_handle(), SIGTERM);
        server_.join();
        sigaction(SIGTERM, &old_term_, nullptr);
        return log.str();
    }

    void TearDown() override
    {
        if (server_.joinable()) {
            stop();
        }
        port.reset();
        orvdev_session_close(session);
    }

    std::unique_ptr<orv::emu::Adapter> board = orv::emu::make_default_board();
    CountedUsb usb{*board};
    orvdev_session* session = nullptr;
    std::ostringstream log;
    std::unique_ptr<orv::bridge::AdapterPort> port;
    std::map<Protocol, std::uint16_t> ports;

private:
    std::thread server_;
    volatile std::sig_atomic_t stop_ = 0;
    orv::bridge::ServeResult result_;
    struct sigaction old_term_ {};
};

std::size_t count_of(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// Clients of all three protocols connect at once and ask again and again:
// one at a time has the JTAG chain, whatever its protocol, the others wait
// their turn; every answer is the board's, none is refused.
TEST_F(Server, AStormOfClientsIsServedOneAtATimeWithTheRightAnswers)
{
    start();
    constexpr int PER_PROTOCOL = 12;
    constexpr int ROUNDS = 3;
    struct Tally {
        std::atomic<int> right{0};
        std::atomic<int> wrong{0};
        std::atomic<int> unanswered{0};
    } tally;
    std::vector<std::thread> clients;
    for (int i = 0; i < PER_PROTOCOL; ++i) {
        for (const Protocol p : {Protocol::remote_bitbang, Protocol::xvc, Protocol::serprog}) {
            clients.emplace_back([this, p, &tally] {
                Client c(ports.at(p));
                for (int round = 0; round < ROUNDS; ++round) {
                    bool right = false;
                    bool answered = false;
                    if (p == Protocol::serprog) {
                        const auto id = serprog_jedec_id(c);
                        answered = id.has_value();
                        right = id == JEDEC_ID;
                    } else {
                        const auto idcodes = p == Protocol::xvc ? xvc_idcodes(c) : bitbang_idcodes(c);
                        answered = idcodes.has_value();
                        right = idcodes == ZYNQ_IDCODES;
                    }
                    ++(!answered ? tally.unanswered : right ? tally.right : tally.wrong);
                }
            });
        }
    }
    for (auto& t : clients) {
        t.join();
    }
    const std::string text = stop();
    EXPECT_EQ(tally.wrong, 0) << text;
    EXPECT_EQ(tally.unanswered, 0) << text;
    EXPECT_EQ(tally.right, 3 * PER_PROTOCOL * ROUNDS);
    EXPECT_GT(count_of(text, "waits for the JTAG chain"), 0U) << text;
    EXPECT_EQ(count_of(text, "its turn, after waiting"), count_of(text, "waits for "));
    EXPECT_EQ(count_of(text, "refused"), 0U) << text;
}

// While an XVC client streams long shifts, sent all at once, a serprog
// operation waits for about one of them, not for all it has sent.
TEST_F(Server, AClientThatSendsMuchHoldsAnotherUpByOneOperation)
{
    start();
    constexpr std::uint32_t BITS = 8192;
    constexpr int SHIFTS = 400;
    Client streamer(ports.at(Protocol::xvc));
    std::string stream;
    for (int i = 0; i < SHIFTS; ++i) {
        stream += xvc_shift(BITS, {});
    }
    std::atomic<bool> all_read{false};
    std::thread reader([&] { all_read = streamer.receive(SHIFTS * BITS / 8).size() == SHIFTS * BITS / 8; });
    std::thread writer([&] { streamer.send(stream); });
    // Each shift is two OUT transfers (its read-back in two exchanges of at
    // most 512 bytes); the serprog operation two more with its set-up.
    const std::uint64_t started = usb.outs.load();
    while (usb.outs.load() < started + 20) {
        std::this_thread::yield();
    }
    Client flashrom(ports.at(Protocol::serprog));
    // The streamer's transfers while the request lay in the server's socket:
    // those after send() returned (the request was there then) and before the
    // serprog operation's first transfer (a few bytes; a shift's are over 500).
    // Counting from send() keeps the test threads' own scheduling out of it.
    // The server ends the turn it is in, and the streamer may hold one more
    // shift in flight: a few transfers, where a starved request waited for
    // hundreds.
    constexpr std::size_t SHIFT_TRANSFER = 512;
    std::uint64_t most = 0;
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t before_send = usb.outs.load();
        ASSERT_TRUE(flashrom.send(std::string("\x13\x01\x00\x00\x03\x00\x00\x9f", 8)));
        const std::uint64_t sent = usb.outs.load() - before_send;
        ASSERT_EQ(flashrom.receive(4), "\x06" + JEDEC_ID);
        const std::vector<std::size_t> sizes = usb.sizes_from(before_send);
        const auto first_own =
            std::find_if(sizes.begin(), sizes.end(), [](std::size_t n) { return n < SHIFT_TRANSFER; });
        ASSERT_NE(first_own, sizes.end());
        const auto from =
            sizes.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(sent, sizes.size()));
        if (from < first_own) {
            most = std::max<std::uint64_t>(most, static_cast<std::uint64_t>(first_own - from));
        }
    }
    writer.join();
    reader.join();
    EXPECT_TRUE(all_read);
    EXPECT_LE(most, 8U) << "the streamer's OUT transfers while a serprog request waited";
    stop();
}

// A client that sends shifts and reads no answer is dropped once its socket
// has taken none for the limit, after a bounded amount of work: the system
// buffers may not hide megabytes of answers from the limit.
TEST_F(Server, AClientThatReadsNothingIsDroppedAtTheUnreadLimit)
{
    orv::bridge::ServeLimits limits;
    limits.unread_limit_ms = 1000;
    start(limits);
    constexpr std::uint32_t BITS = 8192;
    Client idle(ports.at(Protocol::xvc), 65536);
    std::string shifts;
    for (int i = 0; i < 32; ++i) {
        shifts += xvc_shift(BITS, {});
    }
    const std::uint64_t before = usb.outs.load();
    while (idle.send(shifts)) {
    }
    // Dropped: the socket is closed, and reset for what was not read.
    const std::uint64_t shifts_run = (usb.outs.load() - before) / 2;
    const std::string text = stop();
    EXPECT_NE(text.find("answers unread for 1 s"), std::string::npos) << text;
    EXPECT_LT(shifts_run, 600U) << "shifts run for a client that read none of their answers";
}

} // namespace
