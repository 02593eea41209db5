// The flash's writes and erases under every fault the adapter can make, at
// every transfer of the operation: the emulated adapter in-process (faults
// as the virtual USB device makes them), a 128 KiB flash with 4 KiB and
// 64 KiB erases whose content around the range is not erased.
//
// After each failed operation, with the fault gone:
//   - no byte outside the range differs from what it held, unless the
//     recovery file holds its old value and the message names that file;
//   - the first read (on the same handle, at once) fails or returns what the
//     flash holds, never the 0xFF of a part still busy;
//   - the same write run again at once succeeds (after the recovery file was
//     written back, as its message says).
//
// The suite runs every twentieth position; ORV_FLASH_FAULTS_EVERY=1 runs them
// all and prints the figures (runs, lost bytes, wrong reads).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <orv_devices.h>

#include "lib/wire/wire.hpp"
#include "sim/emulator/adapter.hpp"
#include "tests/fuzz/faulty_emulator.hpp"

namespace {

using orv::fuzz::FaultyEmulator;
using orv::fuzz::TransferFault;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t FLASH_SIZE = orv::fuzz::FAULT_FLASH_SIZE;
constexpr std::uint32_t TIMEOUT_MS = 5;

// The flash of the reports, busy for one status read after each program or
// erase.
orv::emu::BoardConfig board()
{
    return orv::fuzz::fault_flash_board(1, 1);
}

// What the flash holds before each run: no byte erased, none alike nearby.
Bytes old_content()
{
    Bytes b(FLASH_SIZE);
    for (std::size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8) * 7 + 1) % 255); // never 0xFF
    }
    return b;
}

enum class Operation { write, erase };

struct Shape {
    const char* name;
    Operation operation;
    std::uint64_t addr;
    std::uint64_t len;
};

// The write of the reports (768 bytes inside one 4 KiB block), one across
// the boundary of two blocks, and an erase of two sectors.
constexpr Shape SHAPES[] = {
    {"write_768", Operation::write, 0x10100, 768},
    {"write_across", Operation::write, 0x10F80, 512},
    {"erase_8k", Operation::erase, 0x10000, 8192},
};

// Names the case in test listings instead of a byte dump.
void PrintTo(const Shape& shape, std::ostream* os)
{
    *os << shape.name;
}

struct FaultKind {
    const char* name;
    TransferFault fault;
};

constexpr FaultKind KINDS[] = {
    {"unplugged", TransferFault::no_device},   {"stall", TransferFault::stall},
    {"timeout", TransferFault::timed_out},     {"short", TransferFault::short_move},
    {"never-fill", TransferFault::never_fill},
};

constexpr unsigned char ENDPOINTS[] = {orv::EP_COMMAND_OUT, orv::EP_READBACK_COUNT_IN,
                                       orv::EP_READBACK_DATA_IN};

Bytes image_for(const Shape& shape)
{
    Bytes image(shape.len);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return image;
}

Bytes read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// One run: a fresh adapter and flash, the fault, the operation, the checks.
struct Run {
    explicit Run(const std::string& recovery_dir)
        : device(orv::emu::make_board(board())), old(old_content()), dir(recovery_dir)
    {
        std::copy(old.begin(), old.end(), device.model().flash().memory().begin());
        orvdev_session_options options{};
        orvdev_session_options_init(&options);
        options.timeout_ms = TIMEOUT_MS;
        EXPECT_EQ(orvdev_session_open(device.handle(), &options, &session, &report), 0) << report.message;
        EXPECT_EQ(orvdev_flash_open(session, nullptr, &flash, &report), 0) << report.message;
    }
    ~Run()
    {
        orvdev_flash_close(flash);
        orvdev_session_close(session);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    std::int32_t operate(const Shape& shape, const Bytes& image, orvdev_write_report* result = nullptr)
    {
        if (shape.operation == Operation::erase) {
            return orvdev_flash_erase(flash, shape.addr, shape.len, 0, nullptr, &report);
        }
        orvdev_write_options options{};
        orvdev_write_options_init(&options);
        options.recovery_dir = dir.c_str();
        return orvdev_flash_write(flash, shape.addr, image.data(), image.size(), &options, result, &report);
    }

    [[nodiscard]] std::uint64_t transfers() const { return device.transfers(); }

    FaultyEmulator device;
    Bytes old;
    std::string dir;
    orvdev_session* session = nullptr;
    orvdev_flash* flash = nullptr;
    orvdev_report report{};
};

struct Figures {
    std::uint64_t runs = 0;
    std::uint64_t failed = 0;
    std::uint64_t recovery_files = 0;
    std::uint64_t lost_bytes = 0;
    std::uint64_t wrong_reads = 0;
    std::uint64_t failed_retries = 0;
};

struct Case {
    const Shape& shape;
    const FaultKind& kind;
    unsigned char endpoint;
    std::uint64_t after;
    int count; // 1, or -1: for good
    bool read_first;
};

std::string describe(const Case& c)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s %s:0x%02x:%llu:%d, %s first", c.shape.name, c.kind.name, c.endpoint,
                  static_cast<unsigned long long>(c.after), c.count, c.read_first ? "read" : "retry");
    return text;
}

// The transfers the operation makes on each endpoint without a fault.
std::array<std::uint64_t, 3> clean_transfers(const Shape& shape, const std::string& dir)
{
    Run run(dir);
    std::array<std::uint64_t, 3> before{};
    for (std::size_t e = 0; e < 3; ++e) {
        before[e] = run.device.transfers_on(ENDPOINTS[e]);
    }
    EXPECT_EQ(run.operate(shape, image_for(shape)), 0) << run.report.message;
    std::array<std::uint64_t, 3> on{};
    for (std::size_t e = 0; e < 3; ++e) {
        on[e] = run.device.transfers_on(ENDPOINTS[e]) - before[e];
    }
    return on;
}

