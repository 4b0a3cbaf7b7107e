// The gradient panel, checked on rendered pixels (grab() at device pixel ratio 1).

#include "errors.h"
#include "gradpan.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>

using colorvalue::TColor;

namespace {

QImage render(TGradPan& panel) {
    return panel.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The colour value (0x00BBGGRR) of one pixel.
TColor at(const QImage& image, int x, int y) {
    return colorvalue::fromQColor(image.pixelColor(x, y));
}

// Bounding box of the pixels of exactly one colour.
QRect inkOf(const QImage& image, TColor color) {
    int l = INT_MAX, t = INT_MAX, r = INT_MIN, b = INT_MIN;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (at(image, x, y) == color) {
                l = std::min(l, x);
                t = std::min(t, y);
                r = std::max(r, x);
                b = std::max(b, y);
            }
    return l == INT_MAX ? QRect() : QRect(QPoint(l, t), QPoint(r, b));
}

int countOf(const QImage& image, TColor color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += at(image, x, y) == color;
    return n;
}

// A crisp font, so that text pixels carry their exact colours.
QFont crispFont(int pixelSize) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(true);
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

// Counts the paints a widget receives.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// The side panel of the main window, set up by property name as the window does.
void setUpSidePanel(TGradPan& p) {
    p.setProperty("Width", 209);
    p.setProperty("Height", 849);
    p.setProperty("BevelOuter", QVariant::fromValue(TGradPan::bvNone));
    p.setProperty("BackGroundEffect", QVariant::fromValue(TGradPan::bdDown));
    p.setProperty("ColorEnd", 12615808u);
    p.setProperty("ColorStart", 0u);
    p.setProperty("ColorShadow", 11776947u);
    p.setProperty("Color", 11776947u);
    p.setProperty("Caption", QString());
}

const TColor kWhite = 0xFFFFFF, kGrey = 0x808080;

} // namespace

// ---------------------------------------------------------------------------------------------
// The colour ramp, band boundaries and band order.

TEST(GradPanRamp, ExtendedPrecisionValuesFrom128Down) {
    // 128 -> 0 in red, 128 -> 0 in blue with green held: channels are computed apart.
    const TGrArray ga =
        gradpan::colorRamp(colorvalue::rgb(128, 40, 128), colorvalue::rgb(0, 40, 0));
    const int expected[5] = {128, 126, 125, 124, 122};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(colorvalue::redOf(ga[i]), expected[i]) << i;
        EXPECT_EQ(colorvalue::blueOf(ga[i]), expected[i]) << i;
    }
    // Plain double arithmetic would give 96 and 64 here.
    EXPECT_EQ(colorvalue::redOf(ga[25]), 95);
    EXPECT_EQ(colorvalue::redOf(ga[50]), 63);
    EXPECT_EQ(colorvalue::redOf(ga[99]), 1);
    for (TColor c : ga) {
        EXPECT_EQ(colorvalue::greenOf(c), 40);
        EXPECT_EQ(c >> 24, 0u);
    }
}

TEST(GradPanRamp, StartsAtStartAndStopsShortOfFinish) {
    const TGrArray up = gradpan::colorRamp(0x000000, 0xFFFFFF);
    EXPECT_EQ(up[0], 0x000000u);
    EXPECT_EQ(up[99], colorvalue::rgb(252, 252, 252));
}

TEST(GradPanRamp, MulDivRoundsHalvesAwayFromZero) {
    EXPECT_EQ(gradpan::mulDiv(1, 50, 100), 1);   // 0.5
    EXPECT_EQ(gradpan::mulDiv(1, 49, 100), 0);   // 0.49
    EXPECT_EQ(gradpan::mulDiv(-1, 50, 100), -1); // -0.5
    EXPECT_EQ(gradpan::mulDiv(1, -49, 100), 0);
    EXPECT_EQ(gradpan::mulDiv(99, 849, 100), 841);
    EXPECT_EQ(gradpan::mulDiv(1, 849, 100), 8);
    EXPECT_EQ(gradpan::mulDiv(5, 7, 0), -1);
    EXPECT_EQ(gradpan::mulDiv(INT_MAX, INT_MAX, 1), -1); // overflow
    EXPECT_EQ(gradpan::mulDiv(INT_MAX, INT_MAX, INT_MAX), INT_MAX);
}

TEST(GradPanRamp, MirroredBandsRunOutAndBack) {
    EXPECT_EQ(gradpan::bandEntry(0, true), 1);
    EXPECT_EQ(gradpan::bandEntry(49, true), 99);
    EXPECT_EQ(gradpan::bandEntry(50, true), 98);
    EXPECT_EQ(gradpan::bandEntry(99, true), 0);
    // Every entry is used exactly once.
    std::array<int, 100> uses{};
    for (int i = 0; i < 100; ++i) {
        ++uses[gradpan::bandEntry(i, true)];
        EXPECT_EQ(gradpan::bandEntry(i, false), i);
    }
    for (int u : uses)
        EXPECT_EQ(u, 1);
}

// ---------------------------------------------------------------------------------------------
// Gradients on screen.

