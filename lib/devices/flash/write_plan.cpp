#include "lib/devices/flash/write_plan.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

namespace orv::dev::flash {

namespace {

// What a choice costs: estimated time first, then the bytes it erases.
struct Cost {
    std::uint64_t us = 0;
    std::uint64_t erased = 0;
    friend Cost operator+(Cost a, Cost b) { return {a.us + b.us, a.erased + b.erased}; }
    friend bool operator<(Cost a, Cost b) { return a.us != b.us ? a.us < b.us : a.erased < b.erased; }
};

// One block of the smallest erase size, as the planner sees it.
struct Block {
    bool needs_erase = false;        // some bit goes from 0 to 1
    std::uint32_t changed_pages = 0; // pages to program when the block is left as it is
    std::uint32_t filled_pages = 0;  // pages to program after an erase: not all 0xFF
};

class Planner {
public:
    Planner(const FlashParams& params, std::uint64_t base, std::vector<Block> blocks)
        : params_(params), base_(base), blocks_(std::move(blocks)), erased_(blocks_.size(), false)
    {
        filled_before_.resize(blocks_.size() + 1, 0);
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            filled_before_[i + 1] = filled_before_[i] + blocks_[i].filled_pages;
        }
    }

    WritePlan plan()
    {
        WritePlan plan;
        Cost total;
        std::vector<std::pair<std::size_t, std::uint64_t>> regions = top_regions();
        for (auto [level, addr] : regions) {
            total = total + best(level, addr);
        }
        std::uint64_t len = blocks_.size() * unit();
        if (base_ == 0 && len == params_.size) {
            Cost chip{params_.chip_erase_us + filled(0, blocks_.size()) * params_.page_program_us, len};
            if (chip < total) {
                plan.chip_erase = true;
                std::fill(erased_.begin(), erased_.end(), true);
                total = chip;
            }
        }
        if (!plan.chip_erase) {
            for (auto [level, addr] : regions) {
                commit(level, addr, plan);
            }
        }
        plan.estimated_us = total.us;
        plan.erased_bytes = total.erased;
        return plan;
    }

    bool erased(std::size_t block) const { return erased_[block]; }

private:
    std::uint64_t unit() const { return params_.erase_types.front().size; }
    std::uint64_t size(std::size_t level) const { return params_.erase_types[level].size; }
    std::size_t first_block(std::uint64_t addr) const
    {
        return static_cast<std::size_t>((addr - base_) / unit());
    }
    std::uint64_t filled(std::size_t first, std::size_t end) const
    {
        return filled_before_[end] - filled_before_[first];
    }

    // The range cut into the largest aligned blocks that fit.
    std::vector<std::pair<std::size_t, std::uint64_t>> top_regions() const
    {
        std::vector<std::pair<std::size_t, std::uint64_t>> regions;
        std::uint64_t end = base_ + blocks_.size() * unit();
        for (std::uint64_t addr = base_; addr < end;) {
            std::size_t level = params_.erase_types.size() - 1;
            while (level > 0 && (addr % size(level) != 0 || addr + size(level) > end)) {
                --level;
            }
            regions.emplace_back(level, addr);
            addr += size(level);
        }
        return regions;
    }

    Cost erase_cost(std::size_t level, std::uint64_t addr) const
    {
        std::size_t first = first_block(addr);
        std::size_t end = first + static_cast<std::size_t>(size(level) / unit());
        return {params_.erase_types[level].typical_us + filled(first, end) * params_.page_program_us,
                size(level)};
    }

    // Leaving a smallest block as it is: possible when no bit must rise.
    std::optional<Cost> keep_cost(std::uint64_t addr) const
    {
        const Block& b = blocks_[first_block(addr)];
        if (b.needs_erase) {
            return std::nullopt;
        }
        return Cost{std::uint64_t{b.changed_pages} * params_.page_program_us, 0};
    }

    Cost split_cost(std::size_t level, std::uint64_t addr) const
    {
        Cost sum;
        for (std::uint64_t a = addr; a < addr + size(level); a += size(level - 1)) {
            sum = sum + best(level - 1, a);
        }
        return sum;
    }

    enum class Choice { keep, erase, split };

    std::pair<Choice, Cost> choose(std::size_t level, std::uint64_t addr) const
    {
        std::pair<Choice, Cost> choice{Choice::erase, erase_cost(level, addr)};
        if (level == 0) {
            if (auto keep = keep_cost(addr); keep && !(choice.second < *keep)) {
                choice = {Choice::keep, *keep};
            }
        } else if (Cost split = split_cost(level, addr); !(choice.second < split)) {
            choice = {Choice::split, split};
        }
        return choice;
    }

