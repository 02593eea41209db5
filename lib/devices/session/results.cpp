// The texts of the result codes, and what a failure on the wire tells the
// user: one table of texts indexed by the code (the bus libraries' own texts
// for theirs), and the one table of what to do about a bus code, which the
// front ends take through orvdev_hint().
#include <array>
#include <cstddef>

#include <orv_tapwire.h>

#include "lib/devices/session/failure.hpp"
#include "orv_devices.h"

namespace orv::dev {

namespace {

constexpr std::int32_t FIRST_CODE = ORVDEV_ERROR_INVALID_ARGUMENT; // -100
constexpr std::int32_t LAST_CODE = ORVDEV_ERROR_NO_ADAPTER;        // the lowest

struct Text {
    std::int32_t code;
    const char* text;
};

// Every code of enum orvdev_result, once.
constexpr Text TEXTS[] = {
    {ORVDEV_ERROR_INVALID_ARGUMENT, "invalid argument"},
    {ORVDEV_ERROR_OUT_OF_RANGE, "range past the end of the part"},
    {ORVDEV_ERROR_STOPPED, "stopped at the caller's request"},
    {ORVDEV_ERROR_READBACK_STUCK, "the adapter's read-back cannot be emptied"},
    {ORVDEV_ERROR_MISMATCH, "read back differs from what was expected"},
    {ORVDEV_ERROR_INTERNAL, "internal fault of the device library"},
    {ORVDEV_ERROR_NO_FLASH, "no flash answers"},
    {ORVDEV_ERROR_FLASH_UNKNOWN, "the flash's size cannot be told"},
    {ORVDEV_ERROR_FLASH_BUSY, "the flash stays busy"},
    {ORVDEV_ERROR_FLASH_WRITE_ENABLE, "the flash did not set its write enable latch"},
    {ORVDEV_ERROR_FLASH_PROTECTED, "the range is write-protected"},
    {ORVDEV_ERROR_FLASH_LOCKED, "the flash's status register is locked"},
    {ORVDEV_ERROR_FLASH_STATUS_REFUSED, "the flash refused the status register write"},
    {ORVDEV_ERROR_FLASH_NO_ERASE, "the flash names no usable erase command"},
    {ORVDEV_ERROR_UNKNOWN_PART, "no such part in the part table"},
    {ORVDEV_ERROR_NO_SFDP, "the flash has no SFDP table"},
    {ORVDEV_ERROR_CHAIN_SILENT, "no JTAG device answers"},
    {ORVDEV_ERROR_CHAIN_NO_TAP, "no TAP in the JTAG chain"},
    {ORVDEV_ERROR_CHAIN_BROKEN, "the JTAG chain does not add up"},
    {ORVDEV_ERROR_I2C_NO_ACK, "no I2C device acknowledged the address"},
    {ORVDEV_ERROR_I2C_DATA_NACK, "the I2C device refused a data byte"},
    {ORVDEV_ERROR_I2C_WRITE_FAILED, "the I2C write failed: a data byte refused or a short read-back"},
    {ORVDEV_ERROR_I2C_BUSY, "the I2C device did not finish its write cycle"},
    {ORVDEV_ERROR_I2C_LINE_HELD, "an I2C line read low while the bus had let it go"},
    {ORVDEV_ERROR_BAD_INPUT, "a BSDL file or netlist was refused"},
    {ORVDEV_ERROR_UNKNOWN_PIN, "no such pin in the BSDL file"},
    {ORVDEV_ERROR_BSDL_MISMATCH, "the BSDL files do not fit the chain"},
    {ORVDEV_ERROR_BSCAN_UNSUPPORTED, "the BSDL file names no instruction for this"},
    {ORVDEV_ERROR_NO_ADAPTER, "no adapter could be opened"},
};

// Indexed by FIRST_CODE - code; null where no code is.
constexpr auto TABLE = [] {
    std::array<const char*, FIRST_CODE - LAST_CODE + 1> table{};
    for (const Text& t : TEXTS) {
        table[static_cast<std::size_t>(FIRST_CODE - t.code)] = t.text;
    }
    return table;
}();

constexpr bool every_code_once()
{
    std::size_t set = 0;
    for (const char* t : TABLE) {
        set += t != nullptr ? 1 : 0;
    }
    return set == std::size(TEXTS);
}
static_assert(every_code_once(), "two codes share a text slot, or a code lies outside the table");

// What to do about a bus code: libusb's -1..-12 and the bus libraries'
// -13..-17, indexed by the negated code; the last entry for the others.
constexpr std::int32_t LAST_BUS_CODE = TPW_ERROR_OTHER; // -17
constexpr const char* RETRY = "try again; if it keeps failing, reconnect the adapter";
constexpr auto BUS_HINTS = [] {
    std::array<const char*, -LAST_BUS_CODE + 1> table{};
    table.fill(RETRY);
    const auto set = [&](std::int32_t code, const char* hint) {
        table[static_cast<std::size_t>(-code)] = hint;
    };
    const char* gone = "the adapter stopped answering or was unplugged: reconnect it and try again";
    const char* late = "the adapter did not deliver its data in time: check that it is powered, or raise the "
                       "timeout";
    const char* count = "a USB transfer moved the wrong number of bytes: check the cable and retry";
    set(LIBUSB_ERROR_IO, gone);
    set(LIBUSB_ERROR_NO_DEVICE, gone);
    set(LIBUSB_ERROR_ACCESS, "no permission for the USB device: install the adapter's udev rule "
                             "(60-orv-adapter.rules) or run as root");
    set(LIBUSB_ERROR_BUSY, "another program holds the adapter: close it and retry");
    set(LIBUSB_ERROR_TIMEOUT, late);
    set(TPW_ERROR_TIMEOUT, late);
    set(LIBUSB_ERROR_PIPE, "the adapter stalled an endpoint: unplug and replug it");
    set(LIBUSB_ERROR_OVERFLOW, count);
    set(TPW_ERROR_USBTRANS_ERR, count);
    set(LIBUSB_ERROR_NO_MEM, "the host ran out of memory: try a shorter transfer");
    set(TPW_ERROR_INVALID_PARAM, "the library refused an argument: check the values given");
    set(TPW_ERROR_OTHER, "the target did not acknowledge: check its address, wiring and pull-ups");
    set(0, "");
    return table;
}();

const char* bus_hint(std::int32_t code) noexcept
{
    if (code == LIBUSB_ERROR_OTHER) {
        return RETRY;
    }
    return code <= 0 && code >= LAST_BUS_CODE ? BUS_HINTS[static_cast<std::size_t>(-code)] : "";
}

} // namespace

std::string hint_for_bus_code(std::int32_t code)
{
    const char* hint = bus_hint(code);
    return *hint != '\0' ? hint : RETRY;
}

std::string bus_text(std::int32_t code, const std::string& doing)
{
    // The bus libraries' own codes in words that fit every bus: their texts
    // name the JTAG library, whichever bus failed.
    const char* text = nullptr;
    switch (code) {
    case TPW_ERROR_USBTRANS_ERR:
        text = "a transfer moved the wrong number of bytes";
        break;
    case TPW_ERROR_INVALID_PARAM:
        text = "an argument was refused";
        break;
    case TPW_ERROR_TIMEOUT:
        text = "the adapter's read-back did not come in time";
        break;
    case TPW_ERROR_CMD_ERR:
        text = "the adapter refused a command";
        break;
    case TPW_ERROR_OTHER:
        text = "not acknowledged";
        break;
    default:
        text = tapwire_get_err_info(code);
    }
    return doing + ": " + text + " (code " + std::to_string(code) + ")";
}

void check_bus(std::int32_t code, const std::string& doing)
{
    if (code != 0) {
        throw Failure(code, bus_text(code, doing), hint_for_bus_code(code), code);
    }
}

} // namespace orv::dev

extern "C" const char* orvdev_hint(int32_t code)
{
    return orv::dev::bus_hint(code);
}

extern "C" const char* orvdev_strerror(int32_t code)
{
    using namespace orv::dev;
    if (code <= FIRST_CODE && code >= LAST_CODE) {
        const char* text = TABLE[static_cast<std::size_t>(FIRST_CODE - code)];
        return text != nullptr ? text : "unknown result code";
    }
    if (code > FIRST_CODE) {
        return tapwire_get_err_info(code);
    }
    return "unknown result code";
}
