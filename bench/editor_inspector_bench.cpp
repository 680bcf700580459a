// One step of a curve drag and of a scrub on the inspector panel of a 1920 × 1080 project with
// every section shown, offscreen: the event, the model write, the panel's in-place update, its
// repaint and the preview request. The budget is a quarter of a 60 Hz frame (4.2 ms); the
// counter widgets_made says whether a step built any widget.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QMouseEvent>

#include "editor/editor_model.h"
#include "editor/views/inspector/clip_inspector.h"
#include "editor/views/inspector/curve_editor.h"
#include "editor/views/inspector/effect_sections.h"
#include "editor/views/inspector/inspector_view.h"
#include "editor/views/inspector/scrub_field.h"

namespace {

using namespace qm;

struct Scene {
    EditorModel model{[] {
        EditorModel::Environment environment;
        environment.render = [](const Project&, const MediaInfos&, double) { return QImage(16, 9, QImage::Format_RGBA8888); };
        return environment;
    }()};
    std::unique_ptr<InspectorView> view;
    QUuid clip;

    Scene() {
        MediaItem item;
        item.id = QUuid::createUuid();
        item.name = QStringLiteral("shot.mov");
        item.width = 1920;
        item.height = 1080;
        item.duration = 60;
        item.hasAudio = true;
        Project p = model.project();
        p.media.push_back(item);
        model.setProject(p);
        model.addClipAtPlayhead(item.id);
        clip = model.selectedClipID();
        model.updateClip(clip, true, [](Clip& c) {
            c.transform->effects.keyEnabled = true;
            c.transform->effects.colorEnabled = true;
        });
        view = std::make_unique<InspectorView>(model);
        view->resize(330, 2000);
        view->show();
        QApplication::processEvents();
    }

    int widgets() const { return int(view->findChildren<QWidget*>().size()); }
};

void send(QWidget* w, QEvent::Type type, QPoint at) {
    QMouseEvent event(type, QPointF(at), w->mapToGlobal(QPointF(at)), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

// Counts the paints a widget receives, to show the step really repainted it.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// Presses on `target` at `from`, then each iteration moves to the next of two places.
void steps(benchmark::State& state, Scene& s, QWidget* target, QPoint from, QPoint delta) {
    send(target, QEvent::MouseButtonPress, from);
    send(target, QEvent::MouseMove, from + delta);
    QApplication::processEvents();
    const int before = s.widgets();
    PaintCounter counter;
    target->installEventFilter(&counter);
    int i = 0;
    for (auto _ : state) {
        send(target, QEvent::MouseMove, from + (++i % 2 ? delta * 2 : delta));
        QApplication::processEvents();
    }
    state.counters["widgets_made"] = s.widgets() - before;
    state.counters["paints_per_step"] = double(counter.paints) / double(state.iterations());
    target->removeEventFilter(&counter);
    send(target, QEvent::MouseButtonRelease, from + delta);
    QApplication::processEvents();
}

void CurveDragStep(benchmark::State& state) {
    Scene s;
    CurveEditor* curve = s.view->clipInspector()->color()->curveEditor();
    steps(state, s, curve, curve->handleCentre(2).toPoint(), QPoint(6, -8));
}
BENCHMARK(CurveDragStep)->Unit(benchmark::kMillisecond);

void ScrubStep(benchmark::State& state) {
    Scene s;
    ScrubField* field = s.view->findChild<ScrubField*>(QStringLiteral("rotation.value"));
    steps(state, s, field, QPoint(20, 8), QPoint(12, 0));
}
BENCHMARK(ScrubStep)->Unit(benchmark::kMillisecond);

}  // namespace
