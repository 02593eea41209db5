#include "flash_status.hpp"

#include <algorithm>

#include <spi_nor.hpp>

namespace orv::dev::flash {

namespace nor = orv::nor;

Protection decode_protection(std::uint8_t status, std::uint64_t size)
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
    return p;
}

std::uint8_t unprotected(std::uint8_t status)
{
    return static_cast<std::uint8_t>(
        status & ~(nor::STATUS_BP_MASK | nor::STATUS_TB | nor::STATUS_SEC | nor::STATUS_SRP));
}

} // namespace orv::dev::flash