    Cost best(std::size_t level, std::uint64_t addr) const { return choose(level, addr).second; }

    void commit(std::size_t level, std::uint64_t addr, WritePlan& plan)
    {
        switch (choose(level, addr).first) {
        case Choice::keep:
            return;
        case Choice::erase: {
            plan.erases.push_back({addr, level});
            std::size_t first = first_block(addr);
            std::fill_n(erased_.begin() + static_cast<std::ptrdiff_t>(first), size(level) / unit(), true);
            return;
        }
        case Choice::split:
            for (std::uint64_t a = addr; a < addr + size(level); a += size(level - 1)) {
                commit(level - 1, a, plan);
            }
            return;
        }
    }

    const FlashParams& params_;
    std::uint64_t base_;
    std::vector<Block> blocks_;
    std::vector<std::uint64_t> filled_before_; // filled pages of the blocks before each
    std::vector<bool> erased_;
};

bool all_erased(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == orv::nor::ERASED; });
}

} // namespace

Range erase_aligned(const FlashParams& params, std::uint64_t addr, std::uint64_t len)
{
    std::uint64_t unit = params.erase_types.empty() ? params.page_size : params.erase_types.front().size;
    std::uint64_t first = addr / unit * unit;
    std::uint64_t end = std::min(params.size, (addr + len + unit - 1) / unit * unit);
    return {first, end - first};
}

WritePlan plan_write(const FlashParams& params, std::uint64_t base, std::span<const std::uint8_t> current,
                     std::span<const std::uint8_t> wanted)
{
    const std::size_t unit = params.erase_types.front().size;
    const std::size_t page = params.page_size;
    std::vector<Block> blocks(wanted.size() / unit);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        for (std::size_t p = b * unit; p < (b + 1) * unit; p += page) {
            auto cur = current.subspan(p, page);
            auto want = wanted.subspan(p, page);
            for (std::size_t i = 0; i < page; ++i) {
                blocks[b].needs_erase = blocks[b].needs_erase || (~cur[i] & want[i]) != 0;
            }
            blocks[b].changed_pages += std::equal(cur.begin(), cur.end(), want.begin()) ? 0 : 1;
            blocks[b].filled_pages += all_erased(want) ? 0 : 1;
        }
    }

    Planner planner(params, base, std::move(blocks));
    WritePlan plan = planner.plan();

    // Programs: in an erased block the pages not all 0xFF, elsewhere the pages
    // that change; each from its first to its last byte that matters.
    for (std::size_t p = 0; p < wanted.size(); p += page) {
        bool erased = planner.erased(p / unit);
        std::size_t first = page;
        std::size_t last = 0;
        for (std::size_t i = 0; i < page; ++i) {
            bool matters = erased ? wanted[p + i] != orv::nor::ERASED : wanted[p + i] != current[p + i];
            if (matters) {
                first = std::min(first, i);
                last = i;
            }
        }
        if (first < page) {
            plan.programs.push_back(
                {base + p + first, p + first, static_cast<std::uint32_t>(last - first + 1)});
        }
    }
    return plan;
}

WritePlan plan_erase(const FlashParams& params, std::uint64_t base, std::uint64_t len)
{
    std::vector<Block> blocks(static_cast<std::size_t>(len / params.erase_types.front().size),
                              Block{true, 0, 0});
    return Planner(params, base, std::move(blocks)).plan();
}

std::vector<Range> touched_ranges(const FlashParams& params, const WritePlan& plan)
{
    std::vector<Range> ranges;
    if (plan.chip_erase) {
        return {{0, params.size}};
    }
    for (const PlannedErase& e : plan.erases) {
        ranges.push_back({e.addr, params.erase_types[e.type].size});
    }
    for (const PlannedProgram& p : plan.programs) {
        ranges.push_back({p.addr, p.len});
    }
    return merge_ranges(std::move(ranges));
}

std::vector<Range> merge_ranges(std::vector<Range> ranges)
{
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.addr < b.addr; });
    std::vector<Range> merged;
    for (const Range& r : ranges) {
        if (!merged.empty() && r.addr <= merged.back().addr + merged.back().len) {
            Range& m = merged.back();
            m.len = std::max(m.addr + m.len, r.addr + r.len) - m.addr;
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

} // namespace orv::dev::flash
