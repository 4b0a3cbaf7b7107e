#include "instancelock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// O_NONBLOCK keeps a FIFO planted at the path from blocking the open; O_NOFOLLOW refuses a
// planted symbolic link; O_CLOEXEC keeps programs started later from inheriting the lock.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

QString errnoText(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

QString InstanceLock::defaultPath() {
    return QDir::tempPath() + QStringLiteral("/cuedeck.lock");
}

InstanceLock::InstanceLock(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // Open the existing file first: Linux refuses O_CREAT on another user's file in a sticky
    // folder such as /tmp. Create it only when it is missing, readable by every user so that
    // the lock works across accounts. Two starts racing to create it: one wins, the other
    // opens the winner's file.
    for (int attempt = 0; attempt < 2 && m_fd < 0; ++attempt) {
        m_fd = ::open(name.constData(), kOpenFlags);
        if (m_fd >= 0 || errno != ENOENT)
            break;
        m_fd = ::open(name.constData(), kOpenFlags | O_CREAT | O_EXCL, 0666);
        if (m_fd >= 0)
            ::fchmod(m_fd, 0666); // the umask must not keep other users out
        else if (errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        m_error = errnoText("open");
        return;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_error = QStringLiteral("%1 is not a regular file").arg(path);
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    int rc;
    do {
        rc = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        m_state = State::Acquired;
        return;
    }
    if (errno == EWOULDBLOCK) {
        m_state = State::HeldElsewhere;
    } else {
        m_error = errnoText("flock");
    }
    ::close(m_fd);
    m_fd = -1;
}

InstanceLock::~InstanceLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}
