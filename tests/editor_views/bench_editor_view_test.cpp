// `qm-bench editor-view` as scripts call it: wrong arguments exit 2, and a small project prints its
// paint, play and grab lines in their exact shape, the grab a PNG of the window's size. And
// `inspector-script`'s key names.

#include <gtest/gtest.h>

#include <regex>

#include "editor_views/project_json.h"
#include "support/test_support.h"

namespace qm {
namespace {

using namespace test::project_json;

test::CommandResult editorView(std::vector<std::string> args) {
    args.insert(args.begin(), {QM_BENCH, "editor-view"});
    return test::run(args);
}

TEST(BenchEditorView, WrongArgumentsExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--paint", "3"},
        {"p.qmproj", "--size", "800"},
        {"p.qmproj", "--size", "0x600"},
        {"p.qmproj", "--paint", "0"},
        {"p.qmproj", "--paint"},
        {"p.qmproj", "--play", "-1"},
        {"p.qmproj", "--play", "nan"},
        {"p.qmproj", "--grab", ""},
        {"p.qmproj", "--fast", "1"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(editorView(args).exitCode, 2) << shown;
    }
}

TEST(BenchEditorView, PrintsPaintPlayAndGrabLines) {
    test::TempDir dir;
    const json media = medium(dir / "bars.mov", "smptebars", 160, 90);
    const auto file = dir / "p.qmproj";
    test::writeFile(file, project(160, 90, {media}, {track("Layer 1", {clip(media)})}).dump());
    const auto png = dir / "shot.png";

    const auto r = editorView({file.string(), "--size", "1200x800", "--paint", "3", "--play", "0.2", "--grab", png.string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::regex expected("paint n=3 p50_ms=[0-9]+\\.[0-9]{3} p95_ms=[0-9]+\\.[0-9]{3}\n"
                              "play due=[0-9]+ rendered=[0-9]+ shown=[0-9]+ playhead=[0-9]+\\.[0-9]{3}\n"
                              "grab " + std::regex_replace(png.string(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                              " 1200x800\n");
    EXPECT_TRUE(std::regex_match(r.output, expected)) << r.output;
    const auto stream = test::ffprobe(png).at("streams").at(0);
    EXPECT_EQ(stream.at("codec_name"), "png");
    EXPECT_EQ(stream.at("width"), 1200);
    EXPECT_EQ(stream.at("height"), 800);
}

TEST(BenchInspectorScript, KeysTakeEitherQtNameAndUnknownOnesExitTwo) {
    test::TempDir dir;
    const auto script = dir / "s.json";
    const auto runWith = [&](const std::string& key) {
        test::writeFile(script, json::array({{{"op", "key"}, {"target", "width"}, {"key", key}}}).dump());
        return test::run({QM_BENCH, "inspector-script", script.string()});
    };
    for (const char* key : {"PgUp", "PageUp", "Ctrl+PageUp", "Tab, Shift+Backtab"})
        EXPECT_EQ(runWith(key).exitCode, 0) << key << "\n" << runWith(key).output;
    EXPECT_EQ(runWith("NoSuchKey").exitCode, 2);
}

}  // namespace
}  // namespace qm
