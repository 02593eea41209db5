// The C functions of boundary scan: BSDL files, their match to a chain, the
// chain's boundary registers (sample, drive, release), netlists and the
// interconnect test.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "lib/wire/value_text.hpp"

#include "lib/devices/bscan/boundary_chain.hpp"
#include "lib/devices/bscan/bscan_handle.hpp"
#include "lib/devices/bscan/bsdl_handle.hpp"
#include "lib/devices/bscan/file_match.hpp"
#include "lib/devices/bscan/input_reading.hpp"
#include "lib/devices/bscan/interconnect.hpp"
#include "lib/devices/bscan/netlist.hpp"
#include "lib/devices/session/api_guard.hpp"

using namespace orv::dev;
using namespace orv::dev::bscan;
namespace bsdl = orv::bsdl;
using orv::count_text;

struct orvdev_netlist {
    Netlist netlist;
    std::vector<std::unique_ptr<orvdev_bsdl>> files; // per device; null for a part without boundary scan
};

namespace {

// The result and the texts it points into.
struct OwnedResult : orvdev_connect_result {
    InterconnectReport report;
    std::vector<orvdev_connect_open> opens;
    std::vector<std::vector<const char*>> short_names;
    std::vector<orvdev_connect_short> shorts;
    std::vector<orvdev_connect_stuck> stuck;
    std::vector<orvdev_connect_untested> untested;
};

void to_c(const Boundary& b, const PinCells& cells, const PinLevel* level, orvdev_bscan_pin& out)
{
    const bsdl::Pin& pin = b.device().pins[cells.pin];
    out.port = pin.name.c_str();
    out.package_pin = pin.package_pins.empty() ? "" : pin.package_pins.front().c_str();
    out.direction = static_cast<std::int32_t>(cells.direction);
    out.value = level != nullptr && level->value ? (*level->value ? 1 : 0) : -1;
    out.driven = level != nullptr && level->driven ? 1 : 0;
}

void to_c(const Boundary& b, const Readout& r, orvdev_bscan_pin* pins)
{
    for (std::size_t i = 0; i < b.pins().size(); ++i) {
        to_c(b, b.pins()[i], &r.pins[i], pins[i]);
    }
}

// A pin of `b` by name; throws Failure naming the nearest pins.
std::size_t pin_named(const Boundary& b, const char* name)
{
    const std::string text = name != nullptr ? name : "";
    if (const auto found = b.find(text)) {
        return *found;
    }
    const bsdl::Device& d = b.device();
    if (d.find_pin(text)) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      text + " of " + d.entity + " has no boundary cell: it cannot be sampled or driven");
    }
    std::string nearest;
    for (const std::string& n : d.nearest_pins(text)) {
        nearest += (nearest.empty() ? "" : ", ") + n;
    }
    throw Failure(ORVDEV_ERROR_UNKNOWN_PIN, "no pin " + text + " in " + d.entity + "; nearest: " + nearest,
                  "pin names are the BSDL file's port names, a vector's element as D(3)");
}

std::size_t pin_count(const Boundary& b)
{
    return b.pins().size();
}

void check_capacity(const Boundary& b, std::uint32_t capacity)
{
    if (capacity < pin_count(b)) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, "room for " + count_text(pin_count(b), "pin") + " (" +
                                                         b.device().entity + "), got " +
                                                         std::to_string(capacity));
    }
}

} // namespace

