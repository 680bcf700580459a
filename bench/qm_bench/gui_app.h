#pragma once
// The one QGuiApplication (QApplication for widgets) of a qm-bench command that draws or lays out
// text: offscreen unless the caller chose a platform, so no display is needed.

#include <QGuiApplication>

namespace qm::bench {

template <class App = QGuiApplication>
inline void ensureGuiApplication() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "qm-bench";
    static char* argv[] = {name, nullptr};
    static App* app = new App(argc, argv);
    (void)app;
}

}  // namespace qm::bench
