// Files the user keeps: whole-or-nothing writes, copies into packages, staged package folders.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "core/partial_file.h"
#include "platform/system/package_copy.h"
#include "platform/system/staged_folder.h"
#include "platform/system/user_file.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using qm::test::TempDir;

namespace {

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

QString write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return q(path);
}

std::string read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    return file.readAll().toStdString();
}

TEST(CopyIntoPackage, NamesTakenInOneRunAreCountedWithoutRegardToCase) {
    TempDir dir;
    const QString package = q(dir / "Show.qmpack");
    std::set<QString> used;
    struct Case {
        fs::path source;
        QString expected;
    };
    const Case cases[] = {
        {dir / "a" / "x.mov", "x.mov"},     {dir / "b" / "X.mov", "X 2.mov"},  {dir / "c" / "x.MOV", "x 3.MOV"},
        {dir / "a" / "Credits", "Credits"}, {dir / "b" / "Credits", "Credits 2"}, {dir / "a" / "Logo.PNG", "Logo.PNG"},
        {dir / "b" / "logo.png", "logo 2.png"},
    };
    for (const Case& c : cases) {
        const QString source = write(c.source, c.source.string());
        const QString copy = qm::copyIntoPackage(source, package, used);
        EXPECT_EQ(QFileInfo(copy).fileName(), c.expected);
        EXPECT_EQ(QFileInfo(copy).absolutePath(), QDir(package).filePath("Media"));
        EXPECT_EQ(read(copy), c.source.string());
    }
    EXPECT_EQ(used.size(), std::size(cases));
    EXPECT_EQ(QDir(QDir(package).filePath("Media")).entryList(QDir::Files).size(), qsizetype(std::size(cases)));
}

TEST(CopyIntoPackage, ReplacesAnEarlierCopyButNeverTheSourceItself) {
    TempDir dir;
    const QString package = q(dir / "Show.qmpack");
    const QString stale = write(dir / "Show.qmpack" / "Media" / "clip.mov", "old");
    const QString source = write(dir / "clip.mov", "new");
    std::set<QString> used;
    EXPECT_EQ(read(qm::copyIntoPackage(source, package, used)), "new");

    // Packaging again from the package's own copy keeps that copy.
    std::set<QString> again;
    EXPECT_EQ(read(qm::copyIntoPackage(stale, package, again)), "new");
    EXPECT_FALSE(QFileInfo::exists(stale + ".partial"));
}

TEST(CopyIntoPackage, FailuresNameTheStepAndLeaveTheOldCopy) {
    TempDir dir;
    const QString package = q(dir / "Show.qmpack");
    const QString kept = write(dir / "Show.qmpack" / "Media" / "gone.mov", "kept");
    std::set<QString> used;
    try {
        qm::copyIntoPackage(q(dir / "gone.mov"), package, used);
        FAIL() << "a missing source was copied";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("Could not copy"), std::string::npos) << error.what();
    }
    EXPECT_EQ(read(kept), "kept");

    // A file where the folder should be.
    write(dir / "Blocked.qmpack", "not a folder");
    EXPECT_THROW(qm::copyIntoPackage(kept, q(dir / "Blocked.qmpack"), used), std::runtime_error);
}

