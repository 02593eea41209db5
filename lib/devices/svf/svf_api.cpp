// The C functions of SVF and XSVF playback.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lib/formats/svf/parser.hpp"
#include "lib/formats/xsvf/reader.hpp"
#include "lib/wire/clock_rule.hpp"
#include "lib/wire/result_codes.hpp"

#include "lib/devices/session/api_guard.hpp"
#include "lib/devices/svf/svf_program.hpp"

using namespace orv::dev;

namespace {

namespace svf = orv::svf;

void copy_text(char* to, std::size_t room, std::string_view text) noexcept
{
    const std::size_t n = std::min(room - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

orvdev_svf_place place_of(const svf::Origin& o, bool xsvf) noexcept
{
    orvdev_svf_place place{};
    place.known = 1;
    place.index = o.index;
    place.offset = o.offset;
    if (!xsvf) {
        place.line = o.where.line;
        place.column = o.where.column;
    }
    copy_text(place.command, sizeof place.command, svf::name_of(o.command));
    return place;
}

orvdev_svf_place place_of(const std::optional<svf::Origin>& o, bool xsvf) noexcept
{
    return o ? place_of(*o, xsvf) : orvdev_svf_place{};
}

bool is_xsvf(const orvdev_svf* program) noexcept
{
    return program->info.format == ORVDEV_SVF_FORMAT_XSVF;
}

// The TCK a play starts with: the one asked for, or the port's.
svf::PlayerOptions player_options(const orvdev_svf_play_options& o, const JtagSetup& port)
{
    svf::PlayerOptions options;
    options.tck_khz = o.tck_khz != 0 ? o.tck_khz : port.tck_khz;
    options.direction = port.direction;
    options.level = port.level;
    options.max_readback = o.max_readback;
    return options;
}

bool play_options_valid(const orvdev_svf_play_options& o) noexcept
{
    return o.tck_khz <= orv::CLOCK_BASE_KHZ && o.max_readback >= 1 &&
           o.max_readback <= ORVDEV_SVF_MAX_READBACK;
}

void fill_summary(orvdev_svf_summary& s, const svf::CompileCounts& compiled, const svf::WireCounts& wire,
                  std::uint32_t tck_khz, bool xsvf)
{
    s = orvdev_svf_summary{};
    s.statements = compiled.statements;
    s.scan_bits = compiled.scan_bits;
    s.checks = compiled.checks;
    s.clocks = wire.clocks;
    s.out_transfers = wire.out_transfers;
    s.stream_bytes = wire.stream_bytes;
    s.exchanges = wire.exchanges;
    s.readback_bytes = wire.readback_bytes;
    s.host_waits = wire.host_waits;
    s.wait_seconds = wire.wait_seconds;
    const orv::ClockChoice start = svf::tck_for_khz(tck_khz);
    s.tck_khz_asked = tck_khz;
    s.tck_hz = start.actual_hz;
    s.tck_raised = start.raised ? 1 : 0;
    s.frequencies_raised = compiled.frequencies_raised;
    if (compiled.first_raised) {
        s.first_raised = place_of(compiled.first_raised->statement, xsvf);
        s.first_raised_hz = compiled.first_raised->hz;
    }
    s.slowest_hz = orv::clock_of_divisor(orv::CLOCK_DIVISOR_MAX).actual_hz;
}

// The bits of a part as bytes, bit 0 in bit 0 of the first.
void append_bytes(std::vector<std::uint8_t>& to, const svf::Bits& bits)
{
    for (std::uint64_t i = 0; i < bits.size(); i += 8) {
        to.push_back(static_cast<std::uint8_t>(bits.word(i, 8)));
    }
}

KeptMismatch keep(const svf::PlayResult& p)
{
    KeptMismatch kept{*p.mismatch, p.mismatch->statement.index, p.checks_passed, {}};
    for (const svf::Mismatch::Part* part :
         {&kept.mismatch.header, &kept.mismatch.body, &kept.mismatch.trailer}) {
        append_bytes(kept.bytes, part->expected);
        append_bytes(kept.bytes, part->actual);
        append_bytes(kept.bytes, part->mask);
    }
    return kept;
}

// A failure the C function reports without having thrown it.
std::int32_t report_failure(orvdev_report* report, const Failure& failure) noexcept
{
    clear_report(report);
    fill_report(report, failure);
    return failure.code();
}

std::string place_text(const svf::Origin& o, bool xsvf)
{
    if (xsvf) {
        return "command " + std::to_string(o.index + 1) + " (offset " + std::to_string(o.offset) + ")";
    }
    return "line " + std::to_string(o.where.line);
}

} // namespace

extern "C" {

void orvdev_svf_load_options_init(orvdev_svf_load_options* options)
{
    if (options != nullptr) {
        *options = orvdev_svf_load_options{ORVDEV_SVF_FORMAT_SVF,
                                           ORVDEV_SVF_DEFAULT_MAX_SIZE,
                                           ORVDEV_SVF_DEFAULT_MAX_SECONDS,
                                           1000,
                                           nullptr,
                                           nullptr};
    }
}

int32_t orvdev_svf_load(const void* data, size_t size, const orvdev_svf_load_options* options,
                        orvdev_svf** out, orvdev_svf_info* info, orvdev_svf_input_error* where,
                        orvdev_report* report)
{
    const orvdev_svf_load_options o = given_or_default(options, orvdev_svf_load_options_init);
    if (out == nullptr || (data == nullptr && size != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "nowhere to put the program, or no file");
    }
    if ((o.format != ORVDEV_SVF_FORMAT_SVF && o.format != ORVDEV_SVF_FORMAT_XSVF) || o.max_size == 0 ||
        !(o.max_seconds >= 0) || o.tck_khz > orv::CLOCK_BASE_KHZ) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "a format that is neither SVF nor XSVF, a size limit of 0, a negative time limit or a "
                      "TCK above 60000 kHz");
    }
    const bool xsvf = o.format == ORVDEV_SVF_FORMAT_XSVF;
    if (size > o.max_size) {
        return refuse(report, ORVDEV_ERROR_OUT_OF_RANGE, "the file is larger than the size limit");
    }
    orvdev_svf* program = nullptr;
    const std::int32_t rc = guarded(nullptr, report, [&] {
        auto kept = std::make_unique<orvdev_svf>();
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        std::vector<std::uint8_t> text(bytes, bytes + size);
        svf::TimeTally tally(svf::tck_for_khz(o.tck_khz == 0 ? 1000 : o.tck_khz));
        const auto add = [&](const svf::Statement& s) {
            tally.add(s);
            return true;
        };
        const svf::StopCheck stop =
            o.stop == nullptr ? svf::StopCheck{} : svf::StopCheck{[&o] { return o.stop(o.stop_user) != 0; }};
        try {
            kept->program =
                xsvf ? orv::xsvf::load(std::move(text), stop, add) : svf::load(std::move(text), stop, add);
        } catch (const svf::ParseError& e) {
            if (where != nullptr) {
                *where = orvdev_svf_input_error{};
                where->line = e.where().line;
                where->column = e.where().column;
                copy_text(where->reason, sizeof where->reason, e.message());
            }
            throw Failure(ORVDEV_ERROR_BAD_INPUT, e.what(),
                          "the whole file is checked before anything is sent");
        } catch (const orv::xsvf::FormatError& e) {
            if (where != nullptr) {
                *where = orvdev_svf_input_error{};
                where->offset = e.offset();
                where->command = e.command() > 0 ? e.command() - 1 : 0; // the reader counts from 1
                copy_text(where->reason, sizeof where->reason, e.expected());
            }
            throw Failure(ORVDEV_ERROR_BAD_INPUT, e.what(),
                          "the whole file is checked before anything is sent");
        } catch (const svf::Stopped&) {
            throw Failure(ORVDEV_ERROR_STOPPED, "stopped while checking the file");
        }
        const svf::TimeEstimate& estimate = tally.estimate();
        kept->info = orvdev_svf_info{o.format,        kept->program->statements(), kept->program->bytes(),
                                     estimate.clocks, estimate.wait_seconds,       estimate.seconds()};
        if (info != nullptr) {
            *info = kept->info;
        }
        if (o.max_seconds > 0 && estimate.seconds() > o.max_seconds) {
            throw Failure(ORVDEV_ERROR_OUT_OF_RANGE, "playing the file takes longer than the time limit");
        }
        program = kept.release();
    });
    if (rc == 0) {
        *out = program;
    }
    return rc;
}

void orvdev_svf_free(orvdev_svf* program)
{
    delete program;
}

void orvdev_svf_get_info(const orvdev_svf* program, orvdev_svf_info* info)
{
    if (program != nullptr && info != nullptr) {
        *info = program->info;
    }
}

void orvdev_svf_play_options_init(orvdev_svf_play_options* options)
{
    if (options != nullptr) {
        *options = orvdev_svf_play_options{
            0,      static_cast<std::uint32_t>(orv::engine::DEFAULT_MAX_READBACK), nullptr, nullptr, nullptr,
            nullptr};
    }
}

int32_t orvdev_svf_dry_run(const orvdev_svf* program, const orvdev_svf_play_options* options,
                           orvdev_svf_summary* summary, orvdev_report* report)
{
    const orvdev_svf_play_options o = given_or_default(options, orvdev_svf_play_options_init);
    if (program == nullptr || summary == nullptr || !play_options_valid(o)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no program or summary, a TCK above 60000 kHz, or a read-back bound of 0 or above 4096 "
                      "bytes");
    }
    return guarded(nullptr, report, [&] {
        const svf::PlayerOptions player =
            player_options(o, JtagSetup{1000, orv::JTAG_DEFAULT_DIRECTION, orv::JTAG_DEFAULT_LEVEL});
        const svf::StopCheck stop =
            o.stop == nullptr ? svf::StopCheck{} : svf::StopCheck{[&o] { return o.stop(o.stop_user) != 0; }};
        const svf::DryRunResult d = svf::dry_run(*program->program, player, stop);
        fill_summary(*summary, d.compiled, d.wire, player.tck_khz, is_xsvf(program));
        if (d.stopped) {
            throw Failure(ORVDEV_ERROR_STOPPED, "stopped during the dry run");
        }
    });
}

