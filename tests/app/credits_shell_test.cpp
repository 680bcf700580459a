// The window with the real Convert queue and credits model: End Credits in the picker, opened
// files routed to it, the project commands of the File menu and the question about unsaved work.
#include "app/app_shell.h"
#include "app/main_window.h"
#include "app/mode_setting.h"
#include "convert/conversion_queue.h"
#include "credits/credits_project.h"
#include "credits/views/credits_export_bar.h"
#include "credits/views/credits_settings_panel.h"
#include "credits/views/credits_view.h"
#include "credits/views/form_controls.h"
#include "credits/strip_test_support.h"
#include "platform/desktop/qt_desktop_services.h"
#include "support/panel_user.h"

#include "window_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QToolButton>
#include <QTest>

#include <gtest/gtest.h>

namespace qm {
namespace {

using test::qpath;
using test::waitUntil;

class CreditsShell : public test::WindowTest {
protected:
    void start() {
        WindowTest::start([gate = gate](const std::filesystem::path&, const CreditsSettings& settings,
                                               const ChineseConverter::Overrides&) { return gate->build(settings); });
    }
    QUrl file(const std::string& name, bool picture = false) {
        if (picture)
            test::ffmpeg({"-f", "lavfi", "-i", "color=blue:s=64x48", "-frames:v", "1", (dir / name).string()});
        else
            test::writeFile(dir / name, "");
        return QUrl::fromLocalFile(qpath(dir / name));
    }
    CreditsSettingsPanel& panel() const { return *shell->creditsView()->settingsPanel(); }
    // The window on the real panels and questions, shown in End Credits and active.
    MainWindow& startOnTheRealDesktop() {
        panels = &real;
        start();
        real.setWindow(&shell->window());
        mode->setMode(AppMode::credits);
        shell->show();
        QApplication::setActiveWindow(&shell->window());
        EXPECT_TRUE(QTest::qWaitForWindowActive(&shell->window()));
        return shell->window();
    }