TEST(GradPanGradient, SidePanelBandsToThePixel) {
    TGradPan p;
    setUpSidePanel(p);
    ASSERT_EQ(p.size(), QSize(209, 849));
    const QImage img = render(p);
    ASSERT_EQ(img.size(), QSize(209, 849));
    for (int x : {0, 1, 104, 207, 208}) {
        for (int y = 0; y <= 7; ++y)
            EXPECT_EQ(at(img, x, y), colorvalue::rgb(128, 128, 192)) << x << "," << y;
        for (int y = 8; y <= 16; ++y)
            EXPECT_EQ(at(img, x, y), colorvalue::rgb(126, 126, 190)) << x << "," << y;
        EXPECT_NE(at(img, x, 17), colorvalue::rgb(126, 126, 190)) << x;
        EXPECT_NE(at(img, x, 840), colorvalue::rgb(1, 1, 1)) << x;
        for (int y = 841; y <= 848; ++y)
            EXPECT_EQ(at(img, x, y), colorvalue::rgb(1, 1, 1)) << x << "," << y;
    }
    // Neither Color nor ColorShadow shows anywhere.
    EXPECT_EQ(countOf(img, 11776947u), 0);
    // The canvas holds the same face.
    EXPECT_EQ(p.canvas()->image(), img);
}

TEST(GradPanGradient, BandsFollowTheCurrentSize) {
    TGradPan p;
    setUpSidePanel(p);
    render(p);
    p.resize(209, 100); // one row per band now
    const QImage img = render(p);
    EXPECT_EQ(at(img, 5, 0), colorvalue::rgb(128, 128, 192));
    EXPECT_EQ(at(img, 5, 1), colorvalue::rgb(126, 126, 190));
    EXPECT_EQ(at(img, 5, 99), colorvalue::rgb(1, 1, 1));
}

TEST(GradPanGradient, RowsOnFiftyPixelsFillEvenBandsOnly) {
    TGradPan p;
    p.resize(60, 50);
    p.setBevelOuter(TGradPan::bvNone);
    p.setColorStart(0x000000);
    p.setColorEnd(colorvalue::rgb(200, 100, 250));
    p.setBackGroundEffect(TGradPan::bdUp);
    const QImage img = render(p);
    const TGrArray ga = gradpan::colorRamp(p.ColorStart(), p.ColorEnd());
    // Band 2y fills row y; the odd bands are empty, so their colours never show.
    for (int y = 0; y < 50; ++y)
        EXPECT_EQ(at(img, 30, y), ga[2 * y]) << y;
    for (int i = 1; i < 100; i += 2)
        EXPECT_EQ(countOf(img, ga[i]), 0) << i;
}

TEST(GradPanGradient, MirroredRowsAndColumns) {
    TGradPan rows;
    rows.resize(40, 100);
    rows.setBevelOuter(TGradPan::bvNone);
    rows.setColorStart(colorvalue::rgb(0, 0, 0));
    rows.setColorEnd(colorvalue::rgb(255, 200, 100));
    rows.setBackGroundEffect(TGradPan::bdHorzIn);
    QImage img = render(rows);
    TGrArray ga = gradpan::colorRamp(rows.ColorStart(), rows.ColorEnd());
    EXPECT_EQ(at(img, 20, 0), ga[1]);
    EXPECT_EQ(at(img, 20, 49), ga[99]);
    EXPECT_EQ(at(img, 20, 50), ga[98]);
    EXPECT_EQ(at(img, 20, 99), ga[0]);
    EXPECT_EQ(rows.colorTable(), ga);

    // Out: the ramp runs from ColorEnd, so the edges show ColorEnd.
    TGradPan cols;
    cols.resize(100, 30);
    cols.setBevelOuter(TGradPan::bvNone);
    cols.setColorStart(colorvalue::rgb(0, 0, 0));
    cols.setColorEnd(colorvalue::rgb(255, 200, 100));
    cols.setBackGroundEffect(TGradPan::bdVertOut);
    img = render(cols);
    ga = gradpan::colorRamp(cols.ColorEnd(), cols.ColorStart());
    EXPECT_EQ(at(img, 0, 15), ga[1]);
    EXPECT_EQ(at(img, 49, 15), ga[99]);
    EXPECT_EQ(at(img, 50, 15), ga[98]);
    EXPECT_EQ(at(img, 99, 15), ga[0]);
    EXPECT_EQ(at(img, 99, 15), colorvalue::rgb(255, 200, 100));
}

TEST(GradPanGradient, DirectionsPutTheRightEndFirst) {
    struct Case {
        TGradPan::TDirection dir;
        bool startFirst; // ColorStart at the top or left
        bool columns;
    };
    const Case cases[] = {{TGradPan::bdUp, true, false},
                          {TGradPan::bdDown, false, false},
                          {TGradPan::bdLeft, true, true},
                          {TGradPan::bdRight, false, true}};
    for (const Case& c : cases) {
        TGradPan p;
        p.resize(100, 100);
        p.setBevelOuter(TGradPan::bvNone);
        p.setColorStart(colorvalue::rgb(10, 20, 30));
        p.setColorEnd(colorvalue::rgb(250, 240, 230));
        p.setBackGroundEffect(c.dir);
        const QImage img = render(p);
        const TColor first = c.startFirst ? p.ColorStart() : p.ColorEnd();
        const TColor other = c.startFirst ? p.ColorEnd() : p.ColorStart();
        EXPECT_EQ(at(img, 0, 0), first) << c.dir;
        EXPECT_EQ(at(img, 99, 99), gradpan::colorRamp(first, other)[99]) << c.dir;
        // Across the bands' direction the colour does not change.
        if (c.columns)
            EXPECT_EQ(at(img, 37, 0), at(img, 37, 99)) << c.dir;
        else
            EXPECT_EQ(at(img, 0, 37), at(img, 99, 37)) << c.dir;
    }
}

