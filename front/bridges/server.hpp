// The network side of the bridges: a listening socket per protocol, all of
// them served by one thread on one adapter (so their operations never
// interleave on it).
//
// One client at a time has each part of the adapter: the JTAG chain
// (remote_bitbang and XVC alike) and the SPI flash (serprog). A client that
// connects while another has its part is accepted and waits its turn, in
// order of arrival, unread: OpenOCD, openFPGALoader and flashrom wait for
// answers without a time limit, and a connection closed on them makes them
// fail without saying why, so a wait serves them better than a refusal. The
// log says who waits for whom. A client that leaves while it waits is
// forgotten; past `max_waiting` waiting connections a new one is refused
// with a log line.
//
// Clients take turns: a turn reads at most one chunk of a client's input and
// runs at most one adapter operation of it (sessions.hpp); what it sent
// beyond waits in its session for its next turn, after the other clients'.
//
// A client that sends garbage, an oversize length, or leaves in the middle of
// a command loses its connection with a line on the log; an adapter error
// ends that client's connection with the library's text and a purge of the
// adapter's read-back; the server goes on serving.
//
// Replies wait in a queue per client and go out as its socket takes them;
// while any wait, nothing more is read from that client. When its socket has
// taken none of them for `unread_limit_ms`, or not all of them in that time,
// the client is dropped with a log line.
//
// When the adapter is gone (a transfer ends in "no such device"), every
// connection is closed, new ones are refused, and `reopen` is tried once a
// second until the adapter answers again.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "front/bridges/adapter_port.hpp"

namespace orv::bridge {

enum class Protocol { remote_bitbang, xvc, serprog };

[[nodiscard]] const char* protocol_name(Protocol protocol) noexcept;

struct Endpoint {
    Protocol protocol = Protocol::remote_bitbang;
    std::string host = "127.0.0.1";
    std::uint16_t port = 0; // 0: any free port
    bool host_given = false;
};

// "[HOST:]PORT" (IPv6 hosts in brackets: "[::1]:3721"); empty on a bad text.
[[nodiscard]] std::optional<Endpoint> parse_endpoint(Protocol protocol, std::string_view text);

// True for 127.0.0.0/8, ::1 and "localhost".
[[nodiscard]] bool is_loopback(std::string_view host);

struct ServeLimits {
    int unread_limit_ms = 10000;  // how long answers may wait unread
    int reopen_every_ms = 1000;   // while the adapter is gone
    std::size_t max_waiting = 64; // connections waiting for their turn, all protocols together
};

// A socket the server listens on, as bound (port 0 resolved).
struct Listening {
    Protocol protocol = Protocol::remote_bitbang;
    std::string host; // numeric, IPv6 without brackets
    std::uint16_t port = 0;
};

// "HOST:PORT", IPv6 hosts in brackets.
[[nodiscard]] std::string address_text(const Listening& l);

// Told every socket once all are bound, before the first client is served.
using Announce = std::function<void(const std::vector<Listening>&)>;

// Opens the adapter again as it was chosen and starts a session on it; null,
// with `error` set, while it is not there.
using Reopen = std::function<orvdev_session*(std::string& error)>;

struct ServeResult {
    bool ok = false;
    std::string error;                // why the server could not start
    bool adapter_lost = false;        // the adapter went away and had not come back at the end
    orvdev_jtag_port_stats jtag{};    // what the JTAG clients' clocks cost
    std::uint64_t spi_operations = 0; // serprog's SPI operations
};

// Binds every endpoint, tells `announce`, then serves until `stop` becomes
// non-zero (a signal handler sets it: SIGINT and SIGTERM reach this thread
// only while it waits for clients, so the wait always wakes up on them), and
// ends with a summary line on `log`.
[[nodiscard]] ServeResult serve(AdapterPort& port, const std::vector<Endpoint>& endpoints,
                                const ServeLimits& limits, const Reopen& reopen, const Announce& announce,
                                std::ostream& log, const volatile std::sig_atomic_t& stop);

} // namespace orv::bridge
