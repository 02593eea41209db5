// End to end through the real libusb on the virtual USB device (umockdev):
// each operation (e2e/...) beside the bare sequence of libusb_bulk_transfer
// calls it needs: the same OUT bytes, polls until the count is there, one data
// read of that count, on the same device, alternating call by call.
// The difference is what the library adds on top of the transfers.
// Then batching: N DR scans built with tapwire_build_shift_dr_cmd and sent in
// one transfer against N tapwire_shift_dr calls.
//
// The program re-executes itself under umockdev-wrapper when the preload is
// not active. Times are wall-clock: the virtual device answers on a thread
// of its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/operations.hpp"
#include "lib/wire/wire.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/vusb/virtual_usb.hpp"

namespace {

using orv::bench::Operation;
using orv::bench::TIMEOUT_MS;
using orv::bench::Wait;

struct Transfer {
    unsigned char endpoint = 0;
    int length = 0;
    std::vector<std::uint8_t> out; // OUT: the bytes sent
};

// Set only while one library call is being recorded, before any timing.
std::vector<Transfer>* g_recording = nullptr;
// Every transfer made, so the timed runs can count theirs too.
std::uint64_t g_transfers = 0;

} // namespace

extern "C" int __real_libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                           unsigned char* data, int length, int* transferred,
                                           unsigned int timeout);

// Every bulk transfer of the program, the libraries' and the bare sequences'
// alike, comes through here (linked with --wrap=libusb_bulk_transfer).
extern "C" int __wrap_libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                           unsigned char* data, int length, int* transferred,
                                           unsigned int timeout)
{
    ++g_transfers;
    if (g_recording != nullptr) {
        Transfer t;
        t.endpoint = endpoint;
        t.length = length;
        if (endpoint == orv::EP_COMMAND_OUT) {
            t.out.assign(data, data + length);
        }
        g_recording->push_back(std::move(t));
    }
    return __real_libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}

namespace {

struct Session {
    std::unique_ptr<orv::sim::VirtualUsb> usb;
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
};

bool open_session(Session& s, std::string& error)
{
    s.usb = orv::sim::VirtualUsb::create(&error);
    if (!s.usb) {
        return false;
    }
    orv::emu::AdapterConfig config;
    config.readback_capacity = 1u << 20; // room for a 65536-bit capture
    s.usb->add_adapter(orv::emu::make_default_board(config));
    if (libusb_init(&s.context) != 0) {
        error = "libusb_init failed";
        return false;
    }
    s.handle = libusb_open_device_with_vid_pid(s.context, orv::sim::VIRTUAL_VID, orv::sim::VIRTUAL_PID);
    if (s.handle == nullptr) {
        error = "virtual adapter not found";
        return false;
    }
    if (libusb_claim_interface(s.handle, 0) != 0) {
        error = "cannot claim the adapter's interface";
        return false;
    }
    return true;
}

// The least a caller of libusb must do for the operation: send its stream,
// poll until the count is there, read that count.
struct BareSequence {
    std::vector<std::uint8_t> stream;
    Wait wait = Wait::none;
    std::uint32_t expected = 0;
    std::vector<std::uint8_t> in = std::vector<std::uint8_t>(1u << 20);

