// The graph editor, 1920 × 400, showing `position` of a two-hour clip with 1,000 eased keyframes
// (all selected, so every handle shows) an hour in, at 60 and 800 points a second; the timeline
// content with one expanded layer of 11 property rows × 200 keyframes; and one step of a point
// drag in the timeline panel (the event and the model's writes, no paint) with one or all 1,000
// keyframes selected. Goals against a 60 Hz frame: a paint at most 8 ms, a step at most 2 ms.
#include <cmath>

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>

#include "editor/editor_model.h"
#include "editor/views/timeline/graph_editor_view.h"
#include "editor/views/timeline/timeline_content.h"
#include "editor/views/timeline/timeline_view.h"

namespace {

using namespace qm;

EditorModel::Environment quietEnvironment() {
    EditorModel::Environment env;
    env.render = [](const Project&, const MediaInfos&, double) { return QImage(16, 9, QImage::Format_RGBA8888); };
    env.analyze = [](const std::filesystem::path&, bool, std::stop_token) { return MediaAnalysis{}; };
    return env;
}

// One picture clip of `duration` seconds on one layer; `keys` fills its transform.
Project oneClip(double duration, const std::function<void(ClipTransform&)>& keys) {
    Project p;
    MediaItem m;
    m.id = QUuid::createUuid();
    m.name = QStringLiteral("camera.mov");
    m.width = 1920;
    m.height = 1080;
    m.duration = duration;
    p.media = {m};
    Track t;
    t.id = QUuid::createUuid();
    t.name = QStringLiteral("Layer 1");
    Clip c;
    c.id = QUuid::createUuid();
    c.mediaID = m.id;
    c.duration = duration;
    c.transform = p.defaultTransform(c);
    keys(*c.transform);
    t.clips = {c};
    p.tracks = {t};
    return p;
}

// 1,000 eased position keyframes over two hours, a gentle wave in x and y.
void easedPositions(ClipTransform& t) {
    for (int i = 0; i < 1000; ++i) {
        auto k = Keyframe<Vec2>::make(i * 7.2, {960 + 400 * std::sin(i * 0.7), 540 + 300 * std::cos(i * 0.45)});
        k.easeIn = k.easeOut = KeyframeEase::ease;
        t.position.keyframes.push_back(k);
    }
}

void BM_GraphPaint(benchmark::State& state) {
    EditorModel model(quietEnvironment());
    model.setProject(oneClip(7200, easedPositions));
    const Clip& clip = model.project().tracks[0].clips[0];
    model.showPropertyInGraphEditor(TransformProperty::position, clip.id);
    const double pps = double(state.range(0));
    model.setPixelsPerSecond(pps);
    GraphEditorView view(model);
    view.resize(1920, 400);
    view.setScrollX(12 + 3600 * pps - 960);
    view.show();
    QApplication::processEvents();
    QImage target(1920, 400, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        view.render(&target, QPoint(), QRegion(0, 0, 1920, 400));
        benchmark::ClobberMemory();
    }
    state.counters["selected"] = double(model.selectedKeyframes().size());
}
BENCHMARK(BM_GraphPaint)->Arg(60)->Arg(800)->Unit(benchmark::kMillisecond);

void BM_ExpandedLayerPaint(benchmark::State& state) {
    EditorModel model(quietEnvironment());
    // Keying and colour on: all eleven properties have a row; 200 keyframes each, one a second.
    model.setProject(oneClip(200, [](ClipTransform& t) {
        t.effects.keyEnabled = t.effects.colorEnabled = true;
        t.forEachProperty([](TransformProperty, auto& a) {
            for (int i = 0; i < 200; ++i) a.setKeyframe(i, a.value, 1e-6);
        });
    }));
    model.setPixelsPerSecond(double(state.range(0)));
    model.toggleTrackExpanded(model.project().tracks[0].id);
    TimelineView view(model);
    view.resize(2200, 600);
    view.show();
    QApplication::processEvents();
    view.resize(2200 - (view.content()->width() - 1920), 600);
    QApplication::processEvents();
    TimelineContent* content = view.content();
    const int h = int(std::min(600.0, 26 + model.timelineTracksHeight()));
    QImage target(content->width(), h, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        content->render(&target, QPoint(), QRegion(0, 0, content->width(), h));
        benchmark::ClobberMemory();
    }
    state.counters["rows"] = double(model.laneProperties(0).size());
}
BENCHMARK(BM_ExpandedLayerPaint)->Arg(60)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_GraphPointDragStep(benchmark::State& state) {
    EditorModel model(quietEnvironment());
    model.setProject(oneClip(7200, easedPositions));
    const Clip clip = model.project().tracks[0].clips[0];
    model.setPixelsPerSecond(60);
    model.setShowGraphEditor(true);
    model.showPropertyInGraphEditor(TransformProperty::position, clip.id);
    TimelineView view(model);
    view.resize(2200, 600);
    view.show();
    QApplication::processEvents();
    GraphEditorView* graph = view.content()->graphView();
    auto s = graph->scene().value();
    if (state.range(0) == 1) model.setSelectedKeyframes({s.keys[5].id});
    // The x point of keyframe 5 (36 s), in view.
    const QPointF at = graph->toWidget(s.point(s.keys[5], 0));
    const QPointF global = at + QPointF(graph->mapToGlobal(QPoint(0, 0)));
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(graph, &press);
    int d = 0;
    QPointF by;
    for (auto _ : state) {
        // A new frame and a new value on every step.
        d = d >= 100 ? 3 : d + 1 + 2 * (d == 0);
        by = QPointF(2.0 * d, -double(d));
        QMouseEvent move(QEvent::MouseMove, at + by, global + by, Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(graph, &move);
    }
    QMouseEvent release(QEvent::MouseButtonRelease, at + by, global + by, Qt::LeftButton, Qt::NoButton, {});
    QApplication::sendEvent(graph, &release);
    state.counters["selected"] = double(state.range(0));
    // The drag took: keyframe 5 left 36 s and the gesture became one step.
    state.counters["moved"] = double(model.clip(clip.id)->transform->position.keyframes[5].time != 36);
    state.counters["steps"] = double(model.undoCount());
}
BENCHMARK(BM_GraphPointDragStep)->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
