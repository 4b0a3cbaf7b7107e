#include "viewscale.h"

#include <QAbstractScrollArea>
#include <QLayout>
#include <QMainWindow>
#include <QScrollBar>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

int scaled(int design, qreal s) {
    return int(std::lround(design * s));
}

// Scaled by its edges, so that controls that touch at design size still touch.
QRect scaled(const QRect& r, qreal s) {
    const int left = scaled(r.left(), s);
    const int top = scaled(r.top(), s);
    return QRect(left, top, scaled(r.left() + r.width(), s) - left,
                 scaled(r.top() + r.height(), s) - top);
}

bool inLayout(const QLayout* layout, const QWidget* w) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->widget() == w)
            return true;
        if (item->layout() && inLayout(item->layout(), w))
            return true;
    }
    return false;
}

bool scalesItself(const QWidget* w) {
    return w->metaObject()->indexOfMethod("setViewScale(qreal)") >= 0;
}

void callSetViewScale(QWidget* w, qreal s) {
    QMetaObject::invokeMethod(w, "setViewScale", Qt::DirectConnection, Q_ARG(qreal, s));
}

// A widget whose place its parent decides: a layout's item, the central widget, or a part of
// a scroll area (its viewport, its scroll bars, the widget it scrolls).
bool placedByParent(const QWidget* w) {
    const QWidget* parent = w->parentWidget();
    if (!parent)
        return true;
    if (qobject_cast<const QMainWindow*>(parent) ||
        qobject_cast<const QAbstractScrollArea*>(parent))
        return true;
    if (const auto* area = qobject_cast<const QAbstractScrollArea*>(parent->parentWidget());
        area && area->viewport() == parent)
        return true;
    return parent->layout() && inLayout(parent->layout(), w);
}

} // namespace

ViewScaler::ViewScaler(QWidget* window) {
    record(window, true);
}

void ViewScaler::record(QWidget* w, bool parentPlaces) {
    Widget item;
    item.widget = w;
    item.selfScaling = scalesItself(w);
    if (!w->isWindow() && !parentPlaces && !placedByParent(w))
        item.geometry = w->geometry();
    if (!item.selfScaling && !parentPlaces) {
        item.minimum = w->minimumSize();
        item.maximum = w->maximumSize();
        item.sized =
            item.minimum != QSize(0, 0) || item.maximum != QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    if (w->testAttribute(Qt::WA_SetFont))
        item.font = w->font();
    if (item.geometry || item.sized || item.font || item.selfScaling)
        m_widgets.push_back(item);
    if (w->layout())
        recordLayout(w->layout());

    if (qobject_cast<QScrollBar*>(w))
        return;
    for (QObject* child : w->children()) {
        auto* cw = qobject_cast<QWidget*>(child);
        if (!cw || cw->isWindow())
            continue; // menus and dialogs keep the desktop's size
        // The parts of a widget that scales itself are its own business.
        record(cw, item.selfScaling);
    }
}

void ViewScaler::recordLayout(QLayout* layout) {
    const QMargins margins = layout->contentsMargins();
    const int spacing = layout->spacing();
    if (!margins.isNull() || spacing > 0)
        m_layouts.push_back({layout, margins, spacing});
    for (int i = 0; i < layout->count(); ++i)
        if (QLayout* inner = layout->itemAt(i)->layout())
            recordLayout(inner);
}

void ViewScaler::apply(qreal s) {
    m_scale = s;
    // Parts first, then fonts and sizes, places last: a place is limited by the size range.
    for (Widget& item : m_widgets)
        if (item.widget && item.selfScaling)
            callSetViewScale(item.widget, s);
    for (Widget& item : m_widgets) {
        if (!item.widget || !item.font)
            continue;
        if (s == 1.0) {
            item.widget->setFont(*item.font);
            continue;
        }
        QFont font = *item.font;
        if (font.pixelSize() > 0)
            font.setPixelSize(std::max(1, scaled(font.pixelSize(), s)));
        else if (font.pointSizeF() > 0)
            font.setPointSizeF(font.pointSizeF() * s);
        item.widget->setFont(font);
    }
    for (Widget& item : m_widgets) {
        if (!item.widget || !item.sized)
            continue;
        auto scaledMax = [s](int v) { return v >= QWIDGETSIZE_MAX ? v : scaled(v, s); };
        item.widget->setMinimumSize(scaled(item.minimum.width(), s),
                                    scaled(item.minimum.height(), s));
        item.widget->setMaximumSize(scaledMax(item.maximum.width()),
                                    scaledMax(item.maximum.height()));
    }
    for (Layout& l : m_layouts) {
        if (!l.layout)
            continue;
        l.layout->setContentsMargins(scaled(l.margins.left(), s), scaled(l.margins.top(), s),
                                     scaled(l.margins.right(), s), scaled(l.margins.bottom(), s));
        if (l.spacing > 0)
            l.layout->setSpacing(scaled(l.spacing, s));
    }
    for (Widget& item : m_widgets)
        if (item.widget && item.geometry)
            item.widget->setGeometry(scaled(*item.geometry, s));
}

qreal ViewScaler::factorFor(const QSize& room, const QSize& design) {
    if (design.isEmpty())
        return 1.0;
    const qreal s =
        std::min(qreal(room.width()) / design.width(), qreal(room.height()) / design.height());
    return std::clamp(s, kMinScale, kMaxScale);
}

QRect fitWindow(const QRect& wanted, const QRect& available, const QMargins& frame,
                const QSize& design) {
    const QSize extra(frame.left() + frame.right(), frame.top() + frame.bottom());
    if (!available.isValid() || available.contains(QRect(wanted.topLeft(), wanted.size() + extra)))
        return wanted;
    const QSize room = available.size() - extra;
    int width = std::min(wanted.width(), room.width());
    int height = std::min(wanted.height(), room.height());
    if (!design.isEmpty()) {
        const qreal s = std::min(qreal(width) / design.width(), qreal(height) / design.height());
        width = std::min(width, int(std::ceil(design.width() * s)));
        height = std::min(height, int(std::ceil(design.height() * s)));
    }
    width = std::max(width, 1);
    height = std::max(height, 1);
    const int right = available.left() + available.width() - (width + extra.width());
    const int bottom = available.top() + available.height() - (height + extra.height());
    const int x = std::max(available.left(), std::min(wanted.left(), right));
    const int y = std::max(available.top(), std::min(wanted.top(), bottom));
    return QRect(x, y, width, height);
}
