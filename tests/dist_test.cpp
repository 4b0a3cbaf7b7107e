// The starter files a new user meets first: the build tree's set list 1, the clips, the pad
// pictures, the logo and side-panel bitmap, and the user manual.
#include "dist_support.h"

#include <gmock/gmock.h>
#include <sndfile.h>

#include <QImage>
#include <QImageReader>
#include <QString>

#include <algorithm>
#include <cmath>

using namespace diststarter;
using ::testing::IsEmpty;

namespace {

const fs::path kSource = CUEDECK_SOURCE_DIR;
const fs::path kBuild = CUEDECK_BINARY_DIR;

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string extension(const fs::path& file) {
    std::string e = file.extension().string();
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return std::tolower(c); });
    return e;
}

TEST(StarterSetList, BuildTreeSetListNamesEveryStarterClipAndPictureOnce) {
    const fs::path program = kBuild / "bin";
    const auto setlist = checkStarterSetList(program / "conf/setlist1.cdk", program);
    EXPECT_THAT(setlist.problems, IsEmpty());

    // Every shipped clip and picture is on a pad, so nothing ships that the demo does not use.
    std::vector<fs::path> clips, pictures;
    for (const auto& c : setlist.clips)
        clips.push_back(c.filename());
    for (const auto& p : setlist.pictures)
        pictures.push_back(p.filename());
    std::sort(clips.begin(), clips.end());
    std::sort(pictures.begin(), pictures.end());
    std::vector<fs::path> shippedClips, shippedPictures;
    for (const auto& f : filesIn(kSource / "dist/sound"))
        shippedClips.push_back(f.filename());
    for (const auto& f : filesIn(kSource / "dist/image"))
        shippedPictures.push_back(f.filename());
    EXPECT_EQ(clips, shippedClips);
    EXPECT_EQ(pictures, shippedPictures);
}

struct ClipStats {
    double seconds = 0, peak = 0, rmsDb = -200, head = 0, tail = 0;
};

