// Scrubbing: the frame reader asked for random times, so nearly every request reopens and rolls
// forward from a keyframe. The sources are made once per run with the ffmpeg CLI in a temporary
// folder: 1080p H.264 with a keyframe every 30 frames, and 1080p ProRes 422 (every frame a key).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "engine/media_frame_reader.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace qm;

struct Source {
    const char* name;
    const char* codecArguments;
};

constexpr Source kSources[] = {
    {"h264-gop30.mov", "-c:v libx264 -preset veryfast -g 30 -keyint_min 30 -sc_threshold 0 -pix_fmt yuv420p"},
    {"prores.mov", "-c:v prores_ks -profile:v 2 -pix_fmt yuv422p10le"},
};


fs::path sourcePath(const Source& source) {
    static const qm::bench::ScratchDir dir("qm-bench-frame-reader-");
    const fs::path file = dir.path / source.name;
    if (!fs::exists(file)) {
        const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc2=s=1920x1080:r=25:d=10 " +
                                    std::string(source.codecArguments) + " " + file.string();
        if (std::system(command.c_str()) != 0) std::abort();
    }
    return file;
}

void BM_RandomSeek(benchmark::State& state) {
    const Source& source = kSources[state.range(0)];
    const fs::path file = sourcePath(source);
    MediaFrameReader reader(file, MediaInfo::load(file));
    std::mt19937 random(7);
    std::uniform_real_distribution<double> time(0.0, 9.9);
    for (auto _ : state) benchmark::DoNotOptimize(reader.frame(time(random)));
    state.SetLabel(std::string(source.name) + ", " + std::to_string(reader.openCount()) + " openings");
}
BENCHMARK(BM_RandomSeek)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
