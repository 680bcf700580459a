// The project workflows through the real file panels: credits projects (.qmcredits) and editor
// packages (.qmpack) saved over, packaged over and opened as one item, by a click in the list or
// a typed name, a missing medium relinked by its typed name, names given the panel's extension,
// a project's own media refused as targets, and the folder each kind of panel opens in.
#include <sys/mount.h>

#include <map>
#include <set>

#include <QDir>
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
        fs::create_directories(path.parent_path());
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

TEST_F(DocumentPanels, SavePanelsGiveTypedNamesTheirExtension) {
    const QString victim = movie(dir / "victim.mov");
    const std::string bytes = test::readFile(dir / "victim.mov");
    ASSERT_TRUE(waitUntil([&, f = editor->importFiles({victim})] { return f.isFinished(); }));
    // The full path of a media file, as in the report: saved beside it, never over it.
    user.type(victim);
    ASSERT_TRUE(editor->saveProject(true));
    EXPECT_EQ(editor->projectURL(), victim + ".qmproj");
    EXPECT_EQ(test::readFile(dir / "victim.mov"), bytes);
    user.sees("victim.mov.qmproj").type("show_v4.txt");
    ASSERT_TRUE(editor->saveProject(true));
    EXPECT_EQ(editor->projectURL(), qpath(dir / "show_v4.txt.qmproj"));
    user.type("show_v5.QMPROJ");
    ASSERT_TRUE(editor->saveProject(true));
    EXPECT_EQ(editor->projectURL(), qpath(dir / "show_v5.QMPROJ"));

    user.type("pack.v2");
    auto packing = editor->packageProjectPanel();
    ASSERT_TRUE(waitUntil([&] { return packing.isFinished(); }));
    EXPECT_TRUE(fs::exists(dir / "pack.v2.qmpack" / "Media" / "victim.mov"));

    credits->loadPicture(picture(dir / "logo.png"), CreditsModel::Slot::opening);
    user.type(qpath(dir / "credits.v2"));
    credits->saveProject(true);
    EXPECT_EQ(credits->projectURL(), qpath(dir / "credits.v2.qmcredits"));

    // The export panels: one movie type each.
    std::optional<QString> mp4, mov;
    SavePanelRequest request;
    request.allowedExtensions = {"mp4"};
    request.directory = qpath(dir.path());
    user.type("take.mov");
    mp4 = real.runSavePanel(request);
    request.allowedExtensions = {"mov"};
    user.type("take.");
    mov = real.runSavePanel(request);
    EXPECT_TRUE(user.done());
    EXPECT_EQ(mp4, qpath(dir / "take.mov.mp4"));
    EXPECT_EQ(mov, qpath(dir / "take.mov"));
    for (const char* wrong : {"show_v4.txt", "pack.v2", "credits.v2", "show_v5.QMPROJ.qmproj"})
        EXPECT_FALSE(fs::exists(dir / wrong)) << wrong;
}

TEST_F(DocumentPanels, APanelStaysOpenRatherThanWriteOverAFileTheProjectReads) {
    // Files of the project's own types that the project reads: a movie and a picture.
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x36:rate=25:duration=1", "-c:v", "mpeg4", "-f", "mov",
                  (dir / "clip.qmproj").string()});
    ASSERT_TRUE(waitUntil([&, f = editor->importFiles({qpath(dir / "clip.qmproj")})] { return f.isFinished(); }));
    ASSERT_EQ(editor->project().media.size(), 1u);
    const std::string clip = test::readFile(dir / "clip.qmproj");
    QString saveNotice, pictureNotice, packageNotice;
    user.type(qpath(dir / "clip.qmproj")).readNotice(saveNotice);
    user.onPanel([](QFileDialog& panel) { panel.reject(); });
    EXPECT_FALSE(editor->saveProject(true)) << editor->projectURL().toStdString();
    EXPECT_TRUE(user.done());
    EXPECT_EQ(saveNotice, "The project can’t be saved as “clip.qmproj”: it is a media file of this project.");
    EXPECT_EQ(test::readFile(dir / "clip.qmproj"), clip);
    EXPECT_TRUE(editor->importErrors().isEmpty());

    picture(dir / "logo.png");
    fs::rename(dir / "logo.png", dir / "logo.qmcredits");
    credits->loadPicture(qpath(dir / "logo.qmcredits"), CreditsModel::Slot::opening);
    ASSERT_EQ(credits->headURL(), qpath(dir / "logo.qmcredits"));
    const std::string logo = test::readFile(dir / "logo.qmcredits");
    user.type(qpath(dir / "logo.qmcredits")).readNotice(pictureNotice);
    user.onPanel([](QFileDialog& panel) { panel.reject(); });
    credits->saveProject(true);
    EXPECT_TRUE(user.done());
    EXPECT_EQ(pictureNotice, "The project can’t be saved as “logo.qmcredits”: it is a media file of this project.");
    EXPECT_EQ(test::readFile(dir / "logo.qmcredits"), logo);
    EXPECT_TRUE(credits->projectURL().isEmpty()) << credits->projectURL().toStdString();

    // A package holding the open project's media is refused before any question to replace it.
    const fs::path a = packed("A.qmpack", "testsrc");
    auto opened = editor->openProject(qpath(a));
    ASSERT_TRUE(waitUntil([&] { return opened.isFinished(); }));
    const auto before = contents(a);
    user.pick("A.qmpack").readNotice(packageNotice);
    user.onPanel([](QFileDialog& panel) { panel.reject(); });
    auto packing = editor->packageProjectPanel();
    ASSERT_TRUE(waitUntil([&] { return packing.isFinished(); }));
    EXPECT_TRUE(user.done());
    EXPECT_EQ(packageNotice, "The package can’t be written to “A.qmpack”: it holds “clip.mov”, a media file of this project.");
    EXPECT_EQ(contents(a), before);
}

