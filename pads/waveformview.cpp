#include "waveformview.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

const QColor kBackground(24, 26, 30);
const QColor kWave(90, 190, 255);
const QColor kWaveOutside(70, 80, 92);
const QColor kInColour(80, 220, 120);
const QColor kOutColour(240, 90, 80);
const QColor kFadeColour(250, 200, 70);
const QColor kCursorColour(255, 255, 255);

} // namespace

WaveformView::WaveformView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("waveform"));
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void WaveformView::setLength(std::int64_t ms) {
    m_length = std::max<std::int64_t>(0, ms);
    setPoints(m_points);
    update();
}

void WaveformView::setOverview(const media::Overview& overview, int total) {
    m_columns = overview.columns;
    m_total = std::max(total, static_cast<int>(m_columns.size()));
    update();
}

void WaveformView::setPoints(const Points& points) {
    Points p = points;
    p.in = std::clamp<std::int64_t>(p.in, 0, m_length);
    p.out = std::clamp<std::int64_t>(p.out, p.in, m_length);
    const std::int64_t span = p.out - p.in;
    p.fadeIn = std::clamp<std::int64_t>(p.fadeIn, 0, span);
    p.fadeOut = std::clamp<std::int64_t>(p.fadeOut, 0, span - p.fadeIn);
    if (p == m_points)
        return;
    m_points = p;
    update();
}

void WaveformView::setPlayhead(std::int64_t ms) {
    if (ms == m_cursor)
        return;
    m_cursor = ms;
    update();
}

int WaveformView::xOfMs(std::int64_t ms) const {
    if (m_length <= 0)
        return 0;
    const double w = std::max(1, width() - 1);
    return static_cast<int>(
        std::lround(w * static_cast<double>(ms) / static_cast<double>(m_length)));
}

std::int64_t WaveformView::msAt(int x) const {
    const double w = std::max(1, width() - 1);
    const double ms = static_cast<double>(m_length) * std::clamp(x, 0, width() - 1) / w;
    return static_cast<std::int64_t>(std::llround(ms));
}

std::int64_t WaveformView::handleMs(Handle handle) const {
    switch (handle) {
    case In:
        return m_points.in;
    case Out:
        return m_points.out;
    case FadeIn:
        return m_points.in + m_points.fadeIn;
    case FadeOut:
        return m_points.out - m_points.fadeOut;
    case None:
        break;
    }
    return 0;
}

int WaveformView::xOf(Handle handle) const {
    return xOfMs(handleMs(handle));
}

WaveformView::Handle WaveformView::handleAt(const QPoint& pos) const {
    // The top strip holds the fade flags; below it the in and out lines.
    const bool top = pos.y() < kFlagHeight;
    const Handle first = top ? FadeIn : In;
    const Handle second = top ? FadeOut : Out;
    const int d1 = std::abs(pos.x() - xOf(first));
    const int d2 = std::abs(pos.x() - xOf(second));
    if (std::min(d1, d2) > kGrabPixels)
        return None;
    // With both under the pointer, the one on the side the pointer is takes it.
    if (d1 == d2)
        return pos.x() >= xOf(first) ? second : first;
    return d1 < d2 ? first : second;
}

// The points after `moved` went where the drag put it: in and out keep at least 1 ms
// between them, and the fades stay inside in..out without crossing each other.
WaveformView::Points WaveformView::ordered(Points p, Handle moved) const {
    switch (moved) {
    case In:
        p.in = std::clamp<std::int64_t>(p.in, 0, std::max<std::int64_t>(0, p.out - 1));
        break;
    case Out:
        p.out = std::clamp<std::int64_t>(p.out, std::min(m_length, p.in + 1), m_length);
        break;
    case FadeIn:
        p.fadeIn = std::clamp<std::int64_t>(p.fadeIn, 0, p.out - p.in - p.fadeOut);
        break;
    case FadeOut:
        p.fadeOut = std::clamp<std::int64_t>(p.fadeOut, 0, p.out - p.in - p.fadeIn);
        break;
    case None:
        break;
    }
    const std::int64_t span = p.out - p.in;
    p.fadeIn = std::min(p.fadeIn, span);
    p.fadeOut = std::min(p.fadeOut, span - p.fadeIn);
    return p;
}

