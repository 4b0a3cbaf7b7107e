#pragma once
// The window placement file: DataFolder + "/conf/" + application title + ".ini", four lines
// "[Screen_Top]=", "[Screen_Left]=", "[Screen_Width]=", "[Screen_Height]=" with CR LF ends.

#include <QList>
#include <QRect>
#include <QString>

struct WindowPlacement {
    qint32 Left = 0;
    qint32 Top = 0;
    qint32 Width = 0;
    qint32 Height = 0;
};

// The placement the window takes when nothing usable is stored.
constexpr WindowPlacement kDefaultPlacement{5, 5, 1747, 880};

// The file that holds the placement for `title` below the data folder `base`.
QString placementFilePath(const QString& base, const QString& title);

// Writes the four lines, replacing the file atomically. A file that cannot be written is
// silently left as it was: saving the placement never stops a close.
void SaveWindowPlacement(const QString& base, const QString& title, qint32 top, qint32 left,
                         qint32 width, qint32 height);

// Reads the stored placement. Fields not found, not decimal integers or out of range are 0;
// a missing or unreadable file gives all zeros. Each line is split at its first "=", keys
// match exactly (brackets and letter case included), a later line overrides an earlier one.
WindowPlacement LoadWindowPlacement(const QString& base, const QString& title);

// The placement to apply at creation, given the stored one and the screens' geometries:
// the default when Height is below 1 or when less than 100 x 50 pixels of the window would
// be on any one screen; a Width below 1 becomes the default width.
WindowPlacement placementToApply(const WindowPlacement& stored, const QList<QRect>& screens);
