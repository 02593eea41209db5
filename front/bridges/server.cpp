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
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <sstream>

#include "front/bridges/sessions.hpp"

namespace orv::bridge {

namespace {

constexpr int BACKLOG = 16;
// Bytes read from one client in one turn.
constexpr std::size_t TURN_BYTES = 65536;
// The longest wait for clients between looks at the stop flag.
constexpr int MAX_WAIT_MS = 1000;
// Connections taken from one listener before the clients get their turns.
constexpr int ACCEPTS_PER_ROUND = 16;
// The kernel's send buffer of a client's socket, fixed (the kernel doubles
// it): left to grow it would take megabytes of answers from a client that
// reads none, each a turn's work, before the unread limit could start to
// count. The largest answer (an XVC vector) is 16 KiB.
constexpr int CLIENT_SEND_BUFFER = 32768;

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

Listening listening_of(Protocol protocol, const sockaddr_storage& addr)
{
    char host[NI_MAXHOST] = "?";
    char serv[NI_MAXSERV] = "0";
    (void)getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, host, sizeof host, serv,
                      sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    return Listening{protocol, host, static_cast<std::uint16_t>(std::strtoul(serv, nullptr, 10))};
}

std::string peer_text(const sockaddr_storage& addr)
{
    return address_text(listening_of(Protocol::remote_bitbang, addr));
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
    Listening bound;
};

// The parts of the adapter a client has to itself while its turn lasts.
enum class Resource { jtag_chain, spi_flash };

Resource resource_of(Protocol protocol)
{
    return protocol == Protocol::serprog ? Resource::spi_flash : Resource::jtag_chain;
}

const char* resource_name(Resource resource)
{
    return resource == Resource::jtag_chain ? "the JTAG chain" : "the SPI flash";
}

struct Client {
    Socket socket;
    std::string peer;
    Protocol protocol = Protocol::remote_bitbang;
    // Null while the client waits for its turn.
    std::unique_ptr<Session> session;
    SteadyClock::time_point since; // when it connected
    // Replies the socket has not taken yet, each sent with send() calls of
    // its own (the XVC client reads each reply with a single recv()).
    std::deque<std::string> unsent;
    std::size_t front_sent = 0; // bytes of unsent.front() already sent
    std::size_t unsent_bytes = 0;
    // Since when the socket has refused replies that wait; none once it has
    // taken them all.
    std::optional<SteadyClock::time_point> refused_since;
    SteadyClock::time_point last_input;
    bool gone = false; // closed; removed at the end of the round

    [[nodiscard]] Resource resource() const { return resource_of(protocol); }
    [[nodiscard]] bool holds() const { return !gone && session != nullptr; }
    [[nodiscard]] bool waits() const { return !gone && session == nullptr; }
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
        l.bound = listening_of(l.endpoint.protocol, bound);
        l.socket = std::move(s);
        return true;
    }
    error = "cannot listen on " + l.endpoint.host + ":" + service + ": " + errno_text(last_error);
    return false;
}

} // namespace

std::string address_text(const Listening& l)
{
    const bool v6 = l.host.find(':') != std::string::npos;
    return (v6 ? "[" : "") + l.host + (v6 ? "]:" : ":") + std::to_string(l.port);
}

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
        : port_(port), listeners_(std::move(listeners)), limits_(limits), reopen_(reopen), log_(log)
    {
    }

    // Serves until `stop`; true when the adapter is there at the end.
    bool run(const volatile std::sig_atomic_t& stop, const sigset_t& during_wait);

