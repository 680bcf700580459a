// Keyframe evaluation throughput, and opening and saving a 200-track × 50-clip project. The
// project is also left in a file (QM_BENCH_PROJECT_FILE, default /tmp/qm_bench_project.qmproj)
// so editor_project_python.py can time Python's json on the very same bytes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>

#include <QFile>
#include <QSaveFile>

#include "editor/model/project.h"

namespace {

using namespace qm;

Animatable<Vec2> path(int count, KeyframeEase ease, double influence = 1.0 / 3.0) {
    Animatable<Vec2> a;
    std::mt19937 random(1);
    std::uniform_real_distribution<double> value(-500, 500);
    for (int i = 0; i < count; ++i) {
        auto k = Keyframe<Vec2>::make(i * 0.5, {value(random), value(random)});
        k.easeIn = k.easeOut = ease;
        k.outVelocity = 0.5;
        k.inInfluence = k.outInfluence = influence;
        a.keyframes.push_back(k);
    }
    a.sortKeyframes();  // as reading a project or any keyframe edit leaves a list: with its buckets
    return a;
}

// Random times are the worst case for the segment search; a render asks frame after frame.
void evaluate(benchmark::State& state, KeyframeEase ease, bool sequential, double influence = 1.0 / 3.0) {
    const Animatable<Vec2> a = path(1000, ease, influence);
    std::vector<double> times(4096);
    std::mt19937 random(2);
    std::uniform_real_distribution<double> time(0, 499.5);
    for (std::size_t i = 0; i < times.size(); ++i) times[i] = sequential ? i * (499.5 / 4096) : time(random);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.valueAt(times[i++ & 4095]));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EvaluateEasedVec2(benchmark::State& state) { evaluate(state, KeyframeEase::ease, false); }
void BM_EvaluateLinearVec2(benchmark::State& state) { evaluate(state, KeyframeEase::linear, false); }
void BM_EvaluateEasedVec2Frames(benchmark::State& state) { evaluate(state, KeyframeEase::ease, true); }
void BM_EvaluateLinearVec2Frames(benchmark::State& state) { evaluate(state, KeyframeEase::linear, true); }
// Long handles (influence 0.8 on both sides) bend the curve's time axis too, not only its values.
void BM_EvaluateStrongEaseVec2(benchmark::State& state) { evaluate(state, KeyframeEase::ease, false, 0.8); }
BENCHMARK(BM_EvaluateEasedVec2);
BENCHMARK(BM_EvaluateStrongEaseVec2);
BENCHMARK(BM_EvaluateLinearVec2);
BENCHMARK(BM_EvaluateEasedVec2Frames);
BENCHMARK(BM_EvaluateLinearVec2Frames);

Project bigProject() {
    Project p = Project::makeNew();
    p.tracks.clear();
    for (int t = 0; t < 200; ++t) {
        MediaItem m;
        m.id = QUuid::createUuid();
        m.path = QString("/media/show/take %1.mov").arg(t);
        m.bookmark = m.path.toUtf8();
        m.name = QString("take %1.mov").arg(t);
        m.width = 1920;
        m.height = 1080;
        m.frameRate = 29.97;
        m.duration = 600;
        m.hasAudio = true;
        m.codecName = "Hap Q";
        p.media.push_back(m);
        Track track{QUuid::createUuid(), QString("Layer %1").arg(t + 1), {}, true, true};
        for (int c = 0; c < 50; ++c) {
            Clip clip;
            clip.id = QUuid::createUuid();
            clip.mediaID = m.id;
            clip.start = c * 12.25;
            clip.sourceIn = 1.5;
            clip.duration = 12;
            clip.fadeIn = 0.5;
            ClipTransform x = ClipTransform::makeDefault({960, 540}, {960, 540}, 100);
            for (int k = 0; k < 4; ++k) x.position.setKeyframe(k * 3.0, {960.0 + k * 10.5, 540.0 - k * 3.25}, 0.01);
            x.opacity.setKeyframe(0, 0, 0.01);
            x.opacity.setKeyframe(1, 100, 0.01);
            clip.transform = x;
            track.clips.push_back(clip);
        }
        p.tracks.push_back(track);
    }
    return p;
}

QString projectFile() {
    const char* env = std::getenv("QM_BENCH_PROJECT_FILE");
    return env ? QString(env) : QString("/tmp/qm_bench_project.qmproj");
}

bool save(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

void BM_ProjectOpen(benchmark::State& state) {
    const QByteArray bytes = bigProject().encoded();
    if (!save(projectFile(), bytes)) {
        state.SkipWithError("cannot write the project file");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(Project::open(projectFile()));
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

void BM_ProjectSave(benchmark::State& state) {
    const Project p = bigProject();
    const QString out = projectFile() + ".saved";
    qint64 size = 0;
    for (auto _ : state) {
        const QByteArray bytes = p.encoded();
        if (!save(out, bytes)) {
            state.SkipWithError("cannot write the project file");
            return;
        }
        size = bytes.size();
    }
    QFile::remove(out);
    state.SetBytesProcessed(state.iterations() * size);
}

BENCHMARK(BM_ProjectOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjectSave)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
