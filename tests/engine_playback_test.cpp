// The mixer pulled block by block without a device: samples, positions, end events, restart,
// volume, stop and continue, streaming of long and converted clips, clips decoded by FFmpeg.

#include "encode_support.h"
#include "engine.h"
#include "engine_support.h"
#include "volume.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

using media::Engine;
using namespace testsupport;

namespace {

// The stereo frames the engine should play for a clip read back as `channels` per frame.
std::vector<float> asStereo(const std::vector<float>& src, int channels) {
    if (channels == 2)
        return src;
    std::vector<float> out;
    for (std::size_t i = 0; i < src.size(); i += static_cast<std::size_t>(channels)) {
        out.push_back(src[i]);
        out.push_back(channels == 1 ? src[i] : src[i + 1]);
    }
    return out;
}

class EnginePlayback : public ::testing::Test {
protected:
    TempDir dir;
    Engine engine{manualOutput()};

    std::shared_ptr<media::Clip> loadWav(int voice, const std::string& name, long frames,
                                         std::vector<float>* samples = nullptr, int channels = 2,
                                         int subtype = SF_FORMAT_FLOAT) {
        auto src = testsupport::writeWav(dir.file(name), kRate, channels, frames, subtype);
        if (samples)
            *samples = asStereo(src, channels);
        auto clip = engine.openClip(dir.file(name));
        engine.load(voice, clip);
        engine.render(nullptr, 0);
        engine.waitIdle(std::chrono::seconds(5));
        return clip;
    }
};

} // namespace

TEST_F(EnginePlayback, ClipComesOutUnchangedAtUnityGainAndEndsOnce) {
    // Three seconds: longer than the head and than one ring's worth, so the junction of
    // head and ring and the ring's wrap-around are both crossed.
    const long frames = 3 * kRate + 77;
    std::vector<float> src;
    loadWav(0, "a.wav", frames, &src);
    EndLog log;
    log.attach(engine, 0);
    ASSERT_EQ(engine.length(0), frames);

    const std::uint32_t stamp = engine.play(0);
    EXPECT_NE(stamp, 0u);
    const auto out = pull(engine, frames + 5 * kBlock);
    for (long i = 0; i < frames * 2; ++i)
        ASSERT_EQ(out[static_cast<std::size_t>(i)], src[static_cast<std::size_t>(i)])
            << "sample " << i;
    for (long i = frames * 2; i < static_cast<long>(out.size()); ++i)
        ASSERT_EQ(out[static_cast<std::size_t>(i)], 0.0f) << "after the end, sample " << i;

    EXPECT_FALSE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), engine.length(0));
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_EQ(log.finished(), std::vector<std::uint32_t>{stamp});
    EXPECT_EQ(engine.underruns(), 0u);
}

TEST_F(EnginePlayback, MonoAndSixteenBitClipsPlayBothChannelsExactly) {
    std::vector<float> mono, pcm;
    loadWav(0, "mono.wav", kRate, &mono, 1);
    loadWav(1, "pcm16.wav", kRate, &pcm, 2, SF_FORMAT_PCM_16);
    engine.setGain(1, 0.0f); // voice 1 silent while voice 0 is checked
    engine.play(0);
    auto out = pull(engine, kRate);
    for (std::size_t i = 0; i < mono.size(); ++i)
        ASSERT_EQ(out[i], mono[i]) << i;

    engine.setGain(0, 0.0f);
    engine.setGain(1, 1.0f);
    engine.play(1);
    out = pull(engine, kRate);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        ASSERT_EQ(out[i], pcm[i]) << i;
}

TEST_F(EnginePlayback, VoicesAreSummed) {
    std::vector<float> src;
    loadWav(0, "a.wav", kRate, &src);
    loadWav(1, "b.wav", kRate);
    // At half volume each: the sum stays below the limiter's ceiling and comes out exactly.
    engine.setGain(0, 0.5f);
    engine.setGain(1, 0.5f);
    engine.play(0);
    engine.play(1);
    const auto out = pull(engine, kRate);
    for (std::size_t i = 0; i < src.size(); ++i)
        ASSERT_EQ(out[i], 0.5f * src[i] + 0.5f * src[i]) << i;
    EXPECT_EQ(engine.limitedFrames(), 0u);
}