private:
    [[nodiscard]] static const char* name(const Client& c) { return protocol_name(c.protocol); }
    [[nodiscard]] Client* holder(Resource resource) const;
    [[nodiscard]] std::size_t waiting() const;
    [[nodiscard]] int wait_ms(SteadyClock::time_point now) const;
    void accept(std::size_t listener);
    void take_turn(Client& c, short revents);
    void serve_input(Client& c);
    void finish_turn(Client& c, SessionOutcome outcome, bool closed);
    void serve_quiet(Client& c);
    void conclude(Client& c, const SessionOutcome& outcome, bool closed, bool sent);
    void queue(Client& c, Replies& replies);
    [[nodiscard]] bool send_queued(Client& c);
    void end_client(Client& c, const std::string& why, const SessionOutcome& outcome = {});
    void forget(Client& c, const std::string& why);
    void give_turns();
    void lose_adapter(const std::string& why);
    void try_reopen();

    AdapterPort& port_;
    std::vector<Listener> listeners_;
    ServeLimits limits_;
    const Reopen& reopen_;
    std::ostream& log_;
    // In order of arrival: the first client of a part of the adapter has
    // it, the others wait for it in this order.
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(TURN_BYTES);
    bool adapter_gone_ = false;
    SteadyClock::time_point next_reopen_;
};

Client* Server::holder(Resource resource) const
{
    for (const auto& c : clients_) {
        if (c->holds() && c->resource() == resource) {
            return c.get();
        }
    }
    return nullptr;
}

std::size_t Server::waiting() const
{
    return static_cast<std::size_t>(
        std::count_if(clients_.begin(), clients_.end(), [](const auto& c) { return c->waits(); }));
}

int Server::wait_ms(SteadyClock::time_point now) const
{
    std::optional<SteadyClock::time_point> wake;
    const auto earliest = [&wake](SteadyClock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
    for (const auto& c : clients_) {
        if (!c->holds()) {
            continue;
        }
        if (c->unsent.empty() && c->session->backlog()) {
            return 0; // its next turn is due
        }
        if (c->refused_since) {
            earliest(*c->refused_since + std::chrono::milliseconds(limits_.unread_limit_ms));
        }
        if (c->session->awaits_quiet()) {
            earliest(c->last_input + std::chrono::milliseconds(Session::IDLE_MS));
        }
    }
    if (adapter_gone_) {
        earliest(next_reopen_);
    }
    // At most a second: SIGINT and SIGTERM end the wait when they come to
    // this thread, but another thread of the program (the virtual adapter's,
    // libusb's) may take them and only set the flag.
    if (!wake) {
        return MAX_WAIT_MS;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*wake - now).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, MAX_WAIT_MS));
}

