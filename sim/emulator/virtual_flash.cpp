#include "sim/emulator/virtual_flash.hpp"

#include <algorithm>

namespace orv::emu {

namespace {

using namespace orv::nor;

// What MISO carries while the flash does not drive it (the line's pull-up).
constexpr std::uint8_t MISO_RELEASED = 0xFF;
constexpr unsigned FAST_READ_DUMMY_BYTES = FAST_READ_DUMMY_CLOCKS / 8;
constexpr unsigned SFDP_DUMMY_BYTES = SFDP_DUMMY_CLOCKS / 8;
// Status register 1 bits a status write sets: all but WIP and WEL.
constexpr std::uint8_t STATUS_WRITABLE = static_cast<std::uint8_t>(~(STATUS_BUSY | STATUS_WEL));
// Block protection counts in 64 KiB blocks, or in 1/64 of larger parts.
constexpr std::size_t PROTECTION_BLOCK = 64u * 1024u;
constexpr std::size_t PROTECTION_FRACTION = 64;
constexpr unsigned BP_ALL = 7;
// With SEC, BP counts 4 KiB sectors up to 32 KiB.
constexpr unsigned SEC_LARGEST_BP = 4;
constexpr std::size_t SEC_LARGEST = 32u * 1024u;

} // namespace

SpiFlash::SpiFlash(SpiFlashConfig config)
    : config_(std::move(config)), memory_(std::max<std::size_t>(config_.size, 1), ERASED),
      page_buffer_(std::max<std::size_t>(config_.page_size, 1), ERASED),
      page_written_(std::max<std::size_t>(config_.page_size, 1), false)
{
    config_.size = memory_.size();
    config_.page_size = page_buffer_.size();
    status_bits_ = config_.status & STATUS_WRITABLE;
    if (config_.sfdp) {
        sfdp_ = sfdp_table(config_);
    }
}

bool SpiFlash::busy() const noexcept
{
    const bool reads_left =
        busy_reads_left_ > 0 && (config_.busy_reads_within_us == 0 || Clock::now() < busy_reads_until_);
    return reads_left || Clock::now() < busy_until_;
}

std::uint8_t SpiFlash::status() const noexcept
{
    return static_cast<std::uint8_t>(status_bits_ | (busy() ? STATUS_WIP : 0) | (wel_ ? STATUS_WEL : 0));
}

std::pair<std::size_t, std::size_t> SpiFlash::protected_range() const noexcept
{
    const unsigned bp = (status_bits_ & STATUS_BP_MASK) >> STATUS_BP_SHIFT;
    const std::size_t size = memory_.size();
    std::size_t length = 0;
    if (bp == BP_ALL) {
        length = size;
    } else if (bp != 0 && (status_bits_ & STATUS_SEC) != 0) {
        // 4 KiB sectors: 4, 8, 16, 32 KiB, then 32 KiB again.
        length = bp <= SEC_LARGEST_BP ? std::size_t{SECTOR_SIZE} << (bp - 1) : SEC_LARGEST;
    } else if (bp != 0) {
        length = std::max(PROTECTION_BLOCK, size / PROTECTION_FRACTION) << (bp - 1);
    }
    length = std::min(size, length);
    const bool bottom = (status_bits_ & STATUS_TB) != 0;
    std::pair<std::size_t, std::size_t> range =
        bottom ? std::pair{std::size_t{0}, length} : std::pair{size - length, size};
    if ((status_2_ & STATUS2_CMP) == 0) {
        return length == 0 ? std::pair{std::size_t{0}, std::size_t{0}} : range;
    }
    // CMP protects the rest: one side of the region BP names (a region at
    // one end leaves one range at the other).
    if (length == 0) {
        return {0, size};
    }
    if (length == size) {
        return {0, 0};
    }
    return bottom ? std::pair{length, size} : std::pair{std::size_t{0}, size - length};
}

bool SpiFlash::is_protected(std::size_t first, std::size_t length) const noexcept
{
    const auto [begin, end] = protected_range();
    return first < end && begin < first + length;
}

std::size_t SpiFlash::erase_size(std::uint8_t opcode) const noexcept
{
    for (const EraseType& type : config_.erase) {
        if (type.opcode == opcode) {
            return type.size;
        }
    }
    return 0;
}

SpiFlash::Command SpiFlash::decode(std::uint8_t opcode) const noexcept
{
    const bool large = config_.size > ADDRESS_SPACE_3;
    const unsigned address = four_byte_mode_ ? ADDRESS_BYTES_4 : ADDRESS_BYTES_3;
    // A 4-byte opcode is only known to parts that need it.
    const auto four_byte = [large](Command command) { return large ? command : Command{}; };
    const auto erase = [this](std::uint8_t three_byte_opcode, unsigned bytes) {
        const std::size_t size = erase_size(three_byte_opcode);
        return size == 0 ? Command{} : Command{Op::erase, bytes, 0, size};
    };
    switch (opcode) {
    case CMD_READ_JEDEC_ID:
        return {Op::read_jedec_id};
    case CMD_READ_STATUS:
        return {Op::read_status};
    case CMD_READ_STATUS_2:
        return {Op::read_status_2};
    case CMD_WRITE_ENABLE:
        return {Op::write_enable};
    case CMD_WRITE_DISABLE:
        return {Op::write_disable};
    case CMD_WRITE_STATUS:
        return {Op::write_status};
    case CMD_READ:
        return {Op::read, address};
    case CMD_FAST_READ:
        return {Op::read, address, FAST_READ_DUMMY_BYTES};
    case CMD_READ_SFDP:
        return config_.sfdp ? Command{Op::read_sfdp, SFDP_ADDRESS_BYTES, SFDP_DUMMY_BYTES} : Command{};
    case CMD_PAGE_PROGRAM:
        return {Op::page_program, address};
    case CMD_SECTOR_ERASE:
    case CMD_BLOCK_ERASE_32K:
    case CMD_BLOCK_ERASE_64K:
        return erase(opcode, address);
    case CMD_CHIP_ERASE:
    case CMD_CHIP_ERASE_ALT:
        return {Op::chip_erase};
    case CMD_ENTER_4BYTE:
        return four_byte({Op::enter_4byte});
    case CMD_EXIT_4BYTE:
        return four_byte({Op::exit_4byte});
    case CMD_READ_4B:
        return four_byte({Op::read, ADDRESS_BYTES_4});
    case CMD_FAST_READ_4B:
        return four_byte({Op::read, ADDRESS_BYTES_4, FAST_READ_DUMMY_BYTES});
    case CMD_PAGE_PROGRAM_4B:
        return four_byte({Op::page_program, ADDRESS_BYTES_4});
    case CMD_SECTOR_ERASE_4B:
        return large ? erase(CMD_SECTOR_ERASE, ADDRESS_BYTES_4) : Command{};
    case CMD_BLOCK_ERASE_64K_4B:
        return large ? erase(CMD_BLOCK_ERASE_64K, ADDRESS_BYTES_4) : Command{};
    default:
        return {};
    }
}

void SpiFlash::select() noexcept
{
    selected_ = true;
    order_known_ = false;
    bit_ = 0;
    in_ = 0;
    out_ = MISO_RELEASED;
    byte_index_ = 0;
    command_ = {};
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
        command_ = decode(value);
        // While busy only the status registers can be read.
        if (busy() && command_.op != Op::read_status && command_.op != Op::read_status_2) {
            command_ = {};
        }
        if (command_.op == Op::page_program) {
            std::fill(page_buffer_.begin(), page_buffer_.end(), ERASED);
            std::fill(page_written_.begin(), page_written_.end(), false);
        }
        return;
    }
    if (index <= command_.address_bytes) {
        // MSB-first transactions send the address high byte first, LSB-first
        // ones low byte first (the whole address reversed).
        if (order_ == BitOrder::msb_first) {
            address_ = (address_ << 8) | value;
        } else {
            address_ |= std::uint32_t{value} << (8 * (index - 1));
        }
        return;
    }
    if (index < header_length()) {
        return; // dummy byte
    }
    switch (command_.op) {
    case Op::write_status:
        if (index <= status_in_.size()) {
            status_in_[index - 1] = value;
        }
        break;
    case Op::page_program: {
        // Past the end of the page the address wraps to its start.
        const std::size_t offset = (address_ + data_index_) % config_.page_size;
        page_buffer_[offset] = value;
        page_written_[offset] = true;
        ++data_index_;
        break;
    }
    default:
        break;
    }
}

