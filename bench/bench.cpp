// Performance figures of the audio engine and of the window's audio paths. Each figure is one
// line:
//   figure-name: value unit (target: ...)
// Inputs are generated at run time with sox and lame in a temporary folder. The window parts
// run on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include "clip.h"
#include "clipplayer.h"
#include "cuedeck.h"
#include "dialogs.h"
#include "encode_support.h"
#include "engine.h"
#include "limiter.h"
#include "padboard.h"
#include "setlistslots.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using media::Engine;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double residentMb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

// The load averages of the last 1, 5 and 15 minutes, as uptime shows them.
std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
}

void figure(const char* name, double value, const char* unit, const std::string& target) {
    std::printf("%s: %.3f %s (target: %s)\n", name, value, unit, target.c_str());
    std::fflush(stdout);
}

struct Workspace {
    std::filesystem::path dir;
    Workspace() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "cuedeck-bench-XXXXXX");
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir = tmpl;
    }
    ~Workspace() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // A stereo 44.1 kHz WAV of `seconds` (the same kind of signal).
    std::string wav(const std::string& name, double seconds, int rate = 44100,
                    const std::string& effect = "sine 220-880 sine 330 vol 0.4") {
        const std::string out = (dir / (name + ".wav")).string();
        const std::string cmd = "sox -n -r " + std::to_string(rate) + " -c 2 -b 16 '" + out +
                                "' synth " + std::to_string(seconds) + " " + effect +
                                " 2>/dev/null";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "cannot generate %s (sox needed)\n", out.c_str());
            std::exit(1);
        }
        return out;
    }
    // A stereo 44.1 kHz MP3 of `seconds` (a chord that changes, so that it is not trivial to
    // encode or decode).
    // `lame` flags: CBR with its Info frame unless told; "-V 2 -t" makes VBR with no frame
    // that names the length.
    std::string mp3(const std::string& name, int seconds, const std::string& flags = "-b 192") {
        const std::string wav = (dir / (name + ".wav")).string();
        const std::string out = (dir / (name + ".mp3")).string();
        const std::string cmd = "sox -n -r 44100 -c 2 -b 16 '" + wav + "' synth " +
                                std::to_string(seconds) +
                                " sine 220-880 sine 330 vol 0.4 2>/dev/null && lame --quiet " +
                                flags + " '" + wav + "' '" + out + "' && rm -f '" + wav + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "cannot generate %s (sox and lame needed)\n", out.c_str());
            std::exit(1);
        }
        return out;
    }
};

// Decodes and converts a whole clip into memory: what a player without streaming does.
std::vector<float> decodeWhole(const std::string& path, int rate) {
    auto clip = media::Clip::open(path, rate);
    std::vector<float> all;
    std::vector<float> buf(8192 * 2);
    all.insert(all.end(), clip->head(), clip->head() + clip->headFrames() * 2);
    clip->seek(clip->headFrames());
    for (;;) {
        const std::int64_t n = clip->read(buf.data(), 8192);
        if (n == 0)
            break;
        all.insert(all.end(), buf.begin(), buf.begin() + n * 2);
    }
    return all;
}

// The median of 15 opens of `path` (with its head) and of 3 decodes of it whole, in ms.
std::pair<double, double> openAgainstWholeDecode(const std::string& path) {
    std::vector<double> opens;
    for (int i = 0; i < 15; ++i) {
        auto t0 = Clock::now();
        auto c = media::Clip::open(path, 48000);
        opens.push_back(msSince(t0));
    }
    std::vector<double> whole;
    for (int i = 0; i < 3; ++i) {
        auto t0 = Clock::now();
        auto all = decodeWhole(path, 48000);
        whole.push_back(msSince(t0));
    }
    return {median(opens), median(whole)};
}

