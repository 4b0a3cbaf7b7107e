#pragma once
// Text files of the program: lines of key "=" value, CR LF line ends, UTF-8 without BOM.
// Files written on a Japanese Windows system are CP932; the reader accepts those too.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace textfile {

// Largest file the reader accepts; anything bigger is refused with an error.
constexpr qint64 kMaxBytes = 1 << 20;

// The bytes of `lines`, each ended by CR LF, UTF-8 without BOM.
QByteArray encodeLines(const QStringList& lines);

// Text of `bytes`: UTF-8 when the bytes are valid UTF-8 (a leading BOM is dropped),
// otherwise CP932. Split into lines at LF; a CR before the LF is not part of the line, and
// a last line without LF still counts.
QStringList decodeLines(const QByteArray& bytes);

// Whether writeLines waits for the data to reach the disk before the rename. Waiting costs
// several milliseconds; work files that only help a comparison can do without it.
enum class Flush { ToDisk, No };

// Writes `lines` to `path` atomically: a temporary file in the same folder, then a rename,
// so the old file stays intact when anything fails. A link is written through: the file it
// points at is replaced. In a folder that other users can write to, only a link that belongs
// to the user who saves (or to root) is followed; another user's link is refused and nothing
// is written. Throws EInOutError naming the file and the reason.
void writeLines(const QString& path, const QStringList& lines, Flush flush = Flush::ToDisk);

// Reads the lines of `path`. Throws EInOutError naming the file and the reason when it is
// missing, not a regular file (a directory, FIFO or device is never opened), bigger than
// `maxBytes` or unreadable.
QStringList readLines(const QString& path, qint64 maxBytes = kMaxBytes);

// True when `value` holds a CR or LF: written into a line, it would split that line.
bool holdsLineBreak(QStringView value);
// Refuses a file name that holds a line break, which no line of the program's files can
// hold: throws ECueError naming the file, with its breaks shown as "\r" and "\n".
void requireOneLine(const QString& path);

// True when `path` names an existing regular file (not a directory, FIFO or device).
bool isRegularFile(const QString& path);

} // namespace textfile
