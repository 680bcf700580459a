#include "editor/editor_key_monitor.h"

#include <linux/input-event-codes.h>

#include <QGuiApplication>
#include <QInputMethodQueryEvent>
#include <QKeyEvent>
#include <QWindow>

#include "editor/editor_model.h"

namespace qm {

namespace {

// Shift, Ctrl (Command), Alt (Option) and Meta (Control) take part; keypad and group do not.
constexpr Qt::KeyboardModifiers kShortcutModifiers =
    Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

// The shortcut keys by their place: the evdev code of each place and the key a US layout gives
// there. X11 and Wayland report evdev code + 8 as the native scan code.
struct Place {
    quint32 evdev;
    Qt::Key us;
};
constexpr Place kPlaces[] = {
    {KEY_SPACE, Qt::Key_Space}, {KEY_LEFT, Qt::Key_Left}, {KEY_RIGHT, Qt::Key_Right},
    {KEY_Z, Qt::Key_Z}, {KEY_B, Qt::Key_B}, {KEY_D, Qt::Key_D}, {KEY_C, Qt::Key_C}, {KEY_V, Qt::Key_V},
    {KEY_F9, Qt::Key_F9}, {KEY_H, Qt::Key_H}, {KEY_F3, Qt::Key_F3},
    {KEY_EQUAL, Qt::Key_Equal}, {KEY_MINUS, Qt::Key_Minus}, {KEY_BACKSLASH, Qt::Key_Backslash},
    {KEY_J, Qt::Key_J}, {KEY_K, Qt::Key_K},
    {KEY_BACKSPACE, Qt::Key_Backspace}, {KEY_DELETE, Qt::Key_Delete}, {KEY_HOME, Qt::Key_Home}, {KEY_END, Qt::Key_End},
    {KEY_A, Qt::Key_A}, {KEY_S, Qt::Key_S}, {KEY_R, Qt::Key_R}, {KEY_T, Qt::Key_T}, {KEY_U, Qt::Key_U},
    {KEY_P, Qt::Key_P},
};
constexpr quint32 kEvdevOffset = 8;

// Shortcuts keep their place whatever the layout types there (Ctrl with the B place splits under
// Dvorak too). Only an event without a scan code (synthesised, offscreen) is taken by its key.
int keyAtPlace(const QKeyEvent& event) {
    const quint32 code = event.nativeScanCode();
    if (code == 0) return event.key();
    for (const Place& p : kPlaces)
        if (code == p.evdev + kEvdevOffset) return p.us;
    return Qt::Key_unknown;
}

}  // namespace

EditorKeyMonitor::EditorKeyMonitor(QObject* parent) : QObject(parent) {}

EditorKeyMonitor::~EditorKeyMonitor() { stop(); }

void EditorKeyMonitor::start(EditorModel* model) {
    if (started_ || QCoreApplication::instance() == nullptr) return;
    model_ = model;
    QCoreApplication::instance()->installEventFilter(this);
    started_ = true;
}

void EditorKeyMonitor::stop() {
    if (!started_) return;
    if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeEventFilter(this);
    started_ = false;
    model_.clear();
}

bool EditorKeyMonitor::shouldHandle(const QWindow* window) {
    if (window == nullptr || window != QGuiApplication::focusWindow()) return false;
    if (QGuiApplication::modalWindow() != nullptr) return false;
    const Qt::WindowType type = window->type();
    if (type == Qt::Dialog || type == Qt::Sheet || type == Qt::Popup || type == Qt::Tool || type == Qt::ToolTip)
        return false;
    // A text field or editor with the focus takes its keys itself.
    QObject* focus = QGuiApplication::focusObject();
    if (focus == nullptr) return true;
    QInputMethodQueryEvent query(Qt::ImEnabled);
    QCoreApplication::sendEvent(focus, &query);
    return !query.value(Qt::ImEnabled).toBool();
}

bool EditorKeyMonitor::handleKey(const QKeyEvent& event, EditorModel& model) {
    const Qt::KeyboardModifiers mods = event.modifiers() & kShortcutModifiers;
    const bool none = mods == Qt::NoModifier;
    const bool shift = mods == Qt::ShiftModifier;
    const bool command = mods == Qt::ControlModifier;
    const bool commandShift = mods == (Qt::ControlModifier | Qt::ShiftModifier);
    const bool commandOption = mods == (Qt::ControlModifier | Qt::AltModifier);
    const bool clipSelected = !model.selectedClipID().isNull();
    const int key = keyAtPlace(event);
    switch (key) {
        case Qt::Key_Space:
            if (!none) return false;
            model.isPlaying() ? model.pause() : model.play();
            return true;
        case Qt::Key_Left:
        case Qt::Key_Right: {
            if (!none && !shift) return false;
            const int step = shift ? 10 : 1;
            model.stepFrames(key == Qt::Key_Left ? -step : step);
            return true;
        }
        case Qt::Key_Z:
            if (command) model.undo();
            else if (commandShift) model.redo();
            else return false;
            return true;
        case Qt::Key_B:
            if (!command) return false;
            model.splitAtPlayhead();
            return true;
        case Qt::Key_D:
            if (!command || !clipSelected) return false;
            model.duplicateClip();
            return true;
        case Qt::Key_C:
            return command && model.copyKeyframes();
        case Qt::Key_V:
            return command && model.pasteKeyframes();
        case Qt::Key_F9:
            if (none) return model.setInterpolation(KeyframeInterpolation::easyEase);
            if (shift) return model.setInterpolation(KeyframeInterpolation::easyEaseIn);
            if (commandShift) return model.setInterpolation(KeyframeInterpolation::easyEaseOut);
            return false;
        case Qt::Key_H:
            return commandOption && model.setInterpolation(KeyframeInterpolation::hold);
        case Qt::Key_F3:
            if (!shift) return false;
            model.setShowGraphEditor(!model.showGraphEditor());
            return true;
        case Qt::Key_Equal:
            if (!none) return false;
            model.zoomTimeline(1.5);
            return true;
        case Qt::Key_Minus:
            if (!none) return false;
            model.zoomTimeline(2.0 / 3.0);
            return true;
        case Qt::Key_Backslash:
            if (!none) return false;
            model.zoomToFit();
            return true;
        case Qt::Key_J:
        case Qt::Key_K:
            if (!none) return false;
            model.jumpToKeyframe(key == Qt::Key_K);
            return true;
        case Qt::Key_Backspace:
        case Qt::Key_Delete:
            if (!none || !clipSelected) return false;
            model.deleteSelection();
            return true;
        case Qt::Key_Home:
            if (!none) return false;
            model.seek(0);
            return true;
        case Qt::Key_End:
            if (!none) return false;
            model.seek(model.project().duration());
            return true;
        case Qt::Key_A:
        case Qt::Key_S:
        case Qt::Key_R:
        case Qt::Key_T:
        case Qt::Key_U:
        case Qt::Key_P:
            if (!none || !clipSelected) return false;
            model.toggleTrackLanes();
            return true;
        default:
            return false;
    }
}

bool EditorKeyMonitor::eventFilter(QObject* watched, QEvent* event) {
    // Seen once, as the window receives it, before any widget does.
    if (event->type() != QEvent::KeyPress || !watched->isWindowType()) return false;
    EditorModel* model = model_.data();
    if (model == nullptr) return false;
    if (!shouldHandle(static_cast<QWindow*>(watched))) return false;
    return handleKey(*static_cast<QKeyEvent*>(event), *model);
}

}  // namespace qm