void openFigures(Workspace& ws) {
    const std::string clip = ws.mp3("three-minutes", 180);
    std::vector<std::string> copies;
    for (int i = 0; i < 8; ++i) {
        const std::string p = (ws.dir / ("copy" + std::to_string(i) + ".mp3")).string();
        std::filesystem::copy_file(clip, p);
        copies.push_back(p);
    }
    (void)decodeWhole(clip, 48000); // warm the page cache for both measurements

    const auto [open, base] = openAgainstWholeDecode(clip);
    figure("open-3min-mp3", open, "ms", "< 10 ms");
    figure("open-3min-mp3-baseline-whole-decode", base, "ms", "baseline");
    figure("open-3min-mp3-ratio", open / base, "x baseline", "< 1");

    // A VBR MP3 that names no length goes through FFmpeg, which decodes it to its real end.
    const std::string bare = ws.mp3("three-minutes-bare-vbr", 180, "-V 2 -t");
    (void)decodeWhole(bare, 48000);
    const auto [bareOpen, bareWhole] = openAgainstWholeDecode(bare);
    figure("open-3min-bare-vbr-mp3", bareOpen, "ms", "< 10 ms");
    figure("open-3min-bare-vbr-mp3-ratio", bareOpen / bareWhole, "x baseline whole decode", "< 1");

    std::vector<double> sets;
    for (int round = 0; round < 5; ++round) {
        std::vector<std::shared_ptr<media::Clip>> held;
        auto t0 = Clock::now();
        for (const auto& p : copies)
            held.push_back(media::Clip::open(p, 48000));
        sets.push_back(msSince(t0));
    }
    figure("open-setlist-8x3min-mp3", median(sets), "ms", "< 80 ms");
    figure("open-setlist-ratio", median(sets) / (8 * base), "x baseline", "< 1");

    // An AAC .m4a goes through FFmpeg: the container is opened once, the probe's frames are
    // served again for the head.
    const std::string m4a = (ws.dir / "three-minutes.m4a").string();
    {
        const int rate = 44100;
        std::vector<float> samples(static_cast<std::size_t>(180 * rate * 2));
        for (std::size_t i = 0; i < samples.size() / 2; ++i) {
            const double t = static_cast<double>(i) / rate;
            samples[2 * i] = static_cast<float>(0.3 * std::sin(2 * M_PI * (220 + t) * t));
            samples[2 * i + 1] = static_cast<float>(0.3 * std::sin(2 * M_PI * 330 * t));
        }
        testsupport::encodeClip(m4a, "ipod", "aac", rate, 2, samples);
    }
    (void)decodeWhole(m4a, 48000);
    const auto [m4aOpen, m4aWhole] = openAgainstWholeDecode(m4a);
    figure("open-3min-m4a", m4aOpen, "ms", "< 10 ms");
    figure("open-3min-m4a-ratio", m4aOpen / m4aWhole, "x baseline whole decode", "< 1");
}

// What the window's thread waits for when a clip goes on a pad (Clip::openDeferred(); the head
// is the pool's), against the clip's length, for each kind of file: 1, 3, 10 and 30 minutes.
// The baseline is the same kind of file a minute long, opened in the same run: a ratio near 1
// says the open does not read the file through, one near the length in minutes says it does.
// "bare" MP3s have no Xing/Info frame (lame -t), as some encoders write them.
void openLengthFigures(Workspace& ws) {
    struct Kind {
        const char* name;
        const char* ext;
        // %1: the WAV, %2: the clip to write; empty: the WAV itself; null: an AAC .m4a
        const char* command;
    };
    const Kind kinds[] = {
        {"wav", "wav", ""},
        {"flac", "flac", "sox %1 %2"},
        {"ogg", "ogg", "sox %1 -C 5 %2"},
        {"mp3-cbr-xing", "mp3", "lame --quiet -b 192 %1 %2"},
        {"mp3-cbr-bare", "mp3", "lame --quiet -b 192 -t %1 %2"},
        {"mp3-vbr-xing", "mp3", "lame --quiet -V 2 %1 %2"},
        {"mp3-vbr-bare", "mp3", "lame --quiet -V 2 -t %1 %2"},
        {"m4a", "m4a", nullptr},
    };
    const int minutes[] = {1, 3, 10, 30};
    std::printf("# open-length: load before encoding %s\n", loadAverage().c_str());
    for (const Kind& kind : kinds) {
        double base = 0;
        for (int m : minutes) {
            const std::string stem = std::string(kind.name) + "-" + std::to_string(m);
            const std::string clip = (ws.dir / (stem + "." + kind.ext)).string();
            if (!kind.command) {
                // Mono at 22.05 kHz: a 30 minute clip in memory stays small; the container's
                // tables still name every packet.
                const int rate = 22050;
                std::vector<float> samples(static_cast<std::size_t>(m) * 60 * rate);
                for (std::size_t i = 0; i < samples.size(); ++i)
                    samples[i] = static_cast<float>(0.3 * std::sin(0.05 * static_cast<double>(i)));
                testsupport::encodeClip(clip, "ipod", "aac", rate, 1, std::move(samples));
            } else {
                const std::string wav = ws.wav(stem, 60.0 * m);
                if (*kind.command) {
                    std::string cmd = kind.command;
                    cmd.replace(cmd.find("%1"), 2, "'" + wav + "'");
                    cmd.replace(cmd.find("%2"), 2, "'" + clip + "'");
                    if (std::system((cmd + " 2>/dev/null").c_str()) != 0) {
                        std::fprintf(stderr, "cannot write %s (sox and lame needed)\n",
                                     clip.c_str());
                        std::exit(1);
                    }
                    std::filesystem::remove(wav);
                }
            }
            (void)media::Clip::openDeferred(clip, 48000); // the page cache warm for all
            std::vector<double> opens, cold;
            std::int64_t opened = 0;
            for (int i = 0; i < (m >= 10 ? 5 : 9); ++i) {
                const auto t0 = Clock::now();
                auto c = media::Clip::openDeferred(clip, 48000);
                opens.push_back(msSince(t0));
                opened = c->length();
            }
            // Cold: this file's pages dropped from the cache first, as for a clip not read
            // since the machine started.
            for (int i = 0; i < 3; ++i) {
                const int fd = ::open(clip.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd >= 0) {
                    ::fdatasync(fd); // pages just written are only dropped once on disk
                    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
                    ::close(fd);
                }
                const auto t0 = Clock::now();
                (void)media::Clip::openDeferred(clip, 48000);
                cold.push_back(msSince(t0));
            }
            const double ms = median(opens);
            if (m == 1)
                base = ms;
            const std::string name = "open-" + std::to_string(m) + "min-" + kind.name;
            std::printf("# %s: load %s\n", name.c_str(), loadAverage().c_str());
            figure(name.c_str(), ms, "ms", m == 1 ? "baseline" : "< 16 ms");
            if (m > 1)
                figure((name + "-ratio").c_str(), ms / base, "x 1 min", "< 2");
            figure((name + "-cold").c_str(), median(cold), "ms", "< 16 ms");
            // The length the pad shows at once, and what plays: the clip decoded to its end.
            if (m <= 3) {
                auto whole = media::Clip::openDeferred(clip, 48000);
                std::vector<float> buf(8192 * 2);
                std::int64_t heard = 0;
                while (const std::int64_t n = whole->read(buf.data(), 8192))
                    heard += n;
                figure((name + "-length-at-open").c_str(), static_cast<double>(opened) / 48000.0,
                       "s", std::to_string(60 * m) + " s");
                figure((name + "-decoded").c_str(), static_cast<double>(heard) / 48000.0, "s",
                       std::to_string(60 * m) + " s");
            }
            std::filesystem::remove(clip);
        }
    }
}

