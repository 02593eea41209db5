// The device library through the real libusb and the virtual USB device:
// the session's read-back discipline, the flash (identity, overrides, the
// smart write and what a failed one puts back, stopping from the progress
// callback), the chain, and I2C (registers with two address bytes, EEPROM
// page writes, combined messages, a dead adapter).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <orv_devices.h>
#include <orv_tapwire.h>

#include "tests/e2e/e2e_support.hpp"

namespace {

using orv::e2e::Bytes;
using orv::sim::FaultKind;

// Every log line the session wrote.
void collect_log(void* user, int32_t /*level*/, const char* message)
{
    static_cast<std::vector<std::string>*>(user)->push_back(message);
}

class Devices : public orv::e2e::VirtualAdapterTest {
protected:
    void SetUp() override
    {
        VirtualAdapterTest::SetUp();
        if (!HasFatalFailure()) {
            session = open(handle());
            ASSERT_NE(session, nullptr);
        }
    }
    void TearDown() override
    {
        orvdev_session_close(session);
        VirtualAdapterTest::TearDown();
    }

    orvdev_session* open(libusb_device_handle* h, std::uint32_t timeout_ms = ORVDEV_DEFAULT_TIMEOUT_MS)
    {
        orvdev_session_options options{};
        orvdev_session_options_init(&options);
        options.timeout_ms = timeout_ms;
        options.log = collect_log;
        options.log_user = &log;
        orvdev_session* s = nullptr;
        EXPECT_EQ(orvdev_session_open(h, &options, &s, &report), 0) << report.message;
        return s;
    }

    orvdev_flash* flash(const char* part = nullptr, std::uint64_t size = 0)
    {
        orvdev_flash_options options{};
        orvdev_flash_options_init(&options);
        options.part = part;
        options.size = size;
        orvdev_flash* f = nullptr;
        EXPECT_EQ(orvdev_flash_open(session, &options, &f, &report), 0) << report.message;
        return f;
    }

    orvdev_i2c* i2c()
    {
        orvdev_i2c* bus = nullptr;
        EXPECT_EQ(orvdev_i2c_open(session, nullptr, &bus, &report), 0) << report.message;
        return bus;
    }

    std::vector<std::uint32_t> idcodes()
    {
        orvdev_jtag* jtag = nullptr;
        EXPECT_EQ(orvdev_jtag_open(session, nullptr, &jtag, &report), 0) << report.message;
        orvdev_chain chain{};
        EXPECT_EQ(orvdev_chain_scan(jtag, &chain, &report), 0) << report.message;
        orvdev_jtag_close(jtag);
        std::vector<std::uint32_t> ids;
        for (std::uint32_t i = 0; i < chain.count; ++i) {
            ids.push_back(chain.taps[i].idcode);
        }
        return ids;
    }

    std::span<std::uint8_t> flash_memory() { return model().flash().memory(); }

    orvdev_session* session = nullptr;
    orvdev_report report{};
    std::vector<std::string> log;
};

const std::vector<std::uint32_t> ZYNQ = {0x4BA00477, 0x03727093};

TEST_F(Devices, SessionRefusesNoTimeLimitAndEmptiesStaleReadBackAtOpen)
{
    orvdev_session_options options{};
    orvdev_session_options_init(&options);
    options.timeout_ms = 0;
    orvdev_session* s = nullptr;
    model(1).reset_counts();
    EXPECT_EQ(orvdev_session_open(handle(1), &options, &s, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(model(1).counts().polls + model(1).counts().out, 0u);

    // A DR scan built by hand and sent without collecting its read-back, as
    // a program that died would leave it.
    std::uint8_t tdi[8] = {};
    std::uint8_t stream[64];
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    std::int32_t capacity = sizeof stream;
    std::int32_t length = 0;
    ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, 64, tdi, 0, 1, stream, &capacity, &length), 0);
    int moved = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle(1), orv::EP_COMMAND_OUT, stream, length, &moved, 1000), 0);
    orvdev_session* second = open(handle(1));
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0],
              "threw away 8 bytes of read-back that the adapter still held (left by an earlier failure)");
    orvdev_session_close(second);
}