TEST_F(EnginePlayback, PositionAdvancesByExactlyTheRenderedFrames) {
    loadWav(0, "a.wav", 2 * kRate);
    EXPECT_EQ(engine.position(0), 0);
    engine.play(0);
    EXPECT_TRUE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), 0); // not mixed yet
    for (int block = 1; block <= 300; ++block) {
        pull(engine, kBlock);
        ASSERT_EQ(engine.position(0), block * kBlock);
    }
    pull(engine, 100);
    EXPECT_EQ(engine.position(0), 300 * kBlock + 100);
}

TEST_F(EnginePlayback, RestartBeginsAtSampleZeroWhileTheOldPlaybackFadesOut) {
    const long frames = 2 * kRate;
    std::vector<float> src;
    loadWav(0, "a.wav", frames, &src);
    engine.play(0);
    const long played = kRate + 1000; // beyond the head: the ring has been read
    pull(engine, played);
    ASSERT_EQ(engine.position(0), played);

    engine.stop(0);
    engine.seek(0, 0);
    engine.play(0);
    const auto out = pull(engine, 2048);
    // The old playback goes on through the limiter's look-ahead, then fades over 5 ms.
    const int fade = engine.lookaheadFrames() + kRate / 200;
    for (int i = 0; i < fade; ++i)
        for (int c = 0; c < 2; ++c) {
            const std::size_t k = static_cast<std::size_t>(2 * i + c);
            // What is added to the new start is the old playback's continuation, fading.
            const float tail = out[k] - src[k];
            ASSERT_LE(std::fabs(tail),
                      std::fabs(src[static_cast<std::size_t>(played * 2) + k]) + 1e-6f)
                << i;
        }
    for (int i = fade; i < 2048; ++i)
        for (int c = 0; c < 2; ++c) {
            const std::size_t k = static_cast<std::size_t>(2 * i + c);
            ASSERT_EQ(out[k], src[k]) << i;
        }
    EXPECT_EQ(engine.position(0), 2048);
    // Restart does not step: the first output value is the old value, not a jump to zero.
    EXPECT_GT(std::fabs(out[0] - src[0]), 0.5f * std::fabs(src[played * 2]));
}

TEST_F(EnginePlayback, StopKeepsThePositionAndPlayContinuesFromThere) {
    const long frames = 3 * kRate;
    std::vector<float> src;
    loadWav(0, "a.wav", frames, &src);
    EndLog log;
    log.attach(engine, 0);
    const std::uint32_t first = engine.play(0);
    const long stopAt = 2 * kRate + 333;
    pull(engine, stopAt);
    engine.stop(0);
    EXPECT_FALSE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), stopAt);

    // After the short fade the voice is silent and the position stays.
    auto out = pull(engine, 4096);
    for (std::size_t i = 2 * 1024; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0.0f) << i;
    EXPECT_EQ(engine.position(0), stopAt);

    const std::uint32_t second = engine.play(0);
    EXPECT_NE(second, first);
    out = pull(engine, 4096);
    const int fadeIn = kRate * 3 / 1000;
    for (int i = 0; i < 4096; ++i)
        for (int c = 0; c < 2; ++c) {
            const float want = src[static_cast<std::size_t>((stopAt + i) * 2 + c)];
            const float got = out[static_cast<std::size_t>(i * 2 + c)];
            if (i < fadeIn)
                ASSERT_LE(std::fabs(got), std::fabs(want) + 1e-6f) << i; // fading in
            else
                ASSERT_EQ(got, want) << i;
        }
    EXPECT_EQ(engine.position(0), stopAt + 4096);
    pull(engine, frames);
    engine.waitIdle(std::chrono::seconds(5));
    // The stopped playback never ends; only the continued one does.
    EXPECT_EQ(log.finished(), std::vector<std::uint32_t>{second});
}

