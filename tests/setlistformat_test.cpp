#include "setlistformat.h"

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

TEST(SetListFormat, ReaderKeepsOnlyExactKeysInFileOrder) {
    // clang-format off
    const QStringList lines{
        "[Version]=1.00",
        "[PLAYBTN3]=first",
        "[PLAYBTN1]",       // no "=": the key is "", nothing is set
        "[playbtn1]=lower", // letter case counts
        " [PLAYBTN1]=blank",
        "[PLAYBTN01]=zero",
        "[PLAYBTN9]=nine",
        "[PLAYBTN0]=none",
        "[FILENAME]=x",
        "",
        "[IMAGE2]=",
        "[PLAYBTN3]=second=with=equals",
        "=[PLAYBTN1]",
    };
    // clang-format on
    const std::vector<Entry> expected{
        {3, Field::PlayButton, "first"},
        {2, Field::Image, ""},
        {3, Field::PlayButton, "second=with=equals"},
    };
    EXPECT_EQ(parseLines(lines), expected);
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
