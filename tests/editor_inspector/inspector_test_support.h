#pragma once
// An inspector panel on a real editor model, 330 wide, shown offscreen, with one clip selected.

#include <memory>

#include <QApplication>
#include <QMouseEvent>
#include <QScrollArea>
#include <QTest>

#include "editor/editor_model.h"
#include "support/qt_app.h"
#include "editor/views/inspector/inspector_view.h"

namespace qm::test {

struct Panel {
    bool widgets = (qtApp<QApplication>(), true);
    // Previews are not drawn: the panel only asks for them.
    std::unique_ptr<EditorModel> editor = std::make_unique<EditorModel>([] {
        EditorModel::Environment environment;
        environment.render = [](const Project&, const MediaInfos&, double) { return QImage(4, 4, QImage::Format_RGBA8888); };
        return environment;
    }());
    std::unique_ptr<InspectorView> view;
    QUuid media;
    QUuid clip;

    explicit Panel(int mediaWidth = 1280, bool audio = true) {
        MediaItem item;
        item.id = media = QUuid::createUuid();
        item.name = QStringLiteral("m0.mov");
        item.width = mediaWidth;
        item.height = mediaWidth > 0 ? 720 : 0;
        item.duration = 10;
        item.hasAudio = audio;
        Project p = editor->project();
        p.media.push_back(item);
        editor->setProject(p);
        editor->addClipAtPlayhead(media);
        clip = editor->selectedClipID();
        editor->setIsDirty(false);
        view = std::make_unique<InspectorView>(*editor);
        view->resize(330, 2400);
        view->show();
        QApplication::processEvents();
    }
    template <typename W = QWidget>
    W* find(const QString& name) {
        const auto all = view->findChildren<W*>(name);
        for (W* w : all)
            if (w->isVisibleTo(view.get())) return w;
        return nullptr;
    }
    const Clip& clipRef() {
        const auto at = editor->project().clipLocation(clip);
        return editor->project().tracks.at(at->track).clips.at(at->clip);
    }
    ClipTransform transform() { return *editor->transform(clip); }
};

// A press, moves to each offset (global and local alike) with each move's modifiers, a release.
inline void dragBy(QWidget* w, QPoint from, const std::vector<int>& dx,
                   const std::vector<Qt::KeyboardModifiers>& modifiers = {}) {
    const auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons,
                          Qt::KeyboardModifiers mods) {
        QMouseEvent event(type, QPointF(at), w->mapToGlobal(QPointF(at)), button, buttons, mods);
        QApplication::sendEvent(w, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    for (std::size_t i = 0; i < dx.size(); ++i)
        send(QEvent::MouseMove, from + QPoint(dx[i], 0), Qt::NoButton, Qt::LeftButton,
             i < modifiers.size() ? modifiers[i] : Qt::NoModifier);
    send(QEvent::MouseButtonRelease, from + QPoint(dx.empty() ? 0 : dx.back(), 0), Qt::LeftButton, Qt::NoButton,
         Qt::NoModifier);
    QApplication::processEvents();
}

}  // namespace qm::test