TEST_F(Devices, AFailedExchangeLeavesNoStaleDataForTheNextOperation)
{
    // Every way a read-back can go wrong halfway, once; the scan after it
    // must read the chain as it is.
    const struct {
        FaultKind kind;
        unsigned char endpoint;
    } faults[] = {{FaultKind::stall, orv::EP_READBACK_DATA_IN},
                  {FaultKind::short_transfer, orv::EP_READBACK_DATA_IN},
                  {FaultKind::overflow, orv::EP_READBACK_DATA_IN},
                  {FaultKind::stall, orv::EP_READBACK_COUNT_IN}};
    for (const auto& f : faults) {
        usb_->set_fault(0, orv::sim::Fault{f.kind, f.endpoint, 1, 1});
        orvdev_jtag* jtag = nullptr;
        ASSERT_EQ(orvdev_jtag_open(session, nullptr, &jtag, &report), 0);
        orvdev_chain chain{};
        const std::int32_t rc = orvdev_chain_scan(jtag, &chain, &report);
        orvdev_jtag_close(jtag);
        EXPECT_NE(rc, 0) << static_cast<int>(f.kind);
        EXPECT_NE(report.bus_code, 0);
        clear_fault();
        EXPECT_EQ(idcodes(), ZYNQ) << static_cast<int>(f.kind);
    }
}

TEST_F(Devices, AFaultThatOutlastsThePurgeLeavesNoStaleDataEither)
{
    // The adapter still failing when the purge after the failure runs, or
    // holding back its count: the bytes stay, and are thrown away before the
    // next operation, the library's or the caller's own.
    std::span<std::uint8_t> memory = flash_memory();
    for (std::size_t i = 0; i < 1024; ++i) {
        memory[i] = static_cast<std::uint8_t>(i);
        memory[0x1000 + i] = static_cast<std::uint8_t>(0xA5 ^ i);
    }
    const Bytes wanted(memory.begin() + 0x1000, memory.begin() + 0x1400);
    // Transfers of 20 ms: a count held back costs 10 x 20 polls, not 10000.
    orvdev_session_close(session);
    session = open(handle(), 20);
    ASSERT_NE(session, nullptr);
    orvdev_flash* f = flash();
    // What the chain answers to these bits when nothing is left over (a
    // scan after reset, then the one to compare with).
    std::uint8_t tdi[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t tdo[8] = {};
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    ASSERT_EQ(tapwire_reset(handle(), &state, 20), 0);
    ASSERT_EQ(tapwire_shift_dr(handle(), &state, 64, tdi, tdo, 0, 20), 0);
    ASSERT_EQ(tapwire_shift_dr(handle(), &state, 64, tdi, tdo, 0, 20), 0);
    const Bytes chain_answer(tdo, tdo + 8);
    const struct {
        FaultKind kind;
        unsigned char endpoint;
    } faults[] = {{FaultKind::stall, orv::EP_READBACK_DATA_IN},
                  {FaultKind::unplugged, orv::EP_READBACK_DATA_IN},
                  {FaultKind::never_fill, orv::EP_READBACK_COUNT_IN}};
    for (const auto& fault_case : faults) {
        Bytes back(1024);
        fault(fault_case.kind, fault_case.endpoint);
        EXPECT_NE(orvdev_flash_read(f, 0, back.data(), back.size(), &report), 0);
        clear_fault();
        ASSERT_EQ(orvdev_flash_read(f, 0x1000, back.data(), back.size(), &report), 0) << report.message;
        EXPECT_EQ(back, wanted) << static_cast<int>(fault_case.kind);

        // The same through the bus library, as a caller's own work.
        fault(fault_case.kind, fault_case.endpoint);
        EXPECT_NE(tapwire_shift_dr(handle(), &state, 64, tdi, tdo, 0, 20), 0);
        orvdev_session_recover(session);
        clear_fault();
        ASSERT_EQ(orvdev_session_claim(session, &report), 0) << report.message;
        ASSERT_EQ(tapwire_shift_dr(handle(), &state, 64, tdi, tdo, 0, 20), 0);
        EXPECT_EQ(Bytes(tdo, tdo + 8), chain_answer) << static_cast<int>(fault_case.kind);
    }
    orvdev_flash_close(f);
}

TEST_F(Devices, FlashIdentityAndTheCallersOverrides)
{
    const struct {
        const char* part;
        std::uint64_t size;
        std::int32_t rc;
        std::uint64_t want_size;
        std::int32_t source;
        const char* name;
    } cases[] = {
        {nullptr, 0, 0, 4u << 20, ORVDEV_SOURCE_SFDP, "Winbond W25Q32"},
        {"w25q64", 0, 0, 8u << 20, ORVDEV_SOURCE_OVERRIDE, "Winbond W25Q64"},
        {"Macronix MX25L12835F", 0, 0, 16u << 20, ORVDEV_SOURCE_OVERRIDE, "Macronix MX25L12835F"},
        {nullptr, 1u << 20, 0, 1u << 20, ORVDEV_SOURCE_SFDP, "Winbond W25Q32"},
        {"W25Q99", 0, ORVDEV_ERROR_UNKNOWN_PART, 0, 0, ""},
        {nullptr, 3000, ORVDEV_ERROR_INVALID_ARGUMENT, 0, 0, ""},
    };
    for (const auto& c : cases) {
        model().reset_counts();
        orvdev_flash_options options{};
        orvdev_flash_options_init(&options);
        options.part = c.part;
        options.size = c.size;
        orvdev_flash* f = nullptr;
        EXPECT_EQ(orvdev_flash_open(session, &options, &f, &report), c.rc) << report.message;
        if (c.rc != 0) {
            EXPECT_EQ(f, nullptr);
            EXPECT_EQ(model().counts().out, 0u) << "refused before anything is sent";
            continue;
        }
        orvdev_flash_info info{};
        orvdev_flash_get_info(f, &info);
        EXPECT_EQ(info.size, c.want_size) << report.message;
        EXPECT_EQ(info.source, c.source);
        EXPECT_STREQ(info.part, c.name);
        EXPECT_EQ(Bytes(info.jedec_id, info.jedec_id + 3), (Bytes{0xEF, 0x40, 0x16}));
        EXPECT_STREQ(info.vendor, "NEXCOM");
        EXPECT_STREQ(info.maker, "Winbond");
        orvdev_flash_close(f);
    }
}

TEST_F(Devices, SmartWriteReportsWhatItDidAndDoesNothingTheSecondTime)
{
    orvdev_flash* f = flash();
    Bytes image(5000);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7);
    }
    orvdev_write_report r{};
    ASSERT_EQ(orvdev_flash_write(f, 0x1F00, image.data(), image.size(), nullptr, &r, &report), 0)
        << report.message;
    EXPECT_EQ(r.range_addr, 0x1000u);
    EXPECT_EQ(r.range_len, 0x3000u); // the three 4 KiB blocks it touches
    EXPECT_EQ(r.erased_count, 0u);   // an erased chip takes the bytes without an erase
    EXPECT_EQ(r.pages_programmed, 20u);
    EXPECT_EQ(r.verified_bytes, image.size()); // pages program only the bytes that change
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash_memory().begin() + 0x1F00));

    const unsigned programs = model().flash().programs();
    ASSERT_EQ(orvdev_flash_write(f, 0x1F00, image.data(), image.size(), nullptr, &r, &report), 0);
    EXPECT_EQ(r.unchanged_bytes, image.size());
    EXPECT_EQ(r.erased_count + r.chip_erased, 0u);
    EXPECT_EQ(r.pages_programmed, 0u);
    EXPECT_EQ(model().flash().programs(), programs);

    image[100] ^= 0x01;
    orvdev_mismatch m{};
    EXPECT_EQ(orvdev_flash_verify(f, 0x1F00, image.data(), image.size(), &m, &report), ORVDEV_ERROR_MISMATCH);
    EXPECT_EQ(m.addr, 0x1F00u + 100);
    EXPECT_EQ(m.count, 1u);
    EXPECT_EQ(orvdev_flash_write(f, 0x3FF000, image.data(), image.size(), nullptr, &r, &report),
              ORVDEV_ERROR_OUT_OF_RANGE);
    orvdev_flash_close(f);
}

