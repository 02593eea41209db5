#include "spi_flash.hpp"

#include <algorithm>

namespace orv::emu {

namespace {

using namespace orv::nor;

// Address bytes after the command byte, and the bytes before fast-read data.
constexpr std::size_t ADDRESS_BYTES = ADDRESS_BYTES_3;
constexpr std::size_t FAST_READ_DUMMY_BYTES = FAST_READ_DUMMY_CLOCKS / 8;
constexpr auto ADDRESS_MASK = static_cast<std::uint32_t>(ADDRESS_SPACE_3 - 1);
// What MISO carries while the flash does not drive it (the line's pull-up).
constexpr std::uint8_t MISO_RELEASED = 0xFF;

constexpr bool known_command(std::uint8_t command) noexcept
{
    switch (command) {
    case CMD_WRITE_ENABLE:
    case CMD_WRITE_DISABLE:
    case CMD_READ_STATUS:
    case CMD_READ:
    case CMD_FAST_READ:
    case CMD_PAGE_PROGRAM:
    case CMD_SECTOR_ERASE:
    case CMD_CHIP_ERASE:
    case CMD_CHIP_ERASE_ALT:
    case CMD_READ_JEDEC_ID:
        return true;
    default:
        return false;
    }
}

} // namespace

SpiFlash::SpiFlash(SpiFlashConfig config)
    : config_(config), memory_(std::max<std::size_t>(config.size, 1), ERASED),
      page_buffer_(std::max<std::size_t>(config.page_size, 1), ERASED),
      page_written_(std::max<std::size_t>(config.page_size, 1), false)
{
    config_.page_size = page_buffer_.size();
    config_.sector_size = std::max<std::size_t>(config_.sector_size, 1);
}

std::uint8_t SpiFlash::status() const noexcept
{
    return static_cast<std::uint8_t>((busy() ? STATUS_WIP : 0) | (wel_ ? STATUS_WEL : 0));
}

void SpiFlash::select() noexcept
{
    selected_ = true;
    order_known_ = false;
    bit_ = 0;
    in_ = 0;
    out_ = MISO_RELEASED;
    byte_index_ = 0;
    command_ = 0;
    ignored_ = false;
    address_ = 0;
    data_index_ = 0;
}

bool SpiFlash::clock(bool mosi, BitOrder order)
{
    if (!selected_) {
        return true;
    }
    if (!order_known_) {
        order_ = order;
        order_known_ = true;
    }
    // The byte to send is chosen when its first bit is due, so that a status
    // byte counts as read only when the master clocks it.
    if (bit_ == 0) {
        out_ = byte_index_ == 0 ? MISO_RELEASED : next_output_byte();
    }
    const unsigned position = order_ == BitOrder::msb_first ? 7 - bit_ : bit_;
    const bool miso = ((out_ >> position) & 1) != 0;
    if (mosi) {
        in_ = static_cast<std::uint8_t>(in_ | (1u << position));
    }
    if (++bit_ == 8) {
        const std::uint8_t value = in_;
        bit_ = 0;
        in_ = 0;
        byte_received(value);
    }
    return miso;
}

void SpiFlash::byte_received(std::uint8_t value)
{
    const std::size_t index = byte_index_++;
    if (index == 0) {
        command_ = value;
        ignored_ = !known_command(value) || (busy() && value != CMD_READ_STATUS);
        if (command_ == CMD_PAGE_PROGRAM) {
            std::fill(page_buffer_.begin(), page_buffer_.end(), ERASED);
            std::fill(page_written_.begin(), page_written_.end(), false);
        }
        return;
    }
    if (ignored_) {
        return;
    }
    const bool addressed = command_ == CMD_READ || command_ == CMD_FAST_READ ||
                           command_ == CMD_PAGE_PROGRAM || command_ == CMD_SECTOR_ERASE;
    if (!addressed) {
        return;
    }
    if (index <= ADDRESS_BYTES) {
        // MSB-first transactions send the address high byte first, LSB-first
        // ones low byte first (the whole 24 bits reversed).
        if (order_ == BitOrder::msb_first) {
            address_ = (address_ << 8) | value;
        } else {
            address_ |= std::uint32_t{value} << (8 * (index - 1));
        }
        address_ &= ADDRESS_MASK;
        return;
    }
    if (command_ == CMD_PAGE_PROGRAM) {
        // Past the end of the page the address wraps to its start.
        const std::size_t offset = (address_ + data_index_) % config_.page_size;
        page_buffer_[offset] = value;
        page_written_[offset] = true;
        ++data_index_;
    }
}

std::uint8_t SpiFlash::next_output_byte()
{
    if (ignored_) {
        return MISO_RELEASED;
    }
    switch (command_) {
    case CMD_READ_JEDEC_ID:
        return byte_index_ <= config_.jedec_id.size() ? config_.jedec_id[byte_index_ - 1] : MISO_RELEASED;
    case CMD_READ_STATUS: {
        const std::uint8_t value = status();
        if (busy_reads_left_ > 0) {
            --busy_reads_left_;
        }
        return value;
    }
    case CMD_READ:
    case CMD_FAST_READ: {
        const std::size_t first = 1 + ADDRESS_BYTES + (command_ == CMD_FAST_READ ? FAST_READ_DUMMY_BYTES : 0);
        if (byte_index_ < first) {
            return MISO_RELEASED;
        }
        return memory_[wrap(address_ + data_index_++)];
    }
    default:
        return MISO_RELEASED;
    }
}

void SpiFlash::deselect()
{
    if (!selected_) {
        return;
    }
    selected_ = false;
    // Commands take effect at the rising chip select, and only on a byte
    // boundary (a partial byte cancels them).
    if (byte_index_ == 0 || ignored_ || bit_ != 0) {
        return;
    }
    switch (command_) {
    case CMD_WRITE_ENABLE:
        if (byte_index_ == 1) {
            wel_ = true;
        }
        break;
    case CMD_WRITE_DISABLE:
        if (byte_index_ == 1) {
            wel_ = false;
        }
        break;
    case CMD_PAGE_PROGRAM:
        if (wel_ && byte_index_ > ADDRESS_BYTES) {
            wel_ = false;
            if (data_index_ > 0) {
                const std::size_t base = wrap(address_ - address_ % config_.page_size);
                for (std::size_t i = 0; i < config_.page_size; ++i) {
                    if (page_written_[i]) {
                        memory_[wrap(base + i)] &= page_buffer_[i];
                    }
                }
                ++programs_;
                busy_reads_left_ = config_.busy_reads_after_program;
            }
        }
        break;
    case CMD_SECTOR_ERASE:
        if (wel_ && byte_index_ == 1 + ADDRESS_BYTES) {
            wel_ = false;
            const std::size_t base = wrap(address_ - address_ % config_.sector_size);
            const std::size_t end = std::min(memory_.size(), base + config_.sector_size);
            std::fill(memory_.begin() + static_cast<std::ptrdiff_t>(base),
                      memory_.begin() + static_cast<std::ptrdiff_t>(end), ERASED);
            ++erases_;
            busy_reads_left_ = config_.busy_reads_after_erase;
        }
        break;
    case CMD_CHIP_ERASE:
    case CMD_CHIP_ERASE_ALT:
        if (wel_ && byte_index_ == 1) {
            wel_ = false;
            std::fill(memory_.begin(), memory_.end(), ERASED);
            ++erases_;
            busy_reads_left_ = config_.busy_reads_after_erase;
        }
        break;
    default:
        break;
    }
}

} // namespace orv::emu
