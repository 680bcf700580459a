// Documents and the media bin: opening with missing media, edits and a New while the media are
// probed, saving (a full disk too), the unsaved-changes question, import, folder relink and relink undone.

#include <set>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "document_fixtures.h"
#include "editor/editor_eyedropper.h"

namespace qm::test {
namespace {

// A project file over the given media files, written with the model's own save.
QString writeProject(const TempDir& dir, const std::vector<fs::path>& files, const std::string& name = "p.qmproj") {
    Editor e;
    e.importAndPlace(files);
    e.desktop.saveAnswers.push_back(q(dir / name));
    EXPECT_TRUE(e.m.saveProject());
    return q(dir / name);
}

TEST(EditorDocuments, OpenReportsMissingMediaInOrderAndProbesOnlyThePresent) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    makeMovie(dir / "b.mov", "30", true);
    makeMovie(dir / "c.mov", "30", true);
    const QString file = writeProject(dir, {dir / "a.mov", dir / "b.mov", dir / "c.mov"});
    // A named pipe in its place is missing too, never opened: a reader would block in open().
    fs::remove(dir / "b.mov");
    ASSERT_EQ(::mkfifo((dir / "b.mov").c_str(), 0600), 0);

    Editor e;
    // Should a reader be stuck all the same, a writer lets it go, so the test fails instead of hanging.
    const std::shared_ptr<void> unblock(nullptr, [&](void*) {
        if (const int fd = ::open((dir / "b.mov").c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) ::close(fd);
    });
    e.await(e.m.openProject(file));
    const auto& media = e.m.project().media;
    ASSERT_EQ(media.size(), 3u);
    EXPECT_FALSE(e.m.isMissing(media[0].id));
    EXPECT_TRUE(e.m.isMissing(media[1].id));
    EXPECT_FALSE(e.m.isMissing(media[2].id));
    EXPECT_EQ(e.m.importErrors(),
              QStringList({"Missing media: b.mov",
                           "Click Relink… at the bottom of the media list, or choose a folder to find them all at once."}));
    EXPECT_FALSE(e.m.isDirty());
    EXPECT_EQ(e.m.projectURL(), file);
    EXPECT_EQ(e.m.undoCount(), 0u);

    // Not a project: one line, everything else as it was.
    writeFile(dir / "junk.qmproj", "not json");
    const Project before = e.m.project();
    e.await(e.m.openProject(q(dir / "junk.qmproj")));
    EXPECT_EQ(e.m.importErrors().size(), 3);
    EXPECT_EQ(e.m.project(), before);
    EXPECT_EQ(e.m.projectURL(), file);
}

TEST(EditorDocuments, EditsAndNewWhileProbingAreKept) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    const QString file = writeProject(dir, {dir / "a.mov", dir / "gone.mov"});
    {
        Editor e;
        auto opened = e.m.openProject(file);
        e.m.addTrack();  // before any probe result is in
        e.await(opened);
        EXPECT_TRUE(e.m.isDirty());
        EXPECT_EQ(e.m.project().tracks.size(), 2u);
    }
    {
        Editor e;
        auto opened = e.m.openProject(file);
        e.m.newProject();
        e.await(opened);
        e.settle();
        EXPECT_TRUE(e.m.infos().isEmpty());
        EXPECT_TRUE(e.m.importErrors().isEmpty());
        EXPECT_TRUE(e.m.project().media.empty());
    }
}

TEST(EditorDocuments, SaveTargetsPanelsAndPackages) {
    TempDir dir;
    Editor e;
    EXPECT_FALSE(e.m.saveProject());  // panel cancelled
    ASSERT_EQ(e.desktop.saves.size(), 1u);
    EXPECT_EQ(e.desktop.saves[0].suggestedName, "Untitled.qmproj");
    EXPECT_TRUE(e.m.projectURL().isEmpty());

    e.m.addTrack();
    e.desktop.saveAnswers.push_back(q(dir / "Show.qmproj"));
    ASSERT_TRUE(e.m.saveProject());
    EXPECT_FALSE(e.m.isDirty());
    EXPECT_EQ(Project::decode(readFile(dir / "Show.qmproj")), e.m.project());
    EXPECT_FALSE(e.m.saveProject(true));
    EXPECT_EQ(e.desktop.saves.back().suggestedName, "Show.qmproj");

    // The project file inside a package opens as the package, and saves into it without a panel.
    fs::create_directories(dir / "Show.qmpack");
    fs::copy_file(dir / "Show.qmproj", dir / "Show.qmpack/project.qmproj");
    e.await(e.m.openProject(q(dir / "Show.qmpack/project.qmproj")));
    EXPECT_EQ(e.m.projectURL(), q(dir / "Show.qmpack"));
    const auto panels = e.desktop.saves.size();
    e.m.addTrack();
    ASSERT_TRUE(e.m.saveProject());
    EXPECT_EQ(e.desktop.saves.size(), panels);
    EXPECT_EQ(e.m.projectURL(), q(dir / "Show.qmpack"));
    EXPECT_EQ(Project::decode(readFile(dir / "Show.qmpack/project.qmproj")).tracks.size(), 3u);

    // Save As offers only a project file, named after the package; a package is never written.
    e.m.addTrack();
    fs::create_directories(dir / "Other.qmpack");
    e.desktop.saveAnswers.push_back(q(dir / "Other.qmpack"));
    e.desktop.saveAnswers.push_back(q(dir / "New.qmpack"));
    EXPECT_FALSE(e.m.saveProject(true));
    EXPECT_FALSE(e.m.saveProject(true));
    EXPECT_EQ(e.desktop.saves.back().allowedExtensions, QStringList{"qmproj"});
    EXPECT_EQ(e.desktop.saves.back().suggestedName, "Show.qmproj");
    EXPECT_TRUE(fs::is_empty(dir / "Other.qmpack"));
    EXPECT_FALSE(fs::exists(dir / "New.qmpack"));
    EXPECT_EQ(e.m.projectURL(), q(dir / "Show.qmpack"));
    EXPECT_EQ(e.m.importErrors().size(), 2);
    e.m.clearImportErrors();

    // A save that cannot write reports and leaves the document state alone.
    e.m.addTrack();
    e.desktop.saveAnswers.push_back(q(dir / "no/such/folder/x.qmproj"));
    EXPECT_FALSE(e.m.saveProject(true));
    EXPECT_TRUE(e.m.isDirty());
    EXPECT_EQ(e.m.projectURL(), q(dir / "Show.qmpack"));
    EXPECT_EQ(e.m.importErrors().size(), 1);
}

TEST(EditorDocuments, SaveAndPackageNeverWriteOverTheProjectsOwnMedia) {
    TempDir dir;
    makeMovie(dir / "victim.mov");
    makeMovie(dir / "old.qmpack" / "Media" / "kept.mov");
    Editor e;
    e.importAndPlace({dir / "victim.mov", dir / "old.qmpack" / "Media" / "kept.mov"});
    const std::string victim = readFile(dir / "victim.mov"), kept = readFile(dir / "old.qmpack" / "Media" / "kept.mov");
    // The media file itself, also reached through a link; a package over one, or over a folder holding one.
    fs::create_symlink(dir / "victim.mov", dir / "link.qmproj");
    for (const char* target : {"victim.mov", "link.qmproj"}) {
        e.desktop.saveAnswers.push_back(q(dir / target));
        EXPECT_FALSE(e.m.saveProject(true)) << target;
    }
    e.await(e.m.packageProject(q(dir / "victim.mov")));
    e.await(e.m.packageProject(q(dir / "old.qmpack")));
    EXPECT_EQ(e.m.importErrors(),
              QStringList({"The project can’t be saved as “victim.mov”: it is a media file of this project.",
                           "The project can’t be saved as “link.qmproj”: it is a media file of this project.",
                           "The package can’t be written to “victim.mov”: it is a media file of this project.",
                           "The package can’t be written to “old.qmpack”: it holds “kept.mov”, a media file of this project."}));
    EXPECT_EQ(readFile(dir / "victim.mov"), victim);
    EXPECT_EQ(readFile(dir / "old.qmpack" / "Media" / "kept.mov"), kept);
    EXPECT_TRUE(fs::is_symlink(dir / "link.qmproj"));
    EXPECT_TRUE(e.m.projectURL().isEmpty());
    EXPECT_TRUE(e.m.isDirty());
    EXPECT_FALSE(e.m.packageResult().has_value());

    // The panels are told the same, so that they can stay open.
    e.m.saveProject(true);
    e.await(e.m.packageProjectPanel());
    ASSERT_TRUE(e.desktop.saves.at(2).refusal && e.desktop.saves.at(3).refusal);
    EXPECT_EQ(e.desktop.saves[2].refusal(q(dir / "victim.mov")), e.m.importErrors()[0]);
    EXPECT_EQ(e.desktop.saves[2].refusal(q(dir / "new.qmproj")), "");
    EXPECT_EQ(e.desktop.saves[3].refusal(q(dir / "old.qmpack")), e.m.importErrors()[3]);
}

TEST(EditorDocuments, AFullDiskFailsSaveSaveAsAndPackageAndKeepsEveryOriginal) {
    SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    Editor e;
    for (int i = 0; i < 40; ++i) e.m.addTrack();
    e.desktop.saveAnswers.push_back(q(disk / "Show.qmproj"));
    ASSERT_TRUE(e.m.saveProject());
    fs::create_directories(disk / "Show.qmpack");
    writeFile(disk / "Show.qmpack/project.qmproj", "good package");
    const std::string saved = readFile(disk / "Show.qmproj");
    disk.fill();

    e.m.addTrack();
    EXPECT_FALSE(e.m.saveProject());
    e.desktop.saveAnswers.push_back(q(disk / "Other.qmproj"));
    EXPECT_FALSE(e.m.saveProject(true));
    EXPECT_TRUE(e.m.isDirty());
    EXPECT_EQ(e.m.projectURL(), q(disk / "Show.qmproj"));
    e.await(e.m.packageProject(q(disk / "Show.qmpack")));
    EXPECT_FALSE(e.m.packageResult().has_value());
    EXPECT_EQ(e.m.importErrors(), QStringList({"The project “Show.qmproj” could not be saved: No space left on device",
                                               "The project “Other.qmproj” could not be saved: No space left on device",
                                               "The project file could not be written: No space left on device"}));
    EXPECT_EQ(readFile(disk / "Show.qmproj"), saved);
    EXPECT_EQ(readFile(disk / "Show.qmpack/project.qmproj"), "good package");
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(disk.path())) left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{".filler", "Show.qmproj", "Show.qmpack"}));
}

