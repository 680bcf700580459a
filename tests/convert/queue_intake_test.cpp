// Intake of files and folders into the Convert queue, with a stand-in probe so the order of
// events is under the test's control.

#include <condition_variable>
#include <filesystem>
#include <mutex>


#include <gtest/gtest.h>

#include <QSignalSpy>

#include "convert/conversion_queue.h"
#include "convert_test_support.h"
#include "core/conversion_error.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using qm::ConversionJob;
using qm::ConversionQueue;
using qm::test::qpath;
using Kind = ConversionJob::State::Kind;

namespace {

// A probe that answers from the file name and can be held closed.
struct FakeProbe {
    std::mutex lock;
    std::condition_variable opened;
    bool open = true;
    int calls = 0;

    void hold() {
        std::lock_guard guard(lock);
        open = false;
    }
    void release() {
        {
            std::lock_guard guard(lock);
            open = true;
        }
        opened.notify_all();
    }

    qm::MediaInfo operator()(const fs::path& file) {
        {
            std::unique_lock guard(lock);
            ++calls;
            opened.wait(guard, [&] { return open; });
        }
        const std::string name = file.filename().string();
        if (name.find(".txt") != std::string::npos) throw qm::ConversionError::noVideoTrack();
        qm::MediaInfo info;
        info.width = 64;
        info.height = 48;
        info.codecType = qm::fourCC('a', 'v', 'c', '1');
        info.codecName = "H.264";
        if (name.find("hap7") != std::string::npos) {
            info.codecType = qm::fourCC('H', 'a', 'p', '7');
            info.codecName = "Hap R";
            info.decoder = qm::SourceDecoder::unsupported(info.codecType);
        } else {
            info.decoder = qm::SourceDecoder::native();
        }
        return info;
    }
};

class QueueIntake : public qm::test::QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        queue = makeQueue([this](const fs::path& file) { return probe(file); });
    }
    void TearDown() override {
        probe.release();
        queue.reset();
    }

    QStringList queuedPaths() const {
        QStringList paths;
        for (const auto& job : queue->jobs()) paths.append(job->path());
        return paths;
    }
    void touch(const fs::path& file) {
        fs::create_directories(file.parent_path());
        qm::test::writeFile(file, std::string(32, '\0'));
    }

    FakeProbe probe;
};

TEST_F(QueueIntake, FolderExpansionKeepsVisibleMoviesInFinderOrder) {
    const fs::path root = dir / "media";
    touch(root / "b10.mov");
    touch(root / "b2.mov");
    touch(root / "B3.MP4");
    touch(root / ".c.mov");                  // hidden
    touch(root / ".hidden" / "d.mov");       // inside a hidden folder
    touch(root / "sub" / "deeper" / "a.mov");  // nested
    touch(root / "Tool.app" / "e.mov");      // package
    touch(root / "Show.qmpack" / "f.mov");   // package
    qm::test::writeFile(root / "notes.txt", "hello");
    qm::test::writeFile(root / "pic.png", "\x89PNG\r\n\x1a\n");

    queue->add(QStringList{qpath(root)});
    const QString r = qpath(root);
    EXPECT_EQ(queuedPaths(), (QStringList{r + "/b2.mov", r + "/B3.MP4", r + "/b10.mov", r + "/sub/deeper/a.mov"}));
    ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed(); }));
    for (const auto& job : queue->jobs()) EXPECT_TRUE(job->state().is(Kind::ready)) << job->path().toStdString();
    EXPECT_EQ(queue->readyCount(), 4);
    EXPECT_EQ(queue->selectedJobID(), queue->jobs().front()->id());
}

