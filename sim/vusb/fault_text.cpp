// Fault names and the KIND[:EP[:AFTER[:COUNT]]] form that orvsim-run and
// orvtool take faults in.
#include <array>
#include <charconv>
#include <utility>

#include "lib/wire/wire.hpp"
#include "sim/vusb/virtual_usb.hpp"

namespace orv::sim {

namespace {

constexpr std::array<std::pair<std::string_view, FaultKind>, 8> KINDS{{
    {"none", FaultKind::none},
    {"unplugged", FaultKind::unplugged},
    {"stall", FaultKind::stall},
    {"timeout", FaultKind::timeout},
    {"short", FaultKind::short_transfer},
    {"never-fill", FaultKind::never_fill},
    {"overcount", FaultKind::overcount},
    {"overflow", FaultKind::overflow},
}};

std::optional<long long> integer(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<Fault> refuse(std::string* error, std::string message)
{
    if (error != nullptr) {
        *error = std::move(message);
    }
    return std::nullopt;
}

} // namespace

std::optional<FaultKind> fault_kind_named(std::string_view name)
{
    for (const auto& [text, kind] : KINDS) {
        if (text == name) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string_view fault_kind_name(FaultKind kind)
{
    for (const auto& [text, k] : KINDS) {
        if (k == kind) {
            return text;
        }
    }
    return "?";
}

std::string fault_kind_names()
{
    std::string names;
    for (std::size_t i = 0; i < KINDS.size(); ++i) {
        names += i == 0 ? "" : i + 1 == KINDS.size() ? " or " : ", ";
        names += KINDS[i].first;
    }
    return names;
}

std::optional<Fault> parse_fault(std::string_view fault_text, std::string* error)
{
    std::array<std::string_view, 4> fields{};
    std::size_t count = 0;
    for (std::size_t start = 0;;) {
        const std::size_t colon = fault_text.find(':', start);
        if (count == fields.size()) {
            return refuse(error,
                          "too many fields in '" + std::string(fault_text) + "': KIND[:EP[:AFTER[:COUNT]]]");
        }
        fields[count++] = fault_text.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (colon == std::string_view::npos) {
            break;
        }
        start = colon + 1;
    }
    Fault fault;
    const auto kind = fault_kind_named(fields[0]);
    if (!kind) {
        return refuse(error, "unknown fault '" + std::string(fields[0]) + "': use " + fault_kind_names());
    }
    fault.kind = *kind;
    if (count > 1 && fields[1] != "any") {
        const auto endpoint = integer(fields[1]);
        if (!endpoint || (*endpoint != 0 && *endpoint != EP_COMMAND_OUT && *endpoint != EP_READBACK_DATA_IN &&
                          *endpoint != EP_READBACK_COUNT_IN)) {
            return refuse(error, "endpoint '" + std::string(fields[1]) + "': use any, 0x02, 0x81 or 0x83");
        }
        fault.endpoint = static_cast<unsigned char>(*endpoint);
    }
    if (fault.kind == FaultKind::never_fill && fault.endpoint != 0 &&
        fault.endpoint != EP_READBACK_COUNT_IN) {
        return refuse(error, "never-fill acts on the count endpoint 0x83 only");
    }
    if (count > 2) {
        const auto after = integer(fields[2]);
        if (!after || *after < 0 || *after > 0xFFFFFFFFLL) {
            return refuse(error, "AFTER '" + std::string(fields[2]) + "': a number of URBs, 0 or more");
        }
        fault.after = static_cast<unsigned>(*after);
    }
    if (count > 3) {
        const auto urbs = integer(fields[3]);
        if (!urbs || *urbs == 0 || *urbs < -1 || *urbs > 0x7FFFFFFFLL) {
            return refuse(error, "COUNT '" + std::string(fields[3]) + "': 1 or more URBs, or -1 for all");
        }
        fault.count = static_cast<int>(*urbs);
    }
    return fault;
}

} // namespace orv::sim