int32_t orvdev_svf_play(orvdev_jtag_port* port, orvdev_svf* program, const orvdev_svf_play_options* options,
                        orvdev_svf_summary* summary, orvdev_report* report)
{
    const orvdev_svf_play_options o = given_or_default(options, orvdev_svf_play_options_init);
    if (port == nullptr || program == nullptr || !play_options_valid(o)) {
        return refuse(
            report, ORVDEV_ERROR_INVALID_ARGUMENT,
            "no JTAG port or program, a TCK above 60000 kHz, or a read-back bound of 0 or above 4096 "
            "bytes");
    }
    program->mismatch.reset();
    const bool xsvf = is_xsvf(program);
    svf::PlayResult p;
    const svf::PlayerOptions player = player_options(o, port->setup());
    const std::int32_t rc = guarded(&port->session(), report, [&] {
        bool stop_asked = false;
        const svf::PlayProgress progress =
            o.progress == nullptr ? svf::PlayProgress{}
                                  : svf::PlayProgress{[&](std::uint64_t statements, std::uint64_t bytes) {
                                        if (o.progress(o.progress_user, statements, bytes) == ORVDEV_STOP) {
                                            stop_asked = true;
                                        }
                                    }};
        const svf::StopCheck stop = [&] {
            return stop_asked || (o.stop != nullptr && o.stop(o.stop_user) != 0);
        };
        p = play_on_port(*program->program, *port, player, progress,
                         o.progress == nullptr && o.stop == nullptr ? svf::StopCheck{} : stop);
    });
    if (rc != 0) {
        return rc;
    }
    if (summary != nullptr) {
        fill_summary(*summary, p.compiled, p.wire, player.tck_khz, xsvf);
        // A failed check ends playing at its statement: those before it played.
        summary->statements_played = p.mismatch ? p.mismatch->statement.index : p.statements_played;
        summary->checks_passed = p.checks_passed;
        summary->repeats = p.repeats;
        summary->seconds = p.seconds;
        summary->first_unknown = place_of(p.first_unknown, xsvf);
        summary->last_checked = place_of(p.last_checked, xsvf);
    }
    if (p.rc != 0) {
        // The player has emptied the read-back already.
        const bool bus = p.rc < 0 && p.rc >= TPW_ERROR_OTHER;
        return report_failure(report, Failure(p.rc, p.failed_doing, {}, bus ? p.rc : 0));
    }
    if (p.mismatch) {
        const std::string where = place_text(p.mismatch->statement, xsvf);
        program->mismatch = keep(p);
        return report_failure(report, Failure(ORVDEV_ERROR_MISMATCH, "TDO mismatch at " + where));
    }
    if (p.stopped) {
        return report_failure(report, Failure(ORVDEV_ERROR_STOPPED, "stopped at the caller's request"));
    }
    clear_report(report);
    return 0;
}

