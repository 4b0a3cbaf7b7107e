#pragma once
// TGradPan: a panel that paints its own face. Over the ordinary panel painting it lays a
// background effect (a flat colour, one of eight two-colour gradients in 100 bands, or a
// stretched or tiled bitmap), then its caption with an optional rotation and one of five text
// effects, then a bevel frame in fixed white and grey. While Moveable is set, the user drags
// the panel by its body and sizes it by its edges.
//
// Geometry follows the pixel rules the panel was designed with: a rectangle (l, t, r, b)
// covers the pixels l..r-1 and t..b-1, a line leaves out its end point, and text is anchored
// at the top of its character cell.

#include "colorvalue.h"

#include <QFont>
#include <QImage>
#include <QWidget>
#include <array>
#include <functional>

class QPainter;

// The 100 colours of a gradient, 0x00BBGGRR each.
using TGrArray = std::array<colorvalue::TColor, 100>;

// Sender-only callback, as the panel's move notification passes it.
using TNotifyEvent = std::function<void(QObject* sender)>;

namespace gradpan {

// a * b / c rounded to the nearest integer, halves away from zero; -1 when c is 0 or the
// result does not fit an int.
int mulDiv(int a, int b, int c);

// The colour ramp from `start` to `finish` (explicit colours; the high byte is ignored):
// entry i holds start + i * (finish - start) / 100 per channel, computed in 80-bit extended
// arithmetic and truncated, so entry 99 stops one step short of `finish`.
TGrArray colorRamp(colorvalue::TColor start, colorvalue::TColor finish);

// The ramp entry that band `band` (0..99) shows: straight bands take their own entry,
// mirrored ones run 1, 3, .., 99 to the middle and 98, 96, .., 0 back out.
int bandEntry(int band, bool mirrored);

} // namespace gradpan

// A picture owned by a panel. Every change made through it raises changed().
class TBitmap : public QObject {
    Q_OBJECT
public:
    explicit TBitmap(QObject* parent = nullptr);

    const QImage& image() const { return m_image; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    // Holds no image: zero width or height.
    bool empty() const { return m_width <= 0 || m_height <= 0; }

    // Resizing keeps the overlapping part; new pixels are white. A size too large to hold
    // throws ECueError and leaves the bitmap as it was.
    void setWidth(int width);
    void setHeight(int height);
    void setSize(int width, int height);
    // Copies a picture in; a null image or a null source leaves the bitmap empty.
    void assign(const QImage& picture);
    void assign(const TBitmap* source);
    // Draws on the picture with `draw`, then notifies. Does nothing on an empty bitmap.
    void paint(const std::function<void(QPainter&)>& draw);

signals:
    void changed();

private:
    QImage m_image;
    int m_width = 0;
    int m_height = 0;
};

// The panel's drawing canvas: the backing image that every paint of the panel renders into
// before it goes to the screen, plus the drawing operations the painting uses. The image keeps
// the last painted face between paints; the operations work only during a paint.
class TCanvas {
public:
    // Text alignment flags: the anchor is the top of the cell and its left end, right end or
    // centre.
    static constexpr int TA_LEFT = 0;
    static constexpr int TA_RIGHT = 2;
    static constexpr int TA_CENTER = 6;

    const QImage& image() const { return m_image; }
    bool painting() const { return m_painter != nullptr; }

    // The font text is measured and written in.
    QFont font;

    // Fills (l, t)-(r, b), right and bottom edges excluded.
    void fillRect(int l, int t, int r, int b, const QColor& color);
    // The one-pixel outline just inside (l, t)-(r, b), right and bottom edges excluded.
    void frameRect(int l, int t, int r, int b, const QColor& color);
    // A one-pixel line from (x0, y0) to (x1, y1), the end point left out.
    void line(int x0, int y0, int x1, int y1, const QColor& color);
    // The picture at its own size with its top-left corner at (x, y).
    void draw(int x, int y, const QImage& picture);
    // `columns` x `rows` copies of the picture at its own size, side by side from (x, y).
    void tile(int x, int y, int columns, int rows, const QImage& picture);
    // The picture scaled to (l, t)-(r, b), right and bottom edges excluded, nearest pixel.
    void stretchDraw(int l, int t, int r, int b, const QImage& picture);
    // Height of `text`'s cell in the canvas font.
    int textHeight(const QString& text) const;
    // Writes `text` at (x, y) by the alignment flags, turned counter-clockwise by
    // `escapement` tenths of a degree (0, 900 or 2700). Nothing but the glyphs is painted.
    void textOut(int x, int y, const QString& text, const QColor& color, int align,
                 int escapement = 0);
    // Draws `text` in one line inside (l, t)-(r, b) with Qt alignment flags, "&" marking a
    // mnemonic, as the plain panel writes its caption.
    void drawText(int l, int t, int r, int b, const QString& text, const QColor& color,
                  int qtFlags);

private:
    friend class TGradPan;
    bool begin(const QSize& size);
    void end();

