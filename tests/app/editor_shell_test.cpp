// The window with the real editor model: the Advanced Editor in the picker and restored, its title,
// the enabling of its commands and the question about unsaved work before it is replaced.
#include "app/app_shell.h"
#include "app/main_window.h"
#include "app/mode_setting.h"
#include "convert/conversion_queue.h"
#include "credits/credits_model.h"
#include "editor/editor_model.h"
#include "editor/views/editor_view.h"
#include "editor/views/inspector/inspector_view.h"
#include "editor/views/timeline/timeline_view.h"
#include "editor/views/timeline/track_header.h"
#include "platform/desktop/icons.h"

#include "editor_views/one_clip.h"
#include "support/qt_events.h"
#include "window_fixture.h"

#include <QApplication>
#include <QButtonGroup>
#include <QLineEdit>
#include <QSettings>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace qm {
namespace {

using test::qpath;

class EditorShell : public test::WindowTest {
protected:
    // The editor's previews are drawn by a stand-in; the window is shown at once.
    void start() {
        WindowTest::start({}, test::editorWithPreview(QImage(16, 9, QImage::Format_RGBA8888), &desktop));
        shell->show();
    }
    MainWindow& window() { return shell->window(); }
    // One medium with a clip on the timeline: a dirty project with one undo step.
    void addClip() { test::addMediaClip(*editor, 640, 360, 2); }
};

TEST_F(EditorShell, TheStoredEditModeIsRestoredWithTheProjectTitle) {
    QSettings().setValue("appMode", "edit");
    start();
    EXPECT_EQ(window().modePicker()->checkedId(), int(AppMode::edit));
    EXPECT_TRUE(shell->editorView()->isVisibleTo(&window()));
    EXPECT_EQ(window().windowTitle(), "Untitled");
    addClip();
    EXPECT_EQ(window().windowTitle(), QString::fromUtf8("Untitled \u2022"));
    mode->setMode(AppMode::convert);
    EXPECT_EQ(window().windowTitle(), "Quillmere");
    EXPECT_FALSE(shell->editorView()->isVisibleTo(&window()));
}

TEST_F(EditorShell, CommandsFollowTheModeAndTheProject) {
    start();
    MainWindow& w = window();
    const auto enabled = [&] {
        return std::vector<bool>{w.saveProjectAction()->isEnabled(), w.packageProjectAction()->isEnabled(),
                                 w.undoAction()->isEnabled(),        w.redoAction()->isEnabled(),
                                 w.zoomInAction()->isEnabled(),      w.fitTimelineAction()->isEnabled(),
                                 w.deleteAction()->isEnabled()};
    };
    EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false, false, false, false, true})) << "Convert";
    w.newProjectAction()->trigger();
    EXPECT_EQ(mode->mode(), AppMode::edit) << "New in Convert starts an editor project";
    EXPECT_EQ(enabled(), (std::vector<bool>{true, false, false, false, true, false, false})) << "empty editor";
    addClip();
    EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true, false, true, true, false}));
    w.undoAction()->trigger();
    EXPECT_TRUE(w.redoAction()->isEnabled());
    EXPECT_FALSE(w.undoAction()->isEnabled());
    mode->setMode(AppMode::credits);
    EXPECT_EQ(enabled(), (std::vector<bool>{true, false, false, false, false, false, false})) << "End Credits";
}

TEST_F(EditorShell, UnsavedWorkIsAskedAboutBeforeNewOpenRoutingAndClosing) {
    QSettings().setValue("appMode", "edit");
    start();
    addClip();
    const Project edited = editor->project();
    const QString other = qpath(dir.path() / "Other.qmproj");

    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel};
    window().newProjectAction()->trigger();
    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel};
    desktop.openAnswers = {{other}};
    window().openProjectAction()->trigger();
    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel};
    shell->open({QUrl::fromLocalFile(other)});
    QApplication::processEvents();
    EXPECT_EQ(desktop.askedAbout, (QStringList{"Untitled", "Untitled", "Untitled"}));
    EXPECT_EQ(editor->project(), edited) << "Cancel keeps the project";
    EXPECT_TRUE(editor->isDirty());

    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel};
    EXPECT_FALSE(window().close());
    EXPECT_TRUE(window().isVisible());
    desktop.saveChangesAnswers = {SaveChangesAnswer::dontSave};
    window().newProjectAction()->trigger();
    EXPECT_TRUE(editor->project().media.empty());
    EXPECT_EQ(desktop.askedAbout.size(), 5);
    EXPECT_TRUE(window().close()) << "a clean project closes without a question";
    EXPECT_EQ(desktop.askedAbout.size(), 5);
}

