#include "gradpan.h"

#include "dialogs.h"
#include "errors.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>

using colorvalue::TColor;

namespace {
// Above this many tiles the tiled background is laid as one texture fill.
constexpr long long kMaxSingleTiles = 1024;
// Bevel and border widths are kept to this, so that offsets never overflow.
constexpr int kMaxFrameWidth = 32767;
// Of `lines` nested one-pixel rings from the edge inward, the ones that can touch a canvas of
// `size`: the others lie wholly outside it and are skipped.
int visibleRings(int lines, const QSize& size) {
    return std::min(lines, std::max(size.width(), size.height()) + 1);
}
} // namespace

// The ramp's rounding (product and sum each rounded to a 64-bit mantissa) is what makes
// 128 -> 0 give 95 at entry 25 rather than 96; it needs the x87 extended type.
static_assert(std::numeric_limits<long double>::digits == 64,
              "the colour ramp needs 80-bit extended long double");

namespace gradpan {

int mulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    const long long product = static_cast<long long>(a) * b;
    const long long num = product < 0 ? -product : product;
    const long long den = c < 0 ? -static_cast<long long>(c) : c;
    long long q = (num + den / 2) / den;
    if ((product < 0) != (c < 0))
        q = -q;
    if (q > INT_MAX || q < INT_MIN)
        return -1;
    return static_cast<int>(q);
}

TGrArray colorRamp(TColor start, TColor finish) {
    const int s[3] = {colorvalue::redOf(start), colorvalue::greenOf(start),
                      colorvalue::blueOf(start)};
    const int f[3] = {colorvalue::redOf(finish), colorvalue::greenOf(finish),
                      colorvalue::blueOf(finish)};
    double step[3];
    for (int ch = 0; ch < 3; ++ch)
        step[ch] = static_cast<double>(static_cast<long double>(f[ch] - s[ch]) / 100.0L);
    TGrArray ga{};
    for (int i = 0; i < 100; ++i) {
        int v[3];
        for (int ch = 0; ch < 3; ++ch) {
            const long double product =
                static_cast<long double>(i) * static_cast<long double>(step[ch]);
            const long double sum = static_cast<long double>(s[ch]) + product;
            v[ch] = static_cast<int>(sum); // toward zero
        }
        ga[i] = colorvalue::rgb(v[0], v[1], v[2]);
    }
    return ga;
}

int bandEntry(int band, bool mirrored) {
    if (!mirrored)
        return band;
    return band < 50 ? 2 * band + 1 : 198 - 2 * band;
}

} // namespace gradpan

// ---------------------------------------------------------------------------------------------
// TGradPan

TGradPan::TGradPan(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted by the panel itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(185, 41);

    // The default picture: white, with a black outline drawn as the rectangle (0, 0)-(49, 49)
    // whose right and bottom edges are left out, so column 49 and row 49 stay white.
    m_bitmap = new TBitmap(this);
    m_bitmap->setWidth(50);
    m_bitmap->setHeight(50);
    m_bitmap->paint([](QPainter& p) {
        p.fillRect(0, 0, 49, 1, Qt::black);
        p.fillRect(0, 48, 49, 1, Qt::black);
        p.fillRect(0, 0, 1, 49, Qt::black);
        p.fillRect(48, 0, 1, 49, Qt::black);
    });
    connect(m_bitmap, &TBitmap::changed, this, &TGradPan::bitmapChanged);
}

TGradPan::~TGradPan() {
    delete m_bitmap;
    m_bitmap = nullptr;
}

QColor TGradPan::qcolor(TColor color) const {
    return colorvalue::toQColor(color, palette());
}

// Plain panel properties: they take effect with the next paint.

void TGradPan::setCaption(const QString& caption) {
    m_caption = caption;
    update();
}
void TGradPan::setFontColor(TColor color) {
    m_fontColor = color;
    update();
}
void TGradPan::setColor(TColor color) {
    m_color = color;
    update();
}
void TGradPan::setAlignment(TAlignment alignment) {
    m_alignment = alignment;
    update();
}
void TGradPan::setBevelOuter(TPanelBevel bevel) {
    m_bevelOuter = bevel;
    update();
}
void TGradPan::setBevelInner(TPanelBevel bevel) {
    m_bevelInner = bevel;
    update();
}
void TGradPan::setBevelWidth(int width) {
    m_bevelWidth = std::clamp(width, 1, kMaxFrameWidth);
    update();
}
void TGradPan::setBorderWidth(int width) {
    m_borderWidth = std::clamp(width, 0, kMaxFrameWidth);
    update();
}
void TGradPan::setWidth(int width) {
    resize(width, height());
}
void TGradPan::setHeight(int height) {
    resize(width(), height);
}
void TGradPan::setShowCaption(bool show) {
    m_showCaption = show;
    update();
}
void TGradPan::setFullRepaint(bool full) {
    m_fullRepaint = full;
    // Without a full repaint only the newly exposed part is painted after a resize.
    setAttribute(Qt::WA_StaticContents, !full);
}

