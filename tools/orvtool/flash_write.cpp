#include "flash_write.hpp"

#include <algorithm>

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

// Where a failed write stopped, for the hint of its error: the flash holds a
// mix of old and new content until the write is run again.
std::string stopped_text(const WriteReport& report)
{
    return "stopped after erasing " + std::to_string(total_erased(report)) + " of " +
           count_text(report.erases_planned, "block") + " and programming " +
           std::to_string(report.pages_programmed) + " of " + count_text(report.pages_planned, "page") +
           "; run the write again to finish it";
}

// Runs `step`; a ToolError it throws gets where the write stopped in front of
// its hint.
template <typename Step> void reporting(const WriteReport& report, Step step)
{
    try {
        step();
    } catch (const ToolError& e) {
        throw ToolError(e.exit(), e.what(), stopped_text(report) + ". " + e.hint(), e.code());
    }
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
    Range range = erase_aligned(params, addr, image.size());
    Bytes current(range.len);
    flash.read(range.addr, current, begin(stages, "read", range.len, true));
    Bytes wanted = current;
    std::size_t offset = addr - range.addr;
    std::copy(image.begin(), image.end(), wanted.begin() + static_cast<std::ptrdiff_t>(offset));
    for (std::size_t i = 0; i < image.size(); ++i) {
        report.unchanged_bytes += current[offset + i] == image[i] ? 1 : 0;
    }

    WritePlan plan = plan_write(params, range.addr, current, wanted);
    report.erases_planned = plan.erases.size() + (plan.chip_erase ? 1 : 0);
    report.pages_planned = plan.programs.size();

    if (plan.chip_erase) {
        auto progressed = begin(stages, "erase", 1, false);
        reporting(report, [&] { flash.erase_chip(); });
        report.chip_erased = true;
        tell(progressed, 1);
    } else if (!plan.erases.empty()) {
        auto progressed = begin(stages, "erase", plan.erases.size(), false);
        for (const PlannedErase& e : plan.erases) {
            const EraseType& type = params.erase_types[e.type];
            reporting(report, [&] { flash.erase(e.addr, type); });
            count_erase(report.erased, type.size);
            tell(progressed, total_erased(report));
        }
    }
    if (!plan.programs.empty()) {
        std::uint64_t total = 0;
        for (const PlannedProgram& p : plan.programs) {
            total += p.len;
        }
        auto progressed = begin(stages, "write", total, true);
        std::uint64_t done = 0;
        for (const PlannedProgram& p : plan.programs) {
            reporting(report, [&] { flash.program(p.addr, std::span(wanted).subspan(p.offset, p.len)); });
            ++report.pages_programmed;
            done += p.len;
            tell(progressed, done);
        }
    }

    if (verify) {
        std::vector<Range> touched = touched_ranges(params, plan);
        std::uint64_t total = 0;
        for (const Range& r : touched) {
            total += r.len;
        }
        auto progressed = begin(stages, "verify", total, true);
        std::uint64_t done = 0;
        for (const Range& r : touched) {
            Bytes back(r.len);
            flash.read(r.addr, back, [&](std::uint64_t n) { tell(progressed, done + n); });
            auto expected = std::span(wanted).subspan(r.addr - range.addr, r.len);
            if (auto m = compare(r.addr, expected, back)) {
                verify_failed(*m, "verify failed",
                              "the flash did not take the write: check its protection (orvtool spi status), "
                              "its power, and lower --clock");
            }
            done += r.len;
        }
        report.verified_bytes = total;
    }
    return report;
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
    if (chip) {
        auto progressed = begin(stages, "erase", 1, false);
        flash.erase_chip();
        report.chip_erased = true;
        tell(progressed, 1);
    } else {
        if (params.erase_types.empty()) {
            throw ToolError(Exit::failed, "the flash names no erase command that orvtool can use",
                            "check its SFDP table, or erase the whole chip with --chip");
        }
        WritePlan plan = plan_erase(params, addr, len);
        if (plan.chip_erase) {
            flash.erase_chip();
            report.chip_erased = true;
        }
        auto progressed = begin(stages, "erase", plan.erases.size(), false);
        std::uint64_t done = 0;
        for (const PlannedErase& e : plan.erases) {
            const EraseType& type = params.erase_types[e.type];
            flash.erase(e.addr, type);
            count_erase(report.erased, type.size);
            tell(progressed, ++done);
        }
    }

    Bytes back(len);
    flash.read(addr, back, begin(stages, "check", len, true));
    Bytes erased(len, nor::ERASED);
    if (auto m = compare(addr, erased, back)) {
        verify_failed(*m, "the erase did not take", "the flash may be write-protected (orvtool spi status)");
    }
    report.checked_bytes = len;
    return report;
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
