// The project workflows through the real file panels: credits projects (.qmcredits) and editor
// packages (.qmpack) saved over, packaged over and opened as one item, by a click in the list or
// a typed name, and a missing medium relinked by its typed name.
#include <sys/mount.h>

#include <map>
#include <set>

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRandomGenerator>

#include "app/main_window.h"
#include "credits/credits_project.h"
#include "platform/desktop/qt_desktop_services.h"
#include "support/panel_user.h"
#include "window_fixture.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::qpath;
using test::waitUntil;

class DocumentPanels : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        panels = &real;
        start();
        real.setWindow(&shell->window());
        shell->show();
    }
    QString picture(const fs::path& path, int side = 64) {
        QImage image(side, side, QImage::Format_RGB888);
        // Noise, so that the file is as big as its pixels.
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) image.setPixel(x, y, QRandomGenerator::global()->generate());
        fs::create_directories(path.parent_path());
        EXPECT_TRUE(image.save(qpath(path)));
        return qpath(path);
    }
    QString movie(const fs::path& path) {
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x36:rate=25:duration=1", "-c:v", "mpeg4", path.string()});
        return qpath(path);
    }
    // An editor package as the editor writes it, with one file in its media folder.
    fs::path package(const std::string& name) {
        const fs::path folder = dir / name;
        fs::create_directories(folder / "Media");
        test::writeFile(folder / "Media" / "kept.mov", "");
        const QByteArray bytes = Project().encoded();
        test::writeFile(folder / "project.qmproj", bytes.toStdString());
        return folder;
    }
    // A package written by the editor: one clip.mov made from the lavfi `source`, imported and packed.
    fs::path packed(const std::string& name, const std::string& source) {
        const fs::path clip = dir / (name + " source") / "clip.mov";
        fs::create_directories(clip.parent_path());
        test::ffmpeg({"-f", "lavfi", "-i", source + "=size=64x36:rate=25", "-t", "1", "-c:v", "mpeg4", clip.string()});
        editor->newProject();
        EXPECT_TRUE(waitUntil([&, f = editor->importFiles({qpath(clip)})] { return f.isFinished(); }));
        EXPECT_TRUE(waitUntil([&, f = editor->packageProject(qpath(dir / name))] { return f.isFinished(); }));
        EXPECT_TRUE(fs::exists(dir / name / "Media" / "clip.mov"));
        return dir / name;
    }
    // Every file below `folder` with its bytes.
    static std::map<std::string, std::string> contents(const fs::path& folder) {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = test::readFile(entry.path());
        return files;
    }
    MainWindow& window() { return shell->window(); }
    // What the user sees, for a person to look at: with QM_SCREENSHOT_DIR set (under xvfb-run).
    void screenshot(const char* name) {
        user.onPanel([name](QFileDialog& panel) {
            const QString folder = qEnvironmentVariable("QM_SCREENSHOT_DIR");
            if (!folder.isEmpty()) panel.grab().save(folder + u'/' + QLatin1String(name));
        });
    }

    QtDesktopServices real;
    test::PanelUser user;
};

TEST_F(DocumentPanels, CreditsSaveAsReplacesAnExistingProjectOnlyOnceTheNewOneIsComplete) {
    // On a 1 MB disk the old project holds a picture too big to be there twice.
    const fs::path disk = dir / "disk";
    fs::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "a small tmpfs needs root";
    const std::unique_ptr<const char, void (*)(const char*)> unmount(disk.c_str(), [](const char* p) { ::umount2(p, MNT_DETACH); });
    const fs::path show = disk / "Show.qmcredits";
    credits->loadPicture(picture(show / "Media" / "big.bmp", 500), CreditsModel::Slot::opening);
    test::writeFile(show / "notes.txt", "the old project");

    user.type(qpath(show)).answer("Replace");
    credits->saveProject(true);
    EXPECT_TRUE(user.done());
    EXPECT_TRUE(credits->errorMessage().has_value()) << "the picture could not be kept";
    EXPECT_TRUE(fs::exists(show / "notes.txt")) << "the old project stays whole";
    EXPECT_TRUE(fs::exists(show / "Media" / "big.bmp"));
    EXPECT_TRUE(credits->projectURL().isEmpty());

    // Without the big picture the new project fits, and replaces the old one whole.
    credits->setErrorMessage(std::nullopt);
    credits->loadPicture(picture(dir / "logo.png"), CreditsModel::Slot::opening);
    user.type(qpath(show)).answer("Replace");
    credits->saveProject(true);
    EXPECT_TRUE(user.done());
    EXPECT_FALSE(credits->errorMessage().has_value());
    EXPECT_EQ(credits->projectURL(), qpath(show));
    EXPECT_FALSE(fs::exists(show / "notes.txt"));
    EXPECT_FALSE(fs::exists(show / "Media"));
    EXPECT_EQ(CreditsProject::readPackage(qpath(show)).head->path, (dir / "logo.png").string());
}

