#include "panelaccess.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>

namespace remote {

PanelAccess::PanelAccess(std::function<qint64()> now) : m_now(std::move(now)) {
    if (!m_now) {
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        m_now = [clock] { return clock->elapsed(); };
    }
}

QString PanelAccess::randomPin() {
    QString pin;
    for (int i = 0; i < kMinPinDigits; ++i)
        pin += QChar(u'0' + QRandomGenerator::system()->bounded(10));
    return pin;
}

bool PanelAccess::validPin(const QString& pin) {
    return pin.size() >= kMinPinDigits && pin.size() <= 32 &&
           std::all_of(pin.begin(), pin.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

bool PanelAccess::equalInConstantTime(const QByteArray& a, const QByteArray& b) {
    // Every byte of the longer one is looked at, whatever differs first.
    const qsizetype n = std::max(a.size(), b.size());
    unsigned diff = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        diff |= x ^ y;
    }
    return diff == 0;
}

void PanelAccess::setPin(const QString& pin) {
    m_pin = pin;
    endSessions();
}

QString PanelAccess::key(const QHostAddress& address) {
    // An IPv4 peer of a dual-stack socket counts as its IPv4 address.
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    if (ok)
        return QHostAddress(v4).toString();
    // One IPv6 machine may take any address of its /64: the network counts as one address.
    Q_IPV6ADDR v6 = address.toIPv6Address();
    std::fill(std::begin(v6.c) + 8, std::end(v6.c), quint8(0));
    return QHostAddress(v6).toString();
}

PanelAccess::Attempt PanelAccess::tryPin(const QHostAddress& from, const QString& pin) {
    const qint64 now = m_now();
    const QString who = key(from);
    Failures& f = m_failures[who];
    Attempt attempt;
    if (f.lockedUntil > now) {
        attempt.result = Result::LockedOut;
        attempt.lockedForMs = f.lockedUntil - now;
        return attempt;
    }
    if (f.lockedUntil != 0) // the lockout is over: a fresh count
        f = Failures{};
    if (validPin(m_pin) && equalInConstantTime(pin.toUtf8(), m_pin.toUtf8())) {
        m_failures.remove(who);
        QByteArray raw(32, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()),
                                              raw.size() / 4);
        attempt.result = Result::Accepted;
        attempt.token = raw.toHex();
        if (m_sessions.size() >= kMaxSessions) {
            auto oldest = std::min_element(m_sessions.begin(), m_sessions.end());
            m_sessions.erase(oldest);
        }
        m_sessions.insert(attempt.token, now);
        return attempt;
    }
    f.last = now;
    if (++f.count >= kMaxFailures) {
        f.lockedUntil = now + kLockoutMs; // this try is wrong; the next ones are refused
        attempt.lockedForMs = kLockoutMs;
    } else {
        attempt.triesLeft = kMaxFailures - f.count;
    }
    // A flood from many addresses must not grow memory without end: forget the quietest.
    if (m_failures.size() > kMaxAddresses) {
        auto quietest = m_failures.end();
        for (auto it = m_failures.begin(); it != m_failures.end(); ++it)
            if (it.key() != who && it->lockedUntil <= now &&
                (quietest == m_failures.end() || it->last < quietest->last))
                quietest = it;
        if (quietest != m_failures.end())
            m_failures.erase(quietest);
    }
    return attempt;
}

bool PanelAccess::validSession(const QByteArray& token) const {
    if (token.size() != 64)
        return false;
    bool found = false;
    for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it)
        found |= equalInConstantTime(it.key(), token);
    return found;
}

void PanelAccess::endSessions() {
    m_sessions.clear();
}

} // namespace remote
