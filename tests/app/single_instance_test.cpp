#include "app/single_instance.h"

#include "support/qt_app.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qm