TEST_F(DocumentPanels, CreditsPackageReplacesAPackagePickedInTheList) {
    credits->loadPicture(picture(dir / "logo.png"), CreditsModel::Slot::opening);
    user.type(qpath(dir.path())).type("Show");  // into the folder, then a name without extension
    credits->saveProject(true);
    ASSERT_EQ(credits->projectURL(), qpath(dir / "Show.qmcredits"));

    const fs::path target = dir / "Old Package.qmcredits";
    fs::create_directories(target);
    test::writeFile(target / "stale.txt", "");
    QString message, title;
    screenshot("package_panel.png");
    user.onPanel([&](QFileDialog& panel) {
        message = panel.findChild<QLabel*>(QStringLiteral("panelMessage"))->text();
        title = panel.windowTitle();
    });
    user.pick("Old Package.qmcredits").answer("Replace");
    credits->packageProject();
    EXPECT_TRUE(user.done());
    EXPECT_EQ(message, "The package holds the project and copies of its pictures and credits list.");
    EXPECT_FALSE(title.contains(message));
    EXPECT_EQ(credits->lastPackageURL(), qpath(target));
    EXPECT_FALSE(fs::exists(target / "stale.txt"));
    EXPECT_TRUE(fs::exists(target / "Media" / "logo.png"));
    EXPECT_EQ(credits->projectURL(), qpath(dir / "Show.qmcredits"));
}

TEST_F(DocumentPanels, OpenProjectTakesPackagesAndCreditsProjectsAsOneItem) {
    const fs::path first = package("First.qmpack");
    const fs::path second = package("Second.qmpack");
    credits->loadPicture(picture(dir / "logo.png"), CreditsModel::Slot::opening);
    user.type(qpath(dir / "Show.qmcredits"));
    credits->saveProject(true);
    credits->newProject();

    user.type(qpath(dir.path()));  // a typed folder is entered
    screenshot("open_panel.png");
    user.pick("First.qmpack");
    window().openProjectAction()->trigger();
    ASSERT_TRUE(waitUntil([&] { return editor->projectURL() == qpath(first); }));
    EXPECT_EQ(mode->mode(), AppMode::edit);

    user.type(qpath(second));
    window().openProjectAction()->trigger();
    ASSERT_TRUE(waitUntil([&] { return editor->projectURL() == qpath(second); }));

    user.pick("Show.qmcredits", true);
    window().openProjectAction()->trigger();
    EXPECT_EQ(mode->mode(), AppMode::credits);
    EXPECT_EQ(credits->projectURL(), qpath(dir / "Show.qmcredits"));

    credits->newProject();
    user.type("Show.qmcredits");
    window().openProjectAction()->trigger();
    EXPECT_EQ(credits->projectURL(), qpath(dir / "Show.qmcredits"));
    EXPECT_TRUE(user.done());

    // From the command line too; a project is never queued for conversion.
    credits->newProject();
    mode->setMode(AppMode::convert);
    shell->open({QUrl::fromLocalFile(qpath(dir / "Show.qmcredits"))});
    EXPECT_EQ(mode->mode(), AppMode::credits);
    EXPECT_TRUE(waitUntil([&] { return !credits->headURL().isEmpty(); }));
    EXPECT_TRUE(queue->jobs().empty());
}

TEST_F(DocumentPanels, EditorSaveAsCannotChooseAPackageAndSaveStaysInTheOpenOne) {
    // Two packages, each with its own clip.mov; A is open.
    const fs::path a = packed("A.qmpack", "testsrc"), b = packed("B.qmpack", "mandelbrot");
    auto opened = editor->openProject(qpath(a));
    ASSERT_TRUE(waitUntil([&] { return opened.isFinished(); }));
    ASSERT_FALSE(editor->hasMissingMedia());
    editor->addTrack();
    const auto before = std::pair{contents(a), contents(b)};

    const QString refused = "A project package can’t be saved here. To write or replace a package, use Package Project…";
    QString proposed, clicked, doubleClicked, typed, typedNew, folder;
    QStringList filters;
    user.onPanel([&](QFileDialog& panel) {
        proposed = panel.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
        filters = panel.nameFilters();
    });
    user.pick("B.qmpack").readNotice(clicked);  // the name follows the click; Save refuses it
    user.type("New.qmpack").readNotice(typedNew);
    user.onPanel([](QFileDialog& panel) { panel.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->clear(); });
    user.pick("B.qmpack", true).readNotice(doubleClicked);  // neither chosen nor entered
    user.onPanel([&](QFileDialog& panel) { folder = panel.directory().absolutePath(); });
    user.sees("B.qmpack").type("B.qmpack").readNotice(typed);
    user.onPanel([](QFileDialog& panel) { panel.reject(); });
    EXPECT_FALSE(editor->saveProject(true));
    EXPECT_TRUE(user.done());
    EXPECT_EQ(proposed, "A.qmproj");
    EXPECT_FALSE(filters.join(u' ').contains("qmpack"));
    EXPECT_EQ(clicked, refused);
    EXPECT_EQ(typedNew, refused);
    EXPECT_EQ(doubleClicked, refused);
    EXPECT_EQ(typed, refused);
    EXPECT_EQ(folder, qpath(dir.path()));
    EXPECT_EQ(std::pair(contents(a), contents(b)), before) << "neither package changes";
    EXPECT_FALSE(fs::exists(dir / "New.qmpack"));
    EXPECT_EQ(editor->projectURL(), qpath(a));

    // Save writes the open package's project file, which still finds the package's own copies.
    EXPECT_TRUE(editor->saveProject(false));
    EXPECT_EQ(Project::decode(test::readFile(a / "project.qmproj")), editor->project());
    EXPECT_EQ(contents(b), before.second);
    EXPECT_EQ(Project::open(qpath(a)).media.at(0).path, qpath(a / "Media" / "clip.mov"));
}

