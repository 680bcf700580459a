// Conversion runs of the Convert queue over movies generated with ffmpeg, through the real probe
// and transcoder.

#include <algorithm>
#include <filesystem>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "convert/conversion_queue.h"
#include "convert_test_support.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using qm::ConversionJob;
using qm::ConversionQueue;
using qm::OutputFormat;
using qm::test::qpath;
using Kind = ConversionJob::State::Kind;

namespace {

// A small H.264 movie whose index sits before its samples, so cutting the file short leaves it
// probing cleanly while its later samples are gone.
void makeMovie(const fs::path& file, double seconds, const std::string& size = "64x48") {
    qm::test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=25:duration=" + std::to_string(seconds),
                      "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-movflags", "+faststart",
                      file.string()});
}

class QueueRun : public qm::test::QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        fs::create_directories(out);
        queue = makeQueue();
        qm::ConversionSettings settings;
        settings.format = OutputFormat::hap;
        queue->setSettings(settings);
        queue->setOutputFolder(qpath(out));
    }

    void addAndProbe(const QStringList& paths) {
        queue->add(paths);
        ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed(); }));
    }
    void runToEnd() {
        queue->start();
        ASSERT_TRUE(queue->isRunning());
        ASSERT_TRUE(qm::test::waitUntil([&] { return !queue->isRunning(); }));
    }
    std::vector<std::string> outputNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path out = dir / "out";
};

TEST_F(QueueRun, AFailingJobDoesNotStopTheOthers) {
    makeMovie(dir / "a.mov", 1);
    makeMovie(dir / "b.mov", 1);
    makeMovie(dir / "c.mov", 1);
    // Cut b's sample data short: its index still describes every frame.
    fs::resize_file(dir / "b.mov", fs::file_size(dir / "b.mov") / 2);

    addAndProbe({qpath(dir / "a.mov"), qpath(dir / "b.mov"), qpath(dir / "c.mov")});
    ASSERT_EQ(queue->readyCount(), 3);
    runToEnd();

    const auto& jobs = queue->jobs();
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ(jobs[0]->state(), ConversionJob::State::done(qpath(out / "a_Hap.mov")));
    EXPECT_TRUE(jobs[1]->state().is(Kind::failed));
    EXPECT_FALSE(jobs[1]->state().message.isEmpty());
    EXPECT_EQ(jobs[2]->state(), ConversionJob::State::done(qpath(out / "c_Hap.mov")));
    // b's partial movie is gone; a and c are real Hap movies of all 25 frames.
    EXPECT_EQ(outputNames(), (std::vector<std::string>{"a_Hap.mov", "c_Hap.mov"}));
    for (const char* name : {"a_Hap.mov", "c_Hap.mov"}) {
        const auto probe = qm::test::ffprobe(out / name);
        ASSERT_FALSE(probe["streams"].empty()) << name;
        EXPECT_EQ(probe["streams"][0]["codec_name"], "hap") << name;
        EXPECT_EQ(probe["streams"][0]["nb_frames"], "25") << name;
    }
    EXPECT_EQ(desktop.sounds, 1);
    EXPECT_EQ(desktop.attentionRequests, 1);
    EXPECT_EQ(desktop.lastAttention, qm::AttentionRequest::informational);
    EXPECT_TRUE(queue->hasFinishedJobs());
    queue->clearFinished();
    EXPECT_EQ(queue->jobs().size(), 1u);
}

TEST_F(QueueRun, StopCancelsTheRunningJobAndKeepsTheRestReady) {
    makeMovie(dir / "a.mov", 1, "320x240");
    makeMovie(dir / "b.mov", 0.4);
    addAndProbe({qpath(dir / "a.mov"), qpath(dir / "b.mov")});
    const auto first = queue->jobs()[0];
    const auto second = queue->jobs()[1];
    // Stop as soon as the first job is under way.
    QObject::connect(first.get(), &ConversionJob::stateChanged, queue.get(), [&] {
        if (first->state().is(Kind::running)) queue->stop();
    });
    runToEnd();

    EXPECT_EQ(first->state(), ConversionJob::State::cancelled());
    EXPECT_EQ(second->state(), ConversionJob::State::ready());
    EXPECT_TRUE(outputNames().empty());  // the partial movie was removed
    EXPECT_EQ(desktop.sounds, 0);
    EXPECT_EQ(desktop.attentionRequests, 0);
    EXPECT_TRUE(queue->stopRequested());

    // The next start takes up what was left.
    runToEnd();
    EXPECT_FALSE(queue->stopRequested());
    EXPECT_EQ(second->state(), ConversionJob::State::done(qpath(out / "b_Hap.mov")));
    EXPECT_EQ(desktop.sounds, 1);
}

