// Figures about clips: loudness and true peak, the audible span, the waveform overview, and the
// analyser that measures them off the UI thread and keeps them per file.

#include "clipanalyser.h"
#include "encode_support.h"
#include "engine_support.h"
#include "loudness.h"
#include "peakcache.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <ebur128.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include <sys/stat.h>

using testsupport::TempDir;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// A float WAV of `frames` frames whose sample at frame i, channel c is signal(i, c); also
// returned interleaved.
std::vector<float> writeSignal(const std::string& path, int rate, int channels, long frames,
                               const std::function<float(long, int)>& signal) {
    std::vector<float> data(static_cast<std::size_t>(frames * channels));
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            data[static_cast<std::size_t>(i * channels + c)] = signal(i, c);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    sf_writef_float(f, data.data(), frames);
    sf_close(f);
    return data;
}

// A 1 kHz sine at `dbfs` peak from `fromS` to `toS` seconds, silence elsewhere.
std::function<float(long, int)> tone(int rate, double dbfs, double fromS = 0, double toS = 1e9) {
    const double amplitude = std::pow(10.0, dbfs / 20.0);
    return [=](long i, int) {
        const double t = static_cast<double>(i) / rate;
        return t >= fromS && t < toS ? static_cast<float>(amplitude * std::sin(kTwoPi * 1000 * t))
                                     : 0.0f;
    };
}

} // namespace

TEST(ClipAnalysis, LoudnessOfAToneIsItsLevelForEveryDecoderAndSpan) {
    TempDir dir;
    // A stereo 1 kHz sine at -23 dBFS reads -23 LUFS (EBU R128's own reference); a mono one
    // sounds on both sides and reads the same. The .m4a holds the same tone, losslessly.
    const auto stereo = writeSignal(dir.file("stereo.wav"), 48000, 2, 5 * 48000, tone(48000, -23));
    writeSignal(dir.file("mono.wav"), 44100, 1, 5 * 44100, tone(44100, -23));
    testsupport::encodeClip(dir.file("tone.m4a"), "ipod", "alac", 48000, 2, stereo);
    for (const char* name : {"stereo.wav", "mono.wav", "tone.m4a"}) {
        SCOPED_TRACE(name);
        const auto figures = media::measureLoudness(dir.file(name));
        ASSERT_TRUE(figures);
        EXPECT_NEAR(figures->integratedLufs, -23.0, 0.1);
        EXPECT_NEAR(figures->truePeakDbtp, -23.0, 0.2);
        EXPECT_EQ(figures->lengthMs, 5000);
        // One pass for the peaks and the loudness reads as the two passes apart.
        const auto both = media::measureClip(dir.file(name));
        ASSERT_TRUE(both);
        EXPECT_EQ(both->loudness.integratedLufs, figures->integratedLufs);
        EXPECT_EQ(both->loudness.truePeakDbtp, figures->truePeakDbtp);
        EXPECT_EQ(both->loudness.lengthMs, 5000);
        const auto peaks = media::measurePeaks(dir.file(name));
        ASSERT_TRUE(peaks);
        EXPECT_EQ(both->peaks.frames, peaks->frames);
        ASSERT_EQ(both->peaks.blocks.size(), peaks->blocks.size());
        for (std::size_t b = 0; b < peaks->blocks.size(); ++b)
            ASSERT_EQ(both->peaks.blocks[b].high, peaks->blocks[b].high) << b;
    }

    // Two seconds at -40 dBFS, then two at -20: each span reads its own part.
    const int rate = 48000;
    writeSignal(dir.file("steps.wav"), rate, 2, 4 * rate, [&](long i, int c) {
        return i < 2 * rate ? tone(rate, -40)(i, c) : tone(rate, -20)(i, c);
    });
    const std::string steps = dir.file("steps.wav");
    EXPECT_NEAR(media::measureLoudness(steps, {0, 2000})->integratedLufs, -40.0, 0.1);
    EXPECT_NEAR(media::measureLoudness(steps, {2000, 0})->integratedLufs, -20.0, 0.1);
    EXPECT_NEAR(media::measureLoudness(steps, {2000, 0})->truePeakDbtp, -20.0, 0.2);
    // The whole: the relative gate leaves the quiet part out (ungated it would read -23);
    // only the blocks across the step lower it a little.
    EXPECT_NEAR(media::measureLoudness(steps)->integratedLufs, -20.0, 0.5);

    writeSignal(dir.file("silence.wav"), rate, 2, rate, [](long, int) { return 0.0f; });
    const auto silent = media::measureLoudness(dir.file("silence.wav"));
    EXPECT_TRUE(std::isinf(silent->integratedLufs) && silent->integratedLufs < 0);
    EXPECT_TRUE(std::isinf(silent->truePeakDbtp) && silent->truePeakDbtp < 0);
}

