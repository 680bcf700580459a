// Hap encode and decode throughput on 1920x1080 photographs: one core, all cores (frames encoded
// side by side with oneTBB) and libavcodec's Hap encoder with the same number of threads.

#include <benchmark/benchmark.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "codecs/hap_codec.h"
#include "support/lavc_hap.h"
#include "codecs_hap_photos.h"
#include "core/four_cc.h"

namespace {

using namespace qm;

struct Format {
    const char* name;
    const char* fourcc;
    const char* lavcFormat;  // nullptr where libavcodec has no such encoder
    bool alpha;
};

constexpr Format kFormats[] = {
    {"Hap", "Hap1", "hap", false},
    {"HapAlpha", "Hap5", "hap_alpha", true},
    {"HapQ", "HapY", "hap_q", false},
    {"HapQAlpha", "HapM", nullptr, true},
};
constexpr int kChunks = 8;

// The photographs, and the same with a smooth radial alpha for the alpha formats (the
// photographs themselves are opaque, which would make the alpha textures trivial).
const std::vector<bench::Photo>& photos(bool alpha) {
    static const auto opaque = bench::loadPhotos();
    static const auto translucent = [] {
        auto out = bench::loadPhotos();
        for (auto& photo : out) {
            PixelBuffer& p = *photo.pixels;
            for (int y = 0; y < p.height(); ++y)
                for (int x = 0; x < p.width(); ++x) {
                    const double dx = (x - p.width() / 2.0) / p.width(), dy = (y - p.height() / 2.0) / p.height();
                    p.data()[y * p.bytesPerRow() + x * 4 + 3] =
                        static_cast<uint8_t>(std::lround(255.0 * std::max(0.0, 1.0 - 1.6 * std::hypot(dx, dy))));
                }
        }
        return out;
    }();
    return alpha ? translucent : opaque;
}

HapEncoder encoderFor(const Format& f, bool highQuality) {
    return HapEncoder(f.name, *hapVariantForCodecType(fourCCCode(f.fourcc)), kChunks, highQuality);
}

int threadCount() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

void setLabels(benchmark::State& state, const Format& f, size_t frames) {
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.SetBytesProcessed(static_cast<int64_t>(frames) * 1920 * 1080 * 4);
    state.SetLabel(f.name);
}

void encodeOneCore(benchmark::State& state) {
    const Format& f = kFormats[state.range(0)];
    const auto& source = photos(f.alpha);
    if (source.empty()) return state.SkipWithError("no photographs installed");
    const HapEncoder encoder = encoderFor(f, state.range(1) != 0);
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(encoder.encode(*source[i++ % source.size()].pixels));
    setLabels(state, f, i);
}

void encodeAllCores(benchmark::State& state) {
    const Format& f = kFormats[state.range(0)];
    const auto& source = photos(f.alpha);
    if (source.empty()) return state.SkipWithError("no photographs installed");
    const HapEncoder encoder = encoderFor(f, state.range(1) != 0);
    const size_t batch = static_cast<size_t>(threadCount()) * 2;
    size_t frames = 0;
    for (auto _ : state) {
        tbb::parallel_for(size_t{0}, batch, [&](size_t k) {
            benchmark::DoNotOptimize(encoder.encode(*source[(frames + k) % source.size()].pixels));
        });
        frames += batch;
    }
    setLabels(state, f, frames);
}

void lavcEncode(benchmark::State& state) {
    const Format& f = kFormats[state.range(0)];
    const auto& source = photos(f.alpha);
    if (source.empty()) return state.SkipWithError("no photographs installed");
    const int threads = state.range(1) != 0 ? threadCount() : 1;
    test::LavcHapEncoder encoder(f.lavcFormat, 1920, 1080, kChunks, threads);
    if (!encoder.ok()) return state.SkipWithError("libavcodec's Hap encoder is not available");
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(encoder.encode(*source[i++ % source.size()].pixels));
    setLabels(state, f, i);
    state.counters["threads"] = threads;
}

void decode(benchmark::State& state) {
    const Format& f = kFormats[state.range(0)];
    const auto& source = photos(f.alpha);
    if (source.empty()) return state.SkipWithError("no photographs installed");
    const HapEncoder encoder = encoderFor(f, false);
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& photo : source) frames.push_back(encoder.encode(*photo.pixels));
    const HapDecoder decoder(1920, 1080);
    const bool allCores = state.range(1) != 0;
    const size_t batch = allCores ? static_cast<size_t>(threadCount()) * 2 : 1;
    std::vector<std::shared_ptr<PixelBuffer>> targets;
    for (size_t k = 0; k < batch; ++k) targets.push_back(PixelBuffer::create(1920, 1080, kPixelFormatBGRA));
    size_t done = 0;
    for (auto _ : state) {
        if (allCores) {
            tbb::parallel_for(size_t{0}, batch, [&](size_t k) {
                const auto& frame = frames[(done + k) % frames.size()];
                decoder.decode(frame.data(), frame.size(), *targets[k]);
            });
        } else {
            const auto& frame = frames[done % frames.size()];
            decoder.decode(frame.data(), frame.size(), *targets[0]);
        }
        done += batch;
    }
    setLabels(state, f, done);
}

void formatsAndFlag(benchmark::internal::Benchmark* b, bool lavcOnly) {
    for (int i = 0; i < 4; ++i) {
        if (lavcOnly && kFormats[i].lavcFormat == nullptr) continue;
        b->Args({i, 0})->Args({i, 1});
    }
}

BENCHMARK(encodeOneCore)->Apply([](auto* b) { formatsAndFlag(b, false); })->ArgNames({"format", "hq"})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(encodeAllCores)->Apply([](auto* b) { formatsAndFlag(b, false); })->ArgNames({"format", "hq"})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(lavcEncode)->Apply([](auto* b) { formatsAndFlag(b, true); })->ArgNames({"format", "allthreads"})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(decode)->Apply([](auto* b) { formatsAndFlag(b, false); })->ArgNames({"format", "allcores"})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
