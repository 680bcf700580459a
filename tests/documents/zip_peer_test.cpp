// Archives written by Info-ZIP's zip read back exactly as unzip extracts them: stored and deflated
// entries, empty entries, archive and entry comments, and entries streamed with data descriptors.

#include <gtest/gtest.h>

#include <random>

#include "documents/zip_archive.h"
#include "support/test_support.h"
#include "zip_test_archive.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::run;

std::string textOf(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(g());
    return s;
}

std::string sh(const std::string& script) {
    const auto r = run({"sh", "-c", script});
    EXPECT_EQ(r.exitCode, 0) << script;
    return r.output;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Every entry unzip lists reads back byte for byte as `unzip -p` gives it.
void expectSameAsUnzip(const fs::path& archive, std::size_t expectedEntries) {
    const ZipArchive zip(archive);
    std::vector<std::string> names;
    std::string listing = run({"unzip", "-Z1", archive.string()}).output;
    for (std::size_t start = 0, end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1)
        names.push_back(listing.substr(start, end - start));
    ASSERT_EQ(names.size(), expectedEntries);
    EXPECT_EQ(zip.entries().size(), names.size());
    for (const auto& name : names) {
        ASSERT_TRUE(zip.contains(name)) << name;
        const auto r = run({"unzip", "-p", archive.string(), name});
        ASSERT_EQ(r.exitCode, 0) << name;
        EXPECT_EQ(textOf(zip.entryData(name)), r.output) << name;
    }
}

class ZipPeer : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "in/word/media");
        std::string text;
        for (int i = 0; i < 5000; ++i) text += "<w:p><w:r><w:t>Line " + std::to_string(i) + "</w:t></w:r></w:p>\n";
        test::writeFile(dir / "in/word/document.xml", text);
        test::writeFile(dir / "in/word/media/noise.bin", randomBytes(70000, 7));
        test::writeFile(dir / "in/word/empty.txt", "");
        test::writeFile(dir / "in/name with spaces é.txt", "accented name\n");
    }
    test::TempDir dir;
};

TEST_F(ZipPeer, StoredAndDeflatedWithComments) {
    const fs::path archive = dir / "mixed.zip";
    // .bin files stored, the rest deflated; an archive comment and a comment per entry.
    sh("cd " + quoted(dir / "in") + " && zip -q -r -n .bin " + quoted(archive) + " . && " +
       "printf 'archive comment\\n' | zip -q -z " + quoted(archive) + " && " +
       "printf 'c1\\nc2\\nc3\\nc4\\nc5\\nc6\\n' | zip -q -c " + quoted(archive) + " word/document.xml word/empty.txt");
    const ZipArchive zip(archive);
    EXPECT_EQ(zip.entries().at("word/media/noise.bin").method, 0);
    EXPECT_EQ(zip.entries().at("word/document.xml").method, 8);
    expectSameAsUnzip(archive, 6);  // four files and the folders word/ and word/media/

    const fs::path stored = dir / "stored.zip";
    sh("cd " + quoted(dir / "in") + " && zip -q -r -0 " + quoted(stored) + " .");
    expectSameAsUnzip(stored, 6);
}

TEST_F(ZipPeer, DataDescriptors) {
    // Writing to a pipe makes zip put sizes and CRCs after the data, not in the local headers.
    const fs::path archive = dir / "streamed.zip";
    sh("cd " + quoted(dir / "in") + " && zip -q -r -fz- - . | cat > " + quoted(archive));
    ASSERT_NE(sh("unzip -Z -v " + quoted(archive)).find("extended local header:                          yes"),
              std::string::npos);
    expectSameAsUnzip(archive, 6);

    // An entry read from standard input, named "-".
    const fs::path piped = dir / "stdin.zip";
    sh("cat " + quoted(dir / "in/word/document.xml") + " | zip -q -fz- - - | cat > " + quoted(piped));
    expectSameAsUnzip(piped, 1);
    EXPECT_EQ(textOf(ZipArchive(piped).entryData("-")), test::readFile(dir / "in/word/document.xml"));
}

}  // namespace
}  // namespace qm
