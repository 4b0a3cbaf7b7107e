// The text decoder of the program's files: bytes as UTF-8 when they are valid UTF-8, else as
// CP932, split into lines. Every input is decoded both ways: as it comes, and behind a byte
// that is never valid UTF-8 (0xFF), which sends it through the CP932 converter.

#include "fuzz_check.h"
#include "textfile.h"

#include <QByteArray>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

void checkLines(const QStringList& lines) {
    for (const QString& line : lines)
        FUZZ_CHECK(!line.contains(u'\n'));
    // What the writer makes of the lines reads back as the same lines, except where the first
    // line starts with a byte-order mark, which the reader drops as the file's own.
    if (!lines.isEmpty() && lines.first().startsWith(QChar(0xFEFF)))
        return;
    FUZZ_CHECK(textfile::decodeLines(textfile::encodeLines(lines)) == lines);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(textfile::kMaxBytes))
        return -1; // the reader refuses bigger files before decoding
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkLines(textfile::decodeLines(bytes));

    const QStringList cp932 = textfile::decodeLines(QByteArray("\xFF") + bytes);
    FUZZ_CHECK(!cp932.isEmpty());
    checkLines(cp932);
    return 0;
}
