#include "app/single_instance.h"

#include "support/qt_app.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

namespace qm {
namespace {

QCoreApplication& app() { return test::qtApp(); }

QString uniqueName() { return QStringLiteral("qm-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(rand()); }

void waitFor(QSignalSpy& spy) {
    QElapsedTimer clock;
    clock.start();
    while (spy.isEmpty() && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

TEST(SingleInstance, ASecondLaunchHandsItsFilesToTheFirst) {
    app();
    const QString name = uniqueName();
    SingleInstance first(name);
    EXPECT_FALSE(first.forwardToRunning({QUrl::fromLocalFile("/a.mov")}, 200)) << "nobody is running yet";
    ASSERT_TRUE(first.listen());
    QSignalSpy received(&first, &SingleInstance::filesReceived);

    SingleInstance second(name);
    const QList<QUrl> files{QUrl::fromLocalFile("/clips/a b.mov"), QUrl::fromLocalFile("/clips/ünï.mp4")};
    EXPECT_TRUE(second.forwardToRunning(files));
    waitFor(received);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][0].value<QList<QUrl>>(), files);
}

TEST(SingleInstance, ASocketLeftByACrashIsReplaced) {
    app();
    const QString name = uniqueName();
    const QString path = QDir::tempPath() + u'/' + name;
    {
        QFile stale(path);
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    SingleInstance instance(name);
    ASSERT_TRUE(instance.listen());
    QSignalSpy received(&instance, &SingleInstance::filesReceived);
    EXPECT_TRUE(SingleInstance(name).forwardToRunning({QUrl::fromLocalFile("/x.mov")}));
    waitFor(received);
    EXPECT_EQ(received.size(), 1);
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
    // Without a runtime folder the socket goes to the temporary folder, still named per user.
    const QString fallback = SingleInstance::defaultName(session({}, {{"DISPLAY", ":0"}}));
    EXPECT_TRUE(fallback.startsWith(QDir::tempPath() + u'/') && fallback.contains("alice")) << fallback.toStdString();
}

TEST(SingleInstance, InstancesInDifferentSessionsKeepTheirFiles) {
    app();
    test::TempDir dir;
    const QString runtime = QString::fromStdString(dir.path().string());
    const QString nameA = SingleInstance::defaultName(session(runtime, {{"DISPLAY", ":0"}}));
    const QString nameB = SingleInstance::defaultName(session(runtime, {{"DISPLAY", ":1"}}));
    auto first = std::make_unique<SingleInstance>(nameA);
    ASSERT_TRUE(first->listen());
    QSignalSpy receivedA(first.get(), &SingleInstance::filesReceived);

    SingleInstance second(nameB);
    EXPECT_FALSE(second.forwardToRunning({QUrl::fromLocalFile("/b.mov")}, 200)) << "nobody runs in session B";
    ASSERT_TRUE(second.listen());
    QSignalSpy receivedB(&second, &SingleInstance::filesReceived);

    EXPECT_TRUE(SingleInstance(nameB).forwardToRunning({QUrl::fromLocalFile("/b2.mov")}));
    waitFor(receivedB);
    ASSERT_EQ(receivedB.size(), 1);
    EXPECT_EQ(receivedB[0][0].value<QList<QUrl>>(), QList<QUrl>{QUrl::fromLocalFile("/b2.mov")});
    EXPECT_TRUE(SingleInstance(nameA).forwardToRunning({QUrl::fromLocalFile("/a.mov")}));
    waitFor(receivedA);
    EXPECT_EQ(receivedA.size(), 1);
    EXPECT_EQ(receivedB.size(), 1) << "session B got nothing of session A's";

    // Ending normally takes the socket away.
    EXPECT_TRUE(QFileInfo::exists(nameA));
    first.reset();
    EXPECT_FALSE(QFileInfo::exists(nameA));
}

}  // namespace
}  // namespace qm
