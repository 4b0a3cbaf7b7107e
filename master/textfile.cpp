#include "textfile.h"

#include "errors.h"

#include <QFileInfo>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iconv.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

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

// The folder part of `path` as written, without resolving links or "..".
QString folderOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

// Whether users other than its owner may write to `folder`: everyone, or a group.
bool othersMayWrite(const QString& folder) {
    struct stat st {};
    return ::stat(QFile::encodeName(folder).constData(), &st) == 0 &&
           (st.st_mode & (S_IWOTH | S_IWGRP)) != 0;
}

// Walks the links that `path` leads through before a save replaces the file at their end.
// In a folder that other users can write to (such as the machine's shared data folder), a
// link is followed only when it belongs to the user who saves, or to root: anybody else could
// point it at any file of the saver's, and the save would replace that file. The kernel
// applies the same rule to links in sticky folders such as /tmp. Throws for such a link and
// for a loop of links.
void checkLinksToFollow(const QString& path) {
    QString current = path;
    for (int hops = 0;; ++hops) {
        const QByteArray native = QFile::encodeName(current);
        struct stat link {};
        if (::lstat(native.constData(), &link) != 0 || !S_ISLNK(link.st_mode))
            return;
        if (hops == 40)
            throwWrite(path, reasonText(ELOOP));
        const QString folder = folderOf(current);
        if (link.st_uid != ::geteuid() && link.st_uid != 0 && othersMayWrite(folder))
            throwWrite(path,
                       QStringLiteral("ほかのユーザーも書き込めるフォルダーにある、別のユーザー"
                                      "のシンボリックリンクはたどりません: ") +
                           current);
        std::error_code error;
        const std::filesystem::path target =
            std::filesystem::read_symlink(native.toStdString(), error);
        if (error)
            return; // gone meanwhile: the save below finds what is there now
        const QString next = QFile::decodeName(QByteArray::fromStdString(target.native()));
        current = next.startsWith(u'/') ? next : folder + u'/' + next;
    }
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
    // Writing through a link replaces the file it points at, not the link.
    checkLinksToFollow(path);
    QString target = path;
    QFileInfo info(path);
    if (info.isSymLink() && info.exists())
        target = info.canonicalFilePath();

    const QByteArray nativeTarget = QFile::encodeName(target);
    struct stat old {};
    bool hadFile = false;
    if (::stat(nativeTarget.constData(), &old) == 0) {
        if (!S_ISREG(old.st_mode))
            throwWrite(path, fileKindText(old.st_mode));
        hadFile = true;
    }

    const QFileInfo targetInfo(target);
    QByteArray tmpl = QFile::encodeName(targetInfo.absolutePath() + QStringLiteral("/.") +
                                        targetInfo.fileName() + QStringLiteral(".XXXXXX"));
    FdGuard fd;
    fd.fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd.fd < 0)
        throwWrite(path, reasonText(errno));

    auto fail = [&](int err) {
        ::unlink(tmpl.constData());
        throwWrite(path, reasonText(err));
    };

    // mkostemp creates 0600; give the file the old file's mode, or the usual one for a new file.
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
    if (::rename(tmpl.constData(), nativeTarget.constData()) != 0)
        fail(errno);
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