    QImage m_image;
    QPainter* m_painter = nullptr;
};

class TGradPan : public QWidget {
    Q_OBJECT
    // The plain panel's properties.
    Q_PROPERTY(QString Caption READ Caption WRITE setCaption)
    Q_PROPERTY(QFont Font READ font WRITE setFont)
    Q_PROPERTY(colorvalue::TColor FontColor READ FontColor WRITE setFontColor)
    Q_PROPERTY(colorvalue::TColor Color READ Color WRITE setColor)
    Q_PROPERTY(TAlignment Alignment READ Alignment WRITE setAlignment)
    Q_PROPERTY(TPanelBevel BevelOuter READ BevelOuter WRITE setBevelOuter)
    Q_PROPERTY(TPanelBevel BevelInner READ BevelInner WRITE setBevelInner)
    Q_PROPERTY(int BevelWidth READ BevelWidth WRITE setBevelWidth)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE setBorderWidth)
    Q_PROPERTY(int Width READ width WRITE setWidth)
    Q_PROPERTY(int Height READ height WRITE setHeight)
    Q_PROPERTY(bool ShowCaption READ ShowCaption WRITE setShowCaption)
    Q_PROPERTY(bool FullRepaint READ FullRepaint WRITE setFullRepaint)
    // The panel's own properties.
    Q_PROPERTY(TBitmap* Bitmap READ Bitmap WRITE setBitmap)
    Q_PROPERTY(TDirection BackGroundEffect READ BackGroundEffect WRITE setBackGroundEffect)
    Q_PROPERTY(colorvalue::TColor ColorEnd READ ColorEnd WRITE setColorEnd)
    Q_PROPERTY(colorvalue::TColor ColorShadow READ ColorShadow WRITE setColorShadow)
    Q_PROPERTY(colorvalue::TColor ColorStart READ ColorStart WRITE setColorStart)
    Q_PROPERTY(bool Ctl3D READ Ctl3D WRITE setCtl3D)
    Q_PROPERTY(TTextEffect TextEffect READ TextEffect WRITE setTextEffect)
    Q_PROPERTY(TTextRotation TextRotation READ TextRotation WRITE setTextRotation)
    Q_PROPERTY(TVertAlign VertAlign READ VertAlign WRITE setVertAlign)
    Q_PROPERTY(int Marge READ Marge WRITE setMarge)
    Q_PROPERTY(TNotifyEvent OnPanelMove READ OnPanelMove WRITE setOnPanelMove)
    Q_PROPERTY(bool Moveable READ Moveable WRITE setMoveable)
    Q_PROPERTY(TCanvas* canvas READ canvas)

public:
    enum TAlignment { taLeftJustify = 0, taRightJustify = 1, taCenter = 2 };
    Q_ENUM(TAlignment)
    enum TPanelBevel { bvNone = 0, bvLowered = 1, bvRaised = 2, bvSpace = 3 };
    Q_ENUM(TPanelBevel)
    enum TDirection {
        bdFlat = 0,
        bdStretchImage = 1,
        bdTileImage = 2,
        bdUp = 3,
        bdDown = 4,
        bdLeft = 5,
        bdRight = 6,
        bdHorzIn = 7,
        bdHorzOut = 8,
        bdVertIn = 9,
        bdVertOut = 10
    };
    Q_ENUM(TDirection)
    enum TVertAlign { vlTop = 0, vlCenter = 1, VlBottom = 2 };
    Q_ENUM(TVertAlign)
    enum TTextEffect { tenone = 0, teShadow = 1, teRaised = 2, teLowered = 3, teEmbossed = 4 };
    Q_ENUM(TTextEffect)
    enum TTextRotation { trNone = 0, TrUp = 1, TrDown = 2 };
    Q_ENUM(TTextRotation)

    // Answers of the hit test of a movable panel.
    enum THitTest {
        HTNOWHERE = 0,
        HTCLIENT = 1,
        HTCAPTION = 2,
        HTLEFT = 10,
        HTRIGHT = 11,
        HTTOP = 12,
        HTTOPLEFT = 13,
        HTTOPRIGHT = 14,
        HTBOTTOM = 15,
        HTBOTTOMLEFT = 16,
        HTBOTTOMRIGHT = 17
    };
    Q_ENUM(THitTest)

    explicit TGradPan(QWidget* parent = nullptr);
    ~TGradPan() override;

