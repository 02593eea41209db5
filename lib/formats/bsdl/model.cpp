// The lookups of a Device: pins and instructions by name, the registers the
// standard gives an instruction, the names nearest to a misspelt pin.
#include <algorithm>
#include <array>
#include <charconv>

#include "lib/formats/bsdl/bsdl.hpp"
#include "lib/formats/bsdl/bsdl_lexer.hpp"

namespace orv::bsdl {

namespace {

constexpr unsigned IDCODE_BITS = 32;

std::string_view trimmed(std::string_view text) noexcept
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

char folded(char c) noexcept
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Edits (insert, delete, replace) from a to b, ignoring letter case.
std::size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min(
                {row[j] + 1, row[j - 1] + 1, diagonal + (folded(a[i - 1]) == folded(b[j - 1]) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Names in the order of their upper-case letters.
bool name_before(std::string_view a, std::string_view b) noexcept
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return folded(x) < folded(y); });
}

bool is_one_of(std::string_view name, std::initializer_list<std::string_view> names) noexcept
{
    return std::any_of(names.begin(), names.end(), [&](std::string_view n) { return same_name(name, n); });
}

} // namespace

std::string_view name_of(Direction direction) noexcept
{
    static constexpr std::array<std::string_view, 5> NAMES{"in", "out", "inout", "buffer", "linkage"};
    return NAMES[static_cast<std::size_t>(direction)];
}

std::string_view name_of(CellFunction function) noexcept
{
    static constexpr std::array<std::string_view, 9> NAMES{
        "input", "clock", "output2", "output3", "bidir", "control", "controlr", "internal", "observe_only"};
    return NAMES[static_cast<std::size_t>(function)];
}

std::string_view name_of(DisabledResult result) noexcept
{
    static constexpr std::array<std::string_view, 6> NAMES{"Z", "WEAK0", "WEAK1", "PULL0", "PULL1", "KEEPER"};
    return NAMES[static_cast<std::size_t>(result)];
}

std::size_t Port::size() const noexcept
{
    return static_cast<std::size_t>((downto ? left - right : right - left) + 1);
}

std::optional<MaskedBits> masked_bits(std::string_view bits) noexcept
{
    if (bits.empty() || bits.size() > 64) {
        return std::nullopt;
    }
    MaskedBits out;
    out.length = static_cast<unsigned>(bits.size());
    for (const char c : bits) {
        out.value <<= 1;
        out.care <<= 1;
        if (c == '0' || c == '1') {
            out.value |= c == '1' ? 1 : 0;
            out.care |= 1;
        } else if (c != 'X' && c != 'x') {
            return std::nullopt;
        }
    }
    return out;
}

std::string pattern_text(const MaskedBits& bits)
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out = "0x";
    for (int shift = static_cast<int>((std::max(bits.length, 1U) + 3) / 4 * 4) - 4; shift >= 0; shift -= 4) {
        const auto care = (bits.care >> shift) & 0xF;
        out += care == 0xF ? HEX[(bits.value >> shift) & 0xF] : '?';
    }
    return out;
}

void Device::index_ports()
{
    port_order.resize(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        port_order[i] = i;
    }
    std::sort(port_order.begin(), port_order.end(),
              [&](std::size_t a, std::size_t b) { return name_before(ports[a].name, ports[b].name); });
}