// The meter against libebur128 (EBUR128_MODE_I) on the same frames, handed over in uneven
// pieces: signals that the shelf and the high-pass shape differently, gates that leave parts
// out, and rates from 8 to 192 kHz.
TEST(ClipAnalysis, LoudnessMeterReadsAsLibebur128) {
    struct Case {
        const char* name;
        int rate;
        double seconds;
        std::function<float(long, int, int)> signal; // frame, channel, rate
    };
    std::mt19937 noise(7);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    auto sine = [](double hz, double amplitude) {
        return [=](long i, int, int rate) {
            return static_cast<float>(amplitude * std::sin(kTwoPi * hz * i / rate));
        };
    };
    const Case cases[] = {
        {"noise", 44100, 3.0, [&](long, int, int) { return uniform(noise); }},
        {"bass 30 Hz", 48000, 2.0, sine(30, 0.5)},
        {"treble 6 kHz", 22050, 2.0, sine(6000, 0.3)},
        {"one side", 96000, 1.5,
         [&](long i, int c, int rate) { return c ? 0.0f : sine(440, 0.4)(i, c, rate); }},
        {"steps through both gates", 44100, 6.0,
         [&](long i, int, int rate) {
             const long second = i / rate;
             // Loud, then 14 dB down (under the relative gate, if only just), then under the
             // absolute gate.
             const double level = second < 2 ? 0.5 : second < 4 ? 0.1 : 0.0002;
             return static_cast<float>(level) * uniform(noise);
         }},
        {"a part 12 dB down, just inside the relative gate", 44100, 4.0,
         [&](long i, int, int rate) { return (i / rate < 2 ? 0.5f : 0.125f) * uniform(noise); }},
        {"low rate", 8000, 2.0, sine(1000, 0.25)},
        {"high rate", 192000, 1.0, sine(15000, 0.1)},
        {"shorter than a block", 48000, 0.3, sine(1000, 0.5)},
        {"silence", 48000, 1.0, [](long, int, int) { return 0.0f; }},
    };
    for (const media::MeterLoops loops : {media::MeterLoops::Fastest, media::MeterLoops::Portable})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            SCOPED_TRACE(loops == media::MeterLoops::Portable ? "portable loops" : "fastest loops");
            const long frames = static_cast<long>(c.seconds * c.rate);
            std::vector<float> data(static_cast<std::size_t>(2 * frames));
            for (long i = 0; i < frames; ++i)
                for (int ch = 0; ch < 2; ++ch)
                    data[static_cast<std::size_t>(2 * i + ch)] = c.signal(i, ch, c.rate);
            media::LoudnessMeter meter(c.rate, loops);
            ebur128_state* reference =
                ebur128_init(2, static_cast<unsigned long>(c.rate), EBUR128_MODE_I);
            ASSERT_NE(reference, nullptr);
            std::mt19937 pieces(static_cast<unsigned>(c.rate));
            for (long at = 0; at < frames;) {
                const long n = std::min<long>(frames - at, 1 + static_cast<long>(pieces() % 9000));
                meter.add(data.data() + 2 * at, n);
                ebur128_add_frames_float(reference, data.data() + 2 * at,
                                         static_cast<std::size_t>(n));
                at += n;
            }
            double expected = 0.0;
            ASSERT_EQ(ebur128_loudness_global(reference, &expected), EBUR128_SUCCESS);
            ebur128_destroy(&reference);
            const double lufs = meter.integratedLufs();
            if (std::isinf(expected)) {
                EXPECT_TRUE(std::isinf(lufs) && lufs < 0) << lufs;
            } else {
                EXPECT_NEAR(lufs, expected, 0.05);
            }
        }
    // A broken float file's infinite sample (here the last, so that no later sample turns
    // the filter's state into NaN) gives no figure, not an infinite one.
    media::LoudnessMeter broken(48000);
    std::vector<float> loud(2 * 48000, 0.5f);
    loud.back() = HUGE_VALF;
    broken.add(loud.data(), 48000);
    EXPECT_TRUE(std::isinf(broken.integratedLufs()) && broken.integratedLufs() < 0);
}

