// The blur of a 4K plane of text-like coverage (bars on two fifths of the rows) for small and
// large sigmas, and the outline's disc dilation.
#include <benchmark/benchmark.h>

#include "platform/raster/dilation.h"
#include "platform/raster/gaussian_blur.h"

namespace {

qm::FloatPlane textLike() {
    qm::FloatPlane plane(3840, 2160);
    for (int y = 0; y < plane.height; ++y)
        if (y % 100 < 40)
            for (int x = 768; x < 3072; ++x) plane.row(y)[x] = (x / 9 + y / 7) % 3 == 0 ? 0.8f : 0.0f;
    return plane;
}

// Times `filter` on a fresh copy of the plane each iteration, the copy left out of the time.
template <typename Filter>
void onFreshCopies(benchmark::State& state, Filter filter) {
    const qm::FloatPlane source = textLike();
    qm::FloatPlane plane;
    for (auto _ : state) {
        state.PauseTiming();
        plane = source;
        state.ResumeTiming();
        filter(plane);
        benchmark::DoNotOptimize(plane.pixels.data());
    }
}

void BM_GaussianBlur4K(benchmark::State& state) {
    const double sigma = double(state.range(0)) / 10.0;
    onFreshCopies(state, [&](qm::FloatPlane& plane) { qm::gaussianBlur(plane, sigma); });
}
BENCHMARK(BM_GaussianBlur4K)->Arg(6)->Arg(20)->Arg(60)->Arg(400)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DilateDisc4K(benchmark::State& state) {
    onFreshCopies(state, [&](qm::FloatPlane& plane) { qm::dilateDisc(plane, double(state.range(0))); });
}
BENCHMARK(BM_DilateDisc4K)->Arg(6)->Arg(40)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
