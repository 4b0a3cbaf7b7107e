// Performance figures of the audio engine. Each figure is one line:
//   figure-name: value unit (target: ...)
// Inputs are generated at run time with sox and lame in a temporary folder.

#include "clip.h"
#include "engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
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
    // A stereo 44.1 kHz MP3 of `seconds` (a chord that changes, so that it is not trivial to
    // encode or decode).
    std::string mp3(const std::string& name, int seconds) {
        const std::string wav = (dir / (name + ".wav")).string();
        const std::string out = (dir / (name + ".mp3")).string();
        const std::string cmd =
            "sox -n -r 44100 -c 2 -b 16 '" + wav + "' synth " + std::to_string(seconds) +
            " sine 220-880 sine 330 vol 0.4 2>/dev/null && lame --quiet -b 192 '" + wav + "' '" +
            out + "' && rm -f '" + wav + "'";
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

void openFigures(Workspace& ws) {
    const std::string clip = ws.mp3("three-minutes", 180);
    std::vector<std::string> copies;
    for (int i = 0; i < 8; ++i) {
        const std::string p = (ws.dir / ("copy" + std::to_string(i) + ".mp3")).string();
        std::filesystem::copy_file(clip, p);
        copies.push_back(p);
    }
    (void)decodeWhole(clip, 48000); // warm the page cache for both measurements

    std::vector<double> opens;
    for (int i = 0; i < 15; ++i) {
        auto t0 = Clock::now();
        auto c = media::Clip::open(clip, 48000);
        opens.push_back(msSince(t0));
    }
    std::vector<double> baseline;
    for (int i = 0; i < 3; ++i) {
        auto t0 = Clock::now();
        auto all = decodeWhole(clip, 48000);
        baseline.push_back(msSince(t0));
    }
    const double open = median(opens), base = median(baseline);
    figure("open-3min-mp3", open, "ms", "< 10 ms");
    figure("open-3min-mp3-baseline-whole-decode", base, "ms", "baseline");
    figure("open-3min-mp3-ratio", open / base, "x baseline", "< 1");

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
        // Restart as the pad's play button does it: stop, rewind, play.
        engine.stop(0);
        engine.seek(0, 0);
        engine.play(0);
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

void cpuFigure(Workspace& ws) {
    const std::string clip = ws.mp3("loop", 7);
    Engine::Options o;
    o.output = Engine::Output::None;
    Engine engine(o);
    for (int v = 0; v < 8; ++v)
        engine.load(v, engine.openClip(clip));
    for (int v = 0; v < 8; ++v)
        engine.play(v);
    engine.waitIdle(std::chrono::seconds(2));
    const int seconds = 30;
    const long blocks = static_cast<long>(seconds) * engine.sampleRate() / 128;
    std::vector<float> out(128 * 2);
    const double c0 = cpuSeconds();
    const auto t0 = Clock::now();
    int loops = 0;
    for (long b = 0; b < blocks; ++b) {
        engine.render(out.data(), 128);
        for (int v = 0; v < 8; ++v)
            if (!engine.isPlaying(v)) { // looping as the pad board does it
                engine.seek(v, 0);
                engine.play(v);
                ++loops;
            }
        if (b % 64 == 63)
            engine.waitIdle(std::chrono::seconds(2)); // stay within the worker's reach
    }
    const double cpu = cpuSeconds() - c0;
    std::printf("# %d s of audio rendered in %.0f ms, %d restarts at the end, %llu underruns\n",
                seconds, msSince(t0), loops, static_cast<unsigned long long>(engine.underruns()));
    figure("cpu-8-looping-mp3-voices", 100.0 * cpu / seconds, "% of one core", "< 5 %");
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

int main(int argc, char** argv) {
    Workspace ws;
    if (argc >= 2 && std::strcmp(argv[1], "--soak") == 0)
        return soak(ws, argc >= 3 ? std::atoi(argv[2]) : 60);
    memoryFigure(ws); // first, before other figures leave freed memory in the heap
    latencyFigure(ws);
    openFigures(ws);
    cpuFigure(ws);
    return 0;
}