extern "C" {

int32_t orvdev_bsdl_load(const char* path, orvdev_bsdl** out, orvdev_input_error* where,
                         orvdev_report* report)
{
    if (path == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no path, or nowhere to put the file");
    }
    return reading(where, report, [&] { *out = new orvdev_bsdl{read_bsdl(path)}; });
}

void orvdev_bsdl_free(orvdev_bsdl* file)
{
    delete file;
}

void orvdev_bsdl_get_info(const orvdev_bsdl* file, orvdev_bsdl_info* info)
{
    if (file == nullptr || info == nullptr) {
        return;
    }
    const bsdl::Device& d = file->file.boundary->device();
    *info = orvdev_bsdl_info{};
    info->path = file->file.path.c_str();
    info->entity = d.entity.c_str();
    info->standard = d.standard.c_str();
    info->instruction_length = d.instruction_length;
    info->boundary_length = d.boundary_length;
    info->has_idcode = d.idcode ? 1 : 0;
    info->idcode = d.idcode ? static_cast<std::uint32_t>(d.idcode->value) : 0;
    info->idcode_care = d.idcode ? static_cast<std::uint32_t>(d.idcode->care) : 0;
    info->pin_count = static_cast<std::uint32_t>(pin_count(*file->file.boundary));
    info->instruction_count = static_cast<std::uint32_t>(d.instructions.size());
    info->notice_count = static_cast<std::uint32_t>(d.notices.size());
}

const char* orvdev_bsdl_instruction(const orvdev_bsdl* file, uint32_t index, int32_t* is_private)
{
    if (file == nullptr || index >= file->file.boundary->device().instructions.size()) {
        return nullptr;
    }
    const bsdl::Instruction& i = file->file.boundary->device().instructions[index];
    if (is_private != nullptr) {
        *is_private = i.is_private ? 1 : 0;
    }
    return i.name.c_str();
}

const char* orvdev_bsdl_opcode(const orvdev_bsdl* file, uint32_t instruction, uint32_t index)
{
    if (file == nullptr || instruction >= file->file.boundary->device().instructions.size()) {
        return nullptr;
    }
    const auto& opcodes = file->file.boundary->device().instructions[instruction].opcodes;
    return index < opcodes.size() ? opcodes[index].c_str() : nullptr;
}

void orvdev_bsdl_get_details(const orvdev_bsdl* file, orvdev_bsdl_details* details)
{
    if (file == nullptr || details == nullptr) {
        return;
    }
    const bsdl::Device& d = file->file.boundary->device();
    *details = orvdev_bsdl_details{d.instruction_capture.c_str(), d.pin_map.c_str(), d.conformance.c_str(),
                                   static_cast<std::uint32_t>(d.ports.size())};
}

int32_t orvdev_bsdl_get_cells(const orvdev_bsdl* file, uint32_t index, orvdev_bsdl_cells* cells)
{
    if (file == nullptr || cells == nullptr || index >= pin_count(*file->file.boundary)) {
        return ORVDEV_ERROR_INVALID_ARGUMENT;
    }
    const PinCells& c = file->file.boundary->pins()[index];
    const auto number = [](const std::optional<unsigned>& cell) {
        return cell ? static_cast<std::int32_t>(*cell) : -1;
    };
    *cells =
        orvdev_bsdl_cells{number(c.input), number(c.output), number(c.control), c.control ? c.disable : 0};
    return 0;
}

int32_t orvdev_bsdl_get_notice(const orvdev_bsdl* file, uint32_t index, orvdev_bsdl_notice* notice)
{
    if (file == nullptr || notice == nullptr || index >= file->file.boundary->device().notices.size()) {
        return ORVDEV_ERROR_INVALID_ARGUMENT;
    }
    const bsdl::Notice& n = file->file.boundary->device().notices[index];
    *notice = orvdev_bsdl_notice{n.line, n.column, n.text.c_str()};
    return 0;
}

int32_t orvdev_bsdl_get_pin(const orvdev_bsdl* file, uint32_t index, orvdev_bscan_pin* pin)
{
    if (file == nullptr || pin == nullptr || index >= pin_count(*file->file.boundary)) {
        return ORVDEV_ERROR_INVALID_ARGUMENT;
    }
    const Boundary& b = *file->file.boundary;
    to_c(b, b.pins()[index], nullptr, *pin);
    return 0;
}

int32_t orvdev_bsdl_find_pin(const orvdev_bsdl* file, const char* name, uint32_t* index,
                             orvdev_report* report)
{
    if (file == nullptr || name == nullptr || index == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no file, name or index");
    }
    return guarded(nullptr, report,
                   [&] { *index = static_cast<std::uint32_t>(pin_named(*file->file.boundary, name)); });
}

int32_t orvdev_bsdl_match_chain(const orvdev_chain* chain, const orvdev_bsdl* const* files, uint32_t count,
                                orvdev_bsdl_match* matches, orvdev_report* report)
{
    if (chain == nullptr || matches == nullptr || (files == nullptr && count != 0) ||
        std::any_of(files, files + count, [](const orvdev_bsdl* f) { return f == nullptr; })) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no chain, matches or file");
    }
    return guarded(nullptr, report, [&] {
        std::vector<const bsdl::Device*> devices;
        for (std::uint32_t i = 0; i < count; ++i) {
            devices.push_back(&files[i]->file.boundary->device());
        }
        const auto found = match_files(chain_from_c(*chain), devices);
        for (std::size_t t = 0; t < found.size(); ++t) {
            matches[t] = orvdev_bsdl_match{static_cast<std::int32_t>(found[t].status),
                                           found[t].file ? static_cast<std::int32_t>(*found[t].file) : -1};
        }
    });
}

