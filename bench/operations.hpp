// The operations every benchmark program measures, defined once so that the
// host-cost, transfer-count and end-to-end runs time exactly the same calls
// with the same sizes and the same data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <libusb.h>

#include "lib/wire/spi_nor.hpp"
#include "orv_lumo_iic.h"
#include "orv_lumo_spi.h"
#include "orv_tapwire.h"

namespace orv::bench {

// Generous: the stand-ins answer at once, the emulator within a few polls.
inline constexpr std::uint32_t TIMEOUT_MS = 1000;
inline constexpr std::uint32_t I2C_ADDRESS = 0x50; // the board's EEPROM
inline constexpr std::uint8_t FLASH_PAGE_PROGRAM = nor::CMD_PAGE_PROGRAM;
inline constexpr std::uint8_t FLASH_READ = nor::CMD_READ;

// How the read-back of an operation is waited for.
enum class Wait { none, at_least, exactly };

struct Operation {
    std::string name;   // benchmark name, e.g. "dr_scan/2056/capture"
    std::string family; // plot series, e.g. "DR scan + capture"
    std::uint64_t size = 0;
    const char* unit = "bytes";
    std::uint32_t readback = 0; // bytes the adapter returns (E of the exchange)
    Wait wait = Wait::none;
    bool uses_device = true; // false for the buffer-only builder
    bool no_heap = false;    // must not allocate: the SPI bit transfer and the builder
    std::function<std::int32_t(libusb_device_handle*)> run;
};

// Caller-owned data buffers the operations read and write. Sized for the
// largest operation and filled with a fixed pattern.
struct Buffers {
    std::vector<std::uint8_t> out = std::vector<std::uint8_t>(65536);
    std::vector<std::uint8_t> in = std::vector<std::uint8_t>(65536);
    std::vector<std::uint8_t> built = std::vector<std::uint8_t>(65536 + 1024);
    lumo_spi_config spi{6000, 0, 0, 0, 0, 3, 1};
    std::int32_t last_built = 0; // length the latest builder call wrote
    Buffers()
    {
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<std::uint8_t>(i * 37 + 11);
        }
    }
};

inline std::uint32_t bytes_of(std::uint32_t bits)
{
    return bits / 8 + (bits % 8 != 0 ? 1 : 0);
}