TEST_F(EnginePlayback, GainScalesSamplesAndChangesRampWithoutSteps) {
    std::vector<float> src;
    loadWav(0, "a.wav", 2 * kRate, &src);
    engine.setGain(0, media::gainForLevel(500)); // set while stopped: applies at once
    engine.setTrimGain(0, 0.0f);                 // the pad at -inf: silent, yet it plays
    engine.play(0);
    EXPECT_EQ(peakOf(pull(engine, 4096)), 0.0f);
    EXPECT_TRUE(engine.isPlaying(0));
    engine.stop(0);
    engine.seek(0, 0);
    engine.setTrimGain(0, 0.5f); // -6 dB on top of the volume's half
    engine.play(0);
    auto out = pull(engine, 4096);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], src[i] * 0.25f) << i;
    engine.stop(0);
    pull(engine, 1024); // the stopped playback's short fade
    engine.seek(0, 0);
    engine.setTrimGain(0, 1.0f);
    engine.play(0);
    out = pull(engine, 4096);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], src[i] * 0.5f) << i;

    engine.setGain(0, 0.0f);
    out = pull(engine, 4096);
    const std::size_t base = 4096 * 2;
    // The first frame after the change is still nearly at the old gain, the gain falls
    // steadily, and after the ramp the voice is silent.
    EXPECT_NEAR(out[0], src[base] * 0.5f, 0.01f);
    float lastGain = 0.5f;
    int lastAt = -1;
    for (int i = 0; i < 4096; ++i) {
        const float s = src[base + static_cast<std::size_t>(2 * i)];
        const float o = out[static_cast<std::size_t>(2 * i)];
        if (std::fabs(s) > 0.05f) {
            const float g = o / s;
            ASSERT_LE(g, lastGain + 1e-4f) << i;
            // No step larger than a 5 ms ramp from full scale allows.
            ASSERT_GE(g, lastGain - 0.005f * static_cast<float>(i - lastAt)) << i;
            lastGain = g;
            lastAt = i;
        }
        if (i >= kRate / 100) {
            ASSERT_EQ(o, 0.0f) << i;
        }
    }
}

TEST_F(EnginePlayback, TrimmedPadPlaysFromItsInPointToItsOutPointAndCountsThatPart) {
    // Its head made at open, made again on the pool for a moved in point, or still under way
    // at the press (the press then streams): every way, the first frame heard is the clip's
    // frame at the in point, and the last the one before the out point. Points that do not
    // fit the clip stand for its start and its end.
    const long frames = 3 * kRate;
    struct Case {
        long in, out, headFrom;
        bool waitForHead;
        long heardIn, heardOut;
    };
    for (const Case& k : {Case{30000, 120000, 30000, true, 30000, 120000},
                          {30000, 120000, 0, true, 30000, 120000},
                          {100000, 0, 0, false, 100000, frames},
                          {5 * kRate, 20000, 0, true, 0, 20000},
                          {40000, 40000, 40000, true, 40000, frames}}) {
        SCOPED_TRACE(std::to_string(k.in) + ".." + std::to_string(k.out));
        const auto src = testsupport::writeWav(dir.file("t.wav"), kRate, 2, frames);
        engine.load(0, engine.openClip(dir.file("t.wav"), k.headFrom));
        engine.setWindow(0, k.in, k.out);
        if (k.waitForHead)
            engine.waitIdle(std::chrono::seconds(5));
        EndLog log;
        log.attach(engine, 0);
        const long len = k.heardOut - k.heardIn;
        EXPECT_EQ(engine.length(0), len);
        const std::uint32_t stamp = engine.play(0);
        const auto out = pull(engine, len + 5 * kBlock);
        const long start = findStart(out, src.data() + 2 * k.heardIn, 1000, 0, 4 * kBlock);
        if (k.waitForHead) {
            EXPECT_EQ(start, 0); // from memory: in the very first block
        }
        ASSERT_GE(start, 0);
        long wrong = 0;
        for (long i = 0; i < len * 2; ++i)
            wrong += out[static_cast<std::size_t>(2 * start + i)] !=
                     src[static_cast<std::size_t>(2 * k.heardIn + i)];
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(peakOf(out, static_cast<std::size_t>(2 * (start + len))), 0.0f);
        engine.waitIdle(std::chrono::seconds(5));
        EXPECT_FALSE(engine.isPlaying(0));
        EXPECT_EQ(engine.position(0), len);
        EXPECT_EQ(log.finished(), std::vector<std::uint32_t>{stamp});
        // Stopped, the voice moves to a new in point, and a press there starts on its frame.
        engine.setWindow(0, 2000, 0);
        EXPECT_EQ(engine.position(0), 0);
        engine.waitIdle(std::chrono::seconds(5));
        engine.play(0);
        const auto again = pull(engine, kBlock);
        EXPECT_EQ(again[0], src[2 * 2000]);
        engine.stop(0);
        pull(engine, 1024); // its short fade
    }
    EXPECT_EQ(engine.underruns(), 0u);
}