// The panel's own look: every write repaints at once, even with an unchanged value.

void TGradPan::repaintNow() {
    repaint();
}

void TGradPan::setBitmap(TBitmap* bitmap) {
    m_bitmap->assign(bitmap);
}

void TGradPan::bitmapChanged() {
    dialogs::guarded([this] {
        if (m_dir == bdStretchImage || m_dir == bdTileImage)
            repaintNow();
    });
}

void TGradPan::setBackGroundEffect(TDirection effect) {
    m_dir = effect;
    repaintNow();
}
void TGradPan::setColorEnd(TColor color) {
    m_colorEnd = color;
    repaintNow();
}
void TGradPan::setColorShadow(TColor color) {
    m_colorShadow = color;
    repaintNow();
}
void TGradPan::setColorStart(TColor color) {
    m_colorStart = color;
    repaintNow();
}
void TGradPan::setCtl3D(bool ctl3D) {
    m_ctl3D = ctl3D;
    repaintNow();
}
void TGradPan::setTextEffect(TTextEffect effect) {
    m_textEffect = effect;
    repaintNow();
}
void TGradPan::setTextRotation(TTextRotation rotation) {
    m_textRotation = rotation;
    repaintNow();
}
void TGradPan::setVertAlign(TVertAlign align) {
    m_vertAlign = align;
    repaintNow();
}

void TGradPan::setMoveable(bool moveable) {
    m_moveable = moveable;
    // Hovering shows the edge cursors only on a movable panel.
    setMouseTracking(moveable);
    if (!moveable) {
        m_dragZone = HTNOWHERE;
        unsetCursor();
    }
}

// ---------------------------------------------------------------------------------------------
// Painting

void TGradPan::paintEvent(QPaintEvent*) {
    dialogs::guarded([this] {
        if (m_canvas.begin(size())) {
            struct EndPaint {
                TCanvas& canvas;
                ~EndPaint() { canvas.end(); }
            } endPaint{m_canvas};
            Paint();
        }
        if (!m_canvas.image().isNull()) {
            QPainter screen(this);
            screen.drawImage(0, 0, m_canvas.image());
        }
    });
}

void TGradPan::Paint() {
    m_canvas.font = font();
    paintBasePanel();
    paintBackground();
    paintCaption();
    paintFrame();
}

// The plain panel: outer bevel, border band and inner bevel in the system's 3D colours,
// the rest in Color, and the caption centred vertically.
void TGradPan::paintBasePanel() {
    const QColor face = qcolor(m_color);
    const QColor light = qcolor(colorvalue::clBtnHighlight);
    const QColor dark = qcolor(colorvalue::clBtnShadow);
    int l = 0, t = 0, r = width(), b = height();

    auto frame3D = [&](const QColor& top, const QColor& bottom, int lines) {
        --r;
        --b;
        const int hidden = lines - visibleRings(lines, size());
        for (lines -= hidden; lines > 0; --lines) {
            m_canvas.line(l, b, l, t, top);
            m_canvas.line(l, t, r, t, top);
            m_canvas.line(r, t, r, b, bottom);
            m_canvas.line(r, b, l - 1, b, bottom);
            ++l;
            ++t;
            --r;
            --b;
        }
        l += hidden;
        t += hidden;
        r -= hidden;
        b -= hidden;
        ++r;
        ++b;
    };
    auto bevel = [&](TPanelBevel cut) {
        if (cut == bvRaised)
            frame3D(light, dark, m_bevelWidth);
        else if (cut == bvLowered)
            frame3D(dark, light, m_bevelWidth);
        else if (cut == bvSpace)
            frame3D(face, face, m_bevelWidth);
    };

    bevel(m_bevelOuter);
    frame3D(face, face, m_borderWidth);
    bevel(m_bevelInner);
    m_canvas.fillRect(l, t, r, b, face);
    if (m_showCaption && !m_caption.isEmpty()) {
        int flags = Qt::AlignVCenter | Qt::AlignAbsolute;
        flags |= m_alignment == taLeftJustify    ? Qt::AlignLeft
                 : m_alignment == taRightJustify ? Qt::AlignRight
                                                 : Qt::AlignHCenter;
        m_canvas.drawText(l, t, r, b, m_caption, qcolor(m_fontColor), flags);
    }
}

