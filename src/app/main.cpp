// Quillmere: the entry point. One window per user session; a second launch hands its files to the
// running one.

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <chrono>
#include <csignal>

#include "app/app_shell.h"
#include "app/main_window.h"
#include "app/mode_setting.h"
#include "app/quit_watchdog.h"
#include "app/single_instance.h"
#include "core/stop_signals.h"
#include "convert/conversion_queue.h"
#include "credits/credits_model.h"
#include "editor/editor_model.h"
#include "platform/desktop/icons.h"
#include "platform/desktop/qt_desktop_services.h"
#include "platform/system/desktop_services.h"

namespace {

QList<QUrl> filesFromArguments(const QStringList& arguments) {
    QList<QUrl> files;
    for (const QString& argument : arguments) {
        const QUrl url(argument);
        files.append(url.isLocalFile() ? url : QUrl::fromLocalFile(QFileInfo(argument).absoluteFilePath()));
    }
    return files;
}

int runApplication(int argc, char** argv, qm::StopSignals& stopSignals) {
    qm::QuitWatchdog watchdog;  // outlives the models and pools, whose teardown waits for their workers
    QApplication app(argc, argv);
    // SIGTERM or SIGINT (a session ending, Ctrl+C in a terminal) leaves the event loop without
    // asking anything; the models' teardown below then cancels their runs, which remove their
    // hidden files.
    const auto quitOnSignal = stopSignals.listen(
        [&app] { QMetaObject::invokeMethod(&app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection); });
    QApplication::setOrganizationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quillmere"));
    QApplication::setDesktopFileName(QStringLiteral("quillmere"));
    QApplication::setQuitOnLastWindowClosed(true);
    // Every setting of the application, the mode included, in one $XDG_CONFIG_HOME/Quillmere/Quillmere.ini.
    QSettings::setDefaultFormat(QSettings::IniFormat);

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("files"), QApplication::translate("main", "Files to open."),
                                 QStringLiteral("[files…]"));
    parser.process(app);
    const QList<QUrl> opened = filesFromArguments(parser.positionalArguments());

    qm::SingleInstance instance(qm::SingleInstance::defaultName());
    if (instance.forwardToRunning(opened)) return 0;
    // A running window too busy to take the files at once still holds the name: wait for it.
    if (!instance.listen() && instance.forwardToRunning(opened, 30000)) return 0;

    qm::installIconTheme();
    qm::QtDesktopServices desktop;
    qm::setDesktopServices(&desktop);

    qm::ModeSetting mode;
    qm::ConversionQueue queue;
    qm::CreditsModel credits;
    qm::EditorModel editor;
    qm::AppShell shell(mode, queue, credits, editor);
    // Files given at launch wait until the window and its models exist.
    shell.open(opened);
    desktop.setWindow(&shell.window());
    shell.show();
    shell.takeHandOvers(instance);

    const int status = QApplication::exec();
    // The window is gone: the next launch starts its own, and a worker stuck in a read that never
    // returns does not keep this process alive unseen.
    instance.close();
    watchdog.arm(std::chrono::seconds(20), status);
    qm::setDesktopServices(nullptr);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // A write past the file-size limit then fails with EFBIG, which every writer reports as "File too
    // large", instead of ending the window and its queue.
    std::signal(SIGXFSZ, SIG_IGN);
    qm::StopSignals stopSignals;
    const int status = runApplication(argc, argv, stopSignals);
    // Everything is torn down: a signal that ended the window ends the process with its status.
    stopSignals.endIfReceived();
    return status;
}
