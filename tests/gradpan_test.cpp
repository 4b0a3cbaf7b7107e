// The gradient panel, checked on rendered pixels (grab() at device pixel ratio 1).

#include "gradpan_support.h"

using namespace gradpantest;

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