// Stops the operation when a stage has gone past `after` units.
struct StopAfter {
    std::uint64_t after;
    std::string stage;
    static std::int32_t callback(void* user, const char* stage, std::uint64_t done, std::uint64_t,
                                 std::int32_t)
    {
        auto* self = static_cast<StopAfter*>(user);
        return self->stage == stage && done > self->after ? ORVDEV_STOP : ORVDEV_CONTINUE;
    }
};

TEST_F(Devices, TheProgressCallbackStopsAReadAtTheNextChunkAndSaysHowFar)
{
    orvdev_flash* f = flash();
    StopAfter stop{1024, "read"};
    orvdev_session_set_progress(session, StopAfter::callback, &stop);
    Bytes buffer(64 * 1024);
    EXPECT_EQ(orvdev_flash_read(f, 0, buffer.data(), buffer.size(), &report), ORVDEV_ERROR_STOPPED);
    ASSERT_EQ(report.done_count, 1u);
    EXPECT_STREQ(report.done[0].action, "read");
    EXPECT_EQ(report.done[0].counts[0].done, 1536u); // three chunks of 512
    EXPECT_EQ(report.done[0].counts[0].total, buffer.size());
    orvdev_session_set_progress(session, nullptr, nullptr);
    EXPECT_EQ(orvdev_flash_read(f, 0, buffer.data(), buffer.size(), &report), 0) << "the session goes on";
    orvdev_flash_close(f);
}

