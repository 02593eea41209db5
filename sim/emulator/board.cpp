#include "sim/emulator/board.hpp"

#include <algorithm>
#include <utility>

namespace orv::emu {

namespace {

using hostfile::FileError;

// Fills the start of `memory` with the image file's bytes.
void load_image(const std::filesystem::path& path, std::span<std::uint8_t> memory)
{
    std::vector<std::uint8_t> bytes;
    try {
        bytes = hostfile::read_file(path.string(), memory.size());
    } catch (const FileError& e) {
        if (e.kind() == FileError::Kind::too_large) {
            throw ImageError("image " + path.string() + " holds more than its memory (" +
                             std::to_string(memory.size()) + " bytes)");
        }
        throw ImageError(std::string("cannot read image: ") + e.what());
    }
    std::copy(bytes.begin(), bytes.end(), memory.begin());
}

// Loads an image into `memory`; a persisted one is locked first (and made,
// empty, when it does not exist yet: the memory then starts erased and
// saving fills the file).
ImageHold load(const ImageFile& file, std::span<std::uint8_t> memory)
{
    ImageHold hold;
    if (file.persist) {
        bool created = false;
        try {
            hostfile::FileLock lock = hostfile::FileLock::acquire(file.path.string(), created);
            hold = ImageHold(std::move(lock), created ? file.path : std::filesystem::path());
        } catch (const FileError& e) {
            if (e.kind() == FileError::Kind::locked) {
                throw ImageBusy("image " + file.path.string() +
                                " is in use: another program has a board loaded that persists it (a second "
                                "orvtool --sim or orvsim-run); one at a time");
            }
            throw ImageError(std::string("cannot open image to persist it: ") + e.what());
        }
        if (created) {
            return hold;
        }
    }
    load_image(file.path, memory);
    return hold;
}

std::unique_ptr<I2cDevice> make_device(const I2cDeviceConfig& device)
{
    if (device.type == I2cDeviceConfig::Type::registers) {
        return std::make_unique<I2cRegisterFile>(device.address, device.registers, device.ten_bit);
    }
    const std::size_t page = device.type == I2cDeviceConfig::Type::memory ? device.size : device.page_size;
    return std::make_unique<I2cMemory>(
        I2cMemoryConfig{device.address, device.ten_bit, device.size, page, device.address_bytes});
}

// Writes `data` over the image, whole or not at all; the image's lock moves
// to the new file. An empty message when it worked.
std::string write_image(const std::filesystem::path& path, std::span<const std::uint8_t> data,
                        ImageHold& hold)
{
    try {
        hostfile::OutputFile out(path.string());
        out.write(data);
        if (hold.lock().held()) {
            out.commit(hold.lock());
        } else {
            out.commit();
        }
    } catch (const FileError& e) {
        return e.what();
    }
    hold.saved();
    return {};
}

} // namespace

std::vector<NamedImage> image_files(const BoardConfig& board)
{
    std::vector<NamedImage> images;
    const auto add = [&images](const std::optional<ImageFile>& file, std::string where) {
        if (!file) {
            return;
        }
        std::error_code error;
        std::filesystem::path identity = std::filesystem::weakly_canonical(file->path, error);
        images.push_back(
            NamedImage{std::move(where), *file, error ? file->path.lexically_normal() : identity});
    };
    add(board.spi_flash_image, "spi_flash.image");
    for (std::size_t i = 0; i < board.i2c.size(); ++i) {
        add(board.i2c[i].image, "i2c[" + std::to_string(i) + "].image");
    }
    return images;
}

Board build_board(const BoardConfig& config)
{
    Board board{JtagChain(config.jtag, JtagChain::Empty::open, config.network), std::nullopt, I2cBus{}};
    if (config.spi_flash) {
        SpiFlash flash(*config.spi_flash);
        if (config.spi_flash_image) {
            ImageHold hold = load(*config.spi_flash_image, flash.memory());
            board.images.push_back(BoardImage{*config.spi_flash_image, true, 0, false, std::move(hold)});
        }
        if (config.spi_flash_connect) {
            board.jtag.attach_flash(std::move(flash), *config.spi_flash_connect);
        } else {
            board.flash.emplace(std::move(flash));
        }
    }
    I2cBus pin_bus;
    std::vector<std::pair<const I2cDevice*, std::uint32_t>> stretching;
    for (const I2cDeviceConfig& device : config.i2c) {
        auto made = make_device(device);
        if (device.behind_pins && device.stretch_tck > 0) {
            stretching.emplace_back(made.get(), device.stretch_tck);
        }
        if (device.image) {
            ImageHold hold = load(*device.image, static_cast<I2cMemory&>(*made).memory());
            board.images.push_back(BoardImage{*device.image, false, device.address, device.ten_bit,
                                              std::move(hold), device.behind_pins});
        }
        (device.behind_pins ? pin_bus : board.i2c).add(std::move(made));
    }
    if (config.i2c_connect) {
        board.jtag.attach_i2c(std::move(pin_bus), *config.i2c_connect);
        for (const auto& [device, tck] : stretching) {
            board.jtag.stretch_i2c(*device, tck);
        }
    }
    return board;
}

std::vector<std::string> save_images(Board& board)
{
    std::vector<std::string> errors;
    const auto save = [&errors](BoardImage& image, auto& part) {
        if (!part.modified()) {
            return;
        }
        if (std::string error = write_image(image.file.path, part.memory(), image.hold); !error.empty()) {
            errors.push_back(std::move(error));
            return;
        }
        part.clear_modified();
    };
    for (BoardImage& image : board.images) {
        if (!image.file.persist) {
            continue;
        }
        if (image.flash) {
            save(image, board.flash ? *board.flash : *board.jtag.pin_flash());
            continue;
        }
        const I2cBus* bus = image.behind_pins ? board.jtag.pin_i2c() : &board.i2c;
        if (auto* memory =
                bus ? dynamic_cast<I2cMemory*>(bus->find(image.address, image.ten_bit)) : nullptr) {
            save(image, *memory);
        }
    }
    return errors;
}

ImageHold& ImageHold::operator=(ImageHold&& other) noexcept
{
    if (this != &other) {
        remove_made();
        lock_ = std::move(other.lock_);
        made_ = std::exchange(other.made_, {});
    }
    return *this;
}

ImageHold::~ImageHold()
{
    remove_made();
}

void ImageHold::remove_made() noexcept
{
    if (!made_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(made_, ignored); // still the empty file made at load: nothing was saved
        made_.clear();
    }
}

} // namespace orv::emu