void WaveformView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || m_length <= 0)
        return QWidget::mousePressEvent(event);
    m_dragging = handleAt(event->position().toPoint());
    event->accept();
}

void WaveformView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (m_dragging == None) {
        setCursor(handleAt(pos) == None ? Qt::ArrowCursor : Qt::SizeHorCursor);
        return;
    }
    const std::int64_t ms = msAt(pos.x());
    Points p = m_points;
    switch (m_dragging) {
    case In:
        p.in = ms;
        break;
    case Out:
        p.out = ms;
        break;
    case FadeIn:
        p.fadeIn = ms - p.in;
        break;
    case FadeOut:
        p.fadeOut = p.out - ms;
        break;
    case None:
        break;
    }
    p = ordered(p, m_dragging);
    if (p == m_points)
        return;
    m_points = p;
    update();
    emit pointsEdited(m_points);
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_dragging = None;
    QWidget::mouseReleaseEvent(event);
}

void WaveformView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    const int h = height();
    const int waveTop = kFlagHeight;
    const double mid = waveTop + (h - waveTop) / 2.0;
    const double half = (h - waveTop) / 2.0 - 1.0;
    painter.setPen(QColor(60, 64, 70));
    painter.drawLine(0, static_cast<int>(mid), width(), static_cast<int>(mid));
    if (m_length <= 0)
        return;

    // The columns spread over the width; those in in..out are bright.
    const int inX = xOf(In);
    const int outX = xOf(Out);
    if (m_total > 0) {
        const double perColumn = static_cast<double>(width()) / m_total;
        for (int c = 0; c < static_cast<int>(m_columns.size()); ++c) {
            const int x0 = static_cast<int>(c * perColumn);
            const int x1 = std::max(x0 + 1, static_cast<int>((c + 1) * perColumn));
            const auto& col = m_columns[static_cast<size_t>(c)];
            const double hi = std::clamp(static_cast<double>(col.high), -1.0, 1.0);
            const double lo = std::clamp(static_cast<double>(col.low), -1.0, 1.0);
            const int top = static_cast<int>(std::floor(mid - hi * half));
            const int bottom = static_cast<int>(std::ceil(mid - lo * half));
            const bool inside = x0 >= inX && x0 <= outX;
            painter.fillRect(x0, top, x1 - x0, std::max(1, bottom - top),
                             inside ? kWave : kWaveOutside);
        }
    }
    // Outside in..out is shaded.
    const QColor shade(0, 0, 0, 110);
    painter.fillRect(0, waveTop, inX, h - waveTop, shade);
    painter.fillRect(outX + 1, waveTop, width() - outX - 1, h - waveTop, shade);

    // The fades as ramps from the bottom edge to the top of the wave area.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kFadeColour, 1.5));
    const int fadeInX = xOf(FadeIn);
    const int fadeOutX = xOf(FadeOut);
    QPainterPath ramp;
    ramp.moveTo(inX, h - 1);
    ramp.lineTo(fadeInX, waveTop);
    ramp.lineTo(fadeOutX, waveTop);
    ramp.lineTo(outX, h - 1);
    painter.drawPath(ramp);
    painter.setRenderHint(QPainter::Antialiasing, false);

    // The in and out lines, the fade flags in the top strip.
    painter.setPen(QPen(kInColour, 2));
    painter.drawLine(inX, 0, inX, h);
    painter.setPen(QPen(kOutColour, 2));
    painter.drawLine(outX, 0, outX, h);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kFadeColour);
    painter.drawRect(fadeInX, 1, 7, kFlagHeight - 3);
    painter.drawRect(fadeOutX - 7, 1, 7, kFlagHeight - 3);

    if (m_cursor >= 0) {
        painter.setPen(QPen(kCursorColour, 1));
        const int x = xOfMs(m_cursor);
        painter.drawLine(x, waveTop, x, h);
    }
}
