#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QThreadPool>

#include <atomic>

#include "platform/system/bookmarks.h"
#include "platform/system/desktop_services.h"
#include "platform/system/file_types.h"
#include "platform/system/settings_store.h"
#include "platform/system/task_pool.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using qm::test::TempDir;

namespace {

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

TEST(SettingsStore, DefaultStoreFollowsTheStorageFolder) {
    TempDir dir;
    qm::SettingsStore::setStorageFolder(q(dir.path()));
    {
        qm::SettingsStore store;
        store.setText("appMode", "edit");
        store.sync();
    }
    EXPECT_TRUE(fs::exists(dir / "Quillmere/Quillmere.ini"));
    EXPECT_EQ(qm::SettingsStore().text("appMode").value(), "edit");
}

TEST(SettingsStore, AFullDiskKeepsTheOldSettingsAndSaysWhy) {
    qm::test::SmallDisk disk(256 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const QString ini = q(disk / "Quillmere.ini");
    // Texts with separators, quotes, escapes, an edge space and a leading "@", as JSON records have.
    const QString record = QString::fromUtf8(R"({"a":"x,y;z=\"q\"","t":"tab\there é"} )");
    const QString tricky = QStringLiteral("@at\n\x31line\nbreak");
    {
        qm::SettingsStore store(ini);
        EXPECT_EQ(store.setText("conversionSettings", record), "");
        EXPECT_EQ(store.setText("odd", tricky), "");
    }
    QFile file(ini);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    {
        QSettings raw(ini, QSettings::IniFormat);  // the file stays the INI file it always was
        EXPECT_EQ(raw.value("conversionSettings").toString(), record);
        EXPECT_EQ(raw.value("odd").toString(), tricky);
    }
    // With a little room left (the new file starts, then runs out) and with none at all.
    { std::ofstream(disk / "spare") << std::string(8192, 's'); }
    disk.fill();
    fs::remove(disk / "spare");
    qm::SettingsStore store(ini);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(store.setText("credits", QString(12000, u'c')), "No space left on device");
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), before);
        file.close();
        { std::ofstream(disk / "more") << std::string(8192, 'm'); }
    }
    EXPECT_EQ(qm::SettingsStore(ini).text("conversionSettings").value(), record);
}

TEST(SettingsStore, DataThatIsNotBase64ReadsAsMissing) {
    TempDir dir;
    const QString ini = q(dir / "s.ini");
    {
        QSettings raw(ini, QSettings::IniFormat);
        raw.setValue("outputFolderBookmark", "not base64 !!");
    }
    EXPECT_FALSE(qm::SettingsStore(ini).data("outputFolderBookmark"));
}

TEST(Bookmarks, ResolveFailsOnceTheItemIsGone) {
    TempDir dir;
    fs::create_directories(dir / "out");
    const auto bookmark = qm::createBookmark(q(dir / "out"), qm::BookmarkScope::securityScoped);
    ASSERT_TRUE(bookmark);
    EXPECT_EQ(QString::fromUtf8(*bookmark), q(fs::canonical(dir / "out")));
    const auto resolved = qm::resolveBookmark(*bookmark, qm::BookmarkScope::securityScoped);
    ASSERT_TRUE(resolved);
    EXPECT_FALSE(resolved->stale);

    fs::remove(dir / "out");
    EXPECT_FALSE(qm::resolveBookmark(*bookmark, qm::BookmarkScope::securityScoped));
    EXPECT_FALSE(qm::resolveBookmark(*bookmark, qm::BookmarkScope::plain));
    EXPECT_FALSE(qm::resolveBookmark("relative/path", qm::BookmarkScope::plain));
    EXPECT_FALSE(qm::createBookmark(q(dir / "out"), qm::BookmarkScope::securityScoped));
}

TEST(Bookmarks, AccessNeedsAnExistingItem) {
    TempDir dir;
    qm::test::writeFile(dir / "f.mov", "x");
    EXPECT_TRUE(qm::startAccessing(q(dir / "f.mov")));
    EXPECT_TRUE(qm::startAccessing(q(dir.path()), qm::AccessMode::readWrite));
    EXPECT_FALSE(qm::startAccessing(q(dir / "missing")));
}

TEST(Bookmarks, SandboxFollowsTheEnvironment) {
    ::unsetenv("APP_SANDBOX_CONTAINER_ID");
    EXPECT_FALSE(qm::isSandboxed());
    ::setenv("APP_SANDBOX_CONTAINER_ID", "x", 1);
    EXPECT_TRUE(qm::isSandboxed());
    ::unsetenv("APP_SANDBOX_CONTAINER_ID");
}

TEST(FileTypes, MoviesByNameAndTransportStreamsBySyncBytes) {
    TempDir dir;
    for (const char* name : {"a.mov", "b.MP4", "c.mkv", "d.avi", "e.mxf", "g.webm", "h.m2ts"}) {
        qm::test::writeFile(dir / name, std::string(64, '\0'));
        EXPECT_TRUE(qm::isMovieFile(q(dir / name))) << name;
    }
    // ".ts" is also a translation file's suffix; the transport stream's sync bytes decide.
    std::string packets(188 * 4, '\0');
    for (size_t i = 0; i < packets.size(); i += 188) packets[i] = 0x47;
    qm::test::writeFile(dir / "f.ts", packets);
    EXPECT_TRUE(qm::isMovieFile(q(dir / "f.ts")));
    qm::test::writeFile(dir / "app_de.ts", "<?xml version=\"1.0\"?>\n<TS version=\"2.1\"></TS>\n");
    EXPECT_FALSE(qm::isMovieFile(q(dir / "app_de.ts")));
    qm::test::writeFile(dir / "pic.png", "\x89PNG\r\n\x1a\n");
    EXPECT_TRUE(qm::isImageFile(q(dir / "pic.png")));
    EXPECT_FALSE(qm::isMovieFile(q(dir.path())));
}

// Tasks that wait for tasks on a pool with a single worker: the inner ones run on the waiting
// thread instead of deadlocking behind it, and each runs exactly once.
TEST(PoolTask, WaitingInsideAFullPoolRunsTheWorkHere) {
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    std::atomic<int> runs{0};
    std::vector<qm::PoolTask> outer;
    for (int i = 0; i < 4; ++i)
        outer.emplace_back([&] {
            qm::PoolTask inner([&] { ++runs; }, pool);
            inner.wait();
            ++runs;
        }, pool);
    for (auto& task : outer) task.wait();
    EXPECT_EQ(runs.load(), 8);
    pool.waitForDone();
    EXPECT_EQ(runs.load(), 8);
}

}  // namespace
