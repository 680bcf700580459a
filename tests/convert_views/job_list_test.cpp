// The queue's rows stay whole while jobs come and go: files added to an idle, a probing and a
// running queue, a job removed mid-run, then the run to its end. Every row must keep showing its
// own job's name, details and status.

#include "convert/views/content_view.h"
#include "convert/views/job_list.h"
#include "convert/views/job_row.h"
#include "convert/views/settings_panel.h"

#include "engine/media_info.h"
#include "platform/desktop/icons.h"
#include "support/qt_app.h"
#include "support/test_support.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSemaphore>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <atomic>

namespace qm {
namespace {

// Holds probes back while closed, so a job can be kept in its probing state.
struct ProbeGate {
    std::atomic<bool> closed{false};
    QSemaphore released;
    MediaInfo probe(const std::filesystem::path& file) {
        if (closed) released.acquire();
        return MediaInfo::load(file, false);
    }
    void open() {
        closed = false;
        released.release(100);
    }
};

using Kind = ConversionJob::State::Kind;

TEST(JobList, RowsStayWholeAsJobsAreAddedAndRemovedInEveryQueueState) {
    test::qtApp<QApplication>();
    installIconTheme();
    test::TempDir dir;
    auto movie = [&](const std::string& name) {
        const auto path = dir / name;
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=2", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                      path.string()});
        return QString::fromStdString(path.string());
    };
    const QStringList files{movie("a.mp4"), movie("b.mp4"), movie("c.mp4"), movie("d.mp4"), movie("e.mp4"),
                            movie("f.mp4")};
    std::filesystem::create_directory(dir / "out");

    ProbeGate gate;
    ConversionQueue::Environment env;
    env.store = SettingsStore(QString::fromStdString((dir / "store.ini").string()));
    env.probe = [&gate](const std::filesystem::path& file) { return gate.probe(file); };
    ConversionQueue queue(std::move(env));
    ContentView view(queue);
    view.resize(1000, 700);
    view.show();

    auto expectRowsMatchQueue = [&](const char* when) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        SCOPED_TRACE(when);
        const auto& jobs = queue.jobs();
        ASSERT_EQ(view.rowCount(), int(jobs.size()));
        for (size_t i = 0; i < jobs.size(); ++i) {
            JobRow* row = view.rowAt(int(i));
            ASSERT_NE(row, nullptr) << "row " << i;
            EXPECT_EQ(row->job(), jobs[i]);
            EXPECT_TRUE(row->isVisible());
            const auto* name = row->findChild<QLabel*>("nameText");
            const auto* detail = row->findChild<QLabel*>("detailText");
            ASSERT_TRUE(name && detail);
            EXPECT_EQ(name->text(), QFileInfo(jobs[i]->path()).fileName());
            EXPECT_EQ(detail->text(), jobDetailLine(*jobs[i]));
            EXPECT_FALSE(row->statusArea()->findChildren<QWidget*>().isEmpty()) << "row " << i << " lost its status";
        }
        const QModelIndex current = view.jobList()->currentIndex();
        ASSERT_TRUE(current.isValid());
        EXPECT_EQ(jobs[size_t(current.row())]->id(), queue.selectedJobID()) << "the list shows the queue's selection";
    };
    auto waitUntilNoneProbing = [&] {
        QTRY_VERIFY_WITH_TIMEOUT(std::none_of(queue.jobs().begin(), queue.jobs().end(),
                                              [](const auto& j) { return j->state().is(Kind::probing); }),
                                 120000);
    };

    queue.add(files.mid(0, 2));
    waitUntilNoneProbing();
    expectRowsMatchQueue("two probed jobs");

    queue.add(files.mid(2, 1));
    expectRowsMatchQueue("added to an idle queue");
    view.jobList()->setCurrentIndex(view.jobList()->jobs()->index(2));
    EXPECT_EQ(queue.selectedJobID(), queue.jobs()[2]->id()) << "choosing a row selects its job";
    waitUntilNoneProbing();

    gate.closed = true;
    queue.add(files.mid(3, 1));
    queue.add(files.mid(4, 1));
    ASSERT_TRUE(queue.jobs().back()->state().is(Kind::probing));
    expectRowsMatchQueue("added to a probing queue");
    queue.remove(queue.jobs()[3]);
    expectRowsMatchQueue("a probing job removed");
    gate.open();
    waitUntilNoneProbing();
    expectRowsMatchQueue("probes finished");

    queue.setOutputFolder(QString::fromStdString((dir / "out").string()));
    QPushButton* convert = view.settingsPanel()->actionButton();
    ASSERT_TRUE(convert->isEnabled());
    convert->click();
    ASSERT_TRUE(queue.isRunning());
    queue.add(files.mid(5, 1));
    expectRowsMatchQueue("added to a running queue");
    queue.setSelectedJobID(queue.jobs()[1]->id());
    queue.remove(queue.jobs()[1]);
    expectRowsMatchQueue("the selected ready job removed while running");

    QTRY_VERIFY_WITH_TIMEOUT(!queue.isRunning(), 120000);
    expectRowsMatchQueue("the run ended");
    ASSERT_EQ(queue.jobs().size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(queue.jobs()[size_t(i)]->state().is(Kind::done)) << queue.jobs()[size_t(i)]->state().message.toStdString();
        EXPECT_NE(view.rowAt(i)->statusArea()->findChild<QToolButton*>("revealButton"), nullptr);
    }
}

}  // namespace
}  // namespace qm