TEST(EditorDocuments, ConfirmReplacingAsksOnlyWhenDirtyAndSaveMustSucceed) {
    TempDir dir;
    struct Case {
        std::vector<SaveChangesAnswer> answers;
        QString panel;  // empty: cancelled
        bool goesOn;
    };
    const std::vector<Case> cases = {
        {{SaveChangesAnswer::cancel}, {}, false},
        {{SaveChangesAnswer::dontSave}, {}, true},
        {{SaveChangesAnswer::save}, q(dir / "saved.qmproj"), true},
        {{SaveChangesAnswer::save}, {}, false},  // Save's panel cancelled
    };
    for (const Case& c : cases) {
        Editor e;
        EXPECT_TRUE(e.m.confirmReplacingProject());  // clean: nothing asked
        EXPECT_TRUE(e.desktop.askedAbout.isEmpty());
        e.m.addTrack();
        e.desktop.saveChangesAnswers.assign(c.answers.begin(), c.answers.end());
        e.desktop.saveAnswers.push_back(c.panel);
        EXPECT_EQ(e.m.confirmReplacingProject(), c.goesOn);
        EXPECT_EQ(e.desktop.askedAbout, QStringList({"Untitled"}));
    }
    EXPECT_TRUE(fs::exists(dir / "saved.qmproj"));
}