TEST_F(EnginePlayback, FadesFollowTheirLinesAndAStopFadesFromWhereTheLevelIs) {
    std::vector<float> src;
    loadWav(0, "a.wav", 2 * kRate, &src);
    const long in = 12000, out = 60000, fadeIn = 4800, fadeOut = 9600;
    engine.setWindow(0, in, out);
    engine.setFades(0, fadeIn, fadeOut);
    engine.waitIdle(std::chrono::seconds(5));
    const long len = out - in;
    EndLog log;
    log.attach(engine, 0);
    engine.play(0);
    const auto heard = pull(engine, len + kBlock);
    // Rising from silence at the in point, falling to silence at the out point.
    for (long i = 0; i < len; ++i) {
        float g = 1.0f;
        if (i < fadeIn)
            g = static_cast<float>(i) / fadeIn;
        if (i >= len - fadeOut)
            g = static_cast<float>(len - i) / fadeOut;
        for (int c = 0; c < 2; ++c)
            ASSERT_NEAR(heard[static_cast<std::size_t>(2 * i + c)],
                        src[static_cast<std::size_t>(2 * (in + i) + c)] * g, 1e-6f)
                << i;
    }
    EXPECT_EQ(peakOf(heard, static_cast<std::size_t>(2 * len)), 0.0f);
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_EQ(log.kinds(), std::vector<media::EndKind>{media::EndKind::Finished});

    // A fade-out half-way through the fade-in goes down from there: never louder again.
    engine.setFades(0, kRate, 0);
    engine.seek(0, 0);
    engine.play(0);
    const auto rising = pull(engine, kRate / 2);
    const float reached = static_cast<float>(kRate / 2) / kRate;
    engine.fadeOut(0, 100);
    const auto falling = pull(engine, kRate / 5);
    const float slack = static_cast<float>(engine.lookaheadFrames() + kBlock) / kRate;
    for (long i = 0; i < kRate / 5; ++i) {
        const float s = src[static_cast<std::size_t>(2 * (in + kRate / 2 + i))];
        if (std::fabs(s) > 0.1f) {
            ASSERT_LE(falling[static_cast<std::size_t>(2 * i)] / s, reached + slack) << i;
        }
    }
    EXPECT_EQ(peakOf(falling, static_cast<std::size_t>(2 * (kRate / 10 + 2 * kBlock))), 0.0f);
    EXPECT_NEAR(rising[2 * (kRate / 2 - 1)] / src[2 * (in + kRate / 2 - 1)], reached, 1e-3);
    EXPECT_FALSE(engine.isPlaying(0));
}

TEST_F(EnginePlayback, PlayAtTheEndEndsAtOnceAndSeekClamps) {
    loadWav(0, "a.wav", kRate);
    EndLog log;
    log.attach(engine, 0);
    engine.seek(0, 10 * kRate);
    EXPECT_EQ(engine.position(0), kRate);
    const std::uint32_t stamp = engine.play(0);
    pull(engine, kBlock);
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_FALSE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), kRate);
    EXPECT_EQ(log.finished(), std::vector<std::uint32_t>{stamp});
    engine.seek(0, -5);
    EXPECT_EQ(engine.position(0), 0);
}

TEST_F(EnginePlayback, ReplacedAndUnloadedClipsAreReleasedAndSilenced) {
    std::weak_ptr<media::Clip> first = loadWav(0, "a.wav", 2 * kRate);
    engine.play(0);
    pull(engine, 4096);
    testsupport::writeWav(dir.file("b.wav"), kRate, 2, 2 * kRate);
    std::weak_ptr<media::Clip> second;
    {
        auto clip = engine.openClip(dir.file("b.wav"));
        second = clip;
        engine.load(0, std::move(clip)); // replaces a playing clip
    }
    engine.unload(1);
    // Until the mixer has taken the command, the replaced clip must stay alive.
    EXPECT_FALSE(first.expired());
    engine.render(nullptr, 0);
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_FALSE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), 0);
    engine.unload(0);
    EXPECT_FALSE(engine.loaded(0));
    EXPECT_EQ(engine.length(0), 0);
    const auto out = pull(engine, 4096);
    for (std::size_t i = 2 * 512; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0.0f) << i;
    engine.waitIdle(std::chrono::seconds(5));
    loadWav(1, "c.wav", kRate); // any later load collects what mixer and worker let go
    EXPECT_TRUE(first.expired());
    EXPECT_TRUE(second.expired());
    EXPECT_EQ(engine.play(0), 0u); // nothing to play on an empty voice
}

