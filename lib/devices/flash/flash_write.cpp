#include "lib/devices/flash/flash_write.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "lib/hostfile/host_file.hpp"
#include "lib/wire/value_text.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev::flash {

namespace {

namespace nor = orv::nor;

void count_erase(std::vector<EraseCount>& erased, std::uint32_t size)
{
    auto it = std::find_if(erased.begin(), erased.end(), [&](const EraseCount& e) { return e.size >= size; });
    if (it == erased.end() || it->size != size) {
        it = erased.insert(it, EraseCount{size, 0});
    }
    ++it->count;
}

std::uint64_t total_erased(const WriteReport& report)
{
    std::uint64_t n = 0;
    for (const auto& e : report.erased) {
        n += e.count;
    }
    return n + (report.chip_erased ? 1 : 0);
}

// How far a write got, for the report of a failure: the stage it was in, its
// counts, and the address of the step that was running.
struct Reached {
    enum class Stage { reading, erasing, programming, verifying } stage = Stage::reading;
    std::uint64_t read = 0;
    std::uint64_t programmed_bytes = 0;
    std::uint64_t program_bytes_planned = 0;
    std::uint64_t program_from = 0; // the first page the plan programs
    std::uint64_t verified = 0;
    std::uint64_t verify_total = 0;
    std::uint64_t at = 0; // where the running step started
};

// What a failed write had done: the blocks read, erased and programmed (the
// flash holds a mix of old and new content until the write is run again).
std::vector<Done> write_done(const Reached& r, const WriteReport& report)
{
    using Stage = Reached::Stage;
    auto stopped = [&](Stage stage) { return r.stage == stage ? std::optional(r.at) : std::nullopt; };
    if (r.stage == Stage::reading) {
        return {Done{
            "read", {{"bytes", r.read, report.range.len}}, report.range.addr, report.range.addr + r.read}};
    }
    std::vector<Done> done{Done{"erased",
                                {{"blocks", total_erased(report), report.erases_planned}},
                                std::nullopt,
                                stopped(Stage::erasing)},
                           Done{"programmed",
                                {{"bytes", r.programmed_bytes, r.program_bytes_planned},
                                 {"pages", report.pages_programmed, report.pages_planned}},
                                r.program_from,
                                stopped(Stage::programming)}};
    if (r.stage == Stage::verifying) {
        done.push_back(Done{"read back", {{"bytes", r.verified, r.verify_total}}, std::nullopt, r.at});
    }
    return done;
}

[[noreturn]] void verify_failed(const Mismatch& m, const std::string& what, const std::string& hint)
{
    throw Failure(ORVDEV_ERROR_MISMATCH,
                  what + ": " + count_text(m.count, "byte") + (m.count == 1 ? " differs" : " differ") +
                      ", the first at " + hex(m.addr, 6) + " (expected " + hex(m.expected, 2) + ", read " +
                      hex(m.found, 2) + ")",
                  hint);
}

// Writes the backup over `path` once it is whole; the reason when it could not.
std::optional<std::string> save_backup(const std::string& path, std::span<const std::uint8_t> bytes)
{
    try {
        hostfile::OutputFile out(path);
        out.write(bytes);
        out.commit();
    } catch (const hostfile::FileError& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// The adapter's serial number as it may stand in a file name: letters,
// digits, '-', '_' and '.', anything else as '_', no leading dot, at most 32.
std::string name_safe(std::string_view serial)
{
    std::string safe;
    for (const char c : serial.substr(0, 32)) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ||
                           (c == '.' && !safe.empty());
        safe += plain ? c : '_';
    }
    return safe;
}

// Where a recovery file may go, in turn: the caller's directory (or the
// working directory), then the home directory, then the temporary
// directory. Old content that could not be put back must land somewhere.
std::vector<std::string> recovery_directories(const std::string& chosen)
{
    std::vector<std::string> dirs{chosen};
    const char* home = std::getenv("HOME");
    const char* temporary = std::getenv("TMPDIR");
    for (const char* d : {home, temporary, "/tmp"}) {
        if (d != nullptr && d[0] == '/' && std::find(dirs.begin(), dirs.end(), d) == dirs.end()) {
            dirs.emplace_back(d);
        }
    }
    return dirs;
}

// A recovery file saved: its path, or why it could not be.
struct Saved {
    std::string path;
    std::string refused; // why the directories before the one that took it refused
};

// Saves `bytes` in a new file named for the adapter, the range, this process
// and a count that makes it unique, created only where no file has that name
// (two adapters failing at once never share a file).
Saved save_recovery(const std::string& dir, std::string_view serial, std::uint64_t addr,
                    std::span<const std::uint8_t> bytes)
{
    constexpr unsigned MAX_TRIES = 1000;
    const std::string safe = name_safe(serial);
    const std::string stem = "flash-recovery-" + (safe.empty() ? "" : safe + "-") + hex(addr, 6) + "-" +
                             std::to_string(::getpid());
    Saved saved;
    for (const std::string& d : recovery_directories(dir)) {
        const std::string prefix = d.empty() ? "" : d + (d.back() == '/' ? "" : "/");
        for (unsigned n = 1; n <= MAX_TRIES; ++n) {
            const std::string path = prefix + stem + "-" + std::to_string(n) + ".bin";
            try {
                hostfile::write_new_file(path, bytes);
                saved.path = path;
                return saved;
            } catch (const hostfile::FileError& e) {
                if (e.kind() == hostfile::FileError::Kind::exists && n < MAX_TRIES) {
                    continue;
                }
                saved.refused += (saved.refused.empty() ? "" : "; ") + std::string(e.what());
                break;
            }
        }
    }
    return saved;
}

// The pages of the erased blocks that held bytes other than 0xFF outside
// the written range: what an erase took that a failed write must put back
// (an erased byte that was 0xFF is as it was).
std::vector<PlannedProgram> pages_with_old_bytes(const FlashParams& params, const WriteReport& report,
                                                 std::span<const std::uint8_t> old,
                                                 const std::vector<Range>& erased)
{
    std::vector<PlannedProgram> pages;
    const std::uint64_t base = report.range.addr;
    const std::uint64_t page = params.page_size;
    for (const Range& block : erased) {
        for (std::uint64_t p = block.addr; p < block.addr + block.len; p += page) {
            bool any = false;
            for (std::uint64_t a = p; a < p + page && !any; ++a) {
                const bool outside = a < report.addr || a >= report.addr + report.len;
                any = outside && old[static_cast<std::size_t>(a - base)] != nor::ERASED;
            }
            if (any) {
                pages.push_back(
                    PlannedProgram{p, static_cast<std::size_t>(p - base), static_cast<std::uint32_t>(page)});
            }
        }
    }
    return pages;
}

// After a step of a write failed with blocks erased (or their erase sent):
// programs their old bytes outside the written range back, once, on pages
// the write had not programmed yet; then reads every such page back. Only
// bytes read back as they were count as restored; when any other is left,
// the blocks' old content goes to a recovery file. Says what happened in
// `failure`.
void restore_after_failure(Flash& flash, const WriteReport& report, std::span<const std::uint8_t> old,
                           const std::vector<Range>& erased, const std::vector<bool>& programmed_page,
                           const std::string& recovery_dir, Failure& failure)
{
    const FlashParams& params = flash.params();
    const std::vector<PlannedProgram> pages = pages_with_old_bytes(params, report, old, erased);
    if (pages.empty()) {
        return;
    }
    const std::uint64_t base = report.range.addr;
    auto outside = [&](std::uint64_t a) { return a < report.addr || a >= report.addr + report.len; };
    // Once, whatever the failure was: an adapter that stopped answering fails
    // here at once. The flash waits for the part to be ready first.
    flash.session().purge_after_failure(failure.bus_code());
    for (const PlannedProgram& p : pages) {
        if (programmed_page[static_cast<std::size_t>((p.addr - base) / params.page_size)]) {
            continue; // programmed by the write, with these bytes as they were
        }
        Bytes page(old.begin() + static_cast<std::ptrdiff_t>(p.offset),
                   old.begin() + static_cast<std::ptrdiff_t>(p.offset + p.len));
        // Inside the written range the page stays erased: the write is to be
        // run again.
        for (std::uint64_t a = p.addr; a < p.addr + p.len; ++a) {
            if (!outside(a)) {
                page[static_cast<std::size_t>(a - p.addr)] = nor::ERASED;
            }
        }
        try {
            flash.program(p.addr, page);
        } catch (const Failure&) {
            break;
        }
    }

    std::uint64_t needed = 0;
    std::uint64_t restored = 0;
    std::uint64_t first_lost = 0;
    std::uint64_t last_lost = 0;
    bool reading = true;
    for (std::size_t i = 0; i < pages.size();) {
        // Adjacent pages are read in one go.
        std::size_t j = i + 1;
        while (j < pages.size() && pages[j].addr == pages[j - 1].addr + pages[j - 1].len) {
            ++j;
        }
        const std::uint64_t from = pages[i].addr;
        Bytes back(static_cast<std::size_t>(pages[j - 1].addr + pages[j - 1].len - from));
        std::uint64_t read = 0;
        if (reading) {
            try {
                flash.read(from, back, [&](std::uint64_t n) { read = n; });
            } catch (const Failure&) {
                reading = false; // what was read before it stands
            }
        }
        for (std::uint64_t k = 0; k < back.size(); ++k) {
            const std::uint64_t a = from + k;
            const std::uint8_t was = old[static_cast<std::size_t>(a - base)];
            if (!outside(a) || was == nor::ERASED) {
                continue;
            }
            ++needed;
            if (k < read && back[static_cast<std::size_t>(k)] == was) {
                ++restored;
            } else {
                first_lost = needed - restored == 1 ? a : first_lost;
                last_lost = a;
            }
        }
        i = j;
    }
    failure.add_done({Done{"restored", {{"bytes", restored, needed}}, std::nullopt, std::nullopt}});
    if (restored == needed) {
        failure.append_to_message(
            "; the erased blocks' " + count_text(needed, "byte") +
            " outside the range written were programmed back and read back as they were");
        return;
    }
    const std::string between = ", between " + hex(first_lost, 6) + " and " + hex(last_lost, 6) + ",";
    std::string text = restored == 0 ? "; the erased blocks' " + count_text(needed, "byte") +
                                           " outside the range written" + between + " could not be put back"
                                     : "; of the erased blocks' " + count_text(needed, "byte") +
                                           " outside the range written " + count_text(restored, "byte") +
                                           " were programmed back and read back as they were, " +
                                           count_text(needed - restored, "byte") + between + " were not";
    const Saved saved = save_recovery(recovery_dir, flash.session().serial(), report.range.addr, old);
    if (saved.path.empty()) {
        failure.append_to_message(text +
                                  ", and the blocks' old content could not be saved: " + saved.refused);
        return;
    }
    failure.set_recovery_file(saved.path);
    failure.append_to_message(text + ": the blocks' old content is saved in " + saved.path + ", " +
                              count_text(old.size(), "byte") + " to be written at " +
                              hex(report.range.addr, 6) +
                              (saved.refused.empty() ? "" : " (" + saved.refused + ")"));
}

} // namespace

std::optional<Mismatch> compare(std::uint64_t addr, std::span<const std::uint8_t> expected,
                                std::span<const std::uint8_t> found)
{
    auto [e, f] = std::mismatch(expected.begin(), expected.end(), found.begin());
    if (e == expected.end()) {
        return std::nullopt;
    }
    Mismatch m;
    std::size_t first = static_cast<std::size_t>(e - expected.begin());
    m.addr = addr + first;
    m.expected = *e;
    m.found = *f;
    for (std::size_t i = first; i < expected.size(); ++i) {
        m.count += expected[i] != found[i] ? 1 : 0;
    }
    return m;
}

void check_not_protected(Flash& flash, std::uint64_t addr, std::uint64_t len)
{
    const std::uint8_t status = flash.read_status();
    // With BP bits set, CMP decides which side they protect. (With none set,
    // a set CMP would protect everything: the part then refuses the erase
    // and the verify says so; reading status register 2 on every write of an
    // unprotected part would cost a transfer each time.)
    bool cmp = false;
    if ((status & nor::STATUS_BP_MASK) != 0) {
        const std::uint8_t s2 = flash.read_status(nor::CMD_READ_STATUS_2);
        cmp = s2 != 0xFF && (s2 & nor::STATUS2_CMP) != 0;
    }
    Protection p = decode_protection(status, flash.params().size, cmp);
    if (p.overlaps(addr, len)) {
        throw Failure(ORVDEV_ERROR_FLASH_PROTECTED,
                      "the range " + hex(addr, 6) + " + " + count_text(len, "byte") +
                          " is write-protected: status register 1 is " + hex(p.status, 2) + " (BP " +
                          std::to_string(p.bp) + (p.tb ? ", TB" : "") + (p.sec ? ", SEC" : "") +
                          (p.cmp ? ", CMP" : "") + ") and protects " + hex(p.from, 6) + ".." +
                          hex(p.to - 1, 6),
                      "clear the block protection first (see the status register)");
    }
}

void read_range(Flash& flash, std::uint64_t addr, std::span<std::uint8_t> out)
{
    std::uint64_t read = 0;
    reporting_done(
        [&] {
            Progress progress(flash.session(), "read", out.size(), ORVDEV_UNIT_BYTES);
            flash.read(addr, out, [&](std::uint64_t done) {
                read = done;
                progress.update(done);
            });
        },
        [&] {
            return std::vector<Done>{Done{"read", {{"bytes", read, out.size()}}, addr, addr + read}};
        });
}

void write_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image,
                 const WriteOptions& options, WriteReport& report)
{
    const FlashParams& params = flash.params();
    report = WriteReport{};
    report.addr = addr;
    report.len = image.size();
    report.verify = options.verify;
    if (params.erase_types.empty()) {
        throw Failure(ORVDEV_ERROR_FLASH_NO_ERASE, "the flash names no erase command that can be used",
                      "check its SFDP table, or name the part");
    }
    check_not_protected(flash, addr, image.size());

    // Read the whole blocks around the image: an erase there takes them along.
    report.range = erase_aligned(params, addr, image.size());
    const Range range = report.range;
    Reached r;
    r.at = range.addr;
    using Stage = Reached::Stage;
    const Session& session = flash.session();
    // Read, erase, write, verify; a stage with nothing to do is dropped.
    const Stages stages(session, options.verify ? 4 : 3);

    Bytes current(range.len);
    // What has been erased, and which pages of the range were programmed
    // since: what a failure must put back.
    std::vector<Range> erased;
    std::vector<bool> programmed_page(range.len / params.page_size, false);
    reporting_done(
        [&] {
            Progress read_progress(session, "read", range.len, ORVDEV_UNIT_BYTES);
            flash.read(range.addr, current, [&](std::uint64_t n) {
                r.read = n;
                read_progress.update(n);
            });
        },
        [&] { return write_done(r, report); });
    if (!options.backup_file.empty()) {
        if (auto error = save_backup(options.backup_file, current)) {
            throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                          "cannot save the backup: " + *error + "; nothing written",
                          "choose a backup file in a writable directory");
        }
    }

    Bytes wanted = current;
    const std::size_t offset = static_cast<std::size_t>(addr - range.addr);
    std::copy(image.begin(), image.end(), wanted.begin() + static_cast<std::ptrdiff_t>(offset));
    for (std::size_t i = 0; i < image.size(); ++i) {
        report.unchanged_bytes += current[offset + i] == image[i] ? 1 : 0;
    }

    const WritePlan plan = plan_write(params, range.addr, current, wanted);
    report.erases_planned = plan.erases.size() + (plan.chip_erase ? 1 : 0);
    report.pages_planned = plan.programs.size();
    for (const PlannedProgram& p : plan.programs) {
        r.program_bytes_planned += p.len;
    }
    r.program_from = plan.programs.empty() ? addr : plan.programs.front().addr;
    if (!plan.chip_erase && plan.erases.empty()) {
        stages.drop();
    }
    if (plan.programs.empty()) {
        stages.drop();
    }

    reporting_done(
        [&] {
            try {
                // A block counts as erased from the moment its erase command
                // goes out: the part may have taken it even when nothing says
                // so (a status poll failed, a transfer reported failed). After
                // each step r.at is where the next one starts, which a stop
                // reports.
                r.stage = Stage::erasing;
                if (plan.chip_erase) {
                    Progress progress(session, "erase", 1, ORVDEV_UNIT_BLOCKS);
                    r.at = 0;
                    flash.erase_chip([&] { erased.push_back(Range{0, params.size}); });
                    report.chip_erased = true;
                    r.at = params.size;
                    progress.update(1);
                } else if (!plan.erases.empty()) {
                    Progress progress(session, "erase", plan.erases.size(), ORVDEV_UNIT_BLOCKS);
                    for (std::size_t i = 0; i < plan.erases.size(); ++i) {
                        const PlannedErase& e = plan.erases[i];
                        const EraseType& type = params.erase_types[e.type];
                        r.at = e.addr;
                        flash.erase(e.addr, type, [&] { erased.push_back(Range{e.addr, type.size}); });
                        count_erase(report.erased, type.size);
                        r.at = i + 1 < plan.erases.size() ? plan.erases[i + 1].addr : e.addr + type.size;
                        progress.update(total_erased(report));
                    }
                }
                r.stage = Stage::programming;
                r.at = r.program_from;
                if (!plan.programs.empty()) {
                    Progress progress(session, "write", r.program_bytes_planned, ORVDEV_UNIT_BYTES);
                    for (std::size_t i = 0; i < plan.programs.size(); ++i) {
                        const PlannedProgram& p = plan.programs[i];
                        r.at = p.addr;
                        flash.program(p.addr, std::span(wanted).subspan(p.offset, p.len));
                        ++report.pages_programmed;
                        programmed_page[(p.addr - range.addr) / params.page_size] = true;
                        r.programmed_bytes += p.len;
                        r.at = i + 1 < plan.programs.size() ? plan.programs[i + 1].addr : p.addr + p.len;
                        progress.update(r.programmed_bytes);
                    }
                }
            } catch (Failure& failure) {
                // Before the report of how far the write got: the restore is
                // listed after it.
                if (!erased.empty()) {
                    restore_after_failure(flash, report, current, erased, programmed_page,
                                          options.recovery_dir, failure);
                }
                throw;
            }
        },
        [&] { return write_done(r, report); });

    if (options.verify) {
        reporting_done(
            [&] {
                r.stage = Stage::verifying;
                const std::vector<Range> touched = touched_ranges(params, plan);
                for (const Range& t : touched) {
                    r.verify_total += t.len;
                }
                Progress progress(session, "verify", r.verify_total, ORVDEV_UNIT_BYTES);
                for (const Range& t : touched) {
                    Bytes back(t.len);
                    r.at = t.addr;
                    const std::uint64_t before = r.verified;
                    flash.read(t.addr, back, [&](std::uint64_t n) {
                        r.verified = before + n;
                        r.at = t.addr + n;
                        progress.update(r.verified);
                    });
                    auto expected = std::span(wanted).subspan(t.addr - range.addr, t.len);
                    if (auto m = compare(t.addr, expected, back)) {
                        verify_failed(*m, "verify failed",
                                      "the flash did not take the write: check its protection (the status "
                                      "register), its power, and lower the SPI clock");
                    }
                }
                report.verified_bytes = r.verify_total;
            },
            [&] { return write_done(r, report); });
    }
}