TEST(UserFile, AFullDiskKeepsTheOldFileWholeAndSaysWhy) {
    qm::test::SmallDisk disk(256 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const QString file = write(disk / "Show.qmproj", std::string(12000, 'o'));
    fs::permissions(disk / "Show.qmproj", fs::perms(0640));
    EXPECT_EQ(qm::writeUserFile(file, QByteArray(9000, 'n')), "");
    EXPECT_EQ(read(file), std::string(9000, 'n'));
    EXPECT_EQ(fs::status(disk / "Show.qmproj").permissions(), fs::perms(0640));

    // Under any write buffer's size, and over it: the old bytes stay, nothing is left beside them.
    disk.fill();
    for (const int size : {5000, 200000}) {
        EXPECT_EQ(qm::writeUserFile(file, QByteArray(size, 'x')), "No space left on device");
        EXPECT_EQ(read(file), std::string(9000, 'n'));
    }
    TempDir elsewhere;
    std::set<QString> used;
    try {
        qm::copyIntoPackage(write(elsewhere / "clip.mov", std::string(30000, 'c')), q(disk / "P.qmpack"), used);
        ADD_FAILURE() << "a copy onto a full disk succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(std::string(e.what()).ends_with("(No space left on device)")) << e.what();
    }
    EXPECT_EQ(qm::test::fileNames(disk.path()), (std::vector<std::string>{".filler", "P.qmpack", "Show.qmproj"}));
}

TEST(UserFile, TheNextSaveRemovesWhatKilledSavesLeftButNotALiveOnes) {
    TempDir dir;
    const QString file = write(dir / "Show.qmproj", "old");
    qm::test::runAndKill([&] { static const qm::PartialFile killed(dir / "Show.qmproj", "saving"); });
    write(dir / ".Show.qmproj.1a2b.saving", "user's");    // not a name form of ours: never removed
    write(dir / ".Other.qmproj.1a2b3c4d.saving", "cut");  // another file's: its own save clears it
    const qm::PartialFile live(dir / "Show.qmproj", "saving");
    EXPECT_EQ(qm::writeUserFile(file, "new"), "");
    EXPECT_EQ(read(file), "new");
    std::vector<std::string> kept{".Other.qmproj.1a2b3c4d.saving", ".Show.qmproj.1a2b.saving", live.path().filename().string(),
                                  "Show.qmproj"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(qm::test::fileNames(dir.path()), kept);
}

// A save killed midway leaves its hidden copy; the next save into that folder clears it, whatever
// file that save is for.
TEST(UserFile, TheNextSaveIntoTheFolderClearsWhatKilledSavesOfOtherFilesLeft) {
    TempDir dir;
    qm::test::runAndKill([&] {
        static const qm::PartialFile killed(dir / "Project.qmproj", "saving");
        if (::write(killed.descriptor(), "cut", 3) != 3) ::_exit(1);
    });
    ASSERT_EQ(qm::test::fileNames(dir.path()).size(), 1u);
    EXPECT_EQ(qm::writeUserFile(q(dir / "Other.qmproj"), "other"), "");
    EXPECT_EQ(qm::test::fileNames(dir.path()), std::vector<std::string>{"Other.qmproj"});
}

// Two saves of one project at once (two windows, two runs), the first held just after its rename
// while the second lands over it: the second's version stands, and both saves report success,
// as two saves one after the other would.
TEST(UserFile, TwoSavesAtOnceKeepOneVersion) {
    TempDir dir;
    const fs::path file = dir / "Show.qmproj";
    // The first save also makes the user's secret, so that the held one renames nothing else.
    ASSERT_EQ(qm::test::run({QM_USER_FILE_HELPER, "save", file.string(), "old"}).exitCode, 0);
#if defined(__x86_64__)
    const std::vector<long> renames{SYS_rename, SYS_renameat, SYS_renameat2}, looks{SYS_fstat, SYS_newfstatat, SYS_statx};
#else
    const std::vector<long> renames, looks;
    GTEST_SKIP() << "system calls are held on x86-64 only";
#endif
    std::vector<long> calls = renames;
    calls.insert(calls.end(), looks.begin(), looks.end());
    qm::test::HeldProcess first({QM_USER_FILE_HELPER, "save", file.string(), "first"}, calls);
    if (!first.started()) GTEST_SKIP() << first.whyNot();
    bool renamed = false, second = false;
    while (const auto call = first.next()) {
        if (std::find(renames.begin(), renames.end(), *call) != renames.end()) {
            renamed = true;
        } else if (renamed && !second) {
            // The first save's file stands under the name; its look at what stands there waits.
            EXPECT_EQ(read(q(file)), "first");
            second = true;
            EXPECT_EQ(qm::test::run({QM_USER_FILE_HELPER, "save", file.string(), "second"}).exitCode, 0);
        }
    }
    const int status = first.finish();
    ASSERT_TRUE(second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(read(q(file)), "second");
    EXPECT_EQ(qm::test::fileNames(dir.path()), std::vector<std::string>{"Show.qmproj"});
}

TEST(StagedFolder, RemovesWhatKilledRunsLeftForItsTargetOnly) {
    TempDir dir;
    // Hidden folders without our marker are the user's, whatever their names say (but for an empty
    // one in the staging form, which only a run killed before marking it leaves).
    for (const char* name : {".Show.qmpack.0badc0de.partial/Media", ".Show.qmpack.partial-0123456789ab", ".Show.qmpack.12345678.old",
                             ".Other.qmpack.0badc0de.partial", ".Show.qmpack.notours.partial", "Show.qmpack"})
        fs::create_directories(dir / name);
    // What killed runs left: a staging folder, and an old package set aside during a swap.
    qm::test::runAndKill([&] {
        static const qm::StagedFolder killed(q(dir / "Show.qmpack"));
        write(fs::path(killed.path().toStdString()) / "project.qmproj", "cut");
    });
    const std::string aside = qm::freshHiddenName("Show.qmpack", "old");
    fs::create_directories(dir / aside / "Media");
    write(dir / aside / std::string(qm::kStagingMarker), "");
    // A staging folder whose run still goes holds its lock.
    fs::create_directories(dir / ".Show.qmpack.0000beef.partial");
    const int live = ::open((dir / ".Show.qmpack.0000beef.partial").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    {
        qm::StagedFolder staged(q(dir / "Show.qmpack"));
        write(fs::path(staged.path().toStdString()) / "project.qmproj", "new");
        EXPECT_EQ(staged.userText("Could not write “" + staged.path() + "/project.qmproj”"),
                  "Could not write “" + q(dir / "Show.qmpack") + "/project.qmproj”");
        staged.commit();
    }
    ::close(live);
    EXPECT_EQ(qm::test::fileNames(dir.path()),
              (std::vector<std::string>{".Other.qmpack.0badc0de.partial", ".Show.qmpack.0000beef.partial", ".Show.qmpack.0badc0de.partial",
                                        ".Show.qmpack.12345678.old", ".Show.qmpack.notours.partial",
                                        ".Show.qmpack.partial-0123456789ab", "Show.qmpack"}));
    EXPECT_EQ(qm::test::fileNames(dir / "Show.qmpack"), std::vector<std::string>{"project.qmproj"});
    EXPECT_EQ(read(q(dir / "Show.qmpack/project.qmproj")), "new");

    // A run killed just after swapping its package in left the marker inside: the next run for
    // the target takes it out, even one that fails.
    qm::test::runAndKill([&] {
        static const qm::PartialFolder swapped(dir / "Show.qmpack");
        write(swapped.path() / "project.qmproj", "new");
        fs::remove_all(dir / "Show.qmpack");
        fs::rename(swapped.path(), dir / "Show.qmpack");
    });
    ASSERT_EQ(qm::test::fileNames(dir / "Show.qmpack").size(), 2u);
    { const qm::StagedFolder failed(q(dir / "Show.qmpack")); }
    EXPECT_EQ(qm::test::fileNames(dir / "Show.qmpack"), std::vector<std::string>{"project.qmproj"});
}

}  // namespace