// Twenty seconds wrap the read-ahead ring many times: every refill must continue the clip
// exactly. The test lets the worker catch up every quarter second instead of racing it, so a
// loaded machine cannot starve it; how fast the worker keeps up is the bench soak's figure.
TEST_F(EnginePlayback, LongClipPlaysExactlyAcrossEveryRefillOfTheRing) {
    const long frames = 20 * kRate;
    std::vector<float> src;
    loadWav(0, "long.wav", frames, &src);
    engine.play(0);
    std::vector<float> block(kBlock * 2);
    long mismatches = 0;
    for (long done = 0; done < frames; done += kBlock) {
        if (done % (kRate / 4) < kBlock) {
            ASSERT_TRUE(engine.waitIdle(std::chrono::seconds(5))) << "worker stuck at " << done;
        }
        const int n = static_cast<int>(std::min<long>(kBlock, frames - done));
        engine.render(block.data(), n);
        for (int i = 0; i < n * 2; ++i)
            mismatches +=
                block[static_cast<std::size_t>(i)] != src[static_cast<std::size_t>(done * 2 + i)];
    }
    EXPECT_EQ(engine.underruns(), 0u);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(engine.position(0), frames);
}

TEST_F(EnginePlayback, ConvertedClipIsContinuousAndEndsAtItsLength) {
    // 44.1 kHz, 1 kHz sine: at 48 kHz it must still cross zero 2000 times a second and never
    // jump, also where the head meets the ring.
    const std::string path = dir.file("sine.wav");
    ASSERT_TRUE(testsupport::run("sox -n -r 44100 -c 2 -b 16 " + path +
                                 " synth 3 sine 1000 vol 0.5 2>/dev/null"));
    auto clip = engine.openClip(path);
    EXPECT_EQ(clip->length(), 3 * kRate);
    engine.load(0, clip);
    EndLog log;
    log.attach(engine, 0);
    const std::uint32_t stamp = engine.play(0);
    const auto out = pull(engine, 3 * kRate + 1024);
    const float maxStep = 0.5f * 2.0f * 3.14159265f * 1000.0f / kRate * 1.05f;
    int crossings = 0;
    const long from = 100, to = 3 * kRate - 100; // away from the clip's edges
    for (long i = from; i < to; ++i) {
        const float a = out[static_cast<std::size_t>(2 * (i - 1))];
        const float b = out[static_cast<std::size_t>(2 * i)];
        ASSERT_LE(std::fabs(b - a), maxStep) << "frame " << i;
        crossings += (a < 0.0f) != (b < 0.0f);
    }
    EXPECT_NEAR(crossings, 2000.0 * (to - from) / kRate, 3);
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_EQ(engine.position(0), engine.length(0));
    EXPECT_EQ(log.finished(), std::vector<std::uint32_t>{stamp});
}

TEST_F(EnginePlayback, ConvertedClipResumesInTheMiddleOnTheRightSample) {
    const std::string path = dir.file("sweep.wav");
    ASSERT_TRUE(testsupport::run("sox -n -r 44100 -c 2 -b 16 " + path +
                                 " synth 3 sine 300-3000 vol 0.5 2>/dev/null"));
    engine.load(0, engine.openClip(path));
    engine.waitIdle(std::chrono::seconds(5)); // the head is ready: the reference starts at 0
    engine.play(0);
    const auto reference = pull(engine, 3 * kRate);
    const int fadeIn = kRate * 3 / 1000;
    // Starts past the head, in the ring, at odd frames, so the converter restarts off its grid.
    for (long at : {kRate + 1, 2 * kRate - 77, kRate / 3, 77}) {
        SCOPED_TRACE(at);
        engine.seek(0, at);
        pull(engine, 512); // the stopped voice gets its ring filled from there; fades end
        engine.play(0);
        const auto out = pull(engine, 2048);
        for (long i = fadeIn; i < 2048; ++i)
            for (int c = 0; c < 2; ++c)
                ASSERT_NEAR(out[static_cast<std::size_t>(2 * i + c)],
                            reference[static_cast<std::size_t>(2 * (at + i) + c)], 2e-3)
                    << i;
        engine.stop(0);
        EXPECT_EQ(engine.position(0), at + 2048);
    }
}