std::optional<Mismatch> verify_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image)
{
    Bytes back(image.size());
    std::uint64_t read = 0;
    reporting_done(
        [&] {
            Progress progress(flash.session(), "verify", image.size(), ORVDEV_UNIT_BYTES);
            flash.read(addr, back, [&](std::uint64_t n) {
                read = n;
                progress.update(n);
            });
        },
        [&] {
            return std::vector<Done>{Done{"read back", {{"bytes", read, image.size()}}, addr, addr + read}};
        });
    return compare(addr, image, back);
}

EraseReport erase_range(Flash& flash, std::uint64_t addr, std::uint64_t len, bool chip)
{
    const FlashParams& params = flash.params();
    const Session& session = flash.session();
    const Stages stages(session, 2); // erase, then check
    EraseReport report;
    check_not_protected(flash, addr, len);
    if (!chip && params.erase_types.empty()) {
        throw Failure(ORVDEV_ERROR_FLASH_NO_ERASE, "the flash names no erase command that can be used",
                      "check its SFDP table, or erase the whole chip");
    }
    // What a failure reports: the blocks erased of those planned, then the
    // bytes read back.
    std::uint64_t erased = 0;
    std::uint64_t planned = 1;
    std::uint64_t at = addr;
    std::optional<std::uint64_t> checked;
    return reporting_done(
        [&] {
            if (chip) {
                Progress progress(session, "erase", 1, ORVDEV_UNIT_BLOCKS);
                flash.erase_chip();
                report.chip_erased = true;
                erased = 1;
                at = addr + len;
                progress.update(1);
            } else {
                WritePlan plan = plan_erase(params, addr, len);
                planned = plan.erases.size() + (plan.chip_erase ? 1 : 0);
                if (plan.chip_erase) {
                    at = 0;
                    flash.erase_chip();
                    report.chip_erased = true;
                    ++erased;
                    at = params.size;
                }
                Progress progress(session, "erase", plan.erases.size(), ORVDEV_UNIT_BLOCKS);
                for (std::size_t i = 0; i < plan.erases.size(); ++i) {
                    const PlannedErase& e = plan.erases[i];
                    const EraseType& type = params.erase_types[e.type];
                    at = e.addr;
                    flash.erase(e.addr, type);
                    count_erase(report.erased, type.size);
                    // Where the next step starts, which a stop reports.
                    at = i + 1 < plan.erases.size() ? plan.erases[i + 1].addr : e.addr + type.size;
                    progress.update(++erased);
                }
            }

            Bytes back(len);
            checked = 0;
            Progress progress(session, "check", len, ORVDEV_UNIT_BYTES);
            flash.read(addr, back, [&](std::uint64_t n) {
                checked = n;
                progress.update(n);
            });
            Bytes erased_image(len, nor::ERASED);
            if (auto m = compare(addr, erased_image, back)) {
                verify_failed(*m, "the erase did not take",
                              "the flash may be write-protected (see its status register)");
            }
            report.checked_bytes = len;
            return report;
        },
        [&] {
            std::vector<Done> done{Done{
                "erased", {{"blocks", erased, planned}}, addr, checked ? std::nullopt : std::optional(at)}};
            if (checked) {
                done.push_back(Done{"read back", {{"bytes", *checked, len}}, addr, addr + *checked});
            }
            return done;
        });
}

