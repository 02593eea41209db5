// Transfers per operation, counted by the emulated adapter: each operation
// runs through the in-process stand-in against the default board, with the
// emulated read-back latency set to 0, 2 and 8 polls. Every operation must
// make the protocol's minimum: one OUT transfer for a write; one OUT, the
// polls and one data read for a read, with the number of polls set by the
// latency alone, whatever the size. The counters are per operation.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/operations.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace {

using orv::bench::Operation;

constexpr unsigned LATENCIES[] = {0, 2, 8};

struct Board {
    std::unique_ptr<orv::emu::Adapter> adapter;
    std::unique_ptr<orv::emu::InprocUsb> usb; // the adapter behind the transfer seam
    libusb_device_handle* handle = nullptr;
};

Board make_board(unsigned latency, orv::bench::Buffers& buffers, int& failed)
{
    orv::emu::AdapterConfig config;
    config.readback_capacity = 1u << 20; // room for a 65536-bit capture
    config.latency_polls = latency;
    Board board;
    board.adapter = orv::emu::make_default_board(config);
    board.usb = std::make_unique<orv::emu::InprocUsb>(*board.adapter);
    board.handle = board.usb->handle();
    const std::int32_t rc = orv::bench::set_up_adapter(board.handle, buffers);
    if (rc != 0) {
        std::fprintf(stderr, "set-up on latency %u failed: %d\n", latency, rc);
        ++failed;
    }
    return board;
}

void run_counted(benchmark::State& state, const Operation& op, Board& board)
{
    std::int32_t rc = 0;
    board.adapter->reset_counts();
    for (auto _ : state) {
        rc = op.run(board.handle);
        if (rc != 0) {
            break;
        }
    }
    if (rc != 0) {
        state.SkipWithError(("operation failed with " + std::to_string(rc)).c_str());
        return;
    }
    const orv::emu::TransferCounts& c = board.adapter->counts();
    const auto per_op = benchmark::Counter::kAvgIterations;
    state.counters["out"] = benchmark::Counter(static_cast<double>(c.out), per_op);
    state.counters["polls"] = benchmark::Counter(static_cast<double>(c.polls), per_op);
    state.counters["data_reads"] = benchmark::Counter(static_cast<double>(c.data_reads), per_op);
    state.counters["out_bytes"] = benchmark::Counter(static_cast<double>(c.out_bytes), per_op);
    state.counters["diagnostics"] = static_cast<double>(board.adapter->diagnostics().size());
    state.counters["size"] = static_cast<double>(op.size);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    const bool strict = orv::bench::take_strict_flag(argc, argv, args);
    int count = static_cast<int>(args.size());

    static orv::bench::Buffers buffers;
    static const std::vector<Operation> operations = orv::bench::make_operations(buffers, false);
    static std::vector<Board> boards;
    int failed = 0;
    for (const unsigned latency : LATENCIES) {
        boards.push_back(make_board(latency, buffers, failed));
    }
    // One probe per operation and latency, so that --strict fails on an
    // operation the emulated board refuses.
    for (Board& board : boards) {
        for (const Operation& op : operations) {
            const std::int32_t rc = op.run(board.handle);
            if (rc != 0) {
                std::fprintf(stderr, "%s: result %d\n", op.name.c_str(), rc);
                ++failed;
            }
        }
    }
    for (std::size_t b = 0; b < boards.size(); ++b) {
        for (const Operation& op : operations) {
            const std::string name = "emu/" + op.name + "/latency:" + std::to_string(LATENCIES[b]);
            Board* board = &boards[b];
            benchmark::RegisterBenchmark(
                name.c_str(), [&op, board](benchmark::State& state) { run_counted(state, op, *board); });
        }
    }

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return strict && failed != 0 ? 1 : 0;
}