TEST_F(EnginePlayback, Mp3WithAndWithoutLengthTagEndsWhereItsLengthSays) {
    const std::string wav = dir.file("src.wav");
    ASSERT_TRUE(testsupport::run("sox -n -r 44100 -c 2 -b 16 " + wav +
                                 " synth 2.5 sine 440 vol 0.5 2>/dev/null"));
    // Without the tag (-t) nothing names the length: a VBR file's first frame, whose bit rate
    // the estimate goes by, is larger than the rest, and the clip still plays to its end.
    int n = 0;
    for (const std::string flags : {"", "-t", "-V 2", "-V 2 -t", "-V 2 -t --add-id3v2 --tt A"}) {
        SCOPED_TRACE(flags);
        const bool tagged = flags.find("-t") == std::string::npos;
        const std::string mp3 = dir.file("clip" + std::to_string(n++) + ".mp3");
        ASSERT_TRUE(testsupport::run("lame --quiet " + flags + " " + wav + " " + mp3));
        auto clip = engine.openClip(mp3);
        const std::int64_t openedLength = clip->length();
        EXPECT_NEAR(static_cast<double>(openedLength), 2.5 * kRate, 0.1 * kRate);
        engine.load(0, clip);
        engine.waitIdle(std::chrono::seconds(5)); // the head is ready: the sound starts at 0
        EndLog log;
        log.attach(engine, 0);
        const std::uint32_t stamp = engine.play(0);
        const auto out = pull(engine, 3 * kRate);
        engine.waitIdle(std::chrono::seconds(5));
        EXPECT_FALSE(engine.isPlaying(0));
        EXPECT_TRUE(clip->lengthExact());
        EXPECT_EQ(engine.position(0), engine.length(0));
        EXPECT_NEAR(static_cast<double>(engine.length(0)), 2.5 * kRate, 0.06 * kRate);
        EXPECT_EQ(log.finished(), std::vector<std::uint32_t>{stamp});
        if (tagged) {
            // The tag gives the exact length, encoder delay and padding removed.
            EXPECT_EQ(openedLength, engine.length(0));
            EXPECT_EQ(engine.length(0), 2.5 * kRate);
        }
        // It did play: a 440 Hz tone at about half scale in the middle and in its last 50 ms
        // (ahead of the encoder delay that an untagged file keeps), then nothing.
        const auto at = [](double seconds) {
            return static_cast<std::size_t>(2 * seconds * kRate);
        };
        EXPECT_NEAR(peakOf(out, at(1.0), at(1.1)), 0.5f, 0.05f);
        EXPECT_NEAR(peakOf(out, at(2.45), at(2.5)), 0.5f, 0.05f);
        EXPECT_EQ(peakOf(out, static_cast<std::size_t>(2 * engine.length(0))), 0.0f);
    }
}

