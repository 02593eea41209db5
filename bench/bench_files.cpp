// The cost of reading the files users give the tools, by their size: a
// flashrom layout of N regions (its names checked for repeats and its
// regions for overlaps), in one run for N from 4096 to 262144, so that the
// growth with N shows beside the times.
#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include "lib/formats/layout/layout.hpp"

namespace {

std::string layout_text(std::int64_t regions)
{
    std::string text;
    // In reverse address order, so that the overlap check cannot rely on a
    // file that is sorted already.
    for (std::int64_t i = regions - 1; i >= 0; --i) {
        char line[64];
        std::snprintf(line, sizeof line, "%08llx:%08llx region_%lld\n", static_cast<long long>(i * 16),
                      static_cast<long long>(i * 16 + 15), static_cast<long long>(i));
        text += line;
    }
    return text;
}

void layout_read(benchmark::State& state)
{
    const std::string text = layout_text(state.range(0));
    for (auto _ : state) {
        auto r = orv::layout::parse(text, "bench.layout");
        if (!r.ok()) {
            state.SkipWithError(r.error.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(r);
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}

BENCHMARK(layout_read)->RangeMultiplier(4)->Range(4096, 262144)->Unit(benchmark::kMillisecond)->Complexity();

} // namespace

BENCHMARK_MAIN();
