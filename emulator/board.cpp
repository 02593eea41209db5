#include "board.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv::emu {

namespace {

// Fills the start of `memory` with the image file's bytes.
void load_image(const std::filesystem::path& path, std::span<std::uint8_t> memory)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ImageError("cannot read image " + path.string() + ": " + std::strerror(errno));
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        throw ImageError("cannot read image " + path.string());
    }
    if (bytes.size() > memory.size()) {
        throw ImageError("image " + path.string() + " holds " + std::to_string(bytes.size()) +
                         " bytes, more than its memory (" + std::to_string(memory.size()) + ")");
    }
    std::memcpy(memory.data(), bytes.data(), bytes.size());
}

void load(const ImageFile& file, std::span<std::uint8_t> memory)
{
    // A persisted image that does not exist yet starts erased; saving the
    // memory creates it.
    std::error_code error;
    if (file.persist && !std::filesystem::exists(file.path, error) && !error) {
        return;
    }
    load_image(file.path, memory);
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

// Writes `data` to a temporary file beside `path`, then renames it over path.
std::string write_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> data)
{
    std::string temporary = path.string() + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return "cannot create a temporary file beside " + path.string() + ": " + std::strerror(errno);
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const std::string message = "cannot write " + temporary + ": " + std::strerror(errno);
            close(fd);
            unlink(temporary.c_str());
            return message;
        }
        done += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file private; an image gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0 || fsync(fd) != 0 || close(fd) != 0) {
        const std::string message = "cannot write " + temporary + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return message;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string message =
            "cannot rename " + temporary + " to " + path.string() + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return message;
    }
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
        board.flash.emplace(*config.spi_flash);
        if (config.spi_flash_image) {
            load(*config.spi_flash_image, board.flash->memory());
            board.images.push_back(BoardImage{*config.spi_flash_image, true});
        }
    }
    for (const I2cDeviceConfig& device : config.i2c) {
        auto made = make_device(device);
        if (device.image) {
            load(*device.image, static_cast<I2cMemory&>(*made).memory());
            board.images.push_back(BoardImage{*device.image, false, device.address, device.ten_bit});
        }
        board.i2c.add(std::move(made));
    }
    return board;
}

std::vector<std::string> save_images(Board& board)
{
    std::vector<std::string> errors;
    const auto save = [&errors](const ImageFile& file, auto& part) {
        if (!part.modified()) {
            return;
        }
        if (std::string error = write_atomically(file.path, part.memory()); !error.empty()) {
            errors.push_back(std::move(error));
            return;
        }
        part.clear_modified();
    };
    for (const BoardImage& image : board.images) {
        if (!image.file.persist) {
            continue;
        }
        if (image.flash) {
            save(image.file, *board.flash);
        } else if (auto* memory = dynamic_cast<I2cMemory*>(board.i2c.find(image.address, image.ten_bit))) {
            save(image.file, *memory);
        }
    }
    return errors;
}

} // namespace orv::emu