namespace {

// Status register 2, or nothing when the part has none (MISO floats high).
std::optional<std::uint8_t> read_status_2(Flash& flash)
{
    const std::uint8_t s2 = flash.read_status(nor::CMD_READ_STATUS_2);
    return s2 == 0xFF ? std::nullopt : std::optional(s2);
}

// The ranges nearest [addr, addr + len) that the part can protect, at most
// `most`, in address order: the smallest range that covers it (the one to
// take when more may be protected) and those whose ends lie closest to its
// ends. A part with CMP has dozens: the whole list does not fit a message.
std::string nearby_ranges_text(const std::vector<ProtectionSetting>& settings, std::uint64_t addr,
                               std::uint64_t len, std::size_t most)
{
    const std::uint64_t end = addr + len;
    const auto gap = [](std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; };
    std::vector<const ProtectionSetting*> near;
    const ProtectionSetting* cover = nullptr;
    for (const ProtectionSetting& s : settings) {
        if (s.to <= s.from) {
            continue;
        }
        near.push_back(&s);
        if (s.from <= addr && s.to >= end && (cover == nullptr || s.to - s.from < cover->to - cover->from)) {
            cover = &s;
        }
    }
    std::stable_sort(near.begin(), near.end(), [&](const ProtectionSetting* a, const ProtectionSetting* b) {
        return gap(a->from, addr) + gap(a->to, end) < gap(b->from, addr) + gap(b->to, end);
    });
    if (near.size() > most) {
        near.resize(most);
    }
    if (cover != nullptr && std::find(near.begin(), near.end(), cover) == near.end()) {
        if (near.size() == most && !near.empty()) {
            near.back() = cover;
        } else {
            near.push_back(cover);
        }
    }
    std::sort(near.begin(), near.end(), [](const ProtectionSetting* a, const ProtectionSetting* b) {
        return a->from != b->from ? a->from < b->from : a->to < b->to;
    });
    std::string text;
    for (const ProtectionSetting* s : near) {
        text += (text.empty() ? "" : ", ") + hex(s->from, 6) + "+" + size_text(s->to - s->from) +
                (s == cover ? " (the smallest that covers it)" : "");
    }
    return text;
}

} // namespace