void latencyFigure(Workspace& ws) {
    Engine::Options o;
    o.output = Engine::Output::Dummy;
    Engine engine(o);
    engine.load(0, engine.openClip(ws.mp3("restart", 5)));
    engine.play(0);
    std::vector<double> lat;
    for (int i = 0; i < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(7000 + (i * 397) % 5000));
        // Restart as the pad's play button does it: one command.
        engine.restart(0);
        auto t0 = Clock::now();
        while (msSince(t0) < 50) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (engine.position(0) > 0)
                break;
        }
        lat.push_back(static_cast<double>(engine.lastStartLatencyNs()) / 1e6);
    }
    const double period = 1000.0 * engine.periodFrames() / engine.sampleRate();
    std::printf("# output: driver %s, %d Hz, %d frames per period (%.2f ms)\n",
                engine.driverName().c_str(), engine.sampleRate(), engine.periodFrames(), period);
    figure("restart-latency-median", median(lat), "ms", "<= 5.3 ms");
    figure("restart-latency-p99", quantile(lat, 0.99), "ms", "<= 5.3 ms");
    figure("restart-latency-max", quantile(lat, 1.0), "ms", "<= 5.3 ms");
}

void memoryFigure(Workspace& ws) {
    const std::string clip = ws.mp3("ten-minutes", 600);
    std::vector<std::string> copies;
    for (int i = 0; i < 8; ++i) {
        const std::string p = (ws.dir / ("ten" + std::to_string(i) + ".mp3")).string();
        std::filesystem::copy_file(clip, p);
        copies.push_back(p);
    }
    const double before = residentMb();
    {
        Engine::Options o;
        o.output = Engine::Output::None;
        Engine engine(o);
        for (int v = 0; v < 8; ++v)
            engine.load(v, engine.openClip(copies[static_cast<std::size_t>(v)]));
        for (int v = 0; v < 8; ++v)
            engine.play(v);
        std::vector<float> out(128 * 2);
        for (int i = 0; i < 2000; ++i) { // about 5 s of playing, rings full
            engine.render(out.data(), 128);
            if (i % 32 == 0)
                engine.waitIdle(std::chrono::seconds(2));
        }
        const double after = residentMb();
        // Includes the engine's eight read-ahead rings.
        figure("memory-8x10min-clips-open-and-playing", after - before, "MB", "< 64 MB");
        const double whole = 8.0 * 600 * 48000 * 2 * sizeof(float) / (1024.0 * 1024.0);
        figure("memory-baseline-whole-decode-computed", whole, "MB", "baseline");
        figure("memory-ratio", (after - before) / whole, "x baseline", "< 1");
    }
}

// The CPU share of rendering eight looping MP3 voices without a device. With `interplay`,
// voice 0 ducks the others and voices 1 and 2 form a group that cross-fades every half
// second, as a board that uses ducking and groups does.
double cpuPercent(Workspace& ws, bool interplay) {
    const std::string clip = ws.mp3("loop", 7);
    Engine::Options o;
    o.output = Engine::Output::None;
    Engine engine(o);
    for (int v = 0; v < 8; ++v)
        engine.load(v, engine.openClip(clip));
    for (int v = 0; v < 8; ++v) {
        engine.setLooping(v, true);
        engine.play(v);
    }
    if (interplay)
        engine.setDucking(0, Engine::Ducking{true, -12, 50, 500});
    engine.waitIdle(std::chrono::seconds(2));
    const int seconds = 30;
    const long blocks = static_cast<long>(seconds) * engine.sampleRate() / 128;
    const long halfSecond = engine.sampleRate() / 2 / 128;
    std::vector<float> out(128 * 2);
    const double c0 = cpuSeconds();
    const auto t0 = Clock::now();
    for (long b = 0; b < blocks; ++b) {
        if (interplay && b % halfSecond == 0) {
            const int v = 1 + static_cast<int>(b / halfSecond % 2);
            engine.playReplacing(v, true, 0b110u & ~(1u << v), 300);
        }
        engine.render(out.data(), 128);
        if (b % 64 == 63)
            engine.waitIdle(std::chrono::seconds(2)); // stay within the worker's reach
    }
    const double cpu = cpuSeconds() - c0;
    std::printf("# %d s of audio rendered in %.0f ms%s, %llu underruns\n", seconds, msSince(t0),
                interplay ? " with ducking and a cross-fading group" : "",
                static_cast<unsigned long long>(engine.underruns()));
    return 100.0 * cpu / seconds;
}