// The true peak of waves whose peak falls between samples, whatever pieces they come in.
TEST(ClipAnalysis, TruePeakFindsThePeakBetweenSamplesInAnyPieces) {
    const int rate = 48000;
    const long frames = rate;
    media::MeterLoops loops = media::MeterLoops::Fastest;
    auto measure = [&loops](const std::vector<float>& data, long piece) {
        media::TruePeakMeter meter(loops);
        const long frames = static_cast<long>(data.size() / 2);
        for (long at = 0; at < frames; at += piece)
            meter.add(data.data() + 2 * at, std::min(piece, frames - at));
        return 20.0 * std::log10(meter.peak());
    };
    // A quarter of the rate, 45 degrees off: every sample at 0.707 of the wave's peak of 0.5
    // (-9 dBFS), the wave itself at -6 dBFS between them; on one side only.
    std::vector<float> between(static_cast<std::size_t>(2 * frames), 0.0f);
    for (long i = 0; i < frames; ++i)
        between[static_cast<std::size_t>(2 * i + 1)] =
            static_cast<float>(0.5 * std::sin(kTwoPi * i / 4 + kTwoPi / 8));
    // Near silence with one loud sample as the very last: it counts though nothing follows.
    std::vector<float> lastLoud(static_cast<std::size_t>(2 * frames), 0.001f);
    lastLoud.back() = -0.5f;
    for (const auto each : {media::MeterLoops::Fastest, media::MeterLoops::Portable})
        for (long piece : {1L, 7L, 13L, 4096L, frames}) {
            loops = each;
            SCOPED_TRACE(piece);
            SCOPED_TRACE(each == media::MeterLoops::Portable ? "portable loops" : "fastest loops");
            EXPECT_NEAR(measure(between, piece), -6.02, 0.15);
            EXPECT_GE(measure(lastLoud, piece), -6.03);
        }
    // Silence has no peak.
    EXPECT_EQ(media::TruePeakMeter().peak(), 0.0);
}

TEST(ClipAnalysis, AudibleSpanRoundsOutwardsAndHonoursTheThreshold) {
    TempDir dir;
    const int rate = 48000;
    // Sound from frame 48024 (1000.5 ms) to frame 72023 (ends at 1500.5 ms) of 2 s.
    const std::string path = dir.file("inner.wav");
    writeSignal(path, rate, 1, 2 * rate, [&](long i, int) {
        return i >= 48024 && i < 72024 ? 0.2f * ((i % 2) ? 1.0f : -1.0f) : 0.0f;
    });
    auto span = media::findAudible(path);
    ASSERT_TRUE(span);
    EXPECT_TRUE(span->audible);
    EXPECT_EQ(span->firstMs, 1000);
    EXPECT_EQ(span->lastMs, 1501);
    EXPECT_EQ(span->lengthMs, 2000);
    // -20 dBFS is above -30 and below -10.
    EXPECT_TRUE(media::findAudible(path, -30.0)->audible);
    EXPECT_FALSE(media::findAudible(path, -10.0)->audible);

    // Quiet in the left channel, loud in the right only at the end: either channel counts.
    const std::string right = dir.file("right.wav");
    writeSignal(right, rate, 2, rate,
                [&](long i, int c) { return c == 1 && i >= rate / 2 ? 0.5f : 0.001f; });
    span = media::findAudible(right);
    EXPECT_EQ(span->firstMs, 500);
    EXPECT_EQ(span->lastMs, 1000);

    EXPECT_THROW(media::findAudible(dir.file("missing.wav")), media::OpenError);
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(media::findAudible(path, -50.0, &cancel));
    EXPECT_FALSE(media::measureLoudness(path, {}, &cancel));
    EXPECT_FALSE(media::waveformOverview(path, 10, {}, &cancel));
}