// Every kind of clip that FFmpeg reads sounds to its last frame. The lossless one (ALAC) is
// heard sample for sample; the lossy ones as the same waveform within their coding noise.
// Where the container names the exact length (an MP4's edit list, the Opus delay and padding
// of Matroska and WebM) the clip ends there; elsewhere the padding of the last packet is
// left, within `slack` frames, and is the codec's near-silence. AAC's priming (1024 frames
// from this encoder) is left out where Matroska's CodecDelay states it; raw ADTS states
// nothing, and the clip sounds `lead` frames late after that much near-silence.
TEST_F(EnginePlayback, EveryFfmpegKindSoundsEveryFrameAndEndsAtItsLength) {
    struct Kind {
        const char* name;
        const char* muxer;
        const char* codec;
        const char* video;
        long slack;
        long lead = 0;
        bool statesDelay = false;
    };
    // 1.5 s of two tones at 48 kHz (76 and 330 Hz: Opus leaves out what lies below hearing),
    // as 16-bit samples (ALAC keeps them exactly).
    const long frames = kRate * 3 / 2;
    std::vector<float> src(static_cast<std::size_t>(frames * 2));
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < 2; ++c)
            src[static_cast<std::size_t>(2 * i + c)] =
                std::round((0.5f * std::sin(0.01f * static_cast<float>(i)) +
                            (c ? -0.25f : 0.25f) * std::sin(0.043f * static_cast<float>(i))) *
                           32767.0f) /
                32768.0f;
    const float lastPeak = peakOf(src, src.size() - 960);
    for (const Kind& k :
         {Kind{"alac.m4a", "ipod", "alac", nullptr, 0}, Kind{"aac.m4a", "ipod", "aac", nullptr, 0},
          Kind{"wmav2.wma", "asf", "wmav2", nullptr, 2 * 2048},
          Kind{"film.mp4", "mp4", "aac", "mpeg4", 0},
          Kind{"film.webm", "webm", "libopus", "libvpx", 0},
          Kind{"film.mkv", "matroska", "libvorbis", "mpeg4", 2048},
          Kind{"aac.mkv", "matroska", "aac", nullptr, 1024, 0, true},
          Kind{"aac.aac", "adts", "aac", nullptr, 1024, 1024}}) {
        SCOPED_TRACE(k.name);
        const std::string path = dir.file(k.name);
        encodeClip(path, k.muxer, k.codec, kRate, 2, src, k.video);
        if (k.statesDelay)
            testsupport::stateMatroskaCodecDelay(path, 1024, kRate);
        auto clip = engine.openClip(path);
        EXPECT_NEAR(static_cast<double>(clip->length()), frames, kRate / 5); // the estimate
        engine.load(0, clip);
        engine.waitIdle(std::chrono::seconds(5));
        EndLog log;
        log.attach(engine, 0);
        const std::uint32_t stamp = engine.play(0);
        const auto out = pull(engine, 2 * kRate);
        engine.waitIdle(std::chrono::seconds(5));
        EXPECT_FALSE(engine.isPlaying(0));
        EXPECT_TRUE(clip->lengthExact());
        EXPECT_GE(engine.length(0), frames + k.lead);
        EXPECT_LE(engine.length(0), frames + k.lead + k.slack);
        EXPECT_EQ(engine.position(0), engine.length(0));
        EXPECT_EQ(log.finished(), std::vector<std::uint32_t>{stamp});
        const auto lead = static_cast<std::size_t>(2 * k.lead);
        EXPECT_LT(peakOf(out, 0, lead), 0.05f); // the priming nothing states is near-silent
        float worst = 0.0f;
        double error = 0.0;
        for (std::size_t i = 0; i < src.size(); ++i) {
            worst = std::max(worst, std::fabs(out[lead + i] - src[i]));
            error += std::fabs(out[lead + i] - src[i]) / static_cast<double>(src.size());
        }
        if (std::string(k.codec) == "alac")
            EXPECT_LE(worst, 1.0f / 32768.0f);
        else
            EXPECT_LT(error, 0.03);
        // The clip's last 10 ms are heard, at their level.
        EXPECT_NEAR(peakOf(out, lead + src.size() - 960, lead + src.size()), lastPeak, 0.1f);
        const auto end = static_cast<std::size_t>(2 * engine.length(0));
        EXPECT_LT(peakOf(out, std::min(lead + src.size() + 960, end), end), 0.05f); // padding
        EXPECT_EQ(peakOf(out, end), 0.0f); // silence after it
    }
}

