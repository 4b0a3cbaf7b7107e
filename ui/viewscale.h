#pragma once
// Fitting the board to any screen: one factor scales the whole window uniformly.
//
// ViewScaler records, once and at design size, everything below a window that has a size in
// pixels: the geometry of every widget placed by hand, the fixed sizes of the widgets that
// layouts place, the fonts set on widgets and the margins of layouts. apply(s) sets each to
// its design value times s. Fonts are set at the scaled pixel size, so text is laid out and
// drawn sharp at any scale, not stretched as a picture. Widgets that draw or place parts of
// their own (the transport strip's glyphs, a category panel's header) take the factor through
// a Q_INVOKABLE setViewScale(qreal) and are otherwise left to themselves.
//
// The widgets stay real widgets in their window, so keys, focus, menus, dialogs and drops
// work at every scale as at design size. At factor 1 every recorded value is its design
// value: the design-size window is exactly the window as built.

#include <QFont>
#include <QLayout>
#include <QMargins>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <optional>
#include <vector>

class QWidget;

class ViewScaler {
public:
    static constexpr qreal kMinScale = 0.4;
    static constexpr qreal kMaxScale = 2.0;

    // Records `window` and everything in it as it is now, at design size. Widgets added later
    // keep their size.
    explicit ViewScaler(QWidget* window);

    qreal scale() const { return m_scale; }
    // Sets every recorded value to its design value times `scale`.
    void apply(qreal scale);

    // The factor at which a board of `design` size fits `room`, within kMinScale..kMaxScale.
    static qreal factorFor(const QSize& room, const QSize& design);

private:
    struct Widget {
        QPointer<QWidget> widget;
        std::optional<QRect> geometry; // placed by hand
        QSize minimum;                 // set by the program (fixed sizes)
        QSize maximum;
        bool sized = false;
        std::optional<QFont> font; // set on the widget itself
        bool selfScaling = false;  // has setViewScale(qreal)
    };
    struct Layout {
        QPointer<QLayout> layout; // a widget may replace its layout

        QMargins margins;
        int spacing = -1;
    };

    void record(QWidget* w, bool placedByParent);
    void recordLayout(QLayout* layout);

    std::vector<Widget> m_widgets;
    std::vector<Layout> m_layouts;
    qreal m_scale = 1.0;
};

// Where a window goes so that it lies wholly inside `available` (a screen's free area),
// `frame` being what the window manager adds around it. A window that fits where it `wanted`
// to be stays as it is. Otherwise each side is shrunk to the room there is and no further
// than the board needs at the factor that fits (`design` is the board's design size), and the
// window is moved as little as needed to lie inside.
QRect fitWindow(const QRect& wanted, const QRect& available, const QMargins& frame,
                const QSize& design);