void TGradPan::paintBackground() {
    switch (m_dir) {
    case bdStretchImage:
    case bdTileImage:
        paintBitmap();
        return;
    case bdUp:
        paintGradient(m_colorStart, m_colorEnd, false, false);
        return;
    case bdDown:
        paintGradient(m_colorEnd, m_colorStart, false, false);
        return;
    case bdLeft:
        paintGradient(m_colorStart, m_colorEnd, true, false);
        return;
    case bdRight:
        paintGradient(m_colorEnd, m_colorStart, true, false);
        return;
    case bdHorzIn:
        paintGradient(m_colorStart, m_colorEnd, false, true);
        return;
    case bdHorzOut:
        paintGradient(m_colorEnd, m_colorStart, false, true);
        return;
    case bdVertIn:
        paintGradient(m_colorStart, m_colorEnd, true, true);
        return;
    case bdVertOut:
        paintGradient(m_colorEnd, m_colorStart, true, true);
        return;
    case bdFlat:
    default:
        m_canvas.fillRect(0, 0, width(), height(), qcolor(m_colorStart));
        return;
    }
}

// 100 bands across the panel, whatever its size; a band whose two boundaries meet is empty.
void TGradPan::paintGradient(TColor from, TColor to, bool columns, bool mirrored) {
    const QPalette& pal = palette();
    m_ga = gradpan::colorRamp(colorvalue::toRGB(from, pal), colorvalue::toRGB(to, pal));
    const int w = width(), h = height();
    for (int i = 0; i < 100; ++i) {
        const TColor c = m_ga[gradpan::bandEntry(i, mirrored)];
        const QColor color(colorvalue::redOf(c), colorvalue::greenOf(c), colorvalue::blueOf(c));
        if (columns)
            m_canvas.fillRect(gradpan::mulDiv(i, w, 100), 0, gradpan::mulDiv(i + 1, w, 100), h,
                              color);
        else
            m_canvas.fillRect(0, gradpan::mulDiv(i, h, 100), w, gradpan::mulDiv(i + 1, h, 100),
                              color);
    }
}

void TGradPan::paintBitmap() {
    const int w = width(), h = height();
    if (!m_bitmap || m_bitmap->empty()) {
        m_canvas.fillRect(0, 0, w, h, qcolor(m_colorStart));
        return;
    }
    const int m = m_ctl3D ? m_borderWidth + 2 * m_bevelWidth : 0;
    const QImage& picture = m_bitmap->image();
    if (m_dir == bdStretchImage) {
        m_canvas.stretchDraw(m, m, w - m - 1, h - m - 1, picture);
        return;
    }
    const int bw = picture.width(), bh = picture.height();
    const int columns = (w - 2 * m) / bw + 1;
    const int rows = (h - 2 * m) / bh + 1;
    if (columns < 1 || rows < 1)
        return;
    // Column by column, top to bottom; tiles past the right or bottom edge are clipped. A tiny
    // picture on a large panel would take tens of thousands of draws: lay those as one
    // texture fill, which puts down the same pixels.
    if (static_cast<long long>(columns) * rows > kMaxSingleTiles) {
        m_canvas.tile(m, m, columns, rows, picture);
        return;
    }
    for (int c = 1; c <= columns; ++c)
        for (int r = 1; r <= rows; ++r)
            m_canvas.draw(m + (c - 1) * bw, m + (r - 1) * bh, picture);
}