TEST_F(EnginePlayback, M4aResumesOnTheRightSampleAfterAnySeek) {
    // ALAC at the engine's rate compares bit for bit; AAC at 44.1 kHz also passes the
    // converter. Targets past the decoder's own seek distance, just ahead, and back. An MP3
    // without a VBR tag has no table of contents to seek by: the same frames decode the same.
    const long frames = 4 * 44100;
    for (const auto& [codec, rate] :
         {std::pair{"alac", kRate}, std::pair{"aac", 44100}, std::pair{"mp3", kRate}}) {
        SCOPED_TRACE(codec);
        std::vector<float> src(static_cast<std::size_t>(frames * 2));
        for (long i = 0; i < frames; ++i)
            for (int c = 0; c < 2; ++c)
                src[static_cast<std::size_t>(2 * i + c)] = testSample(i * 7, c) * 0.5f;
        const bool mp3 = std::string(codec) == "mp3";
        const std::string path = dir.file(std::string("seek-") + codec + (mp3 ? ".mp3" : ".m4a"));
        if (mp3) {
            encodeClip(dir.file("seek.wav"), "wav", "pcm_s16le", rate, 2, src);
            ASSERT_TRUE(
                testsupport::run("lame --quiet -V 2 -t " + dir.file("seek.wav") + " " + path));
        } else {
            encodeClip(path, "ipod", codec, rate, 2, src);
        }
        engine.load(0, engine.openClip(path));
        engine.waitIdle(std::chrono::seconds(5));
        engine.play(0);
        const auto reference = pull(engine, 3 * kRate + 4096);
        const int fadeIn = kRate * 3 / 1000;
        for (long at : {3L * kRate - 4097, kRate + 333L, 2L * kRate + 1, 77L}) {
            SCOPED_TRACE(at);
            engine.seek(0, at);
            pull(engine, 512);
            engine.play(0);
            const auto out = pull(engine, 2048);
            for (long i = fadeIn; i < 2048; ++i)
                for (int c = 0; c < 2; ++c)
                    ASSERT_NEAR(out[static_cast<std::size_t>(2 * i + c)],
                                reference[static_cast<std::size_t>(2 * (at + i) + c)],
                                rate == kRate ? 0.0f : 2e-3f)
                        << i;
            engine.stop(0);
        }
        pull(engine, 1024); // the last stop's fade ends before the next clip's reference
        if (rate != kRate)
            continue;
        // A head from an in point within the first packet (4096 frames), which the decoder
        // keeps as decoded on opening, and on past it.
        auto trimmed = engine.openClip(path, 3001); // its head is made on the engine's pool
        for (int i = 0; i < 500 && !trimmed->headReady(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(trimmed->headReady());
        ASSERT_GT(trimmed->headFrames(), 4096);
        for (long i = 0; i < trimmed->headFrames() * 2; ++i)
            ASSERT_EQ(trimmed->head()[i], reference[static_cast<std::size_t>(2 * 3001 + i)]) << i;
    }
}

TEST_F(EnginePlayback, DeviceFailureEndsEveryPlaybackWhereItStands) {
    loadWav(0, "a.wav", 2 * kRate);
    loadWav(1, "b.wav", 2 * kRate);
    std::mutex m;
    std::vector<std::pair<int, media::EndKind>> ends;
    for (int v = 0; v < 2; ++v)
        engine.setListener(v, [&, v](std::uint32_t, media::EndKind kind) {
            std::lock_guard lock(m);
            ends.emplace_back(v, kind);
        });
    engine.play(0); // voice 1 stays stopped
    pull(engine, 1000);
    engine.reportDeviceFailure();
    pull(engine, 1000);
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_FALSE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), 1000);
    {
        std::lock_guard lock(m);
        EXPECT_EQ(ends, (std::vector<std::pair<int, media::EndKind>>{{0, media::EndKind::Failed}}));
    }
    // The voice plays on from there when asked, and ends normally.
    engine.play(0);
    pull(engine, 2 * kRate);
    engine.waitIdle(std::chrono::seconds(5));
    // Cleared before `m` is taken: clearing waits for a listener call, which takes `m`.
    engine.setListener(0, nullptr);
    engine.setListener(1, nullptr);
    std::lock_guard lock(m);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].second, media::EndKind::Finished);
}

TEST(EngineDummy, DummyDriverPlaysInRealTimeAndReportsNoSoundDevice) {
    TempDir dir;
    Engine::Options o;
    o.output = Engine::Output::Dummy;
    Engine engine(o);
    EXPECT_EQ(engine.output(), Engine::Output::Dummy);
    EXPECT_FALSE(engine.hasSoundDevice());
    ASSERT_GT(engine.sampleRate(), 0);
    testsupport::writeWav(dir.file("a.wav"), engine.sampleRate(), 2, engine.sampleRate() / 5);
    engine.load(3, engine.openClip(dir.file("a.wav")));
    std::atomic<int> ended{0};
    engine.setListener(3, [&](std::uint32_t, media::EndKind) { ended++; });
    const auto t0 = std::chrono::steady_clock::now();
    engine.play(3);
    while (ended == 0 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(ended.load(), 1);
    EXPECT_GE(took, std::chrono::milliseconds(150)); // a 200 ms clip, on a real clock
    EXPECT_FALSE(engine.isPlaying(3));
    EXPECT_EQ(engine.position(3), engine.length(3));
    engine.setListener(3, nullptr);
}