void cpuFigure(Workspace& ws) {
    figure("cpu-8-looping-mp3-voices", cpuPercent(ws, false), "% of one core", "< 5 %");
}

// Key-to-sound and CPU with ducking and groups in use, against the same without, in one run.
void interplayFigures(Workspace& ws) {
    const double plain = cpuPercent(ws, false);
    const double shaped = cpuPercent(ws, true);
    figure("cpu-8-voices-ducking-groups", shaped, "% of one core", "< 5 %");
    figure("cpu-ducking-groups-ratio", shaped / plain, "x without", "about 1");
    Engine::Options o;
    o.output = Engine::Output::Dummy;
    Engine engine(o);
    const std::string clip = ws.mp3("restart", 5);
    for (int v = 0; v < 3; ++v)
        engine.load(v, engine.openClip(clip));
    engine.setDucking(1, Engine::Ducking{true, -12, 50, 500});
    engine.play(0);
    engine.play(1);
    // Restart of a pad while a ducking pad sounds; a group start that replaces a sounding
    // member (it starts behind the limiter's look-ahead, with the fade it replaces).
    std::vector<double> plainMs, duckedMs, groupMs;
    const double ahead = 1000.0 * engine.lookaheadFrames() / engine.sampleRate();
    for (int i = 0; i < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(7000 + (i * 397) % 5000));
        const int kind = i % 3;
        if (kind == 0) {
            engine.setDucking(1, Engine::Ducking{});
            engine.restart(0);
        } else if (kind == 1) {
            engine.setDucking(1, Engine::Ducking{true, -12, 50, 500});
            engine.restart(0);
        } else {
            engine.playReplacing(i % 2 ? 0 : 2, true, i % 2 ? 0b100u : 0b001u, 300);
        }
        // A few periods: the block that carries the start has left by then.
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
        const double ms = static_cast<double>(engine.lastStartLatencyNs()) / 1e6;
        (kind == 0   ? plainMs
         : kind == 1 ? duckedMs
                     : groupMs)
            .push_back(ms + (kind == 2 ? ahead : 0));
    }
    figure("key-to-sound-plain-median", median(plainMs), "ms", "<= 5.3 ms");
    figure("key-to-sound-ducking-ratio", median(duckedMs) / median(plainMs), "x plain", "about 1");
    figure("key-to-sound-group-start-ratio", median(groupMs) / median(plainMs), "x plain",
           "within the look-ahead");
}

// Renders `seconds` of the engine's output without a device, in 128-frame blocks.
std::vector<float> renderFor(Engine& engine, double seconds) {
    const long frames = static_cast<long>(seconds * engine.sampleRate());
    std::vector<float> out(static_cast<std::size_t>(frames * 2));
    for (long done = 0; done < frames; done += 128) {
        engine.render(out.data() + done * 2, static_cast<int>(std::min<long>(128, frames - done)));
        if (done % (64 * 128) == 0)
            engine.waitIdle(std::chrono::seconds(2));
    }
    return out;
}

Engine::Options manualOutput() {
    Engine::Options o;
    o.output = Engine::Output::None;
    return o;
}

void loopFigure(Workspace& ws) {
    // A 0.5 s tone of exactly 500 periods, looped for 10 s: the output must be the clip
    // repeated, sample for sample, at every loop point.
    const std::string clip = ws.wav("loop-tone", 0.5, 48000, "sine 1000 vol 0.5");
    const std::vector<float> src = decodeWhole(clip, 48000);
    Engine engine(manualOutput());
    engine.load(0, engine.openClip(clip));
    engine.waitIdle(std::chrono::seconds(2));
    engine.setLooping(0, true);
    engine.play(0);
    const std::vector<float> out = renderFor(engine, 10.0);
    long wrong = 0;
    for (std::size_t i = 0; i < out.size(); ++i)
        wrong += out[i] != src[i % src.size()];
    std::printf("# %zu loop points in 10 s; before: a 2 ms gap and a click at each (loop through "
                "the UI's end notice)\n",
                out.size() / src.size());
    figure("loop-gap-samples", static_cast<double>(wrong), "samples", "0, bit-exact repeats");
}

