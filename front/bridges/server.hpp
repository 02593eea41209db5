// The network side of the bridges: a listening socket per protocol, one
// client per protocol at a time, all of them served by one thread on one
// adapter (so their operations never interleave on it).
//
// A client that sends garbage, an oversize length, or leaves in the middle of
// a command loses its connection with a line on the log; an adapter error
// ends that client's connection with the library's text and a purge of the
// adapter's read-back; the server goes on serving. A second client of a
// protocol that already has one is refused with a log line, once the first
// one is seen to be still there (its goodbye may be on its way).
//
// Replies wait in a queue per client and go out as its socket takes them, so
// a client that does not read holds up no one else: past `max_unsent` bytes
// waiting its input is left unread, and when its socket takes nothing for
// `unread_limit_ms` while answers wait, it is dropped with a log line.
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
    std::size_t max_unsent = std::size_t{1} << 20; // reply bytes waiting for one client
    int unread_limit_ms = 10000;                   // how long answers may wait unread
    int reopen_every_ms = 1000;                    // while the adapter is gone
};

// Opens the adapter again as it was chosen and starts a session on it; null,
// with `error` set, while it is not there.
using Reopen = std::function<orvdev_session*(std::string& error)>;

struct ServeResult {
    bool ok = false;
    std::string error;         // why the server could not start
    bool adapter_lost = false; // the adapter went away and had not come back at the end
};

// Binds every endpoint, prints "listening: PROTOCOL on HOST:PORT" for each on
// `out` (flushed), then serves until `stop` becomes non-zero (a signal
// handler sets it; the wait for clients wakes up on the signal).
[[nodiscard]] ServeResult serve(AdapterPort& port, const std::vector<Endpoint>& endpoints,
                                const ServeLimits& limits, const Reopen& reopen, std::ostream& out,
                                std::ostream& log, const volatile std::sig_atomic_t& stop);

} // namespace orv::bridge