    const QString& Caption() const { return m_caption; }
    void setCaption(const QString& caption);
    // Colour of the caption's face (the font's colour).
    colorvalue::TColor FontColor() const { return m_fontColor; }
    void setFontColor(colorvalue::TColor color);
    colorvalue::TColor Color() const { return m_color; }
    void setColor(colorvalue::TColor color);
    TAlignment Alignment() const { return m_alignment; }
    void setAlignment(TAlignment alignment);
    TPanelBevel BevelOuter() const { return m_bevelOuter; }
    void setBevelOuter(TPanelBevel bevel);
    TPanelBevel BevelInner() const { return m_bevelInner; }
    void setBevelInner(TPanelBevel bevel);
    int BevelWidth() const { return m_bevelWidth; }
    void setBevelWidth(int width);
    int BorderWidth() const { return m_borderWidth; }
    void setBorderWidth(int width);
    void setWidth(int width);
    void setHeight(int height);
    bool ShowCaption() const { return m_showCaption; }
    void setShowCaption(bool show);
    bool FullRepaint() const { return m_fullRepaint; }
    void setFullRepaint(bool full);

    // The panel's own bitmap (not a copy); changes made through it notify the panel.
    TBitmap* Bitmap() const { return m_bitmap; }
    // Copies `bitmap`'s picture into the panel's own bitmap (nullptr empties it).
    void setBitmap(TBitmap* bitmap);
    TDirection BackGroundEffect() const { return m_dir; }
    void setBackGroundEffect(TDirection effect);
    colorvalue::TColor ColorEnd() const { return m_colorEnd; }
    void setColorEnd(colorvalue::TColor color);
    colorvalue::TColor ColorShadow() const { return m_colorShadow; }
    void setColorShadow(colorvalue::TColor color);
    colorvalue::TColor ColorStart() const { return m_colorStart; }
    void setColorStart(colorvalue::TColor color);
    bool Ctl3D() const { return m_ctl3D; }
    void setCtl3D(bool ctl3D);
    TTextEffect TextEffect() const { return m_textEffect; }
    void setTextEffect(TTextEffect effect);
    TTextRotation TextRotation() const { return m_textRotation; }
    void setTextRotation(TTextRotation rotation);
    TVertAlign VertAlign() const { return m_vertAlign; }
    void setVertAlign(TVertAlign align);
    int Marge() const { return m_marge; }
    void setMarge(int marge) { m_marge = marge; }
    const TNotifyEvent& OnPanelMove() const { return m_onPanelMove; }
    void setOnPanelMove(TNotifyEvent handler) { m_onPanelMove = std::move(handler); }
    bool Moveable() const { return m_moveable; }
    void setMoveable(bool moveable);

    TCanvas* canvas() { return &m_canvas; }
    // The colour table of the last gradient paint.
    const TGrArray& colorTable() const { return m_ga; }

    // Where a point of the panel (client coordinates) lies for moving and sizing: one of the
    // edge and corner zones, Marge pixels wide, or HTCAPTION for the body. A panel that is not
    // movable answers HTCLIENT, like any other control.
    THitTest hitTest(const QPoint& point) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void Paint();
    void paintBasePanel();
    void paintBackground();
    void paintGradient(colorvalue::TColor from, colorvalue::TColor to, bool columns, bool mirrored);
    void paintBitmap();
    void paintCaption();
    void paintFrame();
    void paintBevel(int offset, TPanelBevel cut);
    // Invalidates the whole panel and paints it before returning.
    void repaintNow();
    void bitmapChanged();
    void showCursorFor(THitTest zone);
    QColor qcolor(colorvalue::TColor color) const;

    // Plain panel state.
    QString m_caption;
    colorvalue::TColor m_fontColor = colorvalue::clWindowText;
    colorvalue::TColor m_color = colorvalue::clBtnFace;
    TAlignment m_alignment = taCenter;
    TPanelBevel m_bevelOuter = bvRaised;
    TPanelBevel m_bevelInner = bvNone;
    int m_bevelWidth = 1;
    int m_borderWidth = 0;
    bool m_showCaption = true;
    bool m_fullRepaint = true;

    // The panel's own state.
    TDirection m_dir = bdVertIn;
    TVertAlign m_vertAlign = vlCenter;
    colorvalue::TColor m_colorEnd = colorvalue::clWhite;
    colorvalue::TColor m_colorStart = colorvalue::clTeal;
    colorvalue::TColor m_colorShadow = colorvalue::clGray;
    TTextEffect m_textEffect = teShadow;
    TTextRotation m_textRotation = trNone;
    bool m_ctl3D = false;
    TBitmap* m_bitmap = nullptr;
    TGrArray m_ga{};
    int m_marge = 6;
    TNotifyEvent m_onPanelMove;
    bool m_moveable = false;

    TCanvas m_canvas;

    // A drag in progress: the zone grabbed, the cursor's screen position and the panel's
    // geometry when it began.
    THitTest m_dragZone = HTNOWHERE;
    QPoint m_dragStart;
    QRect m_dragGeometry;
};