TEST(GradPanGradient, NewPanelShowsTealColumnsAndRaisedBevel) {
    TGradPan p;
    p.setPalette(QPalette(Qt::darkMagenta)); // the frame's colours do not follow the theme
    const QImage img = render(p);
    ASSERT_EQ(img.size(), QSize(185, 41));
    const int y = 20;
    EXPECT_EQ(at(img, 1, y), colorvalue::rgb(2, 129, 129));    // first band, ga[1]
    EXPECT_EQ(at(img, 183, y), colorvalue::rgb(0, 128, 128));  // last band, ga[0]
    EXPECT_EQ(at(img, 91, y), colorvalue::rgb(252, 253, 253)); // band 49, ga[99]
    EXPECT_EQ(at(img, 93, y), colorvalue::rgb(249, 252, 252)); // band 50, ga[98]
    // Raised bevel: white along the top and left, grey along the bottom and right.
    for (int x = 0; x < 185; ++x) {
        EXPECT_EQ(at(img, x, 0), kWhite) << x;
        EXPECT_EQ(at(img, x, 40), kGrey) << x;
    }
    for (int yy = 1; yy < 40; ++yy) {
        EXPECT_EQ(at(img, 0, yy), kWhite) << yy;
        EXPECT_EQ(at(img, 184, yy), kGrey) << yy;
    }
    // The right line stops short of row 0; the bottom line covers the left line's last pixel.
    EXPECT_EQ(at(img, 184, 0), kWhite);
    EXPECT_EQ(at(img, 0, 40), kGrey);
}

TEST(GradPanGradient, SystemColoursAreTranslatedBeforeTheRamp) {
    TGradPan p;
    p.resize(50, 100);
    p.setBevelOuter(TGradPan::bvNone);
    QPalette pal = p.palette();
    pal.setColor(QPalette::Button, QColor(30, 60, 90));
    p.setPalette(pal);
    p.setColorStart(colorvalue::clBtnFace);
    p.setColorEnd(colorvalue::rgb(30, 60, 90));
    p.setBackGroundEffect(TGradPan::bdUp);
    const QImage img = render(p);
    // Without translation the button face would ramp from red 15.
    EXPECT_EQ(at(img, 25, 0), colorvalue::rgb(30, 60, 90));
    EXPECT_EQ(at(img, 25, 99), colorvalue::rgb(30, 60, 90));
}

// ---------------------------------------------------------------------------------------------
// Bitmap effects.

namespace {
// A picture with one marker pixel at its top-left corner.
QImage markedPicture(int w, int h, QRgb fill, QRgb marker) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(fill);
    img.setPixel(0, 0, marker);
    return img;
}
} // namespace

TEST(GradPanBitmap, DefaultPictureIsOutlinedFiftySquare) {
    TGradPan p;
    const QImage& pic = p.Bitmap()->image();
    ASSERT_EQ(pic.size(), QSize(50, 50));
    for (int i = 0; i < 49; ++i) {
        for (QPoint pt : {QPoint(0, i), QPoint(48, i), QPoint(i, 0), QPoint(i, 48)})
            EXPECT_EQ(QColor(pic.pixel(pt)), QColor(Qt::black)) << pt.x() << "," << pt.y();
    }
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(QColor(pic.pixel(49, i)), QColor(Qt::white)) << i;
        EXPECT_EQ(QColor(pic.pixel(i, 49)), QColor(Qt::white)) << i;
    }
    EXPECT_EQ(QColor(pic.pixel(1, 1)), QColor(Qt::white));
    EXPECT_EQ(QColor(pic.pixel(47, 47)), QColor(Qt::white));
}

TEST(GradPanBitmap, TilesCoverTheSidePanel) {
    TGradPan p;
    setUpSidePanel(p);
    p.Bitmap()->assign(markedPicture(50, 50, qRgb(0, 0, 255), qRgb(255, 0, 0)));
    p.setBackGroundEffect(TGradPan::bdTileImage);
    const QImage img = render(p);
    // 5 columns (x = 0, 50, .., 200) by 17 rows (y = 0, 50, .., 800), the last ones clipped.
    EXPECT_EQ(countOf(img, 0x0000FF), 5 * 17);
    for (int c = 0; c < 5; ++c)
        for (int r = 0; r < 17; ++r)
            EXPECT_EQ(at(img, 50 * c, 50 * r), 0x0000FFu) << c << "," << r;
    EXPECT_EQ(at(img, 208, 848), 0xFF0000u);
}

TEST(GradPanBitmap, TilesStartInsideTheInsetWithCtl3D) {
    TGradPan p;
    setUpSidePanel(p);
    p.setBorderWidth(2);
    p.Bitmap()->assign(markedPicture(50, 50, qRgb(0, 0, 255), qRgb(255, 0, 0)));
    p.setCtl3D(true);
    p.setBackGroundEffect(TGradPan::bdTileImage);
    const QImage img = render(p);
    // Inset 2 + 2 * 1 = 4: columns (209 - 8) / 50 + 1 = 5, rows (849 - 8) / 50 + 1 = 17.
    EXPECT_EQ(countOf(img, 0x0000FF), 5 * 17);
    EXPECT_EQ(at(img, 4, 4), 0x0000FFu);
    EXPECT_EQ(at(img, 204, 804), 0x0000FFu);
    // The inset keeps the plain panel's face in Color.
    EXPECT_EQ(at(img, 1, 1), 11776947u);
    EXPECT_EQ(at(img, 3, 100), 11776947u);
}

