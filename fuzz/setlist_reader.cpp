// Set list files as a load reads them: bytes through the text decoder and the line parser into
// pad entries, applied in file order to a board of eight pads; that board through the writer
// and back must come out unchanged.

#include "fuzz_check.h"
#include "setlistformat.h"
#include "textfile.h"

#include <QByteArray>
#include <QStringList>

#include <cstddef>
#include <cstdint>

using namespace setlist;

namespace {

bool holdsLineBreak(const QString& value) {
    return value.contains(u'\n') || value.contains(u'\r');
}

Board apply(const std::vector<Entry>& entries) {
    Board board;
    for (const Entry& e : entries) {
        FUZZ_CHECK(e.pad >= 1 && e.pad <= kPadCount);
        PadRecord& rec = board[static_cast<std::size_t>(e.pad - 1)];
        switch (e.field) {
        case Field::FileName:
            rec.fileName = e.value;
            break;
        case Field::PlayButton:
            rec.caption = e.value;
            break;
        case Field::Image:
            rec.imagePath = e.value;
            break;
        case Field::Volume:
            rec.volume = volumeFromText(e.value);
            FUZZ_CHECK(rec.volume >= 0 && rec.volume <= kMaxVolume);
            break;
        }
    }
    return board;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(textfile::kMaxBytes))
        return -1; // the reader refuses bigger files before decoding
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList lines = textfile::decodeLines(bytes);
    const std::vector<Entry> entries = parseLines(lines);
    FUZZ_CHECK(entries.size() <= static_cast<std::size_t>(lines.size()));
    const Board board = apply(entries);

    // The writer gives 33 lines that no value can split, and they read back as the board the
    // writer was given, line breaks in captions aside.
    const QStringList written = formatLines(board);
    FUZZ_CHECK(written.size() == kLineCount);
    for (const QString& line : written)
        FUZZ_CHECK(!holdsLineBreak(line));
    FUZZ_CHECK(textfile::decodeLines(textfile::encodeLines(written)) == written);
    const std::vector<Entry> reread = parseLines(written);
    FUZZ_CHECK(reread.size() == static_cast<std::size_t>(4 * kPadCount));
    const Board again = apply(reread);
    for (int pad = 0; pad < kPadCount; ++pad) {
        const PadRecord& a = board[static_cast<std::size_t>(pad)];
        const PadRecord& b = again[static_cast<std::size_t>(pad)];
        FUZZ_CHECK(a.volume == b.volume);
        if (!holdsLineBreak(a.fileName))
            FUZZ_CHECK(a.fileName == b.fileName);
        if (!holdsLineBreak(a.caption))
            FUZZ_CHECK(a.caption == b.caption);
        if (!holdsLineBreak(a.imagePath))
            FUZZ_CHECK(a.imagePath == b.imagePath);
    }
    return 0;
}
