#pragma once
// Per-pad values beyond the four that every set list line holds (clip, caption, picture,
// volume). Each is one row of kFields: its key, its range and how it reads and writes as
// text. A set list file carries such a value as an extension line after its 33 lines,
// "[" key pad "]=" text, and only when it differs from its default, so a board that uses
// none of them writes the same bytes as a board from before they existed. The board, the
// set list files and the crash journal all go through this table: a new value is a new row.

#include <QString>

#include <array>
#include <cmath>
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

// Gain in tenths of a dB: "-3.5", "+6", and "-inf" for silence (kGainSilent and below).
constexpr int kGainSilent = -1000;
inline QString gainText(int tenths) {
    if (tenths <= kGainSilent)
        return QStringLiteral("-inf");
    return QString::number(tenths / 10.0, 'f', tenths % 10 == 0 ? 0 : 1);
}
inline std::optional<int> gainValue(const QString& text) {
    if (text.trimmed().compare(QLatin1String("-inf"), Qt::CaseInsensitive) == 0)
        return kGainSilent;
    bool ok = false;
    const double db = text.toDouble(&ok);
    if (!ok || !std::isfinite(db))
        return std::nullopt;
    const double tenths = db * 10.0;
    if (tenths <= kGainSilent)
        return kGainSilent;
    if (tenths > 1e6)
        return 1000000;
    return static_cast<int>(tenths < 0 ? tenths - 0.5 : tenths + 0.5);
}

// The fields, by index into kFields.
enum Index : int {
    TrimIn,      // ms from the clip's start where a press starts
    TrimOut,     // ms from the clip's start where playback ends; 0 = the clip's end
    FadeIn,      // ms
    FadeOut,     // ms, before the out point
    Gain,        // tenths of a dB, kGainSilent..+120, before the master limiter
    Mode,        // 0 restart, 1 toggle, 2 hold
    Group,       // 0 none, 1..4 an exclusive group
    Duck,        // 0 off, 1 this pad lowers the others while it sounds
    DuckLevel,   // dB the others are lowered by, -60..0
    DuckAttack,  // ms
    DuckRelease, // ms
};
enum PlayMode : int { Restart = 0, Toggle = 1, Hold = 2 };

constexpr int kMaxMs = 24 * 3600 * 1000;
inline constexpr std::array<Field, 11> kFields{{
    {"TRIMIN", 0, 0, kMaxMs, decimalText, decimalValue},
    {"TRIMOUT", 0, 0, kMaxMs, decimalText, decimalValue},
    {"FADEIN", 0, 0, 600000, decimalText, decimalValue},
    {"FADEOUT", 0, 0, 600000, decimalText, decimalValue},
    {"GAIN", 0, kGainSilent, 120, gainText, gainValue},
    {"MODE", Restart, Restart, Hold, decimalText, decimalValue},
    {"GROUP", 0, 0, 4, decimalText, decimalValue},
    {"DUCK", 0, 0, 1, decimalText, decimalValue},
    {"DUCKLEVEL", -12, -60, 0, decimalText, decimalValue},
    {"DUCKATTACK", 50, 0, 10000, decimalText, decimalValue},
    {"DUCKRELEASE", 500, 0, 30000, decimalText, decimalValue},
}};
constexpr int kCount = static_cast<int>(kFields.size());
static_assert(kCount == DuckRelease + 1, "one row per index");

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