TEST(GradPanBitmap, ManySmallTilesGiveTheSamePattern) {
    TGradPan p;
    setUpSidePanel(p);
    QImage pic(2, 3, QImage::Format_RGB32);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 2; ++x)
            pic.setPixel(x, y, qRgb(40 * x + 10, 50 * y + 20, 7));
    p.Bitmap()->assign(pic);
    p.setBackGroundEffect(TGradPan::bdTileImage);
    const QImage img = render(p);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            ASSERT_EQ(img.pixel(x, y), pic.pixel(x % 2, y % 3)) << x << "," << y;
}

TEST(GradPanBitmap, StretchLeavesLastColumnAndRow) {
    TGradPan p;
    p.resize(101, 61);
    p.setBevelOuter(TGradPan::bvNone);
    p.setColor(colorvalue::rgb(9, 99, 199));
    p.Bitmap()->assign(markedPicture(10, 10, qRgb(200, 100, 0), qRgb(200, 100, 0)));
    p.setBackGroundEffect(TGradPan::bdStretchImage);
    QImage img = render(p);
    EXPECT_EQ(inkOf(img, colorvalue::rgb(200, 100, 0)), QRect(0, 0, 100, 60));
    EXPECT_EQ(countOf(img, colorvalue::rgb(9, 99, 199)), 101 + 61 - 1);

    // With Ctl3D the picture keeps off the inset (BorderWidth 0 + 2 * BevelWidth 1).
    p.setCtl3D(true);
    img = render(p);
    EXPECT_EQ(inkOf(img, colorvalue::rgb(200, 100, 0)), QRect(QPoint(2, 2), QPoint(97, 57)));
    EXPECT_EQ(at(img, 1, 1), colorvalue::rgb(9, 99, 199));
}

TEST(GradPanBitmap, EmptyPictureFallsBackToFlatFill) {
    for (auto effect : {TGradPan::bdStretchImage, TGradPan::bdTileImage}) {
        TGradPan p;
        p.resize(80, 40);
        p.setBevelOuter(TGradPan::bvNone);
        p.setColorStart(colorvalue::rgb(1, 2, 3));
        p.setBackGroundEffect(effect);
        p.Bitmap()->setHeight(0);
        EXPECT_TRUE(p.Bitmap()->empty());
        EXPECT_EQ(countOf(render(p), colorvalue::rgb(1, 2, 3)), 80 * 40) << effect;
        p.setBitmap(nullptr);
        EXPECT_EQ(countOf(render(p), colorvalue::rgb(1, 2, 3)), 80 * 40) << effect;
        p.Bitmap()->assign(QImage());
        EXPECT_EQ(countOf(render(p), colorvalue::rgb(1, 2, 3)), 80 * 40) << effect;
    }
}

TEST(GradPanBitmap, WritingBitmapCopiesThePicture) {
    TGradPan p;
    TBitmap source;
    source.assign(markedPicture(7, 5, qRgb(1, 2, 3), qRgb(4, 5, 6)));
    p.setProperty("Bitmap", QVariant::fromValue(&source));
    EXPECT_NE(p.Bitmap(), &source);
    EXPECT_EQ(p.Bitmap()->image(), source.image());
    source.setWidth(20); // the panel's copy does not follow
    EXPECT_EQ(p.Bitmap()->width(), 7);
    EXPECT_EQ(p.property("Bitmap").value<TBitmap*>(), p.Bitmap());
}

TEST(GradPanBitmap, OversizedPictureIsRefusedAndTheOldOneKept) {
    TGradPan p;
    const QImage before = p.Bitmap()->image();
    EXPECT_THROW(p.Bitmap()->setSize(1 << 20, 1 << 20), ECueError);
    EXPECT_EQ(p.Bitmap()->width(), 50);
    EXPECT_EQ(p.Bitmap()->image(), before);
}

// ---------------------------------------------------------------------------------------------
// Caption, text effects and rotation.

namespace {
// A caption in a crisp font on white: face red, shadow green.
void textPanel(TGradPan& p, TGradPan::TTextEffect effect) {
    p.resize(220, 60);
    p.setBevelOuter(TGradPan::bvNone);
    p.setFont(crispFont(24));
    p.setCaption(QStringLiteral("HWMH"));
    p.setBackGroundEffect(TGradPan::bdFlat);
    p.setColorStart(kWhite);
    p.setFontColor(colorvalue::rgb(255, 0, 0));
    p.setColorShadow(colorvalue::rgb(0, 160, 0));
    p.setTextEffect(effect);
}
const TColor kFace = colorvalue::rgb(255, 0, 0), kShadow = colorvalue::rgb(0, 160, 0);
} // namespace

TEST(GradPanText, NoEffectWritesOnceInShadowColour) {
    TGradPan p;
    textPanel(p, TGradPan::tenone);
    const QImage img = render(p);
    EXPECT_GT(countOf(img, kShadow), 20);
    EXPECT_EQ(countOf(img, kFace), 0);
    EXPECT_EQ(countOf(img, 0x000000), 0);
}

