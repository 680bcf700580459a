#pragma once
// Running a test's event loop: until a condition holds, or until what is already posted has run.

#include <chrono>
#include <functional>
#include <thread>

#include <QCoreApplication>
#include <QEventLoop>

namespace qm::test {

// False when the condition still does not hold after a long safety limit (a hang, not a speed
// measurement).
inline bool waitUntil(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void drainEvents() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

}  // namespace qm::test