std::vector<ProtectionSetting> protectable(Flash& flash)
{
    return protection_settings(flash.params().size, read_status_2(flash).has_value());
}

ProtectReport protect(Flash& flash, std::uint64_t addr, std::uint64_t len)
{
    const std::uint64_t size = flash.params().size;
    const std::optional<std::uint8_t> s2 = read_status_2(flash);
    const std::vector<ProtectionSetting> settings = protection_settings(size, s2.has_value());
    const auto it = std::find_if(settings.begin(), settings.end(), [&](const ProtectionSetting& s) {
        return len == 0 ? s.to == s.from : s.from == addr && s.to == addr + len;
    });
    if (it == settings.end()) {
        const auto count = std::count_if(settings.begin(), settings.end(),
                                         [](const ProtectionSetting& s) { return s.to > s.from; });
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "this part cannot protect " + hex(addr, 6) + "+" + size_text(len) +
                          " alone; the nearest ranges it can protect are " +
                          nearby_ranges_text(settings, addr, len, 4),
                      "choose one of those, or one of the " + std::to_string(count) +
                          " in the part's list of protectable ranges");
    }
    constexpr std::uint8_t PROTECTION_BITS = nor::STATUS_BP_MASK | nor::STATUS_TB | nor::STATUS_SEC;
    ProtectReport report;
    report.status1_before = flash.read_status();
    if ((report.status1_before & nor::STATUS_SRP) != 0) {
        throw Failure(ORVDEV_ERROR_FLASH_LOCKED,
                      "the status register is locked: SRP is set (status " + hex(report.status1_before, 2) +
                          "), so the protection may not change while WP# is low",
                      "clear SRP first (unprotect) with WP# high");
    }
    const auto status1 = static_cast<std::uint8_t>((report.status1_before & ~PROTECTION_BITS) | it->bits);
    const bool cmp_now = s2 && (*s2 & nor::STATUS2_CMP) != 0;
    if (s2 && cmp_now != it->cmp) {
        flash.write_status_pair(
            status1, static_cast<std::uint8_t>((*s2 & ~nor::STATUS2_CMP) | (it->cmp ? nor::STATUS2_CMP : 0)));
    } else {
        flash.write_status(status1);
    }
    report.status1_after = flash.read_status();
    report.cmp = it->cmp;
    const std::optional<std::uint8_t> s2_after = read_status_2(flash);
    const Protection now =
        decode_protection(report.status1_after, size, s2_after && (*s2_after & nor::STATUS2_CMP) != 0);
    if (now.from != it->from || now.to != it->to) {
        throw Failure(
            ORVDEV_ERROR_FLASH_STATUS_REFUSED,
            "the flash refused the status register write: status " + hex(report.status1_before, 2) +
                " before, " + hex(report.status1_after, 2) + " after",
            "the part may keep its protection elsewhere (lock bits), or lay its bits out otherwise");
    }
    return report;
}