TEST(EditorMedia, ImportSkipsDuplicatesAdoptsTheFirstPictureAndQueuesSound) {
    TempDir dir;
    makeMovie(dir / "ntsc.mov", "30000/1001");
    makeMovie(dir / "second.mov", "25", true);
    ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", (dir / "tone.wav").string()});
    writeFile(dir / "broken.mov", "not a movie");

    Editor e;
    e.await(e.m.importFiles({q(dir / "tone.wav"), q(dir / "ntsc.mov"), q(dir / "ntsc.mov"), q(dir / "broken.mov")}));
    const auto& p = e.m.project();
    ASSERT_EQ(p.media.size(), 2u);
    EXPECT_EQ(p.media[0].width, 0);  // sound only: no format adopted from it
    EXPECT_EQ(p.width, 64);
    EXPECT_EQ(p.height, 36);
    EXPECT_EQ(p.frameRate, 29.97);
    EXPECT_EQ(e.m.undoCount(), 1u);  // the sound is undoable, the adopting picture is not
    ASSERT_EQ(e.m.importErrors().size(), 1);
    EXPECT_TRUE(e.m.importErrors()[0].startsWith("broken.mov: "));

    e.await(e.m.importFiles({q(dir / "second.mov"), q(dir / "ntsc.mov")}));
    EXPECT_EQ(e.m.project().media.size(), 3u);
    EXPECT_EQ(e.m.project().frameRate, 29.97);  // a second picture leaves the format alone
    EXPECT_EQ(e.m.undoCount(), 2u);
    ASSERT_TRUE(waitUntil([&] { return !e.m.isAnalysing(); }));
    EXPECT_TRUE(e.m.analysisQueue().empty());
}

