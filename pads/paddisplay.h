#pragma once
// What a pad shows of its playback, readable from a step away: a clock in the free room
// between the LOOP switch and the FILE button (a state mark, the time played and, large, the
// time left) and a thin progress line on the picture's lower edge. Both draw what the board
// hands them in a PadTimes; neither reads the player. Each repaints only when what it draws
// changes, so a board that refreshes them often costs next to nothing.

#include "padtimes.h"

#include <QColor>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>

class DigitStrip;
class QPainter;

// Time played, "m:ss", rounded down to the second.
QString formatPlayed(qint32 ms);
// Time left, "−m:ss" rounded up to the second; under 10 s "−0:ss.t" rounded up to the tenth.
QString formatLeft(qint32 ms);
// A clip's length, as the time left reads when it starts, without the sign.
QString formatLength(qint32 ms);
// The last seconds of a playback that will end: highlighted. A looping pad does not end, and
// a cue is not the audience's: neither is highlighted.
constexpr qint32 kWarnMs = 5000;
bool endIsNear(const PadTimes& times);
// Milliseconds of playback until the clock of a sounding pad changes: a digit of the time
// left or played (the highlight starts with one of them). 0 for a silent pad. (The progress line
// moves with the clock's refreshes; it does not ask for refreshes of its own.)
qint32 msUntilChange(const PadTimes& times);

class PadClock : public QWidget {
    Q_OBJECT
public:
    explicit PadClock(QWidget* parent = nullptr);
    ~PadClock() override;
    void showTimes(const PadTimes& times);
    const PadTimes& times() const { return m_times; }

    // What the clock draws now: the two texts ("" when not drawn) and whether the end is
    // near.
    QString playedText() const { return m_face.played; }
    QString leftText() const { return m_face.left; }
    bool warns() const { return m_face.warn; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Face {
        PadTimes::State state = PadTimes::State::Empty;
        bool looping = false;
        bool fading = false;
        bool cue = false;
        bool warn = false;
        QString played;
        QString left;
        bool operator==(const Face&) const = default;
    };
    void drawMark(QPainter& p, const QRectF& box, const QColor& colour) const;
    void drawFace(QPainter& p) const;

    PadTimes m_times;
    Face m_face;
    // The face without the time left, as last drawn into m_layer, on m_background.
    Face m_drawnFace;
    QPixmap m_layer;
    QColor m_background;
    std::unique_ptr<DigitStrip> m_digits; // the time left's characters
};

// The progress line over the picture's lower edge, shown while the pad plays or is paused.
class PadProgress : public QWidget {
    Q_OBJECT
public:
    explicit PadProgress(QWidget* parent = nullptr);
    void showTimes(const PadTimes& times);
    // Width of the played part in pixels.
    int filled() const { return m_filled; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int filledFor(const PadTimes& times) const;

    PadTimes m_times;
    int m_filled = 0;
};
