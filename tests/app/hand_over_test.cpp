// Files handed over by a second launch (`quillmere File`, as a file manager starts it) to the
// window on the real questions: work they would replace is asked about as Open asks, and while a
// question is up they wait for its answer instead of putting a second question over it.
#include "app/app_shell.h"
#include "app/main_window.h"
#include "app/mode_setting.h"
#include "app/single_instance.h"
#include "editor/editor_model.h"
#include "platform/desktop/qt_desktop_services.h"
#include "support/panel_user.h"

#include "window_fixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::qpath;
using test::waitUntil;

class HandOver : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        fs::create_directories(dir / "run");
        fs::permissions(dir / "run", fs::perms::owner_all);
        session = QProcessEnvironment::systemEnvironment();
        session.insert("XDG_RUNTIME_DIR", qpath(dir / "run"));
        session.remove("WAYLAND_DISPLAY");
        session.insert("DISPLAY", ":handover");
        session.insert("QT_QPA_PLATFORM", "offscreen");
        instance = std::make_unique<SingleInstance>(SingleInstance::defaultName(session));
        ASSERT_TRUE(instance->listen());
        received = std::make_unique<QSignalSpy>(instance.get(), &SingleInstance::filesReceived);
    }
    void TearDown() override {
        for (const auto& launch : launches) {
            launch->kill();
            launch->waitForFinished();
        }
        WindowTest::TearDown();
    }
    // The window as the application runs it, on the real questions and panels, taking hand-overs.
    MainWindow& startOnTheRealDesktop(CreditsModel::StripBuilder builder = {}) {
        panels = &real;
        start(std::move(builder));
        real.setWindow(&shell->window());
        shell->takeHandOvers(*instance);
        shell->show();
        QApplication::setActiveWindow(&shell->window());
        EXPECT_TRUE(QTest::qWaitForWindowActive(&shell->window()));
        return shell->window();
    }
    // A second launch with `files`; it hands them over and ends.
    void launch(const QStringList& files) {
        auto& second = *launches.emplace_back(std::make_unique<QProcess>());
        second.setProcessEnvironment(session);
        second.start(QStringLiteral(QM_APP), files);
    }
    // Until the last launch has ended, having handed over what the window has now taken.
    bool handedOver() {
        QProcess& second = *launches.back();
        return second.state() == QProcess::NotRunning && received->size() == int(launches.size()) &&
               second.exitCode() == 0;
    }
    // The questions up at this moment.
    static int questionsUp() {
        int up = 0;
        for (QWidget* w : QApplication::topLevelWidgets()) up += qobject_cast<QMessageBox*>(w) && w->isVisible();
        return up;
    }
    QString file(const std::string& name) {
        test::writeFile(dir / name, "");
        return qpath(dir / name);
    }

    QProcessEnvironment session;
    std::unique_ptr<SingleInstance> instance;
    std::unique_ptr<QSignalSpy> received;
    std::vector<std::unique_ptr<QProcess>> launches;
    QtDesktopServices real;  // outlives the window, which TearDown ends
    test::PanelUser user;
};

// A list handed over replaces the loaded list and the characters chosen in it only when the user
// lets it, as Open does; a list into an empty slot asks nothing.
TEST_F(HandOver, AListHandedOverAsksBeforeItReplacesUnsavedChoices) {
    auto gate = std::make_shared<test::StripGate>();
    ChineseConverter::Choice choice;
    choice.source = "后";
    choice.result = "後";
    choice.options = {"後", "后"};
    gate->choices = {choice};
    startOnTheRealDesktop([gate](const fs::path&, const CreditsSettings& settings, const ChineseConverter::Overrides&) {
        return gate->build(settings);
    });
    const QString cast = file("Cast.docx");
    launch({cast});
    ASSERT_TRUE(waitUntil([&] { return handedOver() && credits->strip().has_value(); }));
    EXPECT_EQ(mode->mode(), AppMode::credits);
    ASSERT_EQ(credits->uncertainChoices().size(), 1u);
    credits->choose("后", credits->uncertainChoices().front(), false);
    const ChineseConverter::Overrides chosen = credits->conversionOverrides();
    ASSERT_FALSE(chosen.empty());

    QString question;
    user.readAlert(question).answer("Cancel");
    launch({file("Other.docx")});
    ASSERT_TRUE(waitUntil([&] { return handedOver(); }));
    EXPECT_TRUE(user.done()) << "no question came up";
    EXPECT_EQ(question, QString::fromUtf8("Do you want to save the changes made to \u201cEnd Credits\u201d?\n"
                                          "Your changes will be lost if you don\u2019t save them."));
    EXPECT_EQ(credits->documentURL(), cast);
    EXPECT_EQ(credits->conversionOverrides(), chosen);

    user.answer("Discard");
    const QString other = file("Other.pdf");
    launch({other});
    ASSERT_TRUE(waitUntil([&] { return handedOver(); }));
    EXPECT_TRUE(user.done());
    EXPECT_EQ(credits->documentURL(), other);
    EXPECT_TRUE(credits->conversionOverrides().empty());
}

// With the quit question up over an unsaved project, a project handed over waits: Cancel keeps
// the window, and then the project is routed with its own question; Save writes the project the
// question was about and quits, and what was handed over meanwhile is not opened.
TEST_F(HandOver, AProjectHandedOverDuringTheQuitQuestionWaitsForItsAnswer) {
    MainWindow& window = startOnTheRealDesktop();
    const QString a = qpath(dir / "A.qmproj"), b = qpath(dir / "B.qmproj");
    for (const QString& path : {a, b}) test::writeFile(path.toStdString(), editor->project().encoded().toStdString());
    ASSERT_TRUE(waitUntil([&, f = editor->openProject(a)] { return f.isFinished(); }));
    editor->addTrack();
    ASSERT_TRUE(editor->isDirty());
    mode->setMode(AppMode::convert);  // quitting from another mode: the hand-over switches modes

    std::vector<int> up;  // questions up at each answer
    const auto count = [&] { up.push_back(questionsUp()); };
    user.when([] { return true; }, [&] { launch({b}); }).when([&] { return handedOver(); });
    user.when([] { return true; }, count).answer("Cancel");
    user.when([] { return true; }, count).answer("Discard");  // the project handed over replaces A
    EXPECT_FALSE(window.close());
    ASSERT_TRUE(waitUntil([&] { return user.done() && editor->projectURL() == b; }));
    EXPECT_EQ(up, (std::vector<int>{1, 1}));
    EXPECT_EQ(mode->mode(), AppMode::edit);

    editor->addTrack();
    const QByteArray edited = editor->project().encoded();
    up.clear();
    user.when([] { return true; }, [&] { launch({a}); }).when([&] { return handedOver(); });
    user.when([] { return true; }, count).answer("Save");
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(user.done());
    EXPECT_EQ(up, std::vector<int>{1});
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(test::readFile(dir / "B.qmproj"), edited.toStdString()) << "the project asked about is saved";
    test::drainEvents();
    EXPECT_EQ(editor->projectURL(), b) << "quitting drops what was handed over meanwhile";
    EXPECT_FALSE(editor->isDirty());
}

}  // namespace
}  // namespace qm
