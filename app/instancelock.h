#pragma once
// The single-instance lock: one copy of the program per machine, for all users. An
// exclusive flock on "cuedeck.lock" in the system temp folder, held for the life of the
// process; the kernel drops it at exit, also after a crash.

#include <QString>

class InstanceLock {
public:
    enum class State {
        Acquired,      // this process holds the lock
        HeldElsewhere, // another copy is running
        Unavailable,   // the lock file cannot be opened or locked (see error())
    };

    // Tries once, without waiting, to take the lock on `path`.
    explicit InstanceLock(const QString& path = defaultPath());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return m_state; }
    // Why the lock is unavailable.
    const QString& error() const { return m_error; }

    // QDir::tempPath() + "/cuedeck.lock".
    static QString defaultPath();

private:
    int m_fd = -1;
    State m_state = State::Unavailable;
    QString m_error;
};
