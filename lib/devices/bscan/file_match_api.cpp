// The C functions of the BSDL files' choice: files from files, directories
// and ORV_BSDL_PATH, the TAP a command works on, and pin names checked
// against the files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/devices/bscan/bsdl_handle.hpp"
#include "lib/devices/bscan/file_match.hpp"
#include "lib/devices/bscan/input_reading.hpp"

using namespace orv::dev;
using namespace orv::dev::bscan;

struct orvdev_bsdl_files {
    std::vector<std::unique_ptr<orvdev_bsdl>> files;
};

namespace {

bool any_null(const void* const* items, std::uint32_t count)
{
    return items == nullptr ? count != 0
                            : std::any_of(items, items + count, [](const void* p) { return !p; });
}

std::vector<const BsdlFile*> files_of(const orvdev_bsdl* const* files, std::uint32_t count)
{
    std::vector<const BsdlFile*> out;
    for (std::uint32_t i = 0; i < count; ++i) {
        out.push_back(&files[i]->file);
    }
    return out;
}

std::int32_t refused(orvdev_report* report, std::int32_t code, const std::string& message,
                     const std::string& hint)
{
    return guarded(nullptr, report, [&] { throw Failure(code, message, hint); });
}

} // namespace

extern "C" {

int32_t orvdev_bsdl_files_load(const char* const* sources, uint32_t count, int32_t use_path_variable,
                               orvdev_bsdl_files** out, orvdev_input_error* where, orvdev_report* report)
{
    if (out == nullptr || any_null(reinterpret_cast<const void* const*>(sources), count)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "nowhere to put the files, or a source of NULL");
    }
    return reading(where, report, [&] {
        std::vector<std::string> given(sources, sources + count);
        if (use_path_variable != 0) {
            const std::vector<std::string> more = path_variable_entries();
            given.insert(given.end(), more.begin(), more.end());
        }
        auto made = std::make_unique<orvdev_bsdl_files>();
        for (BsdlFile& f : read_sources(given)) {
            made->files.push_back(std::make_unique<orvdev_bsdl>(orvdev_bsdl{std::move(f)}));
        }
        *out = made.release();
    });
}

uint32_t orvdev_bsdl_files_count(const orvdev_bsdl_files* files)
{
    return files == nullptr ? 0 : static_cast<std::uint32_t>(files->files.size());
}

const orvdev_bsdl* orvdev_bsdl_files_get(const orvdev_bsdl_files* files, uint32_t index)
{
    return files == nullptr || index >= files->files.size() ? nullptr : files->files[index].get();
}

void orvdev_bsdl_files_free(orvdev_bsdl_files* files)
{
    delete files;
}

int32_t orvdev_bsdl_choose_tap(const orvdev_chain* chain, const orvdev_bsdl* const* files, uint32_t count,
                               int32_t tap, const char* entity, const char* const* pins, uint32_t pin_count,
                               orvdev_tap_choice* choice, orvdev_report* report)
{
    if (chain == nullptr || choice == nullptr ||
        any_null(reinterpret_cast<const void* const*>(files), count) ||
        any_null(reinterpret_cast<const void* const*>(pins), pin_count)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no chain, choice, file or pin name");
    }
    TapChoice c;
    const std::int32_t rc = guarded(nullptr, report, [&] {
        const std::vector<std::string> names(pins, pins + pin_count);
        c = choose_tap(chain_from_c(*chain), files_of(files, count),
                       tap < 0 ? std::nullopt : std::optional<std::size_t>(static_cast<std::size_t>(tap)),
                       entity != nullptr ? std::optional<std::string_view>(entity) : std::nullopt, names);
    });
    if (rc != 0) {
        return rc;
    }
    *choice = orvdev_tap_choice{};
    choice->status = static_cast<std::int32_t>(c.status);
    choice->tap = static_cast<std::uint32_t>(c.tap);
    choice->match = orvdev_bsdl_match{static_cast<std::int32_t>(c.match.status),
                                      c.match.file ? static_cast<std::int32_t>(*c.match.file) : -1};
    std::snprintf(choice->why, sizeof choice->why, "%s", c.why.c_str());
    for (std::size_t t : c.candidates) {
        if (choice->candidate_count < ORVDEV_JTAG_MAX_DEVICES) {
            choice->candidates[choice->candidate_count++] = static_cast<std::uint32_t>(t);
        }
    }
    return c.status == ChoiceStatus::chosen ? 0 : refused(report, c.code, c.message, c.hint);
}

int32_t orvdev_bsdl_check_pins(const orvdev_bsdl* const* files, uint32_t count, const char* const* pins,
                               const int32_t* levels, uint32_t pin_count, orvdev_pin_check* check,
                               orvdev_report* report)
{
    if (any_null(reinterpret_cast<const void* const*>(files), count) ||
        any_null(reinterpret_cast<const void* const*>(pins), pin_count)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "a file or pin name of NULL");
    }
    std::vector<Wanted> wanted(pin_count, Wanted::read);
    for (std::uint32_t i = 0; levels != nullptr && i < pin_count; ++i) {
        if (levels[i] != ORVDEV_LEVEL_LOW && levels[i] != ORVDEV_LEVEL_HIGH && levels[i] != ORVDEV_LEVEL_Z) {
            return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "a level outside enum orvdev_pin_level");
        }
        wanted[i] = levels[i] == ORVDEV_LEVEL_Z ? Wanted::let_go : Wanted::drive;
    }
    PinCheck c;
    const std::int32_t rc = guarded(nullptr, report, [&] {
        const std::vector<std::string> names(pins, pins + pin_count);
        c = check_pins(files_of(files, count), names, wanted);
    });
    if (rc != 0) {
        return rc;
    }
    if (check != nullptr) {
        *check = orvdev_pin_check{};
        check->problem = static_cast<std::int32_t>(c.problem);
        check->pin = static_cast<std::uint32_t>(c.pin);
        check->file = c.file ? static_cast<std::int32_t>(*c.file) : -1;
        for (const PinCheck::Near& n : c.nearest) {
            if (check->nearest_count < ORVDEV_NEAREST_MAX) {
                check->nearest[check->nearest_count++] =
                    orvdev_nearest_pin{n.name->c_str(), static_cast<std::int32_t>(n.file)};
            }
        }
    }
    return c.problem == PinProblem::fits ? 0 : refused(report, c.code, c.message, c.hint);
}

} // extern "C"
