#include "app/main_window.h"
#include "app/mode_setting.h"

#include "support/qt_app.h"
#include "support/test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QLabel>
#include <QMenuBar>
#include <QSettings>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace qm {
namespace {

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::qtApp<QApplication>();
        QCoreApplication::setOrganizationName("Quillmere");
        QCoreApplication::setApplicationName("QuillmereShellTest");
    }
    void SetUp() override {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString(dir.path().string()));
        QSettings().clear();
    }
    test::TempDir dir;
};

TEST_F(MainWindowTest, UnbuiltOrMisspelledStoredModesStartInConvertAndAreKeptUntilAModeIsChosen) {
    for (const char* stored : {"edit", "Credits", "Edit", "convert ", "credits "}) {
        QSettings().setValue("appMode", stored);
        ModeSetting mode;
        EXPECT_EQ(mode.mode(), AppMode::convert) << stored;
        MainWindow window(mode, new QLabel, {}, new QLabel, {});
        EXPECT_EQ(QSettings().value("appMode").toString(), QString::fromLatin1(stored));
        ASSERT_NE(window.modePicker()->checkedButton(), nullptr);
        EXPECT_EQ(window.modePicker()->checkedId(), int(AppMode::convert));
    }
    QSettings().remove("appMode");
    ModeSetting mode;
    EXPECT_EQ(mode.mode(), AppMode::convert);
}

TEST_F(MainWindowTest, ConvertAndEndCreditsAreOfferedAndTheChoiceIsStoredAtOnce) {
    ModeSetting mode;
    auto* convert = new QLabel;
    auto* credits = new QLabel;
    MainWindow window(mode, convert, {}, credits, {});
    EXPECT_EQ(window.windowTitle(), "Quillmere");
    EXPECT_EQ(window.minimumSize(), QSize(1100, 680));
    ASSERT_EQ(window.modePicker()->buttons().size(), 2);
    EXPECT_EQ(window.modePicker()->buttons()[0]->text(), "Convert");
    EXPECT_EQ(window.modePicker()->buttons()[1]->text(), "End Credits");
    EXPECT_TRUE(window.isAncestorOf(convert));
    window.modePicker()->buttons()[1]->click();
    EXPECT_EQ(QSettings().value("appMode").toString(), "credits");
    EXPECT_EQ(window.windowTitle(), "Quillmere");
    EXPECT_TRUE(credits->isVisibleTo(&window));
    EXPECT_FALSE(convert->isVisibleTo(&window));

    // The next launch starts where this one stopped.
    ModeSetting relaunched;
    MainWindow again(relaunched, new QLabel, {}, new QLabel, {});
    EXPECT_EQ(again.modePicker()->checkedId(), int(AppMode::credits));
}

TEST_F(MainWindowTest, ProjectCommandsActInEndCreditsAndFollowItsContent) {
    ModeSetting mode;
    bool content = false;
    QStringList calls;
    MainWindow window(mode, new QLabel, {}, new QLabel,
                      {[&] { calls << "new"; }, [&](const QString& p) { calls << "open " + p; },
                       [&](bool as) { calls << (as ? "save as" : "save"); }, [&] { calls << "package"; },
                       [&] { return content; }});
    struct Item {
        QAction* action;
        const char* title;
        QKeySequence keys;
    };
    const Item items[] = {
        {window.newProjectAction(), "New Project", QKeySequence(Qt::CTRL | Qt::Key_N)},
        {window.openProjectAction(), "Open Project…", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_O)},
        {window.saveProjectAction(), "Save Project", QKeySequence(Qt::CTRL | Qt::Key_S)},
        {window.saveProjectAsAction(), "Save Project As…", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)},
        {window.packageProjectAction(), "Package Project…", QKeySequence()},
    };
    for (const Item& item : items) {
        EXPECT_EQ(item.action->text(), QString::fromUtf8(item.title));
        EXPECT_EQ(item.action->shortcut(), item.keys) << item.title;
    }
    // Convert: only the open command, which works in every mode.
    EXPECT_FALSE(window.newProjectAction()->isEnabled());
    EXPECT_TRUE(window.openProjectAction()->isEnabled());
    EXPECT_FALSE(window.saveProjectAction()->isEnabled());
    EXPECT_FALSE(window.saveProjectAsAction()->isEnabled());
    EXPECT_FALSE(window.packageProjectAction()->isEnabled());

    mode.setMode(AppMode::credits);
    EXPECT_TRUE(window.newProjectAction()->isEnabled());
    EXPECT_TRUE(window.saveProjectAction()->isEnabled());
    EXPECT_TRUE(window.saveProjectAsAction()->isEnabled());
    EXPECT_FALSE(window.packageProjectAction()->isEnabled()) << "nothing to package yet";
    content = true;
    window.refreshCommands();
    EXPECT_TRUE(window.packageProjectAction()->isEnabled());
    for (const Item& item : items)
        if (item.action != window.openProjectAction()) item.action->trigger();
    EXPECT_EQ(calls, (QStringList{"new", "save", "save as", "package"}));
}

TEST_F(MainWindowTest, MenuCommandsCallTheQueueAndAddFilesSwitchesToConvert) {
    QSettings().setValue("appMode", "credits");
    ModeSetting mode;
    int added = 0, chosen = 0, removed = 0;
    MainWindow window(mode, new QLabel, {[&] { ++added; }, [&] { ++chosen; }, [&] { ++removed; }}, new QLabel, {});
    EXPECT_EQ(window.addFilesAction()->text(), "Add Files to Convert…");
    EXPECT_EQ(window.addFilesAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(window.chooseOutputFolderAction()->text(), "Choose Output Folder…");
    EXPECT_EQ(window.chooseOutputFolderAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    EXPECT_TRUE(window.addFilesAction()->isEnabled());
    EXPECT_TRUE(window.chooseOutputFolderAction()->isEnabled());

    window.chooseOutputFolderAction()->trigger();
    EXPECT_EQ(chosen, 1);
    EXPECT_EQ(QSettings().value("appMode").toString(), "credits") << "choosing a folder leaves the mode alone";
    window.addFilesAction()->trigger();
    EXPECT_EQ(added, 1);
    EXPECT_EQ(QSettings().value("appMode").toString(), "convert");
    window.deleteAction()->trigger();
    EXPECT_EQ(removed, 1);

    // No command of a mode this build lacks is offered.
    for (QAction* menu : window.menuBar()->actions())
        for (QAction* item : menu->menu()->actions())
            for (const char* absent : {"Undo", "Redo", "Import Media…", "Zoom In Timeline"})
                EXPECT_NE(item->text(), QString::fromUtf8(absent));
}

}  // namespace
}  // namespace qm
