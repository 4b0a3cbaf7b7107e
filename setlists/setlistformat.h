#pragma once
// The set list file: 33 lines of key "=" value, "[Version]=1.00" first, then for each pad n
// the lines "[FILENAME" n "]=", "[PLAYBTN" n "]=", "[IMAGE" n "]=", "[VOLUME" n "]=".

#include <QString>

namespace setlist {

constexpr int kPadCount = 8;

enum class Field { FileName, PlayButton, Image, Volume };

// The key of `field` for pad `pad` (1..8), e.g. "[FILENAME1]".
QString key(Field field, int pad);

} // namespace setlist
