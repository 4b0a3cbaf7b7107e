// Figures of clip analysis: the loudness of a 3-minute MP3 and a 3-minute AAC against decoding
// them alone, and the waveform overview of a 10-minute clip through the analyser, with the
// longest time the UI thread went without its events meanwhile.

#include "clip.h"
#include "clipanalyser.h"
#include "clipanalysis.h"
#include "encode_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void figure(const char* name, double value, const char* unit, const char* target) {
    std::printf("%s: %.3f %s (target: %s)\n", name, value, unit, target);
    std::fflush(stdout);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// A 44.1 kHz stereo MP3 of `seconds` (sox and lame).
std::string mp3(const std::string& folder, const std::string& name, int seconds) {
    const std::string wav = folder + "/" + name + ".wav", out = folder + "/" + name + ".mp3";
    const std::string cmd = "sox -n -r 44100 -c 2 -b 16 '" + wav + "' synth " +
                            std::to_string(seconds) +
                            " sine 220-880 sine 330 vol 0.4 2>/dev/null && lame --quiet -b 192 '" +
                            wav + "' '" + out + "' && rm -f '" + wav + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate %s (sox and lame needed)\n", out.c_str());
        std::exit(1);
    }
    return out;
}

// A 44.1 kHz stereo AAC .m4a of `seconds`: a chord that moves, as the MP3.
std::string aac(const std::string& folder, int seconds) {
    const int rate = 44100;
    std::vector<float> samples(static_cast<std::size_t>(seconds) * rate * 2);
    double phase = 0.0;
    for (std::size_t i = 0; i < samples.size() / 2; ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += 2 * M_PI * (220.0 + 660.0 * t / seconds) / rate;
        const float s =
            static_cast<float>(0.2 * std::sin(phase) + 0.2 * std::sin(2 * M_PI * 330 * t));
        samples[2 * i] = s;
        samples[2 * i + 1] = s;
    }
    const std::string out = folder + "/aac.m4a";
    testsupport::encodeClip(out, "ipod", "aac", rate, 2, samples);
    return out;
}

// Wall-clock and processor time (all threads of the process) spent in `work`, in ms.
struct Spent {
    double wallMs = 0.0;
    double cpuMs = 0.0;
};
template <typename Work> Spent spent(Work&& work) {
    auto cpuNow = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    const auto t0 = Clock::now();
    const double c0 = cpuNow();
    work();
    return {msSince(t0), cpuNow() - c0};
}

// Decodes the whole clip at its own rate, as the analysis reads it, without measuring.
void decodeAlone(const std::string& path) {
    auto probe = media::Clip::openDeferred(path, 48000);
    auto clip =
        probe->sourceRate() == 48000 ? probe : media::Clip::openDeferred(path, probe->sourceRate());
    std::vector<float> buf(4096 * 2);
    clip->seek(0);
    while (clip->read(buf.data(), 4096) > 0) {
    }
}

double decodeMs(const std::string& path) {
    return spent([&] { decodeAlone(path); }).wallMs;
}

// The analysis against decoding alone, run in turns, five times each: the medians, by the
// clock and by processor time. Processor time counts the work whatever else the machine is
// doing; the clock counts what a user waits.
void loudnessAgainstDecoding(const char* name, const std::string& path) {
    std::vector<double> decodeWall, decodeCpu, measureWall, measureCpu;
    for (int run = 0; run < 5; ++run) {
        const Spent decode = spent([&] { decodeAlone(path); });
        decodeWall.push_back(decode.wallMs);
        decodeCpu.push_back(decode.cpuMs);
        std::optional<media::LoudnessFigures> figures;
        const Spent measure = spent([&] { figures = media::measureLoudness(path); });
        measureWall.push_back(measure.wallMs);
        measureCpu.push_back(measure.cpuMs);
        if (run == 0 && figures)
            std::printf("# %s: %.2f LUFS, true peak %.2f dBTP, %lld ms\n", name,
                        figures->integratedLufs, figures->truePeakDbtp,
                        static_cast<long long>(figures->lengthMs));
    }
    const std::string base = std::string("r128-3min-") + name;
    figure((base + "-analysis").c_str(), median(measureWall), "ms", "as decoding");
    figure((base + "-baseline-decode").c_str(), median(decodeWall), "ms", "baseline");
    figure((base + "-ratio").c_str(), median(measureWall) / median(decodeWall), "x baseline",
           "<= 1.3");
    figure((base + "-analysis-cpu").c_str(), median(measureCpu), "ms", "as decoding");
    figure((base + "-baseline-decode-cpu").c_str(), median(decodeCpu), "ms", "baseline");
    figure((base + "-ratio-cpu").c_str(), median(measureCpu) / median(decodeCpu), "x baseline",
           "<= 1.3");
}

void overviewFigure(const char* name, const std::string& path) {
    ClipAnalyser analyser;
    const QString file = QString::fromStdString(path);
    // A tick every millisecond on the UI thread: the longest gap between two is the longest
    // time the window could not have answered.
    QTimer tick;
    tick.setInterval(1);
    QElapsedTimer sinceTick;
    double longestGap = 0.0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
    });
    QEventLoop loop;
    int partials = 0;
    QObject::connect(&analyser, &ClipAnalyser::overviewProgress, [&] { ++partials; });
    QObject::connect(&analyser, &ClipAnalyser::overviewReady, &loop, &QEventLoop::quit);
    QObject::connect(&analyser, &ClipAnalyser::failed, &loop, &QEventLoop::quit);
    const auto t0 = Clock::now();
    double firstUi = 0.0;
    tick.start();
    sinceTick.start();
    analyser.requestOverview(file, 1600);
    firstUi = msSince(t0);
    loop.exec();
    const double total = msSince(t0);
    tick.stop();
    std::printf("# overview in 1600 columns, %d partial results on the way\n", partials);
    const std::string base = std::string("overview-10min-") + name;
    figure(base.c_str(), total, "ms", "< 300 ms off the UI thread");
    figure((base + "-baseline-decode").c_str(), decodeMs(path), "ms", "baseline");
    figure((base + "-request-on-ui-thread").c_str(), firstUi, "ms", "< 1 ms");
    figure((base + "-longest-ui-gap").c_str(), longestGap, "ms", "< 16 ms");
}

// A 44.1 kHz stereo 16-bit WAV of `seconds` (sox).
std::string wav(const std::string& folder, int seconds) {
    const std::string out = folder + "/ten.wav";
    const std::string cmd = "sox -n -r 44100 -c 2 -b 16 '" + out + "' synth " +
                            std::to_string(seconds) + " sine 220-880 sine 330 vol 0.4 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate %s (sox needed)\n", out.c_str());
        std::exit(1);
    }
    return out;
}

} // namespace

int analysisFigures(const std::string& folder) {
    loudnessAgainstDecoding("mp3", mp3(folder, "three", 180));
    loudnessAgainstDecoding("aac", aac(folder, 180));
    overviewFigure("wav", wav(folder, 600));
    overviewFigure("mp3", mp3(folder, "ten", 600));
    return 0;
}
