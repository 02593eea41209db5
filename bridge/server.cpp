#include "server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "sessions.hpp"

namespace orv::bridge {

namespace {

constexpr int BACKLOG = 4;
constexpr std::size_t RECEIVE_CHUNK = 65536;
constexpr int SEND_WAIT_MS = 10000; // a client that takes no data for this long is gone

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

struct Listener {
    Endpoint endpoint;
    Socket socket;
    std::string name; // HOST:PORT as bound
};

struct Client {
    Socket socket;
    std::string peer;
    std::unique_ptr<Session> session;
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

// Sends one reply whole, waiting while the client's window is full.
bool send_all(int fd, const std::string& data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, SEND_WAIT_MS) <= 0) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
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

ServeResult serve(AdapterPort& port, const std::vector<Endpoint>& endpoints, std::ostream& out,
                  std::ostream& log, const volatile std::sig_atomic_t& stop)
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

    std::vector<std::optional<Client>> clients(listeners.size());
    std::vector<std::uint8_t> chunk(RECEIVE_CHUNK);
    const auto end_client = [&](std::size_t i, const std::string& why) {
        log << protocol_name(listeners[i].endpoint.protocol) << ": " << clients[i]->peer << ": " << why
            << "\n";
        log.flush();
        clients[i].reset();
    };

    while (stop == 0) {
        std::vector<pollfd> fds;
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            fds.push_back(pollfd{listeners[i].socket.fd(), POLLIN, 0});
            fds.push_back(pollfd{clients[i] ? clients[i]->socket.fd() : -1, POLLIN, 0});
        }
        const int ready = ppoll(fds.data(), fds.size(), nullptr, &during_wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            log << "serve: waiting for clients failed: " << errno_text(errno) << "\n";
            break;
        }
        for (std::size_t i = 0; i < listeners.size() && stop == 0; ++i) {
            const char* name = protocol_name(listeners[i].endpoint.protocol);
            if ((fds[2 * i].revents & POLLIN) != 0) {
                sockaddr_storage peer{};
                socklen_t length = sizeof peer;
                Socket s(::accept4(listeners[i].socket.fd(), reinterpret_cast<sockaddr*>(&peer), &length,
                                   SOCK_CLOEXEC | SOCK_NONBLOCK));
                if (s.open()) {
                    const std::string who = address_text(peer);
                    if (clients[i]) {
                        log << name << ": refused " << who << ": " << clients[i]->peer
                            << " is connected (one client at a time)\n";
                    } else {
                        const int yes = 1;
                        (void)setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                        clients[i] =
                            Client{std::move(s), who, make_session(listeners[i].endpoint.protocol, port)};
                        log << name << ": client " << who << " connected\n";
                    }
                    log.flush();
                }
            }
            if (!clients[i] || (fds[2 * i + 1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            Client& c = *clients[i];
            Replies replies;
            Step step;
            bool closed = false;
            bool failed_send = false;
            // Read all that is there; then the client waits for answers.
            for (;;) {
                const ssize_t n = ::recv(c.socket.fd(), chunk.data(), chunk.size(), 0);
                if (n > 0) {
                    // The clients write a command in pieces (XVC header and
                    // payload, serprog opcode and parameters) without
                    // TCP_NODELAY: acknowledge at once, so that Nagle on
                    // their side does not wait for a delayed ACK. The kernel
                    // clears the flag again, so it is set after every read.
                    const int yes = 1;
                    (void)setsockopt(c.socket.fd(), IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
                    step = c.session->receive(std::span(chunk.data(), static_cast<std::size_t>(n)), replies);
                    for (const std::string& r : replies) {
                        failed_send = failed_send || !send_all(c.socket.fd(), r);
                    }
                    replies.clear();
                    if (step.verdict != Verdict::keep || failed_send) {
                        break;
                    }
                    continue;
                }
                if (n == 0) {
                    closed = true;
                } else if (errno == EINTR) {
                    continue;
                } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    closed = true;
                }
                break;
            }
            if (step.verdict == Verdict::keep && !failed_send) {
                step = c.session->settle(replies);
                for (const std::string& r : replies) {
                    failed_send = failed_send || !send_all(c.socket.fd(), r);
                }
            }
            switch (step.verdict) {
            case Verdict::keep:
                if (failed_send) {
                    end_client(i, "lost while sending a reply");
                } else if (closed) {
                    end_client(i, c.session->mid_command() ? "disconnected in the middle of a command"
                                                           : "disconnected");
                }
                break;
            case Verdict::close:
                end_client(i, "said goodbye");
                break;
            case Verdict::drop:
                end_client(i, "protocol error, connection closed: " + step.error);
                break;
            case Verdict::failed:
                end_client(i, step.error + "; connection closed");
                port.recover(name);
                break;
            }
        }
    }
    pthread_sigmask(SIG_SETMASK, &original, nullptr);
    const engine::SequenceStats& jtag = port.sequencer().stats();
    log << "serve: stopped; JTAG: " << jtag.flushes << " client waits, " << jtag.clocks << " clocks in "
        << jtag.out_transfers << " OUT transfers (" << jtag.stream_bytes << " bytes) and " << jtag.exchanges
        << " read-back exchanges; SPI: " << port.spi_operations() << " operations\n";
    return {true, {}};
}

} // namespace orv::bridge