    std::shared_ptr<test::StripGate> gate = std::make_shared<test::StripGate>();
    QtDesktopServices real;  // outlives the window, which the fixture's TearDown ends
    test::PanelUser user;
};

TEST_F(CreditsShell, AWordListFromTheCommandLineSwitchesToEndCreditsAndFillsTheListSlot) {
    start();
    shell->open({file("Cast.DOCX"), file("clip.mov")});
    EXPECT_EQ(QSettings().value("appMode").toString(), "") << "nothing is routed before the window is up";
    shell->show();
    EXPECT_EQ(QSettings().value("appMode").toString(), "credits");
    EXPECT_EQ(shell->window().modePicker()->checkedId(), int(AppMode::credits));
    EXPECT_TRUE(shell->creditsView()->isVisibleTo(&shell->window()));
    EXPECT_EQ(panel().documentRow()->nameLabel()->fullText(), "Cast.DOCX");
    EXPECT_EQ(queue->jobs().size(), 1u) << "the movie still goes to the queue";
    EXPECT_EQ(shell->window().windowTitle(), "Quillmere");
}

TEST_F(CreditsShell, ADamagedListIsReadUpToTheDamageAndTheWindowSaysWhatWasLost) {
    test::WindowTest::start();  // the real strip builder
    test::makeDamagedList(dir / "Cast.docx");
    shell->open({QUrl::fromLocalFile(qpath(dir / "Cast.docx"))});
    shell->show();
    ASSERT_TRUE(waitUntil([&] { return (credits->strip() && !credits->isBuildingStrip()) || credits->errorMessage(); }));
    EXPECT_FALSE(credits->errorMessage());
    EXPECT_GT(credits->strip()->height, 0) << "the lines before the damage are laid out";
    ASSERT_TRUE(panel().documentDamageRow()->isVisibleTo(&shell->window()));
    EXPECT_EQ(panel().documentDamage()->text().toStdString(),
              "The list in “Cast.docx” is damaged after line 4 (word/document.xml): it is read up to there.\n"
              "The picture “word/media/image1.png” on line 3 of “Cast.docx” can't be read: it is left out.");
    QTest::mouseClick(panel().documentRow()->removeButton(), Qt::LeftButton);
    EXPECT_FALSE(panel().documentDamageRow()->isVisibleTo(&shell->window()));
}

TEST_F(CreditsShell, ProjectCommandsFollowTheModeAndTheContent) {
    start();
    shell->show();
    MainWindow& window = shell->window();
    EXPECT_FALSE(window.saveProjectAction()->isEnabled());
    mode->setMode(AppMode::credits);
    QApplication::processEvents();
    EXPECT_EQ(panel().projectName()->text(), "Untitled project") << "whole at the window's first size";
    EXPECT_TRUE(window.saveProjectAction()->isEnabled());
    EXPECT_FALSE(window.packageProjectAction()->isEnabled());
    shell->open({file("logo.png", true)});
    EXPECT_TRUE(window.packageProjectAction()->isEnabled()) << "a picture is content";

    // New Project forgets the inputs and keeps settings and output.
    CreditsSettings settings = credits->settings();
    settings.rollSeconds = 42;
    credits->setSettings(settings);
    ConversionSettings output = credits->output();
    output.format = OutputFormat::hapQ;
    credits->setOutput(output);
    desktop.saveChangesAnswers = {SaveChangesAnswer::dontSave};
    window.newProjectAction()->trigger();
    EXPECT_EQ(desktop.askedAbout, QStringList{"End Credits"}) << "the picture was never saved";
    EXPECT_TRUE(credits->headURL().isEmpty());
    EXPECT_EQ(credits->settings(), settings);
    EXPECT_EQ(credits->output(), output);
    EXPECT_FALSE(window.packageProjectAction()->isEnabled());
    EXPECT_EQ(mode->mode(), AppMode::credits);
}

TEST_F(CreditsShell, SaveSaveAsAndPackageActOnTheCreditsProject) {
    start();
    shell->show();
    MainWindow& window = shell->window();
    mode->setMode(AppMode::credits);
    QApplication::processEvents();
    shell->open({file("logo.png", true)});
    const QString show = qpath(dir / "Show.qmcredits"), copy = qpath(dir / "Copy.qmcredits"),
                  package = qpath(dir / "Pack.qmcredits");

    desktop.saveAnswers = {show, copy, package};
    window.saveProjectAction()->trigger();  // nothing open yet: the panel asks where
    EXPECT_EQ(credits->projectURL(), show);
    EXPECT_EQ(credits->projectMessage(), std::optional<QString>("Saved Show.qmcredits."));
    window.saveProjectAction()->trigger();  // back into the open project, unasked
    EXPECT_EQ(desktop.saves.size(), 1u);
    window.saveProjectAsAction()->trigger();
    EXPECT_EQ(credits->projectURL(), copy);
    window.packageProjectAction()->trigger();
    EXPECT_EQ(desktop.saves.size(), 3u);
    EXPECT_EQ(credits->lastPackageURL(), package);
    EXPECT_EQ(credits->projectURL(), copy) << "the package is a copy, not the open project";
    for (const char* project : {"Show.qmcredits", "Copy.qmcredits", "Pack.qmcredits"})
        EXPECT_TRUE(std::filesystem::exists(dir / project / "project.json")) << project;
    EXPECT_TRUE(std::filesystem::exists(dir / "Pack.qmcredits" / "Media" / "logo.png"));
    EXPECT_TRUE(editor->projectURL().isEmpty());
    EXPECT_EQ(mode->mode(), AppMode::credits);
}

TEST_F(CreditsShell, SpaceAfterTheExportPanelClosesPlaysTheRollAndKeepsTheMode) {
    MainWindow& window = startOnTheRealDesktop();
    credits->loadPicture(file("logo.png", true).toLocalFile(), CreditsModel::Slot::opening);
    ASSERT_GT(credits->length(), 0);

    // Export… takes focus from the click; the export it starts disables it while the panel's
    // window hands activation back, so focus moves along the window's chain.
    QPushButton* exportButton = shell->creditsView()->exportBar()->exportButton();
    user.type(qpath(dir / "Roll.mov"));
    QTest::mouseClick(exportButton, Qt::LeftButton);
    EXPECT_TRUE(user.done());
    EXPECT_TRUE(credits->isExporting());
    QApplication::setActiveWindow(&window);  // what the window manager does when the panel goes
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_TRUE(shell->creditsView()->isAncestorOf(focus)) << focus->metaObject()->className();
    for (const bool playing : {true, false}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        EXPECT_EQ(mode->mode(), AppMode::credits);
        EXPECT_EQ(credits->isPlaying(), playing);
    }
    credits->cancelExport();
    ASSERT_TRUE(waitUntil([&] { return !credits->isExporting(); }));
}

// The real question comes before New, Open, a project opened from outside, Quit and closing the
// window while End Credits work was never saved; Cancel keeps the work, the mode and the window,
// with the focus back where it was.
TEST_F(CreditsShell, UnsavedCreditsAreAskedAboutAndCancelKeepsThem) {
    MainWindow& window = startOnTheRealDesktop();
    const QString other = qpath(dir / "Other.qmcredits");
    CreditsProject{}.writePackage(other);
    const QUrl logo = file("logo.png", true), list = file("Cast.docx");
    shell->open({logo, list});
    ASSERT_TRUE(waitUntil([&] { return credits->strip().has_value(); }));
    QWidget* focused = shell->creditsView()->exportBar()->exportButton();
    focused->setFocus();

    QString question;
    user.readAlert(question).answer("Cancel");
    window.newProjectAction()->trigger();
    user.type(other).answer("Cancel");
    window.openProjectAction()->trigger();
    user.answer("Cancel");
    shell->open({QUrl::fromLocalFile(other)});
    user.answer("Cancel");
    window.quitAction()->trigger();
    user.answer("Cancel");
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(user.done());
    EXPECT_EQ(question, QString::fromUtf8("Do you want to save the changes made to \u201cEnd Credits\u201d?\n"
                                          "Your changes will be lost if you don\u2019t save them."));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(mode->mode(), AppMode::credits);
    EXPECT_EQ(credits->headURL(), logo.toLocalFile());
    EXPECT_EQ(credits->documentURL(), list.toLocalFile());
    EXPECT_TRUE(credits->strip().has_value());
    EXPECT_TRUE(credits->projectURL().isEmpty()) << "Other.qmcredits was not opened";
    QApplication::setActiveWindow(&window);  // what the window manager does when the question goes
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(QApplication::focusWidget(), focused);

    // Discard lets New go on; an empty project is then replaced without a question.
    user.answer("Discard");
    window.newProjectAction()->trigger();
    EXPECT_TRUE(user.done());
    EXPECT_TRUE(credits->headURL().isEmpty());
    EXPECT_FALSE(credits->hasUnsavedWork());
    EXPECT_TRUE(window.close());
}

// Save in the question writes the project first, and only a project written lets the work go: a
// cancelled panel and a disk that refuses the save keep the window open. A saved project changed
// since is asked about by its name, as the End Credits one.
TEST_F(CreditsShell, SaveInTheQuestionWritesFirstAndOnlyAWrittenProjectLetsTheWindowClose) {
    test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    MainWindow& window = startOnTheRealDesktop();
    shell->open({file("logo.png", true)});
    const QString show = qpath(disk / "Show.qmcredits");

    user.answer("Save").onPanel([](QFileDialog& panel) { panel.reject(); });
    EXPECT_FALSE(window.close()) << "the save panel was cancelled";
    user.answer("Save").type(show);
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(user.done());
    EXPECT_EQ(credits->projectURL(), show);
    const std::string saved = test::readFile(disk / "Show.qmcredits" / "project.json");

    window.show();
    EXPECT_TRUE(window.close()) << "nothing changed since the save: no question";
    window.show();
    CreditsSettings changed = credits->settings();
    changed.rollSeconds += 5;
    credits->setSettings(changed);
    ASSERT_TRUE(disk.setReadOnly(true));
    QString question;
    user.readAlert(question).answer("Save");
    EXPECT_FALSE(window.close()) << "the save failed";
    EXPECT_TRUE(user.done());
    EXPECT_TRUE(question.startsWith(QString::fromUtf8("Do you want to save the changes made to \u201cShow (End Credits)\u201d?")))
        << question.toStdString();
    ASSERT_TRUE(credits->errorMessage());
    EXPECT_TRUE(credits->errorMessage()->endsWith("(Read-only file system)")) << credits->errorMessage()->toStdString();
    EXPECT_EQ(credits->settings(), changed);
    ASSERT_TRUE(disk.setReadOnly(false));
    EXPECT_EQ(test::readFile(disk / "Show.qmcredits" / "project.json"), saved);
    user.answer("Discard");
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(user.done());
}

}  // namespace
}  // namespace qm