int32_t orvdev_svf_get_mismatch(const orvdev_svf* program, orvdev_svf_mismatch* mismatch)
{
    if (program == nullptr || mismatch == nullptr || !program->mismatch) {
        return ORVDEV_ERROR_INVALID_ARGUMENT;
    }
    const KeptMismatch& kept = *program->mismatch;
    const bool xsvf = is_xsvf(program);
    orvdev_svf_mismatch m{};
    m.statement = place_of(kept.mismatch.statement, xsvf);
    m.statements_played = kept.statements_played;
    m.checks_passed = kept.checks_passed;
    const std::uint8_t* at = kept.bytes.data();
    const auto fill = [&](orvdev_svf_scan_part& to, const svf::Mismatch::Part& part) {
        copy_text(to.command, sizeof to.command, svf::name_of(part.command));
        to.bits = part.expected.size();
        const std::size_t n = (std::size_t{to.bits} + 7) / 8;
        to.expected = at;
        to.actual = at + n;
        to.mask = at + 2 * n;
        at += 3 * n;
        to.differing = part.differing();
    };
    fill(m.header, kept.mismatch.header);
    fill(m.body, kept.mismatch.body);
    fill(m.trailer, kept.mismatch.trailer);
    *mismatch = m;
    return 0;
}

} // extern "C"
