#pragma once
// What the OSC side keeps about the panels that talk to it: their subscriptions (leases that
// run out unless renewed) and a budget of replies for each sender, so that a flood from one
// address cannot starve another panel of its answers. Plain C++; the caller gives the time.

#include "remotecommand.h"

#include <chrono>
#include <cstddef>
#include <vector>

namespace remote {

using OscClock = std::chrono::steady_clock;

// Whether two reply addresses name the same sender (IPv4 address and port).
bool sameSender(const ReplyAddress& a, const ReplyAddress& b);
// The sender's IPv4 address in network byte order (0 for anything else).
in_addr_t senderAddress(const ReplyAddress& sender);

class OscSubscribers {
public:
    static constexpr std::chrono::seconds kLease{60};
    static constexpr std::size_t kMax = 8;

    // Pushes to `target` until now + kLease for `sender` (the same, or another port of its
    // host), or renews that lease. False when kMax others hold a lease already.
    bool subscribe(const ReplyAddress& sender, const ReplyAddress& target,
                   OscClock::time_point now);
    // Ends the leases that `sender` took.
    void unsubscribe(const ReplyAddress& sender);
    // The senders whose lease runs at `now`; those that ran out are forgotten.
    const std::vector<ReplyAddress>& active(OscClock::time_point now);

private:
    void forget(std::size_t index);
    std::vector<ReplyAddress> m_senders; // where the pushes go
    std::vector<ReplyAddress> m_origins; // who asked for them
    std::vector<OscClock::time_point> m_until;
};

class OscReplyBudget {
public:
    static constexpr int kPerSecond = 20;
    static constexpr std::size_t kSenders = 64;

    // Takes one reply from the budget of the sender's address; false when it is spent.
    bool take(in_addr_t address, OscClock::time_point now);

private:
    struct Bucket {
        in_addr_t address;
        double tokens;
        OscClock::time_point refill;
    };
    std::vector<Bucket> m_buckets;
};

} // namespace remote
