// Fuzz target: sequences of operations of all three libraries against one
// emulated adapter that keeps its state, and its leftover read-back, from one
// operation to the next, with faults at chosen transfers. After a failed
// operation the target empties the read-back as the tools do
// (orv::purge_readback) before it goes on.
//
// Input: one byte for the read-back's lag (0..3 polls), then records: an
// operation byte, a fault byte (bit 7: a fault at one of the next 8
// transfers, bit 6: a second one; their kind and detail follow), then the
// operation's arguments.
//
// Checked after every operation, beyond memory errors and undefined behaviour:
//   - the result is 0, one of libusb's codes or one of -13..-17;
//   - nothing is written past a caller's buffer (guard bytes), and a failed
//     operation leaves the caller's TAP state, capacity and written length
//     as they were; a failed I2C read leaves its buffer alone, a failed JTAG
//     or SPI read changes only bytes that its own data read delivered there;
//   - data reported with result 0, and the acknowledges an I2C transaction
//     judged, are the bytes the adapter produced for that very operation:
//     nothing an earlier one left behind.
//
// Built a second time with ORV_FUZZ_TIMEOUT_ZERO (fuzz_stateful_timeout0):
// every operation gets timeout 0, which means no limit, on an adapter whose
// faults are single transfers and whose commands always arrive for I2C. An
// operation that polls past a bound is reported as a hang.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <orv_lumo_iic.h>
#include <orv_lumo_spi.h>
#include <orv_tapwire.h>

#include "lib/wire/readback_purge.hpp"
#include "tests/fuzz/faulty_emulator.hpp"
#include "tests/fuzz/input_reader.hpp"

namespace {

using orv::fuzz::FaultyEmulator;
using orv::fuzz::InputReader;
using orv::fuzz::TransferFault;

#ifdef ORV_FUZZ_TIMEOUT_ZERO
constexpr bool TIMEOUT_ZERO = true;
#else
constexpr bool TIMEOUT_ZERO = false;
#endif

constexpr std::uint8_t UNTOUCHED = 0x5A;
constexpr std::size_t GUARD = 16;
constexpr unsigned MAX_OPERATIONS = 48;
constexpr unsigned MAX_FAULTS = 24;
// Polls one operation may make before it counts as a hang: with timeouts of
// 1..3 ms the poll limit is 31; with timeout 0 there is none, and this is far
// more than any read-back on this adapter needs once its bytes are there.
constexpr std::uint64_t HANG_POLLS = TIMEOUT_ZERO ? 20000 : 64;
// Purge attempts after a failure: each one that fails is what a next run of
// the tool would repeat at open; the faults of an input run out long before.
constexpr unsigned PURGE_ATTEMPTS = MAX_FAULTS + 2;
constexpr std::uint32_t PURGE_TIMEOUT_MS = 5;

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

std::uint32_t bytes_for(std::uint32_t bits)
{
    return (bits + 7) / 8;
}

// A caller's output buffer with guard bytes after it.
class Output {
public:
    explicit Output(std::size_t size) : bytes_(size + GUARD, UNTOUCHED), size_(size) {}
    std::uint8_t* data() { return bytes_.data(); }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::uint8_t at(std::size_t i) const { return bytes_[i]; }
    [[nodiscard]] bool guard_intact() const
    {
        return std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(size_), bytes_.end(),
                           [](std::uint8_t b) { return b == UNTOUCHED; });
    }
    [[nodiscard]] bool untouched() const
    {
        return std::all_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b == UNTOUCHED; });
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t size_;
};

std::vector<std::uint8_t> bytes_from(InputReader& in, std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) {
        b = in.byte();
    }
    return v;
}

enum class Reads { nothing, jtag_or_spi, i2c_write, i2c_read };

// What one operation produced, for the checks.
struct Outcome {
    std::int32_t rc = 0;
    Reads reads = Reads::nothing;
    std::uint32_t expected = 0; // read-back bytes the operation's commands produce
    Output* out = nullptr;      // the caller's buffer that receives them
};

class Session {
public:
    Session(InputReader& in, FaultyEmulator& device) : in_(in), device_(device) {}

    void run()
    {
        purge(); // as the tools do at open
        for (unsigned n = 0; n < MAX_OPERATIONS && !in_.empty(); ++n) {
            step();
        }
    }

private:
    std::uint32_t timeout()
    {
        const std::uint8_t pick = in_.byte();
        return TIMEOUT_ZERO ? 0 : 1 + pick % 3;
    }

    void schedule_faults()
    {
        const std::uint8_t plan = in_.byte();
        for (unsigned bit : {0x80U, 0x40U}) {
            if ((plan & bit) == 0 || faults_ >= MAX_FAULTS) {
                continue;
            }
            const std::uint64_t at = device_.transfers() + (in_.byte() % 8);
            const auto kind =
                static_cast<TransferFault>(1 + in_.byte() % (static_cast<int>(TransferFault::count) - 1));
            device_.schedule(at, kind, in_.byte());
            ++faults_;
        }
    }

