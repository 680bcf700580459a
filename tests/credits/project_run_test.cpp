// End Credits projects saved and packaged by real qm-bench processes: nothing is read or written
// through a link that leaves a package, and the staging marker a killed save or package left in a
// project folder goes with the next save or package in that folder, whatever its name.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "core/partial_file.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

test::CommandResult creditsProject(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QM_BENCH, "credits-project"};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run(argv);
}

fs::path makePicture(const test::TempDir& dir) {
    const fs::path logo = dir / "logo.png";
    test::ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=64x48", "-frames:v", "1", logo.string()});
    return logo;
}

// A project saved by its own run, then opened and saved again through a link in its folder that
// leads to a file outside: the run refuses in words and the outside file keeps every byte.
TEST(CreditsProjectRun, NothingIsReadOrWrittenThroughALinkThatLeavesThePackage) {
    test::TempDir dir;
    const fs::path logo = makePicture(dir);
    const fs::path gig = dir / "gig.qmcredits";
    ASSERT_EQ(creditsProject({logo.string(), "--save", gig.string()}).exitCode, 0);

    // Somebody else's package: its project file is a link to a file of its user's.
    const fs::path outside = dir / "notes.json";
    const std::string kept = test::readFile(gig / "project.json") + "\n";
    test::writeFile(outside, kept);
    fs::remove(gig / "project.json");
    fs::create_symlink(outside, gig / "project.json");

    const test::CommandResult saved = creditsProject({gig.string(), "--save", gig.string()});
    EXPECT_EQ(saved.exitCode, 1);
    EXPECT_NE(saved.output.find("“project.json” could not be read: it lies outside the package."), std::string::npos)
        << saved.output;
    EXPECT_EQ(test::readFile(outside), kept);

    EXPECT_EQ(test::readFile(outside), kept);
}

// Leaves, in `folder`, what a save or package killed just after giving its staging folder the
// project's name leaves: the project whole, with the staging marker still inside.
void killAfterTheRename(const fs::path& folder, const std::string& projectJson) {
    fs::remove_all(folder);
    const pid_t pid = ::fork();
    if (pid == 0) {
        PartialFolder staging(folder);
        test::writeFile(staging.path() / "project.json", projectJson);
        ::rename(staging.path().c_str(), folder.c_str());
        ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(CreditsProjectRun, TheMarkerAKilledSaveLeftGoesWithTheNextSaveOrPackageOfAnyNameInItsFolder) {
    test::TempDir dir;
    const fs::path logo = makePicture(dir);
    ASSERT_EQ(creditsProject({logo.string(), "--save", (dir / "first.qmcredits").string()}).exitCode, 0);
    const std::string projectJson = test::readFile(dir / "first.qmcredits" / "project.json");
    const std::string marker(kStagingMarker);

    // The next save of that very project.
    killAfterTheRename(dir / "gig.qmcredits", projectJson);
    ASSERT_TRUE(fs::exists(dir / "gig.qmcredits" / marker));
    const fs::path gig = dir / "gig.qmcredits";
    const test::CommandResult saved = creditsProject({gig.string(), "--save", gig.string()});
    ASSERT_EQ(saved.exitCode, 0) << saved.output;
    EXPECT_EQ(test::fileNames(gig), std::vector<std::string>{"project.json"});

    // A package of another name beside it, and a save of another project beside it.
    killAfterTheRename(dir / "show.qmcredits", projectJson);
    killAfterTheRename(dir / "tour.qmcredits", projectJson);
    ASSERT_EQ(creditsProject({logo.string(), "--package", (dir / "Other Package.qmcredits").string()}).exitCode, 0);
    EXPECT_EQ(test::fileNames(dir / "show.qmcredits"), std::vector<std::string>{"project.json"});
    killAfterTheRename(dir / "show.qmcredits", projectJson);
    ASSERT_EQ(creditsProject({gig.string(), "--save", gig.string()}).exitCode, 0);
    EXPECT_EQ(test::fileNames(dir / "show.qmcredits"), std::vector<std::string>{"project.json"});
    EXPECT_EQ(test::fileNames(dir / "tour.qmcredits"), std::vector<std::string>{"project.json"});

    // A file of that name that is not ours (the user's own) stays.
    test::writeFile(gig / marker, "mine");
    ASSERT_EQ(creditsProject({gig.string(), "--save", gig.string()}).exitCode, 0);
    EXPECT_EQ(test::readFile(gig / marker), "mine");
}

}  // namespace
}  // namespace qm