    int run(libusb_device_handle* handle)
    {
        int moved = 0;
        int rc = libusb_bulk_transfer(handle, orv::EP_COMMAND_OUT, stream.data(),
                                      static_cast<int>(stream.size()), &moved, TIMEOUT_MS);
        if (rc != 0 || wait == Wait::none) {
            return rc;
        }
        for (int polls = 0; polls < 100000; ++polls) {
            orv::CountBytes raw{};
            rc = libusb_bulk_transfer(handle, orv::EP_READBACK_COUNT_IN, raw.data(),
                                      static_cast<int>(raw.size()), &moved, TIMEOUT_MS);
            if (rc != 0) {
                return rc;
            }
            const std::uint32_t count = orv::decode_count(raw);
            if (wait == Wait::exactly ? count == expected : count >= expected) {
                if (count > in.size()) {
                    return TPW_ERROR_USBTRANS_ERR;
                }
                return libusb_bulk_transfer(handle, orv::EP_READBACK_DATA_IN, in.data(),
                                            static_cast<int>(count), &moved, TIMEOUT_MS);
            }
        }
        return TPW_ERROR_TIMEOUT;
    }
};

struct Recorded {
    std::int32_t rc = 0;
    std::vector<Transfer> transfers;
    BareSequence bare;
    int outs = 0;
};

Recorded record(const Operation& op, libusb_device_handle* handle)
{
    Recorded r;
    g_recording = &r.transfers;
    r.rc = op.run(handle);
    g_recording = nullptr;
    for (const Transfer& t : r.transfers) {
        if (t.endpoint == orv::EP_COMMAND_OUT) {
            ++r.outs;
            r.bare.stream = t.out;
        }
    }
    r.bare.wait = op.wait;
    r.bare.expected = op.readback;
    return r;
}

void set_counters(benchmark::State& state, const Operation& op, const Recorded& r)
{
    state.counters["size"] = static_cast<double>(op.size);
    state.counters["out_bytes"] = static_cast<double>(r.bare.stream.size());
    state.counters["transfers"] = static_cast<double>(r.transfers.size());
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The operation and its bare sequence, alternately, timed one by one: on a
// shared machine the load drifts, and pairing the two calls lets both see
// the same conditions. The order flips every iteration. The benchmark's time
// is the library's; the counters carry both and their ratio.
void run_pair(benchmark::State& state, const Operation& op, Recorded& r, libusb_device_handle* h)
{
    using clock = std::chrono::steady_clock;
    if (r.rc != 0 || r.outs != 1) {
        state.SkipWithError(("operation failed with " + std::to_string(r.rc)).c_str());
        return;
    }
    std::vector<double> library_s;
    std::vector<double> bare_s;
    std::vector<double> ratios;
    std::uint64_t transfers[2] = {};
    bool library_first = true;
    for (auto _ : state) {
        double times[2] = {};
        for (int k = 0; k < 2; ++k) {
            const bool library = (k == 0) == library_first;
            const std::uint64_t before = g_transfers;
            const auto start = clock::now();
            const int rc = library ? op.run(h) : r.bare.run(h);
            times[library ? 0 : 1] = std::chrono::duration<double>(clock::now() - start).count();
            transfers[library ? 0 : 1] += g_transfers - before;
            if (rc != 0) {
                state.SkipWithError(library ? "operation failed during the run" : "bare sequence failed");
                return;
            }
        }
        library_first = !library_first;
        library_s.push_back(times[0]);
        bare_s.push_back(times[1]);
        ratios.push_back(times[1] > 0 ? times[0] / times[1] : 0);
        state.SetIterationTime(times[0]);
    }
    set_counters(state, op, r);
    // Medians: a transfer that waits for the scheduler is an outlier of
    // milliseconds, which would swamp the microseconds the library adds.
    state.counters["library_us"] = median(library_s) * 1e6;
    state.counters["bare_us"] = median(bare_s) * 1e6;
    state.counters["ratio"] = median(ratios);
    const auto per_op = benchmark::Counter::kAvgIterations;
    state.counters["library_transfers"] = benchmark::Counter(static_cast<double>(transfers[0]), per_op);
    state.counters["bare_transfers"] = benchmark::Counter(static_cast<double>(transfers[1]), per_op);
}

constexpr std::int32_t BATCH_SCAN_BITS = 32;

// N scans built back to back into one buffer and sent in one transfer; with
// capture the TDO bytes of all N come back in one read-back exchange.
void run_batched(benchmark::State& state, orv::bench::Buffers& b, libusb_device_handle* h, bool capture)
{
    const auto n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::int32_t tap = TPW_TAP_RUN_TEST_IDLE;
        auto capacity = static_cast<std::int32_t>(b.built.size());
        std::int32_t used = 0;
        std::int32_t rc = 0;
        for (int i = 0; i < n && rc == 0; ++i) {
            std::int32_t written = 0;
            rc = tapwire_build_shift_dr_cmd(&tap, BATCH_SCAN_BITS, b.out.data() + 4 * i, 0, capture ? 1 : 0,
                                            b.built.data() + used, &capacity, &written);
            used += written;
        }
        int moved = 0;
        if (rc == 0) {
            rc = libusb_bulk_transfer(h, orv::EP_COMMAND_OUT, b.built.data(), used, &moved, TIMEOUT_MS);
        }
        if (rc == 0 && capture) {
            rc = tapwire_readback_tdo(h, BATCH_SCAN_BITS * n, b.in.data(), TIMEOUT_MS);
        }
        if (rc != 0) {
            state.SkipWithError(("batched scans failed with " + std::to_string(rc)).c_str());
            break;
        }
    }
    state.counters["scans"] = n;
}

void run_separate(benchmark::State& state, orv::bench::Buffers& b, libusb_device_handle* h, bool capture)
{
    const auto n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::int32_t rc = 0;
        std::int32_t tap = TPW_TAP_RUN_TEST_IDLE;
        for (int i = 0; i < n && rc == 0; ++i) {
            rc = tapwire_shift_dr(h, &tap, BATCH_SCAN_BITS, b.out.data() + 4 * i,
                                  capture ? b.in.data() + 4 * i : nullptr, 0, TIMEOUT_MS);
        }
        if (rc != 0) {
            state.SkipWithError(("separate scans failed with " + std::to_string(rc)).c_str());
            break;
        }
    }
    state.counters["scans"] = n;
}

} // namespace