void TGradPan::paintCaption() {
    const int w = width(), h = height();
    const int M = m_borderWidth + m_bevelWidth;
    const int TH = m_canvas.textHeight(QStringLiteral("^_"));
    int x = 0, y = 0, align = TCanvas::TA_LEFT, escapement = 0;

    switch (m_textRotation) {
    case trNone:
        switch (m_alignment) {
        case taLeftJustify:
            x = M + 2;
            align = TCanvas::TA_LEFT;
            break;
        case taRightJustify:
            x = w - M - 2;
            align = TCanvas::TA_RIGHT;
            break;
        case taCenter:
            x = w / 2;
            align = TCanvas::TA_CENTER;
            break;
        }
        switch (m_vertAlign) {
        case vlTop:
            y = M + 2;
            break;
        case vlCenter:
            y = h / 2 - TH / 2;
            break;
        case VlBottom:
            y = h - M - TH - 1;
            break;
        }
        break;
    case TrUp: // runs upward; the cell lies to the right of the anchor
        escapement = 900;
        switch (m_alignment) {
        case taLeftJustify:
            x = M + 2;
            break;
        case taRightJustify:
            x = w - M - TH - 1;
            break;
        case taCenter:
            x = w / 2 - TH / 2;
            break;
        }
        switch (m_vertAlign) {
        case vlTop:
            y = M + 2;
            align = TCanvas::TA_RIGHT;
            break;
        case vlCenter:
            y = h / 2 - TH / 2;
            align = TCanvas::TA_CENTER;
            break;
        case VlBottom:
            y = h - M - 1;
            align = TCanvas::TA_LEFT;
            break;
        }
        break;
    case TrDown: // runs downward; the cell lies to the left of the anchor
        escapement = 2700;
        switch (m_alignment) {
        case taLeftJustify:
            x = TH + M + 1;
            break;
        case taRightJustify:
            x = w - M - 2;
            break;
        case taCenter:
            x = TH / 2 + w / 2;
            break;
        }
        switch (m_vertAlign) {
        case vlTop:
            y = M + 1;
            align = TCanvas::TA_LEFT;
            break;
        case vlCenter:
            y = h / 2 - TH / 2;
            align = TCanvas::TA_CENTER;
            break;
        case VlBottom:
            y = h - M - 2;
            align = TCanvas::TA_RIGHT;
            break;
        }
        break;
    }

    if (m_caption.isEmpty())
        return;
    const QColor face = qcolor(m_fontColor);
    const QColor shadow = qcolor(m_colorShadow);
    const QColor black(0, 0, 0);
    auto out = [&](int dx, int dy, const QColor& color) {
        m_canvas.textOut(x + dx, y + dy, m_caption, color, align, escapement);
    };
    switch (m_textEffect) {
    case tenone:
        out(0, 0, shadow);
        break;
    case teShadow:
        out(1, 1, shadow);
        out(0, 0, face);
        break;
    case teRaised:
        out(-1, 0, shadow);
        out(0, -1, shadow);
        out(1, 0, black);
        out(0, 1, black);
        out(0, 0, face);
        break;
    case teLowered:
        out(1, 0, shadow);
        out(0, 1, shadow);
        out(-1, 0, black);
        out(0, -1, black);
        out(0, 0, face);
        break;
    case teEmbossed:
        out(-1, 0, shadow);
        out(1, 0, shadow);
        out(0, -1, shadow);
        out(0, 1, shadow);
        out(0, 0, face);
        break;
    }
}

// One bevel at `offset`: highlight lines along the top and left, then shadow lines along the
// bottom and right, BevelWidth of each, in fixed colours whatever the theme.
void TGradPan::paintBevel(int o, TPanelBevel cut) {
    const QColor white(0xFF, 0xFF, 0xFF), grey(0x80, 0x80, 0x80);
    const QColor highlight = cut == bvRaised ? white : grey;
    const QColor shadow = cut == bvRaised ? grey : white;
    const int w = width(), h = height();
    const int lines = visibleRings(m_bevelWidth, size());
    for (int i = 0; i < lines; ++i) {
        m_canvas.line(o + i, o + i, w - o - i, o + i, highlight);
        m_canvas.line(o + i, o + i, o + i, h - o - i, highlight);
    }
    for (int i = 0; i < lines; ++i) {
        m_canvas.line(o + i, h - o - i - 1, w - o - i, h - o - i - 1, shadow);
        m_canvas.line(w - o - i - 1, h - o - i - 1, w - o - i - 1, o + i, shadow);
    }
}

void TGradPan::paintFrame() {
    if (m_bevelOuter != bvNone)
        paintBevel(0, m_bevelOuter);
    const int inner = (m_bevelOuter != bvNone ? m_bevelWidth : 1) + m_borderWidth;
    if (m_bevelInner != bvNone)
        paintBevel(inner, m_bevelInner);
    if (m_ctl3D && m_bevelInner != bvNone) {
        // The border band between the bevels, in Color.
        const int p = m_bevelOuter != bvNone ? m_bevelWidth - 1 : 0;
        const QColor face = qcolor(m_color);
        const int w = width(), h = height();
        for (int k = 1, rings = visibleRings(m_borderWidth, size()); k <= rings; ++k)
            m_canvas.frameRect(p + k, p + k, w - p - k, h - p - k, face);
    }
}

// ---------------------------------------------------------------------------------------------
// Moving and sizing