TEST(GradPanText, EffectsSurroundTheFace) {
    TGradPan plain;
    textPanel(plain, TGradPan::tenone);
    const QRect cell = inkOf(render(plain), kShadow); // where the face is written

    TGradPan p;
    textPanel(p, TGradPan::teShadow);
    QImage img = render(p);
    EXPECT_EQ(inkOf(img, kFace), cell);
    EXPECT_EQ(inkOf(img, kShadow).bottomRight(), cell.bottomRight() + QPoint(1, 1));
    EXPECT_EQ(countOf(img, 0x000000), 0);

    p.setTextEffect(TGradPan::teRaised);
    img = render(p);
    EXPECT_EQ(inkOf(img, kFace), cell);
    EXPECT_EQ(inkOf(img, kShadow).topLeft(), cell.topLeft() - QPoint(1, 1));
    EXPECT_EQ(inkOf(img, 0x000000).bottomRight(), cell.bottomRight() + QPoint(1, 1));
    EXPECT_GE(inkOf(img, 0x000000).left(), cell.left());
    EXPECT_LE(inkOf(img, kShadow).right(), cell.right());

    p.setTextEffect(TGradPan::teLowered);
    img = render(p);
    EXPECT_EQ(inkOf(img, kFace), cell);
    EXPECT_EQ(inkOf(img, kShadow).bottomRight(), cell.bottomRight() + QPoint(1, 1));
    EXPECT_EQ(inkOf(img, 0x000000).topLeft(), cell.topLeft() - QPoint(1, 1));
    EXPECT_LE(inkOf(img, 0x000000).right(), cell.right());

    p.setTextEffect(TGradPan::teEmbossed);
    img = render(p);
    EXPECT_EQ(inkOf(img, kFace), cell);
    EXPECT_EQ(inkOf(img, kShadow), cell.adjusted(-1, -1, 1, 1));
    EXPECT_EQ(countOf(img, 0x000000), 0);
}

