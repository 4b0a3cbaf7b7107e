// End-to-end on a laptop screen of 1366 x 768, smaller than the window's design size: the
// real program opens inside the screen with the whole board scaled, pad 8's play button is on
// screen and sounds when clicked, its frame lights up while it loops, Esc silences it, and the
// placement file records the window as it is.

#include "e2e_harness.h"

#include <QImage>
#include <QRect>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace e2e;

namespace {

// What SDL's disk driver writes: the mixed output as interleaved float32 stereo frames.
class Capture {
public:
    explicit Capture(QString path) : m_path(std::move(path)) {}
    const QString& path() const { return m_path; }
    qint64 bytes() const { return QFileInfo(m_path).size(); }

    // The samples written from byte `from` on.
    std::vector<float> samplesFrom(qint64 from) const {
        std::vector<float> samples;
        QFile f(m_path);
        if (!f.open(QIODevice::ReadOnly) || !f.seek(from - from % 8))
            return samples;
        const QByteArray data = f.readAll();
        samples.resize(size_t(data.size()) / sizeof(float));
        std::memcpy(samples.data(), data.constData(), samples.size() * sizeof(float));
        return samples;
    }
    bool soundsFrom(qint64 from) const {
        const auto s = samplesFrom(from);
        return std::any_of(s.begin(), s.end(), [](float v) { return std::fabs(v) > 1e-6f; });
    }
    // The last `count` samples are silent (and there are that many).
    bool silentAtTheEnd(size_t count) const {
        const auto s = samplesFrom(std::max<qint64>(0, bytes() - qint64(count * sizeof(float))));
        return s.size() >= count &&
               std::all_of(s.begin(), s.end(), [](float v) { return std::fabs(v) <= 1e-6f; });
    }

private:
    QString m_path;
};

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

class LaptopEndToEnd : public EndToEnd {
protected:
    static void SetUpTestSuite() { startServer(QStringLiteral("1366x768x24")); }

    void SetUp() override {
        EndToEnd::SetUp();
        if (HasFatalFailure())
            return;
        // The real program folder with its starter files, and a data folder that has seen a
        // start before: set list 1 is the demo board.
        const QString bin = QFileInfo(QStringLiteral(CUEDECK_EXE)).path();
        for (const char* folder : {"sound", "image", "conf", "help"})
            ASSERT_TRUE(copyTree(bin + "/" + folder, programFolder() + folder)) << folder;
        prepareDataFolder();
        ASSERT_TRUE(QFile::copy(programFolder() + "conf/setlist1.cdk",
                                dataFolder() + "/conf/setlist1.cdk"));
    }
};

} // namespace

TEST_F(LaptopEndToEnd, TheWholeBoardFitsTheScreenAndPadEightPlays) {
    Capture out(root() + "/out.raw");
    setEnvironment("SDL_AUDIODRIVER", "disk");
    setEnvironment("SDL_DISKAUDIOFILE", out.path());
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
    QThread::msleep(300); // the pictures paint
    ASSERT_TRUE(waitUntil([&] { return out.bytes() > 8 * 4800; }));
    const qint64 before = out.bytes();
    clickAt(main, play.center().x(), play.center().y());
    EXPECT_TRUE(waitUntil([&] { return out.soundsFrom(before); }, 10000))
        << "no sound after a click on pad 8's play button";

    // LOOP keeps it sounding: its frame is lit.
    const QRect loop = scaled(kLoop8, s);
    clickAt(main, loop.left() + loop.height() / 2, loop.center().y());
    QThread::msleep(500);
    screenshot("laptop-1366x768-pad8-looping");
    const QImage shot(kArtefacts + "/laptop-1366x768-pad8-looping.png");
    ASSERT_FALSE(shot.isNull());
    const QRect frame = scaled(kFrame8, s).translated(g.x, g.y);
    int lit = 0;
    for (int dx = -2; dx <= 3; ++dx)
        lit += shot.pixelColor(frame.left() + dx, frame.center().y()) == QColor(0x5f, 0xd3, 0x7a);
    EXPECT_GT(lit, 0) << "pad 8's frame is not lit while it loops";

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