void limiterFigures(Workspace& ws) {
    {
        // Eight pads, each a full-scale tone, at volume 1000, pressed together.
        Engine engine(manualOutput());
        for (int v = 0; v < 8; ++v)
            engine.load(v, engine.openClip(ws.wav("full" + std::to_string(v), 3, 48000,
                                                  "sine " + std::to_string(110 * (v + 1)))));
        engine.waitIdle(std::chrono::seconds(2));
        for (int v = 0; v < 8; ++v)
            engine.play(v);
        const std::vector<float> out = renderFor(engine, 3.0);
        long clipped = 0;
        float peak = 0.0f;
        for (float s : out) {
            clipped += !(std::fabs(s) < 1.0f);
            peak = std::max(peak, std::fabs(s));
        }
        std::printf("# eight full-scale pads: peak %.4f (%.2f dBFS), limited %llu frames of %zu; "
                    "before: about 85,000 full-scale samples a second\n",
                    peak, 20.0 * std::log10(peak),
                    static_cast<unsigned long long>(engine.limitedFrames()), out.size() / 2);
        figure("clipped-samples-8-full-scale-pads", static_cast<double>(clipped), "samples", "0");
    }
    {
        // One pad at volume 1000 whose clip peaks at -1 dBFS (16 bits): it must pass untouched.
        const std::string clip = ws.wav("minus1", 3, 48000, "sine 100 sine 3000 gain -n -1");
        const std::vector<float> src = decodeWhole(clip, 48000);
        Engine engine(manualOutput());
        engine.load(0, engine.openClip(clip));
        engine.waitIdle(std::chrono::seconds(2));
        engine.play(0);
        const std::vector<float> out = renderFor(engine, 3.0);
        long changed = 0;
        for (std::size_t i = 0; i < src.size(); ++i)
            changed += out[i] != src[i];
        std::printf("# limiter: ceiling %.3f (%.2f dBFS), look-ahead %d frames (%.2f ms), heard "
                    "after stops, fades and volume changes only: a press starts in the next "
                    "block\n",
                    media::Limiter::kCeiling, 20.0 * std::log10(media::Limiter::kCeiling),
                    engine.lookaheadFrames(), 1000.0 * engine.lookaheadFrames() / 48000);
        figure("limiter-changed-samples-one-pad-at-minus-1-dBFS", static_cast<double>(changed),
               "samples", "0");
    }
    // A command taken in a 100 ms queue (4800 frames): the limiter derives the gain of the
    // queued frames again, in the audio callback. Timed against limiting the same frames as
    // they were mixed, with a sum over the ceiling and with one below it.
    for (const float level : {1.5f, 0.5f}) {
        const int block = 128, queue = 4800;
        media::Limiter limiter(48000, 1024, 16384);
        std::vector<float> out(2 * block), change(2 * queue), tone(48000);
        for (std::size_t i = 0; i < tone.size(); ++i)
            tone[i] = level * std::sin(0.01f * static_cast<float>(i));
        const auto mixBlock = [&](long b) {
            limiter.beginBlock(block);
            float* in = limiter.bus() + 2 * limiter.lookahead();
            for (int i = 0; i < block; ++i)
                in[2 * i] = in[2 * i + 1] = tone[static_cast<std::size_t>((b * block + i) % 48000)];
            limiter.process(out.data(), block);
        };
        long b = 0;
        for (; b < queue / block + 1; ++b)
            mixBlock(b);
        std::vector<double> mixed, again;
        for (int round = 0; round < 200; ++round) {
            auto t0 = Clock::now();
            for (int k = 0; k < queue / block; ++k)
                mixBlock(b++);
            mixed.push_back(msSince(t0));
            t0 = Clock::now();
            limiter.kept(limiter.frame() - queue)[0] *= 0.5f; // the command's change
            limiter.again(limiter.frame() - queue, change.data());
            again.push_back(msSince(t0));
        }
        const bool loud = level > media::Limiter::kCeiling;
        std::printf("# limiter, %s the ceiling: %d queued frames limited again in %.3f ms, "
                    "mixed through the limiter in %.3f ms (medians of 200)\n",
                    loud ? "over" : "below", queue, median(again), median(mixed));
        figure(loud ? "late-limiter-over-ceiling-ratio" : "late-limiter-below-ceiling-ratio",
               median(again) / median(mixed), "x limiting them as mixed", "about 1 or less");
    }
}

// --- figures through the main window ---------------------------------------------------------

// A data folder and a program folder in the workspace, HOME and XDG_DATA_HOME pointing there,
// and dialogs that answer themselves (no, cancel) and print errors.
struct WindowPlace {
    QString root;
    QString program;
    QString data;
    dialogs::Responder responder;

