#pragma once
// A timeline panel on a real editor model, 1600 × 600 offscreen, with projects laid out by the
// test, and pointer input sent as the window system would.

#include <memory>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include "editor/editor_model.h"
#include "editor/editor_test_support.h"
#include "editor/views/timeline/timeline_content.h"
#include "editor/views/timeline/timeline_view.h"
#include "support/qt_app.h"

namespace qm::test {

// Each layer's clips as (start, duration).
using Layers = std::vector<std::vector<std::pair<double, double>>>;

struct Timeline {
    bool widgets = (qtApp<QApplication>(), true);
    std::unique_ptr<EditorModel> editor = std::make_unique<EditorModel>(environment());

    // Previews are not drawn; every analysed file reads as a rising ramp of peaks, 100 a second.
    static EditorModel::Environment environment() {
        EditorModel::Environment env;
        env.render = [](const Project&, const MediaInfos&, double) { return QImage(4, 4, QImage::Format_RGBA8888); };
        env.analyze = [](const std::filesystem::path&, bool needsWaveform, std::stop_token) {
            MediaAnalysis a;
            if (needsWaveform) {
                a.waveform.emplace(2000);
                for (std::size_t i = 0; i < a.waveform->size(); ++i) a.waveform->at(i) = float(i % 100) / 100.0f;
            }
            return a;
        };
        return env;
    }
    std::unique_ptr<TimelineView> view;
    QUuid media;

    // `layers` lists each layer's clips as (start, duration); media items are 20 s long.
    explicit Timeline(const Layers& layers = {{{1, 4}, {8, 2}}},
                      double fps = 30) {
        Project p;
        p.frameRate = fps;
        MediaItem m;
        m.id = media = QUuid::createUuid();
        m.name = QStringLiteral("shot.mov");
        m.width = 1280;
        m.height = 720;
        m.duration = 20;
        p.media.push_back(m);
        for (std::size_t i = 0; i < layers.size(); ++i) {
            Track t;
            t.id = QUuid::createUuid();
            t.name = QStringLiteral("Layer %1").arg(i + 1);
            for (auto [start, duration] : layers[i]) {
                Clip c;
                c.id = QUuid::createUuid();
                c.mediaID = media;
                c.start = start;
                c.duration = duration;
                t.clips.push_back(c);
            }
            p.tracks.push_back(t);
        }
        editor->setProject(p);
        view = std::make_unique<TimelineView>(*editor);
        view->resize(1600, 600);
        view->show();
        QApplication::processEvents();
    }
    TimelineContent* content() const { return view->content(); }
    const Clip& clip(std::size_t track, std::size_t index) const { return editor->project().tracks.at(track).clips.at(index); }
    // A point on a clip in the content widget: its block's left edge plus `dx`, 20 below its top.
    QPointF on(std::size_t track, std::size_t index, double dx) const {
        const QRectF r = content()->geometry().clipRect(clip(track, index), track);
        return content()->toWidget(QPointF(r.left() + dx, r.top() + 20));
    }

    // Straight to the widget: the application's dispatch rounds global positions to whole points.
    bool exact = false;
    // To the content, or to `target` (a child such as the graph editor) in its own points.
    void send(QEvent::Type type, QPointF at, Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = {},
              QWidget* target = nullptr) {
        QWidget* w = target ? target : content();
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        // The window's offset in whole points, so fractional moves stay exact.
        QMouseEvent e(type, at, at + QPointF(w->mapToGlobal(QPoint(0, 0))), button, buttons, mods);
        if (exact)
            static_cast<QObject*>(w)->event(&e);
        else
            QApplication::sendEvent(w, &e);
    }
    // Press at `from`, move by each offset in turn, release at the last one.
    void drag(QPointF from, const std::vector<QPointF>& path, Qt::KeyboardModifiers mods = {},
              QWidget* target = nullptr) {
        send(QEvent::MouseButtonPress, from, Qt::LeftButton, mods, target);
        QPointF at = from;
        for (QPointF d : path) send(QEvent::MouseMove, at = from + d, Qt::LeftButton, mods, target);
        send(QEvent::MouseButtonRelease, at, Qt::NoButton, mods, target);
    }
    void click(QPointF at) { drag(at, {}); }
};

}  // namespace qm::test
