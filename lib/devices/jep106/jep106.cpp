#include "lib/devices/jep106/jep106.hpp"

#include <algorithm>
#include <iterator>

namespace orv::dev::jep106 {

namespace {

struct Entry {
    unsigned bank;
    unsigned id;
    const char* name;
};

constexpr Entry TABLE[] = {
#include "jep106_table.inc"
};

constexpr unsigned key(unsigned bank, unsigned id)
{
    return bank * 128 + id;
}

} // namespace

const char* manufacturer(unsigned bank, unsigned id)
{
    unsigned wanted = key(bank, id);
    const auto* it = std::lower_bound(std::begin(TABLE), std::end(TABLE), wanted,
                                      [](const Entry& e, unsigned k) { return key(e.bank, e.id) < k; });
    if (it == std::end(TABLE) || key(it->bank, it->id) != wanted) {
        return nullptr;
    }
    return it->name;
}

unsigned size()
{
    return static_cast<unsigned>(std::size(TABLE));
}

} // namespace orv::dev::jep106
