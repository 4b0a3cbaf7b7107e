#pragma once
// Small 16-bit mono sine clips written without an audio library: the clips of the board, set
// list, remote and view tests and of the benchmarks.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cmath>

// A WAV of `frames` frames at `rate`: a sine that advances `step` radians a frame, at a peak
// of `amplitude` (of 32767).
inline QByteArray sineWav(int rate, int frames, double step = 0.0576, int amplitude = 8000) {
    QByteArray data;
    data.reserve(44 + 2 * frames);
    auto put = [&](quint32 v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            data.append(char((v >> (8 * i)) & 0xFF));
    };
    data.append("RIFF");
    put(36 + frames * 2, 4);
    data.append("WAVEfmt ");
    put(16, 4), put(1, 2), put(1, 2), put(rate, 4), put(rate * 2, 4), put(2, 2), put(16, 2);
    data.append("data");
    put(frames * 2, 4);
    for (int i = 0; i < frames; ++i)
        put(quint16(qint16(amplitude * std::sin(i * step))), 2);
    return data;
}

// Writes a 48 kHz sine clip of `ms` milliseconds to `path`; false when it cannot.
inline bool writeSineWav(const QString& path, int ms, int amplitude = 8000) {
    const QByteArray data = sineWav(48000, 48 * ms, 0.0576, amplitude);
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}