    void step()
    {
        const std::uint8_t op = in_.byte();
        schedule_faults();
        ++operation_;
        device_.set_operation(operation_);
        device_.forget_delivery();
        const std::int32_t state_before = state_;
        Outcome o;
        switch (op % 14) {
        case 0:
            o.rc = tapwire_tckset(device_.handle(), in_.u16() % 60100, timeout());
            break;
        case 1:
            o.rc = tapwire_ioset(device_.handle(), in_.u16(), in_.u16(), timeout());
            break;
        case 2:
            o.rc = tapwire_reset(device_.handle(), &state_, timeout());
            require(o.rc == 0 ? state_ == TPW_TAP_TEST_LOGIC_RESET : state_ == state_before);
            break;
        case 3:
            o.rc = tapwire_goto_idle(device_.handle(), &state_, in_.u16(), timeout());
            require(o.rc == 0 ? state_ == TPW_TAP_RUN_TEST_IDLE : state_ == state_before);
            break;
        case 4:
        case 5:
            o = scan(op % 14 == 5);
            require(o.rc == 0 ? state_ == TPW_TAP_RUN_TEST_IDLE : state_ == state_before);
            break;
        case 6:
            o = batch();
            break;
        case 7:
            spi_config();
            o.rc = lumo_spi_set_config(device_.handle(), &spi_, timeout());
            break;
        case 8:
            o = spi_bytes();
            break;
        case 9:
            o = spi_bits();
            break;
        case 10:
            o = collect_alone();
            break;
        case 11:
            o.rc = lumo_iic_init(device_.handle(), in_.u16() % 60100, timeout());
            break;
        case 12:
            o = iic_write();
            break;
        default:
            o = iic_read();
            break;
        }
        require(valid_result(o.rc));
        check(o);
        device_.set_commands_always_arrive(false);
        if (o.rc != 0) {
            purge();
        }
    }

    // The checks every operation that reads must pass.
    void check(const Outcome& o)
    {
        if (o.out != nullptr) {
            require(o.out->guard_intact());
        }
        if (o.reads == Reads::nothing || o.expected == 0) {
            if (o.out != nullptr && o.rc != 0) {
                require(o.out->untouched());
            }
            return;
        }
        const FaultyEmulator::Delivery& d = device_.last_delivery();
        const bool own_read = d.reader == operation_ && !d.failed;
        // The read-back an operation judged must be its own: data returned with
        // 0, and the acknowledges behind an I2C verdict.
        const bool judged = o.rc == 0 || (o.reads != Reads::jtag_or_spi && o.rc == TPW_ERROR_OTHER) ||
                            (o.reads == Reads::i2c_write && o.rc == TPW_ERROR_USBTRANS_ERR && own_read &&
                             d.bytes.size() == o.expected);
        if (judged) {
            require(own_read && d.bytes.size() >= o.expected);
            for (std::uint32_t i = 0; i < o.expected; ++i) {
                require(d.operations[i] == operation_);
            }
        }
        if (o.out == nullptr) {
            return;
        }
        if (o.rc == 0) {
            const std::size_t skip = o.reads == Reads::i2c_read ? 1 : 0;
            for (std::size_t i = 0; i < o.out->size(); ++i) {
                require(o.out->at(i) == d.bytes[skip + i]);
            }
            return;
        }
        if (o.reads == Reads::i2c_read) {
            require(o.out->untouched());
            return;
        }
        // JTAG and SPI: only bytes that this operation's data read delivered
        // at that place.
        for (std::size_t i = 0; i < o.out->size(); ++i) {
            if (o.out->at(i) != UNTOUCHED) {
                require(d.reader == operation_ && i < d.bytes.size() && o.out->at(i) == d.bytes[i]);
            }
        }
    }

    // As the tools do after a failure: purge; one that fails is repeated, as
    // the next run of the tool does at open.
    void purge()
    {
        device_.set_honest_counts(true);
        device_.set_operation(0);
        std::int32_t rc = -1;
        for (unsigned attempt = 0; attempt < PURGE_ATTEMPTS && rc != 0; ++attempt) {
            std::uint64_t purged = 0;
            rc = orv::purge_readback(device_.handle(), PURGE_TIMEOUT_MS, purged);
        }
        require(rc == 0);
        require(device_.held().empty());
        device_.set_honest_counts(false);
    }

