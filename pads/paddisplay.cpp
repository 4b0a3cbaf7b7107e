#include "paddisplay.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// The Glow theme's colours: green for a sounding pad, amber for a paused one, blue while it
// fades out, red when its end is near, violet while only the monitor output plays it.
const QColor kPlaying(0x5f, 0xd3, 0x7a);
const QColor kPaused(0xff, 0xc7, 0x5a);
const QColor kFading(0x8c, 0xc4, 0xff);
const QColor kWarn(0xe8, 0x4a, 0x3f);
const QColor kCue(0xc9, 0x8b, 0xff);
const QColor kChip(0x15, 0x17, 0x1b);
const QColor kText(0xf2, 0xf5, 0xf7);
const QColor kDim(0x8a, 0x91, 0x9c);

QColor accentOf(PadTimes::State state, bool fading, bool cue = false) {
    if (cue)
        return kCue;
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

QString formatLength(qint32 ms) {
    return formatLeft(ms).mid(1);
}

bool endIsNear(const PadTimes& t) {
    return t.state == PadTimes::State::Playing && !t.looping && !t.cue && t.left() <= kWarnMs;
}

qint32 msUntilChange(const PadTimes& t) {
    if (t.state != PadTimes::State::Playing || t.length <= 0)
        return 0;
    const qint64 left = t.left();
    const qint64 played = t.position;
    // The time left is rounded up, so it changes when it crosses a whole tenth (a whole
    // second above ten seconds); the time played is rounded down.
    const qint64 step = left <= 10000 ? 100 : 1000;
    qint64 next = left % step == 0 ? step : left % step;
    next = std::min(next, 1000 - played % 1000);
    // The highlight starts at a whole tenth: it needs no refresh of its own.
    static_assert(kWarnMs % 100 == 0);
    return qint32(std::max<qint64>(next, 1));
}

// ---- clock --------------------------------------------------------------------------------

PadClock::PadClock(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("padClock"));
    // Clicks go to the pad frame below: its menu opens on a right-click here as anywhere else.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // Opaque: the clock draws the frame's background itself, so that its ten steps a second
    // repaint the clock alone, not the frame, the board and the window behind it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

PadClock::~PadClock() = default;

void PadClock::showTimes(const PadTimes& t) {
    m_times = t;
    Face face;
    face.state = t.state;
    switch (t.state) {
    case PadTimes::State::Empty:
        break;
    case PadTimes::State::Ready:
        face.left = formatLength(t.length); // the clip's length, for planning
        break;
    case PadTimes::State::Playing:
    case PadTimes::State::Paused:
        face.looping = t.looping;
        face.cue = t.cue;
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

// The characters of a time, each drawn once per font and colour and then only copied: the
// clock redraws its time left ten times a second, and laying text out each time would cost
// more than all the rest of the display.
class DigitStrip {
public:
    DigitStrip(const QFont& font, const QColor& colour, qreal ratio);
    bool matches(const QFont& font, const QColor& colour, qreal ratio) const {
        return m_font == font && m_colour == colour && m_ratio == ratio;
    }

    // Draws `text` right-aligned and centred vertically in `box`; false when it holds a
    // character the strip does not have.
    bool draw(QPainter& p, const QRectF& box, const QString& text) const {
        qreal width = 0;
        for (QChar c : text) {
            const qsizetype i = kChars.indexOf(c);
            if (i < 0)
                return false;
            width += m_advance[size_t(i)];
        }
        qreal x = box.right() - width;
        const qreal y = box.center().y() - m_height / 2.0;
        for (QChar c : text) {
            const size_t i = size_t(kChars.indexOf(c));
            p.drawPixmap(QPointF(x - kPad, y), m_glyph[i]);
            x += m_advance[i];
        }
        return true;
    }

private:
    static constexpr int kPad = 2; // room for a glyph that reaches past its advance
    static inline const QString kChars = QStringLiteral("0123456789:.\u2212");

    QFont m_font;
    QColor m_colour;
    qreal m_ratio;
    qreal m_height = 0;
    std::array<QPixmap, 13> m_glyph;
    std::array<qreal, 13> m_advance{};
};

DigitStrip::DigitStrip(const QFont& font, const QColor& colour, qreal ratio)
    : m_font(font), m_colour(colour), m_ratio(ratio) {
    const QFontMetricsF metrics(font);
    m_height = metrics.height();
    for (qsizetype i = 0; i < kChars.size(); ++i) {
        const QString c(kChars[i]);
        const qreal advance = metrics.horizontalAdvance(c);
        QPixmap glyph((QSizeF(advance + 2 * kPad, m_height) * ratio).toSize());
        glyph.setDevicePixelRatio(ratio);
        glyph.fill(Qt::transparent);
        QPainter g(&glyph);
        g.setFont(font);
        g.setPen(colour);
        g.drawText(QPointF(kPad, metrics.ascent()), c);
        m_glyph[size_t(i)] = glyph;
        m_advance[size_t(i)] = advance;
    }
}

namespace {

QFont clockFont(qreal height, bool large) {
    QFont font(QStringLiteral("Tahoma"));
    font.setBold(large);
    font.setPixelSize(std::max(large ? 7 : 6, int(std::lround(height * (large ? 0.58 : 0.34)))));
    return font;
}

} // namespace

// Everything but the time left changes at most once a second: drawn into a picture kept until
// it changes, so that a step of the time left copies it and draws a few digits.
void PadClock::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // The frame's background, as the theme (or the default look) gives it to the frame.
    const QWidget* frame = parentWidget();
    const QColor background = (frame ? frame : this)->palette().color(QPalette::Window);
    const qreal ratio = devicePixelRatioF();
    Face still = m_face;
    still.left.clear();
    if (still != m_drawnFace || size() * ratio != m_layer.size() || background != m_background) {
        m_layer = QPixmap(size() * ratio);
        m_layer.setDevicePixelRatio(ratio);
        m_layer.fill(background);
        QPainter layer(&m_layer);
        drawFace(layer);
        m_drawnFace = still;
        m_background = background;
    }
    p.drawPixmap(0, 0, m_layer);
    if (m_face.left.isEmpty())
        return;

    const qreal h = height();
    const qreal margin = std::max<qreal>(2, h * 0.12);
    const qreal upper = h * 0.4;
    const QRectF bottom(margin, upper - h * 0.04, width() - 2 * margin, h - upper);
    const bool active = m_face.state != PadTimes::State::Ready;
    const QFont font = clockFont(h, true);
    const QColor colour = active ? kText : kDim;
    if (!m_digits || !m_digits->matches(font, colour, ratio))
        m_digits = std::make_unique<DigitStrip>(font, colour, ratio);
    if (!m_digits->draw(p, bottom, m_face.left)) {
        p.setFont(font);
        p.setPen(colour);
        p.drawText(bottom, Qt::AlignRight | Qt::AlignVCenter, m_face.left);
    }
}

void PadClock::drawFace(QPainter& p) const {
    if (m_face.state == PadTimes::State::Empty || m_face.state == PadTimes::State::Ready)
        return;
    p.setRenderHint(QPainter::Antialiasing);
    const qreal h = height();
    const qreal margin = std::max<qreal>(2, h * 0.12);
    const QColor accent = accentOf(m_face.state, m_face.fading, m_face.cue);

    const qreal radius = h * 0.16;
    p.setPen(QPen(m_face.warn ? kWarn.lighter(130) : accent, 1));
    p.setBrush(m_face.warn ? kWarn : kChip);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);

    // Upper row: state mark, time played, loop mark; the lower row holds the time left.
    const qreal upper = h * 0.4;
    const QRectF top(margin, 0, width() - 2 * margin, upper);
    const qreal mark = upper * 0.56;
    const QRectF markBox(top.left(), top.center().y() - mark / 2 + 1, mark, mark);
    drawMark(p, markBox, m_face.warn ? kText : accent);
    p.setFont(clockFont(h, false));
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

// ---- progress line ------------------------------------------------------------------------

PadProgress::PadProgress(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("padProgress"));
    // The picture below keeps its double-click and its menu.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // Opaque: a step of the line repaints the line's changed pixels, not the picture below.
    setAttribute(Qt::WA_OpaquePaintEvent);
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
    const bool recoloured = t.state != m_times.state || t.fading != m_times.fading ||
                            t.cue != m_times.cue || endIsNear(t) != endIsNear(m_times);
    const int before = m_filled;
    m_times = t;
    m_filled = filled;
    if (visible != isVisible())
        setVisible(visible);
    else if (visible && recoloured)
        update();
    else if (visible && filled != before)
        update(QRect(std::min(before, filled), 0, std::abs(filled - before), height()));
}

void PadProgress::resizeEvent(QResizeEvent*) {
    m_filled = filledFor(m_times);
}

void PadProgress::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kChip);
    const QColor colour =
        endIsNear(m_times)
            ? kWarn
            : accentOf(m_times.state, m_times.fading && m_times.state == PadTimes::State::Playing,
                       m_times.cue);
    p.fillRect(QRect(0, 0, m_filled, height()), colour);
}
