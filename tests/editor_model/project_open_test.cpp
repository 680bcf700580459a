// Opening project files and packages: which file each medium ends up pointing at, the upgrade of
// clips stored without a transform, and packaged paths (or a project file) that try to leave the package.

#include <filesystem>

#include <gtest/gtest.h>

#include "editor_model/sample_project.h"
#include "engine/media_info.h"
#include "platform/system/bookmarks.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

class ProjectOpen : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(package / "Media");
        for (const fs::path& f : {original, package / "Media" / "cam a.mov", dir / "outside.mov"}) test::writeFile(f, "x");
        project = test::sampleProject();
        project.media[0].path = q(original);
        project.media[0].bookmark = *createBookmark(q(original), BookmarkScope::securityScoped);
        project.media[1].path = q(dir / "gone.wav");  // no bookmark, no file
    }

    void write(const fs::path& file, const Project& p) { test::writeFile(file, p.encoded().toStdString()); }

    test::TempDir dir;
    fs::path original = dir / "cam a.mov";
    fs::path package = dir / "Show.QMPACK";
    Project project;
};

TEST_F(ProjectOpen, PackagedCopyThenBookmarkThenStoredPath) {
    write(package / "project.qmproj", project);
    const Project packaged = Project::open(q(package));
    EXPECT_EQ(packaged.media[0].path, q(package / "Media" / "cam a.mov")) << "the copy wins over a live bookmark";
    EXPECT_EQ(packaged.media[1].path, q(dir / "gone.wav")) << "nothing found: the stored path stays";
    EXPECT_EQ(packaged.media[0].packagedPath, project.media[0].packagedPath);
    EXPECT_EQ(packaged.media[0].bookmark, project.media[0].bookmark);
    EXPECT_EQ(Project::open(q(package)), packaged);

    write(dir / "plain.json", project);
    EXPECT_EQ(Project::open(q(dir / "plain.json")).media[0].path, q(original)) << "a file ignores packagedPath";

    fs::remove(package / "Media" / "cam a.mov");
    EXPECT_EQ(Project::open(q(package)).media[0].path, q(original)) << "a missing copy falls back to the bookmark";
    fs::remove(original);
    EXPECT_EQ(Project::open(q(package)).media[0].path, q(original)) << "an unresolvable bookmark keeps the path";
}

TEST_F(ProjectOpen, PackagedPathsNeverLeaveThePackage) {
    fs::create_symlink(dir / "outside.mov", package / "Media" / "link.mov");
    for (const QString& escape : {QString("../outside.mov"), QString("Media/../../outside.mov"), q(dir / "outside.mov"),
                                  QString("Media/link.mov")}) {
        Project p = project;
        p.media[0].packagedPath = escape;
        write(package / "project.qmproj", p);
        const Project opened = Project::open(q(package));
        EXPECT_EQ(opened.media[0].path, q(original)) << escape.toStdString();
        EXPECT_EQ(opened.media[0].packagedPath, escape);
    }
    // Nor does the project file itself: a save would write through the link.
    fs::remove(package / "project.qmproj");
    write(dir / "elsewhere.qmproj", project);
    fs::create_symlink(dir / "elsewhere.qmproj", package / "project.qmproj");
    try {
        Project::open(q(package));
        ADD_FAILURE() << "a linked project file was followed";
    } catch (const ProjectFileError& e) {
        EXPECT_STREQ(e.what(), "The project file “project.qmproj” could not be opened: it lies outside the package.");
    }
}

TEST_F(ProjectOpen, ClipsWithoutTransformGetTheDefault) {
    project.width = 1920;
    project.height = 1080;
    project.media[1].width = 1280;
    project.media[1].height = 720;
    Clip orphan = project.tracks[1].clips[0];
    orphan.id = QUuid::createUuid();
    orphan.mediaID = QUuid::createUuid();
    orphan.start = 50;
    project.tracks[1].clips.push_back(orphan);
    write(dir / "legacy.qmproj", project);

    const Project p = Project::open(q(dir / "legacy.qmproj"));
    const Clip& c = p.tracks[1].clips[0];
    ASSERT_TRUE(c.transform);
    EXPECT_EQ(c.opacity, 1.0);
    EXPECT_EQ(*c.transform, ClipTransform::makeDefault({640, 360}, {960, 540}, 50));
    EXPECT_FALSE(p.tracks[1].clips[1].transform) << "no medium in the bin: left as it is";
    EXPECT_EQ(p.tracks[1].clips[1].opacity, 0.5);
    EXPECT_EQ(p.tracks[0].clips[0], project.tracks[0].clips[0]);
}

TEST_F(ProjectOpen, MediaItemFromProbe) {
    MediaInfo info;
    info.width = 640;
    info.height = 360;
    info.frameRate = 23.976;
    info.hasAudio = true;
    info.codecName = "ProRes 422 HQ";
    info.duration = MediaTime::indefinite();
    const MediaItem item(q(original), info);
    EXPECT_EQ(item.name, "cam a.mov");
    EXPECT_EQ(item.bookmark, createBookmark(q(original), BookmarkScope::securityScoped));
    EXPECT_EQ(item.codecName, "ProRes 422 HQ");
    EXPECT_EQ(item.duration, 0) << "duration 0 for a time that is no number";
    info.duration = MediaTime::make(1001, 24000);
    const MediaItem missing(q(dir / "absent.mov"), info);
    EXPECT_FALSE(missing.bookmark) << "no bookmark, no error";
    EXPECT_DOUBLE_EQ(missing.duration, 1001.0 / 24000);
}

TEST_F(ProjectOpen, UnreadableFilesFail) {
    for (const fs::path& missing : {dir / "none.qmproj", package}) {
        try {
            Project::open(q(missing));
            FAIL() << missing;
        } catch (const ProjectFileError& e) {
            EXPECT_EQ(e.kind(), ProjectFileError::Kind::unreadable);
            EXPECT_NE(std::string(e.what()).find(missing.extension() == ".qmproj" ? "none.qmproj" : "project.qmproj"),
                      std::string::npos);
        }
    }
}

}  // namespace
}  // namespace qm
