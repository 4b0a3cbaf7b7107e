#include "oscpush.h"

#include <algorithm>
#include <cstring>

namespace remote {

in_addr_t senderAddress(const ReplyAddress& sender) {
    if (sender.address.ss_family != AF_INET)
        return 0;
    sockaddr_in in{};
    std::memcpy(&in, &sender.address, sizeof in);
    return in.sin_addr.s_addr;
}

bool sameSender(const ReplyAddress& a, const ReplyAddress& b) {
    if (a.address.ss_family != AF_INET || b.address.ss_family != AF_INET)
        return false;
    sockaddr_in x{}, y{};
    std::memcpy(&x, &a.address, sizeof x);
    std::memcpy(&y, &b.address, sizeof y);
    return x.sin_addr.s_addr == y.sin_addr.s_addr && x.sin_port == y.sin_port;
}

bool OscSubscribers::subscribe(const ReplyAddress& sender, const ReplyAddress& target,
                               OscClock::time_point now) {
    active(now);
    for (std::size_t i = 0; i < m_senders.size(); ++i)
        if (sameSender(m_senders[i], target)) {
            m_origins[i] = sender;
            m_until[i] = now + kLease;
            return true;
        }
    if (m_senders.size() >= kMax || target.address.ss_family != AF_INET)
        return false;
    m_senders.push_back(target);
    m_origins.push_back(sender);
    m_until.push_back(now + kLease);
    return true;
}

void OscSubscribers::unsubscribe(const ReplyAddress& sender) {
    for (std::size_t i = m_senders.size(); i-- > 0;)
        if (sameSender(m_origins[i], sender) || sameSender(m_senders[i], sender))
            forget(i);
}

const std::vector<ReplyAddress>& OscSubscribers::active(OscClock::time_point now) {
    for (std::size_t i = m_senders.size(); i-- > 0;)
        if (now >= m_until[i])
            forget(i);
    return m_senders;
}

void OscSubscribers::forget(std::size_t i) {
    const auto at = static_cast<std::ptrdiff_t>(i);
    m_senders.erase(m_senders.begin() + at);
    m_origins.erase(m_origins.begin() + at);
    m_until.erase(m_until.begin() + at);
}

bool OscReplyBudget::take(in_addr_t address, OscClock::time_point now) {
    auto it = std::find_if(m_buckets.begin(), m_buckets.end(),
                           [&](const Bucket& b) { return b.address == address; });
    if (it == m_buckets.end()) {
        if (m_buckets.size() >= kSenders) {
            // The sender heard from longest ago makes room; its budget was full again by now
            // or it is the least active one.
            m_buckets.erase(std::min_element(
                m_buckets.begin(), m_buckets.end(),
                [](const Bucket& a, const Bucket& b) { return a.refill < b.refill; }));
        }
        m_buckets.push_back({address, double(kPerSecond), now});
        it = m_buckets.end() - 1;
    }
    const double seconds = std::chrono::duration<double>(now - it->refill).count();
    it->refill = now;
    it->tokens = std::min<double>(kPerSecond, it->tokens + seconds * kPerSecond);
    if (it->tokens < 1)
        return false;
    it->tokens -= 1;
    return true;
}

} // namespace remote
