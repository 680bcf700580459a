#pragma once
// The one Qt application object of a test process. It is created on first use and deliberately
// never destroyed: destroying it from a static destructor at exit races Qt's own teardown.

#include <QCoreApplication>

namespace qm::test {

template <typename App = QCoreApplication>
App& qtApp() {
    static int argc = 1;
    static char name[] = "quillmere-test";
    static char* argv[] = {name, nullptr};
    // A test that made a widget application first keeps it for every later caller.
    static App* app = QCoreApplication::instance() != nullptr ? static_cast<App*>(QCoreApplication::instance())
                                                              : new App(argc, argv);
    return *app;
}

}  // namespace qm::test
