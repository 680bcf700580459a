// One credits frame (renderFrame into a 'BGRA' buffer) while a strip of text-like bands crosses
// the frame: sizes 1080p and 4K, no effect and glow, on one thread and on all of them.
#include <benchmark/benchmark.h>

#include <tbb/global_control.h>

#include <QPainter>

#include <memory>
#include <thread>

#include "credits/credits_renderer.h"

namespace {

// Bands of bars over 60 % of the width, 40 rows in every 100, like lines of credits.
qm::CreditsStrip strip(int width, int height) {
    QImage picture(width * 6 / 10, height * 4, qm::CreditsStrip::kTileFormat);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    for (int y = 0; y < picture.height(); y += 100)
        for (int x = 0; x < picture.width(); x += 23) painter.fillRect(x, y, 15, 40, Qt::white);
    painter.end();
    return qm::CreditsStrip::fromPicture(picture);
}

void BM_CreditsFrame(benchmark::State& state) {
    const int height = int(state.range(0));
    const int width = height * 16 / 9;
    qm::CreditsSettings settings;
    settings.width = width;
    settings.height = height;
    settings.effect = state.range(1) ? qm::CreditsSettings::Effect::glow : qm::CreditsSettings::Effect::none;
    const int threads = state.range(2) ? int(std::thread::hardware_concurrency()) : 1;
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
    const qm::CreditsRenderer renderer(settings, QImage(), strip(width, height), QImage());
    auto buffer = qm::PixelBuffer::create(width, height, qm::kPixelFormatBGRA);
    int frame = 0;
    for (auto _ : state) {
        renderer.renderFrame(*buffer, renderer.totalSeconds() * 0.3 + 0.04 * (frame++ % 50));
        benchmark::DoNotOptimize(buffer->data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreditsFrame)
    ->ArgNames({"height", "glow", "allThreads"})
    ->ArgsProduct({{1080, 2160}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
