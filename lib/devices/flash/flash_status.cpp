#include "lib/devices/flash/flash_status.hpp"

#include <algorithm>
#include <bit>
#include <tuple>

#include "lib/wire/spi_nor.hpp"

namespace orv::dev::flash {

namespace nor = orv::nor;

Protection decode_protection(std::uint8_t status, std::uint64_t size, bool cmp)
{
    constexpr unsigned BP_ALL = 7;
    constexpr unsigned SEC_LARGEST_BP = 4;
    constexpr std::uint64_t SEC_LARGEST = 32 * 1024;

    Protection p;
    p.status = status;
    p.bp = (status & nor::STATUS_BP_MASK) >> nor::STATUS_BP_SHIFT;
    p.tb = (status & nor::STATUS_TB) != 0;
    p.sec = (status & nor::STATUS_SEC) != 0;
    p.srp = (status & nor::STATUS_SRP) != 0;
    p.cmp = cmp;

    std::uint64_t len = 0;
    if (p.bp == BP_ALL) {
        len = size;
    } else if (p.bp != 0 && p.sec) {
        len = p.bp <= SEC_LARGEST_BP ? std::uint64_t{nor::SECTOR_SIZE} << (p.bp - 1) : SEC_LARGEST;
    } else if (p.bp != 0) {
        constexpr std::uint64_t SMALLEST = 64 * 1024;
        len = std::max(SMALLEST, size / 64) << (p.bp - 1);
    }
    len = std::min(len, size);
    p.from = p.tb ? 0 : size - len;
    p.to = p.tb ? len : size;
    if (cmp) {
        // The complement of a region at one end is one range at the other.
        if (len == 0) {
            p.from = 0;
            p.to = size;
        } else if (len == size) {
            p.from = p.to = 0;
        } else {
            p.from = p.tb ? len : 0;
            p.to = p.tb ? size : size - len;
        }
    }
    if (p.from == p.to) {
        p.from = p.to = 0;
    }
    return p;
}

std::uint8_t unprotected(std::uint8_t status)
{
    return static_cast<std::uint8_t>(
        status & ~(nor::STATUS_BP_MASK | nor::STATUS_TB | nor::STATUS_SEC | nor::STATUS_SRP));
}

std::vector<ProtectionSetting> protection_settings(std::uint64_t size, bool with_cmp)
{
    std::vector<ProtectionSetting> all;
    for (const bool cmp : {false, true}) {
        if (cmp && !with_cmp) {
            continue;
        }
        for (const std::uint8_t sec : {std::uint8_t{0}, nor::STATUS_SEC}) {
            for (const std::uint8_t tb : {std::uint8_t{0}, nor::STATUS_TB}) {
                for (unsigned bp = 0; bp <= 7; ++bp) {
                    const auto bits = static_cast<std::uint8_t>(sec | tb | bp << nor::STATUS_BP_SHIFT);
                    const Protection p = decode_protection(bits, size, cmp);
                    all.push_back(ProtectionSetting{bits, cmp, p.from, p.to});
                }
            }
        }
    }
    // The simplest setting of each range: the order above puts CMP and SEC
    // last; among the rest the fewest bits set.
    std::stable_sort(all.begin(), all.end(), [](const ProtectionSetting& a, const ProtectionSetting& b) {
        return std::tuple(a.from, a.to, a.cmp, std::popcount(a.bits)) <
               std::tuple(b.from, b.to, b.cmp, std::popcount(b.bits));
    });
    all.erase(std::unique(all.begin(), all.end(),
                          [](const ProtectionSetting& a, const ProtectionSetting& b) {
                              return a.from == b.from && a.to == b.to;
                          }),
              all.end());
    return all;
}

} // namespace orv::dev::flash