int32_t orvdev_bscan_open(orvdev_jtag* jtag, const orvdev_chain* chain, const orvdev_bsdl* const* tap_files,
                          orvdev_bscan** out, orvdev_report* report)
{
    if (jtag == nullptr || chain == nullptr || tap_files == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no JTAG handle, chain, files or out");
    }
    return guarded(nullptr, report, [&] {
        const chain::Chain scanned = chain_from_c(*chain);
        std::vector<TapLayout> layout(scanned.devices.size());
        for (std::size_t t = 0; t < layout.size(); ++t) {
            if (tap_files[t] != nullptr) {
                layout[t].boundary = tap_files[t]->file.boundary;
            }
        }
        *out = new orvdev_bscan{BoundaryChain(jtag->jtag, scanned, std::move(layout))};
    });
}

void orvdev_bscan_close(orvdev_bscan* bscan)
{
    delete bscan;
}

int32_t orvdev_bscan_sample(orvdev_bscan* bscan, uint32_t tap, orvdev_bscan_pin* pins, uint32_t capacity,
                            orvdev_report* report)
{
    if (bscan == nullptr || (pins == nullptr && capacity != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no handle, or nowhere to put the pins");
    }
    BoundaryChain& chain = bscan->chain;
    return guarded(&chain.jtag().session(), report, [&] {
        const Boundary& b = chain.boundary(tap);
        check_capacity(b, capacity);
        to_c(b, chain.sample(tap), pins);
    });
}

int32_t orvdev_bscan_drive(orvdev_bscan* bscan, uint32_t tap, const orvdev_pin_setting* settings,
                           uint32_t count, int32_t hold, orvdev_bscan_pin* pins, uint32_t capacity,
                           orvdev_report* report)
{
    if (bscan == nullptr || settings == nullptr || count == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no handle, or no pins to drive");
    }
    BoundaryChain& chain = bscan->chain;
    return guarded(&chain.jtag().session(), report, [&] {
        const Boundary& b = chain.boundary(tap);
        if (pins != nullptr) {
            check_capacity(b, capacity);
        }
        std::vector<PinSetting> checked;
        std::set<std::size_t> seen;
        for (std::uint32_t i = 0; i < count; ++i) {
            const orvdev_pin_setting& s = settings[i];
            const std::size_t pin = pin_named(b, s.pin);
            const PinCells& cells = b.pins()[pin];
            const std::string name = b.name_of(cells);
            if (s.level < ORVDEV_LEVEL_LOW || s.level > ORVDEV_LEVEL_Z) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                              name + ": a level 0, 1 or Z, got " + std::to_string(s.level));
            }
            if (!seen.insert(pin).second) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, name + " is set twice");
            }
            if (!cells.output) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                              name + " is an input: it has no cell to drive it");
            }
            if (s.level == ORVDEV_LEVEL_Z && !cells.control) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                              name + " is a two-state output: it drives at all times and cannot be let go");
            }
            checked.push_back(PinSetting{pin, s.level == ORVDEV_LEVEL_Z
                                                  ? std::nullopt
                                                  : std::optional<bool>(s.level == ORVDEV_LEVEL_HIGH)});
        }
        const Readout r = chain.drive(tap, checked, hold != 0);
        if (pins != nullptr) {
            to_c(b, r, pins);
        }
    });
}

int32_t orvdev_bscan_release(orvdev_bscan* bscan, orvdev_report* report)
{
    if (bscan == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no handle");
    }
    return guarded(&bscan->chain.jtag().session(), report, [&] { bscan->chain.release(); });
}

int32_t orvdev_netlist_load_flags(const char* path, const orvdev_bsdl* const* files, uint32_t count,
                                  uint32_t flags, orvdev_netlist** out, orvdev_input_error* where,
                                  orvdev_report* report)
{
    if (path == nullptr || out == nullptr || (files == nullptr && count != 0) ||
        std::any_of(files, files + count, [](const orvdev_bsdl* f) { return f == nullptr; })) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no path, out or file");
    }
    if ((flags & ~static_cast<std::uint32_t>(ORVDEV_NETLIST_BSDL_ANYWHERE)) != 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "a flag that is not ORVDEV_NETLIST_BSDL_ANYWHERE");
    }
    return reading(where, report, [&] {
        std::vector<BsdlFile> candidates;
        for (std::uint32_t i = 0; i < count; ++i) {
            candidates.push_back(files[i]->file);
        }
        auto n = std::make_unique<orvdev_netlist>(
            orvdev_netlist{read_netlist(path, candidates, (flags & ORVDEV_NETLIST_BSDL_ANYWHERE) != 0), {}});
        for (const NetlistDevice& d : n->netlist.devices) {
            n->files.push_back(d.file ? std::make_unique<orvdev_bsdl>(orvdev_bsdl{*d.file}) : nullptr);
        }
        *out = n.release();
    });
}

