#include "flash_write.hpp"

#include <algorithm>
#include <optional>

#include "errors.hpp"
#include "format.hpp"

namespace orvtool::spi {

namespace {

namespace nor = orv::nor;

Progressed begin(const Stages& stages, const std::string& stage, std::uint64_t total, bool bytes)
{
    return stages ? stages(stage, total, bytes) : Progressed{};
}

void tell(const Progressed& progressed, std::uint64_t done)
{
    if (progressed) {
        progressed(done);
    }
}

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

// How far a write or an erase got, for the report of a failure: the stage it
// was in, its counts, and the address of the step that was running.
struct Reached {
    enum class Stage { reading, erasing, programming, verifying } stage = Stage::reading;
    std::uint64_t range_addr = 0; // the whole blocks read first
    std::uint64_t range_len = 0;
    std::uint64_t read = 0;
    std::uint64_t erased = 0;
    std::uint64_t erases_planned = 0;
    std::uint64_t programmed_bytes = 0;
    std::uint64_t program_bytes_planned = 0;
    std::uint64_t pages = 0;
    std::uint64_t pages_planned = 0;
    std::uint64_t verified = 0;
    std::uint64_t verify_total = 0;
    std::uint64_t at = 0; // where the running step started
};

// What a failed write had done: the blocks read, erased and programmed (the
// flash holds a mix of old and new content until the write is run again).
std::vector<Done> write_done(const Reached& r, std::uint64_t image_addr)
{
    using Stage = Reached::Stage;
    auto stopped = [&](Stage stage) { return r.stage == stage ? std::optional(r.at) : std::nullopt; };
    if (r.stage == Stage::reading) {
        return {Done{"read", {{"bytes", r.read, r.range_len}}, r.range_addr, r.range_addr + r.read}};
    }
    std::vector<Done> done{
        Done{"erased", {{"blocks", r.erased, r.erases_planned}}, std::nullopt, stopped(Stage::erasing)},
        Done{"programmed",
             {{"bytes", r.programmed_bytes, r.program_bytes_planned}, {"pages", r.pages, r.pages_planned}},
             image_addr,
             stopped(Stage::programming)}};
    if (r.stage == Stage::verifying) {
        done.push_back(Done{"read back", {{"bytes", r.verified, r.verify_total}}, std::nullopt, r.at});
    }
    return done;
}

[[noreturn]] void verify_failed(const Mismatch& m, const std::string& what, const std::string& hint)
{
    throw ToolError(Exit::failed,
                    what + ": " + count_text(m.count, "byte") + (m.count == 1 ? " differs" : " differ") +
                        ", the first at " + hex(m.addr, 6) + " (expected " + hex(m.expected, 2) + ", read " +
                        hex(m.found, 2) + ")",
                    hint);
}

} // namespace

std::string erased_text(const std::vector<EraseCount>& erased)
{
    if (erased.empty()) {
        return "no block";
    }
    std::string text;
    for (std::size_t i = 0; i < erased.size(); ++i) {
        text += i == 0 ? count_text(erased[i].count, "block") : ", " + std::to_string(erased[i].count);
        text += " of " + size_text(erased[i].size);
    }
    return text;
}

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
    Protection p = decode_protection(flash.read_status(), flash.params().size);
    if (p.overlaps(addr, len)) {
        throw ToolError(Exit::failed,
                        "the range " + hex(addr, 6) + " + " + count_text(len, "byte") +
                            " is write-protected: status register 1 is " + hex(p.status, 2) + " (BP " +
                            std::to_string(p.bp) + (p.tb ? ", TB" : "") + (p.sec ? ", SEC" : "") +
                            ") and protects " + hex(p.from, 6) + ".." + hex(p.to - 1, 6),
                        "clear the protection with orvtool spi unprotect (see orvtool spi status)");
    }
}

