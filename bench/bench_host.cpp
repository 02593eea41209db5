// Host cost of each operation: the library calls run against a transfer
// stand-in that answers at once, so what is timed is the library's own work
// (checks, allocation, building the stream, the read-back bookkeeping). Beside
// each operation the same run times its limit, a memcpy of the bytes the
// operation streams out (memcpy/...) and of those plus the bytes it reads
// back (memcpy_io/...), and counts the heap allocations per call.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/alloc_count.hpp"
#include "bench/instant_usb.hpp"
#include "bench/operations.hpp"
#include "lib/wire/wire.hpp"

namespace {

using orv::bench::InstantAdapter;
using orv::bench::Operation;

struct Probe {
    std::int32_t rc = 0;
    int out_bytes = 0;
    int in_bytes = 0;
    std::uint64_t allocations = 0;
};

// One call outside the timing: the result, the stream length and the
// allocations of a single operation.
Probe probe(const Operation& op, InstantAdapter& adapter, orv::bench::Buffers& buffers)
{
    adapter.ready = op.readback;
    adapter.last_out = 0;
    adapter.last_in = 0;
    buffers.last_built = 0;
    Probe p;
    const std::uint64_t before = orv::bench::allocations();
    p.rc = op.run(adapter.handle());
    p.allocations = orv::bench::allocations() - before;
    p.out_bytes = op.uses_device ? adapter.last_out : buffers.last_built;
    p.in_bytes = adapter.last_in;
    return p;
}

void run_operation(benchmark::State& state, const Operation& op, InstantAdapter& adapter, const Probe& p)
{
    if (p.rc != 0) {
        state.SkipWithError(("operation failed with " + std::to_string(p.rc)).c_str());
        return;
    }
    adapter.ready = op.readback;
    libusb_device_handle* handle = adapter.handle();
    const std::uint64_t before = orv::bench::allocations();
    for (auto _ : state) {
        benchmark::DoNotOptimize(op.run(handle));
    }
    const auto allocated = static_cast<double>(orv::bench::allocations() - before);
    state.counters["allocs"] = benchmark::Counter(allocated, benchmark::Counter::kAvgIterations);
    state.counters["out_bytes"] = p.out_bytes;
    state.counters["in_bytes"] = p.in_bytes;
    state.counters["size"] = static_cast<double>(op.size);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * p.out_bytes);
}

void run_memcpy(benchmark::State& state, std::size_t bytes)
{
    std::vector<std::uint8_t> source(bytes, 0x5A);
    std::vector<std::uint8_t> target(bytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), bytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["out_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Floors of the stream format, for comparison with the libraries: the least
// work any builder must do. `chunked`: data copied in runs of 256 bytes, each
// behind its 2-byte command head, which the byte commands require.
void run_chunked_floor(benchmark::State& state, std::size_t data_bytes)
{
    constexpr std::size_t run = orv::MAX_BYTES_PER_COMMAND; // data_bytes is a multiple of it
    std::vector<std::uint8_t> source(data_bytes, 0x5A);
    std::vector<std::uint8_t> target(data_bytes + 2 * (data_bytes / run));
    for (auto _ : state) {
        std::uint8_t* out = target.data();
        for (std::size_t done = 0; done < data_bytes; done += run) {
            out[0] = orv::OP_BYTES_OUT_LSB;
            out[1] = static_cast<std::uint8_t>(run - 1);
            std::memcpy(out + 2, source.data() + done, run);
            out += 2 + run;
        }
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["out_bytes"] = static_cast<double>(target.size());
}

// `i2c_template`: the data phase of an I2C write (four 3-byte commands per
// data byte: drive SDA, shift the byte, release SDA, sample the acknowledge)
// stamped from a fixed 12-byte block with the data byte patched in.
void run_i2c_template_floor(benchmark::State& state, std::size_t data_bytes, const std::uint8_t* data)
{
    constexpr std::uint8_t block[12] = {orv::OP_SET_IO_LOW, 0xFF, 0x00, orv::OP_BITS_OUT_MSB,    0x07, 0x00,
                                        orv::OP_SET_IO_LOW, 0xFB, 0x00, orv::OP_CLOCKS_READ_MSB, 0x00, 0x00};
    std::vector<std::uint8_t> target(12 * data_bytes);
    for (auto _ : state) {
        std::uint8_t* out = target.data();
        for (std::size_t i = 0; i < data_bytes; ++i) {
            std::memcpy(out, block, sizeof block);
            out[5] = data[i];
            out += sizeof block;
        }
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["out_bytes"] = static_cast<double>(target.size());
}

// `malloc_free`: the one command-buffer allocation a scan or SPI byte
// transfer makes, alone.
void run_malloc_free(benchmark::State& state, std::size_t bytes)
{
    for (auto _ : state) {
        void* block = std::malloc(bytes);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    const bool strict = orv::bench::take_strict_flag(argc, argv, args);
    int count = static_cast<int>(args.size());

    static InstantAdapter adapter;
    static orv::bench::Buffers buffers;
    static const std::vector<Operation> operations = orv::bench::make_operations(buffers, true);
    static std::vector<Probe> probes;
    int failed = 0;
    for (const Operation& op : operations) {
        probes.push_back(probe(op, adapter, buffers));
        if (probes.back().rc != 0) {
            std::fprintf(stderr, "%s: result %d\n", op.name.c_str(), probes.back().rc);
            ++failed;
        }
        if (op.no_heap && probes.back().allocations != 0) {
            std::fprintf(stderr, "%s: %llu heap allocations, none allowed\n", op.name.c_str(),
                         static_cast<unsigned long long>(probes.back().allocations));
            ++failed;
        }
    }
    for (std::size_t i = 0; i < operations.size(); ++i) {
        const Operation& op = operations[i];
        const Probe& p = probes[i];
        benchmark::RegisterBenchmark(("host/" + op.name).c_str(), [&op, &p](benchmark::State& state) {
            run_operation(state, op, adapter, p);
        });
        benchmark::RegisterBenchmark(("memcpy/" + op.name).c_str(), [&p](benchmark::State& state) {
            run_memcpy(state, static_cast<std::size_t>(p.out_bytes));
        });
        if (p.in_bytes > 0) {
            benchmark::RegisterBenchmark(("memcpy_io/" + op.name).c_str(), [&p](benchmark::State& state) {
                run_memcpy(state, static_cast<std::size_t>(p.out_bytes + p.in_bytes));
            });
        }
    }

    struct Floor {
        const char* name;
        std::size_t stream_bytes;
        void (*run)(benchmark::State&);
    };
    static const Floor floors[] = {
        {"floor/chunked/8192", 8192 + 2 * 32,
         [](benchmark::State& state) { run_chunked_floor(state, 8192); }},
        {"floor/chunked/65536", 65536 + 2 * 256,
         [](benchmark::State& state) { run_chunked_floor(state, 65536); }},
        {"floor/i2c_template/511", 12 * 511,
         [](benchmark::State& state) { run_i2c_template_floor(state, 511, buffers.out.data()); }},
    };
    benchmark::RegisterBenchmark("floor/malloc_free/8192",
                                 [](benchmark::State& state) { run_malloc_free(state, 8192); });
    for (const Floor& floor : floors) {
        benchmark::RegisterBenchmark(floor.name, floor.run);
        benchmark::RegisterBenchmark(
            (std::string("memcpy/") + floor.name).c_str(),
            [&floor](benchmark::State& state) { run_memcpy(state, floor.stream_bytes); });
    }

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return strict && failed != 0 ? 1 : 0;
}
