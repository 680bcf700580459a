#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "platform/system/package_copy.h"
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

}  // namespace
