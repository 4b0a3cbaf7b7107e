// End-to-end on a laptop screen of 1366 x 768, smaller than the window's design size: the
// real program opens inside the screen with the whole board scaled, pad 8's play button is on
// screen and sounds when clicked, its frame lights up while it loops, Esc silences it, and the
// placement file records the window as it is.

#include "e2e_harness.h"

#include <QImage>
#include <QRect>

#include <algorithm>
#include <cmath>

using namespace e2e;

namespace {

// A design rectangle of the window's client area at scale `s`, by its edges.
QRect scaled(const QRect& r, double s) {
    const int left = int(std::lround(r.left() * s));
    const int top = int(std::lround(r.top() * s));
    return QRect(left, top, int(std::lround((r.left() + r.width()) * s)) - left,
                 int(std::lround((r.top() + r.height()) * s)) - top);
}

// Pad 8's frame and its parts in the client area at design size: the side panel is 209 wide,
// the frame stands at (206 + 3 x 316, 26 + 410) beside it.
constexpr QRect kFrame8(209 + 1154, 436, 310, 404);
constexpr QRect kPlay8(kFrame8.left() + 10, kFrame8.top() + 320, 290, 70);
constexpr QRect kLoop8(kFrame8.left() + 10, kFrame8.top() + 245, 97, 17);

class LaptopEndToEnd : public DemoEndToEnd {
protected:
    static void SetUpTestSuite() { startServer(QStringLiteral("1366x768x24")); }
};

} // namespace

TEST_F(LaptopEndToEnd, TheWholeBoardFitsTheScreenAndPadEightPlays) {
    const RecordedOutput out = recordOutput();
    QProcess* app = nullptr;
    const QString main = startToMainWindow(&app);
    ASSERT_FALSE(main.isEmpty());
    const QString baseline = dataFolder() + "/conf/setlist.bak";
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(baseline).size() > 0; }));

    // Inside the screen, the design's proportions, smaller than the design.
    const Geometry g = geometryOf(main);
    EXPECT_GE(g.x, 0);
    EXPECT_GE(g.y, 0);
    EXPECT_LE(g.x + g.width, 1366);
    EXPECT_LE(g.y + g.height, 768);
    const double s = std::min(g.width / 1747.0, g.height / 880.0);
    EXPECT_GT(s, 0.75);
    EXPECT_LT(s, 1.0);
    EXPECT_NEAR(double(g.width) / g.height, 1747.0 / 880.0, 0.01);

    // Pad 8's play button lies wholly on the screen.
    const QRect play = scaled(kPlay8, s);
    EXPECT_LE(g.x + play.left() + play.width(), 1366);
    EXPECT_LE(g.y + play.top() + play.height(), 768);

    // A click on it sounds.
    ASSERT_TRUE(waitUntil([&] { return out.bytes() > 8 * 4800; }));
    const qint64 before = out.bytes();
    clickAt(main, play.center().x(), play.center().y());
    EXPECT_TRUE(waitUntil([&] { return out.soundsFrom(before); }, 10000))
        << "no sound after a click on pad 8's play button";

    // LOOP keeps it sounding: its frame is lit.
    const QRect loop = scaled(kLoop8, s);
    clickAt(main, loop.left() + loop.height() / 2, loop.center().y());
    const QRect frame = scaled(kFrame8, s).translated(g.x, g.y);
    EXPECT_TRUE(waitUntil(
        [&] {
            screenshot("laptop-1366x768-pad8-looping");
            const QImage shot(kArtefacts + "/laptop-1366x768-pad8-looping.png");
            for (int dx = -2; dx <= 3; ++dx)
                if (shot.pixelColor(frame.left() + dx, frame.center().y()) ==
                    QColor(0x5f, 0xd3, 0x7a))
                    return true;
            return false;
        },
        10000))
        << "pad 8's frame is not lit while it loops";

    // Esc: everything falls silent and stays so.
    pressKeys(main, "Escape");
    EXPECT_TRUE(waitUntil([&] { return out.silentAtTheEnd(48000); }, 10000))
        << "still sounding after Esc";

    // The loop switch is not a change of the set list: the close asks nothing. The placement
    // file holds the window as it was.
    requestClose(main);
    expectCleanExit(app);
    EXPECT_EQ(readFile(dataFolder() + "/conf/cuedeck.ini"),
              QStringLiteral("[Screen_Top]=%1\r\n[Screen_Left]=%2\r\n[Screen_Width]=%3\r\n"
                             "[Screen_Height]=%4\r\n")
                  .arg(g.y)
                  .arg(g.x)
                  .arg(g.width)
                  .arg(g.height)
                  .toUtf8());
}
