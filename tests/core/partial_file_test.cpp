// Hidden files of runs: what a killed run left is swept by the next run for the same target,
// what a live run holds is never touched.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "core/partial_file.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

TEST(PartialFile, AKilledRunsFilesAreSweptALiveRunsStay) {
    test::TempDir dir;
    const fs::path target = dir / "Show.mov";
    // Two runs for the target die, one for another target, one that was saving the target.
    test::runAndKill([&] {
        static PartialFile first(target), second(target), other(dir / "Other.mov"), saving(target, "saving");
        static const PartialFile folder(target);  // a dead staging folder under the same kind of name
        fs::remove(folder.path());
        fs::create_directories(folder.path() / "Media");
    });
    ASSERT_EQ(test::fileNames(dir.path()).size(), 5u);
    PartialFile live(target);
    ASSERT_EQ(::write(live.descriptor(), "movie", 5), 5);

    const PartialSweep sweep = sweepPartials(target);
    EXPECT_EQ(sweep.removed, 3);
    EXPECT_EQ(sweep.live, 1);
    EXPECT_EQ(sweepPartials(target, "partial", &live).live, 0);
    // What stays: the other target's file, the live one and the dead save (a save is not a movie).
    auto left = test::fileNames(dir.path());
    ASSERT_EQ(left.size(), 3u);
    const auto kept = [&](const std::string& prefix, const std::string& suffix) {
        return std::count_if(left.begin(), left.end(), [&](const std::string& n) {
            return n.starts_with(prefix) && n.ends_with(suffix);
        });
    };
    EXPECT_EQ(kept(".Other.mov.", ".partial"), 1);
    EXPECT_EQ(std::count(left.begin(), left.end(), live.path().filename().string()), 1);
    EXPECT_EQ(kept(".Show.mov.", ".saving"), 1);

    // Published, the bytes stand under the target and nothing of the run stays hidden; a file
    // dropped before that leaves nothing.
    EXPECT_EQ(live.publish(), 0);
    EXPECT_EQ(test::readFile(target), "movie");
    { const PartialFile dropped(target); }
    EXPECT_EQ(sweepPartials(target, "saving").removed, 1);
    EXPECT_EQ(sweepPartialsIn(dir.path(), [](std::string_view name) { return name == "Other.mov"; }).removed, 1);
    EXPECT_EQ(test::fileNames(dir.path()), std::vector<std::string>{"Show.mov"});

    try {
        PartialFile nowhere(dir / "missing" / "Show.mov");
        ADD_FAILURE() << "made a file in a missing folder";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
}

}  // namespace
}  // namespace qm