// The stages of a write and an erase as the progress callback hears them,
// each with its place among them: "read 1 of 4" ... "verify 4 of 4", and
// fewer once the plan drops a stage with nothing to do.
struct StageLog {
    orvdev_session* session;
    std::vector<std::string> seen;
    static std::int32_t callback(void* user, const char* stage, std::uint64_t done, std::uint64_t,
                                 std::int32_t)
    {
        auto* self = static_cast<StageLog*>(user);
        if (done == 0) {
            std::uint32_t index = 0;
            std::uint32_t count = 0;
            orvdev_session_progress_stage(self->session, &index, &count);
            self->seen.push_back(std::string(stage) + " " + std::to_string(index) + "/" +
                                 std::to_string(count));
        }
        return ORVDEV_CONTINUE;
    }
};

TEST_F(Devices, MultiStageOperationsSayWhichStageRuns)
{
    orvdev_flash* f = flash();
    StageLog heard{session, {}};
    orvdev_session_set_progress(session, StageLog::callback, &heard);
    std::span<std::uint8_t> memory = flash_memory();
    std::fill(memory.begin() + 0x2000, memory.begin() + 0x3000, 0x00); // 0x5A needs an erase over it
    const Bytes image(4096, 0x5A);
    Bytes back(16);
    orvdev_write_report r{};
    orvdev_erase_report e{};
    const struct {
        std::function<std::int32_t()> run;
        std::vector<std::string> stages;
    } cases[] = {
        {[&] { return orvdev_flash_write(f, 0x2000, image.data(), image.size(), nullptr, &r, &report); },
         {"read 1/4", "erase 2/4", "write 3/4", "verify 4/4"}},
        // The same bytes again: nothing to erase or program, which the read
        // tells.
        {[&] { return orvdev_flash_write(f, 0x2000, image.data(), image.size(), nullptr, &r, &report); },
         {"read 1/4", "verify 2/2"}}, // the plan, known after the read, drops two
        {[&] { return orvdev_flash_erase(f, 0x2000, 4096, 0, &e, &report); }, {"erase 1/2", "check 2/2"}},
        {[&] { return orvdev_flash_read(f, 0, back.data(), back.size(), &report); }, {"read 0/0"}},
    };
    for (const auto& c : cases) {
        heard.seen.clear();
        ASSERT_EQ(c.run(), 0) << report.message;
        EXPECT_EQ(heard.seen, c.stages);
    }
    std::uint32_t index = 7;
    std::uint32_t count = 7;
    orvdev_session_progress_stage(session, &index, &count);
    EXPECT_EQ(index + count, 0u) << "nothing runs";
    orvdev_session_set_progress(session, nullptr, nullptr);
    orvdev_flash_close(f);
}

// A write whose programming fails after its erase: what lay beside the
// written bytes in the erased block is put back, or, when that fails too,
// saved to a recovery file.
struct FailPrograms {
    orv::sim::VirtualUsb* usb;
    int count;             // -1: for good
    std::size_t index = 0; // the adapter
    static std::int32_t callback(void* user, const char* stage, std::uint64_t done, std::uint64_t,
                                 std::int32_t)
    {
        auto* self = static_cast<FailPrograms*>(user);
        if (std::string(stage) == "write" && done == 0) {
            self->usb->set_fault(self->index,
                                 orv::sim::Fault{FaultKind::stall, orv::EP_COMMAND_OUT, self->count, 0});
        }
        return ORVDEV_CONTINUE;
    }
};

