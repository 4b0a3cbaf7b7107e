#include "preparer.h"

#include "clip.h"

#include <algorithm>
#include <sys/resource.h>
#include <unistd.h>

namespace media {

namespace {
constexpr int kNiceness = 4;
} // namespace

HeadPreparer::HeadPreparer(int threads) {
    for (int i = 0; i < std::max(1, threads); ++i)
        m_threads.emplace_back([this] { run(); });
}

HeadPreparer::~HeadPreparer() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

void HeadPreparer::submit(const std::shared_ptr<Clip>& clip) {
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(Job{clip, {}});
    }
    m_wake.notify_one();
}

void HeadPreparer::submitTask(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(Job{{}, std::move(task)});
    }
    m_wake.notify_one();
}

bool HeadPreparer::claim(const Clip* clip) {
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_queue.begin(), m_queue.end(),
                           [clip](const Job& job) { return job.clip.lock().get() == clip; });
    if (it == m_queue.end())
        return false;
    m_queue.erase(it);
    return true;
}

bool HeadPreparer::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] { return m_queue.empty() && m_busy == 0; });
}

void HeadPreparer::run() {
    // Background work: the window's thread and the audio worker go first when the cores are
    // busy. A little nicer than them, not so much that a head takes long.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNiceness);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_quit)
            return;
        std::shared_ptr<Clip> clip = m_queue.front().clip.lock();
        std::function<void()> task = std::move(m_queue.front().task);
        m_queue.pop_front();
        ++m_busy;
        lock.unlock();
        if (task) {
            task();
            task = nullptr; // what it holds goes outside the lock
        } else if (clip) {
            clip->prepareHead();
            clip.reset(); // the last owner may be this thread: let go outside the lock
        }
        lock.lock();
        --m_busy;
        if (m_queue.empty() && m_busy == 0)
            m_idle.notify_all();
    }
}

} // namespace media