TEST(ClipAnalysis, OverviewHoldsEachColumnsExtremesAndGrowsInPrefixes) {
    TempDir dir;
    const int rate = 8000;
    // Ten half-second parts, part k at k/10 of full scale; part 7 only goes negative.
    const std::string path = dir.file("parts.wav");
    writeSignal(path, rate, 2, 5 * rate, [&](long i, int c) {
        const long part = i / (rate / 2);
        const float level = static_cast<float>(part) / 10.0f;
        const float s = (i % 4 < 2 ? 1.0f : -1.0f) * level * (c == 0 ? 1.0f : 0.5f);
        return part == 7 ? -std::fabs(s) : s;
    });
    std::vector<media::Overview> partials;
    const auto overview = media::waveformOverview(
        path, 10, [&](const media::Overview& partial) { partials.push_back(partial); });
    ASSERT_TRUE(overview);
    ASSERT_EQ(overview->columns.size(), 10u);
    EXPECT_EQ(overview->lengthMs, 5000);
    for (int k = 0; k < 10; ++k) {
        SCOPED_TRACE(k);
        EXPECT_FLOAT_EQ(overview->columns[k].low, -k / 10.0f);
        EXPECT_FLOAT_EQ(overview->columns[k].high, k == 7 ? 0.0f : k / 10.0f);
    }
    ASSERT_GE(partials.size(), 4u);
    for (std::size_t p = 0; p < partials.size(); ++p) {
        EXPECT_LE(partials[p].columns.size(), 10u);
        if (p > 0) {
            EXPECT_GE(partials[p].columns.size(), partials[p - 1].columns.size());
        }
        for (std::size_t k = 0; k < partials[p].columns.size(); ++k)
            EXPECT_EQ(partials[p].columns[k].high, overview->columns[k].high);
    }

    // More columns than frames: every column still shows the frame under it.
    writeSignal(dir.file("short.wav"), rate, 1, 4, [](long i, int) { return 0.1f * (i + 1); });
    const auto tiny = media::waveformOverview(dir.file("short.wav"), 8);
    ASSERT_EQ(tiny->columns.size(), 8u);
    EXPECT_FLOAT_EQ(tiny->columns[0].high, 0.1f);
    EXPECT_FLOAT_EQ(tiny->columns[7].high, 0.4f);
}

namespace {

bool sameColumns(const media::Overview& a, const media::Overview& b) {
    return a.lengthMs == b.lengthMs && a.columns.size() == b.columns.size() &&
           std::equal(
               a.columns.begin(), a.columns.end(), b.columns.begin(),
               [](const auto& x, const auto& y) { return x.low == y.low && x.high == y.high; });
}

// A peak file's bytes with the hash at its end made right again, as a hostile file would be.
std::string rehashed(std::string bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i + 8 < bytes.size(); ++i)
        h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    std::memcpy(bytes.data() + bytes.size() - 8, &h, 8);
    return bytes;
}

} // namespace

TEST(ClipAnalysis, KeptPeaksGiveTheFreshOverviewAndOnlyForTheSameFile) {
    TempDir dir;
    const int rate = 44100;
    // A minute whose level rises and falls, so that every width shows a different picture; a
    // minute has more frames than the blocks a clip gets, so blocks span many frames.
    const std::string path = dir.file("swell.wav");
    writeSignal(path, rate, 2, 60 * rate, [&](long i, int c) {
        const double env = 0.5 + 0.45 * std::sin(kTwoPi * i / (7.3 * rate));
        return static_cast<float>(env * std::sin(kTwoPi * (c ? 440 : 330) * i / rate));
    });
    const auto stamp = media::stampOf(path);
    ASSERT_TRUE(stamp);
    const auto peaks = media::measurePeaks(path);
    ASSERT_TRUE(peaks);
    EXPECT_GT(peaks->blockFrames, 1);
    const std::string folder = dir.file("peaks");
    ASSERT_TRUE(media::storePeaks(folder, path, *stamp, *peaks));
    const auto kept = media::loadPeaks(folder, path, *stamp);
    ASSERT_TRUE(kept);
    for (int columns : {1, 7, 760, 1600}) {
        SCOPED_TRACE(columns);
        const auto fresh = media::waveformOverview(path, columns);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(fresh->lengthMs, 60000);
        EXPECT_TRUE(sameColumns(media::overviewOf(*kept, columns), *fresh));
    }
    // Another size, another time or another path: not the file the peaks are of.
    EXPECT_FALSE(media::loadPeaks(folder, path, {stamp->size + 1, stamp->mtimeNs}));
    EXPECT_FALSE(media::loadPeaks(folder, path, {stamp->size, stamp->mtimeNs + 1}));
    EXPECT_FALSE(
        media::decodePeaks(media::encodePeaks(path, *stamp, *kept), dir.file("other"), *stamp));
    // A write that cannot be made says so.
    EXPECT_FALSE(media::storePeaks(path + "/not-a-folder", path, *stamp, *peaks));
}