    explicit WindowPlace(const std::filesystem::path& dir) {
        root = QString::fromStdString(dir.string());
        program = root + "/program/";
        data = root + "/data/varnel/cuedeck";
        for (const char* f : {"program/sound", "program/image", "program/conf", "home", "tmp"})
            QDir().mkpath(root + "/" + f);
        for (const char* f : {"sound", "image", "conf", "temp"})
            QDir().mkpath(data + "/" + f);
        qputenv("HOME", QFile::encodeName(root + "/home"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(root + "/data"));
        qputenv("TMPDIR", QFile::encodeName(root + "/tmp"));
        responder.plainMessage = [](const QString&) {};
        responder.messageDlg = [](const QString&, dialogs::MsgKind, dialogs::Buttons) {
            return dialogs::mrNo;
        };
        responder.errorBox = [](const QString& text) {
            std::fprintf(stderr, "error box: %s\n", text.toUtf8().constData());
        };
        responder.inputQuery = [](const QString&, const QString&, const QString&) {
            return std::optional<QString>();
        };
        dialogs::setResponder(&responder);
    }
    ~WindowPlace() { dialogs::setResponder(nullptr); }

    // Writes set list `slot` with `files` on pads 1, 2, ...
    void setList(int slot, const std::vector<std::string>& files) const {
        QStringList lines{"[Version]=1.00"};
        const QString keys = QStringLiteral("QWERASDF");
        for (int n = 1; n <= 8; ++n) {
            const std::size_t i = static_cast<std::size_t>(n - 1);
            lines << QStringLiteral("[FILENAME%1]=%2")
                         .arg(n)
                         .arg(i < files.size() ? QString::fromStdString(files[i]) : QString())
                  << QStringLiteral("[PLAYBTN%1]=PAD%1(&%2)").arg(n).arg(keys[n - 1])
                  << QStringLiteral("[IMAGE%1]=").arg(n)
                  << QStringLiteral("[VOLUME%1]=1000").arg(n);
        }
        QFile f(data + QStringLiteral("/conf/setlist%1.cdk").arg(slot));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write((lines.join("\r\n") + "\r\n").toUtf8());
    }
};

// Keeps both cores busy while it lives.
struct Load {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    explicit Load(int n) {
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this] {
                volatile double x = 1.0;
                while (!stop.load(std::memory_order_relaxed))
                    for (int k = 0; k < 10000; ++k)
                        x = x * 1.0000001 + 1e-9;
            });
    }
    ~Load() {
        stop = true;
        for (std::thread& t : threads)
            t.join();
    }
};

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

// A main window on its own data folder and engine, whose set lists 2 and 3 hold eight long
// WAVs and eight long MP3s.
struct SwitchWindow {
    WindowPlace place;
    Engine engine;
    Tfcuedeck window;
    std::vector<double> wallMs, cpuMs, pressMs, steadyMs;
    int late = 0;

    // SDL's silent driver takes one output per process: the window that waits for heads
    // runs without one, and is not pressed.
    static Engine::Options options(bool headsOnOpen) {
        Engine::Options o;
        o.output = headsOnOpen ? Engine::Output::None : Engine::Output::Dummy;
        o.prepareOnOpen = headsOnOpen;
        return o;
    }
    SwitchWindow(const std::filesystem::path& dir, const std::vector<std::string>& wavs,
                 const std::vector<std::string>& mp3s, bool headsOnOpen)
        : place(prepare(dir, wavs, mp3s)), engine(options(headsOnOpen)),
          window(engine, place.program) {
        window.show();
    }
    static const std::filesystem::path& prepare(const std::filesystem::path& dir,
                                                const std::vector<std::string>& wavs,
                                                const std::vector<std::string>& mp3s) {
        WindowPlace p(dir); // the folders and set lists, before the window reads them
        p.setList(1, {});
        p.setList(2, wavs);
        p.setList(3, mp3s);
        return dir;
    }
    // Switches to `slot`; then, 100 ms later, presses pad 1 and notes how late it sounds.
    void switchTo(int slot) {
        QElapsedTimer t;
        const double c0 = threadCpuMs();
        t.start();
        window.setLists().setlist1Click(window.controls().setlist[slot - 1]);
        wallMs.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        cpuMs.push_back(threadCpuMs() - c0);
        if (slot == 1 || engine.output() == Engine::Output::None)
            return;
        QTest::qWait(100);
        window.board().pressPad(1);
        QTest::qWait(60);
        const double ms = static_cast<double>(engine.lastStartLatencyNs()) / 1e6;
        pressMs.push_back(ms);
        late += ms > 2.0 * 1000.0 * engine.periodFrames() / engine.sampleRate();
        window.board().player(1)->Stop();
        // The same press again, long after the switch: the machine's own latency, as a
        // baseline.
        QTest::qWait(300);
        window.board().pressPad(1);
        QTest::qWait(60);
        steadyMs.push_back(static_cast<double>(engine.lastStartLatencyNs()) / 1e6);
        window.board().player(1)->Stop();
    }
};