TEST_F(EditorShell, AtTheNarrowestWindowTheTimelineToolbarKeepsItsLabels) {
    installIconTheme();  // the labels' icons count in the width
    QSettings().setValue("appMode", "edit");
    start();
    window().resize(window().minimumWidth(), 700);
    QApplication::processEvents();
    ASSERT_EQ(window().width(), 1100);
    EditorView* view = shell->editorView();
    EXPECT_GE(view->width(), view->minimumSizeHint().width()) << "nothing is squeezed below its minimum";
    TimelineView* timeline = view->timeline();
    QToolButton* sync = timeline->button(QStringLiteral("Sync to Selected"));
    EXPECT_GE(sync->width(), sync->sizeHint().width()) << "the label is not cut";
    EXPECT_LE(sync->geometry().right(), timeline->zoomSlider()->geometry().left());
    EXPECT_LT(timeline->mapTo(view, timeline->zoomSlider()->geometry().bottomRight()).x(), view->inspector()->x())
        << "the toolbar ends before the inspector";
}

TEST_F(EditorShell, TheDeleteKeyReachesTheEditorAndRemovesTheSelectedClip) {
    QSettings().setValue("appMode", "edit");
    start();
    addClip();
    ASSERT_FALSE(editor->selectedClipID().isNull());
    window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window()));
    QTest::keyClick(window().windowHandle(), Qt::Key_Delete);
    EXPECT_TRUE(editor->project().tracks.at(0).clips.empty());
    EXPECT_EQ(editor->project().media.size(), 1u) << "the medium stays in the bin";
}

// A layer name typed and left with a click elsewhere or Tab is the layer's name, as Return makes
// it: one undo step, the unsaved mark, written by Ctrl+S and asked about by Ctrl+Q. Passing
// through the field without a change is no edit.
TEST_F(EditorShell, ALayerNameLeftWithAClickOrTabIsKeptAsReturnKeepsIt) {
    QSettings().setValue("appMode", "edit");
    start();
    editor->addTrack();
    const QString show = qpath(dir / "Show.qmproj");
    desktop.saveAnswers = {show};
    ASSERT_TRUE(editor->saveProject(false));
    QApplication::setActiveWindow(&window());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window()));
    const auto& tracks = editor->project().tracks;
    QLineEdit* first = shell->editorView()->timeline()->header(tracks.at(0).id)->nameField();
    QLineEdit* second = shell->editorView()->timeline()->header(tracks.at(1).id)->nameField();
    const std::size_t steps = editor->undoCount();

    QTest::mouseClick(first, Qt::LeftButton);
    first->selectAll();
    QTest::keyClicks(first, "Titles");
    QTest::mouseClick(second, Qt::LeftButton);
    ASSERT_EQ(QApplication::focusWidget(), second);
    EXPECT_EQ(tracks.at(0).name, "Titles");
    EXPECT_EQ(window().windowTitle(), QString::fromUtf8("Show \u2022"));
    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel};
    window().quitAction()->trigger();  // Ctrl+Q where the platform binds it
    EXPECT_EQ(desktop.askedAbout, QStringList{"Show"});
    EXPECT_TRUE(window().isVisible());

    QApplication::setActiveWindow(&window());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window()));
    second->setFocus();
    QTest::keyClick(second, Qt::Key_Tab);  // through unchanged: nothing
    EXPECT_EQ(editor->undoCount(), steps + 1);
    second->setFocus();
    second->selectAll();
    QTest::keyClicks(second, "Dialogue");
    QTest::keyClick(second, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), second);
    EXPECT_EQ(tracks.at(1).name, "Dialogue");
    EXPECT_EQ(editor->undoCount(), steps + 2);
    QTest::keyClick(window().windowHandle(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(editor->isDirty());
    const Project saved = Project::decode(test::readFile(dir / "Show.qmproj"));
    ASSERT_EQ(saved.tracks.size(), 2u);
    EXPECT_EQ(saved.tracks[0].name, "Titles");
    EXPECT_EQ(saved.tracks[1].name, "Dialogue");

    // Return still commits once, and leaving the field after it adds nothing.
    second->setFocus();
    second->selectAll();
    QTest::keyClicks(second, "Music");
    QTest::keyClick(second, Qt::Key_Return);
    QTest::keyClick(second, Qt::Key_Tab);
    EXPECT_EQ(tracks.at(1).name, "Music");
    EXPECT_EQ(editor->undoCount(), steps + 3);

    // Ctrl+S and Quit while the name is still being typed take it first; the field keeps the focus.
    second->setFocus();
    second->selectAll();
    QTest::keyClicks(second, "Score");
    QTest::keyClick(window().windowHandle(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(Project::decode(test::readFile(dir / "Show.qmproj")).tracks.at(1).name, "Score");
    EXPECT_EQ(QApplication::focusWidget(), second);
    second->selectAll();
    QTest::keyClicks(second, "Effects");
    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel};
    window().quitAction()->trigger();
    EXPECT_EQ(desktop.askedAbout, (QStringList{"Show", "Show"}));
    EXPECT_EQ(tracks.at(1).name, "Effects");
}

}  // namespace
}  // namespace qm