TEST_F(DocumentPanels, NamesTypedKeyByKeyAreSavedAsTyped) {
    credits->loadPicture(picture(dir / "logo.png"), CreditsModel::Slot::opening);
    user.type(qpath(dir / "show.qmcredits"));
    credits->saveProject(true);
    ASSERT_EQ(credits->projectURL(), qpath(dir / "show.qmcredits"));

    // Typed in the credits Save As panel beside show.qmcredits.
    user.sees("show.qmcredits").type("show_v2");
    credits->saveProject(true);
    EXPECT_EQ(credits->projectURL(), qpath(dir / "show_v2.qmcredits"));
    EXPECT_TRUE(fs::is_directory(dir / "show_v2.qmcredits"));

    fs::create_directories(dir / "other.qmcredits");
    test::writeFile(dir / "other.qmcredits" / "stale.txt", "");
    user.sees("other.qmcredits").type("other.qmcredits").answer("Replace");
    credits->saveProject(true);
    EXPECT_TRUE(user.done());
    EXPECT_EQ(credits->projectURL(), qpath(dir / "other.qmcredits"));
    EXPECT_FALSE(fs::exists(dir / "other.qmcredits" / "stale.txt"));

    // The editor's Package panel beside pack1.qmpack.
    package("pack1.qmpack");
    const QString clip = movie(dir / "clip.mov");
    ASSERT_TRUE(waitUntil([&, f = editor->importFiles({clip})] { return f.isFinished(); }));
    user.type(qpath(dir.path())).sees("pack1.qmpack").type("pack1_v2");
    auto packing = editor->packageProjectPanel();
    ASSERT_TRUE(waitUntil([&] { return packing.isFinished(); }));
    EXPECT_TRUE(user.done());
    EXPECT_TRUE(fs::exists(dir / "pack1_v2.qmpack" / "project.qmproj"));
    EXPECT_TRUE(fs::exists(dir / "pack1_v2.qmpack" / "Media" / "clip.mov"));

    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.insert(entry.path().filename().string());
    for (const char* wrong : {"show.qmcredits_v2", "other.qmcredits.qmcredits", "pack1.qmpack_v2"})
        EXPECT_FALSE(names.contains(wrong)) << wrong;
}

TEST_F(DocumentPanels, RelinkTakesATypedNameAndSaysWhenItIsNotThere) {
    const QString clip = movie(dir / "clip.mov");
    ASSERT_TRUE(waitUntil([&, f = editor->importFiles({clip})] { return f.isFinished(); }));
    test::writeFile(dir / "p.qmproj", editor->project().encoded().toStdString());
    fs::create_directories(dir / "found");
    fs::rename(dir / "clip.mov", dir / "found" / "renamed.mov");
    auto opened = editor->openProject(qpath(dir / "p.qmproj"));
    ASSERT_TRUE(waitUntil([&] { return opened.isFinished(); }));
    const QUuid id = editor->project().media.at(0).id;
    ASSERT_TRUE(editor->isMissing(id));

    QString notice, message, folder;
    user.onPanel([&](QFileDialog& panel) {
        message = panel.findChild<QLabel*>(QStringLiteral("panelMessage"))->text();
        folder = panel.directory().absolutePath();
    });
    user.type("clip.mov").readNotice(notice);
    screenshot("relink_panel_not_found.png");
    user.pick("found", true).type("renamed.mov");  // a double click still enters a plain folder
    auto relinked = editor->relinkMedia(id);
    ASSERT_TRUE(waitUntil([&] { return relinked.isFinished(); }));
    EXPECT_TRUE(user.done());
    EXPECT_EQ(message, "Locate clip.mov, or choose a folder to search for all missing files");
    EXPECT_EQ(folder, qpath(dir.path()));
    EXPECT_EQ(notice, "“clip.mov” doesn’t exist.");
    EXPECT_FALSE(editor->isMissing(id));
    EXPECT_EQ(editor->project().media.at(0).name, "renamed.mov");
}

}  // namespace
}  // namespace qm