void slotSwitchFigures(Workspace& ws) {
    std::vector<std::string> wavs, mp3s;
    const std::string wav = ws.wav("slot-wav", 60);
    const std::string mp3 = ws.mp3("slot-mp3", 180);
    for (int i = 0; i < 8; ++i) {
        wavs.push_back((ws.dir / ("slot" + std::to_string(i) + ".wav")).string());
        std::filesystem::copy_file(wav, wavs.back());
        mp3s.push_back((ws.dir / ("slot" + std::to_string(i) + ".mp3")).string());
        std::filesystem::copy_file(mp3, mp3s.back());
    }
    // The same switches on two windows, taking turns: one whose engine converts each clip's
    // head while it opens it (as the window once waited for), one that prepares the heads on
    // the engine's pool.
    SwitchWindow before(ws.dir / "before", wavs, mp3s, true);
    SwitchWindow after(ws.dir / "after", wavs, mp3s, false);
    QTest::qWait(500);
    {
        Load load(2);
        const int order[] = {2, 3, 2, 3, 1, 3, 2, 3, 2, 1, 2, 3, 2, 3};
        for (int slot : order) {
            before.switchTo(slot);
            after.switchTo(slot);
        }
    }
    std::printf("# slot switches to eight 60 s WAVs or eight 3 min MP3s, both cores busy (and "
                "whatever else runs): heads on open: median %.1f ms, slowest %.1f ms, UI thread "
                "CPU %.1f ms; heads on the pool: median %.1f ms, slowest %.1f ms, UI thread CPU "
                "%.1f ms\n",
                median(before.wallMs), quantile(before.wallMs, 1.0), median(before.cpuMs),
                median(after.wallMs), quantile(after.wallMs, 1.0), median(after.cpuMs));
    figure("slot-switch-ui-time-under-load", median(after.wallMs), "ms", "< 16 ms");
    figure("slot-switch-ui-time-under-load-baseline-heads-on-open", median(before.wallMs), "ms",
           "baseline");
    figure("slot-switch-ratio", median(after.wallMs) / median(before.wallMs), "x baseline", "< 1");
    figure("slot-switch-ui-cpu-time", median(after.cpuMs), "ms", "< 16 ms");
    figure("press-100ms-after-switch-latency-max", quantile(after.pressMs, 1.0), "ms",
           "<= 2 periods, from the first sample");
    figure("press-100ms-after-switch-late", after.late, "presses", "0");
    figure("press-long-after-switch-latency-max", quantile(after.steadyMs, 1.0), "ms", "baseline");
}

// A press of a trimmed pad (its head kept from the in point) against one of an untrimmed pad,
// alternately on one engine; then presses right after the in point moved, before the pool
// has made the new head (the press makes it, or streams while the pool is at it).
void trimFigures(Workspace& ws) {
    Engine::Options o;
    o.output = Engine::Output::Dummy;
    Engine engine(o);
    const std::string clip = ws.mp3("trim", 5);
    const std::int64_t rate = engine.sampleRate();
    engine.load(0, engine.openClip(clip));
    engine.load(1, engine.openClip(clip, rate * 3 / 2));
    engine.setWindow(1, rate * 3 / 2, rate * 4);
    engine.waitIdle(std::chrono::seconds(10));
    auto press = [&](int voice) {
        engine.restart(voice);
        const auto t0 = Clock::now();
        while (msSince(t0) < 50 && engine.position(voice) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double ms = static_cast<double>(engine.lastStartLatencyNs()) / 1e6;
        engine.stop(voice);
        return ms;
    };
    std::vector<double> plain, trimmed, moved;
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(7000 + (i * 397) % 5000));
        (i % 2 ? trimmed : plain).push_back(press(i % 2));
    }
    for (int i = 0; i < 40; ++i) {
        engine.setWindow(1, rate * (1 + i % 3) + i, 0);
        moved.push_back(press(1));
        engine.waitIdle(std::chrono::seconds(10));
    }
    figure("press-untrimmed-latency-median", median(plain), "ms", "baseline");
    figure("press-untrimmed-latency-max", quantile(plain, 1.0), "ms", "baseline");
    figure("press-trimmed-latency-median", median(trimmed), "ms", "as untrimmed");
    figure("press-trimmed-latency-max", quantile(trimmed, 1.0), "ms", "<= 5.3 ms");
    figure("press-trimmed-ratio", median(trimmed) / median(plain), "x untrimmed", "<= 1.1");
    figure("press-right-after-moving-in-point-latency-median", median(moved), "ms", "as untrimmed");
}

// One fresh window: its first key press and the ones after it, through the pad's shortcut.
// Prints "press <key to handler ms> <play to output block ms>" for each.
int firstPressChild() {
    Workspace ws;
    WindowPlace place(ws.dir);
    place.setList(1, {ws.wav("blip", 0.3, 48000, "sine 1000 vol 0.5")});
    Engine::Options o;
    o.output = Engine::Output::Dummy;
    Engine engine(o);
    Tfcuedeck window(engine, place.program);
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return 1;
    QTest::qWait(800); // the set list is loaded, the window drawn
    for (int i = 0; i < 16; ++i) {
        const auto t0 = Clock::now();
        QTest::keyClick(&window, Qt::Key_Q);
        const double handler = msSince(t0);
        QTest::qWait(40 + (i * 37) % 50);
        std::printf("press %.4f %.4f\n", handler,
                    static_cast<double>(engine.lastStartLatencyNs()) / 1e6);
    }
    return 0;
}