TEST(EditorMedia, AnImportStillProbingStaysOutOfTheProjectOpenedMeanwhile) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    makeMovie(dir / "b.mov", "25", true);
    writeFile(dir / "broken.mov", "not a movie");
    const QString other = writeProject(dir, {dir / "b.mov"});
    for (const bool open : {false, true}) {
        SCOPED_TRACE(open ? "Open" : "New");
        Editor e;
        // Replaced before the first probe is back.
        auto imported = e.m.importFiles({q(dir / "a.mov"), q(dir / "broken.mov")});
        if (open) {
            e.await(e.m.openProject(other));
        } else {
            e.m.newProject();
        }
        e.await(imported);
        e.settle();
        ASSERT_EQ(e.m.project().media.size(), open ? 1u : 0u);
        if (open) {
            EXPECT_EQ(e.m.project().media[0].name, "b.mov");
        }
        EXPECT_EQ(e.m.project().width, open ? 64 : Project::makeNew().width);
        EXPECT_EQ(e.m.undoCount(), 0u);
        EXPECT_FALSE(e.m.isDirty());
        EXPECT_TRUE(e.m.importErrors().isEmpty());
        EXPECT_FALSE(e.m.isProbing());
    }
}

TEST(EditorMedia, FolderRelinkSearchesDeepSkipsHiddenAndPackagesTakesTheFirst) {
    TempDir dir;
    const fs::path old = dir / "old";
    const char* decomposed = "cafe\u0301.mov";
    for (const char* name : {"deep.mov", "Case.mov", "hidden.mov", "packed.mov", "twice.mov", decomposed})
        makeMovie(old / name);
    const QString file = writeProject(dir, {old / "deep.mov", old / "Case.mov", old / "hidden.mov", old / "packed.mov",
                                             old / "twice.mov", old / decomposed});
    const fs::path found = dir / "found";
    fs::create_directories(found / "a/b/c");
    fs::copy_file(old / "deep.mov", found / "a/b/c/deep.mov");
    fs::copy_file(old / "Case.mov", found / "case.mov");
    fs::create_directories(found / ".secret");
    fs::copy_file(old / "hidden.mov", found / ".secret/hidden.mov");
    fs::create_directories(found / "Show.qmpack/Media");
    fs::copy_file(old / "packed.mov", found / "Show.qmpack/Media/packed.mov");
    fs::create_directories(found / "1");
    fs::create_directories(found / "2");
    fs::copy_file(old / "twice.mov", found / "1/twice.mov");
    fs::copy_file(old / "twice.mov", found / "2/twice.mov");
    fs::copy_file(old / decomposed, found / "caf\u00e9.mov");  // the same name, composed
    fs::create_directory_symlink("..", found / "a/loop");
    fs::remove_all(old);

    Editor e;
    e.await(e.m.openProject(file));
    e.m.clearImportErrors();
    const auto media = e.m.project().media;
    e.await(e.m.relink(media[0].id, q(found)));
    const auto& now = e.m.project().media;
    EXPECT_EQ(now[0].path, q(found / "a/b/c/deep.mov"));
    EXPECT_EQ(now[4].path, q(found / "1/twice.mov"));
    EXPECT_EQ(now[5].path, q(found / "caf\u00e9.mov"));
    EXPECT_EQ(e.m.undoCount(), 3u);  // one step per relinked item
    EXPECT_EQ(e.m.importErrors(), QStringList({"Missing media: Case.mov, hidden.mov, packed.mov"}));
    EXPECT_FALSE(e.m.isMissing(media[0].id));

    // Undo brings the old, missing path back: its probe result goes too.
    e.m.undo();
    e.settle();
    EXPECT_EQ(e.m.project().media[5].path, q(old / decomposed));
    EXPECT_TRUE(e.m.isMissing(media[5].id));
    EXPECT_FALSE(e.m.isMissing(media[0].id));
    e.m.redo();
    e.settle();
    EXPECT_FALSE(e.m.isMissing(media[5].id));
}