TEST_F(QueueIntake, FilesGivenDirectlyAreQueuedWhateverTheirType) {
    touch(dir / "clip.mov");
    qm::test::writeFile(dir / "notes.txt", "hello");
    queue->add(QStringList{qpath(dir / "notes.txt"), qpath(dir / "clip.mov")});
    ASSERT_EQ(queue->jobs().size(), 2u);
    ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed(); }));
    const auto notes = queue->jobs()[1];  // sorted: clip.mov, notes.txt
    EXPECT_EQ(notes->path(), qpath(dir / "notes.txt"));
    EXPECT_EQ(notes->state(), ConversionJob::State::failed("The file has no video track."));
    EXPECT_FALSE(notes->info());
    EXPECT_FALSE(notes->canRetry());
}

TEST_F(QueueIntake, EachFileIsQueuedOnce) {
    const fs::path root = dir / "media";
    touch(root / "a.mov");
    touch(root / "b.mov");
    // Given directly and found in its folder, in one call; and the same file twice.
    queue->add(QStringList{qpath(root / "a.mov"), qpath(root), qpath(root / "a.mov")});
    EXPECT_EQ(queuedPaths(), (QStringList{qpath(root / "a.mov"), qpath(root / "b.mov")}));
    // A later call adds nothing already queued, also through a path spelled differently.
    queue->add(QList<QUrl>{QUrl::fromLocalFile(qpath(root / "sub" / ".." / "a.mov")), QUrl::fromLocalFile(qpath(root))});
    EXPECT_EQ(queue->jobs().size(), 2u);
    // Nothing to add changes nothing.
    QSignalSpy jobsChanged(queue.get(), &ConversionQueue::jobsChanged);
    queue->add(QStringList{});
    fs::create_directories(dir / "empty");
    queue->add(QStringList{qpath(dir / "empty")});
    EXPECT_EQ(jobsChanged.count(), 0);
}

TEST_F(QueueIntake, SelectionFollowsTheFirstNewJobOnlyWhenNothingIsSelected) {
    touch(dir / "a.mov");
    touch(dir / "b.mov");
    touch(dir / "c.mov");
    queue->add(QStringList{qpath(dir / "b.mov"), qpath(dir / "a.mov")});
    const QUuid first = queue->jobs()[0]->id();
    EXPECT_EQ(queue->selectedJobID(), first);
    EXPECT_EQ(queue->preview().jobID(), first);
    queue->setSelectedJobID(queue->jobs()[1]->id());
    queue->add(QStringList{qpath(dir / "c.mov")});
    EXPECT_EQ(queue->selectedJobID(), queue->jobs()[1]->id());
}

TEST_F(QueueIntake, RemovalWhileProbingLeavesTheProbeHarmless) {
    touch(dir / "a.mov");
    touch(dir / "b.mov");
    probe.hold();
    queue->add(QStringList{qpath(dir / "a.mov"), qpath(dir / "b.mov")});
    const auto removed = queue->jobs()[0];
    ASSERT_TRUE(removed->state().is(Kind::probing));
    EXPECT_EQ(queue->preview().message(), std::optional<QString>("Reading file…"));
    queue->remove(removed);
    ASSERT_EQ(queue->jobs().size(), 1u);
    EXPECT_EQ(queue->selectedJobID(), queue->jobs()[0]->id());

    probe.release();
    ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed() && !removed->state().is(Kind::probing); }));
    EXPECT_EQ(queue->jobs().size(), 1u);
    EXPECT_EQ(queue->readyCount(), 1);
    EXPECT_EQ(queue->selectedJobID(), queue->jobs()[0]->id());
}

TEST_F(QueueIntake, UndecodableCodecFailsButKeepsItsInfo) {
    touch(dir / "clip_hap7.mov");
    queue->add(QStringList{qpath(dir / "clip_hap7.mov")});
    ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed(); }));
    const auto job = queue->jobs()[0];
    ASSERT_TRUE(job->info());
    EXPECT_EQ(job->state().message, "Codec Hap R can't be decoded.");
    EXPECT_TRUE(job->canRetry());
    job->retry();  // an undecodable source stays failed
    EXPECT_TRUE(job->state().is(Kind::failed));
    EXPECT_EQ(queue->preview().message(), std::optional<QString>("Preview unavailable"));
}

