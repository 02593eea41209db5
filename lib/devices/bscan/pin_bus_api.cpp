// The C functions of the buses made of boundary-scan pins.
#include <bit>
#include <memory>

#include "lib/devices/bscan/bscan_handle.hpp"
#include "lib/devices/bscan/pin_bus.hpp"
#include "lib/devices/flash/flash_handle.hpp"
#include "lib/devices/i2c/i2c_handle.hpp"
#include "lib/devices/session/api_guard.hpp"

using namespace orv::dev;
using namespace orv::dev::bscan;

namespace {

constexpr std::uint64_t MIN_FLASH_SIZE = 256;
constexpr std::uint64_t MAX_FLASH_SIZE = std::uint64_t{1} << 32;

bool named(const char* name)
{
    return name != nullptr && name[0] != '\0';
}

} // namespace

int32_t orvdev_flash_open_bscan(orvdev_bscan* bscan, uint32_t tap, const orvdev_spi_pins* pins,
                                const orvdev_flash_options* options, orvdev_flash** out,
                                orvdev_report* report)
{
    if (bscan == nullptr || pins == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no boundary-scan handle, no pins, or nowhere to put the flash handle");
    }
    if (!named(pins->cs) || !named(pins->sck) || !named(pins->mosi) || !named(pins->miso)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "the pins of CS, SCK, MOSI and MISO, each named");
    }
    if (pins->mode != 0 && pins->mode != 3) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "SPI mode 0 or 3 through boundary-scan pins");
    }
    flash::Overrides overrides;
    if (options != nullptr) {
        if (options->size != 0 && (!std::has_single_bit(options->size) || options->size < MIN_FLASH_SIZE ||
                                   options->size > MAX_FLASH_SIZE)) {
            return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                          "a flash size must be a power of two from 256 bytes to 4 GiB");
        }
        if (named(options->part)) {
            overrides.part = options->part;
            if (!flash::params_by_name(overrides.part)) {
                return refuse(report, ORVDEV_ERROR_UNKNOWN_PART,
                              ("no part called '" + overrides.part + "' in the built-in part table").c_str());
            }
        }
        overrides.size = options->size;
    }
    BoundaryChain& chain = bscan->chain;
    orvdev_flash* flash = nullptr;
    const std::int32_t rc = guarded(&chain.jtag().session(), report, [&] {
        auto bus = std::make_unique<PinSpiBus>(
            chain, tap, SpiPinNames{pins->cs, pins->sck, pins->mosi, pins->miso}, pins->mode);
        const PinSpiBus& on = *bus;
        std::unique_ptr<orvdev_flash> made(new orvdev_flash{flash::Flash(std::move(bus))});
        try {
            made->flash.identify(overrides);
        } catch (const Failure& f) {
            if (f.code() != ORVDEV_ERROR_NO_FLASH) {
                throw;
            }
            // Nothing answers on MISO: a part that is not there, an open or
            // stuck net, or a chip select that never reaches it.
            throw Failure(f.code(),
                          std::string(f.what()) + " on " + on.line("MISO") + " of TAP " + std::to_string(tap),
                          "check the nets of " + on.line("MISO") + " and " + on.line("CS") +
                              " for an open or a stuck level (orvtool jtag connect-test finds them), and the "
                              "flash's power");
        }
        flash = made.release();
    });
    if (rc == 0) {
        *out = flash;
    }
    return rc;
}

int32_t orvdev_i2c_open_bscan(orvdev_bscan* bscan, uint32_t tap, const orvdev_i2c_pins* pins,
                              const orvdev_i2c_options* options, orvdev_i2c** out, orvdev_report* report)
{
    if (bscan == nullptr || pins == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no boundary-scan handle, no pins, or nowhere to put the I2C handle");
    }
    if (!named(pins->scl) || !named(pins->sda)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "the pins of SCL and SDA, each named");
    }
    const bool ten_bit = options != nullptr && options->ten_bit != 0;
    BoundaryChain& chain = bscan->chain;
    orvdev_i2c* i2c = nullptr;
    const std::int32_t rc = guarded(&chain.jtag().session(), report, [&] {
        i2c = new orvdev_i2c{orv::dev::i2c::Bus(std::make_unique<PinI2cLink>(
            chain, tap, I2cPinNames{pins->scl, pins->sda}, ten_bit, pins->stretch != 0))};
    });
    if (rc == 0) {
        *out = i2c;
    }
    return rc;
}
