#pragma once
// Who may use the phone panel: the PIN, the lockout of an address that guesses, and the
// sessions of the browsers that gave the right PIN.
//
// - The PIN is compared in constant time: how long a wrong guess takes tells nothing about
//   how many of its digits were right.
//   After kMaxFailures wrong PINs from one address, that address is locked out for
//   kLockoutMs: every try is refused unseen, the right PIN included. Other addresses go on
//   (an IPv6 /64, which one machine may fill with addresses, counts as one).
// - A right PIN opens a session: a random token of 32 bytes that the browser keeps in a
//   cookie. At most kMaxSessions are kept (the oldest goes first); a new PIN ends them all.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>

#include <functional>

namespace remote {

class PanelAccess {
public:
    static constexpr int kMinPinDigits = 6;
    static constexpr int kMaxFailures = 5;
    static constexpr qint64 kLockoutMs = 60'000;
    static constexpr int kMaxSessions = 32;
    static constexpr int kMaxAddresses = 1024; // addresses with failures remembered

    // `now`: a monotonic clock in milliseconds (tests pass their own).
    explicit PanelAccess(std::function<qint64()> now = {});

    // A new random PIN of kMinPinDigits digits.
    static QString randomPin();
    // At least kMinPinDigits digits and nothing else.
    static bool validPin(const QString& pin);
    static bool equalInConstantTime(const QByteArray& a, const QByteArray& b);

    // Sets the PIN; every session ends.
    void setPin(const QString& pin);
    const QString& pin() const { return m_pin; }

    enum class Result { Accepted, Wrong, LockedOut };
    struct Attempt {
        Result result = Result::Wrong;
        QByteArray token;       // the new session's token when accepted
        int triesLeft = 0;      // before the lockout, when wrong
        qint64 lockedForMs = 0; // when locked out, or locked by this wrong try
    };
    Attempt tryPin(const QHostAddress& from, const QString& pin);

    bool validSession(const QByteArray& token) const;
    void endSessions();

private:
    struct Failures {
        int count = 0;
        qint64 lockedUntil = 0;
        qint64 last = 0;
    };
    static QString key(const QHostAddress& address);

    std::function<qint64()> m_now;
    QString m_pin;
    QHash<QString, Failures> m_failures;
    QHash<QByteArray, qint64> m_sessions; // token -> when opened
};

} // namespace remote