    Outcome scan(bool dr)
    {
        std::uint32_t bits = 1 + in_.u16() % 96;
        if ((in_.byte() & 7) == 0) {
            bits = 1 + in_.u16() % 4096; // a long scan
        }
        const bool capture = (in_.byte() & 1) != 0;
        const auto idle = static_cast<std::uint16_t>(in_.byte() % 4);
        const std::vector<std::uint8_t> tdi = bytes_from(in_, bytes_for(bits));
        Outcome o;
        tdo_ = std::make_unique<Output>(bytes_for(bits));
        o.out = tdo_.get();
        o.reads = capture ? Reads::jtag_or_spi : Reads::nothing;
        o.expected = capture ? bytes_for(bits) : 0;
        std::uint8_t* tdo = capture ? o.out->data() : nullptr;
        const std::uint32_t t = timeout();
        o.rc = dr ? tapwire_shift_dr(device_.handle(), &state_, static_cast<std::int32_t>(bits), tdi.data(),
                                     tdo, idle, t)
                  : tapwire_shift_ir(device_.handle(), &state_, static_cast<std::int32_t>(bits), tdi.data(),
                                     tdo, idle, t);
        return o;
    }

    // DR scans built into one buffer of the caller's, sent with one transfer
    // of its own and, for read scans, their TDO fetched with
    // tapwire_readback_tdo.
    Outcome batch()
    {
        const unsigned scans = 1 + in_.byte() % 3;
        const bool read = (in_.byte() & 1) != 0;
        const std::int32_t capacity_given = in_.u16() % 700;
        std::vector<std::uint8_t> commands(static_cast<std::size_t>(capacity_given) + GUARD, UNTOUCHED);
        std::int32_t capacity = capacity_given;
        std::size_t used = 0;
        std::uint32_t tdo_bytes = 0;
        for (unsigned s = 0; s < scans; ++s) {
            const std::uint32_t bits = 1 + in_.u16() % 300;
            const std::vector<std::uint8_t> tdi = bytes_from(in_, bytes_for(bits));
            const std::int32_t state_before = state_;
            const std::int32_t capacity_before = capacity;
            std::int32_t written = -7;
            const std::int32_t rc = tapwire_build_shift_dr_cmd(&state_, static_cast<std::int32_t>(bits),
                                                               tdi.data(), in_.byte() % 3, read ? 1 : 0,
                                                               commands.data() + used, &capacity, &written);
            require(valid_result(rc));
            if (rc != 0) {
                require(state_ == state_before && capacity == capacity_before && written == -7);
                break;
            }
            require(written > 0 && written <= capacity_before && capacity == capacity_before - written);
            require(state_ == TPW_TAP_RUN_TEST_IDLE);
            used += static_cast<std::size_t>(written);
            tdo_bytes += bytes_for(bits);
        }
        require(std::all_of(commands.begin() + static_cast<std::ptrdiff_t>(used), commands.end(),
                            [](std::uint8_t b) { return b == UNTOUCHED; }));
        Outcome o;
        if (used == 0) {
            return o;
        }
        // The caller's own transfer, judged as the libraries judge theirs.
        const std::uint32_t t = timeout();
        int moved = 0;
        o.rc = libusb_bulk_transfer(device_.handle(), orv::EP_COMMAND_OUT, commands.data(),
                                    static_cast<int>(used), &moved, t);
        if (o.rc == 0 && moved != static_cast<int>(used)) {
            o.rc = TPW_ERROR_USBTRANS_ERR;
        }
        if (o.rc != 0 || !read) {
            return o;
        }
        tdo_ = std::make_unique<Output>(tdo_bytes);
        o.out = tdo_.get();
        o.reads = Reads::jtag_or_spi;
        o.expected = tdo_bytes;
        o.rc = tapwire_readback_tdo(device_.handle(), static_cast<std::int32_t>(8 * tdo_bytes), o.out->data(),
                                    t);
        return o;
    }

    void spi_config()
    {
        spi_.clock_freq = 1 + in_.u16() % 60000;
        spi_.bit_order = in_.byte() % 2;
        spi_.clock_polarity = in_.byte() % 2;
        spi_.cs_polarity = in_.byte() % 2;
        spi_.addr_bytes = static_cast<std::uint8_t>(in_.byte() % 5);
        spi_.cmd_enable = static_cast<std::uint8_t>(in_.byte() % 2);
    }

    // Write-only, full duplex, read-only or clocks only.
    Outcome spi_bytes()
    {
        const std::uint8_t kind = in_.byte() % 4;
        const std::uint32_t len = in_.u16() % 600;
        const std::uint32_t dummy = in_.byte() % 20;
        const std::uint32_t addr = in_.u32();
        const std::uint8_t cmd = in_.byte();
        const std::vector<std::uint8_t> write = bytes_from(in_, len);
        const bool writes = kind == 0 || kind == 1;
        const bool reads = kind == 1 || kind == 2;
        Outcome o;
        if (reads) {
            read_ = std::make_unique<Output>(len);
            o.out = read_.get();
            o.reads = Reads::jtag_or_spi;
            o.expected = len;
        }
        o.rc = lumo_spi_read_write_bytes(device_.handle(), len, writes ? write.data() : nullptr,
                                         reads ? o.out->data() : nullptr, addr, cmd, dummy, &spi_, timeout());
        return o;
    }

