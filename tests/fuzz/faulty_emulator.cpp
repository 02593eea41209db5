#include "tests/fuzz/faulty_emulator.hpp"

#include <algorithm>
#include <cstdlib>

#include "lib/wire/wire.hpp"

namespace orv::fuzz {

emu::BoardConfig fault_flash_board(unsigned busy_after_program, unsigned busy_after_erase)
{
    emu::BoardConfig config = emu::default_board_config();
    emu::SpiFlashConfig flash;
    flash.jedec_id = {0xEF, 0x40, 0x11};
    flash.size = FAULT_FLASH_SIZE;
    flash.erase = {{nor::CMD_SECTOR_ERASE, 4096}, {nor::CMD_BLOCK_ERASE_64K, 65536}};
    flash.sfdp = true;
    flash.busy_reads_within_us = 50000;
    flash.busy_reads_after_program = busy_after_program;
    flash.busy_reads_after_erase = busy_after_erase;
    config.spi_flash = flash;
    return config;
}

void FaultyEmulator::schedule(std::uint64_t transfer, TransferFault fault, std::uint8_t detail)
{
    faults_[transfer] = Scheduled{fault, detail};
}

void FaultyEmulator::schedule_on(unsigned char endpoint, std::uint64_t after, TransferFault fault, int count)
{
    lasting_ = Lasting{fault, endpoint, after, count};
}

FaultyEmulator::Scheduled FaultyEmulator::next(unsigned char endpoint)
{
    ++(endpoint == EP_COMMAND_OUT         ? out_transfers_
       : endpoint == EP_READBACK_COUNT_IN ? count_transfers_
                                          : data_transfers_);
    Scheduled s;
    if (const auto it = faults_.find(transfers_++); it != faults_.end()) {
        s = it->second;
        faults_.erase(it);
    }
    Lasting& l = lasting_;
    const bool count_only = l.fault == TransferFault::never_fill || l.fault == TransferFault::overcount;
    const bool applies =
        l.fault != TransferFault::none && l.count != 0 &&
        (count_only ? endpoint == EP_READBACK_COUNT_IN : l.endpoint == 0 || l.endpoint == endpoint);
    if (applies && l.after > 0) {
        --l.after;
    } else if (applies) {
        s = Scheduled{l.fault, 0};
        if (l.count > 0 && --l.count == 0) {
            l = Lasting{};
        }
    }
    return s;
}

int FaultyEmulator::refused(unsigned char /*endpoint*/, int /*length*/, int /*rc*/) noexcept
{
    std::abort();
}

namespace {

// A fault that fails the transfer before anything happens, as libusb reports it.
int failure_code(TransferFault fault)
{
    switch (fault) {
    case TransferFault::no_device:
        return LIBUSB_ERROR_NO_DEVICE;
    case TransferFault::stall:
        return LIBUSB_ERROR_PIPE;
    case TransferFault::io_error:
        return LIBUSB_ERROR_IO;
    case TransferFault::timed_out:
        return LIBUSB_ERROR_TIMEOUT;
    default:
        return 0;
    }
}

} // namespace

std::size_t FaultyEmulator::pop(std::span<std::uint8_t> out, std::vector<std::uint32_t>* tags)
{
    const std::size_t n = std::min(model_->read_data(out), out.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t tag = tags_.empty() ? UINT32_MAX : tags_.front();
        if (!tags_.empty()) {
            tags_.pop_front();
        }
        if (tags != nullptr) {
            tags->push_back(tag);
        }
    }
    return n;
}

seam::Outcome FaultyEmulator::out(std::span<const std::uint8_t> stream, unsigned /*timeout*/) noexcept
{
    Scheduled s = next(EP_COMMAND_OUT);
    if (commands_always_arrive_) {
        s = {};
    }
    if (const int rc = failure_code(s.fault); rc != 0) {
        return {rc, 0};
    }
    const int length = static_cast<int>(stream.size());
    if (s.fault == TransferFault::short_move && length > 0) {
        return {0, length - 1}; // a dropped packet: nothing executed
    }
    const std::size_t before = model_->readback_size();
    model_->write_commands(stream);
    const std::size_t after = model_->readback_size();
    for (std::size_t i = before; i < after; ++i) {
        tags_.push_back(operation_);
    }
    return {0, length};
}

seam::CountOutcome FaultyEmulator::poll_count(std::size_t /*length*/, unsigned /*timeout*/) noexcept
{
    if (++polls_ > poll_limit_ && operation_ != 0) {
        std::abort(); // the operation hangs
    }
    const Scheduled s = next(EP_READBACK_COUNT_IN);
    if (const int rc = failure_code(s.fault); rc != 0) {
        return {rc, 0, 0};
    }
    if (s.fault == TransferFault::never_fill && !honest_counts_) {
        return {0, static_cast<int>(READBACK_COUNT_LENGTH), 0};
    }
    std::uint32_t count = model_->poll_count();
    if (s.fault == TransferFault::overcount && !honest_counts_) {
        count += 1U + s.detail % 8U;
    }
    const int moved =
        static_cast<int>(READBACK_COUNT_LENGTH) - (s.fault == TransferFault::short_move ? 1 : 0);
    return {0, moved, count};
}

seam::Outcome FaultyEmulator::read_data(std::span<std::uint8_t> buffer, unsigned /*timeout*/) noexcept
{
    const Scheduled s = next(EP_READBACK_DATA_IN);
    last_ = Delivery{};
    last_.reader = operation_;
    if (const int rc = failure_code(s.fault); rc != 0) {
        last_.failed = true;
        return {rc, 0};
    }
    std::span<std::uint8_t> asked = buffer;
    if (s.fault == TransferFault::short_move && !asked.empty()) {
        asked = asked.first(asked.size() - 1);
    }
    const std::size_t n = pop(asked, &last_.operations);
    last_.bytes.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    if (s.fault == TransferFault::overflow) {
        std::uint8_t lost = 0;
        (void)pop({&lost, 1}, nullptr);
        last_.failed = true;
        return {LIBUSB_ERROR_OVERFLOW, static_cast<int>(n)};
    }
    return {0, static_cast<int>(n)};
}

} // namespace orv::fuzz
