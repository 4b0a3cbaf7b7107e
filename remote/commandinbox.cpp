#include "commandinbox.h"

#include "spscqueue.h"

#include <atomic>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace remote {

struct CommandInbox::Lane {
    explicit Lane(std::size_t capacity) : queue(capacity) {}
    moodycamel::ReaderWriterQueue<RemoteCommand> queue;
};

CommandInbox::CommandInbox(int lanes, std::size_t capacity) {
    for (int i = 0; i < lanes; ++i)
        m_lanes.push_back(std::make_unique<Lane>(capacity));
    m_eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_eventFd < 0)
        throw std::runtime_error("eventfd");
}

CommandInbox::~CommandInbox() {
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

int CommandInbox::lanes() const {
    return static_cast<int>(m_lanes.size());
}

bool CommandInbox::push(int lane, const RemoteCommand& command) noexcept {
    if (lane < 0 || lane >= lanes())
        return false;
    if (!m_lanes[static_cast<std::size_t>(lane)]->queue.try_enqueue(command)) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    wake();
    return true;
}

void CommandInbox::wake() noexcept {
    // The command is in its lane before the flag is read. With the consumer's fence after it
    // clears the flag, either the consumer sees the command or this sees the cleared flag.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (m_wakePending.exchange(true, std::memory_order_seq_cst))
        return;
    const std::uint64_t one = 1;
    // Non-blocking: the counter cannot overflow with one write per pending wake-up.
    [[maybe_unused]] const ssize_t n = ::write(m_eventFd, &one, sizeof one);
}

std::size_t CommandInbox::drain(std::size_t budget,
                                const std::function<void(const RemoteCommand&)>& handle) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_eventFd, &count, sizeof count);
    // Cleared before taking anything: a command pushed from here on wakes the loop again. The
    // fence keeps the lanes from being read before the flag is cleared (a store followed by
    // loads may otherwise be reordered), which could leave a command without its wake-up.
    m_wakePending.store(false, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);

    std::size_t handled = 0;
    std::size_t emptyInARow = 0;
    if (m_lanes.empty())
        return 0;
    RemoteCommand command;
    while (handled < budget && emptyInARow < m_lanes.size()) {
        Lane& lane = *m_lanes[m_nextLane];
        m_nextLane = (m_nextLane + 1) % m_lanes.size();
        if (!lane.queue.try_dequeue(command)) {
            ++emptyInARow;
            continue;
        }
        emptyInARow = 0;
        ++handled;
        handle(command);
    }
    for (const auto& lane : m_lanes) {
        if (lane->queue.peek()) {
            wake();
            break;
        }
    }
    return handled;
}

} // namespace remote