TEST(ClipAnalysis, DamagedOrHostilePeakFilesAreNeverUsed) {
    TempDir dir;
    const std::string path = dir.file("clip.wav");
    writeSignal(path, 8000, 1, 8000 * 3, tone(8000, -6));
    const auto stamp = media::stampOf(path);
    const auto peaks = media::measurePeaks(path);
    ASSERT_TRUE(stamp && peaks);
    const std::string good = media::encodePeaks(path, *stamp, *peaks);
    ASSERT_TRUE(media::decodePeaks(good, path, *stamp));
    // The whole clip's loudness goes with the peaks, silence (-inf) as well.
    media::Peaks measured = *peaks;
    measured.loudness = media::LoudnessFigures{-HUGE_VAL, -7.25, 3000};
    const std::string withLoudness = media::encodePeaks(path, *stamp, measured);
    const auto back = media::decodePeaks(withLoudness, path, *stamp);
    ASSERT_TRUE(back && back->loudness);
    EXPECT_EQ(back->loudness->integratedLufs, -HUGE_VAL);
    EXPECT_EQ(back->loudness->truePeakDbtp, -7.25);
    EXPECT_EQ(back->loudness->lengthMs, 3000);
    const std::size_t figures = withLoudness.size() - 8 - 24;
    auto in = [&](std::size_t offset, auto value) {
        std::string b = withLoudness;
        std::memcpy(b.data() + offset, &value, sizeof value);
        return rehashed(b);
    };

    auto at = [&](std::size_t offset, auto value) {
        std::string b = good;
        std::memcpy(b.data() + offset, &value, sizeof value);
        return b;
    };
    // The header is 64 bytes; the path follows it, then the blocks.
    const std::size_t firstBlock = 64 + path.size();
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"garbage", std::string(5000, 'x')},
        {"header only", good.substr(0, 64)},
        {"cut in the blocks", good.substr(0, good.size() / 2)},
        {"one byte short", good.substr(0, good.size() - 1)},
        {"one byte more", good + '\0'},
        {"a changed byte", at(firstBlock + 1, char{0x55})},
        // With the hash made right: lies a careless reader would follow.
        {"another version", rehashed(at(8, std::uint32_t{1}))},
        {"an unknown flag", rehashed(at(36, std::uint32_t{2}))},
        {"a loudness flag without the figures", rehashed(at(36, std::uint32_t{1}))},
        {"figures without their flag", in(36, std::uint32_t{0})},
        {"a loudness of NaN", in(figures, std::nan(""))},
        {"a true peak of +inf", in(figures + 8, HUGE_VAL)},
        {"a negative length", in(figures + 16, std::int64_t{-1})},
        {"more blocks than bytes", rehashed(at(56, std::int64_t{1} << 40))},
        {"blocks that do not cover the frames", rehashed(at(40, peaks->frames * 4))},
        {"a block size not a power of two", rehashed(at(48, std::int64_t{3}))},
        {"a rate of zero", rehashed(at(32, std::int32_t{0}))},
        {"a path longer than the file", rehashed(at(12, std::uint32_t{0xFFFFFFFF}))},
        {"not a number", rehashed(at(firstBlock, std::nanf("")))},
        {"low above high", rehashed(at(firstBlock, 2.0f))},
    };
    const std::string folder = dir.file("peaks");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(media::decodePeaks(c.bytes, path, *stamp));
        std::filesystem::create_directories(folder);
        testsupport::writeBytes(media::peakFileOf(folder, path), c.bytes);
        EXPECT_FALSE(media::loadPeaks(folder, path, *stamp));
    }
    // A pipe in the peak file's place is no peak file (and does not wait for a writer).
    const std::string peakFile = media::peakFileOf(folder, path);
    std::filesystem::remove(peakFile);
    ASSERT_EQ(::mkfifo(peakFile.c_str(), 0600), 0);
    EXPECT_FALSE(media::loadPeaks(folder, path, *stamp));
}

TEST(ClipAnalysis, PeakFolderKeepsTheLastUsedWithinItsSize) {
    TempDir dir;
    const std::string folder = dir.file("peaks");
    media::Peaks peaks;
    peaks.rate = 8000;
    peaks.frames = 1000;
    peaks.blockFrames = 1024;
    peaks.blocks.resize(1);
    const media::FileStamp stamp{1, 2};
    namespace fs = std::filesystem;
    const auto now = fs::file_time_type::clock::now();
    int age = 4;
    for (const char* clip : {"/a.wav", "/b.wav", "/c.wav"}) {
        ASSERT_TRUE(media::storePeaks(folder, clip, stamp, peaks));
        fs::last_write_time(media::peakFileOf(folder, clip), now - std::chrono::hours(age--));
    }
    const auto one = static_cast<std::int64_t>(fs::file_size(media::peakFileOf(folder, "/a.wav")));
    ASSERT_TRUE(media::loadPeaks(folder, "/a.wav", stamp)); // a used now: b is the oldest
    auto old = [&](const std::string& name) {
        testsupport::writeBytes(folder + "/" + name, "x");
        fs::last_write_time(folder + "/" + name, now - std::chrono::hours(2));
    };
    old("0123.peaks.Ab12Cd"); // a write that never finished
    old("notes.txt");
    testsupport::writeBytes(folder + "/4567.peaks.Ef34Gh", "x"); // one being written

    media::prunePeaks(folder, 2 * one);
    EXPECT_TRUE(media::loadPeaks(folder, "/a.wav", stamp));
    EXPECT_FALSE(fs::exists(media::peakFileOf(folder, "/b.wav")));
    EXPECT_TRUE(media::loadPeaks(folder, "/c.wav", stamp));
    EXPECT_FALSE(fs::exists(folder + "/0123.peaks.Ab12Cd"));
    EXPECT_TRUE(fs::exists(folder + "/notes.txt"));
    EXPECT_TRUE(fs::exists(folder + "/4567.peaks.Ef34Gh"));
}