TEST_F(Devices, AFailedWritePutsBackWhatItErasedOutsideTheRange)
{
    for (int count : {1, -1}) {
        SCOPED_TRACE(count);
        std::span<std::uint8_t> memory = flash_memory();
        for (std::size_t i = 0; i < 4096; ++i) {
            memory[i] = static_cast<std::uint8_t>(i ^ 0x5A);
        }
        const Bytes old(memory.begin(), memory.begin() + 4096);
        orvdev_flash* f = flash();
        FailPrograms fail{usb_.get(), count};
        orvdev_session_set_progress(session, FailPrograms::callback, &fail);
        const std::string dir = ::testing::TempDir();
        orvdev_write_options options{};
        orvdev_write_options_init(&options);
        options.recovery_dir = dir.c_str();
        const Bytes three = {0x01, 0x02, 0x03};
        orvdev_write_report r{};
        EXPECT_EQ(orvdev_flash_write(f, 0x10, three.data(), three.size(), &options, &r, &report),
                  LIBUSB_ERROR_PIPE);
        orvdev_session_set_progress(session, nullptr, nullptr);
        clear_fault();
        EXPECT_EQ(r.erased_count, 1u);
        if (count == 1) {
            // The restore went through: everything but the three bytes is back.
            EXPECT_NE(std::string(report.message).find("programmed back"), std::string::npos)
                << report.message;
            EXPECT_STREQ(report.recovery_file, "");
            for (std::size_t i = 0; i < 4096; ++i) {
                const bool written = i >= 0x10 && i < 0x13;
                EXPECT_EQ(memory[i], written ? 0xFF : old[i]) << i;
            }
        } else {
            ASSERT_STRNE(report.recovery_file, "") << report.message;
            std::ifstream saved(report.recovery_file, std::ios::binary);
            const Bytes content((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
            EXPECT_EQ(content, old);
            EXPECT_NE(std::string(report.message).find(report.recovery_file), std::string::npos);
            std::remove(report.recovery_file);
        }
        orvdev_flash_close(f);
    }
}

// Two adapters whose writes fail for good in the same second, and a second
// failure of the first: three files, each holding its own board's old
// bytes, named for the adapter's serial number and never one over another;
// a recovery directory that takes no file gives way to the home directory.
TEST_F(Devices, RecoveryFilesOfTwoAdaptersNeverMeet)
{
    const std::string dir = ::testing::TempDir() + "devices_recovery";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/home");
    ASSERT_EQ(setenv("HOME", (dir + "/home").c_str(), 1), 0);
    const char* serials[] = {"ORV/0001", "ORV0002"}; // a slash is no path in a file name
    std::vector<std::string> files;
    for (int run = 0; run < 3; ++run) {
        const std::size_t a = run == 2 ? 0 : static_cast<std::size_t>(run);
        SCOPED_TRACE(run);
        std::span<std::uint8_t> memory = model(a).flash().memory();
        for (std::size_t i = 0; i < 4096; ++i) {
            memory[i] =
                static_cast<std::uint8_t>((i * 3 + a + static_cast<std::size_t>(run)) % 255); // never erased
        }
        const Bytes old(memory.begin(), memory.begin() + 4096);
        orvdev_session_options so{};
        orvdev_session_options_init(&so);
        orvdev_session* s = nullptr;
        ASSERT_EQ(orvdev_session_open(handle(a), &so, &s, &report), 0) << report.message;
        orvdev_session_set_serial(s, serials[a]);
        orvdev_flash* f = nullptr;
        ASSERT_EQ(orvdev_flash_open(s, nullptr, &f, &report), 0) << report.message;
        FailPrograms fail{usb_.get(), -1, a};
        orvdev_session_set_progress(s, FailPrograms::callback, &fail);
        orvdev_write_options options{};
        orvdev_write_options_init(&options);
        const std::string missing = dir + "/missing";
        options.recovery_dir = run == 1 ? missing.c_str() : dir.c_str();
        const Bytes three = {0x01, 0x02, 0x03};
        EXPECT_EQ(orvdev_flash_write(f, 0x10, three.data(), three.size(), &options, nullptr, &report),
                  LIBUSB_ERROR_PIPE);
        clear_fault(a);
        const std::string file = report.recovery_file;
        ASSERT_NE(file, "") << report.message;
        const std::string message = report.message;
        EXPECT_NE(message.find(file), std::string::npos) << message;
        EXPECT_NE(
            message.find("4093 bytes outside the range written, between 0x000000 and 0x000fff, could not"),
            std::string::npos)
            << message;
        const std::string name = std::filesystem::path(file).filename();
        EXPECT_EQ(
            name.rfind(a == 0 ? "flash-recovery-ORV_0001-0x000000-" : "flash-recovery-ORV0002-0x000000-", 0),
            0u)
            << name;
        EXPECT_EQ(std::filesystem::path(file).parent_path(), run == 1 ? dir + "/home" : dir);
        if (run == 1) {
            EXPECT_NE(message.find(missing), std::string::npos) << "says why the directory was passed over";
        }
        std::ifstream saved(file, std::ios::binary);
        EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>()), old);
        files.push_back(file);
        orvdev_flash_close(f);
        orvdev_session_close(s);
    }
    EXPECT_NE(files[0], files[2]);
    std::filesystem::remove_all(dir);
}

