#pragma once
// The clip editor's picture of a clip: its waveform overview (the lowest and highest sample
// of each pixel column) over the whole length, with four handles the operator drags: the in
// and out points (full-height lines) and the ends of the fade-in and fade-out (small flags in
// the top strip). The part outside in..out is dimmed and the fades are drawn as ramps. The
// overview may arrive in parts, from the left; the view draws what it has.

#include "clipanalysis.h"

#include <QWidget>

#include <cstdint>

class WaveformView : public QWidget {
    Q_OBJECT
public:
    enum Handle { None = -1, In, Out, FadeIn, FadeOut };
    // All in milliseconds from the clip's start; out is absolute (never 0 for "the end").
    struct Points {
        std::int64_t in = 0;
        std::int64_t out = 0;
        std::int64_t fadeIn = 0;
        std::int64_t fadeOut = 0;
        bool operator==(const Points&) const = default;
    };
    static constexpr int kFlagHeight = 14; // the top strip that holds the fade flags
    static constexpr int kGrabPixels = 6;  // how near a press must be to take a handle

    explicit WaveformView(QWidget* parent = nullptr);

    void setLength(std::int64_t ms);
    std::int64_t length() const { return m_length; }
    // The overview so far: a prefix of `total` columns spread over the width.
    void setOverview(const media::Overview& overview, int total);
    int columnsShown() const { return static_cast<int>(m_columns.size()); }
    // Sets the handles, kept inside the clip and in order (fades inside in..out).
    void setPoints(const Points& points);
    const Points& points() const { return m_points; }
    // The position being heard, or -1 for none.
    void setPlayhead(std::int64_t ms);
    std::int64_t playhead() const { return m_cursor; }

    // The x (widget pixels) of a handle and the ms an x stands for.
    int xOf(Handle handle) const;
    int xOfMs(std::int64_t ms) const;
    std::int64_t msAt(int x) const;
    // The handle a press at `pos` takes, or None.
    Handle handleAt(const QPoint& pos) const;

    QSize sizeHint() const override { return {720, 180}; }
    QSize minimumSizeHint() const override { return {240, 80}; }

signals:
    // The operator dragged a handle to new points.
    void pointsEdited(const WaveformView::Points& points);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    Points ordered(Points p, Handle moved) const;
    std::int64_t handleMs(Handle handle) const;

    std::int64_t m_length = 0;
    std::vector<media::OverviewColumn> m_columns;
    int m_total = 0;
    Points m_points;
    std::int64_t m_cursor = -1;
    Handle m_dragging = None;
};
