#include "app/single_instance.h"
#include "app/quit_watchdog.h"

#include "support/qt_app.h"
#include "support/qt_events.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace qm {
namespace {

QCoreApplication& app() { return test::qtApp(); }

QString uniqueName() { return QStringLiteral("qm-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(rand()); }

void waitFor(QSignalSpy& spy) { test::waitUntil([&] { return !spy.isEmpty(); }); }

// A socket file left by a crash is replaced; a second launch hands its files to the first, and
// ending normally takes the socket away.
TEST(SingleInstance, ASecondLaunchHandsItsFilesToTheFirst) {
    app();
    const QString name = uniqueName();
    const QString path = QDir::tempPath() + u'/' + name;
    {
        QFile stale(path);
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    {
        SingleInstance first(name);
        EXPECT_FALSE(first.forwardToRunning({QUrl::fromLocalFile("/a.mov")}, 200)) << "nobody is running yet";
        ASSERT_TRUE(first.listen());
        QSignalSpy received(&first, &SingleInstance::filesReceived);
        const QList<QUrl> files{QUrl::fromLocalFile("/clips/a b.mov"), QUrl::fromLocalFile("/clips/ünï.mp4")};
        EXPECT_TRUE(SingleInstance(name).forwardToRunning(files));
        waitFor(received);
        ASSERT_EQ(received.size(), 1);
        EXPECT_EQ(received[0][0].value<QList<QUrl>>(), files);
    }
    EXPECT_FALSE(QFileInfo::exists(path));
}

// A second launch of the application, a process of its own, hands over names holding any byte
// but NUL (a newline among them) each as one name.
TEST(SingleInstance, ASecondLaunchHandsOverNamesWithNewlinesWhole) {
    app();
    test::TempDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
    env.remove("WAYLAND_DISPLAY");
    env.insert("DISPLAY", ":handover");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    SingleInstance first(SingleInstance::defaultName(env));
    ASSERT_TRUE(first.listen());
    QSignalSpy received(&first, &SingleInstance::filesReceived);
    const QString folder = QString::fromStdString(dir.path().string());
    const QStringList names{folder + "/two\nlines.mp4", folder + "/\nedges\r\t\x01 \u00fc.mov\n", folder + "/plain.mov"};
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(QStringLiteral(QM_APP), names);
    const std::shared_ptr<void> end(nullptr, [&](void*) {
        second.kill();
        second.waitForFinished();
    });
    ASSERT_TRUE(test::waitUntil([&] { return second.state() == QProcess::NotRunning && !received.isEmpty(); }))
        << second.readAllStandardError().toStdString();
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_EQ(received.size(), 1);
    QStringList handed;
    for (const QUrl& url : received[0][0].value<QList<QUrl>>()) handed.append(url.toLocalFile());
    EXPECT_EQ(handed, names);
}

QProcessEnvironment session(const QString& runtime, std::initializer_list<std::pair<QString, QString>> vars) {
    QProcessEnvironment env;
    env.insert("USER", "alice");
    if (!runtime.isEmpty()) env.insert("XDG_RUNTIME_DIR", runtime);
    for (const auto& [key, value] : vars) env.insert(key, value);
    return env;
}

TEST(SingleInstance, EachGraphicalSessionHasItsOwnSocket) {
    test::TempDir dir;
    const QString runtime = QString::fromStdString(dir.path().string());
    struct Case {
        QProcessEnvironment a, b;
        bool same;
    };
    const Case cases[] = {
        {session(runtime, {{"DISPLAY", ":0"}}), session(runtime, {{"DISPLAY", ":1"}}), false},
        {session(runtime, {{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}),
         session(runtime, {{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":0"}}), false},
        {session(runtime, {{"XDG_SESSION_ID", "3"}}), session(runtime, {{"XDG_SESSION_ID", "4"}}), false},
        {session(runtime, {{"DISPLAY", ":0"}, {"XDG_SESSION_ID", "3"}}), session(runtime, {{"DISPLAY", ":0"}}), true},
    };
    for (const Case& c : cases) {
        const QString a = SingleInstance::defaultName(c.a);
        EXPECT_EQ(a == SingleInstance::defaultName(c.b), c.same) << a.toStdString();
        EXPECT_TRUE(a.startsWith(runtime + u'/')) << a.toStdString();
        EXPECT_TRUE(a.contains("alice")) << a.toStdString();
    }
    // Without a runtime folder the socket goes into a folder of the user's own in the temporary
    // folder; one that others may enter is refused, and so nothing listens.
    const auto noRuntime = session({}, {{"DISPLAY", ":0"}, {"TMPDIR", runtime}});
    const QString fallback = SingleInstance::defaultName(noRuntime);
    const QString own = QStringLiteral("%1/quillmere-%2").arg(runtime).arg(getuid());
    EXPECT_TRUE(fallback.startsWith(own + u'/') && fallback.contains("alice")) << fallback.toStdString();
    EXPECT_EQ(QFile::permissions(own), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
                                           QFile::WriteUser | QFile::ExeUser);
    ASSERT_EQ(::chmod(QFile::encodeName(own).constData(), 0777), 0);
    EXPECT_EQ(SingleInstance::defaultName(noRuntime), QString());
    EXPECT_FALSE(SingleInstance(QString()).listen());
}

// A first instance too busy to accept (its queue of connections full) keeps its name: a second
// launch that could not connect does not delete the socket and listen in its place.
TEST(SingleInstance, ABusyInstanceKeepsItsSocket) {
    app();
    test::TempDir dir;
    const QByteArray path = QFile::encodeName(QString::fromStdString((dir.path() / "socket").string()));
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), path.size() + 1);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 0), 0);
    std::vector<int> waiting;  // never accepted: fill the queue
    for (int i = 0; i < 4; ++i) {
        const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        waiting.push_back(client);
    }
    SingleInstance second(QFile::decodeName(path));
    EXPECT_FALSE(second.forwardToRunning({QUrl::fromLocalFile("/a.mov")}, 200));
    EXPECT_FALSE(second.listen());
    // Still the first one's socket: once it accepts, a new connection reaches it.
    for (const int waiter : waiting) {
        if (const int accepted = ::accept(server, nullptr, nullptr); accepted >= 0) ::close(accepted);
        ::close(waiter);
    }
    const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(client);
    ::close(server);
}

// Teardown after the window closed either ends in time (the watchdog leaves at once, doing
// nothing) or the process is ended with the app's status.
TEST(QuitWatchdog, EndsOnlyATeardownThatOutlastsItsBound) {
    std::atomic<int> ended{-1};
    {
        QuitWatchdog quick([&](int status) { ended = status; });
        quick.arm(std::chrono::hours(1), 3);
    }
    EXPECT_EQ(ended, -1);
    QuitWatchdog stuck([&](int status) { ended = status; });
    stuck.arm(std::chrono::milliseconds(10), 5);
    for (int i = 0; i < 1000 && ended < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ended, 5);
}

}  // namespace
}  // namespace qm