TEST(GradPanText, UnrotatedAnchors) {
    // Reference: the same text laid out by Qt's own top/left/right alignment in a box whose
    // corner is the expected anchor.
    auto reference = [](const TGradPan& p, const QRect& box, int flags) {
        QImage img(p.size(), QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter painter(&img);
        painter.setFont(p.font());
        painter.setPen(QColor(0, 160, 0));
        painter.drawText(box, flags | Qt::TextSingleLine, p.Caption());
        painter.end();
        return inkOf(img, kShadow);
    };
    TGradPan p;
    textPanel(p, TGradPan::tenone);
    const int W = p.width(), H = p.height();
    const int TH = QFontMetrics(p.font()).height();

    // No bevel drawn, BevelWidth still 1: M = 1, so left and top anchors sit at 3.
    p.setAlignment(TGradPan::taLeftJustify);
    p.setVertAlign(TGradPan::vlTop);
    EXPECT_EQ(inkOf(render(p), kShadow),
              reference(p, QRect(3, 3, W, H), Qt::AlignLeft | Qt::AlignTop));

    p.setBorderWidth(3); // M = 4
    p.setAlignment(TGradPan::taRightJustify);
    p.setVertAlign(TGradPan::VlBottom);
    EXPECT_EQ(inkOf(render(p), kShadow),
              reference(p, QRect(0, 0, W - 4 - 2, H - 4 - 1), Qt::AlignRight | Qt::AlignBottom));

    p.setBorderWidth(0);
    p.setAlignment(TGradPan::taCenter);
    p.setVertAlign(TGradPan::vlCenter);
    const int advance = QFontMetrics(p.font()).horizontalAdvance(p.Caption());
    EXPECT_EQ(inkOf(render(p), kShadow),
              reference(p, QRect(W / 2 - advance / 2, H / 2 - TH / 2, W, H),
                        Qt::AlignLeft | Qt::AlignTop));
}

TEST(GradPanText, RotatedTextStandsInItsCell) {
    TGradPan p;
    textPanel(p, TGradPan::tenone);
    p.resize(60, 220);
    const int TH = QFontMetrics(p.font()).height();
    const int advance = QFontMetrics(p.font()).horizontalAdvance(p.Caption());
    const int M = 1, W = p.width(), H = p.height();

    // Up, from the bottom: the cell lies right of x = M + 2, the text rises from H - M - 1.
    p.setAlignment(TGradPan::taLeftJustify);
    p.setVertAlign(TGradPan::VlBottom);
    p.setTextRotation(TGradPan::TrUp);
    QRect ink = inkOf(render(p), kShadow);
    ASSERT_FALSE(ink.isNull());
    EXPECT_GT(ink.height(), ink.width());
    EXPECT_GE(ink.left(), M + 2);
    EXPECT_LT(ink.right(), M + 2 + TH);
    EXPECT_LE(ink.bottom(), H - M - 1);
    EXPECT_GE(ink.bottom(), H - M - 1 - 4);
    EXPECT_GE(ink.top(), H - M - 1 - advance);

    // Up, ending at the top: the text's end sits at y = M + 2.
    p.setVertAlign(TGradPan::vlTop);
    ink = inkOf(render(p), kShadow);
    EXPECT_GE(ink.top(), M + 2);
    EXPECT_LE(ink.top(), M + 2 + 4);

    // Down, from the top: the cell lies left of x = TH + M + 1.
    p.setTextRotation(TGradPan::TrDown);
    ink = inkOf(render(p), kShadow);
    EXPECT_GT(ink.height(), ink.width());
    EXPECT_GE(ink.left(), M + 1);
    EXPECT_LE(ink.right(), TH + M + 1);
    EXPECT_GE(ink.top(), M + 1);
    EXPECT_LE(ink.top(), M + 1 + 4);

    // Down, right-aligned in x: the cell ends at W - M - 2.
    p.setAlignment(TGradPan::taRightJustify);
    ink = inkOf(render(p), kShadow);
    EXPECT_LE(ink.right(), W - M - 2);
    EXPECT_GE(ink.left(), W - M - 2 - TH);
}

TEST(GradPanText, LongRotatedCaptionIsWrittenWhole) {
    TGradPan p;
    p.setBevelOuter(TGradPan::bvNone);
    p.setBackGroundEffect(TGradPan::bdFlat);
    p.setColorStart(kWhite);
    p.setColorShadow(kShadow);
    p.setTextEffect(TGradPan::tenone);
    p.setFont(crispFont(10));
    const QString caption(400, QChar(u'I'));
    const int advance255 = QFontMetrics(p.font()).horizontalAdvance(caption.left(255));
    p.resize(40, 2 * QFontMetrics(p.font()).horizontalAdvance(caption));
    p.setCaption(caption);
    p.setAlignment(TGradPan::taLeftJustify);
    p.setVertAlign(TGradPan::VlBottom);
    p.setTextRotation(TGradPan::TrUp);
    const QRect ink = inkOf(render(p), kShadow);
    EXPECT_GT(ink.height(), advance255 + 20);
}

// ---------------------------------------------------------------------------------------------
// Frame.

TEST(GradPanFrame, LoweredOuterBevelTwoWide) {
    TGradPan p;
    p.resize(50, 30);
    p.setBackGroundEffect(TGradPan::bdFlat);
    p.setColorStart(colorvalue::rgb(1, 2, 3));
    p.setBevelOuter(TGradPan::bvLowered);
    p.setBevelWidth(2);
    const QImage img = render(p);
    // Highlight (grey) along top and left, shadow (white) along bottom and right.
    EXPECT_EQ(at(img, 10, 0), kGrey);
    EXPECT_EQ(at(img, 10, 1), kGrey);
    EXPECT_EQ(at(img, 0, 10), kGrey);
    EXPECT_EQ(at(img, 1, 10), kGrey);
    EXPECT_EQ(at(img, 10, 29), kWhite);
    EXPECT_EQ(at(img, 10, 28), kWhite);
    EXPECT_EQ(at(img, 49, 10), kWhite);
    EXPECT_EQ(at(img, 48, 10), kWhite);
    EXPECT_EQ(at(img, 49, 0), kGrey); // right lines stop short of their top rows
    EXPECT_EQ(at(img, 48, 1), kGrey);
    EXPECT_EQ(at(img, 1, 28), kWhite);
    EXPECT_EQ(at(img, 2, 2), colorvalue::rgb(1, 2, 3));
    EXPECT_EQ(at(img, 47, 27), colorvalue::rgb(1, 2, 3));
}

TEST(GradPanFrame, InnerBevelAndBorderBand) {
    TGradPan p;
    p.resize(50, 30);
    p.setBackGroundEffect(TGradPan::bdFlat);
    p.setColorStart(colorvalue::rgb(1, 2, 3));
    p.setColor(colorvalue::rgb(7, 8, 9));
    p.setBevelOuter(TGradPan::bvNone);
    p.setBevelInner(TGradPan::bvRaised);
    p.setBorderWidth(2);
    QImage img = render(p);
    // Without an outer bevel the inner one sits at 1 + BorderWidth.
    EXPECT_EQ(at(img, 3, 3), kWhite);
    EXPECT_EQ(at(img, 3, 20), kWhite);
    EXPECT_EQ(at(img, 46, 26), kGrey);
    EXPECT_EQ(at(img, 20, 26), kGrey);
    EXPECT_EQ(at(img, 2, 2), colorvalue::rgb(1, 2, 3));
    EXPECT_EQ(at(img, 4, 4), colorvalue::rgb(1, 2, 3));
    // The lines leave out their end points.
    EXPECT_EQ(at(img, 47, 3), colorvalue::rgb(1, 2, 3));
    EXPECT_EQ(at(img, 3, 27), colorvalue::rgb(1, 2, 3));
    EXPECT_EQ(at(img, 47, 26), colorvalue::rgb(1, 2, 3));
    EXPECT_EQ(countOf(img, colorvalue::rgb(7, 8, 9)), 0);

    // Ctl3D fills the border band (rings 1 and 2) in Color.
    p.setCtl3D(true);
    img = render(p);
    EXPECT_EQ(at(img, 0, 0), colorvalue::rgb(1, 2, 3));
    EXPECT_EQ(at(img, 1, 1), colorvalue::rgb(7, 8, 9));
    EXPECT_EQ(at(img, 2, 15), colorvalue::rgb(7, 8, 9));
    EXPECT_EQ(at(img, 48, 28), colorvalue::rgb(7, 8, 9));
    EXPECT_EQ(at(img, 49, 29), colorvalue::rgb(1, 2, 3));
    EXPECT_EQ(countOf(img, colorvalue::rgb(7, 8, 9)), 2 * (48 + 28) + 2 * (46 + 26) - 8);
}

// ---------------------------------------------------------------------------------------------
// Properties and repainting.

TEST(GradPanProperties, DefaultsByName) {
    TGradPan p;
    EXPECT_EQ(p.size(), QSize(185, 41));
    EXPECT_EQ(p.property("BackGroundEffect").value<TGradPan::TDirection>(), TGradPan::bdVertIn);
    EXPECT_EQ(p.property("ColorEnd").toUInt(), 0xFFFFFFu);
    EXPECT_EQ(p.property("ColorShadow").toUInt(), 0x808080u);
    EXPECT_EQ(p.property("ColorStart").toUInt(), 0x808000u);
    EXPECT_FALSE(p.property("Ctl3D").toBool());
    EXPECT_EQ(p.property("TextEffect").value<TGradPan::TTextEffect>(), TGradPan::teShadow);
    EXPECT_EQ(p.property("TextRotation").value<TGradPan::TTextRotation>(), TGradPan::trNone);
    EXPECT_EQ(p.property("VertAlign").value<TGradPan::TVertAlign>(), TGradPan::vlCenter);
    EXPECT_EQ(p.property("Marge").toInt(), 6);
    EXPECT_FALSE(p.property("Moveable").toBool());
    EXPECT_FALSE(p.OnPanelMove());
    EXPECT_EQ(p.property("Color").toUInt(), 0xFF00000Fu);
    EXPECT_EQ(p.property("Alignment").value<TGradPan::TAlignment>(), TGradPan::taCenter);
    EXPECT_EQ(p.property("BevelOuter").value<TGradPan::TPanelBevel>(), TGradPan::bvRaised);
    EXPECT_EQ(p.property("BevelInner").value<TGradPan::TPanelBevel>(), TGradPan::bvNone);
    EXPECT_EQ(p.property("BevelWidth").toInt(), 1);
    EXPECT_EQ(p.property("BorderWidth").toInt(), 0);
    EXPECT_TRUE(p.property("ShowCaption").toBool());
    EXPECT_TRUE(p.property("FullRepaint").toBool());
    EXPECT_NE(p.property("canvas").value<TCanvas*>(), nullptr);

    // The own properties come in this order, after the plain panel's.
    const QMetaObject* mo = p.metaObject();
    QStringList own;
    for (int i = mo->indexOfProperty("Bitmap"); i < mo->propertyCount(); ++i)
        own << QString::fromLatin1(mo->property(i).name());
    EXPECT_EQ(own, QStringList({"Bitmap", "BackGroundEffect", "ColorEnd", "ColorShadow",
                                "ColorStart", "Ctl3D", "TextEffect", "TextRotation", "VertAlign",
                                "Marge", "OnPanelMove", "Moveable", "canvas"}));
    EXPECT_FALSE(mo->property(mo->indexOfProperty("canvas")).isWritable());
}

TEST(GradPanProperties, EnumerationSpellingsAndOrdinals) {
    const QMetaObject& mo = TGradPan::staticMetaObject;
    auto value = [&](const char* enumName, const char* key) {
        const QMetaEnum e = mo.enumerator(mo.indexOfEnumerator(enumName));
        return e.keyToValue(key);
    };
    EXPECT_EQ(value("TDirection", "bdFlat"), 0);
    EXPECT_EQ(value("TDirection", "bdStretchImage"), 1);
    EXPECT_EQ(value("TDirection", "bdTileImage"), 2);
    EXPECT_EQ(value("TDirection", "bdHorzOut"), 8);
    EXPECT_EQ(value("TDirection", "bdVertOut"), 10);
    EXPECT_EQ(value("TVertAlign", "VlBottom"), 2);
    EXPECT_EQ(value("TVertAlign", "vlBottom"), -1);
    EXPECT_EQ(value("TTextEffect", "tenone"), 0);
    EXPECT_EQ(value("TTextEffect", "teEmbossed"), 4);
    EXPECT_EQ(value("TTextRotation", "TrUp"), 1);
    EXPECT_EQ(value("TTextRotation", "TrDown"), 2);
    EXPECT_EQ(value("TAlignment", "taRightJustify"), 1);
    EXPECT_EQ(value("TPanelBevel", "bvSpace"), 3);
}

TEST(GradPanProperties, WhichWritesRepaintAtOnce) {
    QWidget top;
    top.resize(300, 200);
    auto* p = new TGradPan(&top);
    top.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&top));
    QApplication::processEvents();
    PaintCounter counter;
    p->installEventFilter(&counter);

    // Painted before the write returns, also for an unchanged value.
    const TColor start = p->ColorStart();
    p->setColorStart(start);
    EXPECT_EQ(counter.paints, 1);
    p->setProperty("VertAlign", QVariant::fromValue(p->VertAlign()));
    p->setTextEffect(p->TextEffect());
    p->setCtl3D(false);
    EXPECT_EQ(counter.paints, 4);

    // Stored only.
    counter.paints = 0;
    p->setMarge(9);
    p->setMoveable(false);
    p->setOnPanelMove([](QObject*) {});
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 0);

    // A new picture under a gradient is not shown, so nothing is painted.
    TBitmap source;
    source.assign(markedPicture(8, 8, qRgb(1, 1, 1), qRgb(2, 2, 2)));
    p->setBitmap(&source);
    p->Bitmap()->setWidth(12);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 0);

    // Under a bitmap effect it is, also for changes made through the panel's own bitmap.
    p->setBackGroundEffect(TGradPan::bdTileImage);
    counter.paints = 0;
    p->setBitmap(&source);
    EXPECT_EQ(counter.paints, 1);
    p->Bitmap()->paint([](QPainter& painter) { painter.fillRect(0, 0, 2, 2, Qt::green); });
    EXPECT_EQ(counter.paints, 2);
    EXPECT_EQ(at(p->canvas()->image(), 1, 1), colorvalue::rgb(0, 255, 0));
    p->setBackGroundEffect(TGradPan::bdStretchImage);
    counter.paints = 0;
    p->Bitmap()->setHeight(30);
    EXPECT_EQ(counter.paints, 1);
}