TGradPan::THitTest TGradPan::hitTest(const QPoint& point) const {
    if (!m_moveable)
        return HTCLIENT;
    const int x = point.x(), y = point.y(), m = m_marge;
    const int w = width(), h = height();
    if (x < m && y < m)
        return HTTOPLEFT;
    if (x < m && h - y < m)
        return HTBOTTOMLEFT;
    if (x < m)
        return HTLEFT;
    if (w - x < m && y < m)
        return HTTOPRIGHT;
    if (w - x < m && h - y < m)
        return HTBOTTOMRIGHT;
    if (w - x < m)
        return HTRIGHT;
    if (y < m)
        return HTTOP;
    if (h - y < m)
        return HTBOTTOM;
    return HTCAPTION;
}

void TGradPan::showCursorFor(THitTest zone) {
    switch (zone) {
    case HTTOPLEFT:
    case HTBOTTOMRIGHT:
        setCursor(Qt::SizeFDiagCursor);
        break;
    case HTTOPRIGHT:
    case HTBOTTOMLEFT:
        setCursor(Qt::SizeBDiagCursor);
        break;
    case HTLEFT:
    case HTRIGHT:
        setCursor(Qt::SizeHorCursor);
        break;
    case HTTOP:
    case HTBOTTOM:
        setCursor(Qt::SizeVerCursor);
        break;
    default:
        setCursor(Qt::ArrowCursor);
        break;
    }
}

void TGradPan::mousePressEvent(QMouseEvent* event) {
    if (!m_moveable || event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    dialogs::guarded([&] {
        m_dragZone = hitTest(event->position().toPoint());
        m_dragStart = event->globalPosition().toPoint();
        m_dragGeometry = geometry();
        showCursorFor(m_dragZone);
        event->accept();
    });
}

void TGradPan::mouseMoveEvent(QMouseEvent* event) {
    if (!m_moveable) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    dialogs::guarded([&] {
        event->accept();
        if (m_dragZone == HTNOWHERE || !(event->buttons() & Qt::LeftButton)) {
            m_dragZone = HTNOWHERE;
            showCursorFor(hitTest(event->position().toPoint()));
            return;
        }
        // The cursor counts only while it stays over the parent, so the panel cannot be
        // dragged out of reach.
        QPoint cursor = event->globalPosition().toPoint();
        if (const QWidget* parent = parentWidget(); parent && !parent->size().isEmpty()) {
            const QPoint origin = parent->mapToGlobal(QPoint(0, 0));
            cursor.setX(std::clamp(cursor.x(), origin.x(), origin.x() + parent->width() - 1));
            cursor.setY(std::clamp(cursor.y(), origin.y(), origin.y() + parent->height() - 1));
        }
        const int dx = cursor.x() - m_dragStart.x(), dy = cursor.y() - m_dragStart.y();
        int l = m_dragGeometry.x(), t = m_dragGeometry.y();
        int r = l + m_dragGeometry.width(), b = t + m_dragGeometry.height();
        const int minW = std::max(minimumWidth(), 1), minH = std::max(minimumHeight(), 1);
        const THitTest z = m_dragZone;
        if (z == HTCAPTION) {
            l += dx;
            r += dx;
            t += dy;
            b += dy;
        }
        if (z == HTLEFT || z == HTTOPLEFT || z == HTBOTTOMLEFT)
            l = std::min(l + dx, r - minW);
        if (z == HTRIGHT || z == HTTOPRIGHT || z == HTBOTTOMRIGHT)
            r = std::max(r + dx, l + minW);
        if (z == HTTOP || z == HTTOPLEFT || z == HTTOPRIGHT)
            t = std::min(t + dy, b - minH);
        if (z == HTBOTTOM || z == HTBOTTOMLEFT || z == HTBOTTOMRIGHT)
            b = std::max(b + dy, t + minH);
        setGeometry(l, t, r - l, b - t);
    });
}

void TGradPan::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_moveable || m_dragZone == HTNOWHERE) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    dialogs::guarded([&] {
        m_dragZone = HTNOWHERE;
        showCursorFor(hitTest(event->position().toPoint()));
        event->accept();
    });
}

void TGradPan::leaveEvent(QEvent* event) {
    if (m_moveable && m_dragZone == HTNOWHERE)
        unsetCursor();
    QWidget::leaveEvent(event);
}

void TGradPan::moveEvent(QMoveEvent* event) {
    // The handler runs first, before the base widget takes note of the new position.
    dialogs::guarded([this] {
        if (m_onPanelMove)
            m_onPanelMove(this);
    });
    QWidget::moveEvent(event);
    if (m_fullRepaint)
        update();
}

void TGradPan::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The bands follow the size, so the whole face is painted again.
    if (m_fullRepaint)
        update();
}