void firstPressFigures(const char* self) {
    std::vector<double> firstHandler, laterHandler, firstTotal, laterTotal;
    for (int run = 0; run < 7; ++run) {
        QProcess child;
        child.start(QString::fromLocal8Bit(self), {"--first-press-child"});
        if (!child.waitForFinished(60000) || child.exitCode() != 0) {
            std::printf("# first-press run %d failed\n", run);
            continue;
        }
        const QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split('\n');
        int n = 0;
        for (const QString& line : lines) {
            const QStringList f = line.split(' ');
            if (f.size() != 3 || f[0] != "press")
                continue;
            const double handler = f[1].toDouble();
            const double total = handler + f[2].toDouble();
            (n == 0 ? firstHandler : laterHandler).push_back(handler);
            (n == 0 ? firstTotal : laterTotal).push_back(total);
            ++n;
        }
    }
    std::printf("# %zu fresh windows on the offscreen platform and SDL's dummy driver: key press "
                "through the pad's shortcut to the start of the output block that carries the "
                "clip's first sample\n",
                firstTotal.size());
    figure("first-press-key-to-handler-median", median(firstHandler), "ms", "as later presses");
    figure("later-press-key-to-handler-median", median(laterHandler), "ms", "baseline");
    figure("first-press-key-to-block-median", median(firstTotal), "ms", "as later presses");
    figure("later-press-key-to-block-median", median(laterTotal), "ms", "baseline");
    figure("first-press-ratio", median(firstTotal) / median(laterTotal), "x later presses",
           "<= 1.5");
}

int soak(Workspace& ws, int seconds) {
    const std::string clip = ws.mp3("soak", 4);
    Engine::Options o;
    o.output = Engine::Output::Device;
    Engine engine(o);
    std::printf("# soak on driver %s, %d Hz, %d frames per period%s\n", engine.driverName().c_str(),
                engine.sampleRate(), engine.periodFrames(),
                engine.fellBackToDummy() ? " (no sound device: dummy driver)" : "");
    const auto t0 = Clock::now();
    auto lastReopen = Clock::now();
    int reopens = 0;
    for (int v = 0; v < 8; ++v) {
        engine.load(v, engine.openClip(clip));
        engine.play(v);
    }
    std::vector<double> openMs;
    while (msSince(t0) < seconds * 1000.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (int v = 0; v < 8; ++v)
            if (!engine.isPlaying(v)) {
                engine.seek(v, 0);
                engine.play(v);
            }
        if (msSince(lastReopen) > 3000) {
            lastReopen = Clock::now();
            auto t = Clock::now();
            for (int v = 0; v < 8; ++v) {
                engine.load(v, engine.openClip(clip));
                engine.play(v);
            }
            openMs.push_back(msSince(t));
            ++reopens;
        }
    }
    std::printf("# %d re-opens of all eight clips: median %.1f ms, slowest %.1f ms\n", reopens,
                median(openMs), quantile(openMs, 1.0));
    figure("soak-underruns", static_cast<double>(engine.underruns()), "underruns", "0");
    figure("soak-late-callbacks", static_cast<double>(engine.lateCallbacks()), "callbacks", "0");
    return engine.underruns() == 0 ? 0 : 1;
}

} // namespace

// servers.cpp
int serverFigures(const std::string& folder, int soakSeconds);
// analysis.cpp
int analysisFigures(const std::string& folder);
int overviewFigures(const std::string& folder); // the overview and editor figures alone

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc >= 2 && std::strcmp(argv[1], "--first-press-child") == 0) {
        QApplication app(argc, argv);
        return firstPressChild();
    }
    Workspace ws;
    if (argc >= 2 && std::strcmp(argv[1], "--soak") == 0)
        return soak(ws, argc >= 3 ? std::atoi(argv[2]) : 60);
    // "--servers [N]": through the sound server that runs, with an N second soak.
    if (argc >= 2 && std::strcmp(argv[1], "--servers") == 0)
        return serverFigures(ws.dir.string(), argc >= 3 ? std::atoi(argv[2]) : 0);
    // "--only a,b": just those parts (memory, latency, open, cpu, interplay, loop, limiter,
    // slot, first-press, analysis, trim, soak; "overview" is the overview part of analysis;
    // "open-length" only when named).
    const std::string only = argc >= 3 && std::strcmp(argv[1], "--only") == 0 ? argv[2] : "";
    auto part = [&only](const std::string& name) {
        return only.empty() || ("," + only + ",").find("," + name + ",") != std::string::npos;
    };
    if (part("memory"))
        memoryFigure(ws); // first, before other figures leave freed memory in the heap
    if (part("latency"))
        latencyFigure(ws);
    if (part("open"))
        openFigures(ws);
    if (!only.empty() && part("open-length")) // minutes of encoding: only when asked for
        openLengthFigures(ws);
    if (part("cpu"))
        cpuFigure(ws);
    if (part("interplay"))
        interplayFigures(ws);
    if (part("loop"))
        loopFigure(ws);
    if (part("limiter"))
        limiterFigures(ws);
    if (part("slot")) {
        QApplication app(argc, argv);
        slotSwitchFigures(ws);
    }
    if (part("first-press"))
        firstPressFigures(argv[0]);
    if (part("analysis")) {
        QApplication app(argc, argv);
        analysisFigures(ws.dir.string());
    } else if (part("overview")) {
        QApplication app(argc, argv);
        overviewFigures(ws.dir.string());
    }
    if (part("trim"))
        trimFigures(ws);
    if (part("soak"))
        soak(ws, 10);
    return 0;
}