bool Server::run(const volatile std::sig_atomic_t& stop, const sigset_t& during_wait)
{
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    while (stop == 0) {
        fds.clear();
        polled.clear();
        for (const Listener& l : listeners_) {
            fds.push_back(pollfd{l.socket.fd(), POLLIN, 0});
        }
        for (const auto& c : clients_) {
            short events = POLLRDHUP; // one that waits: only whether it leaves
            if (c->session) {
                events = static_cast<short>((c->unsent.empty() && !c->session->backlog() ? POLLIN : 0) |
                                            (c->unsent.empty() ? 0 : POLLOUT));
            }
            fds.push_back(pollfd{c->socket.fd(), events, 0});
            polled.push_back(c.get());
        }
        const int wait = wait_ms(SteadyClock::now());
        timespec timeout{wait / 1000, static_cast<long>(wait % 1000) * 1000000L};
        const int ready = ppoll(fds.data(), fds.size(), &timeout, &during_wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            log_ << "serve: waiting for clients failed: " << errno_text(errno) << "\n";
            break;
        }
        // Clients first, each its turn: a goodbye that came in with a new
        // connection is seen before that connection is placed.
        for (std::size_t k = 0; k < polled.size() && stop == 0; ++k) {
            if (!polled[k]->gone) {
                take_turn(*polled[k], fds[listeners_.size() + k].revents);
            }
        }
        std::erase_if(clients_, [](const auto& c) { return c->gone; });
        give_turns();
        for (std::size_t i = 0; i < listeners_.size() && stop == 0; ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
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

void Server::accept(std::size_t listener)
{
    for (int n = 0; n < ACCEPTS_PER_ROUND; ++n) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        Socket s(::accept4(listeners_[listener].socket.fd(), reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!s.open()) {
            return;
        }
        const Protocol protocol = listeners_[listener].endpoint.protocol;
        const std::string who = peer_text(peer);
        if (adapter_gone_) {
            log_ << protocol_name(protocol) << ": refused " << who << ": the adapter is gone\n";
            continue;
        }
        const Client* const busy = holder(resource_of(protocol));
        if (busy != nullptr && waiting() >= limits_.max_waiting) {
            log_ << protocol_name(protocol) << ": refused " << who << ": " << limits_.max_waiting
                 << " clients wait for their turn already\n";
            continue;
        }
        const int yes = 1;
        (void)setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        (void)setsockopt(s.fd(), SOL_SOCKET, SO_SNDBUF, &CLIENT_SEND_BUFFER, sizeof CLIENT_SEND_BUFFER);
        auto c = std::make_unique<Client>();
        c->socket = std::move(s);
        c->peer = who;
        c->protocol = protocol;
        c->since = SteadyClock::now();
        c->last_input = c->since;
        if (busy == nullptr) {
            c->session = make_session(protocol, port_);
            log_ << name(*c) << ": client " << who << " connected\n";
        } else {
            log_ << name(*c) << ": client " << who << " connected; it waits for "
                 << resource_name(c->resource()) << ", which " << name(*busy) << " client " << busy->peer
                 << " has (one client at a time)\n";
        }
        clients_.push_back(std::move(c));
    }
}

void Server::give_turns()
{
    for (const Resource r : {Resource::jtag_chain, Resource::spi_flash}) {
        if (holder(r) != nullptr) {
            continue;
        }
        const auto next = std::find_if(clients_.begin(), clients_.end(),
                                       [r](const auto& c) { return c->waits() && c->resource() == r; });
        if (next == clients_.end()) {
            continue;
        }
        Client& c = **next;
        c.session = make_session(c.protocol, port_);
        c.last_input = SteadyClock::now();
        log_ << name(c) << ": " << c.peer << ": its turn, after waiting "
             << seconds_text(static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(c.last_input - c.since).count()))
             << " for " << resource_name(r) << "\n";
    }
}

void Server::take_turn(Client& c, short revents)
{
    if (c.waits()) {
        if ((revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            forget(c, "left while it waited for its turn");
        }
        return;
    }
    if (!c.unsent.empty() && (revents & (POLLOUT | POLLHUP | POLLERR)) != 0 && !send_queued(c)) {
        end_client(c, "lost while sending a reply");
        return;
    }
    if (c.unsent.empty()) {
        if (c.session->backlog()) {
            Replies replies;
            const SessionOutcome outcome = c.session->receive({}, replies);
            queue(c, replies);
            finish_turn(c, outcome, false);
        } else if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            serve_input(c);
        }
    }
    const auto now = SteadyClock::now();
    if (c.holds() && c.session->awaits_quiet() &&
        now - c.last_input >= std::chrono::milliseconds(Session::IDLE_MS)) {
        serve_quiet(c);
    }
    if (c.holds() && c.refused_since &&
        now - *c.refused_since >= std::chrono::milliseconds(limits_.unread_limit_ms)) {
        end_client(c, "answers unread for " + seconds_text(limits_.unread_limit_ms) + " (" +
                          std::to_string(c.unsent_bytes) + " bytes waiting); connection closed");
    }
}

void Server::queue(Client& c, Replies& replies)
{
    for (std::string& r : replies) {
        if (r.empty()) {
            continue;
        }
        c.unsent_bytes += r.size();
        if (!c.unsent.empty() && !c.session->separate_replies()) {
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
            if (c.front_sent == r.size()) {
                c.unsent.pop_front();
                c.front_sent = 0;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Taking some of them is not reading them: the time counts from
            // the first refusal until the socket has taken everything.
            if (!c.refused_since) {
                c.refused_since = SteadyClock::now();
            }
            return true;
        }
        return false;
    }
    c.refused_since.reset();
    return true;
}

void Server::serve_input(Client& c)
{
    const ssize_t n = ::recv(c.socket.fd(), chunk_.data(), chunk_.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        // What a session still holds when the client has gone is dropped with it.
        finish_turn(c, {}, true);
        return;
    }
    // The clients write a command in pieces (XVC header and payload, serprog
    // opcode and parameters) without TCP_NODELAY: acknowledge at once, so
    // that Nagle on their side does not wait for a delayed ACK. The kernel
    // clears the flag again, so it is set after every read.
    const int yes = 1;
    (void)setsockopt(c.socket.fd(), IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
    c.last_input = SteadyClock::now();
    Replies replies;
    const SessionOutcome outcome =
        c.session->receive(std::span(chunk_.data(), static_cast<std::size_t>(n)), replies);
    queue(c, replies);
    finish_turn(c, outcome, false);
}

void Server::finish_turn(Client& c, SessionOutcome outcome, bool closed)
{
    if (outcome.verdict == Verdict::keep && !closed && !c.session->backlog()) {
        // Nothing more in the socket: the client waits for answers.
        char next = 0;
        const ssize_t more = ::recv(c.socket.fd(), &next, 1, MSG_PEEK | MSG_DONTWAIT);
        if (more < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Replies replies;
            outcome = c.session->settle(replies);
            queue(c, replies);
        } else if (more == 0 || (more < 0 && errno != EINTR)) {
            closed = true;
        }
    }
    if (const std::string notice = c.session->take_notice(); !notice.empty()) {
        log_ << name(c) << ": " << c.peer << ": " << notice << "\n";
    }
    conclude(c, outcome, closed, closed || send_queued(c));
}

void Server::serve_quiet(Client& c)
{
    Replies replies;
    const SessionOutcome outcome = c.session->idle(replies);
    queue(c, replies);
    conclude(c, outcome, false, send_queued(c));
}

void Server::conclude(Client& c, const SessionOutcome& outcome, bool closed, bool sent)
{
    switch (outcome.verdict) {
    case Verdict::keep:
        if (closed) {
            end_client(c,
                       c.session->mid_command() ? "disconnected in the middle of a command" : "disconnected");
        } else if (!sent) {
            end_client(c, "lost while sending a reply");
        }
        break;
    case Verdict::close:
        end_client(c, "said goodbye");
        break;
    case Verdict::drop:
        end_client(c, "protocol error, connection closed: " + outcome.error);
        break;
    case Verdict::failed:
        end_client(c, outcome.error + "; connection closed", outcome);
        break;
    }
}

void Server::end_client(Client& c, const std::string& why, const SessionOutcome& outcome)
{
    forget(c, why);
    c.session.reset();
    if (adapter_gone_) {
        return;
    }
    if (outcome.verdict == Verdict::failed && outcome.rc == LIBUSB_ERROR_NO_DEVICE) {
        lose_adapter(outcome.error);
        return;
    }
    if (outcome.verdict == Verdict::failed) {
        port_.recover(name(c));
    } else {
        port_.end_session(name(c));
    }
    if (c.resource() == Resource::jtag_chain) {
        port_.release_trst(name(c));
    }
}

void Server::forget(Client& c, const std::string& why)
{
    log_ << name(c) << ": " << c.peer << ": " << why << "\n";
    c.gone = true;
    c.socket.reset();
}

void Server::lose_adapter(const std::string& why)
{
    adapter_gone_ = true;
    log_ << "serve: the adapter is gone (" << why << "): closing every connection; opening it again every "
         << seconds_text(limits_.reopen_every_ms) << "\n";
    for (const auto& c : clients_) {
        if (c->holds()) {
            end_client(*c, "closed: the adapter is gone");
        } else if (c->waits()) {
            forget(*c, "closed while it waited: the adapter is gone");
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
                  const Reopen& reopen, const Announce& announce, std::ostream& log,
                  const volatile std::sig_atomic_t& stop)
{
    std::vector<Listener> listeners;
    for (const Endpoint& e : endpoints) {
        Listener l{e, {}, {}};
        std::string error;
        if (!bind_listener(l, error)) {
            ServeResult failed;
            failed.error = error;
            return failed;
        }
        listeners.push_back(std::move(l));
    }
    if (announce) {
        std::vector<Listening> bound;
        for (const Listener& l : listeners) {
            bound.push_back(l.bound);
        }
        announce(bound);
    }

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
    ServeResult result;
    result.ok = true;
    result.adapter_lost = !adapter_there;
    result.jtag = jtag;
    result.spi_operations = port.spi_operations();
    return result;
}

} // namespace orv::bridge
