#pragma once
// The tests' one wait: looks at a condition until it holds or the time is up, and says which.
// In a thread with a Qt application, events are handled between two looks (queued calls,
// timers and deferred deletes go on, as in the program); elsewhere the thread just sleeps.

#include <chrono>
#include <functional>
#include <thread>

#ifdef QT_CORE_LIB
#include <QCoreApplication>
#include <QEvent>
#endif

namespace testsupport {

inline bool waitFor(const std::function<bool()>& condition, int ms = 10000, int stepMs = 2) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
#ifdef QT_CORE_LIB
        if (QCoreApplication::instance()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
#endif
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
}

} // namespace testsupport