// ---------------------------------------------------------------------------------------------
// Moving and sizing.

namespace {
void mouse(QWidget* w, QEvent::Type type, QPoint global, Qt::MouseButton button,
           Qt::MouseButtons buttons, bool* accepted = nullptr) {
    QMouseEvent e(type, QPointF(w->mapFromGlobal(global)), QPointF(global), button, buttons,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
    if (accepted)
        *accepted = e.isAccepted();
}

// Presses at `local`, moves the cursor by `delta` in two steps, releases.
void drag(TGradPan* p, QPoint local, QPoint delta) {
    const QPoint start = p->mapToGlobal(local);
    mouse(p, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    mouse(p, QEvent::MouseMove, start + delta / 2, Qt::NoButton, Qt::LeftButton);
    mouse(p, QEvent::MouseMove, start + delta, Qt::NoButton, Qt::LeftButton);
    mouse(p, QEvent::MouseButtonRelease, start + delta, Qt::LeftButton, Qt::NoButton);
}
} // namespace

TEST(GradPanMove, HitZones) {
    TGradPan p;
    p.setMoveable(true);
    const int W = p.width(), H = p.height();
    EXPECT_EQ(p.hitTest({3, 3}), TGradPan::HTTOPLEFT);
    EXPECT_EQ(p.hitTest({3, H - 3}), TGradPan::HTBOTTOMLEFT);
    EXPECT_EQ(p.hitTest({5, 20}), TGradPan::HTLEFT);
    EXPECT_EQ(p.hitTest({6, 20}), TGradPan::HTCAPTION);
    EXPECT_EQ(p.hitTest({W - 6, 20}), TGradPan::HTCAPTION); // W - x = 6 is outside the zone
    EXPECT_EQ(p.hitTest({W - 5, 20}), TGradPan::HTRIGHT);
    EXPECT_EQ(p.hitTest({W - 1, 0}), TGradPan::HTTOPRIGHT);
    EXPECT_EQ(p.hitTest({W - 1, H - 1}), TGradPan::HTBOTTOMRIGHT);
    EXPECT_EQ(p.hitTest({90, 5}), TGradPan::HTTOP);
    EXPECT_EQ(p.hitTest({90, 6}), TGradPan::HTCAPTION);
    EXPECT_EQ(p.hitTest({90, H - 5}), TGradPan::HTBOTTOM);
    EXPECT_EQ(p.hitTest({W / 2, H / 2}), TGradPan::HTCAPTION);
    p.setMarge(0);
    EXPECT_EQ(p.hitTest({0, 0}), TGradPan::HTCAPTION);
    p.setMoveable(false);
    EXPECT_EQ(p.hitTest({3, 3}), TGradPan::HTCLIENT);
}

TEST(GradPanMove, DragMovesAndSizes) {
    QWidget parent;
    parent.resize(600, 400);
    auto* p = new TGradPan(&parent);
    p->move(50, 50);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    std::vector<QObject*> senders;
    p->setOnPanelMove([&](QObject* sender) { senders.push_back(sender); });
    p->setMoveable(true);

    drag(p, {90, 20}, {30, 20});
    EXPECT_EQ(p->geometry(), QRect(80, 70, 185, 41));
    ASSERT_FALSE(senders.empty());
    EXPECT_EQ(senders.front(), p);

    drag(p, {183, 20}, {40, 0}); // right edge
    EXPECT_EQ(p->geometry(), QRect(80, 70, 225, 41));
    drag(p, {2, 2}, {-10, -5}); // top-left corner
    EXPECT_EQ(p->geometry(), QRect(70, 65, 235, 46));
    drag(p, {100, 44}, {0, -100}); // bottom edge, cannot go below one row
    EXPECT_EQ(p->geometry(), QRect(70, 65, 235, 1));
    QApplication::processEvents(); // the new size is painted in full
    EXPECT_EQ(p->canvas()->image().size(), QSize(235, 1));
}

TEST(GradPanMove, DragStaysWithinTheParent) {
    QWidget parent;
    parent.resize(400, 300);
    auto* p = new TGradPan(&parent);
    p->move(10, 10);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    p->setMoveable(true);
    drag(p, {90, 20}, {5000, 5000});
    // The grabbed point stops at the parent's last pixel.
    EXPECT_EQ(p->pos() + QPoint(90, 20), QPoint(399, 299));
}

TEST(GradPanMove, HoverShowsEdgeCursors) {
    TGradPan p;
    p.setMoveable(true);
    p.show();
    const QPoint origin = p.mapToGlobal(QPoint(0, 0));
    mouse(&p, QEvent::MouseMove, origin + QPoint(3, 3), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::SizeFDiagCursor);
    mouse(&p, QEvent::MouseMove, origin + QPoint(p.width() - 2, 20), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::SizeHorCursor);
    mouse(&p, QEvent::MouseMove, origin + QPoint(90, p.height() - 1), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::SizeVerCursor);
    mouse(&p, QEvent::MouseMove, origin + QPoint(90, 20), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::ArrowCursor);
}

TEST(GradPanMove, FixedPanelPassesMouseInputOn) {
    QWidget parent;
    parent.resize(400, 300);
    auto* p = new TGradPan(&parent);
    p->move(10, 10);
    parent.show();
    int moves = 0;
    p->setOnPanelMove([&](QObject*) { ++moves; });
    bool accepted = true;
    const QPoint start = p->mapToGlobal(QPoint(90, 20));
    mouse(p, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton, &accepted);
    EXPECT_FALSE(accepted); // goes on to the parent, as for any plain widget
    mouse(p, QEvent::MouseMove, start + QPoint(30, 30), Qt::NoButton, Qt::LeftButton);
    mouse(p, QEvent::MouseButtonRelease, start + QPoint(30, 30), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(p->pos(), QPoint(10, 10));
    EXPECT_EQ(moves, 0);
    p->move(20, 20); // moves made by the program are reported too
    EXPECT_EQ(moves, 1);
}
