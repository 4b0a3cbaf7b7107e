#include "placement.h"
#include "shell_testenv.h"

#include <QFileInfo>
#include <limits>
#include <sys/stat.h>

namespace {

const QString kTitle = QStringLiteral("cuedeck");

// Writes the placement file of `base` with `text` as it stands.
void writePlacement(const QString& base, const QByteArray& text) {
    writeFile(placementFilePath(base, kTitle), text);
}

bool samePlacement(const WindowPlacement& a, const WindowPlacement& b) {
    return a.Left == b.Left && a.Top == b.Top && a.Width == b.Width && a.Height == b.Height;
}

std::string show(const WindowPlacement& p) {
    return "Left " + std::to_string(p.Left) + " Top " + std::to_string(p.Top) + " Width " +
           std::to_string(p.Width) + " Height " + std::to_string(p.Height);
}

#define EXPECT_PLACEMENT(actual, left, top, width, height)                                         \
    do {                                                                                           \
        const WindowPlacement got = (actual);                                                      \
        EXPECT_TRUE(samePlacement(got, WindowPlacement{left, top, width, height})) << show(got);   \
    } while (0)

const QList<QRect> kOneScreen{QRect(0, 0, 1920, 1080)};

} // namespace

TEST(PlacementFile, WritesFourLinesInOrderWithCrLfAndReadsThemBack) {
    IsolatedEnvironment env;
    QDir().mkpath(env.root() + "/conf");
    SaveWindowPlacement(env.root(), kTitle, 12, -34, 1600, 900);
    EXPECT_EQ(readFile(env.root() + "/conf/cuedeck.ini"),
              QByteArray("[Screen_Top]=12\r\n[Screen_Left]=-34\r\n"
                         "[Screen_Width]=1600\r\n[Screen_Height]=900\r\n"));
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), -34, 12, 1600, 900);

    // The title names the file: another title has its own placement.
    SaveWindowPlacement(env.root(), "Deck2", 1, 2, 3, 4);
    EXPECT_TRUE(QFileInfo::exists(env.root() + "/conf/Deck2.ini"));
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), -34, 12, 1600, 900);
}

TEST(PlacementFile, UnwritableFileIsSilentAndLeavesNoFile) {
    IsolatedEnvironment env;
    // No "conf" folder: nothing is written and nothing is thrown.
    EXPECT_NO_THROW(SaveWindowPlacement(env.root(), kTitle, 1, 2, 3, 4));
    EXPECT_FALSE(QFileInfo::exists(env.root() + "/conf"));
    // A folder where the file should be is left alone.
    QDir().mkpath(placementFilePath(env.root(), kTitle));
    EXPECT_NO_THROW(SaveWindowPlacement(env.root(), kTitle, 1, 2, 3, 4));
    EXPECT_TRUE(QFileInfo(placementFilePath(env.root(), kTitle)).isDir());
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 0, 0, 0);
    // Without a data folder nothing lands below the root folder.
    EXPECT_NO_THROW(SaveWindowPlacement(QString(), kTitle, 1, 2, 3, 4));
}

TEST(PlacementReader, KeysValuesAndLineRules) {
    IsolatedEnvironment env;
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 0, 0, 0); // no file

    // Only the height: the rest stays 0.
    writePlacement(env.root(), "[Screen_Height]=600");
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 0, 0, 600);

    // Split at the first "=", exact keys only, later lines win, LF-only lines too.
    writePlacement(env.root(), "[Screen_Top]=10\n"
                               "[screen_left]=99\n"     // wrong case: ignored
                               "[Screen_Left] =98\n"    // not the key: ignored
                               "Screen_Width=97\n"      // brackets belong to the key
                               "[Screen_Width]=300=4\n" // value "300=4" is no number
                               "[Screen_Height]=700\r\n"
                               "garbage without equals\r\n"
                               "[Screen_Top]=20\r\n"
                               "[Screen_Height]=800\r\n");
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 20, 0, 800);
}

TEST(PlacementReader, ValuesThatAreNotDecimalIntegersReadAsZero) {
    IsolatedEnvironment env;
    const std::pair<const char*, qint32> cases[] = {
        {"640", 640},
        {"-15", -15},
        {"+7", 7},
        {" 42 ", 42},
        {"", 0},
        {"abc", 0},
        {"12px", 0},
        {"0x20", 0},
        {"1.5", 0},
        {"- 3", 0},
        {"2147483647", 2147483647},
        {"2147483648", 0},
        {"-2147483648", std::numeric_limits<qint32>::min()},
        {"99999999999999999999", 0},
        {"１２", 0}, // full-width digits are not decimal
    };
    for (const auto& [text, expected] : cases) {
        writePlacement(env.root(), QByteArray("[Screen_Left]=") + text);
        EXPECT_EQ(LoadWindowPlacement(env.root(), kTitle).Left, expected) << text;
    }
}