namespace {

class ClipAnalyserTest : public ::testing::Test {
protected:
    TempDir dir;
    ClipAnalyser analyser;
    const QString peakFolder = QString::fromStdString(dir.file("peaks"));

    void SetUp() override { analyser.setPeakFolder(peakFolder); }

    // The overview of `path` from a new analyser, as a later session of the program would
    // have it; `progress` counts the partial results on the way (none: nothing was decoded).
    media::Overview fromLaterSession(const QString& path, int columns, int& progress) {
        ClipAnalyser later;
        later.setPeakFolder(peakFolder);
        QSignalSpy partial(&later, &ClipAnalyser::overviewProgress);
        QSignalSpy ready(&later, &ClipAnalyser::overviewReady);
        later.requestOverview(path, columns);
        for (int i = 0; i < 200 && ready.isEmpty(); ++i)
            ready.wait(50);
        progress = static_cast<int>(partial.size());
        return ready.isEmpty() ? media::Overview{} : ready.first().at(1).value<media::Overview>();
    }

    template <typename Signal> QList<QVariant> wait(Signal signal) {
        QSignalSpy spy(&analyser, signal);
        QSignalSpy failed(&analyser, &ClipAnalyser::failed);
        for (int i = 0; i < 200 && spy.isEmpty() && failed.isEmpty(); ++i)
            spy.wait(50);
        if (!failed.isEmpty())
            ADD_FAILURE() << failed.first().at(1).toString().toStdString();
        return spy.isEmpty() ? QList<QVariant>() : spy.first();
    }
};

} // namespace

TEST_F(ClipAnalyserTest, MeasuresOnceAndMeasuresAgainWhenTheFileIsReplaced) {
    const QString path = QString::fromStdString(dir.file("clip.wav"));
    writeSignal(path.toStdString(), 48000, 2, 48000, tone(48000, -30));
    EXPECT_FALSE(analyser.loudness(path));
    const QList<QVariant> ready = wait(&ClipAnalyser::loudnessReady);
    ASSERT_EQ(ready.size(), 3);
    EXPECT_EQ(ready.at(0).toString(), path);
    EXPECT_NEAR(ready.at(2).value<media::LoudnessFigures>().integratedLufs, -30.0, 0.1);
    // Known now: at once, with nothing started.
    const auto known = analyser.loudness(path);
    ASSERT_TRUE(known);
    EXPECT_NEAR(known->integratedLufs, -30.0, 0.1);
    EXPECT_FALSE(analyser.busy());
    // Another span is another question.
    EXPECT_FALSE(analyser.loudness(path, {0, 500}));
    wait(&ClipAnalyser::loudnessReady);

    // The same name, other content (and size): measured again, not the old figures.
    writeSignal(path.toStdString(), 48000, 2, 96000, tone(48000, -14));
    EXPECT_FALSE(analyser.loudness(path));
    const QList<QVariant> again = wait(&ClipAnalyser::loudnessReady);
    ASSERT_EQ(again.size(), 3);
    EXPECT_NEAR(again.at(2).value<media::LoudnessFigures>().integratedLufs, -14.0, 0.1);
    EXPECT_EQ(again.at(2).value<media::LoudnessFigures>().lengthMs, 2000);

    analyser.requestAudible(path);
    const QList<QVariant> audible = wait(&ClipAnalyser::audibleReady);
    ASSERT_EQ(audible.size(), 2);
    EXPECT_TRUE(audible.at(1).value<media::AudibleSpan>().audible);
    EXPECT_TRUE(analyser.audible(path));
}

