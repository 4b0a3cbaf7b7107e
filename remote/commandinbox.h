#pragma once
// Where remote commands wait for the UI thread. Each receiving thread (the ALSA and JACK MIDI
// callbacks, the OSC listener) has a lane of its own: a lock-free single-producer queue of fixed
// capacity, allocated up front, so that a JACK process callback can hand a command over without
// locking or allocating. A command that finds its lane full is dropped and counted: a flood
// can neither grow memory nor hold up the sender.
//
// The UI thread learns that work is waiting through an eventfd, which a Qt socket notifier
// watches: the producer writes it only when no wake-up is pending, so a flood costs one
// system call per turn of the UI's event loop, not one per message. The UI thread takes at
// most a budget of commands per turn and wakes itself again for the rest, so that painting
// and keys keep their turn.

#include "remotecommand.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace remote {

class CommandInbox {
public:
    static constexpr std::size_t kLaneCapacity = 256;

    explicit CommandInbox(int lanes, std::size_t capacity = kLaneCapacity);
    ~CommandInbox();
    CommandInbox(const CommandInbox&) = delete;
    CommandInbox& operator=(const CommandInbox&) = delete;

    // Producer side, one thread per lane at a time. Never blocks, locks or allocates. False
    // when the lane was full and the command was dropped.
    bool push(int lane, const RemoteCommand& command) noexcept;

    // Consumer side (the UI thread). The descriptor becomes readable when commands wait.
    int wakeDescriptor() const { return m_eventFd; }
    // Clears the wake-up, then hands at most `budget` waiting commands to `handle`, taking the
    // lanes in turn so that no sender starves another. When commands remain, the descriptor is
    // made readable again. Returns the number handled.
    std::size_t drain(std::size_t budget, const std::function<void(const RemoteCommand&)>& handle);

    // Commands dropped because their lane was full, since the start.
    std::size_t dropped() const { return m_dropped.load(std::memory_order_relaxed); }
    int lanes() const;

private:
    void wake() noexcept;

    struct Lane;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    int m_eventFd = -1;
    std::atomic<bool> m_wakePending{false};
    std::atomic<std::size_t> m_dropped{0};
    std::size_t m_nextLane = 0;
};

} // namespace remote
