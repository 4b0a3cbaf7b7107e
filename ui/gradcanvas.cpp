// The gradient panel's picture holder and the drawing surface that its painting goes through.

#include "gradpan.h"

#include "errors.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {
// The largest picture the panel's bitmap holds: 256 MB at 4 bytes a pixel.
constexpr long long kMaxBitmapPixels = 64LL * 1024 * 1024;
} // namespace

// ---------------------------------------------------------------------------------------------
// TBitmap

TBitmap::TBitmap(QObject* parent) : QObject(parent) {}

void TBitmap::setWidth(int width) {
    setSize(width, m_height);
}
void TBitmap::setHeight(int height) {
    setSize(m_width, height);
}

void TBitmap::setSize(int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    QImage resized;
    if (width > 0 && height > 0) {
        // 4 bytes a pixel; far larger pictures are refused before any allocation is tried.
        if (static_cast<long long>(width) * height <= kMaxBitmapPixels)
            resized =
                QImage(width, height, m_image.isNull() ? QImage::Format_RGB32 : m_image.format());
        if (resized.isNull())
            throw ECueError(
                QStringLiteral("ビットマップを作成できません（%1 × %2）").arg(width).arg(height));
        resized.fill(Qt::white);
        if (!m_image.isNull()) {
            QPainter p(&resized);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.drawImage(0, 0, m_image);
        }
    }
    m_image = std::move(resized);
    m_width = width;
    m_height = height;
    emit changed();
}

void TBitmap::assign(const QImage& picture) {
    if (picture.isNull()) {
        m_image = QImage();
        m_width = m_height = 0;
    } else {
        m_image = picture.convertToFormat(
            picture.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        m_width = m_image.width();
        m_height = m_image.height();
    }
    emit changed();
}

void TBitmap::assign(const TBitmap* source) {
    if (source == this) {
        emit changed();
        return;
    }
    assign(source ? source->image() : QImage());
}

void TBitmap::paint(const std::function<void(QPainter&)>& draw) {
    if (m_image.isNull())
        return;
    {
        QPainter p(&m_image);
        draw(p);
    }
    emit changed();
}

// ---------------------------------------------------------------------------------------------
// TCanvas

bool TCanvas::begin(const QSize& size) {
    if (size.isEmpty())
        return false;
    if (m_image.size() != size) {
        m_image = QImage(size, QImage::Format_RGB32);
        if (m_image.isNull())
            return false;
    }
    m_painter = new QPainter(&m_image);
    m_painter->setRenderHint(QPainter::Antialiasing, false);
    m_painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    return true;
}

void TCanvas::end() {
    delete m_painter;
    m_painter = nullptr;
}

void TCanvas::fillRect(int l, int t, int r, int b, const QColor& color) {
    if (!m_painter || r <= l || b <= t)
        return;
    m_painter->fillRect(QRect(l, t, r - l, b - t), color);
}

void TCanvas::frameRect(int l, int t, int r, int b, const QColor& color) {
    if (r <= l || b <= t)
        return;
    fillRect(l, t, r, t + 1, color);
    fillRect(l, b - 1, r, b, color);
    fillRect(l, t, l + 1, b, color);
    fillRect(r - 1, t, r, b, color);
}

void TCanvas::line(int x0, int y0, int x1, int y1, const QColor& color) {
    if (!m_painter || (x0 == x1 && y0 == y1))
        return;
    if (y0 == y1) {
        if (x0 < x1)
            fillRect(x0, y0, x1, y0 + 1, color);
        else
            fillRect(x1 + 1, y0, x0 + 1, y0 + 1, color);
        return;
    }
    if (x0 == x1) {
        if (y0 < y1)
            fillRect(x0, y0, x0 + 1, y1, color);
        else
            fillRect(x0, y1 + 1, x0 + 1, y0 + 1, color);
        return;
    }
    // Slanted lines, point by point, stopping before the end point.
    m_painter->save();
    m_painter->setPen(QPen(color, 1));
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    int x = x0, y = y0;
    while (x != x1 || y != y1) {
        m_painter->drawPoint(x, y);
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
    m_painter->restore();
}

void TCanvas::draw(int x, int y, const QImage& picture) {
    if (m_painter && !picture.isNull())
        m_painter->drawImage(x, y, picture);
}

void TCanvas::tile(int x, int y, int columns, int rows, const QImage& picture) {
    if (!m_painter || picture.isNull() || columns < 1 || rows < 1)
        return;
    const long long right = x + static_cast<long long>(columns) * picture.width();
    const long long bottom = y + static_cast<long long>(rows) * picture.height();
    const QRect area =
        QRect(QPoint(x, y), QPoint(static_cast<int>(std::min<long long>(right, INT_MAX / 2)) - 1,
                                   static_cast<int>(std::min<long long>(bottom, INT_MAX / 2)) - 1))
            .intersected(m_image.rect());
    if (area.isEmpty())
        return;
    // A texture of a few pixels fills slowly: repeat the picture into a larger texture first.
    QImage texture = picture;
    const int repeatX = (63 + picture.width()) / picture.width();
    const int repeatY = (63 + picture.height()) / picture.height();
    if (repeatX > 1 || repeatY > 1) {
        texture = QImage(picture.width() * repeatX, picture.height() * repeatY, picture.format());
        if (texture.isNull())
            return;
        QPainter p(&texture);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(texture.rect(), QBrush(picture));
    }
    m_painter->save();
    m_painter->setBrushOrigin(x, y);
    m_painter->fillRect(area, QBrush(texture));
    m_painter->restore();
}

void TCanvas::stretchDraw(int l, int t, int r, int b, const QImage& picture) {
    if (!m_painter || picture.isNull() || r <= l || b <= t)
        return;
    m_painter->drawImage(QRect(l, t, r - l, b - t), picture);
}

int TCanvas::textHeight(const QString& text) const {
    const QFontMetrics fm = m_image.isNull() ? QFontMetrics(font) : QFontMetrics(font, &m_image);
    return text.isEmpty() ? 0 : fm.height();
}

void TCanvas::textOut(int x, int y, const QString& text, const QColor& color, int align,
                      int escapement) {
    if (!m_painter || text.isEmpty())
        return;
    m_painter->save();
    m_painter->setFont(font);
    m_painter->setPen(color);
    m_painter->translate(x, y);
    if (escapement != 0)
        m_painter->rotate(-escapement / 10.0); // counter-clockwise on screen
    const QFontMetrics fm = m_painter->fontMetrics();
    const int advance = fm.horizontalAdvance(text);
    int start = 0;
    if (align == TA_RIGHT)
        start = -advance;
    else if (align == TA_CENTER)
        start = -(advance / 2);
    // The anchor is the top of the cell; Qt writes on the baseline.
    m_painter->drawText(QPoint(start, fm.ascent()), text);
    m_painter->restore();
}

void TCanvas::drawText(int l, int t, int r, int b, const QString& text, const QColor& color,
                       int qtFlags) {
    if (!m_painter || text.isEmpty() || r <= l || b <= t)
        return;
    m_painter->save();
    m_painter->setFont(font);
    m_painter->setPen(color);
    m_painter->drawText(QRect(l, t, r - l, b - t),
                        qtFlags | Qt::TextSingleLine | Qt::TextShowMnemonic | Qt::TextExpandTabs,
                        text);
    m_painter->restore();
}
