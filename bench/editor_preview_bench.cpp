// The editor's preview render as playback drives it: four 1080p30 H.264 layers (opacity and blend
// modes, so every layer shows) composed into the 1280 x 720 preview one frame after another, back
// to back and paced at 30 fps as playback paces it (33.3 ms a frame). The sources are made once per
// run with the ffmpeg CLI.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "editor/editor_preview.h"
#include "editor/model/project_exporter.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace qm;

struct Layer {
    const char* name;
    const char* source;
    BlendMode mode;
    double opacity;
};

constexpr Layer kLayers[] = {
    {"bars.mp4", "smptehdbars=s=1920x1080:r=30:d=6", BlendMode::normal, 0.5},
    {"test.mp4", "testsrc2=s=1920x1080:r=30:d=6", BlendMode::add, 0.6},
    {"fractal.mp4", "mandelbrot=s=1920x1080:r=30,trim=duration=6", BlendMode::screen, 0.8},
    {"noise.mp4", "cellauto=s=1920x1080:r=30:rule=110,trim=duration=6,boxblur=2", BlendMode::normal, 1.0},
};


// Tracks top first, as the timeline lists them.
Project fourLayers(int count) {
    static const qm::bench::ScratchDir dir("qm-bench-preview-");
    Project project;
    project.tracks.clear();
    for (int i = 4 - count; i < 4; ++i) {
        const Layer& layer = kLayers[i];
        const fs::path file = dir.path / layer.name;
        if (!fs::exists(file)) {
            const std::string command = "ffmpeg -v error -y -f lavfi -i \"" + std::string(layer.source) +
                                        "\" -c:v libx264 -preset veryfast -crf 20 -g 30 -pix_fmt yuv420p " + file.string();
            if (std::system(command.c_str()) != 0) std::abort();
        }
        MediaItem item;
        item.id = QUuid::createUuid();
        item.path = QString::fromStdString(file.string());
        item.name = QString::fromUtf8(layer.name);
        item.width = 1920, item.height = 1080, item.frameRate = 30, item.duration = 6;
        project.media.push_back(item);
        Clip clip;
        clip.id = QUuid::createUuid();
        clip.mediaID = item.id;
        clip.duration = 6;
        clip.opacity = layer.opacity;
        clip.blendMode = layer.mode;
        Track track;
        track.id = QUuid::createUuid();
        track.clips.push_back(clip);
        project.tracks.push_back(track);
    }
    return project;
}

// Frame after frame from the start, as playback asks when it keeps up.
void BM_PreviewPlayback(benchmark::State& state) {
    Project project = fourLayers(int(state.range(0)));
    const MediaInfos infos = probeProjectMedia(project);
    CompositionRenderer renderer;
    int frame = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(renderFrame(renderer, project, infos, (frame % 175) / 30.0));
        ++frame;
    }
}
// As playback paces it: what is left of each 1/30 s is spent waiting while the readers prepare
// their next frames; only the render is timed.
void BM_PreviewPlaybackPaced(benchmark::State& state) {
    Project project = fourLayers(int(state.range(0)));
    const MediaInfos infos = probeProjectMedia(project);
    CompositionRenderer renderer;
    renderer.setPrepareNext(true);
    int frame = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(renderFrame(renderer, project, infos, (frame % 175) / 30.0));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        state.SetIterationTime(took.count());
        std::this_thread::sleep_for(std::chrono::duration<double>(1.0 / 30) - took);
        ++frame;
    }
}
BENCHMARK(BM_PreviewPlaybackPaced)->Arg(4)->Unit(benchmark::kMillisecond)->UseManualTime();

BENCHMARK(BM_PreviewPlayback)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
