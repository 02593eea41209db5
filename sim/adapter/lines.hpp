// The connector lines a trace records, each with its connector and the name
// it carries in a VCD file. The names are what logic-analyser software and
// sigrok's decoders are pointed at (tck, tms, tdi, tdo, trst; sck, mosi,
// miso, cs; scl, sda); the two extra I2C lines show who pulls SDA.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orv::emu {

enum class Line : std::uint8_t {
    tck,
    tms,
    tdi,
    tdo,
    trst,
    sck,
    mosi,
    miso,
    cs,
    scl,
    sda,         // as the bus resolves it: low when anyone pulls it low
    sda_adapter, // high: the adapter releases SDA (or drives it high); low: it pulls
    sda_device,  // high: no device pulls SDA; low: a device does
};

inline constexpr std::size_t LINE_COUNT = 13;

// 0, 1 or x (a level the trace cannot know: an input of a real adapter that
// was not sampled).
enum class Level : std::uint8_t { low, high, unknown };

[[nodiscard]] constexpr Level level_of(bool high) noexcept
{
    return high ? Level::high : Level::low;
}

struct LineInfo {
    Line line;
    const char* connector; // the VCD scope
    const char* name;
};

// In declaration order; the index of each entry is its Line.
inline constexpr std::array<LineInfo, LINE_COUNT> LINES{{
    {Line::tck, "jtag", "tck"},
    {Line::tms, "jtag", "tms"},
    {Line::tdi, "jtag", "tdi"},
    {Line::tdo, "jtag", "tdo"},
    {Line::trst, "jtag", "trst"},
    {Line::sck, "spi", "sck"},
    {Line::mosi, "spi", "mosi"},
    {Line::miso, "spi", "miso"},
    {Line::cs, "spi", "cs"},
    {Line::scl, "i2c", "scl"},
    {Line::sda, "i2c", "sda"},
    {Line::sda_adapter, "i2c", "sda_adapter"},
    {Line::sda_device, "i2c", "sda_device"},
}};

namespace detail {
constexpr bool lines_in_order() noexcept
{
    for (std::size_t i = 0; i < LINES.size(); ++i) {
        if (static_cast<std::size_t>(LINES[i].line) != i) {
            return false;
        }
    }
    return true;
}
} // namespace detail
static_assert(detail::lines_in_order());

[[nodiscard]] constexpr std::size_t index_of(Line line) noexcept
{
    return static_cast<std::size_t>(line);
}

} // namespace orv::emu
