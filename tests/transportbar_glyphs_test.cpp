// The 27 built-in transport glyphs as compiled into the resources: sizes, palette, colours,
// the engraved edge and the transparent background colour.

#include <QImage>
#include <QString>
#include <gtest/gtest.h>

#include <ostream>
#include <set>

namespace {

struct GlyphSpec {
    const char* name;
    int width;
    int height;
    QRgb colour; // of the coloured glyph's symbol
};

void PrintTo(const GlyphSpec& g, std::ostream* os) {
    *os << g.name;
}

constexpr QRgb kOlive = 0xFF808000;
constexpr QRgb kGrey = 0xFF808080;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kGreen = 0xFF00FF00;
constexpr QRgb kYellow = 0xFFFFFF00;
constexpr QRgb kRed = 0xFFFF0000;
constexpr QRgb kBlue = 0xFF0000FF;

const GlyphSpec kGlyphs[] = {
    {"MPPLAY", 17, 16, kGreen}, {"MPPAUSE", 13, 16, kYellow}, {"MPSTOP", 17, 16, kRed},
    {"MPNEXT", 21, 16, kBlue},  {"MPPREV", 20, 16, kBlue},    {"MPSTEP", 21, 16, kBlue},
    {"MPBACK", 21, 16, kBlue},  {"MPRECORD", 13, 13, kRed},   {"MPEJECT", 19, 16, kBlue},
};

QImage load(const char* prefix, const char* name) {
    return QImage(QStringLiteral(":/glyphs/%1_%2.xpm").arg(prefix, name));
}

std::set<QRgb> coloursOf(const QImage& image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    return colours;
}

class Glyphs : public ::testing::TestWithParam<GlyphSpec> {};

} // namespace

TEST_P(Glyphs, SizesPaletteAndBackground) {
    const GlyphSpec g = GetParam();
    for (const char* prefix : {"EN", "DI", "CL"}) {
        SCOPED_TRACE(prefix);
        const QImage image = load(prefix, g.name);
        ASSERT_FALSE(image.isNull()) << "missing resource";
        const bool narrowPause = QString(prefix) == "DI" && QString(g.name) == "MPPAUSE";
        EXPECT_EQ(image.width(), narrowPause ? 12 : g.width);
        EXPECT_EQ(image.height(), g.height);
        // Sixteen-colour images: an indexed palette of sixteen entries.
        EXPECT_EQ(image.colorCount(), 16);
        // The bottom-left pixel names the transparent colour: the olive background.
        EXPECT_EQ(image.pixel(0, image.height() - 1), kOlive);
    }
}

TEST_P(Glyphs, SymbolColoursAndSharedShape) {
    const GlyphSpec g = GetParam();
    const QImage en = load("EN", g.name);
    const QImage cl = load("CL", g.name);
    const QImage di = load("DI", g.name);
    ASSERT_FALSE(en.isNull() || cl.isNull() || di.isNull());

    EXPECT_EQ(coloursOf(en), (std::set<QRgb>{kOlive, kGrey, kWhite, kBlack}));
    EXPECT_EQ(coloursOf(cl), (std::set<QRgb>{kOlive, kGrey, kWhite, g.colour}));
    EXPECT_EQ(coloursOf(di), (std::set<QRgb>{kOlive, kGrey, kWhite}));

    // One shape in three renderings: the coloured symbol stands where the black one does,
    // and the disabled glyph is the enabled one without its symbol.
    for (int y = 0; y < en.height(); ++y)
        for (int x = 0; x < en.width(); ++x) {
            const QRgb e = en.pixel(x, y);
            EXPECT_EQ(cl.pixel(x, y), e == kBlack ? g.colour : e) << x << "," << y;
            if (x < di.width()) {
                EXPECT_EQ(di.pixel(x, y), e == kBlack ? kOlive : e) << x << "," << y;
            }
        }
}

// The edge is engraved: grey just above or left of the symbol, white just below or right of
// it.
TEST_P(Glyphs, EngravedEdge) {
    const QImage en = load("EN", GetParam().name);
    ASSERT_FALSE(en.isNull());
    auto symbol = [&](int x, int y) { return en.valid(x, y) && en.pixel(x, y) == kBlack; };
    bool grey = false, white = false;
    for (int y = 0; y < en.height(); ++y)
        for (int x = 0; x < en.width(); ++x) {
            const QRgb c = en.pixel(x, y);
            if (c == kGrey) {
                grey = true;
                EXPECT_TRUE(symbol(x + 1, y) || symbol(x, y + 1)) << "grey at " << x << "," << y;
            } else if (c == kWhite) {
                white = true;
                EXPECT_TRUE(symbol(x - 1, y) || symbol(x, y - 1)) << "white at " << x << "," << y;
            }
        }
    EXPECT_TRUE(grey);
    EXPECT_TRUE(white);
}

INSTANTIATE_TEST_SUITE_P(AllButtons, Glyphs, ::testing::ValuesIn(kGlyphs),
                         [](const auto& info) { return std::string(info.param.name); });