TEST(PlacementReader, HostileFilesGiveZeros) {
    IsolatedEnvironment env;
    // A directory where the file should be.
    QDir().mkpath(placementFilePath(env.root(), kTitle));
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 0, 0, 0);
    QDir(placementFilePath(env.root(), kTitle)).removeRecursively();
    // A FIFO must neither block nor be read.
    ASSERT_EQ(mkfifo(QFile::encodeName(placementFilePath(env.root(), kTitle)).constData(), 0600),
              0);
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 0, 0, 0);
    QFile::remove(placementFilePath(env.root(), kTitle));
    // Binary junk and an oversized file.
    writePlacement(env.root(), QByteArray("\xff\xfe\x00[Screen_Height]=5", 20));
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 0, 0, 0);
    writePlacement(env.root(), QByteArray(3 << 20, 'x') + "\n[Screen_Height]=5\n");
    EXPECT_PLACEMENT(LoadWindowPlacement(env.root(), kTitle), 0, 0, 0, 0);
}

TEST(PlacementChoice, DefaultsWhenHeightIsUnusable) {
    for (qint32 height : {0, -1, std::numeric_limits<qint32>::min()})
        EXPECT_PLACEMENT(placementToApply({100, 100, 800, height}, kOneScreen), 5, 5, 1747, 880);
    EXPECT_PLACEMENT(placementToApply({}, kOneScreen), 5, 5, 1747, 880);
}

TEST(PlacementChoice, StoredPlacementIsKeptAndZeroWidthMended) {
    EXPECT_PLACEMENT(placementToApply({30, 40, 800, 600}, kOneScreen), 30, 40, 800, 600);
    // Only "[Screen_Height]=600" stored: top-left corner, default width.
    EXPECT_PLACEMENT(placementToApply({0, 0, 0, 600}, kOneScreen), 0, 0, 1747, 600);
    EXPECT_PLACEMENT(placementToApply({0, 0, -20, 600}, kOneScreen), 0, 0, 1747, 600);
    // No screen known: nothing to check against.
    EXPECT_PLACEMENT(placementToApply({-9000, 9000, 800, 600}, {}), -9000, 9000, 800, 600);
}

TEST(PlacementChoice, WindowOffEveryScreenFallsBackToDefault) {
    // Two monitors side by side; the right one has been removed in the second list.
    const QList<QRect> two{QRect(0, 0, 1920, 1080), QRect(1920, 0, 2560, 1440)};
    const QList<QRect> one{QRect(0, 0, 1920, 1080)};
    const WindowPlacement onRight{2200, 100, 1200, 800};
    EXPECT_PLACEMENT(placementToApply(onRight, two), 2200, 100, 1200, 800);
    EXPECT_PLACEMENT(placementToApply(onRight, one), 5, 5, 1747, 880);

    // Exactly 100 x 50 pixels visible is enough; one pixel less on either axis is not.
    EXPECT_PLACEMENT(placementToApply({1820, 1030, 800, 600}, one), 1820, 1030, 800, 600);
    EXPECT_PLACEMENT(placementToApply({1821, 1030, 800, 600}, one), 5, 5, 1747, 880);
    EXPECT_PLACEMENT(placementToApply({1820, 1031, 800, 600}, one), 5, 5, 1747, 880);
    EXPECT_PLACEMENT(placementToApply({-700, -550, 800, 600}, one), -700, -550, 800, 600);
    EXPECT_PLACEMENT(placementToApply({-701, -550, 800, 600}, one), 5, 5, 1747, 880);

    // A window straddling two screens with less than the minimum on each: not reachable
    // on any single screen, even though the two parts add up.
    const QList<QRect> stacked{QRect(0, 0, 1000, 1000), QRect(0, 1000, 1000, 1000)};
    EXPECT_PLACEMENT(placementToApply({960, 970, 800, 600}, stacked), 5, 5, 1747, 880);

    // A tiny window wholly on screen is reachable.
    EXPECT_PLACEMENT(placementToApply({10, 10, 60, 30}, one), 10, 10, 60, 30);
    // Values at the ends of the 32-bit range do not overflow into a visible window.
    const qint32 max = std::numeric_limits<qint32>::max();
    EXPECT_PLACEMENT(placementToApply({max, max, max, max}, one), 5, 5, 1747, 880);
    EXPECT_PLACEMENT(placementToApply({-2000000000, 0, 2000000100, 600}, one), -2000000000, 0,
                     2000000100, 600);
}