void check_case(const Case& c, Figures& figures)
{
    SCOPED_TRACE(describe(c));
    const std::string dir = ::testing::TempDir();
    Run run(dir);
    const Bytes image = image_for(c.shape);
    const Shape& s = c.shape;
    run.device.schedule_on(c.endpoint, c.after, c.kind.fault, c.count);
    orvdev_write_report result{};
    const std::int32_t rc = run.operate(s, image, &result);
    run.device.clear_lasting();
    ++figures.runs;
    std::span<const std::uint8_t> memory = run.device.model().flash().memory();
    const std::string recovery = run.report.recovery_file;
    Bytes saved;
    if (!recovery.empty()) {
        ++figures.recovery_files;
        saved = read_file(recovery);
        EXPECT_EQ(saved.size(), result.range_len);
        EXPECT_NE(std::string(run.report.message).find(recovery), std::string::npos) << run.report.message;
    }
    if (rc == 0) {
        EXPECT_STREQ(run.report.message, "");
    } else {
        ++figures.failed;
    }
    // No byte outside the range lost.
    std::uint64_t lost = 0;
    for (std::uint64_t a = 0; a < FLASH_SIZE; ++a) {
        if ((a >= s.addr && a < s.addr + s.len) || memory[a] == run.old[a]) {
            continue;
        }
        const bool kept = a >= result.range_addr && a - result.range_addr < saved.size() &&
                          saved[a - result.range_addr] == run.old[a];
        lost += kept ? 0 : 1;
    }
    EXPECT_EQ(lost, 0u) << run.report.message;
    figures.lost_bytes += lost;

    auto read_back = [&] {
        // Where the operation worked and a block on either side.
        const std::uint64_t from = (s.addr & ~std::uint64_t{0xFFF}) - 0x1000;
        const std::uint64_t to = ((s.addr + s.len + 0xFFF) & ~std::uint64_t{0xFFF}) + 0x1000;
        Bytes back(to - from);
        if (orvdev_flash_read(run.flash, from, back.data(), back.size(), &run.report) != 0) {
            return;
        }
        std::uint64_t wrong = 0;
        for (std::size_t i = 0; i < back.size(); ++i) {
            wrong += back[i] != memory[from + i] ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0u) << "a read after the failure";
        figures.wrong_reads += wrong;
    };
    auto retry = [&] {
        if (!saved.empty()) {
            // The restore the message gives: the file written at the range.
            ASSERT_EQ(orvdev_flash_write(run.flash, result.range_addr, saved.data(), saved.size(), nullptr,
                                         nullptr, &run.report),
                      0)
                << run.report.message;
            std::remove(recovery.c_str());
        }
        const std::int32_t again = run.operate(s, image);
        figures.failed_retries += again != 0 ? 1 : 0;
        EXPECT_EQ(again, 0) << "the run after the failure: " << run.report.message;
    };
    if (rc == 0) {
        read_back();
        return;
    }
    if (c.read_first) {
        read_back();
        retry();
    } else {
        retry();
        read_back();
    }
    // After the run again the flash holds the image and its old neighbours.
    Bytes wanted = run.old;
    if (s.operation == Operation::write) {
        std::copy(image.begin(), image.end(), wanted.begin() + static_cast<std::ptrdiff_t>(s.addr));
    } else {
        std::fill_n(wanted.begin() + static_cast<std::ptrdiff_t>(s.addr), s.len, 0xFF);
    }
    EXPECT_TRUE(std::equal(wanted.begin(), wanted.end(), memory.begin()));
}

class FlashFaults : public ::testing::TestWithParam<Shape> {};

TEST_P(FlashFaults, NoByteIsLostAndNoReadIsWrongWhateverFailsWhere)
{
    const char* every = std::getenv("ORV_FLASH_FAULTS_EVERY");
    const std::uint64_t stride =
        std::max<std::uint64_t>(1, every != nullptr ? std::strtoull(every, nullptr, 10) : 20);
    const Shape& shape = GetParam();
    Figures figures;
    std::uint64_t variant = 0;
    const std::array<std::uint64_t, 3> on = clean_transfers(shape, ::testing::TempDir());
    for (const FaultKind& kind : KINDS) {
        for (std::size_t e = 0; e < 3; ++e) {
            if (kind.fault == TransferFault::never_fill && ENDPOINTS[e] != orv::EP_READBACK_COUNT_IN) {
                continue;
            }
            for (int count : {1, -1}) {
                // Each combination starts at another position, so that together
                // they reach most of them.
                for (std::uint64_t after = variant++ % stride; after < on[e]; after += stride) {
                    check_case(Case{shape, kind, ENDPOINTS[e], after, count, (after / stride) % 2 == 0},
                               figures);
                    if (HasFailure()) {
                        return;
                    }
                }
            }
        }
    }
    std::printf("%s: %llu runs (%llu failed, %llu with a recovery file): %llu bytes lost, %llu wrong reads, "
                "%llu runs again that failed\n",
                shape.name, static_cast<unsigned long long>(figures.runs),
                static_cast<unsigned long long>(figures.failed),
                static_cast<unsigned long long>(figures.recovery_files),
                static_cast<unsigned long long>(figures.lost_bytes),
                static_cast<unsigned long long>(figures.wrong_reads),
                static_cast<unsigned long long>(figures.failed_retries));
}

INSTANTIATE_TEST_SUITE_P(Shapes, FlashFaults, ::testing::ValuesIn(SHAPES),
                         [](const auto& shape) { return std::string(shape.param.name); });

} // namespace