// A stop from the progress callback ends a write or an erase after the step
// it was told of: the report says where the next one would have started.
TEST_F(Devices, AStopSaysWhereTheFirstStepNotDoneStarts)
{
    orvdev_flash* f = flash();
    std::span<std::uint8_t> memory = flash_memory();
    std::fill(memory.begin() + 0x40000, memory.begin() + 0x50000, 0x00); // the write must erase
    const Bytes image(16 * 1024, 0x5A);
    const struct {
        const char* stage;
        std::uint64_t after; // stop once past this many units
        const char* action;
        std::uint64_t done;
        std::uint64_t stopped_at;
    } cases[] = {
        {"write", 2047, "programmed", 2048, 0x40800}, // 8 pages, as orvtool(1) tells it
        {"verify", 1024, "read back", 1536, 0x40600},
        {"erase", 0, "erased", 1, 0x41000}, // 4 KiB erases one after another
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stage);
        std::fill(memory.begin() + 0x40000, memory.begin() + 0x50000, 0x00);
        StopAfter stop{c.after, c.stage};
        orvdev_session_set_progress(session, StopAfter::callback, &stop);
        orvdev_report r{};
        if (std::string(c.stage) == "erase") {
            EXPECT_EQ(orvdev_flash_erase(f, 0x40000, 0x4000, 0, nullptr, &r), ORVDEV_ERROR_STOPPED);
        } else {
            EXPECT_EQ(orvdev_flash_write(f, 0x40000, image.data(), image.size(), nullptr, nullptr, &r),
                      ORVDEV_ERROR_STOPPED);
        }
        orvdev_session_set_progress(session, nullptr, nullptr);
        const orvdev_done* step = nullptr;
        for (std::uint32_t i = 0; i < r.done_count; ++i) {
            step = std::string(r.done[i].action) == c.action ? &r.done[i] : step;
        }
        ASSERT_NE(step, nullptr) << r.message;
        EXPECT_EQ(step->counts[0].done, c.done);
        ASSERT_EQ(step->has_stopped_at, 1);
        EXPECT_EQ(step->stopped_at, c.stopped_at);
    }
    orvdev_flash_close(f);
}

TEST_F(Devices, ProtectionRangesAreSetAsAskedAndHonoured)
{
    orvdev_flash* f = flash();
    const std::uint64_t size = 4u << 20;
    orvdev_range ranges[ORVDEV_PROTECTABLE_MAX];
    std::uint32_t count = 0;
    ASSERT_EQ(orvdev_flash_protectable(f, ranges, ORVDEV_PROTECTABLE_MAX, &count, &report), 0);
    EXPECT_GT(count, 20u);
    const struct {
        std::uint64_t addr, len;
        std::int32_t rc;
        std::uint8_t status1; // BP, TB and SEC as the part must hold them
        bool cmp;
    } cases[] = {
        {size - 64 * 1024, 64 * 1024, 0, 0x04, false},              // BP 1 at the top
        {0, 4096, 0, 0x64, false},                                  // SEC, TB, BP 1: the bottom sector
        {0, size - 64 * 1024, 0, 0x04, true},                       // CMP: all but the top 64 KiB
        {size - 2 * 1024 * 1024, 2u << 20, 0, 0x18, false},         // BP 6: the top half
        {0x1000, 4096, ORVDEV_ERROR_INVALID_ARGUMENT, 0x18, false}, // nothing protects a sector alone there
        {0, 0, 0, 0x00, false},                                     // nothing protected
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        EXPECT_EQ(orvdev_flash_protect(f, c.addr, c.len, &report), c.rc) << report.message;
        orvdev_flash_status st{};
        ASSERT_EQ(orvdev_flash_read_status(f, &st, &report), 0);
        EXPECT_EQ(st.status1 & 0x7C, c.status1);
        EXPECT_EQ(st.cmp != 0, c.cmp);
        const auto [from, to] = model().flash().protected_range();
        EXPECT_EQ(st.protected_from, from) << "the part and the library agree on the range";
        EXPECT_EQ(st.protected_to, to);
        if (c.rc == 0 && c.len != 0) {
            const std::uint8_t byte = 0;
            orvdev_write_report r{};
            EXPECT_EQ(orvdev_flash_write(f, c.addr, &byte, 1, nullptr, &r, &report),
                      ORVDEV_ERROR_FLASH_PROTECTED)
                << report.message;
        }
    }
    // Unprotect clears CMP too, which with BP clear would protect everything.
    ASSERT_EQ(orvdev_flash_protect(f, 0, size - 64 * 1024, &report), 0);
    ASSERT_EQ(orvdev_flash_unprotect(f, nullptr, nullptr, &report), 0) << report.message;
    EXPECT_EQ(model().flash().protected_range(), (std::pair<std::size_t, std::size_t>{0, 0}));
    orvdev_flash_close(f);
}

