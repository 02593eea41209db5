#include "front/bridges/server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <sstream>

#include "front/bridges/sessions.hpp"

namespace orv::bridge {

namespace {

constexpr int BACKLOG = 4;
constexpr std::size_t RECEIVE_CHUNK = 65536;
// Bytes read from one client before the others get their turn.
constexpr std::size_t READ_PER_TURN = std::size_t{1} << 20;

using SteadyClock = std::chrono::steady_clock;

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(); }
    [[nodiscard]] int fd() const noexcept { return fd_; }
    [[nodiscard]] bool open() const noexcept { return fd_ >= 0; }
    int release() noexcept
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::string address_text(const sockaddr_storage& addr)
{
    char host[NI_MAXHOST] = "?";
    char serv[NI_MAXSERV] = "?";
    (void)getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, host, sizeof host, serv,
                      sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    const bool v6 = addr.ss_family == AF_INET6;
    return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + serv;
}

std::string errno_text(int error)
{
    return std::strerror(error);
}

std::string seconds_text(int ms)
{
    std::ostringstream text;
    text << ms / 1000.0 << " s";
    return text.str();
}

struct Listener {
    Endpoint endpoint;
    Socket socket;
    std::string name; // HOST:PORT as bound
};

struct Client {
    Socket socket;
    std::string peer;
    std::unique_ptr<Session> session;
    // Replies the socket has not taken yet, each sent with send() calls of
    // its own (the XVC client reads each reply with a single recv()).
    std::deque<std::string> unsent;
    std::size_t front_sent = 0; // bytes of unsent.front() already sent
    std::size_t unsent_bytes = 0;
    SteadyClock::time_point stalled_since; // the socket last took bytes while some waited
    SteadyClock::time_point last_input;
};

std::unique_ptr<Session> make_session(Protocol protocol, AdapterPort& port)
{
    switch (protocol) {
    case Protocol::remote_bitbang:
        return std::make_unique<RemoteBitbangSession>(port);
    case Protocol::xvc:
        return std::make_unique<XvcSession>(port);
    case Protocol::serprog:
        return std::make_unique<SerprogSession>(port);
    }
    return nullptr;
}

bool bind_listener(Listener& l, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(l.endpoint.port);
    if (const int rc = getaddrinfo(l.endpoint.host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve '" + l.endpoint.host + "': " + gai_strerror(rc);
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    int last_error = 0;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (!s.open()) {
            last_error = errno;
            continue;
        }
        const int yes = 1;
        (void)setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(s.fd(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(s.fd(), BACKLOG) != 0) {
            last_error = errno;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        (void)getsockname(s.fd(), reinterpret_cast<sockaddr*>(&bound), &length);
        l.name = address_text(bound);
        l.socket = std::move(s);
        return true;
    }
    error = "cannot listen on " + l.endpoint.host + ":" + service + ": " + errno_text(last_error);
    return false;
}

} // namespace

const char* protocol_name(Protocol protocol) noexcept
{
    switch (protocol) {
    case Protocol::remote_bitbang:
        return "remote_bitbang";
    case Protocol::xvc:
        return "xvc";
    case Protocol::serprog:
        return "serprog";
    }
    return "?";
}

bool is_loopback(std::string_view host)
{
    if (host == "localhost" || host == "::1") {
        return true;
    }
    in_addr v4{};
    const std::string text(host);
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

std::optional<Endpoint> parse_endpoint(Protocol protocol, std::string_view text)
{
    Endpoint e;
    e.protocol = protocol;
    std::string_view port = text;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        e.host = std::string(text.substr(1, close - 1));
        e.host_given = true;
        port = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        e.host = std::string(text.substr(0, colon));
        e.host_given = true;
        port = text.substr(colon + 1);
    }
    if (e.host.empty() || port.empty() || port.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) {
        return std::nullopt;
    }
    e.port = static_cast<std::uint16_t>(value);
    return e;
}

namespace {

class Server {
public:
    Server(AdapterPort& port, std::vector<Listener> listeners, const ServeLimits& limits,
           const Reopen& reopen, std::ostream& log)
        : port_(port), listeners_(std::move(listeners)), limits_(limits), reopen_(reopen), log_(log),
          clients_(listeners_.size())
    {
    }

    // Serves until `stop`; true when the adapter is there at the end.
    bool run(const volatile std::sig_atomic_t& stop, const sigset_t& during_wait);

private:
    [[nodiscard]] const char* name(std::size_t i) const
    {
        return protocol_name(listeners_[i].endpoint.protocol);
    }
    [[nodiscard]] int wait_ms(SteadyClock::time_point now) const;
    void accept(std::size_t i);
    void serve_input(std::size_t i);
    void serve_quiet(std::size_t i);
    void conclude(std::size_t i, const SessionOutcome& outcome, bool closed, bool sent);
    void queue(Client& c, Replies& replies);
    [[nodiscard]] bool send_queued(Client& c);
    void end_client(std::size_t i, const std::string& why, const SessionOutcome& outcome = {});
    void lose_adapter(const std::string& why);
    void try_reopen();

    AdapterPort& port_;
    std::vector<Listener> listeners_;
    ServeLimits limits_;
    const Reopen& reopen_;
    std::ostream& log_;
    std::vector<std::optional<Client>> clients_;
    std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(RECEIVE_CHUNK);
    bool adapter_gone_ = false;
    SteadyClock::time_point next_reopen_;
};

int Server::wait_ms(SteadyClock::time_point now) const
{
    std::optional<SteadyClock::time_point> wake;
    const auto earliest = [&wake](SteadyClock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
    for (const auto& c : clients_) {
        if (c && !c->unsent.empty()) {
            earliest(c->stalled_since + std::chrono::milliseconds(limits_.unread_limit_ms));
        }
        if (c && c->session->awaits_quiet()) {
            earliest(c->last_input + std::chrono::milliseconds(Session::IDLE_MS));
        }
    }
    if (adapter_gone_) {
        earliest(next_reopen_);
    }
    if (!wake) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*wake - now).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

bool Server::run(const volatile std::sig_atomic_t& stop, const sigset_t& during_wait)
{
    while (stop == 0) {
        std::vector<pollfd> fds;
        for (std::size_t i = 0; i < listeners_.size(); ++i) {
            fds.push_back(pollfd{listeners_[i].socket.fd(), POLLIN, 0});
            const auto& c = clients_[i];
            short events = 0;
            if (c) {
                events = static_cast<short>((c->unsent_bytes < limits_.max_unsent ? POLLIN : 0) |
                                            (c->unsent.empty() ? 0 : POLLOUT));
            }
            fds.push_back(pollfd{c ? c->socket.fd() : -1, events, 0});
        }
        const int wait = wait_ms(SteadyClock::now());
        timespec timeout{wait / 1000, static_cast<long>(wait % 1000) * 1000000L};
        const int ready = ppoll(fds.data(), fds.size(), wait < 0 ? nullptr : &timeout, &during_wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            log_ << "serve: waiting for clients failed: " << errno_text(errno) << "\n";
            break;
        }
        // Clients first: a goodbye that came in before a new connection is
        // seen before that connection is refused.
        for (std::size_t i = 0; i < listeners_.size() && stop == 0; ++i) {
            const short revents = fds[2 * i + 1].revents;
            if (clients_[i] && (revents & POLLOUT) != 0 && !send_queued(*clients_[i])) {
                end_client(i, "lost while sending a reply");
            }
            if (clients_[i] && (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                serve_input(i);
            }
            if (clients_[i] && clients_[i]->session->awaits_quiet() &&
                SteadyClock::now() - clients_[i]->last_input >= std::chrono::milliseconds(Session::IDLE_MS)) {
                serve_quiet(i);
            }
            if (clients_[i] && !clients_[i]->unsent.empty() &&
                SteadyClock::now() - clients_[i]->stalled_since >=
                    std::chrono::milliseconds(limits_.unread_limit_ms)) {
                end_client(i, "answers unread for " + seconds_text(limits_.unread_limit_ms) + " (" +
                                  std::to_string(clients_[i]->unsent_bytes) +
                                  " bytes waiting); connection closed");
            }
        }
        for (std::size_t i = 0; i < listeners_.size() && stop == 0; ++i) {
            if ((fds[2 * i].revents & POLLIN) != 0) {
                accept(i);
            }
        }
        if (adapter_gone_ && SteadyClock::now() >= next_reopen_) {
            try_reopen();
        }
        log_.flush();
    }
    return !adapter_gone_;
}

void Server::accept(std::size_t i)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    Socket s(::accept4(listeners_[i].socket.fd(), reinterpret_cast<sockaddr*>(&peer), &length,
                       SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!s.open()) {
        return;
    }
    const std::string who = address_text(peer);
    if (adapter_gone_) {
        log_ << name(i) << ": refused " << who << ": the adapter is gone\n";
        return;
    }
    if (clients_[i]) {
        // The client before may have said goodbye just now: look once more.
        pollfd p{clients_[i]->socket.fd(), POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
            clients_[i]->unsent_bytes < limits_.max_unsent) {
            serve_input(i);
        }
    }
    if (adapter_gone_) {
        log_ << name(i) << ": refused " << who << ": the adapter is gone\n";
        return;
    }
    if (clients_[i]) {
        log_ << name(i) << ": refused " << who << ": " << clients_[i]->peer
             << " is connected (one client at a time)\n";
        return;
    }
    const int yes = 1;
    (void)setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    Client& c = clients_[i].emplace();
    c.socket = std::move(s);
    c.peer = who;
    c.session = make_session(listeners_[i].endpoint.protocol, port_);
    c.last_input = SteadyClock::now();
    log_ << name(i) << ": client " << who << " connected\n";
}

void Server::queue(Client& c, Replies& replies)
{
    for (std::string& r : replies) {
        if (r.empty()) {
            continue;
        }
        c.unsent_bytes += r.size();
        if (c.unsent.empty()) {
            c.stalled_since = SteadyClock::now();
            c.unsent.push_back(std::move(r));
        } else if (!c.session->separate_replies()) {
            c.unsent.back() += r; // a byte stream: one send() for as much as the socket takes
        } else {
            c.unsent.push_back(std::move(r));
        }
    }
    replies.clear();
}

bool Server::send_queued(Client& c)
{
    while (!c.unsent.empty()) {
        const std::string& r = c.unsent.front();
        const ssize_t n = ::send(c.socket.fd(), r.data() + c.front_sent, r.size() - c.front_sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.front_sent += static_cast<std::size_t>(n);
            c.unsent_bytes -= static_cast<std::size_t>(n);
            c.stalled_since = SteadyClock::now();
            if (c.front_sent == r.size()) {
                c.unsent.pop_front();
                c.front_sent = 0;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

void Server::serve_input(std::size_t i)
{
    Client& c = *clients_[i];
    Replies replies;
    SessionOutcome outcome;
    bool closed = false;
    bool drained = false; // read until the socket had no more: the client waits for answers
    std::size_t taken = 0;
    while (c.unsent_bytes < limits_.max_unsent && taken < READ_PER_TURN) {
        const ssize_t n = ::recv(c.socket.fd(), chunk_.data(), chunk_.size(), 0);
        if (n > 0) {
            // The clients write a command in pieces (XVC header and payload,
            // serprog opcode and parameters) without TCP_NODELAY: acknowledge
            // at once, so that Nagle on their side does not wait for a
            // delayed ACK. The kernel clears the flag again, so it is set
            // after every read.
            const int yes = 1;
            (void)setsockopt(c.socket.fd(), IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
            taken += static_cast<std::size_t>(n);
            c.last_input = SteadyClock::now();
            outcome = c.session->receive(std::span(chunk_.data(), static_cast<std::size_t>(n)), replies);
            queue(c, replies);
            if (outcome.verdict != Verdict::keep) {
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        drained = !closed;
        break;
    }
    if (outcome.verdict == Verdict::keep && drained) {
        outcome = c.session->settle(replies);
        queue(c, replies);
    }
    // What a session still holds when the client has gone is dropped with it.
    conclude(i, outcome, closed, closed || send_queued(c));
}

void Server::serve_quiet(std::size_t i)
{
    Client& c = *clients_[i];
    Replies replies;
    const SessionOutcome outcome = c.session->idle(replies);
    queue(c, replies);
    conclude(i, outcome, false, send_queued(c));
}

void Server::conclude(std::size_t i, const SessionOutcome& outcome, bool closed, bool sent)
{
    const Client& c = *clients_[i];
    switch (outcome.verdict) {
    case Verdict::keep:
        if (closed) {
            end_client(i,
                       c.session->mid_command() ? "disconnected in the middle of a command" : "disconnected");
        } else if (!sent) {
            end_client(i, "lost while sending a reply");
        }
        break;
    case Verdict::close:
        end_client(i, "said goodbye");
        break;
    case Verdict::drop:
        end_client(i, "protocol error, connection closed: " + outcome.error);
        break;
    case Verdict::failed:
        end_client(i, outcome.error + "; connection closed", outcome);
        break;
    }
}

void Server::end_client(std::size_t i, const std::string& why, const SessionOutcome& outcome)
{
    log_ << name(i) << ": " << clients_[i]->peer << ": " << why << "\n";
    clients_[i].reset();
    if (adapter_gone_) {
        return;
    }
    if (outcome.verdict == Verdict::failed && outcome.rc == LIBUSB_ERROR_NO_DEVICE) {
        lose_adapter(outcome.error);
        return;
    }
    if (outcome.verdict == Verdict::failed) {
        port_.recover(name(i));
    } else {
        port_.end_session(name(i));
    }
}

void Server::lose_adapter(const std::string& why)
{
    adapter_gone_ = true;
    log_ << "serve: the adapter is gone (" << why << "): closing every connection; opening it again every "
         << seconds_text(limits_.reopen_every_ms) << "\n";
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        if (clients_[i]) {
            end_client(i, "closed: the adapter is gone");
        }
    }
    // Its session ends when it is opened again: the ports on it close first.
    port_.unbind();
    next_reopen_ = SteadyClock::now() + std::chrono::milliseconds(limits_.reopen_every_ms);
}

void Server::try_reopen()
{
    next_reopen_ = SteadyClock::now() + std::chrono::milliseconds(limits_.reopen_every_ms);
    if (!reopen_) {
        return;
    }
    std::string error;
    // A new session empties the read-back as it opens: a session comes back
    // only from an adapter that answers.
    orvdev_session* const session = reopen_(error);
    if (session == nullptr) {
        return;
    }
    port_.rebind(session);
    adapter_gone_ = false;
    log_ << "serve: the adapter is back; serving again\n";
}

} // namespace

ServeResult serve(AdapterPort& port, const std::vector<Endpoint>& endpoints, const ServeLimits& limits,
                  const Reopen& reopen, std::ostream& out, std::ostream& log,
                  const volatile std::sig_atomic_t& stop)
{
    std::vector<Listener> listeners;
    for (const Endpoint& e : endpoints) {
        Listener l{e, {}, {}};
        std::string error;
        if (!bind_listener(l, error)) {
            return {false, error};
        }
        listeners.push_back(std::move(l));
    }
    for (const Listener& l : listeners) {
        out << "listening: " << protocol_name(l.endpoint.protocol) << " on " << l.name << "\n";
    }
    out.flush();

    // Signals reach the wait below only: blocked elsewhere, so a signal that
    // comes between the check of `stop` and the wait still ends the wait.
    sigset_t blocked;
    sigset_t original;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &original);
    sigset_t during_wait = original;
    sigdelset(&during_wait, SIGINT);
    sigdelset(&during_wait, SIGTERM);

    Server server(port, std::move(listeners), limits, reopen, log);
    const bool adapter_there = server.run(stop, during_wait);
    pthread_sigmask(SIG_SETMASK, &original, nullptr);
    const orvdev_jtag_port_stats jtag = port.jtag_stats();
    log << "serve: stopped; JTAG: " << jtag.runs << " client waits, " << jtag.clocks << " clocks in "
        << jtag.out_transfers << " OUT transfers (" << jtag.stream_bytes << " bytes) and " << jtag.exchanges
        << " read-back exchanges; SPI: " << port.spi_operations() << " operations\n";
    ServeResult result{true, {}};
    result.adapter_lost = !adapter_there;
    return result;
}

} // namespace orv::bridge
