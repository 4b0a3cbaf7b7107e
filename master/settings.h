#pragma once
// The program's own settings file, "conf/settings.ini" of the data folder: where it is, the
// names of its keys, and the one way to change it. Every page of 設定… and every file dialog
// that keeps its size stores its keys in this one file, so a change reads the file afresh,
// changes only its own keys and replaces the file atomically: no other page's keys are lost.

#include "settingsfile.h"

#include <QString>

#include <functional>

namespace settings {

// The keys. Values are written by SettingsFile (text, "1"/"0" for switches).
inline const QString kOutputDevice = QStringLiteral("output/device"); // absent = system default
// The sound server: "pipewire", "pulseaudio", "jack" or "sdl"; absent = the first that answers.
inline const QString kOutputServer = QStringLiteral("output/backend");
// The monitor output (headphones) by its device name; absent = no monitor output.
inline const QString kCueDevice = QStringLiteral("output/cue");
inline const QString kOscNetwork = QStringLiteral("osc/network");
inline const QString kOscPort = QStringLiteral("osc/port");
inline const QString kOscAllow = QStringLiteral("osc/allow");
// The loudness the clip editor matches a clip to, in LUFS; absent = -23 (EBU R128).
inline const QString kLoudnessTarget = QStringLiteral("loudness/target");
// A file dialog's size, by the dialog's object name.
QString dialogWidthKey(const QString& dialogName);
QString dialogHeightKey(const QString& dialogName);

// "conf/settings.ini" of `dataFolder` (no trailing "/"); "" while the data folder is unknown.
QString path(const QString& dataFolder);

// The settings kept in `file`. Throws EInOutError when it exists but cannot be read.
SettingsFile read(const QString& file);
// The settings kept in `file`, or none when it cannot be read: for callers that fall back to
// their defaults and write nothing over an unreadable file.
SettingsFile readOrEmpty(const QString& file);
// Reads `file` afresh, lets `change` change its keys and replaces the file atomically.
// Throws EInOutError naming the file and the reason (the file then stays as it was), or
// whatever `change` throws (nothing is written then).
void update(const QString& file, const std::function<void(SettingsFile&)>& change);

} // namespace settings