TEST_F(QueueRun, NamesNeverOverwriteAndBadSourcesFailClearly) {
    fs::create_directories(dir / "one");
    fs::create_directories(dir / "two");
    makeMovie(dir / "one" / "Clip.mov", 0.2);
    fs::copy_file(dir / "one" / "Clip.mov", dir / "two" / "Clip.mov");
    fs::copy_file(dir / "one" / "Clip.mov", dir / "gone.mov");
    qm::test::writeFile(out / "Clip_Hap.mov", "already here");
    qm::test::writeFile(dir / "notes.txt", "not a movie");

    addAndProbe({qpath(dir / "one" / "Clip.mov"), qpath(dir / "two" / "Clip.mov"), qpath(dir / "gone.mov"),
                 qpath(dir / "notes.txt")});
    ASSERT_EQ(queue->readyCount(), 3);
    fs::remove(dir / "gone.mov");  // removed while queued
    runToEnd();

    const auto& jobs = queue->jobs();  // gone.mov, notes.txt, one/Clip.mov, two/Clip.mov
    ASSERT_EQ(jobs.size(), 4u);
    EXPECT_EQ(jobs[0]->state(),
              ConversionJob::State::failed("The file “gone.mov” couldn’t be opened because there is no such file."));
    EXPECT_EQ(jobs[1]->state(),
              ConversionJob::State::failed("The file “notes.txt” couldn’t be opened because it isn’t a movie file."));
    EXPECT_EQ(jobs[2]->state(), ConversionJob::State::done(qpath(out / "Clip_Hap 2.mov")));
    EXPECT_EQ(jobs[3]->state(), ConversionJob::State::done(qpath(out / "Clip_Hap 3.mov")));
    EXPECT_EQ(qm::test::readFile(out / "Clip_Hap.mov"), "already here");

}

// Probed files hold no file handles while they wait: 3,000 queued files fit a limit of 256.
TEST_F(QueueRun, ThousandsOfQueuedFilesStayWithinTheFileHandleLimit) {
    makeMovie(dir / "m.mov", 0.2);
    fs::create_directories(dir / "many");
    QStringList paths;
    for (int i = 0; i < 3000; ++i) {
        const fs::path link = dir / "many" / ("m" + std::to_string(i) + ".mov");
        fs::create_hard_link(dir / "m.mov", link);
        paths << qpath(link);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    queue->add(paths);
    const bool probed = qm::test::waitUntil([&] { return allProbed(); });
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(probed);
    EXPECT_EQ(queue->readyCount(), 3000);
}

TEST_F(QueueRun, ChangesDuringARunReachOnlyLaterJobs) {
    makeMovie(dir / "a.mov", 0.2);
    makeMovie(dir / "b.mov", 0.2);
    addAndProbe({qpath(dir / "a.mov")});
    const auto first = queue->jobs()[0];
    bool changed = false;
    QObject::connect(first.get(), &ConversionJob::stateChanged, queue.get(), [&] {
        if (!first->state().is(Kind::running) || changed) return;
        changed = true;
        // While a converts: a new file arrives and the format changes.
        qm::ConversionSettings settings = queue->settings();
        settings.format = OutputFormat::hapQ;
        queue->setSettings(settings);
        queue->add(QStringList{qpath(dir / "b.mov")});
        // Let b's probe finish before a's conversion can end, so the run is sure to find it.
        ASSERT_TRUE(qm::test::waitUntil([&] { return allProbed(); }));
    });
    runToEnd();
    ASSERT_EQ(queue->jobs().size(), 2u);
    EXPECT_EQ(first->state(), ConversionJob::State::done(qpath(out / "a_Hap.mov")));
    EXPECT_EQ(queue->jobs()[1]->state(), ConversionJob::State::done(qpath(out / "b_HapQ.mov")));
    EXPECT_EQ(desktop.sounds, 1);
}

TEST_F(QueueRun, ClosingTheQueueMidRunLeavesNoPartialFile) {
    makeMovie(dir / "a.mov", 1, "320x240");
    addAndProbe({qpath(dir / "a.mov")});
    queue->start();
    ASSERT_TRUE(qm::test::waitUntil([&] { return queue->jobs()[0]->state().is(Kind::running); }));
    queue.reset();
    // Cancelled (nothing left behind), or finished in the moment before: then whole.
    const auto names = outputNames();
    if (!names.empty()) {
        ASSERT_EQ(names, std::vector<std::string>{"a_Hap.mov"});
        EXPECT_EQ(qm::test::ffprobe(out / "a_Hap.mov")["streams"][0]["nb_frames"], "25");
    }
    EXPECT_EQ(desktop.sounds, 0);
}

TEST_F(QueueRun, StartWithNothingReadyEndsAtOnceWithoutASound) {
    runToEnd();
    EXPECT_EQ(desktop.sounds, 0);
    EXPECT_EQ(desktop.openPanels, 0);  // the folder is set
}

}  // namespace
