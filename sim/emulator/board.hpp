// What sits behind the adapter's three connectors: a JTAG chain, a SPI NOR
// flash (or none) and an I2C bus with its devices.
//
// A BoardConfig describes a board (board_file.hpp reads one from JSON);
// build_board() makes its parts, loading the memories' image files.
// default_board_config() is the default board (README.md), the same as
// boards/default.json.
//
// Images: an image smaller than its memory fills the start of it, the rest
// reads erased (0xFF). An image with `persist` is locked while the board is
// loaded, so that a second program cannot load it meanwhile and lose what
// this one writes back (it is refused with ImageBusy); it is written back by
// save_images() when its memory changed: to a temporary file in the same
// directory, then renamed over the image (over the file a link leads to, with
// the image's mode and owner), so a reader sees the old or the new image,
// never a mix.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lib/hostfile/host_file.hpp"
#include "sim/emulator/virtual_chain.hpp"
#include "sim/emulator/virtual_flash.hpp"
#include "sim/emulator/virtual_i2c_bus.hpp"

namespace orv::emu {

struct ImageFile {
    std::filesystem::path path;
    bool persist = false;
    bool operator==(const ImageFile&) const = default;
};

struct I2cDeviceConfig {
    enum class Type : std::uint8_t { eeprom, registers, memory };
    Type type = Type::memory;
    std::uint16_t address = 0;
    bool ten_bit = false;
    std::size_t size = 256;                             // eeprom, memory
    std::size_t page_size = 256;                        // eeprom; a memory pages over its whole size
    unsigned address_bytes = 1;                         // eeprom, memory
    std::vector<I2cRegisterFile::Register> registers{}; // registers: reset values and read-only ones
    std::optional<ImageFile> image{};                   // eeprom, memory
    bool behind_pins = false; // on the bus of BoardConfig::i2c_connect, not the I2C connector
    // Behind the pins only: the TCK clocks the device holds SCL low after the
    // falling SCL that ends each acknowledge clock while it is selected (0: never).
    std::uint32_t stretch_tck = 0;
    bool operator==(const I2cDeviceConfig&) const = default;
};

struct BoardConfig {
    std::vector<TapConfig> jtag; // TAP 0 nearest TDO; none: TDO pulled up
    NetworkConfig network;       // the wires between the boundary-scan pins of the TAPs
    std::optional<SpiFlashConfig> spi_flash;
    std::optional<ImageFile> spi_flash_image;
    std::optional<SpiNets> spi_flash_connect; // behind boundary-scan pins, not the SPI connector
    std::vector<I2cDeviceConfig> i2c;
    std::optional<I2cNets> i2c_connect; // the lines of the I2C bus behind boundary-scan pins
    bool operator==(const BoardConfig&) const = default;
};

// The lock on a persisted image while its board is loaded, and the empty
// file made to hold it when there was none: removed again when nothing was
// saved to it.
class ImageHold {
public:
    ImageHold() = default;
    ImageHold(hostfile::FileLock lock, std::filesystem::path made) noexcept
        : lock_(std::move(lock)), made_(std::move(made))
    {
    }
    ImageHold(ImageHold&& other) noexcept
        : lock_(std::move(other.lock_)), made_(std::exchange(other.made_, {}))
    {
    }
    ImageHold& operator=(ImageHold&& other) noexcept;
    ~ImageHold();
    [[nodiscard]] hostfile::FileLock& lock() noexcept { return lock_; }
    void saved() noexcept { made_.clear(); }

private:
    void remove_made() noexcept;

    hostfile::FileLock lock_;
    std::filesystem::path made_;
};

// A memory of the board that came from an image file.
struct BoardImage {
    ImageFile file;
    bool flash = false; // the SPI flash, else the I2C memory at:
    std::uint16_t address = 0;
    bool ten_bit = false;
    ImageHold hold{};         // persisted images
    bool behind_pins = false; // an I2C memory on the bus behind boundary-scan pins
};

struct Board {
    JtagChain jtag;                // with the SPI flash and the I2C bus behind boundary-scan pins, if any
    std::optional<SpiFlash> flash; // none: MISO floats high
    I2cBus i2c;
    std::vector<BoardImage> images{};
};

// An image file that cannot be read or written.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A persisted image that another program has loaded.
class ImageBusy : public ImageError {
public:
    using ImageError::ImageError;
};

// The board's image files, each with where the board names it
// ("spi_flash.image", "i2c[1].image") and the path that identifies the file
// (links and ".." resolved as far as the path exists).
struct NamedImage {
    std::string where;
    ImageFile file;
    std::filesystem::path identity;
};
[[nodiscard]] std::vector<NamedImage> image_files(const BoardConfig& board);

[[nodiscard]] BoardConfig default_board_config();
// Throws ImageError when an image cannot be read or is larger than its
// memory, ImageBusy when a persisted one is locked by another program.
[[nodiscard]] Board build_board(const BoardConfig& config);
[[nodiscard]] Board make_default_board_parts();
// Writes back every persisted image whose memory changed since it was loaded
// or last saved. Returns one message per image that could not be written.
[[nodiscard]] std::vector<std::string> save_images(Board& board);

} // namespace orv::emu
