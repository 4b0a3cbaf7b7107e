#include "textfile.h"

#include "errors.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace textfile {
namespace {

// A short Japanese text for the errno values a user can act on; strerror's text otherwise.
QString reasonText(int err) {
    switch (err) {
    case ENOENT:
        return QStringLiteral("ファイルまたはフォルダがありません");
    case EACCES:
    case EPERM:
        return QStringLiteral("アクセスが拒否されました");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("ディスクの空き容量が足りません");
    case EROFS:
        return QStringLiteral("読み取り専用のファイルシステムです");
    case EISDIR:
        return QStringLiteral("フォルダです");
    case ENOTDIR:
        return QStringLiteral("パスの途中にフォルダではないものがあります");
    case ENAMETOOLONG:
        return QStringLiteral("パスが長すぎます");
    case EIO:
        return QStringLiteral("入出力エラー");
    default:
        return QString::fromLocal8Bit(std::strerror(err));
    }
}

QString fileKindText(mode_t mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("フォルダです");
    if (S_ISFIFO(mode))
        return QStringLiteral("名前付きパイプ (FIFO) です");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("デバイスです");
    if (S_ISSOCK(mode))
        return QStringLiteral("ソケットです");
    return QStringLiteral("通常のファイルではありません");
}

[[noreturn]] void throwRead(const QString& path, const QString& reason) {
    throw EInOutError(QStringLiteral("ファイル \"%1\" を読み込めません: %2").arg(path, reason));
}

[[noreturn]] void throwWrite(const QString& path, const QString& reason) {
    throw EInOutError(QStringLiteral("ファイル \"%1\" を保存できません: %2").arg(path, reason));
}

// Closes a descriptor when the scope ends.
struct FdGuard {
    int fd = -1;
    FdGuard() = default;
    FdGuard(FdGuard&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        if (fd >= 0)
            ::close(fd);
    }
};

QString decodeCp932(const QByteArray& bytes) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString::fromLatin1(bytes); // no converter: keep the bytes visible at least
    std::string out;
    out.resize(static_cast<size_t>(bytes.size()) * 3 + 16); // a CP932 char is at most 3 UTF-8
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = static_cast<size_t>(bytes.size());
    char* dst = out.data();
    size_t outLeft = out.size();
    static const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1))
            break;
        if (errno == EILSEQ || errno == EINVAL) {
            // An undefined or cut-off sequence: show one replacement character and go on.
            ++in;
            --inLeft;
            if (outLeft < 3)
                break;
            std::memcpy(dst, kReplacement, 3);
            dst += 3;
            outLeft -= 3;
        } else {
            break; // E2BIG cannot happen with the reserve above
        }
    }
    iconv_close(cd);
    return QString::fromUtf8(out.data(), static_cast<qsizetype>(dst - out.data()));
}

// Where a save goes: the folder it writes into, held open so that nothing swapped in later
// can redirect the save, and the file's name in it.
struct Place {
    FdGuard folder;
    QByteArray name;
};

// Whether users other than its owner may write to the folder `dir`: everyone, or a group.
bool othersMayWrite(int dir) {
    struct stat st {};
    return ::fstat(dir, &st) == 0 && (st.st_mode & (S_IWOTH | S_IWGRP)) != 0;
}

