// The editor's shortcuts by real key events sent to a real (offscreen) window: the table, exact
// modifiers, text fields, modal dialogs, starting twice and a model that has gone.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include "editor/editor_key_monitor.h"
#include "editor/editor_test_support.h"

namespace qm::test {
namespace {

// The editor's window: counts the keys that reach it.
struct Window : QWidget {
    int keys = 0;
    Window() { setFocusPolicy(Qt::StrongFocus); }
    void keyPressEvent(QKeyEvent* e) override {
        ++keys;
        e->accept();
    }
};

struct Fixture {
    QApplication& app = qtApp<QApplication>();  // before the model asks for a plain one
    CountingEditor editor;
    Window window;
    QLineEdit* field = new QLineEdit(&window);
    EditorKeyMonitor monitor;
    QUuid clipID;

    Fixture() {
        window.resize(200, 100);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        window.setFocus();
        const QUuid media = editor.addMedia(10);
        editor->addClipAtPlayhead(media);
        clipID = editor->project().tracks[0].clips[0].id;
        editor->setSelectedClipID({});
        editor->seek(2);
        monitor.start(editor.model.get());
    }
    // Sends a press to the window as the platform would; true when the editor took it. `scan` is
    // the native scan code X11 and Wayland give (evdev code + 8); offscreen gives none.
    bool press(int key, Qt::KeyboardModifiers mods = Qt::NoModifier, quint32 scan = 0) {
        QWindow* handle = QApplication::focusWindow();
        if (handle == nullptr) handle = window.windowHandle();
        const int before = window.keys + keysIn(field);
        QKeyEvent event(QEvent::KeyPress, key, mods, scan, 0, 0);
        QCoreApplication::sendEvent(handle, &event);
        return window.keys + keysIn(field) == before;
    }
    int keysIn(QLineEdit* f) { return f->text().size(); }
};

TEST(EditorKeyMonitor, TheTableByKeyAndExactModifiers) {
    Fixture f;
    EditorModel& m = *f.editor;
    const double frame = 1.0 / 30;
    struct Row {
        int key;
        Qt::KeyboardModifiers mods;
        bool consumed;
        std::function<bool()> check;
    };
    const double zoom = m.pixelsPerSecond();
    const std::vector<Row> rows = {
        {Qt::Key_Right, Qt::NoModifier, true, [&] { return std::abs(m.playhead() - (2 + frame)) < 1e-9; }},
        {Qt::Key_Left, Qt::ShiftModifier, true, [&] { return std::abs(m.playhead() - (2 - 9 * frame)) < 1e-9; }},
        {Qt::Key_Home, Qt::NoModifier, true, [&] { return m.playhead() == 0; }},
        {Qt::Key_End, Qt::NoModifier, true, [&] { return m.playhead() == m.project().duration(); }},
        {Qt::Key_Equal, Qt::NoModifier, true, [&] { return m.pixelsPerSecond() == zoom * 1.5; }},
        {Qt::Key_Minus, Qt::NoModifier, true, [&] { return std::abs(m.pixelsPerSecond() - zoom) < 1e-9; }},
        {Qt::Key_F3, Qt::ShiftModifier, true, [&] { return m.showGraphEditor(); }},
        {Qt::Key_F3, Qt::NoModifier, false, [&] { return m.showGraphEditor(); }},
        {Qt::Key_Home, Qt::NoModifier, true, [&] { return m.playhead() == 0; }},
        {Qt::Key_B, Qt::ControlModifier, true, [&] { return m.project().tracks[0].clips.size() == 1; }},  // at 0: no split
        {Qt::Key_C, Qt::ControlModifier, false, [] { return true; }},  // nothing to copy: passed on
        {Qt::Key_F9, Qt::NoModifier, false, [] { return true; }},
        {Qt::Key_D, Qt::ControlModifier, false, [] { return true; }},  // no clip selected
        {Qt::Key_Backspace, Qt::NoModifier, false, [] { return true; }},
        {Qt::Key_S, Qt::NoModifier, false, [&] { return m.expandedTracks().isEmpty(); }},
        {Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier, false, [] { return true; }},
        {Qt::Key_Space, Qt::ShiftModifier, false, [&] { return !m.isPlaying(); }},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(f.press(rows[i].key, rows[i].mods), rows[i].consumed);
        EXPECT_TRUE(rows[i].check());
    }

    m.setSelectedClipID(f.clipID);
    for (int key : {Qt::Key_A, Qt::Key_S, Qt::Key_R, Qt::Key_T, Qt::Key_U, Qt::Key_P}) EXPECT_TRUE(f.press(key));
    EXPECT_EQ(m.expandedTracks().size(), 1);
    EXPECT_TRUE(f.press(Qt::Key_D, Qt::ControlModifier));
    EXPECT_EQ(m.project().tracks.size() + m.project().tracks[0].clips.size(), 3u);  // duplicated somewhere
    EXPECT_TRUE(f.press(Qt::Key_Z, Qt::ControlModifier));
    EXPECT_EQ(m.redoCount(), 1u);
    EXPECT_TRUE(f.press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_EQ(m.redoCount(), 0u);
    EXPECT_TRUE(f.press(Qt::Key_Space, Qt::KeypadModifier));  // the keypad flag does not count
    EXPECT_TRUE(m.isPlaying());
    EXPECT_TRUE(f.press(Qt::Key_Space));
    EXPECT_FALSE(m.isPlaying());
    m.seek(5);
    m.setSelectedClipID(f.clipID);
    EXPECT_TRUE(f.press(Qt::Key_Delete));
    EXPECT_FALSE(m.project().clipLocation(f.clipID).has_value());
}

// A key's place as X11 and Wayland give it: the evdev code + 8.
constexpr quint32 place(quint32 evdev) { return evdev + 8; }

TEST(EditorKeyMonitor, KeysMatchByPlaceWhateverTheLayoutTypes) {
    // A US Dvorak layout: each key types another letter than its US place's.
    Fixture f;
    EditorModel& m = *f.editor;
    const double zoom = m.pixelsPerSecond();
    const auto clips = [&] { return m.project().tracks[0].clips.size(); };
    EXPECT_FALSE(f.press(Qt::Key_B, Qt::ControlModifier, place(KEY_N)));  // types b at the N place
    EXPECT_FALSE(f.press(Qt::Key_X, Qt::ControlModifier, place(KEY_X)));  // US: Ctrl+X is not a shortcut
    EXPECT_EQ(clips(), 1u);
    EXPECT_TRUE(f.press(Qt::Key_X, Qt::ControlModifier, place(KEY_B)));  // the B place types x
    EXPECT_EQ(clips(), 2u);
    EXPECT_TRUE(f.press(Qt::Key_Semicolon, Qt::ControlModifier, place(KEY_Z)));
    EXPECT_EQ(clips(), 1u);
    EXPECT_TRUE(f.press(Qt::Key_BracketRight, Qt::NoModifier, place(KEY_EQUAL)));
    EXPECT_EQ(m.pixelsPerSecond(), zoom * 1.5);
    EXPECT_TRUE(f.press(Qt::Key_BracketLeft, Qt::NoModifier, place(KEY_MINUS)));
    EXPECT_NEAR(m.pixelsPerSecond(), zoom, 1e-9);
    EXPECT_FALSE(f.press(Qt::Key_Minus, Qt::KeypadModifier, place(KEY_KPMINUS)));  // another place
    EXPECT_NEAR(m.pixelsPerSecond(), zoom, 1e-9);
    EXPECT_TRUE(f.press(Qt::Key_Backslash, Qt::NoModifier, place(KEY_BACKSLASH)));
    EXPECT_TRUE(f.press(Qt::Key_H, Qt::NoModifier, place(KEY_J)));
    EXPECT_TRUE(f.press(Qt::Key_T, Qt::NoModifier, place(KEY_K)));
    EXPECT_TRUE(f.press(Qt::Key_Home, Qt::NoModifier, place(KEY_HOME)));
    EXPECT_EQ(m.playhead(), 0.0);

    EXPECT_FALSE(f.press(Qt::Key_O, Qt::NoModifier, place(KEY_S)));  // no clip selected
    m.setSelectedClipID(f.clipID);
    EXPECT_FALSE(f.press(Qt::Key_S, Qt::NoModifier, place(KEY_SEMICOLON)));  // s typed at the ; place
    EXPECT_TRUE(m.expandedTracks().isEmpty());
    const std::pair<int, quint32> lanes[] = {{Qt::Key_A, KEY_A}, {Qt::Key_O, KEY_S}, {Qt::Key_P, KEY_R},
                                             {Qt::Key_Y, KEY_T}, {Qt::Key_G, KEY_U}, {Qt::Key_L, KEY_P}};
    for (auto [key, evdev] : lanes) EXPECT_TRUE(f.press(key, Qt::NoModifier, place(evdev))) << evdev;
    EXPECT_EQ(m.expandedTracks().size(), 1);
    EXPECT_TRUE(f.press(Qt::Key_E, Qt::ControlModifier, place(KEY_D)));
    EXPECT_EQ(m.project().tracks.size() + clips(), 3u);  // duplicated somewhere
    const QUuid selected = m.selectedClipID();
    EXPECT_TRUE(f.press(Qt::Key_Backspace, Qt::NoModifier, place(KEY_BACKSPACE)));
    EXPECT_FALSE(m.project().clipLocation(selected).has_value());
}

TEST(EditorKeyMonitor, TextFieldsDialogsStartTwiceAndAModelThatIsGone) {
    Fixture f;
    EditorModel& m = *f.editor;
    f.field->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == f.field; }));
    QTest::keyClick(f.window.windowHandle(), Qt::Key_Space, Qt::NoModifier);
    EXPECT_EQ(f.field->text(), " ");  // typed, not played
    EXPECT_FALSE(m.isPlaying());
    f.window.setFocus();

    QDialog dialog(&f.window);
    dialog.setModal(true);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QGuiApplication::modalWindow() != nullptr; }));
    f.press(Qt::Key_Home);
    EXPECT_EQ(m.playhead(), 2.0);
    dialog.hide();
    f.window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f.window));

    CountingEditor other;
    f.monitor.start(other.model.get());  // already started: the first model stays
    EXPECT_TRUE(f.press(Qt::Key_Home));
    EXPECT_EQ(m.playhead(), 0.0);
    f.monitor.stop();
    EXPECT_FALSE(f.press(Qt::Key_End));
    EXPECT_EQ(m.playhead(), 0.0);

    f.monitor.start(f.editor.model.get());
    f.editor.model.reset();
    EXPECT_FALSE(f.press(Qt::Key_End));  // the model is gone: keys pass through
}

}  // namespace
}  // namespace qm::test
