// Fuzz target: the device library's flash writes, erases and reads, one after
// another on one handle, against the emulated adapter with faults at chosen
// transfers (once, or on one endpoint for good), as a caller that goes on
// after each failure would meet them.
//
// Input: one byte for the flash's busy times and the read-back's lag, then
// records: an operation byte, a fault byte (bit 7: a fault at one of the
// next 256 transfers, its kind after it; bit 6: a fault on one endpoint
// after some of its transfers, once or until the operation ends), then the
// operation's arguments.
//
// Checked after every operation, beyond memory errors and undefined
// behaviour:
//   - no byte outside the range written or erased changes, unless the
//     recovery file holds its old value and the message names that file;
//   - a write or erase that succeeded left the range as asked;
//   - a read either fails or returns what the flash holds.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <orv_devices.h>

#include "sim/emulator/adapter.hpp"
#include "tests/fuzz/faulty_emulator.hpp"
#include "tests/fuzz/input_reader.hpp"

namespace {

using orv::fuzz::FaultyEmulator;
using orv::fuzz::InputReader;
using orv::fuzz::TransferFault;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t FLASH_SIZE = orv::fuzz::FAULT_FLASH_SIZE;
constexpr std::uint64_t SECTOR = 4096;
constexpr unsigned MAX_OPERATIONS = 12;
constexpr std::uint32_t TIMEOUT_MS = 2;
constexpr unsigned char ENDPOINTS[] = {orv::EP_COMMAND_OUT, orv::EP_READBACK_COUNT_IN,
                                       orv::EP_READBACK_DATA_IN};

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Where recovery files go: a directory of this process's own.
std::string& recovery_dir()
{
    static std::string dir;
    return dir;
}

Bytes read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class Run {
public:
    Run(InputReader& in, FaultyEmulator& device) : in_(in), device_(device) {}

    void run()
    {
        orvdev_session_options options{};
        orvdev_session_options_init(&options);
        options.timeout_ms = TIMEOUT_MS;
        require(orvdev_session_open(device_.handle(), &options, &session_, &report_) == 0);
        orvdev_session_set_serial(session_, "FUZZ");
        require(orvdev_flash_open(session_, nullptr, &flash_, &report_) == 0);
        for (unsigned n = 0; n < MAX_OPERATIONS && !in_.empty(); ++n) {
            step();
        }
        orvdev_flash_close(flash_);
        orvdev_session_close(session_);
    }

private:
    std::span<std::uint8_t> memory() { return device_.model().flash().memory(); }

    void schedule_fault()
    {
        const std::uint8_t plan = in_.byte();
        const auto kind = [&](bool lasting) {
            // A count that lies for good is beyond what any reader can see
            // through: lasting faults fail transfers or hold the count back.
            const int kinds = lasting ? 5 : static_cast<int>(TransferFault::count) - 1;
            return static_cast<TransferFault>(1 + in_.byte() % kinds);
        };
        if ((plan & 0x80) != 0) {
            const std::uint64_t at = device_.transfers() + in_.byte();
            device_.schedule(at, kind(false), in_.byte());
        }
        if ((plan & 0x40) != 0) {
            const unsigned char endpoint = ENDPOINTS[in_.byte() % 3];
            const std::uint64_t after = in_.u16() % 512;
            const TransferFault fault = kind(true);
            device_.schedule_on(endpoint, after, fault, (plan & 1) != 0 ? -1 : 1);
        }
    }

    void step()
    {
        const std::uint8_t op = in_.byte();
        schedule_fault();
        const Bytes before(memory().begin(), memory().end());
        switch (op % 4) {
        case 0:
        case 1:
            write(before);
            break;
        case 2:
            erase(before);
            break;
        default:
            read();
            break;
        }
        device_.clear_lasting();
    }

    // Every byte outside [addr, addr + len) is as before, or kept in the
    // recovery file the message names (the blocks from range_addr).
    void check_outside(const Bytes& before, std::uint64_t addr, std::uint64_t len, std::uint64_t range_addr)
    {
        const std::string file = report_.recovery_file;
        Bytes saved;
        if (!file.empty()) {
            require(std::string(report_.message).find(file) != std::string::npos);
            saved = read_file(file);
            std::filesystem::remove(file);
        }
        const std::span<const std::uint8_t> now = memory();
        for (std::uint64_t a = 0; a < FLASH_SIZE; ++a) {
            if ((a >= addr && a < addr + len) || now[a] == before[a]) {
                continue;
            }
            require(a >= range_addr && a - range_addr < saved.size() && saved[a - range_addr] == before[a]);
        }
    }

    void write(const Bytes& before)
    {
        const std::uint64_t addr = in_.u32() % FLASH_SIZE;
        const std::uint64_t len = std::min<std::uint64_t>(1 + in_.u16() % 4096, FLASH_SIZE - addr);
        const std::uint8_t seed = in_.byte();
        const std::uint8_t style = in_.byte() % 3;
        Bytes data(len);
        for (std::size_t i = 0; i < data.size(); ++i) {
            // Bytes that need an erase, bytes that need none, or what is there.
            data[i] = style == 0   ? static_cast<std::uint8_t>(seed + i * 13)
                      : style == 1 ? static_cast<std::uint8_t>(before[addr + i] & seed)
                                   : before[addr + i];
        }
        orvdev_write_options options{};
        orvdev_write_options_init(&options);
        options.recovery_dir = recovery_dir().c_str();
        orvdev_write_report result{};
        const std::int32_t rc =
            orvdev_flash_write(flash_, addr, data.data(), len, &options, &result, &report_);
        check_outside(before, addr, len, result.range_addr);
        if (rc == 0) {
            require(
                std::equal(data.begin(), data.end(), memory().begin() + static_cast<std::ptrdiff_t>(addr)));
        }
    }

    void erase(const Bytes& before)
    {
        const std::uint64_t addr = (in_.byte() % (FLASH_SIZE / SECTOR)) * SECTOR;
        const std::uint64_t len = std::min<std::uint64_t>(SECTOR * (1 + in_.byte() % 4), FLASH_SIZE - addr);
        const std::int32_t rc = orvdev_flash_erase(flash_, addr, len, 0, nullptr, &report_);
        require(report_.recovery_file[0] == '\0');
        check_outside(before, addr, len, 0);
        if (rc == 0) {
            require(std::all_of(memory().begin() + static_cast<std::ptrdiff_t>(addr),
                                memory().begin() + static_cast<std::ptrdiff_t>(addr + len),
                                [](std::uint8_t b) { return b == 0xFF; }));
        }
    }

    void read()
    {
        const std::uint64_t addr = in_.u32() % FLASH_SIZE;
        const std::uint64_t len = std::min<std::uint64_t>(1 + in_.u16() % 8192, FLASH_SIZE - addr);
        Bytes back(len);
        if (orvdev_flash_read(flash_, addr, back.data(), len, &report_) == 0) {
            require(
                std::equal(back.begin(), back.end(), memory().begin() + static_cast<std::ptrdiff_t>(addr)));
        }
    }

    InputReader& in_;
    FaultyEmulator& device_;
    orvdev_session* session_ = nullptr;
    orvdev_flash* flash_ = nullptr;
    orvdev_report report_{};
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string dir = (std::filesystem::temp_directory_path() / "fuzz_flash_faults.XXXXXX").string();
    require(::mkdtemp(dir.data()) != nullptr);
    recovery_dir() = dir;
    // Removed again at exit, with whatever a crash did not leave behind.
    std::atexit([] { std::filesystem::remove_all(recovery_dir()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    InputReader in({data, size});
    const std::uint8_t config = in.byte();
    const orv::emu::BoardConfig board = orv::fuzz::fault_flash_board(config & 3, (config >> 2) & 3);
    orv::emu::AdapterConfig adapter;
    adapter.latency_polls = (config >> 4) & 3;
    FaultyEmulator device(orv::emu::make_board(board, adapter));
    // Old content: every eighth page erased, the rest unlike its neighbours.
    std::span<std::uint8_t> memory = device.model().flash().memory();
    for (std::size_t i = 0; i < memory.size(); ++i) {
        memory[i] = (i / 256) % 8 == 3 ? 0xFF : static_cast<std::uint8_t>((i * 131 + (i >> 8)) % 255);
    }
    Run(in, device).run();
    return 0;
}
