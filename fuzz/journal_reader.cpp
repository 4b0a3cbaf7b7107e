// Crash journals as the start reads them: bytes through the text decoder into the journal's
// header and board; whatever reads as a journal writes and reads back as the same journal,
// and its board goes through the set list parser.

#include "fuzz_check.h"
#include "journalformat.h"
#include "setlistformat.h"
#include "textfile.h"

#include <QByteArray>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(textfile::kMaxBytes))
        return -1; // the reader refuses bigger files before decoding
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<journal::Contents> contents = journal::parse(textfile::decodeLines(bytes));
    if (!contents)
        return 0;
    FUZZ_CHECK(contents->slot >= 1 && contents->slot <= 10);
    const QStringList written = journal::format(*contents);
    FUZZ_CHECK(journal::parse(textfile::decodeLines(textfile::encodeLines(written))) == contents);
    for (const setlist::Entry& e : setlist::parseLines(contents->lines))
        FUZZ_CHECK(e.pad >= 1 && e.pad <= setlist::kPadCount);
    return 0;
}
