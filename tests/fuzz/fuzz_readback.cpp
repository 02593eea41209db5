// Fuzz target: the libraries' read-back handling against an adapter whose
// answers (read-back counts, poll and data lengths, data, transfer errors)
// all come from the input. The first input byte picks the operation, the
// next ones its arguments; the rest feeds the adapter's answers.
//
// Every buffer handed to a library is heap-allocated at exactly the size the
// library may write, so the sanitizers catch a write past it. Beyond memory
// errors the target checks what must hold whatever the adapter says:
//   - the result is 0, one of libusb's codes or one of -13..-17;
//   - a failed JTAG scan leaves the caller's TAP state as it was;
//   - a failed I2C read leaves the caller's buffer as it was;
//   - a JTAG read-back that timed out leaves the TDO buffer as it was;
//   - no operation makes more transfers than its poll limit allows.
#include "tests/fuzz/adversarial_usb.hpp"

#include <orv_lumo_iic.h>
#include <orv_lumo_spi.h>
#include <orv_tapwire.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using orv::fuzz::AdversarialAdapter;
using orv::fuzz::InputReader;

constexpr std::uint8_t UNTOUCHED = 0x5A;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool valid_result(std::int32_t rc)
{
    return rc == 0 || (rc >= -17 && rc <= -1) || rc == LIBUSB_ERROR_OTHER;
}

bool untouched(const std::vector<std::uint8_t>& buffer)
{
    return std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == UNTOUCHED; });
}

// Small, never 0: timeout 0 means no poll limit.
std::uint32_t timeout_from(InputReader& in)
{
    return 1 + in.byte() % 3;
}

std::uint32_t bytes_for(std::int64_t bits)
{
    return bits <= 0 ? 0 : static_cast<std::uint32_t>((bits + 7) / 8);
}

std::int32_t fuzz_readback_tdo(InputReader& in, AdversarialAdapter& adapter)
{
    // Mostly scan lengths, sometimes the edges of the signed bit count.
    std::int32_t bit_count = 0;
    switch (in.byte() % 4) {
    case 0:
        bit_count = static_cast<std::int32_t>(in.u32());
        break;
    default:
        bit_count = static_cast<std::int32_t>(in.u16() % 4200) - 8;
        break;
    }
    if (bit_count > (1 << 20)) {
        bit_count = 1 << 20; // keep the caller's buffer sane
    }
    const std::uint32_t timeout = timeout_from(in);
    const std::uint32_t e = bytes_for(bit_count);
    adapter.expect(e);
    std::vector<std::uint8_t> tdo(e, UNTOUCHED);
    const std::int32_t rc = tapwire_readback_tdo(adapter.handle(), bit_count, tdo.data(), timeout);
    if (rc == TPW_ERROR_TIMEOUT) {
        require(untouched(tdo));
    }
    return rc;
}

std::int32_t fuzz_scan(InputReader& in, AdversarialAdapter& adapter, bool dr)
{
    const std::int32_t bit_count = 1 + in.u16() % 4096;
    const std::int32_t start = in.byte() % 16;
    const auto idle = static_cast<std::uint16_t>(in.byte() % 4);
    const std::uint32_t timeout = timeout_from(in);
    std::vector<std::uint8_t> tdi(bytes_for(bit_count));
    for (auto& b : tdi) {
        b = in.byte();
    }
    std::vector<std::uint8_t> tdo(bytes_for(bit_count), UNTOUCHED);
    adapter.expect(bytes_for(bit_count));
    std::int32_t state = start;
    const std::int32_t rc =
        dr ? tapwire_shift_dr(adapter.handle(), &state, bit_count, tdi.data(), tdo.data(), idle, timeout)
           : tapwire_shift_ir(adapter.handle(), &state, bit_count, tdi.data(), tdo.data(), idle, timeout);
    require(rc == 0 ? state == TPW_TAP_RUN_TEST_IDLE : state == start);
    return rc;
}

lumo_spi_config spi_config_from(InputReader& in)
{
    lumo_spi_config config{};
    config.clock_freq = 1 + in.byte();
    config.bit_order = in.byte() % 2;
    config.clock_polarity = in.byte() % 2;
    config.cs_polarity = in.byte() % 2;
    config.addr_bytes = static_cast<std::uint8_t>(in.byte() % 5);
    config.cmd_enable = static_cast<std::uint8_t>(in.byte() % 2);
    return config;
}

