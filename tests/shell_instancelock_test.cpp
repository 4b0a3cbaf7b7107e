#include "instancelock.h"
#include "shell_testenv.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <sys/stat.h>
#include <unistd.h>

using State = InstanceLock::State;

TEST(InstanceLock, OneHolderAtATimeAndReleasedWithItsOwner) {
    IsolatedEnvironment env;
    EXPECT_EQ(InstanceLock::defaultPath(), env.tempFolder() + "/cuedeck.lock");
    const mode_t oldMask = umask(077);
    {
        InstanceLock first;
        EXPECT_EQ(first.state(), State::Acquired) << first.error().toStdString();
        // Created for every user of the machine, whatever the umask.
        struct stat st {};
        ASSERT_EQ(stat(QFile::encodeName(InstanceLock::defaultPath()).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666u);

        InstanceLock second;
        EXPECT_EQ(second.state(), State::HeldElsewhere);
        // A copy started in another process sees the same.
        const pid_t child = fork();
        if (child == 0) {
            InstanceLock other;
            _exit(other.state() == State::HeldElsewhere ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    umask(oldMask);
    // The holder is gone: the existing file is opened and locked again.
    InstanceLock third;
    EXPECT_EQ(third.state(), State::Acquired);
}

TEST(InstanceLock, ExistingReadOnlyFileStillLocks) {
    IsolatedEnvironment env;
    writeFile(InstanceLock::defaultPath(), "");
    QFile::setPermissions(InstanceLock::defaultPath(), QFile::ReadOwner | QFile::ReadOther);
    InstanceLock lock;
    EXPECT_EQ(lock.state(), State::Acquired) << lock.error().toStdString();
}

TEST(InstanceLock, PlantedNonFilesAreRefusedWithoutBlocking) {
    IsolatedEnvironment env;
    const QByteArray path = QFile::encodeName(InstanceLock::defaultPath());
    QElapsedTimer timer;
    timer.start();

    ASSERT_EQ(mkfifo(path.constData(), 0666), 0);
    {
        InstanceLock lock;
        EXPECT_EQ(lock.state(), State::Unavailable);
        EXPECT_FALSE(lock.error().isEmpty());
    }
    unlink(path.constData());

    ASSERT_EQ(mkdir(path.constData(), 0777), 0);
    EXPECT_EQ(InstanceLock().state(), State::Unavailable);
    rmdir(path.constData());

    // A symbolic link planted by someone else is not followed.
    writeFile(env.root() + "/victim", "precious");
    ASSERT_EQ(symlink(QFile::encodeName(env.root() + "/victim").constData(), path.constData()), 0);
    EXPECT_EQ(InstanceLock().state(), State::Unavailable);
    EXPECT_EQ(readFile(env.root() + "/victim"), "precious");
    unlink(path.constData());

    // A temp folder that does not exist.
    EXPECT_EQ(InstanceLock(env.root() + "/nowhere/cuedeck.lock").state(), State::Unavailable);
    EXPECT_LT(timer.elapsed(), 2000);
}
