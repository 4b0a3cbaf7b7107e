#pragma once
// Per-pad values beyond the four that every set list line holds (clip, caption, picture,
// volume). Each is one row of kFields: its key, its range and how it reads and writes as
// text. A set list file carries such a value as an extension line after its 33 lines,
// "[" key pad "]=" text, and only when it differs from its default, so a board that uses
// none of them writes the same bytes as a board from before they existed. The board, the
// set list files and the crash journal all go through this table: a new value is a new row.

#include <QString>

#include <array>
#include <optional>

namespace padfields {

struct Field {
    const char* key; // "TRIM" gives the lines "[TRIM1]=" ... "[TRIM8]="
    int defaultValue;
    int min;
    int max;
    QString (*toText)(int value);
    std::optional<int> (*fromText)(const QString& text);
};

// Plain decimal integers, the text of most fields.
inline QString decimalText(int value) {
    return QString::number(value);
}
inline std::optional<int> decimalValue(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

inline constexpr std::array<Field, 0> kFields{};
constexpr int kCount = static_cast<int>(kFields.size());

// The key of field `field` (an index into kFields) for pad `pad`: "[TRIM3]".
inline QString nameOf(int field, int pad) {
    return QStringLiteral("[") + QLatin1String(kFields[static_cast<size_t>(field)].key) +
           QString::number(pad) + QStringLiteral("]");
}

// The field and pad a key names ("[TRIM3]" gives the index of TRIM and 3), or nothing.
struct Named {
    int field = -1;
    int pad = 0;
};
inline std::optional<Named> valueNamed(const QString& key, int pads) {
    for (int f = 0; f < kCount; ++f)
        for (int pad = 1; pad <= pads; ++pad)
            if (key == nameOf(f, pad))
                return Named{f, pad};
    return std::nullopt;
}

// `value` clamped to the range of `field`.
inline int clamped(int field, int value) {
    const Field& f = kFields[static_cast<size_t>(field)];
    return value < f.min ? f.min : (value > f.max ? f.max : value);
}

} // namespace padfields
