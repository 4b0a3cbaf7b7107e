#pragma once
// Prepares the heads of opened clips on a small pool of threads, in parallel, so that opening a
// set list's clips never waits for decoding. A clip that nobody holds any more by the time its
// turn comes is skipped.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace media {

class Clip;

class HeadPreparer {
public:
    explicit HeadPreparer(int threads);
    ~HeadPreparer(); // lets the running preparations finish; the waiting ones are dropped
    HeadPreparer(const HeadPreparer&) = delete;
    HeadPreparer& operator=(const HeadPreparer&) = delete;

    void submit(const std::shared_ptr<Clip>& clip);
    // Runs `task` on the pool in its turn (it must not throw).
    void submitTask(std::function<void()> task);
    // Takes `clip` out of the queue when no thread has begun it: the caller prepares it
    // itself. Returns false when it is not waiting (done, or under way).
    bool claim(const Clip* clip);
    // Waits until every submitted clip is prepared (or skipped).
    bool waitIdle(std::chrono::milliseconds timeout);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    struct Job {
        std::weak_ptr<Clip> clip;
        std::function<void()> task;
    };
    std::deque<Job> m_queue;
    int m_busy = 0;
    bool m_quit = false;
    std::vector<std::thread> m_threads;
};

} // namespace media
