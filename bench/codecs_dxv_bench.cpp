// DXV3 throughput on natural photographs: encode (normal and high quality, with and without
// alpha) and decode (unpack + texture conversion), on one core and on all cores with frames in
// parallel. The photographs are 1920x1080 centre crops of Debian's wallpapers; alpha frames get an
// alpha ramp across the picture.
//
//   qm_bench_dxv [--benchmark_filter=...]
//
// Counters: frames/s (items_per_second), output bytes per frame, and how many frames were stored
// raw because back-references did not shrink them.

#include <benchmark/benchmark.h>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <stb_image.h>

#include "codecs/dxv_codec.h"
#include "codecs/dxv_writer.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct Photos {
    std::vector<qm::PixelBufferRef> opaque;
    std::vector<qm::PixelBufferRef> translucent;
};

const Photos& photos() {
    static const Photos loaded = [] {
        Photos p;
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        for (const auto& dir : std::filesystem::directory_iterator("/usr/share/wallpapers", ec)) {
            const auto images = dir.path() / "contents" / "images";
            std::filesystem::path best;
            int bestArea = 0;
            for (const auto& f : std::filesystem::directory_iterator(images, ec)) {
                int w = 0, h = 0;
                if (f.path().extension() == ".jpg" && std::sscanf(f.path().stem().c_str(), "%dx%d", &w, &h) == 2 &&
                    w >= kWidth && h >= kHeight && w * h > bestArea) {
                    best = f.path();
                    bestArea = w * h;
                }
            }
            if (!best.empty()) files.push_back(best);
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            int w = 0, h = 0, n = 0;
            unsigned char* rgba = stbi_load(file.c_str(), &w, &h, &n, 4);
            if (rgba == nullptr) continue;
            auto opaque = qm::PixelBuffer::create(kWidth, kHeight, qm::kPixelFormatBGRA);
            auto translucent = qm::PixelBuffer::create(kWidth, kHeight, qm::kPixelFormatBGRA);
            const int x0 = (w - kWidth) / 2, y0 = (h - kHeight) / 2;
            for (int y = 0; y < kHeight; ++y) {
                const unsigned char* in = rgba + (size_t(y0 + y) * size_t(w) + size_t(x0)) * 4;
                uint8_t* o = opaque->data() + size_t(y) * opaque->bytesPerRow();
                uint8_t* t = translucent->data() + size_t(y) * translucent->bytesPerRow();
                for (int x = 0; x < kWidth; ++x) {
                    o[4 * x + 0] = in[4 * x + 2];
                    o[4 * x + 1] = in[4 * x + 1];
                    o[4 * x + 2] = in[4 * x + 0];
                    o[4 * x + 3] = 255;
                    std::memcpy(t + 4 * x, o + 4 * x, 3);
                    t[4 * x + 3] = uint8_t(x * 255 / (kWidth - 1));
                }
            }
            stbi_image_free(rgba);
            p.opaque.push_back(opaque);
            p.translucent.push_back(translucent);
        }
        std::fprintf(stderr, "%zu photographs, %dx%d crops\n", p.opaque.size(), kWidth, kHeight);
        return p;
    }();
    return loaded;
}

int threadsFor(int64_t arg) { return arg == 0 ? int(std::thread::hardware_concurrency()) : int(arg); }

// Frames per iteration: every photograph once, and at least two frames per thread.
size_t batchSize(int threads, size_t frameCount) { return std::max<size_t>(size_t(threads) * 2, frameCount); }

// Runs `work(slot)` for each slot of a batch per iteration, on `threads` threads.
template <class F>
void runBatches(benchmark::State& state, int threads, size_t batch, F work) {
    tbb::task_arena arena(threads);
    for (auto _ : state) {
        arena.execute([&] { tbb::parallel_for(size_t(0), batch, [&](size_t slot) { work(slot); }); });
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(batch));
    state.counters["threads"] = threads;
}

// args: alpha (0/1), high quality (0/1), threads (0 = all cores)
void BM_DXV3Encode(benchmark::State& state) {
    const bool alpha = state.range(0) != 0;
    const bool hq = state.range(1) != 0;
    const int threads = threadsFor(state.range(2));
    const auto& frames = alpha ? photos().translucent : photos().opaque;
    if (frames.empty()) {
        state.SkipWithError("no photographs under /usr/share/wallpapers (plasma-workspace-wallpapers)");
        return;
    }
    const qm::DXVEncoder encoder(qm::fourCC('D', 'X', 'D', '3'), "DXV 3", alpha, hq);
    const size_t batch = batchSize(threads, frames.size());
    std::vector<size_t> sizes(batch);
    std::vector<int> raw(batch);
    runBatches(state, threads, batch, [&](size_t slot) {
        const auto frame = encoder.encode(*frames[slot % frames.size()]);
        sizes[slot] = frame.size();
        raw[slot] = frame[6];
    });
    double total = 0;
    int rawCount = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        total += double(sizes[i]);
        rawCount += raw[i];
    }
    state.counters["bytes_per_frame"] = total / double(frames.size());  // the first slots hold each photo once
    state.counters["raw_frames"] = rawCount;
    state.counters["photos"] = double(frames.size());
}

// args: alpha (0/1), threads (0 = all cores)
void BM_DXV3Decode(benchmark::State& state) {
    const bool alpha = state.range(0) != 0;
    const int threads = threadsFor(state.range(1));
    const auto& frames = alpha ? photos().translucent : photos().opaque;
    if (frames.empty()) {
        state.SkipWithError("no photographs under /usr/share/wallpapers (plasma-workspace-wallpapers)");
        return;
    }
    const qm::DXVEncoder encoder(qm::fourCC('D', 'X', 'D', '3'), "DXV 3", alpha, false);
    std::vector<std::vector<uint8_t>> encoded;
    for (const auto& f : frames) encoded.push_back(encoder.encode(*f));
    const qm::DXVDecoder decoder(kWidth, kHeight);
    const size_t batch = batchSize(threads, frames.size());
    std::vector<qm::PixelBufferRef> outputs;  // one per slot of the batch
    for (size_t i = 0; i < batch; ++i) outputs.push_back(qm::PixelBuffer::create(kWidth, kHeight, qm::kPixelFormatBGRA));
    runBatches(state, threads, batch, [&](size_t slot) {
        const auto& frame = encoded[slot % encoded.size()];
        decoder.decode(frame.data(), frame.size(), *outputs[slot]);
    });
}

BENCHMARK(BM_DXV3Encode)
    ->ArgNames({"alpha", "hq", "threads"})
    ->ArgsProduct({{0, 1}, {0, 1}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DXV3Decode)->ArgNames({"alpha", "threads"})->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