TEST_F(DocumentPanels, PanelsOpenWhereTheirKindWasLastUsedElseBesideTheDocumentElseHome) {
    // Started from a folder that means nothing to the user.
    fs::create_directories(dir / "cwd");
    const QString started = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(qpath(dir / "cwd")));
    const std::unique_ptr<const QString, void (*)(const QString*)> back(&started, [](const QString* p) { QDir::setCurrent(*p); });
    const QString home = QDir::homePath();
    ASSERT_NE(home, qpath(dir / "cwd"));
    std::vector<QString> folders;
    auto look = [&] {
        user.onPanel([&](QFileDialog& panel) { folders.push_back(panel.directory().absolutePath()); });
    };
    auto lookAndCancel = [&] {
        look();
        user.onPanel([](QFileDialog& panel) { panel.reject(); });
    };
    auto import = [&] {
        auto f = editor->importMediaPanel();
        EXPECT_TRUE(waitUntil([&] { return f.isFinished(); }));
    };
    fs::create_directories(dir / "a");
    const QString clip = movie(dir / "media" / "clip.mov");
    const QString other = movie(dir / "elsewhere" / "other.mov");

    lookAndCancel();
    import();  // 0: nothing used yet, no document
    look();
    user.type(qpath(dir / "a" / "show"));
    ASSERT_TRUE(editor->saveProject(true));  // 1
    look();
    user.type(clip);
    import();  // 2: beside the project
    lookAndCancel();
    import();  // 3: where the last import was
    lookAndCancel();
    window().openProjectAction()->trigger();  // 4: where the last project was saved
    ASSERT_TRUE(waitUntil([&, f = editor->importFiles({other})] { return f.isFinished(); }));
    lookAndCancel();
    auto relinked = editor->relinkMedia(editor->project().media.back().id);  // 5: the medium's own folder
    ASSERT_TRUE(waitUntil([&] { return relinked.isFinished(); }));
    ASSERT_TRUE(user.done());
    EXPECT_EQ(folders, (std::vector<QString>{home, home, qpath(dir / "a"), qpath(dir / "media"), qpath(dir / "a"),
                                             qpath(dir / "elsewhere")}));

    // Remembered in the settings file, for the next session; a folder that is gone is passed over.
    folders.clear();
    QtDesktopServices next;
    OpenPanelRequest request;
    request.kind = PanelKind::editorMedia;
    lookAndCancel();
    next.runOpenPanel(request);
    fs::remove_all(dir / "media");
    lookAndCancel();
    import();
    // Convert: the output folder, once chosen, is where its panels open.
    lookAndCancel();
    window().chooseOutputFolderAction()->trigger();
    look();
    user.type(qpath(dir / "elsewhere"));
    window().chooseOutputFolderAction()->trigger();
    lookAndCancel();
    window().addFilesAction()->trigger();
    EXPECT_TRUE(user.done());
    EXPECT_EQ(queue->outputFolder(), qpath(dir / "elsewhere"));
    EXPECT_EQ(folders, (std::vector<QString>{qpath(dir / "media"), qpath(dir / "a"), home, home, qpath(dir / "elsewhere")}));
}

}  // namespace
}  // namespace qm