// Resolves `path` once, folder by folder, each opened relative to the one before without
// following a link by itself. Every link on the way, in the folder part as well as the file
// itself, is followed here, and only when it belongs to the user who saves, or to root, or
// lies in a folder that only its owner can write to: in a shared folder anybody else could
// point it at any file of the saver's, and the save would replace that file (the kernel
// applies the same rule to links in sticky folders such as /tmp). Throws for such a link,
// for a loop of links and for a folder that cannot be opened.
Place resolve(const QString& path) {
    Place place;
    QString here; // the folder as a text, for messages
    auto hold = [&](int fd) {
        if (fd < 0)
            throwWrite(path, reasonText(errno));
        if (place.folder.fd >= 0)
            ::close(place.folder.fd);
        place.folder.fd = fd;
    };
    QStringList todo = path.split(u'/');
    if (path.startsWith(u'/')) {
        todo.removeFirst();
        hold(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    } else {
        here = QStringLiteral(".");
        hold(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    for (int hops = 0; !todo.isEmpty();) {
        const QString part = todo.takeFirst();
        const bool last = todo.isEmpty();
        if (!last && (part.isEmpty() || part == u'.'))
            continue;
        if (last && (part.isEmpty() || part == u'.' || part == QStringLiteral("..")))
            throwWrite(path, reasonText(EISDIR));
        const QByteArray name = QFile::encodeName(part);
        struct stat st {};
        if (::fstatat(place.folder.fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (last && errno == ENOENT) {
                place.name = name; // a new file
                return place;
            }
            throwWrite(path, reasonText(errno));
        }
        const QString shown = here + u'/' + part;
        if (!S_ISLNK(st.st_mode)) {
            if (last) {
                place.name = name;
                return place;
            }
            hold(::openat(place.folder.fd, name.constData(),
                          O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            here = shown;
            continue;
        }
        if (++hops > 40)
            throwWrite(path, reasonText(ELOOP));
        if (st.st_uid != ::geteuid() && st.st_uid != 0 && othersMayWrite(place.folder.fd))
            throwWrite(path,
                       QStringLiteral("ほかのユーザーも書き込めるフォルダーにある、別のユーザー"
                                      "のシンボリックリンクはたどりません: ") +
                           shown);
        QByteArray target(PATH_MAX, '\0');
        const ssize_t n = ::readlinkat(place.folder.fd, name.constData(), target.data(),
                                       static_cast<size_t>(target.size()));
        if (n <= 0 || n >= target.size())
            throwWrite(path, reasonText(n < 0 ? errno : ENAMETOOLONG));
        const QString next = QFile::decodeName(target.left(n));
        todo = next.split(u'/') + todo;
        if (next.startsWith(u'/')) {
            todo.removeFirst();
            here.clear();
            hold(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
    }
    throwWrite(path, reasonText(ENOENT));
}

// A temporary file beside the one a save replaces, created in the held folder.
int createTemporary(int folder, const QByteArray& name, QByteArray& tmp) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = "." + name + "." +
              QByteArray::number(QRandomGenerator::global()->generate(), 36).rightJustified(7, 'x');
        const int fd = ::openat(folder, tmp.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// A name the file system can be asked about: not empty, and no NUL character, which would
// cut the name short and make it name another file.
bool isUsablePath(const QString& path) {
    return !path.isEmpty() && !path.contains(QChar(u'\0'));
}

} // namespace

QByteArray encodeLines(const QStringList& lines) {
    QByteArray out;
    for (const QString& line : lines) {
        out += line.toUtf8();
        out += "\r\n";
    }
    return out;
}

QStringList decodeLines(const QByteArray& bytes) {
    QString text;
    QByteArray body = bytes;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    text = utf8.decode(body);
    if (utf8.hasError())
        text = decodeCp932(bytes);

    QStringList lines;
    if (text.isEmpty())
        return lines;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype lf = text.indexOf(u'\n', start);
        qsizetype end = lf < 0 ? text.size() : lf;
        qsizetype len = end - start;
        // The CR of a CR LF pair (or a CR cut off at the end of the file) is not text.
        if (len > 0 && text.at(end - 1) == u'\r')
            --len;
        lines.append(text.mid(start, len));
        if (lf < 0)
            break;
        start = lf + 1;
    }
    return lines;
}

void writeLines(const QString& path, const QStringList& lines, Flush flush) {
    if (!isUsablePath(path))
        throwWrite(path, QStringLiteral("ファイル名が正しくありません"));
    // Writing through a link replaces the file it points at, not the link. The place is
    // resolved once; everything below acts on that folder and that name.
    const Place place = resolve(path);
    const int folder = place.folder.fd;
    struct stat old {};
    bool hadFile = false;
    if (::fstatat(folder, place.name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(old.st_mode))
            throwWrite(path, fileKindText(old.st_mode));
        hadFile = true;
    }

    QByteArray tmp;
    FdGuard fd;
    fd.fd = createTemporary(folder, place.name, tmp);
    if (fd.fd < 0)
        throwWrite(path, reasonText(errno));

    auto fail = [&](int err) {
        ::unlinkat(folder, tmp.constData(), 0);
        throwWrite(path, reasonText(err));
    };

    // The temporary file is created 0600; give the file the old file's mode, or the usual one for a
    // new file.
    mode_t mode;
    if (hadFile) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd.fd, mode) != 0)
        fail(errno);

    const QByteArray data = encodeLines(lines);
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd.fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        p += n;
        left -= n;
    }
    if (flush == Flush::ToDisk && ::fsync(fd.fd) != 0)
        fail(errno);
    const int closeResult = ::close(fd.fd);
    fd.fd = -1;
    if (closeResult != 0)
        fail(errno);
    if (::renameat(folder, tmp.constData(), folder, place.name.constData()) != 0)
        fail(errno);
    if (flush == Flush::ToDisk) {
        // The rename itself reaches the disk with the folder's entry.
        FdGuard entries;
        entries.fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (entries.fd >= 0)
            ::fsync(entries.fd);
    }
}

QStringList readLines(const QString& path, qint64 maxBytes) {
    if (!isUsablePath(path))
        throwRead(path, QStringLiteral("ファイル名が正しくありません"));
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    // Look before opening: a directory, FIFO or device is never opened at all.
    if (::stat(native.constData(), &st) != 0)
        throwRead(path,
                  errno == ENOENT ? QStringLiteral("ファイルがありません") : reasonText(errno));
    if (!S_ISREG(st.st_mode))
        throwRead(path, fileKindText(st.st_mode));

    // O_NONBLOCK: should the name have been swapped for a FIFO since, the open does not wait.
    FdGuard fd;
    fd.fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd.fd < 0)
        throwRead(path, reasonText(errno));
    if (::fstat(fd.fd, &st) != 0)
        throwRead(path, reasonText(errno));
    if (!S_ISREG(st.st_mode))
        throwRead(path, fileKindText(st.st_mode));
    const QString tooBig = QStringLiteral("ファイルが大きすぎます (上限 %1 バイト)").arg(maxBytes);
    if (st.st_size > maxBytes)
        throwRead(path, tooBig);

    QByteArray data;
    data.resize(static_cast<qsizetype>(st.st_size) + 1);
    qsizetype got = 0;
    for (;;) {
        if (got == data.size()) {
            if (got > maxBytes)
                throwRead(path, tooBig); // the file grew while being read
            data.resize(std::min<qsizetype>(data.size() * 2 + 4096, maxBytes + 1));
        }
        ssize_t n = ::read(fd.fd, data.data() + got, static_cast<size_t>(data.size() - got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwRead(path, reasonText(errno));
        }
        if (n == 0)
            break;
        got += n;
    }
    if (got > maxBytes)
        throwRead(path, tooBig);
    data.truncate(got);
    return decodeLines(data);
}

bool holdsLineBreak(QStringView value) {
    return value.contains(u'\n') || value.contains(u'\r');
}

void requireOneLine(const QString& path) {
    if (!holdsLineBreak(path))
        return;
    QString shown = path;
    shown.replace(u'\r', QStringLiteral("\\r"));
    shown.replace(u'\n', QStringLiteral("\\n"));
    throw ECueError(QStringLiteral("改行を含むファイル名は使えません: ") + shown);
}

bool isRegularFile(const QString& path) {
    struct stat st {};
    return isUsablePath(path) && ::stat(QFile::encodeName(path).constData(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

} // namespace textfile