std::optional<std::size_t> Device::find_port(std::string_view name) const
{
    name = trimmed(name);
    if (port_order.size() == ports.size()) {
        const auto at = std::lower_bound(
            port_order.begin(), port_order.end(), name,
            [&](std::size_t p, std::string_view n) { return name_before(ports[p].name, n); });
        if (at != port_order.end() && same_name(ports[*at].name, name)) {
            return *at;
        }
        return std::nullopt;
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (same_name(ports[i].name, name)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> Device::find_pin(std::string_view name) const
{
    name = trimmed(name);
    const std::size_t open = name.find('(');
    if (open == std::string_view::npos) {
        const auto port = find_port(name);
        if (!port || ports[*port].is_vector) {
            return std::nullopt;
        }
        return ports[*port].first_pin;
    }
    if (name.back() != ')') {
        return std::nullopt;
    }
    const auto port = find_port(name.substr(0, open));
    const std::string_view digits = trimmed(name.substr(open + 1, name.size() - open - 2));
    long index = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (!port || !ports[*port].is_vector || digits.empty() || error != std::errc{} ||
        end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    const Port& p = ports[*port];
    if (index < std::min(p.left, p.right) || index > std::max(p.left, p.right)) {
        return std::nullopt;
    }
    return p.first_pin + static_cast<std::size_t>(p.downto ? p.left - index : index - p.left);
}

std::vector<std::string> Device::nearest_pins(std::string_view name, std::size_t count) const
{
    name = trimmed(name);
    std::vector<std::pair<std::size_t, std::size_t>> ranked; // distance, pin
    ranked.reserve(pins.size());
    for (std::size_t i = 0; i < pins.size(); ++i) {
        ranked.emplace_back(edit_distance(name, pins[i].name), i);
    }
    const std::size_t n = std::min(count, ranked.size());
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(n), ranked.end());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < n; ++i) {
        names.push_back(pins[ranked[i].second].name);
    }
    return names;
}

const Instruction* Device::find_instruction(std::string_view name) const
{
    name = trimmed(name);
    const auto found = std::find_if(instructions.begin(), instructions.end(),
                                    [&](const Instruction& i) { return same_name(i.name, name); });
    return found == instructions.end() ? nullptr : &*found;
}

std::optional<std::string> Device::opcode(std::string_view instruction) const
{
    instruction = trimmed(instruction);
    if (const Instruction* found = find_instruction(instruction)) {
        return found->opcodes.front();
    }
    const bool sample = same_name(instruction, "SAMPLE");
    const bool preload = same_name(instruction, "PRELOAD");
    if (sample || preload || is_one_of(instruction, {"SAMPLE/PRELOAD", "SAMPLE_PRELOAD"})) {
        for (const std::string_view alias : {"SAMPLE/PRELOAD", "SAMPLE_PRELOAD", "SAMPLE"}) {
            if (const Instruction* found = find_instruction(alias)) {
                return found->opcodes.front();
            }
        }
    }
    if (same_name(instruction, "BYPASS")) {
        return std::string(instruction_length, '1');
    }
    return std::nullopt;
}

std::optional<DataRegister> Device::data_register(std::string_view instruction) const
{
    instruction = trimmed(instruction);
    const auto standard_length = [&](std::string_view name) -> std::optional<unsigned> {
        if (same_name(name, "BOUNDARY")) {
            return boundary_length;
        }
        if (same_name(name, "BYPASS")) {
            return 1U;
        }
        if (same_name(name, "DEVICE_ID")) {
            return IDCODE_BITS;
        }
        return std::nullopt;
    };
    for (const RegisterAccess& access : register_access) {
        if (same_name(access.instruction, instruction)) {
            // 1149.1-1990 files name the identification register after its
            // instructions: "IDCODE (IDCODE)", "USERCODE (USERCODE)".
            const std::string name = is_one_of(access.register_name, {"IDCODE", "USERCODE"})
                                         ? std::string("DEVICE_ID")
                                         : access.register_name;
            return DataRegister{name, access.length ? access.length : standard_length(name)};
        }
    }
    if (!opcode(instruction)) {
        return std::nullopt;
    }
    std::string_view name;
    if (is_one_of(instruction,
                  {"SAMPLE", "PRELOAD", "SAMPLE/PRELOAD", "SAMPLE_PRELOAD", "EXTEST", "INTEST"})) {
        name = "BOUNDARY";
    } else if (is_one_of(instruction, {"IDCODE", "USERCODE"})) {
        name = "DEVICE_ID";
    } else if (is_one_of(instruction, {"BYPASS", "CLAMP", "HIGHZ"})) {
        name = "BYPASS";
    } else {
        return std::nullopt;
    }
    return DataRegister{std::string(name), standard_length(name)};
}

std::vector<const Cell*> Device::cells_numbered(unsigned number) const
{
    std::vector<const Cell*> found;
    for (const Cell& cell : cells) {
        if (cell.number == number) {
            found.push_back(&cell);
        }
    }
    return found;
}

} // namespace orv::bsdl