int32_t orvdev_netlist_load(const char* path, const orvdev_bsdl* const* files, uint32_t count,
                            orvdev_netlist** out, orvdev_input_error* where, orvdev_report* report)
{
    return orvdev_netlist_load_flags(path, files, count, 0, out, where, report);
}

void orvdev_netlist_free(orvdev_netlist* netlist)
{
    delete netlist;
}

int32_t orvdev_netlist_taps(const orvdev_netlist* netlist, const orvdev_chain* chain,
                            const orvdev_bsdl** tap_files, orvdev_report* report)
{
    if (netlist == nullptr || chain == nullptr || tap_files == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no netlist, chain or files");
    }
    return guarded(nullptr, report, [&] {
        const chain::Chain scanned = chain_from_c(*chain);
        const auto taps = place_devices(netlist->netlist, scanned);
        std::fill(tap_files, tap_files + scanned.devices.size(), nullptr);
        for (std::size_t d = 0; d < taps.size(); ++d) {
            if (taps[d]) {
                tap_files[*taps[d]] = netlist->files[d].get();
            }
        }
    });
}

int32_t orvdev_connect_test(orvdev_bscan* bscan, const orvdev_netlist* netlist, orvdev_connect_result** out,
                            orvdev_report* report)
{
    if (bscan == nullptr || netlist == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no handle, netlist or out");
    }
    BoundaryChain& chain = bscan->chain;
    return guarded(&chain.jtag().session(), report, [&] {
        const Netlist& n = netlist->netlist;
        std::vector<std::size_t> taps(n.devices.size(), 0);
        for (std::size_t d = 0; d < n.devices.size(); ++d) {
            if (!n.devices[d].file) {
                continue;
            }
            const auto& layout = chain.taps();
            const auto at = std::find_if(layout.begin(), layout.end(), [&](const TapLayout& t) {
                return t.boundary == n.devices[d].file->boundary;
            });
            if (at == layout.end()) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                              "the boundary-scan handle has no TAP with " + n.devices[d].name +
                                  "'s file: open it with the netlist's files (orvdev_netlist_taps)");
            }
            taps[d] = static_cast<std::size_t>(at - layout.begin());
        }
        auto owned = std::make_unique<OwnedResult>();
        owned->report = run_test(chain, n, taps);
        const InterconnectReport& r = owned->report;
        for (const auto& o : r.opens) {
            owned->opens.push_back(
                {o.net.c_str(), o.pin.c_str(), o.or_pin.empty() ? nullptr : o.or_pin.c_str()});
        }
        for (const auto& s : r.shorts) {
            std::vector<const char*> names;
            for (const std::string& net : s.nets) {
                names.push_back(net.c_str());
            }
            owned->short_names.push_back(std::move(names));
        }
        for (std::size_t i = 0; i < r.shorts.size(); ++i) {
            owned->shorts.push_back({owned->short_names[i].data(),
                                     static_cast<std::uint32_t>(owned->short_names[i].size()),
                                     static_cast<std::int32_t>(r.shorts[i].behaves_as)});
        }
        for (const auto& s : r.stuck) {
            owned->stuck.push_back({s.net.c_str(), s.value ? 1 : 0});
        }
        for (const auto& u : r.untested) {
            owned->untested.push_back({u.net.c_str(), u.why.c_str()});
        }
        orvdev_connect_result& c = *owned;
        c.passed = r.passed ? 1 : 0;
        c.patterns = r.patterns;
        c.nets_tested = r.nets_tested;
        c.opens = owned->opens.data();
        c.open_count = static_cast<std::uint32_t>(owned->opens.size());
        c.shorts = owned->shorts.data();
        c.short_count = static_cast<std::uint32_t>(owned->shorts.size());
        c.stuck = owned->stuck.data();
        c.stuck_count = static_cast<std::uint32_t>(owned->stuck.size());
        c.untested = owned->untested.data();
        c.untested_count = static_cast<std::uint32_t>(owned->untested.size());
        c.scans = r.scans;
        c.out_transfers = static_cast<std::uint32_t>(r.wire.out_transfers);
        c.readback_exchanges = static_cast<std::uint32_t>(r.wire.exchanges);
        c.readback_bytes = r.wire.readback_bytes;
        *out = owned.release();
    });
}

void orvdev_connect_result_free(orvdev_connect_result* result)
{
    delete static_cast<OwnedResult*>(result);
}

} // extern "C"