std::uint8_t SpiFlash::next_output_byte()
{
    switch (command_.op) {
    case Op::read_jedec_id:
        return byte_index_ <= config_.jedec_id.size() ? config_.jedec_id[byte_index_ - 1] : MISO_RELEASED;
    case Op::read_status: {
        const std::uint8_t value = status();
        if (busy_reads_left_ > 0) {
            --busy_reads_left_;
        }
        return value;
    }
    case Op::read_status_2:
        return status_2_;
    case Op::read:
        if (byte_index_ < header_length()) {
            return MISO_RELEASED;
        }
        return memory_[wrap(std::size_t{address_} + data_index_++)];
    case Op::read_sfdp: {
        if (byte_index_ < header_length()) {
            return MISO_RELEASED;
        }
        const std::size_t at = std::size_t{address_} + data_index_++;
        return at < sfdp_.size() ? sfdp_[at] : MISO_RELEASED;
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
    if (byte_index_ == 0 || bit_ != 0) {
        return;
    }
    const bool bare = byte_index_ == 1; // the command byte alone
    switch (command_.op) {
    case Op::write_enable:
        wel_ = wel_ || bare;
        break;
    case Op::write_disable:
        wel_ = wel_ && !bare;
        break;
    case Op::enter_4byte:
    case Op::exit_4byte:
        if (bare) {
            four_byte_mode_ = command_.op == Op::enter_4byte;
        }
        break;
    case Op::write_status:
        if (wel_ && (byte_index_ == 2 || byte_index_ == 3)) {
            finish_write_status();
        }
        break;
    case Op::page_program:
        if (wel_ && byte_index_ >= header_length()) {
            finish_program();
        }
        break;
    case Op::erase:
        if (wel_ && byte_index_ == header_length()) {
            finish_erase();
        }
        break;
    case Op::chip_erase:
        if (wel_ && bare) {
            finish_erase();
        }
        break;
    default:
        break;
    }
}

void SpiFlash::start_busy(unsigned microseconds, unsigned status_reads)
{
    if (microseconds > 0) {
        busy_until_ = Clock::now() + std::chrono::microseconds(microseconds);
    } else {
        busy_reads_left_ = status_reads;
        busy_reads_until_ = Clock::now() + std::chrono::microseconds(config_.busy_reads_within_us);
    }
}

void SpiFlash::finish_write_status()
{
    wel_ = false;
    status_bits_ = status_in_[0] & STATUS_WRITABLE;
    if (byte_index_ == 3) {
        status_2_ = status_in_[1];
    }
    start_busy(config_.program_us, config_.busy_reads_after_program);
}

void SpiFlash::finish_program()
{
    wel_ = false;
    const std::size_t base = wrap(address_ - address_ % config_.page_size);
    if (data_index_ == 0 || is_protected(base, config_.page_size)) {
        return;
    }
    for (std::size_t i = 0; i < config_.page_size; ++i) {
        if (page_written_[i]) {
            memory_[wrap(base + i)] &= page_buffer_[i];
        }
    }
    ++programs_;
    modified_ = true;
    start_busy(config_.program_us, config_.busy_reads_after_program);
}

void SpiFlash::finish_erase()
{
    wel_ = false;
    std::size_t base = 0;
    std::size_t length = memory_.size();
    if (command_.op == Op::erase) {
        length = std::min(command_.erase_size, memory_.size());
        base = wrap(address_) / length * length;
        length = std::min(length, memory_.size() - base);
    }
    // A chip erase is refused while any of the part is protected.
    const bool refused =
        command_.op == Op::chip_erase ? is_protected(0, memory_.size()) : is_protected(base, length);
    if (refused) {
        return;
    }
    std::fill_n(memory_.begin() + static_cast<std::ptrdiff_t>(base), length, ERASED);
    ++erases_;
    modified_ = true;
    start_busy(config_.erase_us, config_.busy_reads_after_erase);
}

} // namespace orv::emu