TEST_F(QueueIntake, MissingFilesFailWithAClearText) {
    queue->add(QStringList{qpath(dir / "gone.mov")});
    ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed(); }));
    EXPECT_EQ(queue->jobs()[0]->state().message,
              "The file “gone.mov” couldn’t be opened because there is no such file.");
    EXPECT_EQ(probe.calls, 0);
}

TEST_F(QueueIntake, RemoveClearFinishedAndCounts) {
    for (const char* name : {"a.mov", "b.mov", "c.mov", "d.mov", "e.mov"}) touch(dir / name);
    queue->add(QStringList{qpath(dir.path())});
    ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed(); }));
    ASSERT_EQ(queue->jobs().size(), 5u);  // settings.ini is not a movie
    const auto jobs = queue->jobs();
    QSignalSpy readyChanged(queue.get(), &ConversionQueue::readyCountChanged);
    jobs[0]->setState(ConversionJob::State::done("/out/a_HapQ.mov"));
    jobs[1]->setState(ConversionJob::State::failed("broken"));
    jobs[2]->setState(ConversionJob::State::cancelled());
    jobs[3]->setState(ConversionJob::State::running(0.5, 20));
    EXPECT_EQ(queue->readyCount(), 1);
    EXPECT_EQ(readyChanged.count(), 4);
    EXPECT_TRUE(queue->hasFinishedJobs());

    queue->remove(jobs[3]);  // running: stays
    EXPECT_EQ(queue->jobs().size(), 5u);

    queue->setSelectedJobID(jobs[0]->id());
    queue->clearFinished();
    ASSERT_EQ(queue->jobs().size(), 4u);
    EXPECT_EQ(queue->selectedJobID(), jobs[1]->id());
    EXPECT_FALSE(queue->hasFinishedJobs());
    queue->clearFinished();  // only failed, cancelled, running, ready: nothing leaves
    EXPECT_EQ(queue->jobs().size(), 4u);

    jobs[1]->retry();  // failed with its probe result: ready again
    EXPECT_TRUE(jobs[1]->state().is(Kind::ready));
    EXPECT_EQ(queue->readyCount(), 2);

    queue->remove(jobs[1]);
    EXPECT_EQ(queue->selectedJobID(), jobs[2]->id());
    queue->remove(jobs[2]);
    queue->remove(jobs[4]);
    EXPECT_EQ(queue->selectedJobID(), jobs[3]->id());  // the running one is all that is left
}

TEST_F(QueueIntake, AReadyJobWithoutMediaInformationIsFailedNotRetriedForever) {
    touch(dir / "a.mov");
    fs::create_directories(dir / "out");
    probe.hold();
    queue->add(QStringList{qpath(dir / "a.mov")});
    const auto job = queue->jobs()[0];
    job->setState(ConversionJob::State::ready());  // ready, but the probe has not answered
    queue->setOutputFolder(qpath(dir / "out"));
    queue->start();
    ASSERT_TRUE(qm::test::waitUntil([&] { return !queue->isRunning(); }));
    EXPECT_TRUE(job->state().is(Kind::failed));
    EXPECT_FALSE(job->state().message.isEmpty());
    EXPECT_EQ(desktop.sounds, 0);
}

TEST(JobState, EqualityLooksAtThePayloadOfItsOwnCase) {
    using State = ConversionJob::State;
    EXPECT_EQ(State::running(0.5, 10), State::running(0.5, 10));
    EXPECT_NE(State::running(0.5, 10), State::running(0.5, 11));
    EXPECT_NE(State::done("/a"), State::done("/b"));
    EXPECT_EQ(State::failed("x"), State::failed("x"));
    EXPECT_NE(State::ready(), State::probing());
    EXPECT_NE(State::running(0, 0), State::ready());
}

}  // namespace