std::int32_t fuzz_spi_read_miso(InputReader& in, AdversarialAdapter& adapter)
{
    const std::uint32_t len = in.u16() % 1100;
    const std::uint32_t timeout = timeout_from(in);
    std::vector<std::uint8_t> read(len, UNTOUCHED);
    adapter.expect(len);
    return lumo_spi_read_miso(adapter.handle(), len, read.data(), timeout);
}

std::int32_t fuzz_spi_bytes(InputReader& in, AdversarialAdapter& adapter)
{
    const lumo_spi_config config = spi_config_from(in);
    const std::uint32_t len = in.u16() % (LUMO_SPI_MAX_READ_BYTES + 8);
    const bool duplex = (in.byte() & 1) != 0;
    const std::uint32_t dummy = in.byte() % 16;
    const std::uint32_t addr = in.u32();
    const auto cmd = in.byte();
    const std::uint32_t timeout = timeout_from(in);
    std::vector<std::uint8_t> write(len);
    for (auto& b : write) {
        b = in.byte();
    }
    std::vector<std::uint8_t> read(len, UNTOUCHED);
    adapter.expect(len);
    return lumo_spi_read_write_bytes(adapter.handle(), len, duplex ? write.data() : nullptr, read.data(),
                                     addr, cmd, dummy, &config, timeout);
}

std::int32_t fuzz_spi_bits(InputReader& in, AdversarialAdapter& adapter)
{
    const lumo_spi_config config = spi_config_from(in);
    const std::uint32_t bits = in.u16() % (LUMO_SPI_MAX_BITS + 4);
    const std::uint32_t dummy = in.byte() % 16;
    const std::uint32_t addr = in.u32();
    const auto cmd = in.byte();
    const std::uint32_t timeout = timeout_from(in);
    std::vector<std::uint8_t> write(bytes_for(bits));
    for (auto& b : write) {
        b = in.byte();
    }
    std::vector<std::uint8_t> read(bytes_for(bits), UNTOUCHED);
    adapter.expect(bytes_for(bits));
    return lumo_spi_read_write_bits(adapter.handle(), bits, write.data(), read.data(), addr, cmd, dummy,
                                    &config, timeout);
}

std::int32_t fuzz_iic_read(InputReader& in, AdversarialAdapter& adapter)
{
    const std::uint32_t addr = in.u16() % 0x400;
    const std::int32_t addr_bits = (in.byte() & 1) != 0 ? 10 : 7;
    const std::uint32_t len = 1 + in.u16() % (LUMO_IIC_MAX_READ_BYTES + 4);
    const std::uint32_t timeout = timeout_from(in);
    std::vector<std::uint8_t> read(len, UNTOUCHED);
    adapter.expect(1 + len);
    const std::int32_t rc = lumo_iic_read_bytes(adapter.handle(), addr, addr_bits, read.data(), len, timeout);
    if (rc != 0) {
        require(untouched(read));
    }
    return rc;
}

std::int32_t fuzz_iic_write(InputReader& in, AdversarialAdapter& adapter)
{
    const std::uint32_t addr = in.u16() % 0x400;
    const std::int32_t addr_bits = (in.byte() & 1) != 0 ? 10 : 7;
    const std::uint32_t len = in.u16() % 300;
    const std::uint32_t timeout = timeout_from(in);
    std::vector<std::uint8_t> write(std::max<std::uint32_t>(len, 1));
    for (auto& b : write) {
        b = in.byte();
    }
    adapter.expect(1 + bytes_for(len));
    return lumo_iic_send_bytes(adapter.handle(), addr, addr_bits, write.data(), len, timeout);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The scans print a diagnostic when their command transfer fails.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    InputReader in({data, size});
    AdversarialAdapter adapter(in);
    std::int32_t rc = 0;
    switch (in.byte() % 8) {
    case 0:
        rc = fuzz_readback_tdo(in, adapter);
        break;
    case 1:
        rc = fuzz_scan(in, adapter, true);
        break;
    case 2:
        rc = fuzz_scan(in, adapter, false);
        break;
    case 3:
        rc = fuzz_spi_read_miso(in, adapter);
        break;
    case 4:
        rc = fuzz_spi_bytes(in, adapter);
        break;
    case 5:
        rc = fuzz_spi_bits(in, adapter);
        break;
    case 6:
        rc = fuzz_iic_read(in, adapter);
        break;
    default:
        rc = fuzz_iic_write(in, adapter);
        break;
    }
    require(valid_result(rc));
    return 0;
}
