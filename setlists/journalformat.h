#pragma once
// The text of the crash journal: three lines that say which slot was current and whether the
// board differed from it, "[Journal]=1", "[SetList]=" 1..10 and "[Modified]=" 0 or 1, then
// the board as a set list file. Pure text logic, as setlistformat.h.

#include <QString>
#include <QStringList>

#include <optional>

namespace journal {

// What a journal holds.
struct Contents {
    int slot = 1;          // the current slot, 1..10
    bool modified = false; // the board differed from that slot's baseline
    QStringList lines;     // the board as a set list file
    bool operator==(const Contents&) const = default;
};

QStringList format(const Contents& contents);
// The contents of a journal's lines, or nothing when they are not a journal: the first
// three lines must be "[Journal]=1", "[SetList]=" 1..10 and "[Modified]=" 0 or 1.
std::optional<Contents> parse(const QStringList& lines);

} // namespace journal
