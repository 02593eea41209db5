#include "lib/devices/bscan/file_match.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "lib/wire/value_text.hpp"
#include "orv_devices.h"

namespace orv::dev::bscan {

namespace fs = std::filesystem;

std::vector<Match> match_files(const chain::Chain& chain, std::span<const bsdl::Device* const> files)
{
    std::vector<Match> matches;
    for (const chain::Device& tap : chain.devices) {
        Match m;
        if (!tap.idcode) {
            m.status = MatchStatus::no_idcode;
            matches.push_back(m);
            continue;
        }
        for (std::size_t f = 0; f < files.size(); ++f) {
            const bsdl::Device& file = *files[f];
            if (!file.idcode || !file.idcode->matches(tap.idcode->raw)) {
                continue;
            }
            if (!tap.ir_length || *tap.ir_length == file.instruction_length) {
                m = Match{MatchStatus::found, f};
                break;
            }
            if (!m.file) {
                m = Match{MatchStatus::ir_length, f};
            }
        }
        matches.push_back(m);
    }
    return matches;
}

// ---- where the files come from ----------------------------------------------

namespace {

bool is_bsdl_name(const fs::path& path)
{
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".bsd" || ext == ".bsdl";
}

// A source's files: itself, or a directory's BSDL files in name order.
std::vector<fs::path> files_of(const std::string& source)
{
    std::error_code error;
    if (!fs::is_directory(source, error)) {
        if (!fs::exists(source, error)) {
            throw BadInput(source, 0, 0, {}, "no such BSDL file or directory");
        }
        return {source};
    }
    std::vector<fs::path> found;
    for (fs::directory_iterator it(source, error), end; !error && it != end; it.increment(error)) {
        std::error_code kind;
        if (it->is_regular_file(kind) && is_bsdl_name(it->path())) {
            found.push_back(it->path());
        }
    }
    if (error) {
        throw BadInput(source, 0, 0, {}, "cannot read the directory: " + error.message());
    }
    if (found.empty()) {
        throw BadInput(source, 0, 0, {}, "no BSDL files (*.bsd, *.bsdl) in this directory");
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string entity_of(const BsdlFile& file)
{
    return file.boundary->device().entity;
}

std::string tap_text(std::size_t tap, const BsdlFile& file)
{
    return "TAP " + std::to_string(tap) + " (" + entity_of(file) + ")";
}

bool has_all(const Boundary& b, std::span<const std::string> pins)
{
    return std::all_of(pins.begin(), pins.end(), [&](const std::string& p) { return b.find(p).has_value(); });
}

} // namespace

std::vector<std::string> path_variable_entries()
{
    std::vector<std::string> entries;
    const char* value = std::getenv(BSDL_PATH_VARIABLE);
    std::string_view rest = value != nullptr ? value : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        if (colon != 0) {
            entries.emplace_back(rest.substr(0, colon));
        }
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return entries;
}

std::vector<BsdlFile> read_sources(std::span<const std::string> sources)
{
    std::vector<BsdlFile> files;
    for (const std::string& source : sources) {
        for (const fs::path& path : files_of(source)) {
            files.push_back(read_bsdl(path));
        }
    }
    return files;
}

// ---- the TAP to work on -------------------------------------------------------

std::string unmatched_text(const chain::Device& tap, const Match& match,
                           std::span<const BsdlFile* const> files)
{
    switch (match.status) {
    case MatchStatus::no_idcode:
        return "no IDCODE (BYPASS after reset): nothing to match a file by";
    case MatchStatus::ir_length: {
        const BsdlFile& file = *files[*match.file];
        return file.path + " has its IDCODE but an instruction register of " +
               count_text(file.boundary->device().instruction_length, "bit") + "; the chain's is " +
               (tap.ir_length ? std::to_string(*tap.ir_length) : std::string("not known"));
    }
    case MatchStatus::found:
        return "described by " + files[*match.file]->path;
    case MatchStatus::none:
        break;
    }
    return "no BSDL file has IDCODE " + hex(tap.idcode ? tap.idcode->raw : 0, 8);
}

TapChoice choose_tap(const chain::Chain& chain, std::span<const BsdlFile* const> files,
                     std::optional<std::size_t> tap, std::optional<std::string_view> entity,
                     std::span<const std::string> pins)
{
    std::vector<const bsdl::Device*> devices;
    for (const BsdlFile* f : files) {
        devices.push_back(&f->boundary->device());
    }
    const std::vector<Match> matches = match_files(chain, devices);
    const auto file_of = [&](std::size_t t) -> const BsdlFile* {
        return matches[t].status == MatchStatus::found ? files[*matches[t].file] : nullptr;
    };
    TapChoice c;
    const auto refuse = [&](ChoiceStatus status, std::int32_t code, std::string message, std::string hint) {
        c.status = status;
        c.code = code;
        c.message = std::move(message);
        c.hint = std::move(hint);
        return c;
    };
    const std::size_t count = chain.devices.size();
    if (tap) {
        c.tap = *tap;
        if (*tap >= count) {
            return refuse(ChoiceStatus::no_such, ORVDEV_ERROR_INVALID_ARGUMENT,
                          "no TAP " + std::to_string(*tap) + ": the chain has " + count_text(count, "TAP"),
                          "TAP 0 is nearest TDO");
        }
        c.match = matches[*tap];
        c.why = unmatched_text(chain.devices[*tap], c.match, files);
        const BsdlFile* file = file_of(*tap);
        if (file == nullptr) {
            return refuse(
                ChoiceStatus::no_file, ORVDEV_ERROR_BSDL_MISMATCH,
                "TAP " + std::to_string(*tap) + ": " + c.why,
                "give the device's BSDL file (its IDCODE and instruction length must be the chain's)");
        }
        if (file->boundary->pins().empty()) {
            return refuse(ChoiceStatus::no_pins, ORVDEV_ERROR_INVALID_ARGUMENT,
                          tap_text(*tap, *file) + " has no pins with boundary cells",
                          "choose a TAP whose BSDL file has pins");
        }
        return c;
    }
    std::string listed;
    for (std::size_t t = 0; t < count; ++t) {
        const BsdlFile* f = file_of(t);
        const bool fits =
            f != nullptr && (entity ? bsdl::same_name(entity_of(*f), *entity)
                                    : !f->boundary->pins().empty() && has_all(*f->boundary, pins));
        if (fits) {
            c.candidates.push_back(t);
            listed += (listed.empty() ? "" : ", ") + tap_text(t, *f);
        }
    }
    if (c.candidates.size() == 1) {
        c.tap = c.candidates.front();
        c.match = matches[c.tap];
        c.why = unmatched_text(chain.devices[c.tap], c.match, files);
        return c;
    }
    if (c.candidates.empty()) {
        const std::string wanted = entity         ? "the BSDL file of " + std::string(*entity)
                                   : pins.empty() ? std::string("a BSDL file with pins")
                                                  : std::string("a BSDL file with all of those pins");
        return refuse(
            ChoiceStatus::none_fits, ORVDEV_ERROR_BSDL_MISMATCH, "no TAP of the chain has " + wanted,
            "give the devices' BSDL files (their IDCODE and instruction length must be the chain's)");
    }
    return refuse(ChoiceStatus::several, ORVDEV_ERROR_INVALID_ARGUMENT, "several TAPs fit: " + listed,
                  "choose one by its place in the chain (TAP 0 is nearest TDO)");
}

// ---- pin names ------------------------------------------------------------------

PinCheck check_pins(std::span<const BsdlFile* const> files, std::span<const std::string> pins,
                    std::span<const Wanted> wanted)
{
    PinCheck check;
    for (std::size_t n = 0; n < pins.size(); ++n) {
        const std::string& name = pins[n];
        const Wanted want = n < wanted.size() ? wanted[n] : Wanted::read;
        std::vector<PinCheck::Near> nearest;
        std::string nearest_text;
        PinProblem cannot = PinProblem::fits;
        std::size_t cannot_file = 0;
        bool usable = false;
        for (std::size_t f = 0; f < files.size() && !usable; ++f) {
            const Boundary& b = *files[f]->boundary;
            const bsdl::Device& d = b.device();
            const auto cells = b.find(name);
            if (!cells && d.find_pin(name)) {
                cannot = PinProblem::no_cells;
                cannot_file = f;
                continue;
            }
            if (!cells) {
                if (!b.pins().empty()) {
                    std::string names;
                    for (const std::string& near : d.nearest_pins(name)) {
                        const auto index = d.find_pin(near);
                        nearest.push_back(PinCheck::Near{&d.pins[*index].name, f});
                        names += (names.empty() ? "" : ", ") + near;
                    }
                    nearest_text += (nearest_text.empty() ? "" : "; ") + d.entity + ": " + names;
                }
                continue;
            }
            const PinDirection direction = b.pins()[*cells].direction;
            if (want != Wanted::read && direction == PinDirection::in) {
                cannot = PinProblem::input;
                cannot_file = f;
            } else if (want == Wanted::let_go && direction == PinDirection::out) {
                cannot = PinProblem::two_state;
                cannot_file = f;
            } else {
                usable = true;
            }
        }
        if (usable) {
            continue;
        }
        check.pin = n;
        if (cannot != PinProblem::fits) {
            const std::string& entity = files[cannot_file]->boundary->device().entity;
            check.problem = cannot;
            check.file = cannot_file;
            check.code = ORVDEV_ERROR_INVALID_ARGUMENT;
            check.message =
                cannot == PinProblem::no_cells
                    ? name + " of " + entity + " has no boundary cell: it cannot be sampled or driven"
                : cannot == PinProblem::input
                    ? name + " is an input of " + entity + ": it has no cell to drive it"
                    : name + " is a two-state output of " + entity +
                          ": it drives at all times and cannot be let go";
            return check;
        }
        check.problem = PinProblem::unknown;
        check.code = ORVDEV_ERROR_UNKNOWN_PIN;
        check.nearest = std::move(nearest);
        check.message = "no pin " + name + " in the BSDL files" +
                        (nearest_text.empty() ? "" : "; nearest: " + nearest_text);
        check.hint = "pin names are the files' port names, a vector's element as D(3)";
        return check;
    }
    return check;
}

} // namespace orv::dev::bscan
