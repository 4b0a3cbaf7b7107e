#pragma once
// A watch on the machine's own stalls, for the tests and the bench that listen to a real sound
// server.

#include <atomic>
#include <chrono>
#include <thread>

#include <pthread.h>
#include <sched.h>

namespace e2e {

// The machine's own stalls: a thread at real-time priority (where the system grants it) that
// asks to wake every 0.5 ms and counts the times it woke 10 ms or more late. On a virtual
// machine whose processors the host does not always run, every thread stops at such times, the
// sound server's and the program's alike, for up to some 60 ms here: longer than any queue
// kept for a prompt key press outlasts.
class StallWatch {
public:
    StallWatch() : m_thread([this] { run(); }) {}
    ~StallWatch() {
        m_quit.store(true);
        m_thread.join();
    }
    int count() const { return m_count.load(); }

private:
    void run() {
        sched_param param{};
        param.sched_priority = 80;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        auto last = std::chrono::steady_clock::now();
        while (!m_quit.load()) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            const auto now = std::chrono::steady_clock::now();
            if (now - last >= std::chrono::milliseconds(10))
                m_count.fetch_add(1);
            last = now;
        }
    }

    std::atomic<bool> m_quit{false};
    std::atomic<int> m_count{0};
    std::thread m_thread;
};

} // namespace e2e