TEST(EditorMedia, SingleFileRelinkUndecodableFilesAndThePanels) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    makeMovie(dir / "other.mov", "25");
    // A movie whose codec nothing here decodes: its sample description renamed.
    std::string bytes = readFile(dir / "a.mov");
    bytes.replace(bytes.find("mp4v"), 4, "zzzz");
    writeFile(dir / "odd.mov", bytes);
    Editor e;
    e.await(e.m.importFiles({q(dir / "a.mov"), q(dir / "odd.mov")}));
    ASSERT_EQ(e.m.project().media.size(), 1u);
    const QUuid id = e.m.project().media[0].id;
    e.m.addClipAtPlayhead(id);
    e.await(e.m.relink(id, q(dir / "nothing.mov")));
    e.await(e.m.relink(id, q(dir / "odd.mov")));  // refused as import refuses it
    ASSERT_EQ(e.m.importErrors().size(), 3);
    EXPECT_EQ(e.m.importErrors()[0], "odd.mov: zzzz");
    EXPECT_TRUE(e.m.importErrors()[1].startsWith("nothing.mov: "));
    EXPECT_EQ(e.m.importErrors()[2], "odd.mov: zzzz");
    EXPECT_EQ(e.m.project().media[0].name, "a.mov");

    e.await(e.m.relink(id, q(dir / "other.mov")));
    EXPECT_EQ(e.m.project().media[0].id, id);
    EXPECT_EQ(e.m.project().media[0].name, "other.mov");
    EXPECT_EQ(e.m.project().media[0].frameRate, 25);
    EXPECT_EQ(e.m.project().tracks[0].clips.size(), 1u);

    // The package panel: proposed name and message; nothing without media.
    e.await(e.m.packageProjectPanel());
    EXPECT_EQ(e.desktop.saves.back().suggestedName, "Untitled Package.qmpack");
    EXPECT_EQ(e.desktop.saves.back().message, "The package holds the project and copies of all its media files.");
    Editor empty;
    empty.await(empty.m.packageProjectPanel());
    EXPECT_TRUE(empty.desktop.saves.empty());
}

TEST(EditorEyedropper, CanvasPointsMapIntoThePicture) {
    auto clipOf = [](int w, int h, std::optional<double> rotation, FitMode fit = FitMode::fit) {
        Clip c;
        c.fit = fit;
        if (rotation) {
            c.transform = ClipTransform::makeDefault({w / 2.0, h / 2.0}, {960, 540}, 100);
            c.transform->rotation.value = *rotation;
        }
        return c;
    };
    auto media = [](int w, int h) {
        MediaItem m;
        m.width = w;
        m.height = h;
        return m;
    };
    const struct {
        Clip clip;
        MediaItem media;
        QPointF canvas, picture;
    } cases[] = {
        {clipOf(1920, 1080, std::nullopt), media(1920, 1080), {100, 50}, {100, 50}},
        {clipOf(960, 540, std::nullopt), media(960, 540), {960, 540}, {480, 270}},
        {clipOf(960, 540, std::nullopt), media(960, 540), {0, 0}, {0, 0}},
        {clipOf(960, 540, 90.0), media(960, 540), {980, 540}, {480, 260}},
        {clipOf(960, 270, 0.0, FitMode::stretch), media(960, 270), {960, 540}, {480, 135}},
    };
    for (const auto& c : cases) {
        const auto p = pictureAt(c.clip, c.media, 1920, 1080, 0, c.canvas);
        ASSERT_TRUE(p.has_value());
        EXPECT_NEAR(p->x(), c.picture.x(), 1e-9);
        EXPECT_NEAR(p->y(), c.picture.y(), 1e-9);
    }
    Clip flat = clipOf(960, 540, 0.0);
    flat.transform->scale.value = {0, 100};
    EXPECT_FALSE(pictureAt(flat, media(960, 540), 1920, 1080, 0, {10, 10}).has_value());

    // No selection: picking mode ends and nothing else happens.
    CountingEditor e;
    e->setIsPickingKeyColor(true);
    const auto undo = e->undoCount();
    EXPECT_TRUE(e->pickKeyColor({1, 1}).isFinished());
    EXPECT_FALSE(e->isPickingKeyColor());
    EXPECT_EQ(e->undoCount(), undo);
}

}  // namespace
}  // namespace qm::test