int main(int argc, char** argv)
{
    std::string error;
    if (!orv::sim::preload_active() && !orv::sim::reexec_under_preload(argc, argv, &error)) {
        std::fprintf(stderr, "orv_bench_e2e: %s\n", error.c_str());
        return 1;
    }
    std::vector<char*> args;
    const bool strict = orv::bench::take_strict_flag(argc, argv, args);
    int count = static_cast<int>(args.size());

    static Session session;
    if (!open_session(session, error)) {
        std::fprintf(stderr, "orv_bench_e2e: %s\n", error.c_str());
        return 1;
    }
    libusb_device_handle* h = session.handle;
    static orv::bench::Buffers buffers;
    int failed = 0;
    if (const std::int32_t rc = orv::bench::set_up_adapter(h, buffers); rc != 0) {
        std::fprintf(stderr, "set-up failed: %d\n", rc);
        ++failed;
    }
    static const std::vector<Operation> operations = orv::bench::make_operations(buffers, false);
    static std::vector<Recorded> recorded;
    for (const Operation& op : operations) {
        recorded.push_back(record(op, h));
        const Recorded& r = recorded.back();
        if (r.rc != 0 || r.outs != 1) {
            std::fprintf(stderr, "%s: result %d, %d OUT transfers\n", op.name.c_str(), r.rc, r.outs);
            ++failed;
        }
    }
    for (std::size_t i = 0; i < operations.size(); ++i) {
        const Operation& op = operations[i];
        Recorded& r = recorded[i];
        benchmark::RegisterBenchmark(("e2e/" + op.name).c_str(), [&op, &r, h](benchmark::State& state) {
            run_pair(state, op, r, h);
        })->UseManualTime();
    }
    for (const bool capture : {false, true}) {
        const std::string kind = capture ? "/capture" : "/write";
        benchmark::RegisterBenchmark(
            ("batch/built" + kind).c_str(),
            [h, capture](benchmark::State& state) { run_batched(state, buffers, h, capture); })
            ->Arg(1)
            ->Arg(10)
            ->Arg(100)
            ->UseRealTime();
        benchmark::RegisterBenchmark(
            ("batch/separate" + kind).c_str(),
            [h, capture](benchmark::State& state) { run_separate(state, buffers, h, capture); })
            ->Arg(1)
            ->Arg(10)
            ->Arg(100)
            ->UseRealTime();
    }

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(session.context);
    return strict && failed != 0 ? 1 : 0;
}
