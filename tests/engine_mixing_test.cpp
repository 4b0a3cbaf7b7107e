// What the mixer makes of loops, restarts, fades, loud sums, many channels and a read-ahead
// that runs dry, pulled block by block without a device.

#include "engine.h"
#include "engine_support.h"
#include "limiter.h"

#include <gtest/gtest.h>
#include <soxr.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using media::EndKind;
using media::Engine;
using namespace testsupport;

namespace {

class EngineMixing : public ::testing::Test {
protected:
    TempDir dir;
    Engine engine{manualOutput()};
    EndLog ends;
    std::vector<float> loadWav(int voice, const std::string& name, long frames, int channels = 2) {
        auto src = writeWav(dir.file(name), kRate, channels, frames);
        engine.load(voice, engine.openClip(dir.file(name)));
        engine.render(nullptr, 0);
        engine.waitIdle(std::chrono::seconds(5));
        return src;
    }
    // A sine of `seconds` at `level` (linear, peak) made by sox, loaded on `voice`.
    void loadSine(int voice, const std::string& name, double hz, double level, double seconds) {
        const std::string path = dir.file(name);
        char cmd[512];
        std::snprintf(cmd, sizeof cmd,
                      "sox -n -r %d -c 2 -e floating-point -b 32 %s synth %g sine %g vol %g "
                      "2>/dev/null",
                      kRate, path.c_str(), seconds, hz, level);
        ASSERT_TRUE(testsupport::run(cmd));
        engine.load(voice, engine.openClip(path));
        engine.render(nullptr, 0);
        engine.waitIdle(std::chrono::seconds(5));
    }
    // A clip of constant `left` and `right` samples, loaded on `voice`: the output divided by
    // them is the gain the voice is heard at.
    void loadLevel(int voice, const std::string& name, float left, float right, long frames) {
        SF_INFO info{0, kRate, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
        SNDFILE* f = sf_open(dir.file(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> data(static_cast<std::size_t>(frames * 2));
        for (long i = 0; i < frames; ++i)
            data[static_cast<std::size_t>(2 * i)] = left,
                                              data[static_cast<std::size_t>(2 * i + 1)] = right;
        sf_writef_float(f, data.data(), frames);
        sf_close(f);
        engine.load(voice, engine.openClip(dir.file(name)));
        engine.render(nullptr, 0);
        engine.waitIdle(std::chrono::seconds(5));
    }
};

double dB(double gain) {
    return 20.0 * std::log10(std::max(gain, 1e-9));
}

// `src` (stereo at `rate`) repeated `times` times and converted to the engine's rate in one go,
// as the engine converts its clips.
std::vector<float> convertRepeated(const std::vector<float>& src, int rate, int times) {
    std::vector<float> in;
    for (int i = 0; i < times; ++i)
        in.insert(in.end(), src.begin(), src.end());
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
    std::vector<float> out(in.size() * kRate / static_cast<std::size_t>(rate) + 4096);
    std::size_t done = 0;
    soxr_oneshot(rate, kRate, 2, in.data(), in.size() / 2, nullptr, out.data(), out.size() / 2,
                 &done, &io, &q, &rt);
    out.resize(done * 2);
    return out;
}

} // namespace

TEST_F(EngineMixing, LoopingRepeatsTheClipSampleForSampleWithoutEndsUntilSwitchedOff) {
    // Longer than the head, so every pass crosses from memory into the read-ahead ring; short
    // enough to be held wholly in memory; and converted from 44.1 kHz (a whole and a
    // fractional number of frames per pass, longer and shorter than the head), where the
    // loop must be the clip repeated and converted in one go: no seam, no padded frame.
    // A trimmed pad loops from its in point to its out point: the part between them
    // repeated (at 44.1 kHz, points where source and output frames meet: 147 to 160).
    struct Case {
        long clipFrames;
        int rate;
        long in = 0, out = 0; // output frames
    };
    for (const Case& k : {Case{24000L, kRate},
                          {25000L, kRate},
                          {4410L, kRate},
                          {26460L, 44100},
                          {26461L, 44100},
                          {3001L, 44100},
                          {30000L, kRate, 1000, 21000},
                          {30000L, kRate, 500, 3000},
                          {26461L, 44100, 3200, 24000},
                          {26461L, 44100, 1600, 4800}}) {
        SCOPED_TRACE(std::to_string(k.clipFrames) + " frames at " + std::to_string(k.rate) +
                     " from " + std::to_string(k.in) + " to " + std::to_string(k.out));
        const int rate = k.rate;
        const std::string name = dir.file("loop" + std::to_string(k.clipFrames) + ".wav");
        auto src = writeWav(name, rate, 2, k.clipFrames);
        engine.load(0, engine.openClip(name));
        const long full = (k.clipFrames * kRate + rate - 1) / rate;
        if (k.out > 0) {
            engine.setWindow(0, k.in, k.out);
            const auto from = src.begin() + k.in * rate / kRate * 2;
            src = std::vector<float>(from, src.begin() + k.out * rate / kRate * 2);
        }
        engine.waitIdle(std::chrono::seconds(5));
        const long frames = k.out > 0 ? k.out - k.in : full;
        ASSERT_EQ(engine.length(0), frames);
        ends.attach(engine, 0);
        engine.setLooping(0, true);
        const std::uint32_t stamp = engine.play(0);
        const long total = 5 * frames + 333;
        const auto out = pull(engine, total);
        const std::vector<float> once = rate == kRate ? src : convertRepeated(src, rate, 8);
        auto expected = [&](long i) {
            return rate == kRate ? src[static_cast<std::size_t>(i % (frames * 2))]
                                 : once[static_cast<std::size_t>(i)];
        };
        long wrong = 0;
        for (long i = 0; i < total * 2; ++i)
            wrong += std::fabs(out[static_cast<std::size_t>(i)] - expected(i)) > 1e-6f;
        EXPECT_EQ(wrong, 0);
        EXPECT_TRUE(engine.isPlaying(0));
        EXPECT_EQ(engine.position(0), total % frames);
        EXPECT_TRUE(ends.get().empty());

        // Off: the pass under way plays to its end, which ends the playback once.
        engine.setLooping(0, false);
        const auto rest = pull(engine, frames + 1000);
        EXPECT_FALSE(engine.isPlaying(0));
        EXPECT_EQ(engine.position(0), frames);
        const long left = frames - total % frames;
        for (long i = 0; i < left * 2; ++i)
            ASSERT_NEAR(rest[static_cast<std::size_t>(i)], expected(total * 2 + i), 1e-6f) << i;
        EXPECT_EQ(peakOf(rest, static_cast<std::size_t>(left * 2)), 0.0f);
        engine.waitIdle(std::chrono::seconds(5));
        EXPECT_EQ(ends.get(),
                  (std::vector<std::pair<std::uint32_t, EndKind>>{{stamp, EndKind::Finished}}));
        ends.clear();
    }
    EXPECT_EQ(engine.underruns(), 0u);
}

TEST_F(EngineMixing, RestartStartsTheFirstSampleInTheSameBlockWhileTheOldOneFades) {
    const long frames = 2 * kRate;
    const auto src = loadWav(0, "a.wav", frames);
    ends.attach(engine, 0);
    const std::uint32_t first = engine.play(0);
    const long played = kRate + 1000;
    pull(engine, played);
    const std::uint32_t second = engine.restart(0);
    EXPECT_NE(second, first);
    EXPECT_TRUE(engine.isPlaying(0));
    EXPECT_EQ(engine.position(0), 0);
    const auto out = pull(engine, 4096);
    const int overlap = engine.lookaheadFrames() + kRate / 200;
    for (int i = 0; i < 4096; ++i)
        for (int c = 0; c < 2; ++c) {
            const std::size_t k = static_cast<std::size_t>(2 * i + c);
            const float old = src[static_cast<std::size_t>(played * 2) + k];
            if (i < engine.lookaheadFrames())
                ASSERT_EQ(out[k], src[k] + old) << i; // both, the old one still whole
            else if (i < overlap) {
                ASSERT_LE(std::fabs(out[k] - src[k]), std::fabs(old) + 1e-6f) << i;
                // The old playback's tail falls from about full level to about silence.
                const int j = i - engine.lookaheadFrames();
                if (std::fabs(old) > 0.05f && (j < 12 || overlap - i <= 12)) {
                    ASSERT_NEAR((out[k] - src[k]) / old, j < 12 ? 1.0f : 0.0f, 0.1f) << i;
                }
            } else {
                ASSERT_EQ(out[k], src[k]) << i;
            }
        }
    pull(engine, frames);
    engine.waitIdle(std::chrono::seconds(5));
    // The interrupted playback never ends on its own; the new one does.
    EXPECT_EQ(ends.get(),
              (std::vector<std::pair<std::uint32_t, EndKind>>{{second, EndKind::Finished}}));
}

TEST_F(EngineMixing, FadeOutLowersTheLevelSteadilyThenEndsStoppedAtTheStart) {
    const auto src = loadWav(0, "a.wav", 3 * kRate);
    ends.attach(engine, 0);
    engine.fadeOut(0, 100); // silent: nothing happens
    EXPECT_FALSE(engine.fading(0));
    const std::uint32_t stamp = engine.play(0);
    const long played = 10000;
    pull(engine, played);
    engine.fadeOut(0, 100);
    EXPECT_TRUE(engine.fading(0));
    EXPECT_TRUE(engine.isPlaying(0));
    const long fade = kRate / 10;
    const int ahead = engine.lookaheadFrames();
    const auto out = pull(engine, fade + 4096);
    // The gain (output over the clip) falls by 1/fade per frame behind the look-ahead.
    for (long i = 0; i < fade + ahead; ++i) {
        const float s = src[static_cast<std::size_t>((played + i) * 2)];
        if (std::fabs(s) < 0.05f)
            continue;
        const float g = out[static_cast<std::size_t>(i * 2)] / s;
        const float want = i < ahead ? 1.0f : 1.0f - static_cast<float>(i - ahead + 1) / fade;
        ASSERT_NEAR(g, std::max(want, 0.0f), 2e-3f) << i;
    }
    EXPECT_EQ(peakOf(out, static_cast<std::size_t>((fade + ahead + 1) * 2)), 0.0f);
    EXPECT_FALSE(engine.isPlaying(0));
    EXPECT_FALSE(engine.fading(0));
    EXPECT_EQ(engine.position(0), 0);
    EXPECT_EQ(engine.endedAs(0), EndKind::Faded);
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_EQ(ends.get(),
              (std::vector<std::pair<std::uint32_t, EndKind>>{{stamp, EndKind::Faded}}));

    // A stop during a fade cuts it within the look-ahead and the short anti-click fade, from
    // the level the fade reached (never back up to full), and keeps the position; a play
    // during a fade starts again from the first sample.
    engine.play(0);
    pull(engine, 5000);
    engine.fadeOut(0, 40);
    pull(engine, 1000); // about half way down
    const std::int64_t at = engine.position(0);
    engine.stop(0);
    EXPECT_FALSE(engine.fading(0));
    auto cut = pull(engine, 2048);
    for (std::size_t k = 0; k < cut.size(); ++k)
        ASSERT_LE(std::fabs(cut[k]), 0.53f * std::fabs(src[static_cast<std::size_t>(2 * at) + k]))
            << k;
    EXPECT_EQ(peakOf(cut, static_cast<std::size_t>((ahead + kRate / 200 + 1) * 2)), 0.0f);
    EXPECT_EQ(engine.position(0), at);
    engine.play(0);
    pull(engine, 1000);
    engine.fadeOut(0, 1000);
    pull(engine, 1000);
    engine.play(0);
    EXPECT_FALSE(engine.fading(0));
    EXPECT_EQ(engine.position(0), 0);
    cut = pull(engine, 2048);
    const std::size_t clean = static_cast<std::size_t>(ahead + kRate / 200) * 2;
    for (std::size_t k = clean; k < cut.size(); ++k)
        ASSERT_EQ(cut[k], src[k]) << k;
}

TEST_F(EngineMixing, AGroupStartCrossFadesAtConstantPowerWithoutAGap) {
    // Each pad on a channel of its own, so that the gain of each is heard apart.
    loadLevel(0, "old.wav", 0.5f, 0.0f, 2 * kRate);
    loadLevel(1, "new.wav", 0.0f, 0.5f, 2 * kRate);
    loadLevel(2, "other.wav", 0.0f, 0.0f, 2 * kRate); // not of the group: left alone
    ends.attach(engine, 0);
    const std::uint32_t old = engine.play(0);
    engine.play(2);
    pull(engine, 4096);
    const int ms = 300;
    const long span = kRate * ms / 1000;
    engine.playReplacing(1, true, 0b001, ms);
    EXPECT_TRUE(engine.fading(0));
    EXPECT_FALSE(engine.fading(2));
    const auto out = pull(engine, span + 4096);
    const int ahead = engine.lookaheadFrames();
    double worst = 0.0;
    for (long i = 0; i < span + 4096; ++i) {
        const double a = out[static_cast<std::size_t>(2 * i)] / 0.5;
        const double b = out[static_cast<std::size_t>(2 * i + 1)] / 0.5;
        if (i < ahead)
            ASSERT_EQ(b, 0.0) << i; // the new pad starts with the old one's fade
        else
            worst = std::max(worst, std::fabs(10.0 * std::log10(a * a + b * b)));
        if (i > ahead + span) {
            ASSERT_EQ(a, 0.0) << i;
        }
    }
    EXPECT_LT(worst, 1.0);
    EXPECT_NEAR(out[static_cast<std::size_t>(2 * (ahead + span / 2))], 0.5 * std::sqrt(0.5), 0.01);
    EXPECT_EQ(out.back(), 0.5f);
    EXPECT_TRUE(engine.isPlaying(2));
    EXPECT_EQ(engine.endedAs(0), EndKind::Faded);
    engine.waitIdle(std::chrono::seconds(5));
    EXPECT_EQ(ends.get(), (std::vector<std::pair<std::uint32_t, EndKind>>{{old, EndKind::Faded}}));
}

TEST_F(EngineMixing, ADuckingPadLowersTheOthersOnceAlongAStraightLineInDb) {
    loadLevel(0, "bed.wav", 0.5f, 0.5f, 6 * kRate);
    loadLevel(1, "voice.wav", 0.0f, 0.0f, 3 * kRate); // silent: the output is the bed alone
    loadLevel(2, "voice2.wav", 0.0f, 0.0f, 3 * kRate);
    const Engine::Ducking duck{true, -12, 50, 500};
    engine.setDucking(1, duck);
    engine.setDucking(2, duck);
    const long attack = kRate * 50 / 1000, release = kRate * 500 / 1000;
    const long late = engine.lookaheadFrames() + kBlock; // a command takes effect this late
    engine.play(0);
    pull(engine, 2048);
    // The bed's gain in dB, frame by frame, over the next `frames`.
    auto gains = [&](long frames) {
        const auto out = pull(engine, frames);
        std::vector<double> g;
        for (long i = 0; i < frames; ++i)
            g.push_back(dB(out[static_cast<std::size_t>(2 * i)] / 0.5));
        return g;
    };
    auto steepest = [](const std::vector<double>& g) {
        double step = 0.0;
        for (std::size_t i = 1; i < g.size(); ++i)
            step = std::max(step, std::fabs(g[i] - g[i - 1]));
        return step;
    };
    engine.play(1);
    auto g = gains(attack + late + 4096);
    EXPECT_NEAR(g[static_cast<std::size_t>(attack + late)], -12.0, 0.05);
    EXPECT_NEAR(g.back(), -12.0, 0.05);
    EXPECT_LE(steepest(g), 12.0 / attack * 1.01);

    // A second ducking pad leaves the bed where it is; each ducking pad keeps its own level.
    engine.play(2);
    g = gains(attack * 4);
    EXPECT_NEAR(*std::min_element(g.begin(), g.end()), -12.0, 0.05);
    engine.stop(1);
    g = gains(attack * 4);
    EXPECT_NEAR(g.back(), -12.0, 0.05);

    engine.stop(2);
    g = gains(release + late + 4096);
    EXPECT_NEAR(g[static_cast<std::size_t>(release + late)], 0.0, 0.05);
    EXPECT_EQ(g.back(), 0.0);
    EXPECT_LE(steepest(g), 12.0 / release * 1.01);
}

TEST_F(EngineMixing, EightFullScalePadsNeverReachFullScale) {
    const double hz[] = {110, 220, 330, 440, 550, 660, 770, 880};
    for (int v = 0; v < media::kVoices; ++v)
        loadSine(v, "full" + std::to_string(v) + ".wav", hz[v], 1.0, 2.0);
    // Pressed one after the other: each new press takes the limited sum further.
    std::vector<float> out;
    for (int v = 0; v < media::kVoices; ++v) {
        engine.play(v);
        const auto part = pull(engine, 6000);
        out.insert(out.end(), part.begin(), part.end());
    }
    const auto rest = pull(engine, kRate);
    out.insert(out.end(), rest.begin(), rest.end());
    long overCeiling = 0;
    for (float s : out) {
        ASSERT_TRUE(std::isfinite(s));
        overCeiling += std::fabs(s) > media::Limiter::kCeiling * (1.0f + 1e-6f);
    }
    EXPECT_EQ(overCeiling, 0);
    EXPECT_GT(peakOf(out), 0.85f); // limited, not muted
    EXPECT_GT(engine.limitedFrames(), 0u);
}

TEST_F(EngineMixing, OnePadJustBelowTheCeilingPassesBitExact) {
    const std::string path = dir.file("loud.wav");
    // Normalised to -1 dBFS and stored in 16 bits, as an editor would leave it.
    ASSERT_TRUE(testsupport::run("sox -n -r 48000 -c 2 -b 16 " + path +
                                 " synth 1 sine 100 sine 3000 gain -n -1 2>/dev/null"));
    const std::vector<float> src = readSamples(path);
    EXPECT_GT(peakOf(src), 0.89f);
    engine.load(0, engine.openClip(path));
    engine.waitIdle(std::chrono::seconds(5));
    engine.play(0);
    const auto out = pull(engine, static_cast<long>(src.size() / 2) + 1000);
    long changed = 0;
    for (std::size_t i = 0; i < src.size(); ++i)
        changed += out[i] != src[i];
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(engine.limitedFrames(), 0u);
}

TEST(Limiter, LowersTheGainInTimeAlongALineAndReleasesSmoothlyToExactlyOne) {
    media::Limiter limiter(kRate, kBlock);
    const int ahead = limiter.lookahead();
    EXPECT_EQ(ahead, 72);
    // 0.5 for 0.1 s, a burst at 1.8 for 10 ms, a NaN and an infinity, then 0.5 again.
    const long frames = 2 * kRate;
    auto input = [](long i) -> float {
        const float s = std::sin(0.05f * static_cast<float>(i));
        if (i == 7000)
            return std::numeric_limits<float>::quiet_NaN();
        if (i == 7001)
            return std::numeric_limits<float>::infinity();
        return (i >= 4800 && i < 5280 ? 1.8f : 0.5f) * s;
    };
    std::vector<float> out(static_cast<std::size_t>(frames * 2));
    for (long done = 0; done < frames + ahead; done += kBlock) {
        limiter.beginBlock(kBlock);
        float* in = limiter.bus() + 2 * ahead;
        for (int i = 0; i < kBlock; ++i)
            in[2 * i] = in[2 * i + 1] = input(done + i);
        float block[2 * kBlock];
        limiter.process(block, kBlock);
        for (int i = 0; i < kBlock; ++i) {
            const long at = done + i - ahead; // what leaves is `ahead` frames old
            if (at >= 0 && at < frames)
                out[static_cast<std::size_t>(2 * at)] = block[2 * i];
        }
    }
    float lastGain = 1.0f;
    long lastAt = 0;
    long changedAfter = 0;
    for (long i = 0; i < frames; ++i) {
        const float o = out[static_cast<std::size_t>(2 * i)];
        ASSERT_TRUE(std::isfinite(o)) << i;
        ASSERT_LE(std::fabs(o), media::Limiter::kCeiling * (1.0f + 1e-6f)) << i;
        const float in = input(i);
        if (i < 4800 - ahead) {
            ASSERT_EQ(o, in) << i; // untouched before the burst comes into sight
        } else if (i == 4800 - ahead) {
            ASSERT_NE(o, in) << "the gain falls from the first frame the burst is in sight";
        }
        if (i == 7000 || i == 7001) {
            EXPECT_EQ(o, 0.0f);
            continue;
        }
        if (std::fabs(in) > 0.2f) {
            // The gain never jumps: it falls along the look-ahead line (here by 0.5 / 73 a
            // frame at most), and rises slower.
            const float g = o / in;
            ASSERT_LE(std::fabs(g - lastGain), 0.0075f * static_cast<float>(i - lastAt)) << i;
            lastGain = g;
            lastAt = i;
        }
        if (i > 60000)
            changedAfter += o != in;
    }
    EXPECT_EQ(changedAfter, 0); // released to exactly 1: bit-exact again
    EXPECT_EQ(limiter.gain(), 1.0f);
}

// The frames an output has queued leave again from changed sums: as a limiter that had the
// change from the start lets them leave, where its look-ahead had not seen the change yet.
// The change silences a loud tone (the gain recovers from the first changed frame on), or makes
// it louder still (it is lowered at once).
TEST(Limiter, QueuedFramesLeaveAgainAsThoughTheirChangeHadComeInTime) {
    for (const float after : {0.0f, 1.6f}) {
        SCOPED_TRACE(after);
        media::Limiter late(kRate, kBlock, 16384), ref(kRate, kBlock);
        const int ahead = late.lookahead(), queue = 4800;
        const long changedAt = 40 * kBlock - queue + ahead; // as frames leave
        const auto input = [&](long written, bool changed) {
            const float s = 1.5f * std::sin(0.05f * static_cast<float>(written));
            return changed && written + ahead >= changedAt ? s * after : s;
        };
        std::vector<float> heard, want;
        for (long done = 0; done < 80 * kBlock; done += kBlock) {
            if (done == 40 * kBlock) {
                for (long f = changedAt; f < late.frame(); ++f)
                    late.kept(f)[0] *= after, late.kept(f)[1] *= after;
                for (int i = 0; i < 2 * ahead; ++i)
                    late.bus()[i] *= after;
                std::vector<float> change(2 * queue);
                late.again(late.frame() - queue, change.data());
                for (int i = 0; i < 2 * queue; ++i)
                    heard[heard.size() - 2 * queue + static_cast<std::size_t>(i)] += change[i];
            }
            for (auto [l, changed, to] :
                 {std::tuple{&late, done >= 40 * kBlock, &heard}, std::tuple{&ref, true, &want}}) {
                l->beginBlock(kBlock);
                for (int i = 0; i < kBlock; ++i)
                    l->bus()[2 * (ahead + i)] = l->bus()[2 * (ahead + i) + 1] =
                        input(done + i, changed);
                float block[2 * kBlock];
                l->process(block, kBlock);
                to->insert(to->end(), block, block + 2 * kBlock);
            }
        }
        float worst = 0.0f;
        for (std::size_t i = 0; i < want.size(); ++i)
            worst = std::max(worst, std::fabs(heard[i] - want[i]));
        EXPECT_LT(worst, 1e-6f);
        EXPECT_LE(peakOf(heard), media::Limiter::kCeiling * (1.0f + 1e-6f));
    }
}

TEST_F(EngineMixing, SurroundClipsFoldDownToStereo) {
    // Six channels without a channel mask: L R C LFE Ls Rs.
    const long frames = kRate / 2;
    const auto six = loadWav(0, "51.wav", frames, 6);
    // Seven: L R C LFE, the back centre at half on both sides, Ls Rs.
    const auto seven = loadWav(2, "61.wav", frames, 7);
    // Four channels whose file names them front left, front right, centre and LFE (a
    // WAVE_FORMAT_EXTENSIBLE mask of 0x0F over libsndfile's own), where a file without a mask
    // would mean L R Ls Rs.
    const std::string quadPath = dir.file("quad.wav");
    const auto quad = writeWav(quadPath, kRate, 4, frames, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT);
    std::string bytes = readBytes(quadPath);
    ASSERT_EQ(bytes[40], 0x33);
    bytes[40] = 0x0F;
    writeBytes(quadPath, bytes);
    engine.load(1, engine.openClip(quadPath));
    engine.waitIdle(std::chrono::seconds(5));
    constexpr float h = 0.70710678f;
    constexpr float gain = 0.4f; // the folded sum stays below the limiter's ceiling
    for (int v = 0; v < 3; ++v) {
        SCOPED_TRACE(v);
        engine.setGain(v, gain);
        engine.play(v);
        const auto out = pull(engine, frames);
        for (long i = 0; i < frames; ++i) {
            // LFE left out; centre and surrounds at -3 dB.
            const float* x = v == 0   ? six.data() + i * 6
                             : v == 1 ? quad.data() + i * 4
                                      : seven.data() + i * 7;
            float l = x[0] + h * x[2] + (v == 0 ? h * x[4] : 0.0f);
            float r = x[1] + h * x[2] + (v == 0 ? h * x[5] : 0.0f);
            if (v == 2) {
                l += 0.5f * x[4] + h * x[5];
                r += 0.5f * x[4] + h * x[6];
            }
            ASSERT_NEAR(out[static_cast<std::size_t>(2 * i)], gain * l, 1e-6f) << i;
            ASSERT_NEAR(out[static_cast<std::size_t>(2 * i + 1)], gain * r, 1e-6f) << i;
        }
        engine.stop(v);
        pull(engine, 1024);
    }
}

TEST_F(EngineMixing, ADryReadAheadFadesOutAndBackInWithoutLosingItsPlace) {
    // A smooth tone: it changes by less than 0.03 from frame to frame, a freeze by up to 0.5.
    loadSine(0, "long.wav", 440, 0.5, 4);
    const auto src = readSamples(dir.file("long.wav"));
    loadWav(1, "blip.wav", 100);
    // The worker delivers voice 1's end event to this listener, which holds it: voice 0's
    // ring gets no more audio until it lets go.
    std::atomic<bool> holding{false};
    std::atomic<bool> letGo{false};
    struct LetGo {
        std::atomic<bool>& flag;
        Engine& engine;
        ~LetGo() { // also when a check below fails
            flag = true;
            engine.setListener(1, nullptr);
        }
    } letGoAtExit{letGo, engine};
    engine.setListener(1, [&](std::uint32_t, EndKind) {
        holding = true;
        while (!letGo)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    engine.setGain(1, 0.0f);
    engine.play(1);
    pull(engine, kBlock, false);
    for (int i = 0; i < 5000 && !holding; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(holding);

    engine.play(0);
    const long dry = 2 * kRate; // beyond the head and the full ring
    auto out = pull(engine, dry, false);
    EXPECT_EQ(engine.underruns(), 1u);
    const std::int64_t stoppedAt = engine.position(0);
    EXPECT_GT(stoppedAt, kRate);
    EXPECT_LT(stoppedAt, dry - 1000);
    // Up to where it ran dry the clip as it is, then a fade and silence: no step anywhere.
    const long end = stoppedAt + engine.lookaheadFrames();
    for (long i = 0; i < end - kRate / 200; ++i)
        ASSERT_EQ(out[static_cast<std::size_t>(2 * i)], src[static_cast<std::size_t>(2 * i)]) << i;
    EXPECT_LT(largestStep(out, 0, static_cast<std::size_t>(dry)), 0.035f);
    EXPECT_EQ(peakOf(out, static_cast<std::size_t>(2 * end)), 0.0f);
    EXPECT_TRUE(engine.isPlaying(0));

    letGo = true;
    engine.waitIdle(std::chrono::seconds(5));
    out = pull(engine, kRate);
    EXPECT_EQ(engine.underruns(), 1u);
    EXPECT_LT(largestStep(out, 0, kRate), 0.035f);
    // It goes on from the frame where it faded, fading in, then exactly the clip.
    const long fadeIn = kRate * 3 / 1000;
    const long resumed =
        findStart(out, src.data() + 2 * (end + fadeIn), 1000, fadeIn, kRate - 1000 - fadeIn);
    ASSERT_GE(resumed, fadeIn);
    EXPECT_LT(resumed, kRate / 4);
    EXPECT_EQ(peakOf(out, 0, static_cast<std::size_t>(2 * (resumed - fadeIn))), 0.0f);
}

TEST_F(EngineMixing, APlayRightAfterOpeningStartsFromTheFirstSampleWhateverTheHeadsDo) {
    // Eight clips opened at once, each converted and long: their heads are still being
    // prepared when the last one is played at once.
    const std::string wav = dir.file("src.wav");
    ASSERT_TRUE(testsupport::run("sox -n -r 44100 -c 2 -b 16 " + wav +
                                 " synth 20 sine 200-2000 vol 0.5 2>/dev/null"));
    for (int v = 0; v < media::kVoices; ++v)
        engine.load(v, engine.openClip(wav));
    engine.play(media::kVoices - 1);
    const auto out = pull(engine, kRate);
    const auto reference = media::Clip::open(wav, kRate);
    const long start = findStart(out, reference->head(), 4096, 0, kRate / 2);
    ASSERT_GE(start, 0);
    EXPECT_EQ(start % kBlock, 0); // at the start of a block
    EXPECT_EQ(peakOf(out, 0, static_cast<std::size_t>(2 * start)), 0.0f);
}
