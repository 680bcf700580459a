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
    for (const char* stored : {"edit", "credits", "Edit", "convert "}) {
        QSettings().setValue("appMode", stored);
        ModeSetting mode;
        EXPECT_EQ(mode.mode(), AppMode::convert) << stored;
        MainWindow window(mode, new QLabel, {});
        EXPECT_EQ(QSettings().value("appMode").toString(), QString::fromLatin1(stored));
        ASSERT_NE(window.modePicker()->checkedButton(), nullptr);
        EXPECT_EQ(window.modePicker()->checkedId(), int(AppMode::convert));
    }
    QSettings().remove("appMode");
    ModeSetting mode;
    EXPECT_EQ(mode.mode(), AppMode::convert);
}

TEST_F(MainWindowTest, OnlyBuiltModesAreOfferedAndChoosingOneStoresIt) {
    ModeSetting mode;
    MainWindow window(mode, new QLabel, {});
    EXPECT_EQ(window.windowTitle(), "Quillmere");
    EXPECT_EQ(window.minimumSize(), QSize(1100, 680));
    ASSERT_EQ(window.modePicker()->buttons().size(), 1);
    EXPECT_EQ(window.modePicker()->buttons()[0]->text(), "Convert");
    window.modePicker()->buttons()[0]->click();
    EXPECT_EQ(QSettings().value("appMode").toString(), "convert");
}

TEST_F(MainWindowTest, MenuCommandsCallTheQueueAndAddFilesSwitchesToConvert) {
    QSettings().setValue("appMode", "credits");
    ModeSetting mode;
    int added = 0, chosen = 0, removed = 0;
    MainWindow window(mode, new QLabel,
                      {[&] { ++added; }, [&] { ++chosen; }, [&] { ++removed; }});
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
            for (const char* absent : {"New Project", "Save Project", "Undo", "Import Media…", "Zoom In Timeline"})
                EXPECT_NE(item->text(), QString::fromUtf8(absent));
}

}  // namespace
}  // namespace qm
