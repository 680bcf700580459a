// Credits project files: the JSON form, references inside and outside the folder, the tolerant
// and the strict parts of reading, and the decisions' keys.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include <QDir>

#include "credits/credits_project.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

void touch(const fs::path& file, const std::string& bytes = "x") {
    fs::create_directories(file.parent_path());
    test::writeFile(file, bytes);
}

TEST(CreditsProjectFile, RoundTripWithSortedKeysEscapedSlashesAndNoAbsentInputs) {
    TempDir dir;
    const fs::path folder = dir / "Show.qmcredits";
    touch(folder / "Media" / "Logo.png");
    touch(dir / "Show.qmcredits-old" / "end.png");

    CreditsProject project;
    project.settings.width = 1280;
    project.settings.fontFamily = "Noto Sans";
    project.output.format = OutputFormat::hapQ;
    project.conversionOverrides = CreditsProject::storedOverrides({{3, "發"}, {12, "后"}});
    project.head = CreditsProject::FileReference::make(q(folder / "Media" / "Logo.png"), q(folder));
    // A sibling whose name merely starts with the folder's is outside it.
    project.tail = CreditsProject::FileReference::make(q(dir / "Show.qmcredits-old" / "end.png"), q(folder));
    ASSERT_TRUE(project.head && project.tail);
    EXPECT_EQ(project.head->packaged, "Media/Logo.png");
    EXPECT_FALSE(project.head->bookmark);
    EXPECT_FALSE(project.tail->packaged);
    EXPECT_TRUE(project.tail->bookmark);
    EXPECT_EQ(project.tail->path, (dir / "Show.qmcredits-old" / "end.png").string());

    project.writePackage(q(folder));
    const std::string text = test::readFile(folder / "project.json");
    const std::vector<std::string> order = {"\"conversionOverrides\"", "\"head\"", "\"output\"", "\"settings\"",
                                            "\"tail\"", "\"version\""};
    size_t last = 0;
    for (const auto& key : order) {
        const size_t at = text.find("\n  " + key);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key;
        last = at;
    }
    EXPECT_EQ(text.find("\"document\""), std::string::npos);
    EXPECT_NE(text.find("\"Media\\/Logo.png\""), std::string::npos);
    EXPECT_EQ(text.find("a/"), std::string::npos);  // no unescaped slash anywhere
    // Nested objects are sorted too: "contentWidthPercent" comes before "width" in the settings.
    EXPECT_LT(text.find("\"contentWidthPercent\""), text.find("\"width\""));

    const CreditsProject back = CreditsProject::readPackage(q(folder));
    EXPECT_EQ(back, project);
    EXPECT_EQ(back.overrides(), (ChineseConverter::Overrides{{3, "發"}, {12, "后"}}));
}

TEST(CreditsProjectFile, ReadingIsStrictAboutRequiredMembersAndTolerantInsideSettings) {
    const std::string base = R"("settings":{"width":"wide","height":720},"output":{"format":"hapQ"},"conversionOverrides":{})";
    const CreditsProject ok = CreditsProject::fromJsonText("{\"version\":7," + base + ",\"extra\":1}");
    EXPECT_EQ(ok.settings.width, 1920);  // a malformed key keeps its default
    EXPECT_EQ(ok.settings.height, 720);
    EXPECT_EQ(ok.output.format, OutputFormat::hapQ);
    EXPECT_FALSE(ok.head);

    const std::vector<std::string> refused = {
        "not json",
        "[]",
        "{" + base + "}",                                    // no version
        "{\"version\":1.5," + base + "}",                    // not an integer
        R"({"version":1,"settings":[],"output":{},"conversionOverrides":{}})",
        R"({"version":1,"settings":{},"output":{},"conversionOverrides":{"1":2}})",
        R"({"version":1,"settings":{},"output":{}})",
        "{\"version\":1," + base + R"(,"head":{"path":"/x"}})",           // reference without a name
        "{\"version\":1," + base + R"(,"tail":{"name":"a","bookmark":"@@"}})",  // not base64
        "{\"version\":1," + base + R"(,"document":{"name":"a","path":3}})",
    };
    for (const auto& text : refused) EXPECT_THROW(CreditsProject::fromJsonText(text), std::invalid_argument) << text;
}

TEST(CreditsProjectFile, DecisionKeysAreSignedDecimalIntegers) {
    const std::vector<std::pair<std::string, std::optional<int>>> cases = {
        {"007", 7}, {"+7", 7}, {"-3", -3}, {"x1", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt},
        {"", std::nullopt}, {"+", std::nullopt}, {"1e3", std::nullopt}, {"99999999999999999999", std::nullopt},
    };
    for (const auto& [key, id] : cases) {
        CreditsProject project;
        project.conversionOverrides[key] = "x";
        const auto read = project.overrides();
        if (id) {
            EXPECT_EQ(read, (ChineseConverter::Overrides{{*id, "x"}})) << key;
        } else {
            EXPECT_TRUE(read.empty()) << key;
        }
    }
    // Keys naming one id: one of them is taken, deterministically.
    CreditsProject same;
    same.conversionOverrides = {{"7", "a"}, {"+7", "b"}, {"07", "c"}};
    EXPECT_EQ(same.overrides().size(), 1u);
    EXPECT_EQ(same.overrides(), same.overrides());
}

