#include "paddisplay.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

// The Glow theme's colours: green for a sounding pad, amber for a paused one, blue while it
// fades out, red when its end is near.
const QColor kPlaying(0x5f, 0xd3, 0x7a);
const QColor kPaused(0xff, 0xc7, 0x5a);
const QColor kFading(0x8c, 0xc4, 0xff);
const QColor kWarn(0xe8, 0x4a, 0x3f);
const QColor kChip(0x15, 0x17, 0x1b);
const QColor kText(0xf2, 0xf5, 0xf7);
const QColor kDim(0x8a, 0x91, 0x9c);

QColor accentOf(PadTimes::State state, bool fading) {
    if (state == PadTimes::State::Paused)
        return kPaused;
    return fading ? kFading : kPlaying;
}

QString twoDigits(qint64 v) {
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

} // namespace

QString formatPlayed(qint32 ms) {
    const qint64 seconds = std::max<qint64>(ms, 0) / 1000;
    return QString::number(seconds / 60) + u':' + twoDigits(seconds % 60);
}

QString formatLeft(qint32 ms) {
    const qint64 left = std::max<qint64>(ms, 0);
    const QString minus = QStringLiteral("\u2212");
    // Rounded up: "0:00.0" only once the clip has ended.
    const qint64 tenths = (left + 99) / 100;
    if (tenths < 100)
        return minus + QStringLiteral("0:0") + QString::number(tenths / 10) + u'.' +
               QString::number(tenths % 10);
    const qint64 seconds = (left + 999) / 1000;
    return minus + QString::number(seconds / 60) + u':' + twoDigits(seconds % 60);
}

bool endIsNear(const PadTimes& t) {
    return t.state == PadTimes::State::Playing && !t.looping && t.left() <= kWarnMs;
}

// ---- clock --------------------------------------------------------------------------------

PadClock::PadClock(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("padClock"));
    // Clicks go to the pad frame below: its menu opens on a right-click here as anywhere else.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void PadClock::showTimes(const PadTimes& t) {
    m_times = t;
    Face face;
    face.state = t.state;
    switch (t.state) {
    case PadTimes::State::Empty:
        break;
    case PadTimes::State::Ready:
        face.left = formatPlayed(t.length); // the clip's length, for planning
        break;
    case PadTimes::State::Playing:
    case PadTimes::State::Paused:
        face.looping = t.looping;
        face.fading = t.fading && t.state == PadTimes::State::Playing;
        face.warn = endIsNear(t);
        face.played = formatPlayed(t.position);
        face.left = formatLeft(t.left());
        break;
    }
    if (face == m_face)
        return;
    m_face = face;
    update();
}

void PadClock::drawMark(QPainter& p, const QRectF& box, const QColor& colour) const {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    if (m_face.state == PadTimes::State::Paused) {
        const qreal bar = box.width() * 0.34;
        p.drawRect(QRectF(box.left(), box.top(), bar, box.height()));
        p.drawRect(QRectF(box.right() - bar, box.top(), bar, box.height()));
        return;
    }
    if (m_face.fading) {
        // A ramp falling to silence.
        QPainterPath ramp;
        ramp.moveTo(box.topLeft());
        ramp.lineTo(box.bottomRight());
        ramp.lineTo(box.bottomLeft());
        ramp.closeSubpath();
        p.drawPath(ramp);
        return;
    }
    QPainterPath play;
    play.moveTo(box.topLeft());
    play.lineTo(box.right(), box.center().y());
    play.lineTo(box.bottomLeft());
    play.closeSubpath();
    p.drawPath(play);
}

void PadClock::paintEvent(QPaintEvent*) {
    if (m_face.state == PadTimes::State::Empty)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal h = height();
    const qreal margin = std::max<qreal>(2, h * 0.12);
    const bool active = m_face.state != PadTimes::State::Ready;
    const QColor accent = accentOf(m_face.state, m_face.fading);

    if (active) {
        const qreal radius = h * 0.16;
        p.setPen(QPen(m_face.warn ? kWarn.lighter(130) : accent, 1));
        p.setBrush(m_face.warn ? kWarn : kChip);
        p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    }

    // Upper row: state mark, time played, loop mark; lower row: the time left, large.
    const qreal upper = h * 0.4;
    const QRectF top(margin, 0, width() - 2 * margin, upper);
    const QRectF bottom(margin, upper - h * 0.04, width() - 2 * margin, h - upper);
    QFont font(QStringLiteral("Tahoma"));
    font.setBold(false);
    font.setPixelSize(std::max(6, int(std::lround(h * 0.34))));

    if (active) {
        const qreal mark = upper * 0.56;
        const QRectF markBox(top.left(), top.center().y() - mark / 2 + 1, mark, mark);
        drawMark(p, markBox, m_face.warn ? kText : accent);
        p.setFont(font);
        p.setPen(m_face.warn ? kText : kDim.lighter(125));
        p.drawText(top.adjusted(mark + margin, 1, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                   m_face.played);
        if (m_face.looping) {
            // A circular arrow: the pass repeats.
            const qreal d = upper * 0.6;
            const QRectF ring(top.right() - d, top.center().y() - d / 2 + 1, d, d);
            p.setPen(QPen(m_face.warn ? kText : accent, std::max<qreal>(1.2, h * 0.06)));
            p.setBrush(Qt::NoBrush);
            p.drawArc(ring, 90 * 16, 270 * 16);
            QPainterPath head;
            const QPointF tip(ring.center().x(), ring.top());
            const qreal a = d * 0.32;
            head.moveTo(tip + QPointF(a, 0));
            head.lineTo(tip + QPointF(-a * 0.2, -a * 0.8));
            head.lineTo(tip + QPointF(-a * 0.2, a * 0.8));
            head.closeSubpath();
            p.setPen(Qt::NoPen);
            p.setBrush(m_face.warn ? kText : accent);
            p.drawPath(head);
        }
    }

    font.setBold(true);
    font.setPixelSize(std::max(7, int(std::lround(h * 0.58))));
    p.setFont(font);
    p.setPen(active ? kText : kDim);
    p.drawText(bottom, Qt::AlignRight | Qt::AlignVCenter, m_face.left);
}

// ---- progress line ------------------------------------------------------------------------

PadProgress::PadProgress(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("padProgress"));
    // The picture below keeps its double-click and its menu.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    hide();
}

int PadProgress::filledFor(const PadTimes& t) const {
    if (t.length <= 0)
        return 0;
    const double fraction = std::clamp(double(t.position) / t.length, 0.0, 1.0);
    return int(std::lround(fraction * width()));
}

void PadProgress::showTimes(const PadTimes& t) {
    const bool visible = t.state == PadTimes::State::Playing || t.state == PadTimes::State::Paused;
    const int filled = visible ? filledFor(t) : 0;
    const bool changed = filled != m_filled || t.state != m_times.state ||
                         t.fading != m_times.fading || endIsNear(t) != endIsNear(m_times);
    m_times = t;
    m_filled = filled;
    if (visible != isVisible())
        setVisible(visible);
    else if (changed && visible)
        update();
}

void PadProgress::resizeEvent(QResizeEvent*) {
    m_filled = filledFor(m_times);
}

void PadProgress::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(0, 0, 0, 150));
    const QColor colour =
        endIsNear(m_times)
            ? kWarn
            : accentOf(m_times.state, m_times.fading && m_times.state == PadTimes::State::Playing);
    p.fillRect(QRect(0, 0, m_filled, height()), colour);
}