TEST_F(ClipAnalyserTest, OverviewAppearsInPartsThenWholeAndIsKept) {
    const QString path = QString::fromStdString(dir.file("long.wav"));
    writeSignal(path.toStdString(), 8000, 1, 8000 * 20, tone(8000, -6));
    QSignalSpy progress(&analyser, &ClipAnalyser::overviewProgress);
    analyser.requestOverview(path, 300);
    const QList<QVariant> ready = wait(&ClipAnalyser::overviewReady);
    ASSERT_EQ(ready.size(), 2);
    const auto overview = ready.at(1).value<media::Overview>();
    ASSERT_EQ(overview.columns.size(), 300u);
    EXPECT_NEAR(overview.columns[150].high, 0.5, 0.01);
    EXPECT_GE(progress.size(), 4);
    for (const QList<QVariant>& p : progress)
        EXPECT_LT(p.at(1).value<media::Overview>().columns.size(), 300u);

    // Asked again: the kept one, through the event loop, with no work in between.
    progress.clear();
    QSignalSpy again(&analyser, &ClipAnalyser::overviewReady);
    analyser.requestOverview(path, 300);
    EXPECT_FALSE(analyser.busy());
    ASSERT_TRUE(again.wait(1000));
    EXPECT_TRUE(progress.isEmpty());
    // Another width too: made from the kept peaks.
    analyser.requestOverview(path, 120);
    EXPECT_FALSE(analyser.busy());
    ASSERT_TRUE(again.wait(1000));
    EXPECT_EQ(again.last().at(1).value<media::Overview>().columns.size(), 120u);
    EXPECT_NEAR(again.last().at(1).value<media::Overview>().columns[60].high, 0.5, 0.01);
}

TEST_F(ClipAnalyserTest, ALaterSessionDrawsFromKeptPeaksUntilTheFileChanges) {
    const QString path = QString::fromStdString(dir.file("bed.wav"));
    const std::string file = path.toStdString();
    writeSignal(file, 8000, 1, 8000 * 20, tone(8000, -6));
    analyser.requestOverview(path, 300);
    const auto first = wait(&ClipAnalyser::overviewReady);
    ASSERT_EQ(first.size(), 2);
    const auto fresh = first.at(1).value<media::Overview>();

    int progress = -1;
    const media::Overview later = fromLaterSession(path, 300, progress);
    EXPECT_EQ(progress, 0);
    EXPECT_TRUE(sameColumns(later, fresh));

    // What is drawn is what the peak file holds: peaks kept for this state of the file.
    const auto stamp = media::stampOf(file);
    media::Peaks marked = *media::measurePeaks(file);
    for (auto& b : marked.blocks)
        b.high = 0.77f;
    ASSERT_TRUE(media::storePeaks(peakFolder.toStdString(), file, *stamp, marked));
    EXPECT_FLOAT_EQ(fromLaterSession(path, 300, progress).columns[150].high, 0.77f);
    // So is the whole clip's loudness, when the peak file holds it.
    marked.loudness = media::LoudnessFigures{-31.5, -7.25, 20000};
    ASSERT_TRUE(media::storePeaks(peakFolder.toStdString(), file, *stamp, marked));
    {
        ClipAnalyser later;
        later.setPeakFolder(peakFolder);
        QSignalSpy ready(&later, &ClipAnalyser::loudnessReady);
        EXPECT_FALSE(later.loudness(path));
        ASSERT_TRUE(ready.wait(5000));
        EXPECT_EQ(ready.first().at(2).value<media::LoudnessFigures>().integratedLufs, -31.5);
    }

    // The same size, other content and time: decoded again, and kept again.
    writeSignal(file, 8000, 1, 8000 * 20, tone(8000, -12));
    std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) +
                                               std::chrono::seconds(2));
    ASSERT_EQ(media::stampOf(file)->size, stamp->size);
    const media::Overview changed = fromLaterSession(path, 300, progress);
    EXPECT_GT(progress, 0);
    EXPECT_NEAR(changed.columns[150].high, 0.25, 0.01);
    EXPECT_TRUE(media::loadPeaks(peakFolder.toStdString(), file, *media::stampOf(file)));

    // A damaged peak file: decoded again and replaced by a whole one.
    testsupport::writeBytes(media::peakFileOf(peakFolder.toStdString(), file), "damaged");
    EXPECT_NEAR(fromLaterSession(path, 300, progress).columns[150].high, 0.25, 0.01);
    EXPECT_GT(progress, 0);
    EXPECT_TRUE(media::loadPeaks(peakFolder.toStdString(), file, *media::stampOf(file)));
}