    Outcome spi_bits()
    {
        const std::uint32_t bits = in_.u16() % (LUMO_SPI_MAX_BITS + 2);
        const bool duplex = (in_.byte() & 1) != 0;
        const std::uint32_t addr = in_.u32();
        const std::uint8_t cmd = in_.byte();
        const std::vector<std::uint8_t> write = bytes_from(in_, bytes_for(bits));
        Outcome o;
        read_ = std::make_unique<Output>(bytes_for(bits));
        o.out = read_.get();
        o.reads = Reads::jtag_or_spi;
        o.expected = bytes_for(bits);
        o.rc = lumo_spi_read_write_bits(device_.handle(), bits, duplex ? write.data() : nullptr,
                                        o.out->data(), addr, cmd, in_.byte() % 9, &spi_, timeout());
        return o;
    }

    // tapwire_readback_tdo or lumo_spi_read_miso on their own: collecting
    // what nothing produced runs into the poll limit. Not with timeout 0,
    // where that waits for ever by definition.
    Outcome collect_alone()
    {
        const std::uint32_t len = 1 + in_.byte() % 64;
        const bool jtag = (in_.byte() & 1) != 0;
        Outcome o;
        if (TIMEOUT_ZERO) {
            return o;
        }
        read_ = std::make_unique<Output>(len);
        o.out = read_.get();
        o.reads = Reads::jtag_or_spi;
        o.expected = len;
        o.rc = jtag ? tapwire_readback_tdo(device_.handle(), static_cast<std::int32_t>(8 * len),
                                           o.out->data(), timeout())
                    : lumo_spi_read_miso(device_.handle(), len, o.out->data(), timeout());
        return o;
    }

    std::uint32_t iic_address(std::int32_t& bits)
    {
        static constexpr std::uint32_t KNOWN[] = {0x50, 0x68, 0x2A5, 0x51, 0x00};
        const std::uint8_t pick = in_.byte();
        bits = (pick & 0x80) != 0 ? 10 : 7;
        return (pick & 0x40) != 0 ? in_.u16() % 0x400 : KNOWN[pick % 5];
    }

    Outcome iic_write()
    {
        std::int32_t bits = 7;
        const std::uint32_t addr = iic_address(bits);
        std::uint32_t len = in_.byte() % 40;
        if ((in_.byte() & 15) == 0) {
            len = in_.u16() % 600;
        }
        const std::vector<std::uint8_t> write = bytes_from(in_, std::max<std::uint32_t>(len, 1));
        Outcome o;
        o.reads = Reads::i2c_write;
        o.expected = 1 + bytes_for(len);
        device_.set_commands_always_arrive(TIMEOUT_ZERO);
        o.rc = lumo_iic_send_bytes(device_.handle(), addr, bits, write.data(), len, timeout());
        return o;
    }

    Outcome iic_read()
    {
        std::int32_t bits = 7;
        const std::uint32_t addr = iic_address(bits);
        std::uint32_t len = in_.byte() % 40;
        if ((in_.byte() & 15) == 0) {
            len = in_.u16() % 520;
        }
        Outcome o;
        read_ = std::make_unique<Output>(len);
        o.out = read_.get();
        o.reads = Reads::i2c_read;
        o.expected = len <= LUMO_IIC_MAX_READ_BYTES ? 1 + len : 0;
        device_.set_commands_always_arrive(TIMEOUT_ZERO);
        o.rc = lumo_iic_read_bytes(device_.handle(), addr, bits, o.out->data(), len, timeout());
        return o;
    }

    InputReader& in_;
    FaultyEmulator& device_;
    unsigned faults_ = 0;
    std::uint32_t operation_ = 0;
    std::int32_t state_ = TPW_TAP_TEST_LOGIC_RESET;
    lumo_spi_config spi_{6000, 0, 0, 0, 0, 3, 1};
    std::unique_ptr<Output> tdo_;
    std::unique_ptr<Output> read_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The DR scan prints a diagnostic when its command transfer fails.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    InputReader in({data, size});
    orv::emu::AdapterConfig config;
    config.latency_polls = in.byte() % 4;
    orv::emu::BoardConfig board = orv::emu::default_board_config();
    board.spi_flash->size = 64 * 1024; // the flash wraps its addresses; a small one is cheap to build
    FaultyEmulator device(orv::emu::make_board(board, config));
    device.set_poll_limit(HANG_POLLS);
    Session(in, device).run();
    return 0;
}