WriteReport write_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image, bool verify,
                        const Stages& stages)
{
    const FlashParams& params = flash.params();
    if (params.erase_types.empty()) {
        throw ToolError(Exit::failed, "the flash names no erase command that orvtool can use",
                        "check its SFDP table or add the part to the built-in table");
    }
    WriteReport report;
    report.addr = addr;
    report.len = image.size();
    report.verify = verify;
    check_not_protected(flash, addr, image.size());

    // Read the whole blocks around the image: an erase there takes them along.
    const Range range = erase_aligned(params, addr, image.size());
    Reached r;
    r.range_addr = range.addr;
    r.range_len = range.len;
    r.at = range.addr;
    using Stage = Reached::Stage;
    return reporting_done(
        [&] {
            Bytes current(range.len);
            auto read_progress = begin(stages, "read", range.len, true);
            flash.read(range.addr, current, [&](std::uint64_t n) {
                r.read = n;
                tell(read_progress, n);
            });
            Bytes wanted = current;
            std::size_t offset = addr - range.addr;
            std::copy(image.begin(), image.end(), wanted.begin() + static_cast<std::ptrdiff_t>(offset));
            for (std::size_t i = 0; i < image.size(); ++i) {
                report.unchanged_bytes += current[offset + i] == image[i] ? 1 : 0;
            }

            WritePlan plan = plan_write(params, range.addr, current, wanted);
            report.erases_planned = plan.erases.size() + (plan.chip_erase ? 1 : 0);
            report.pages_planned = plan.programs.size();
            r.erases_planned = report.erases_planned;
            r.pages_planned = report.pages_planned;
            for (const PlannedProgram& p : plan.programs) {
                r.program_bytes_planned += p.len;
            }

            r.stage = Stage::erasing;
            if (plan.chip_erase) {
                auto progressed = begin(stages, "erase", 1, false);
                r.at = 0;
                flash.erase_chip();
                report.chip_erased = true;
                r.erased = 1;
                tell(progressed, 1);
            } else if (!plan.erases.empty()) {
                auto progressed = begin(stages, "erase", plan.erases.size(), false);
                for (const PlannedErase& e : plan.erases) {
                    const EraseType& type = params.erase_types[e.type];
                    r.at = e.addr;
                    flash.erase(e.addr, type);
                    count_erase(report.erased, type.size);
                    r.erased = total_erased(report);
                    tell(progressed, r.erased);
                }
            }
            r.stage = Stage::programming;
            if (!plan.programs.empty()) {
                auto progressed = begin(stages, "write", r.program_bytes_planned, true);
                for (const PlannedProgram& p : plan.programs) {
                    r.at = p.addr;
                    flash.program(p.addr, std::span(wanted).subspan(p.offset, p.len));
                    ++report.pages_programmed;
                    r.pages = report.pages_programmed;
                    r.programmed_bytes += p.len;
                    tell(progressed, r.programmed_bytes);
                }
            }

            if (verify) {
                r.stage = Stage::verifying;
                std::vector<Range> touched = touched_ranges(params, plan);
                for (const Range& t : touched) {
                    r.verify_total += t.len;
                }
                auto progressed = begin(stages, "verify", r.verify_total, true);
                for (const Range& t : touched) {
                    Bytes back(t.len);
                    r.at = t.addr;
                    const std::uint64_t before = r.verified;
                    flash.read(t.addr, back, [&](std::uint64_t n) {
                        r.verified = before + n;
                        tell(progressed, r.verified);
                    });
                    auto expected = std::span(wanted).subspan(t.addr - range.addr, t.len);
                    if (auto m = compare(t.addr, expected, back)) {
                        verify_failed(*m, "verify failed",
                                      "the flash did not take the write: check its protection (orvtool spi "
                                      "status), its power, and lower --clock");
                    }
                }
                report.verified_bytes = r.verify_total;
            }
            return report;
        },
        [&] { return write_done(r, addr); });
}

std::optional<Mismatch> verify_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image,
                                     const Stages& stages)
{
    Bytes back(image.size());
    flash.read(addr, back, begin(stages, "verify", image.size(), true));
    return compare(addr, image, back);
}

EraseReport erase_range(Flash& flash, std::uint64_t addr, std::uint64_t len, bool chip, const Stages& stages)
{
    const FlashParams& params = flash.params();
    EraseReport report;
    check_not_protected(flash, addr, len);
    if (!chip && params.erase_types.empty()) {
        throw ToolError(Exit::failed, "the flash names no erase command that orvtool can use",
                        "check its SFDP table, or erase the whole chip with --chip");
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
                auto progressed = begin(stages, "erase", 1, false);
                flash.erase_chip();
                report.chip_erased = true;
                erased = 1;
                tell(progressed, 1);
            } else {
                WritePlan plan = plan_erase(params, addr, len);
                planned = plan.erases.size() + (plan.chip_erase ? 1 : 0);
                if (plan.chip_erase) {
                    at = 0;
                    flash.erase_chip();
                    report.chip_erased = true;
                    ++erased;
                }
                auto progressed = begin(stages, "erase", plan.erases.size(), false);
                for (const PlannedErase& e : plan.erases) {
                    const EraseType& type = params.erase_types[e.type];
                    at = e.addr;
                    flash.erase(e.addr, type);
                    count_erase(report.erased, type.size);
                    tell(progressed, ++erased);
                }
            }

            Bytes back(len);
            checked = 0;
            auto progressed = begin(stages, "check", len, true);
            flash.read(addr, back, [&](std::uint64_t n) {
                checked = n;
                tell(progressed, n);
            });
            Bytes erased_image(len, nor::ERASED);
            if (auto m = compare(addr, erased_image, back)) {
                verify_failed(*m, "the erase did not take",
                              "the flash may be write-protected (orvtool spi status)");
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

UnprotectReport unprotect(Flash& flash)
{
    UnprotectReport report;
    report.before = flash.read_status();
    report.after = report.before;
    if (report.before == unprotected(report.before)) {
        return report;
    }
    bool locked = (report.before & nor::STATUS_SRP) != 0;
    try {
        flash.write_status(unprotected(report.before));
    } catch (const ToolError& e) {
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
            throw ToolError(
                Exit::failed,
                "the status register is locked: SRP is set (status " + hex(report.before, 2) +
                    ") and the WP# pin holds it, so the write was refused",
                "pull WP# high (release the write-protect pin), then run orvtool spi unprotect again");
        }
        throw ToolError(Exit::failed,
                        "the flash refused the status register write: status " + hex(report.before, 2) +
                            " before, " + hex(report.after, 2) + " after",
                        "the part may keep its protection elsewhere (a second status register or lock bits)");
    }
    return report;
}

} // namespace orvtool::spi
