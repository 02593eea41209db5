#include "trace/sample_resolver.hpp"

namespace orv::emu {

void SampleResolver::change(std::uint64_t tick, Line line, Level level)
{
    if (queue_.empty()) {
        out_.change(tick, line, level);
        return;
    }
    queue_.push_back({tick, 0, line, level, 0, false});
    if (queue_.size() > MAX_PENDING) {
        release({}, true, MAX_PENDING / 2);
    }
}

void SampleResolver::sampled(std::uint64_t tick, Line line, ReadbackSlot slot)
{
    if (slot.byte < next_byte_) {
        // That byte came back already (or was given up): nothing to wait for.
        change(tick, line, Level::unknown);
        return;
    }
    queue_.push_back({tick, slot.byte, line, Level::unknown, slot.bit, true});
    if (queue_.size() > MAX_PENDING) {
        release({}, true, MAX_PENDING / 2);
    }
}

void SampleResolver::read_back(std::span<const std::uint8_t> bytes)
{
    release(bytes, false, 0);
    next_byte_ += bytes.size();
}

void SampleResolver::finish()
{
    release({}, true, 0);
}

void SampleResolver::release(std::span<const std::uint8_t> bytes, bool give_up, std::size_t keep)
{
    const std::uint64_t end = next_byte_ + bytes.size();
    while (queue_.size() > keep) {
        const Waiting& w = queue_.front();
        Level level = w.level;
        if (w.sampled) {
            if (w.byte >= end && !give_up) {
                break;
            }
            level = w.byte >= next_byte_ && w.byte < end
                        ? level_of(((bytes[static_cast<std::size_t>(w.byte - next_byte_)] >> w.bit) & 1) != 0)
                        : Level::unknown;
        }
        out_.change(w.tick, w.line, level);
        queue_.pop_front();
    }
}

} // namespace orv::emu
