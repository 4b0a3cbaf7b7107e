#pragma once
// The set list file: 33 lines of key "=" value, "[Version]=1.00" first, then for each pad n
// the lines "[FILENAME" n "]=", "[PLAYBTN" n "]=", "[IMAGE" n "]=", "[VOLUME" n "]=".
// Pure text logic: the pad board is filled and read elsewhere (setlistio.h).

#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace setlist {

constexpr int kPadCount = 8;
constexpr int kLineCount = 1 + 4 * kPadCount;
constexpr int kMaxVolume = 1000;

enum class Field { FileName, PlayButton, Image, Volume };

// The key of `field` for pad `pad` (1..8), e.g. "[FILENAME1]".
QString key(Field field, int pad);

// What the file keeps of one pad.
struct PadRecord {
    QString fileName;  // clip file, "" = empty pad
    QString caption;   // play-button caption, accelerator suffix included
    QString imagePath; // picture file, "" = none
    int volume = kMaxVolume;
    bool operator==(const PadRecord&) const = default;
};

using Board = std::array<PadRecord, kPadCount>;

// The 33 lines of `board`, in file order. A value never spans lines: each CR or LF in it is
// written as a blank.
QStringList formatLines(const Board& board);

// One recognised line of a set list file.
struct Entry {
    int pad = 0; // 1..8
    Field field = Field::FileName;
    QString value;
    bool operator==(const Entry&) const = default;
};

// The recognised lines of `lines`, in file order. The key is the text before the first "="
// and the value the text after it; a line without "=" has the key "" and is ignored, as is
// every key that is not one of the 32 pad keys exactly, letter case included ("[Version]"
// too). A key that occurs twice gives two entries; applied in order, the later one wins.
std::vector<Entry> parseLines(const QStringList& lines);

// The slider position a VOLUME value asks for: the value as a decimal integer, 1000 when it
// is not one, clamped to 0..1000 as the slider does.
int volumeFromText(const QString& value);

} // namespace setlist
