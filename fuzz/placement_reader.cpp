// The window placement file as the main window reads it at creation: the bytes are written to
// a placement file in a folder of its own, read back by the reader and handed to the choice of
// the placement to apply on two screens side by side.

#include "fuzz_check.h"
#include "placement.h"
#include "textfile.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QRect>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString g_base; // a data folder with "conf" in it
QString g_file; // its placement file for the title "fuzz"
QByteArray g_native;

void removeFolder() {
    QDir(g_base).removeRecursively();
}

void writeInput(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(g_native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QByteArray folder = QFile::encodeName(QDir::tempPath() + "/placement_reader.XXXXXX");
    FUZZ_CHECK(::mkdtemp(folder.data()) != nullptr);
    g_base = QFile::decodeName(folder);
    FUZZ_CHECK(QDir(g_base).mkdir("conf"));
    g_file = placementFilePath(g_base, QStringLiteral("fuzz"));
    g_native = QFile::encodeName(g_file);
    std::atexit(removeFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(textfile::kMaxBytes) + 1)
        return -1; // just over the limit is enough to reach the refusal
    writeInput(data, size);
    const WindowPlacement stored = LoadWindowPlacement(g_base, QStringLiteral("fuzz"));
    if (size > static_cast<std::size_t>(textfile::kMaxBytes))
        FUZZ_CHECK(stored.Left == 0 && stored.Top == 0 && stored.Width == 0 && stored.Height == 0);

    const QList<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, 0, 2560, 1440)};
    const WindowPlacement applied = placementToApply(stored, screens);
    const bool isDefault =
        applied.Left == kDefaultPlacement.Left && applied.Top == kDefaultPlacement.Top &&
        applied.Width == kDefaultPlacement.Width && applied.Height == kDefaultPlacement.Height;
    if (!isDefault) {
        // Whatever the file says, the window is placed at a usable size, partly on a screen.
        FUZZ_CHECK(applied.Width >= 1 && applied.Height >= 1);
        FUZZ_CHECK(applied.Height == stored.Height);
        bool onScreen = false;
        for (const QRect& s : screens) {
            const qint64 left = std::max<qint64>(applied.Left, s.left());
            const qint64 right = std::min<qint64>(qint64(applied.Left) + applied.Width,
                                                  qint64(s.left()) + s.width());
            const qint64 top = std::max<qint64>(applied.Top, s.top());
            const qint64 bottom = std::min<qint64>(qint64(applied.Top) + applied.Height,
                                                   qint64(s.top()) + s.height());
            onScreen = onScreen || (right > left && bottom > top);
        }
        FUZZ_CHECK(onScreen);
    }
    return 0;
}
