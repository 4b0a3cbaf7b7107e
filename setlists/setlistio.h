#pragma once
// Moving a set list between the pad model and a file: the board's lines, writing them, and
// filling the board from a file's lines (or resetting it when there is no file). After the
// 33 lines come the extension lines of the pad fields that differ from their defaults.

#include "setlistformat.h"
#include "textfile.h"

#include <QString>
#include <QStringList>

#include <optional>

class PadModel;

namespace setlist {

// The board as a set list: the 33 lines that are written to a file.
QStringList boardLines(const PadModel& board);

// Writes the board to `path` atomically. Throws EInOutError naming the file and the reason;
// the old file is then left as it was.
void saveBoard(const PadModel& board, const QString& path,
               textfile::Flush flush = textfile::Flush::ToDisk);

// The lines of the set list at `path`, or nothing when no file of that name exists. Throws
// EInOutError when the name exists but is not a readable regular file of at most 1 MiB.
// Reading first means a file that cannot be read leaves the board untouched.
std::optional<QStringList> readSetListFile(const QString& path);

// Fills the board from `lines`, or resets every pad when there are none. The model is loading
// for the time of it, so volume changes do not reach the players.
// At the end each opened clip gets its slider's level. Returns one message per picture that
// could not be loaded and per file name refused for holding a line break (its line is
// ignored); the rest of the file is applied all the same. A picture whose decoding fails
// later keeps its path, so the board still says what the file said.
QStringList applySetList(PadModel& board, const std::optional<QStringList>& lines);

} // namespace setlist
