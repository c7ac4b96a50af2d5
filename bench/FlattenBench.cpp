// Copy the FPGA text out of the image table, flatten it, checksum it: what an update does.
#include "image/Flatten.h"
#include "unit/RunBuffers.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

static void FlattenFpgaImage(benchmark::State &state) {
    gDataConcatenated = allocateDataConcatenated();
    for (auto _ : state) {
        char *text = copyImageText(1);
        if (!ValidateFwAndConcatenateData(text)) state.SkipWithError("flattening failed");
        benchmark::DoNotOptimize(computeDataConcatenatedCheckSum());
        std::free(text);
    }
    state.SetBytesProcessed(state.iterations() * 6307432LL);
    std::free(gDataConcatenated);
    gDataConcatenated = nullptr;
}
BENCHMARK(FlattenFpgaImage)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
