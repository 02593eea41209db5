// Instructions per call of each benchmark operation, counted by callgrind
// rather than timed: the count is the same on every run of the same binary,
// whatever else the machine is doing, so two builds can be compared exactly.
//
//   valgrind --tool=callgrind --collect-atstart=no orv_bench_instructions [CALLS]
//
// For each operation: one call outside the count (first-touch costs), then
// the counters are zeroed, CALLS calls are counted and the counts are dumped
// under the operation's name. scripts/instructions.sh turns the dumps into a
// table. Outside valgrind the program only checks that every operation
// succeeds.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <valgrind/callgrind.h>

#include "bench/instant_usb.hpp"
#include "bench/operations.hpp"

int main(int argc, char** argv)
{
    const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    if (calls <= 0) {
        std::fprintf(stderr, "usage: orv_bench_instructions [CALLS]\n");
        return 2;
    }
    orv::bench::InstantAdapter adapter;
    orv::bench::Buffers buffers;
    const auto operations = orv::bench::make_operations(buffers, true);
    int failures = 0;
    for (const auto& op : operations) {
        adapter.ready = op.readback;
        libusb_device_handle* handle = adapter.handle();
        if (const std::int32_t rc = op.run(handle); rc != 0) {
            std::fprintf(stderr, "%s: result %d\n", op.name.c_str(), rc);
            ++failures;
            continue;
        }
        CALLGRIND_ZERO_STATS;
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < calls; ++i) {
            (void)op.run(handle);
        }
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT(op.name.c_str());
    }
    return failures == 0 ? 0 : 1;
}