// A range the part cannot protect is refused with the few it can that lie
// nearest, the smallest one covering it among them, in a whole sentence.
TEST_F(Devices, ProtectionRefusalsNameTheNearbyRanges)
{
    orvdev_flash* f = flash();
    const struct {
        std::uint64_t addr, len;
        const char* message;
    } cases[] = {
        {0x1000, 4096,
         "this part cannot protect 0x001000+4 KiB alone; the nearest ranges it can protect are 0x000000+4 "
         "KiB, "
         "0x000000+8 KiB (the smallest that covers it), 0x000000+16 KiB, 0x000000+32 KiB"},
        {0x100000, 0x10000,
         "this part cannot protect 0x100000+64 KiB alone; the nearest ranges it can protect are 0x000000+256 "
         "KiB, "
         "0x000000+512 KiB, 0x000000+1 MiB, 0x000000+2 MiB (the smallest that covers it)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orvdev_flash_protect(f, c.addr, c.len, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(report.message), c.message);
        EXPECT_NE(std::string(report.hint).find("protectable ranges"), std::string::npos) << report.hint;
    }
    orvdev_flash_status st{};
    EXPECT_EQ(orvdev_flash_read_status(f, &st, &report), 0);
    EXPECT_EQ(st.status1 & 0x7C, 0) << "nothing changed";
    orvdev_flash_close(f);
}

TEST_F(Devices, ChainScanAndRawScans)
{
    EXPECT_EQ(idcodes(), ZYNQ);
    orvdev_jtag* jtag = nullptr;
    ASSERT_EQ(orvdev_jtag_open(session, nullptr, &jtag, &report), 0);
    // The IR capture of both TAPs (...01 each): 10 bits.
    const std::uint8_t ones[2] = {0xFF, 0x03};
    std::uint8_t tdo[2] = {};
    orvdev_raw_scan scan{ORVDEV_JTAG_IR, 10, ones, 1, 0, nullptr};
    ASSERT_EQ(orvdev_jtag_raw_scan(jtag, &scan, tdo, &report), 0) << report.message;
    EXPECT_EQ(tdo[0] & 0x11, 0x11); // bit 0 of each register is 1
    scan.reg = ORVDEV_JTAG_IR;
    scan.ir_bits = 4; // an instruction first is only for data scans
    scan.ir = ones;
    EXPECT_EQ(orvdev_jtag_raw_scan(jtag, &scan, tdo, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    orvdev_jtag_close(jtag);
}

class TwoByteEeprom : public Devices {
protected:
    orv::emu::BoardConfig board(std::size_t) const override
    {
        orv::emu::BoardConfig config = orv::emu::default_board_config();
        config.i2c[0].size = 4096; // a 24C32: two address bytes, 32-byte pages
        config.i2c[0].page_size = 32;
        config.i2c[0].address_bytes = 2;
        return config;
    }
};

TEST_F(TwoByteEeprom, PageWritesAndRegistersWithTwoAddressBytes)
{
    orvdev_i2c* bus = i2c();
    Bytes data(40);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0x80 + i);
    }
    // Across a page boundary: one write would wrap to the page's start.
    ASSERT_EQ(orvdev_i2c_eeprom_write(bus, 0x50, 0x07F0, 2, 32, data.data(), 40, 0, &report), 0)
        << report.message;
    Bytes back(40);
    ASSERT_EQ(orvdev_i2c_read_reg(bus, 0x50, 0x07F0, 2, back.data(), 40, &report), 0) << report.message;
    EXPECT_EQ(back, data);
    // One address byte would select offset 0x07 and read from there.
    ASSERT_EQ(orvdev_i2c_read_reg(bus, 0x50, 0x7F0, 1, back.data(), 4, &report),
              ORVDEV_ERROR_INVALID_ARGUMENT);
    // The same bytes through one combined transaction: offset written, a
    // repeated START, then the read.
    const std::uint8_t offset[2] = {0x08, 0x00};
    std::uint8_t got[8] = {};
    orvdev_i2c_message messages[] = {{0x50, 0, 2, const_cast<std::uint8_t*>(offset)}, {0x50, 1, 8, got}};
    ASSERT_EQ(orvdev_i2c_transfer(bus, messages, 2, &report), 0) << report.message;
    EXPECT_EQ(Bytes(got, got + 8), Bytes(data.begin() + 16, data.begin() + 24));
    orvdev_i2c_close(bus);
}

TEST_F(Devices, CombinedTransfersNameTheRefusedByteAndTheMissingDevice)
{
    orvdev_i2c* bus = i2c();
    std::uint8_t reg[2] = {0x75, 0x00};
    std::uint8_t who = 0;
    orvdev_i2c_message read_who[] = {{0x68, 0, 1, reg}, {0x68, 1, 1, &who}};
    ASSERT_EQ(orvdev_i2c_transfer(bus, read_who, 2, &report), 0) << report.message;
    EXPECT_EQ(who, 0x68);

    // Each case follows a write that every device takes (the register
    // file's pointer), so the refused message is the second.
    const struct {
        std::uint32_t addr;
        std::uint32_t len;
        std::int32_t rc;
        std::int32_t byte_index;
    } cases[] = {
        {0x68, 2, ORVDEV_ERROR_I2C_DATA_NACK, 1}, // 0x75 is read-only: its value is refused
        {0x51, 1, ORVDEV_ERROR_I2C_NO_ACK, -1},
    };
    for (const auto& c : cases) {
        orvdev_i2c_message write[] = {{0x68, 0, 1, reg}, {c.addr, 0, c.len, reg}};
        EXPECT_EQ(orvdev_i2c_transfer(bus, write, 2, &report), c.rc) << report.message;
        EXPECT_EQ(report.byte_index, c.byte_index);
        EXPECT_EQ(report.message_index, 1);
    }
    ASSERT_EQ(orvdev_i2c_transfer(bus, read_who, 2, &report), 0);
    EXPECT_EQ(report.message_index, -1);
    // Bad messages are refused before anything is sent.
    model().reset_counts();
    orvdev_i2c_message zero_read[] = {{0x50, 1, 0, reg}};
    EXPECT_EQ(orvdev_i2c_transfer(bus, zero_read, 1, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    std::vector<std::uint8_t> big(600);
    orvdev_i2c_message too_long[] = {{0x50, 1, 600, big.data()}};
    EXPECT_EQ(orvdev_i2c_transfer(bus, too_long, 1, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    orvdev_i2c_message wide[] = {{0x1D0, 0, 1, reg}};
    EXPECT_EQ(orvdev_i2c_transfer(bus, wide, 1, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(orvdev_i2c_write(bus, 0x7FFFFF68, reg, 1, &report), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(model().counts().out, 0u);
    orvdev_i2c_close(bus);
}

TEST_F(Devices, AnAdapterThatStopsAnsweringCostsSecondsOnI2c)
{
    // A session whose transfers wait 10 ms: an I2C read polls 10 x 10 times,
    // each poll timing out. (With the usual 1000 ms the bus caps each
    // transfer at 31 ms, about 10 s in all.)
    orvdev_session_options options{};
    orvdev_session_options_init(&options);
    options.timeout_ms = 10;
    orvdev_session* quick = nullptr;
    ASSERT_EQ(orvdev_session_open(handle(1), &options, &quick, &report), 0);
    orvdev_i2c* bus = nullptr;
    ASSERT_EQ(orvdev_i2c_open(quick, nullptr, &bus, &report), 0);
    fault(FaultKind::timeout, 0, -1, 1);
    std::uint8_t byte = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(orvdev_i2c_read(bus, 0x50, &byte, 1, &report), TPW_ERROR_TIMEOUT) << report.message;
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(4));
    clear_fault(1);
    orvdev_i2c_close(bus);
    orvdev_session_close(quick);
}

TEST_F(Devices, HandlesTakeTurnsOnTheAdapter)
{
    std::span<std::uint8_t> memory = flash_memory();
    for (std::size_t i = 0; i < 16; ++i) {
        memory[i] = static_cast<std::uint8_t>(i + 1);
    }
    orvdev_flash* f = flash();
    orvdev_i2c* bus = i2c(); // sets the I2C clock and modes
    std::uint8_t byte = 0;
    ASSERT_EQ(orvdev_i2c_read_reg(bus, 0x68, 0x75, 1, &byte, 1, &report), 0);
    Bytes back(16);
    ASSERT_EQ(orvdev_flash_read(f, 0, back.data(), back.size(), &report), 0) << report.message;
    EXPECT_EQ(back, Bytes(memory.begin(), memory.begin() + 16)) << "the flash sent its SPI set-up again";
    orvdev_i2c_close(bus);
    orvdev_flash_close(f);
}

TEST(DeviceResults, EveryCodeHasAText)
{
    for (std::int32_t code = 0; code >= ORVDEV_ERROR_I2C_LINE_HELD; --code) {
        EXPECT_NE(orvdev_strerror(code), nullptr);
    }
    EXPECT_STREQ(orvdev_strerror(ORVDEV_ERROR_STOPPED), "stopped at the caller's request");
    EXPECT_STREQ(orvdev_strerror(-17), tapwire_get_err_info(-17));
    EXPECT_STREQ(orvdev_strerror(-120), "unknown result code");
    EXPECT_STREQ(orvdev_strerror(-5000), "unknown result code");
}

} // namespace
