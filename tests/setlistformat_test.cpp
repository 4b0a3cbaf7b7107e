#include "setlistformat.h"
#include "textfile.h"

#include <QFile>

#include <gtest/gtest.h>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace setlist {
inline void PrintTo(const Entry& e, std::ostream* os) {
    *os << "{pad " << e.pad << ", field " << static_cast<int>(e.field) << ", "
        << e.value.toStdString() << "}";
}
} // namespace setlist

using namespace setlist;

namespace {

QByteArray fixture(const char* name) {
    QFile f(QStringLiteral(CUEDECK_TEST_DATA "/") + QLatin1String(name));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
    return f.readAll();
}

Board resetBoard() {
    const char* suffixes[] = {"(&Q)", "(&W)", "(&E)", "(&R)", "(&A)", "(&S)", "(&D)", "(&F)"};
    Board board;
    for (int i = 0; i < kPadCount; ++i)
        board[static_cast<size_t>(i)] = {"", QStringLiteral("PLAY SOUND") + suffixes[i], "", 1000};
    return board;
}

} // namespace

TEST(SetListFormat, ResetBoardIsTheThirtyThreeLinesByteForByte) {
    const QStringList lines = formatLines(resetBoard());
    ASSERT_EQ(lines.size(), 33);
    EXPECT_EQ(textfile::encodeLines(lines), fixture("setlist_reset.cdk"));
}

TEST(SetListFormat, LinesAreInPadAndFieldOrderAndRoundTrip) {
    Board board = resetBoard();
    board[0] = {"/snd/a=b.wav", QStringLiteral("チャイム=鐘(&Q)"), "/img/p.png", 0};
    board[7] = {"/snd/z.mp3", "", "", 999};
    const QStringList lines = formatLines(board);
    EXPECT_EQ(lines[1], "[FILENAME1]=/snd/a=b.wav");
    EXPECT_EQ(lines[2], QStringLiteral("[PLAYBTN1]=チャイム=鐘(&Q)"));
    EXPECT_EQ(lines[3], "[IMAGE1]=/img/p.png");
    EXPECT_EQ(lines[4], "[VOLUME1]=0");
    EXPECT_EQ(lines[29], "[FILENAME8]=/snd/z.mp3");
    EXPECT_EQ(lines[30], "[PLAYBTN8]=");
    EXPECT_EQ(lines[32], "[VOLUME8]=999");

    // Reading the lines back gives every pad's values in the written order.
    Board back;
    const std::vector<Entry> entries = parseLines(lines);
    ASSERT_EQ(entries.size(), 32u);
    for (const Entry& e : entries) {
        PadRecord& rec = back[static_cast<size_t>(e.pad - 1)];
        switch (e.field) {
        case Field::FileName:
            rec.fileName = e.value;
            break;
        case Field::PlayButton:
            rec.caption = e.value;
            break;
        case Field::Image:
            rec.imagePath = e.value;
            break;
        case Field::Volume:
            rec.volume = volumeFromText(e.value);
            break;
        }
    }
    EXPECT_EQ(back, board);
    EXPECT_EQ(entries[4], (Entry{2, Field::FileName, ""}));
}

TEST(SetListFormat, ReaderKeepsOnlyExactKeysInFileOrder) {
    const QStringList lines{
        "[Version]=1.00",    "[PLAYBTN3]=first",
        "[PLAYBTN1]",       // no "=": the key is "", nothing is set
        "[playbtn1]=lower", // letter case counts
        " [PLAYBTN1]=blank", "[PLAYBTN01]=zero",
        "[PLAYBTN9]=nine",   "[PLAYBTN0]=none",
        "[FILENAME]=x",      "",
        "[IMAGE2]=",         "[PLAYBTN3]=second=with=equals",
        "=[PLAYBTN1]",
    };
    const std::vector<Entry> expected{
        {3, Field::PlayButton, "first"},
        {2, Field::Image, ""},
        {3, Field::PlayButton, "second=with=equals"},
    };
    EXPECT_EQ(parseLines(lines), expected);
}

TEST(SetListFormat, Cp932FileFromWindows) {
    const std::vector<Entry> entries =
        parseLines(textfile::decodeLines(fixture("setlist_cp932.cdk")));
    const std::vector<Entry> expected{
        {1, Field::FileName,
         QStringLiteral("C:\\ProgramData\\varnel\\cuedeck\\sound\\チャイム.wav")},
        {1, Field::PlayButton, QStringLiteral("チャイム(&Q)")},
        {1, Field::Image, QStringLiteral("C:\\ProgramData\\varnel\\cuedeck\\image\\表示.png")},
        {1, Field::Volume, "800"},
        {2, Field::PlayButton,
         QStringLiteral("開演ベル") + QChar(0xFF5E) + QStringLiteral("ＢＧＭ=2(&W)")},
        {2, Field::Volume, "250"},
    };
    EXPECT_EQ(entries, expected);
}

TEST(SetListFormat, VolumeText) {
    EXPECT_EQ(volumeFromText("500"), 500);
    EXPECT_EQ(volumeFromText("0"), 0);
    EXPECT_EQ(volumeFromText("1000"), 1000);
    EXPECT_EQ(volumeFromText("abc"), 1000);
    EXPECT_EQ(volumeFromText(""), 1000);
    EXPECT_EQ(volumeFromText("12abc"), 1000);
    EXPECT_EQ(volumeFromText("5000"), 1000);
    EXPECT_EQ(volumeFromText("-7"), 0);
    EXPECT_EQ(volumeFromText("99999999999"), 1000); // not a 32-bit integer
    EXPECT_EQ(volumeFromText("0x10"), 1000);        // decimal only
}