TEST_F(ClipAnalyserTest, BrokenFilesFailWithTheEngineMessageAndCancelledJobsSayNothing) {
    const QString broken = QString::fromStdString(dir.file("broken.m4a"));
    testsupport::writeBytes(broken.toStdString(), "not a clip at all");
    QSignalSpy failed(&analyser, &ClipAnalyser::failed);
    EXPECT_FALSE(analyser.loudness(broken));
    ASSERT_TRUE(failed.wait(5000));
    EXPECT_EQ(failed.first().at(1).toString(),
              QStringLiteral("対応していない形式か、壊れたファイルです: ") + broken);

    const QString path = QString::fromStdString(dir.file("clip.wav"));
    writeSignal(path.toStdString(), 48000, 2, 48000 * 10, tone(48000, -20));
    QSignalSpy ready(&analyser, &ClipAnalyser::loudnessReady);
    QSignalSpy overview(&analyser, &ClipAnalyser::overviewReady);
    analyser.loudness(path);
    analyser.requestOverview(path, 100);
    analyser.cancelAll();
    // The pass over the clip is not thrown away: it goes on, keeps what it measured, and
    // says nothing to the views that went.
    for (int i = 0; i < 200 && analyser.busy(); ++i)
        QTest::qWait(50);
    EXPECT_TRUE(ready.isEmpty());
    EXPECT_TRUE(overview.isEmpty());
    EXPECT_EQ(failed.size(), 1);
    ASSERT_TRUE(analyser.loudness(path));
    EXPECT_NEAR(analyser.loudness(path)->integratedLufs, -20.0, 0.1);
    // And a job asked for after a cancel comes.
    EXPECT_FALSE(analyser.loudness(path, {0, 1000}));
    EXPECT_TRUE(ready.wait(5000));
    int progress = -1;
    EXPECT_EQ(fromLaterSession(path, 100, progress).columns.size(), 100u);
    EXPECT_EQ(progress, 0);
}

// A set list of eight clips at once, one of them broken, and a pad that takes another clip
// before its first was measured: every clip still on a pad gets its figures and its peak
// file without any view asking, nothing is said of the broken one, and the peak folder holds
// no part of a file.
TEST_F(ClipAnalyserTest, ClipsPutOnPadsAreMeasuredInTheBackgroundWithNoWordOfFailure) {
    QSignalSpy failed(&analyser, &ClipAnalyser::failed);
    QSignalSpy ready(&analyser, &ClipAnalyser::loudnessReady);
    QSignalSpy overview(&analyser, &ClipAnalyser::overviewReady);
    std::vector<QString> clips;
    for (int pad = 1; pad <= 8; ++pad) {
        clips.push_back(QString::fromStdString(dir.file("pad" + std::to_string(pad) + ".wav")));
        writeSignal(clips.back().toStdString(), 44100, 2, 44100 * 20, tone(44100, -10.0 - pad));
    }
    const QString broken = QString::fromStdString(dir.file("broken.wav"));
    testsupport::writeBytes(broken.toStdString(), "RIFF and nothing more");
    for (int pad = 1; pad <= 8; ++pad)
        analyser.prepare(pad, clips[static_cast<std::size_t>(pad - 1)]);
    analyser.prepare(2, clips[0]); // pad 1's clip on pad 2 as well: measured once
    analyser.prepare(3, broken);
    for (int i = 0; i < 600 && analyser.busy(); ++i)
        QTest::qWait(50);
    ASSERT_FALSE(analyser.busy());
    EXPECT_TRUE(failed.isEmpty());
    EXPECT_TRUE(ready.isEmpty());
    EXPECT_TRUE(overview.isEmpty());

    const std::string folder = peakFolder.toStdString();
    for (int pad : {1, 4, 5, 6, 7, 8}) {
        SCOPED_TRACE(pad);
        const std::string file = clips[static_cast<std::size_t>(pad - 1)].toStdString();
        const auto figures = analyser.loudness(clips[static_cast<std::size_t>(pad - 1)]);
        ASSERT_TRUE(figures);
        EXPECT_NEAR(figures->integratedLufs, -10.0 - pad, 0.1);
        const auto kept = media::loadPeaks(folder, file, *media::stampOf(file));
        ASSERT_TRUE(kept && kept->loudness);
        EXPECT_EQ(kept->loudness->integratedLufs, figures->integratedLufs);
    }
    // The clips taken off again may have been measured whole before that, but never in part.
    for (const QString& off : {clips[1], clips[2]}) {
        const std::string file = off.toStdString();
        EXPECT_EQ(std::filesystem::exists(media::peakFileOf(folder, file)),
                  media::loadPeaks(folder, file, *media::stampOf(file)).has_value());
    }
    EXPECT_FALSE(std::filesystem::exists(media::peakFileOf(folder, broken.toStdString())));
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        EXPECT_TRUE(entry.path().string().ends_with(".peaks")) << entry.path();
}