UnprotectReport unprotect(Flash& flash)
{
    UnprotectReport report;
    report.before = flash.read_status();
    report.after = report.before;
    // CMP with BP clear protects everything: it goes too.
    const std::optional<std::uint8_t> s2 = read_status_2(flash);
    if (s2 && (*s2 & nor::STATUS2_CMP) != 0 && (report.before & nor::STATUS_SRP) == 0) {
        flash.write_status_pair(unprotected(report.before),
                                static_cast<std::uint8_t>(*s2 & ~nor::STATUS2_CMP));
        report.after = flash.read_status();
        report.changed = true;
        if (report.after == unprotected(report.before)) {
            return report;
        }
    }
    if (report.before == unprotected(report.before)) {
        return report;
    }
    bool locked = (report.before & nor::STATUS_SRP) != 0;
    try {
        flash.write_status(unprotected(report.before));
    } catch (const Failure&) {
        // A locked status register may also refuse to set the latch.
        if (!locked) {
            throw;
        }
    }
    report.after = flash.read_status();
    report.changed = true;
    if (report.after != unprotected(report.before) || (report.after & nor::STATUS_WEL) != 0) {
        flash.write_disable();
        report.after = flash.read_status();
    }
    if ((report.after & (nor::STATUS_BP_MASK | nor::STATUS_TB | nor::STATUS_SEC | nor::STATUS_SRP)) != 0) {
        if (locked) {
            throw Failure(ORVDEV_ERROR_FLASH_LOCKED,
                          "the status register is locked: SRP is set (status " + hex(report.before, 2) +
                              ") and the WP# pin holds it, so the write was refused",
                          "pull WP# high (release the write-protect pin), then clear the protection again");
        }
        throw Failure(ORVDEV_ERROR_FLASH_STATUS_REFUSED,
                      "the flash refused the status register write: status " + hex(report.before, 2) +
                          " before, " + hex(report.after, 2) + " after",
                      "the part may keep its protection elsewhere (a second status register or lock bits)");
    }
    return report;
}

} // namespace orv::dev::flash