TEST(CreditsProjectFile, PackagedPathsLeadingOutOfTheFolderAreIgnored) {
    TempDir dir;
    const fs::path folder = dir / "P.qmcredits";
    touch(folder / "Media" / "in.png");
    touch(dir / "x");
    touch(dir / "outside.png");
    fs::create_symlink(dir / "outside.png", folder / "Media" / "link.png");

    const auto packagedOnly = [](std::string packaged) {
        return CreditsProject::FileReference{"f", std::move(packaged), std::nullopt, std::nullopt};
    };
    EXPECT_EQ(CreditsProject::FileReference::resolve(packagedOnly("Media/in.png"), q(folder)), q(folder / "Media" / "in.png"));
    const std::vector<std::string> refused = {"../x", (dir / "x").string(), "Media/../../x", "Media/link.png", "", "Media/none.png"};
    for (const std::string& bad : refused) {
        EXPECT_EQ(CreditsProject::FileReference::resolve(packagedOnly(bad), q(folder)), QString()) << bad;
        // The path is tried next.
        auto withPath = packagedOnly(bad);
        withPath.path = (dir / "x").string();
        EXPECT_EQ(CreditsProject::FileReference::resolve(withPath, q(folder)), q(dir / "x")) << bad;
    }
    // A bookmark of a vanished file falls through to a readable path.
    auto reference = CreditsProject::FileReference::make(q(dir / "outside.png"), q(folder));
    fs::rename(dir / "outside.png", dir / "moved.png");
    EXPECT_EQ(CreditsProject::FileReference::resolve(reference, q(folder)), QString());
    reference->path = (dir / "moved.png").string();
    EXPECT_EQ(CreditsProject::FileReference::resolve(reference, q(folder)), q(dir / "moved.png"));
    EXPECT_EQ(CreditsProject::FileReference::resolve(CreditsProject::FileReference{"n", {}, {}, {}}, q(folder)), QString());
}

TEST(CreditsProjectFile, AFailedWriteKeepsTheEarlierFile) {
    TempDir dir;
    const fs::path folder = dir / "A.qmcredits";
    CreditsProject project;
    project.writePackage(q(folder));
    const std::string before = test::readFile(folder / "project.json");
    project.settings.textScalePercent = std::nan("");
    try {
        project.writePackage(q(folder));
        FAIL() << "a non-finite number was written";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("textScalePercent"), std::string::npos) << e.what();
    }
    EXPECT_EQ(test::readFile(folder / "project.json"), before);
}


// A project file that is a link out of its folder (the package came from someone else, or was
// swapped after it was opened) is neither read nor written; one that stays inside is both.
TEST(CreditsProjectFile, AProjectFileLinkedOutOfItsFolderIsNeitherReadNorWritten) {
    TempDir dir;
    const fs::path folder = dir / "gig.qmcredits";
    CreditsProject project;
    project.writePackage(q(folder));
    const std::string outsideBytes = test::readFile(folder / "project.json") + "\n";
    test::writeFile(dir / "notes.json", outsideBytes);
    fs::remove(folder / "project.json");
    fs::create_symlink(fs::path("..") / "notes.json", folder / "project.json");

    const auto refused = [&](const std::function<void()>& step, const std::string& text) {
        try {
            step();
            ADD_FAILURE() << "not refused: " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), text.c_str());
        }
    };
    refused([&] { CreditsProject::readPackage(q(folder)); }, "“project.json” could not be read: it lies outside the package.");
    project.settings.width = 1280;
    refused([&] { project.writePackage(q(folder)); }, "“project.json” could not be written: it lies outside the package.");
    fs::remove(folder / "project.json");
    fs::create_symlink(dir / "missing.json", folder / "project.json");
    refused([&] { project.writePackage(q(folder)); }, "“project.json” could not be written: it lies outside the package.");
    EXPECT_FALSE(fs::exists(dir / "missing.json"));
    EXPECT_EQ(test::readFile(dir / "notes.json"), outsideBytes);

    fs::remove(folder / "project.json");
    touch(folder / "Media" / "kept.json");
    fs::create_symlink(fs::path("Media") / "kept.json", folder / "project.json");
    project.writePackage(q(folder));
    EXPECT_EQ(CreditsProject::readPackage(q(folder)).settings.width, 1280);
}

}  // namespace
}  // namespace qm