// Decodes a whole clip. head: the largest sample in the first 0.5 ms; tail: the mean level of
// the last 5 ms; both small when the clip fades in and out instead of clicking.
ClipStats measure(SNDFILE* f, const SF_INFO& info) {
    std::vector<float> all(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(f, all.data(), info.frames);
    all.resize(static_cast<size_t>(got * info.channels));
    ClipStats s;
    s.seconds = static_cast<double>(got) / info.samplerate;
    double sum = 0;
    for (float v : all) {
        s.peak = std::max(s.peak, static_cast<double>(std::fabs(v)));
        sum += static_cast<double>(v) * v;
    }
    if (!all.empty() && sum > 0)
        s.rmsDb = 10 * std::log10(sum / static_cast<double>(all.size()));
    const size_t headSamples = static_cast<size_t>(info.samplerate / 2000 * info.channels);
    for (size_t i = 0; i < std::min(headSamples, all.size()); ++i)
        s.head = std::max(s.head, static_cast<double>(std::fabs(all[i])));
    const size_t tailSamples =
        std::min(all.size(), static_cast<size_t>(info.samplerate / 200 * info.channels));
    for (size_t i = all.size() - tailSamples; i < all.size(); ++i)
        s.tail += std::fabs(all[i]) / static_cast<double>(tailSamples);
    return s;
}

TEST(StarterClips, AreShortCleanClipsAtASensibleLevel) {
    const auto clips = filesIn(kSource / "dist/sound");
    ASSERT_GE(clips.size(), 5u);
    ASSERT_LE(clips.size(), 8u);
    int mp3s = 0;
    for (const auto& clip : clips) {
        SCOPED_TRACE(clip.filename().string());
        const std::string ext = extension(clip);
        ASSERT_TRUE(ext == ".wav" || ext == ".mp3");

        SF_INFO info{};
        SNDFILE* f = sf_open(clip.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        if (ext == ".wav") {
            EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
            EXPECT_TRUE(info.samplerate == 44100 || info.samplerate == 48000) << info.samplerate;
        } else {
            ++mp3s;
            EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_MPEG);
            // The Xing/Info header and LAME tag sit in the first frame; without them the
            // length of the clip is only an estimate.
            const std::string head = readBytes(clip).substr(0, 1024);
            EXPECT_TRUE(head.find("Info") != std::string::npos ||
                        head.find("Xing") != std::string::npos);
            EXPECT_NE(head.find("LAME"), std::string::npos);
        }
        EXPECT_TRUE(info.channels == 1 || info.channels == 2);
        const ClipStats s = measure(f, info);
        sf_close(f);

        EXPECT_GE(s.seconds, 0.5);
        EXPECT_LE(s.seconds, 4.0);
        EXPECT_LT(s.peak, 0.95) << "too close to clipping";
        EXPECT_GT(s.peak, 0.1) << "nearly silent";
        EXPECT_GT(s.rmsDb, -30.0);
        EXPECT_LT(s.rmsDb, -10.0);
        EXPECT_LT(s.head, 0.1) << "starts with a click";
        EXPECT_LT(s.tail, 0.01) << "stops with a click";
    }
    EXPECT_GE(mp3s, 2);
}

TEST(StarterPictures, PadPicturesArePngOrJpegAtPadSize) {
    const auto pictures = filesIn(kSource / "dist/image");
    ASSERT_FALSE(pictures.empty());
    std::set<QByteArray> formats;
    for (const auto& file : pictures) {
        SCOPED_TRACE(file.filename().string());
        const QString name = QString::fromStdString(file.string());
        const QByteArray format = QImageReader::imageFormat(name); // from the content
        QImageReader reader(name);
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        EXPECT_EQ(image.size(), QSize(290, 199));
        // The content matches the name, so a picture dialog filtering by extension finds it.
        const std::string ext = extension(file);
        EXPECT_EQ(format.toStdString(), ext == ".jpg" ? "jpeg" : ext.substr(1));
        formats.insert(format);
    }
    EXPECT_EQ(formats, (std::set<QByteArray>{"png", "jpeg"}));
}

TEST(StarterPictures, LogoIsARoundedMarkOnTransparencyAndSidePanelBitmapIsABmp) {
    const QString logoName = QString::fromStdString((kSource / "resources/logo.png").string());
    EXPECT_EQ(QImageReader::imageFormat(logoName), "png");
    QImageReader logoReader(logoName);
    const QImage logo = logoReader.read();
    ASSERT_FALSE(logo.isNull()) << logoReader.errorString().toStdString();
    EXPECT_EQ(logo.size(), QSize(256, 256));
    ASSERT_TRUE(logo.hasAlphaChannel());
    EXPECT_EQ(qAlpha(logo.pixel(0, 0)), 0) << "corners show what lies behind";
    EXPECT_EQ(qAlpha(logo.pixel(255, 255)), 0);
    EXPECT_EQ(qAlpha(logo.pixel(128, 128)), 255);

    const QString bmpName = QString::fromStdString((kSource / "resources/sidepanel.bmp").string());
    EXPECT_EQ(QImageReader::imageFormat(bmpName), "bmp");
    QImageReader bmpReader(bmpName);
    const QImage bmp = bmpReader.read();
    ASSERT_FALSE(bmp.isNull()) << bmpReader.errorString().toStdString();
    EXPECT_EQ(bmp.size(), QSize(50, 50));
}

TEST(StarterFiles, ManualIsSelfContainedJapaneseHtmlWithAScreenshotPlace) {
    const std::string html = readBytes(kSource / "dist/help/index.html");
    ASSERT_FALSE(html.empty());
    EXPECT_TRUE(isUtf8(html));
    EXPECT_NE(html.find("<html lang=\"ja\">"), std::string::npos);
    EXPECT_NE(html.find("charset=\"utf-8\""), std::string::npos);
    EXPECT_NE(html.find("src=\"screenshot.png\""), std::string::npos);
    // Opened from the program folder with no network: nothing may be fetched from elsewhere.
    for (const char* external :
         {"src=\"http", "href=\"http", "<link", "<script", "@import", "url("})
        EXPECT_EQ(html.find(external), std::string::npos) << external;
    // It tells where the set lists live on this platform.
    EXPECT_NE(html.find("~/.local/share/varnel/cuedeck"), std::string::npos);
    EXPECT_NE(html.find("/var/lib/varnel/cuedeck"), std::string::npos);
}

TEST(StarterFiles, StayUnderTwoMegabytes) {
    std::uintmax_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(kSource / "dist"))
        if (e.is_regular_file())
            total += e.file_size();
    EXPECT_LT(total, 2u * 1024 * 1024);
}

} // namespace