// Brings the adapter into the state the operations assume: clock and pins
// set, TAP in Run-Test/Idle, SPI and I2C configured. Returns 0 or the first
// failing result.
inline std::int32_t set_up_adapter(libusb_device_handle* handle, Buffers& buffers)
{
    std::int32_t state = TPW_TAP_TEST_LOGIC_RESET;
    const std::int32_t steps[] = {
        tapwire_tckset(handle, 6000, TIMEOUT_MS),
        tapwire_ioset(handle, 0x000B, 0x0008, TIMEOUT_MS),
        tapwire_reset(handle, &state, TIMEOUT_MS),
        tapwire_goto_idle(handle, &state, 0, TIMEOUT_MS),
        lumo_spi_set_config(handle, &buffers.spi, TIMEOUT_MS),
        lumo_iic_init(handle, 400, TIMEOUT_MS),
    };
    for (const std::int32_t rc : steps) {
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

inline std::vector<Operation> make_operations(Buffers& b, bool with_builder)
{
    std::vector<Operation> ops;

    for (const bool capture : {false, true}) {
        for (const std::uint32_t bits : {32u, 2056u, 65536u}) {
            Operation op;
            op.name = "dr_scan/" + std::to_string(bits) + (capture ? "/capture" : "/write");
            op.family = capture ? "DR scan + capture" : "DR scan";
            op.size = bits;
            op.unit = "bits";
            op.readback = capture ? bytes_of(bits) : 0;
            op.wait = capture ? Wait::at_least : Wait::none;
            op.run = [&b, bits, capture](libusb_device_handle* h) {
                std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
                return tapwire_shift_dr(h, &state, static_cast<std::int32_t>(bits), b.out.data(),
                                        capture ? b.in.data() : nullptr, 0, TIMEOUT_MS);
            };
            ops.push_back(std::move(op));
        }
    }

    if (with_builder) {
        for (const bool capture : {false, true}) {
            for (const std::uint32_t bits : {32u, 2056u, 65536u}) {
                Operation op;
                op.name = "build_dr/" + std::to_string(bits) + (capture ? "/capture" : "/write");
                op.family = capture ? "DR build + capture" : "DR build";
                op.size = bits;
                op.unit = "bits";
                op.uses_device = false;
                op.no_heap = true;
                op.run = [&b, bits, capture](libusb_device_handle*) {
                    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
                    auto capacity = static_cast<std::int32_t>(b.built.size());
                    return tapwire_build_shift_dr_cmd(&state, static_cast<std::int32_t>(bits), b.out.data(),
                                                      0, capture ? 1 : 0, b.built.data(), &capacity,
                                                      &b.last_built);
                };
                ops.push_back(std::move(op));
            }
        }
    }

    for (const std::uint32_t len : {4u, 512u, 65536u}) {
        Operation op;
        op.name = "spi_bytes/" + std::to_string(len) + "/write";
        op.family = "SPI bytes write";
        op.size = len;
        op.run = [&b, len](libusb_device_handle* h) {
            return lumo_spi_read_write_bytes(h, len, b.out.data(), nullptr, 0x001000, FLASH_PAGE_PROGRAM, 0,
                                             &b.spi, TIMEOUT_MS);
        };
        ops.push_back(std::move(op));
    }
    for (const std::uint32_t len : {4u, 512u}) {
        Operation op;
        op.name = "spi_bytes/" + std::to_string(len) + "/read";
        op.family = "SPI bytes read";
        op.size = len;
        op.readback = len;
        op.wait = Wait::at_least;
        op.run = [&b, len](libusb_device_handle* h) {
            return lumo_spi_read_write_bytes(h, len, nullptr, b.in.data(), 0x001000, FLASH_READ, 0, &b.spi,
                                             TIMEOUT_MS);
        };
        ops.push_back(std::move(op));
    }

    for (const bool duplex : {false, true}) {
        for (const std::uint32_t bits : {13u, 2048u}) {
            Operation op;
            op.name = "spi_bits/" + std::to_string(bits) + (duplex ? "/duplex" : "/write");
            op.no_heap = true;
            op.family = duplex ? "SPI bits duplex" : "SPI bits write";
            op.size = bits;
            op.unit = "bits";
            op.readback = duplex ? bytes_of(bits) : 0;
            op.wait = duplex ? Wait::at_least : Wait::none;
            op.run = [&b, bits, duplex](libusb_device_handle* h) {
                return lumo_spi_read_write_bits(h, bits, b.out.data(), duplex ? b.in.data() : nullptr,
                                                0x001000, FLASH_READ, 0, &b.spi, TIMEOUT_MS);
            };
            ops.push_back(std::move(op));
        }
    }

    for (const std::uint32_t len : {1u, 16u, 511u}) {
        Operation op;
        op.name = "i2c/" + std::to_string(len) + "/write";
        op.family = "I2C write";
        op.size = len;
        op.readback = 1 + bytes_of(len); // address acknowledge, then the data acknowledges packed
        op.wait = Wait::exactly;
        op.run = [&b, len](libusb_device_handle* h) {
            return lumo_iic_send_bytes(h, I2C_ADDRESS, 7, b.out.data(), len, TIMEOUT_MS);
        };
        ops.push_back(std::move(op));
    }
    for (const std::uint32_t len : {1u, 16u, 511u}) {
        Operation op;
        op.name = "i2c/" + std::to_string(len) + "/read";
        op.family = "I2C read";
        op.size = len;
        op.readback = len + 1; // address acknowledge byte, then the data
        op.wait = Wait::exactly;
        op.run = [&b, len](libusb_device_handle* h) {
            return lumo_iic_read_bytes(h, I2C_ADDRESS, 7, b.in.data(), len, TIMEOUT_MS);
        };
        ops.push_back(std::move(op));
    }
    return ops;
}

// Takes the benchmarks' own --strict flag (fail when an operation does not
// succeed, or allocates where it must not) out of the command line, leaving
// the rest in `args` for Google Benchmark.
inline bool take_strict_flag(int argc, char** argv, std::vector<char*>& args)
{
    bool strict = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0) {
            strict = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    return strict;
}

} // namespace orv::bench
