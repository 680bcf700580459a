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

TEST_F(MainWindowTest, MisspelledStoredModesStartInConvertAndAreKeptUntilAModeIsChosen) {
    for (const char* stored : {"Credits", "Edit", "convert ", "credits ", "editor"}) {
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

TEST_F(MainWindowTest, TheThreeModesAreOfferedAndTheChoiceIsStoredAtOnce) {
    ModeSetting mode;
    auto* convert = new QLabel;
    auto* credits = new QLabel;
    MainWindow window(mode, convert, {}, credits, {});
    EXPECT_EQ(window.windowTitle(), "Quillmere");
    EXPECT_EQ(window.minimumSize(), QSize(1100, 680));
    ASSERT_EQ(window.modePicker()->buttons().size(), 3);
    EXPECT_EQ(window.modePicker()->buttons()[0]->text(), "Convert");
    EXPECT_EQ(window.modePicker()->buttons()[1]->text(), "Advanced Editor");
    EXPECT_EQ(window.modePicker()->buttons()[2]->text(), "End Credits");
    EXPECT_TRUE(window.isAncestorOf(convert));
    window.modePicker()->buttons()[2]->click();
    EXPECT_EQ(QSettings().value("appMode").toString(), "credits");
    EXPECT_EQ(window.windowTitle(), "Quillmere");
    EXPECT_TRUE(credits->isVisibleTo(&window));
    EXPECT_FALSE(convert->isVisibleTo(&window));

    // The next launch starts where this one stopped.
    ModeSetting relaunched;
    MainWindow again(relaunched, new QLabel, {}, new QLabel, {});
    EXPECT_EQ(again.modePicker()->checkedId(), int(AppMode::credits));
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

    // Delete belongs to Convert; elsewhere the key goes to the mode's own handling.
    mode.setMode(AppMode::credits);
    EXPECT_FALSE(window.deleteAction()->isEnabled());
    window.deleteAction()->trigger();
    EXPECT_EQ(removed, 1);
}

}  // namespace
}  // namespace qm
