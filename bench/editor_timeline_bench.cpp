// The timeline content, 1920 × 600, over a two-hour project of 200 clips on 20 layers (half of them
// sound-only, keyframes on 50): one paint of the visible content at 60 and at 4 points a second,
// the same after each one-point scroll step and at each step of a zoom drag, and one step of a move drag (the event, the model
// write and the update request, no paint).
// Goals against a 60 Hz frame: paint at most 8 ms, step at most 2 ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>

#include "editor/editor_model.h"
#include "editor/views/timeline/timeline_content.h"
#include "editor/views/timeline/timeline_view.h"

namespace {

using namespace qm;

struct Scene {
    EditorModel model{environment()};

    // Sound-only media analyse to a full-length envelope of peaks; previews are not drawn.
    static EditorModel::Environment environment() {
        EditorModel::Environment env;
        env.render = [](const Project&, const MediaInfos&, double) { return QImage(16, 9, QImage::Format_RGBA8888); };
        env.analyze = [](const std::filesystem::path&, bool needsWaveform, std::stop_token) {
            MediaAnalysis a;
            if (needsWaveform) {
                a.waveform.emplace(720000);
                for (std::size_t i = 0; i < a.waveform->size(); ++i) a.waveform->at(i) = float((i * 7919) % 1000) / 1000.0f;
            }
            return a;
        };
        return env;
    }
    std::unique_ptr<TimelineView> view;

    Scene() {
        Project p;
        MediaItem picture, sound;
        picture.id = QUuid::createUuid();
        picture.name = QStringLiteral("camera.mov");
        picture.width = 1920;
        picture.height = 1080;
        picture.duration = 7200;
        sound = picture;
        sound.id = QUuid::createUuid();
        sound.name = QStringLiteral("room.wav");
        sound.width = sound.height = 0;
        sound.hasAudio = true;
        p.media = {picture, sound};
        int keyed = 0;
        for (int layer = 0; layer < 20; ++layer) {
            Track t;
            t.id = QUuid::createUuid();
            t.name = QStringLiteral("Layer %1").arg(layer + 1);
            for (int k = 0; k < 10; ++k) {
                Clip c;
                c.id = QUuid::createUuid();
                c.mediaID = layer % 2 ? sound.id : picture.id;
                c.start = k * 720.0;
                c.duration = 700;
                c.fadeIn = c.fadeOut = 2;
                if (layer % 2 == 0 && keyed < 50) {
                    ++keyed;
                    c.transform = p.defaultTransform(c);
                    for (double at : {0.0, 1.0, 2.0, 3.0}) c.transform->opacity.setKeyframe(at, 50 + at * 10, 1e-6);
                }
                t.clips.push_back(c);
            }
            p.tracks.push_back(t);
        }
        model.setProject(p);
        model.enqueueAnalysis(sound.id);
        while (!model.analysisQueue().empty() || model.isAnalysing()) QApplication::processEvents();
        view = std::make_unique<TimelineView>(model);
        view->resize(2200, 600);
        view->show();
        QApplication::processEvents();
        view->resize(2200 - (view->content()->width() - 1920), 600);  // the content itself 1920 wide
        QApplication::processEvents();
    }
};

void BM_TimelinePaint(benchmark::State& state) {
    Scene s;
    s.model.setPixelsPerSecond(double(state.range(0)));
    TimelineContent* content = s.view->content();
    QImage target(content->width(), 600, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        content->render(&target, QPoint(), QRegion(0, 0, content->width(), 600));
        benchmark::ClobberMemory();
    }
    state.counters["width"] = content->width();
}
BENCHMARK(BM_TimelinePaint)->Arg(60)->Arg(4)->Unit(benchmark::kMillisecond);

// A paint after each one-point scroll step: the waveform pictures are made anew every time.
void BM_TimelineScrollPaint(benchmark::State& state) {
    Scene s;
    s.model.setPixelsPerSecond(double(state.range(0)));
    TimelineContent* content = s.view->content();
    QImage target(content->width(), 600, QImage::Format_ARGB32_Premultiplied);
    double x = 0;
    for (auto _ : state) {
        x = x >= 2000 ? 0 : x + 1;
        content->setScrollX(x);
        content->render(&target, QPoint(), QRegion(0, 0, content->width(), 600));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TimelineScrollPaint)->Arg(60)->Arg(4)->Unit(benchmark::kMillisecond);

// A paint at each step of a zoom drag (a new zoom every time): no picture can be reused.
void BM_TimelineZoomPaint(benchmark::State& state) {
    Scene s;
    TimelineContent* content = s.view->content();
    QImage target(content->width(), 600, QImage::Format_ARGB32_Premultiplied);
    double pps = double(state.range(0));
    for (auto _ : state) {
        pps = pps >= 2 * double(state.range(0)) ? double(state.range(0)) : pps * 1.01;
        s.model.setPixelsPerSecond(pps);
        content->render(&target, QPoint(), QRegion(0, 0, content->width(), 600));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TimelineZoomPaint)->Arg(60)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_TimelineMoveStep(benchmark::State& state) {
    Scene s;
    s.model.setPixelsPerSecond(60);
    TimelineContent* content = s.view->content();
    const QPointF at(12 + 60 * 10, 26 + 57 * 3 + 20);  // inside the first clip of the fourth layer
    const QPointF global = at + QPointF(content->mapToGlobal(QPoint(0, 0)));
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(content, &press);
    int dx = 0;
    for (auto _ : state) {
        dx = dx >= 200 ? 4 : dx + 1 + 3 * (dx == 0);
        const QPointF to = at + QPointF(dx, 0);
        QMouseEvent move(QEvent::MouseMove, to, global + QPointF(dx, 0), Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(content, &move);
    }
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, {});
    QApplication::sendEvent(content, &release);
}
BENCHMARK(BM_TimelineMoveStep)->Unit(benchmark::kMillisecond);

}  // namespace
