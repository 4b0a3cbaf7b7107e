// Figures of clip analysis: the loudness of a 3-minute MP3 and a 3-minute AAC against decoding
// them alone, the waveform overview of a 10-minute clip through the analyser, with the
// longest time the UI thread went without its events meanwhile, the clip editor's opening
// for that clip, and the background pass over a clip put on a pad.

#include "clip.h"
#include "clipanalyser.h"
#include "clipanalysis.h"
#include "clipeditor.h"
#include "encode_support.h"
#include "engine.h"
#include "padboard.h"
#include "waveformview.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
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

// The longest a 1 ms timer on the UI thread waited beyond its interval while `work` ran in
// its event loop (`work` quits the loop through the function it gets).
template <typename Work> double longestUiGap(Work work) {
    QTimer tick;
    tick.setInterval(1);
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer sinceTick;
    double longest = 0.0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.nsecsElapsed() / 1e6 - 1.0);
        sinceTick.restart();
    });
    QEventLoop loop;
    tick.start();
    sinceTick.start();
    work([&] { loop.quit(); });
    loop.exec();
    return std::max(0.0, longest);
}

struct OverviewRun {
    double totalMs = 0.0;
    double firstPartialMs = -1.0; // the first progressive result; -1: none came
    double requestMs = 0.0;       // of the request itself, on the UI thread
    double longestGapMs = 0.0;
    int partials = 0;
};

OverviewRun overviewThrough(ClipAnalyser& analyser, const QString& file) {
    OverviewRun run;
    Clock::time_point t0;
    QObject ctx;
    QObject::connect(&analyser, &ClipAnalyser::overviewProgress, &ctx, [&] {
        if (run.partials++ == 0)
            run.firstPartialMs = msSince(t0);
    });
    run.longestGapMs = longestUiGap([&](auto quit) {
        QObject::connect(&analyser, &ClipAnalyser::overviewReady, &ctx, quit);
        QObject::connect(&analyser, &ClipAnalyser::failed, &ctx, quit);
        t0 = Clock::now();
        analyser.requestOverview(file, 1600);
        run.requestMs = msSince(t0);
    });
    run.totalMs = msSince(t0);
    return run;
}

// The overview of a 10-minute clip in 1600 columns: the first time (decoded, drawn as it
// comes) and in a later session (a new analyser, the peaks read from the peak folder), with
// the longest the UI thread went without its events meanwhile against the same timer with
// nothing else to do.
void overviewFigure(const char* name, const std::string& path, const std::string& folder) {
    const QString file = QString::fromStdString(path);
    const QString peaks = QString::fromStdString(folder + "/peaks-" + name);
    OverviewRun cold, warm;
    {
        ClipAnalyser analyser;
        analyser.setPeakFolder(peaks);
        cold = overviewThrough(analyser, file);
    }
    {
        ClipAnalyser analyser;
        analyser.setPeakFolder(peaks);
        warm = overviewThrough(analyser, file);
    }
    const double idle = longestUiGap([](auto quit) { QTimer::singleShot(1000, quit); });
    std::printf("# overview in 1600 columns: first time %d partial results, the first after "
                "%.1f ms; later %d\n",
                cold.partials, cold.firstPartialMs, warm.partials);
    const std::string base = std::string("overview-10min-") + name;
    figure(base.c_str(), warm.totalMs, "ms", "< 300 ms off the UI thread");
    figure((base + "-first-time").c_str(), cold.totalMs, "ms", "as decoding, drawn as it comes");
    figure((base + "-baseline-decode").c_str(), decodeMs(path), "ms", "baseline");
    figure((base + "-request-on-ui-thread").c_str(), std::max(cold.requestMs, warm.requestMs), "ms",
           "< 1 ms");
    figure((base + "-longest-ui-gap").c_str(), warm.longestGapMs, "ms", "< 16 ms");
    figure((base + "-first-time-longest-ui-gap").c_str(), cold.longestGapMs, "ms", "< 16 ms");
    figure((base + "-idle-longest-ui-gap").c_str(), idle, "ms", "baseline");
}

// The clip editor of a pad with a 10-minute clip: from the menu's request to its first
// paint (target < 100 ms), and until its waveform shows, the first time and when the peaks
// are known, in this session or from the peak folder in a later one. The first opening in a
// process is its own figure: it builds and polishes the dialog's kinds of widget.
void editorFigure(const std::string& path, const std::string& folder) {
    const QString data = QString::fromStdString(folder + "/editor-data");
    QDir().mkpath(data + "/sound");
    QDir().mkpath(data + "/conf");
    media::Engine engine(media::Engine::Options{media::Engine::Output::Dummy});
    QWidget window;
    window.resize(1280, 720);
    // As in the program, the board's window has drawn Japanese text before an editor opens
    // (the first text of a script in a process loads its fonts, some 50 ms here).
    QLabel label(QStringLiteral("セットリスト ファイル保存 設定…"), &window);
    window.show();
    QCoreApplication::processEvents();
    // A new board is a later session: its analyser knows nothing but the peak folder.
    std::unique_ptr<PadBoard> board;
    auto newBoard = [&] {
        board.reset();
        board = std::make_unique<PadBoard>(engine, &window);
        board->setDataFolder(data);
        board->analyser().setPeakFolder(QString::fromStdString(folder + "/editor-peaks"));
        board->openClip(1, QString::fromStdString(path));
    };
    newBoard();

    struct Opening {
        double paintedMs = -1.0;
        double waveformMs = -1.0;
    };
    // `whole`: until the whole waveform has come, not only its first part.
    auto open = [&](bool whole) {
        Opening o;
        bool complete = false;
        const auto t0 = Clock::now();
        QEventLoop loop;
        board->openClipEditor(1);
        ClipEditor* editor = board->clipEditor();
        if (!editor)
            return o;
        // Painted: the first paint of the waveform has run.
        struct PaintWatch : QObject {
            std::function<void()> painted;
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::Paint && painted)
                    QTimer::singleShot(0, this, std::exchange(painted, nullptr));
                return false;
            }
        } watch;
        watch.painted = [&] { o.paintedMs = msSince(t0); };
        editor->waveform()->installEventFilter(&watch);
        QObject::connect(&board->analyser(), &ClipAnalyser::overviewReady, &watch,
                         [&] { complete = true; });
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (o.waveformMs < 0 && editor->waveform()->columnsShown() > 0)
                o.waveformMs = msSince(t0);
            if (o.paintedMs >= 0 && o.waveformMs >= 0 && (complete || !whole))
                loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
        editor->waveform()->removeEventFilter(&watch);
        editor->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return o;
    };
    const Opening first = open(true); // the first time: fonts, and the clip decoded
    std::vector<double> painted, waveform;
    for (int i = 0; i < 5; ++i) {
        const Opening o = open(false);
        painted.push_back(o.paintedMs);
        waveform.push_back(o.waveformMs);
    }
    newBoard();
    const Opening later = open(true);
    figure("editor-open-10min-first-in-process", first.paintedMs, "ms", "< 100 ms");
    figure("editor-open-10min-median", median(painted), "ms", "< 100 ms");
    figure("editor-open-10min-max", *std::max_element(painted.begin(), painted.end()), "ms",
           "< 100 ms");
    figure("editor-waveform-10min-first-time", first.waveformMs, "ms", "progressive, as decoding");
    figure("editor-waveform-10min-known-median", median(waveform), "ms", "< 100 ms");
    figure("editor-waveform-10min-later-session", later.waveformMs, "ms", "< 100 ms");
}

// A 10-minute clip put on a pad of a new board, as a set list or the file dialog puts it: the
// pass that measures its peaks and loudness in the background, by the clock and by processor
// time against decoding alone (in turns, three times each), with the longest the UI thread
// went without its events meanwhile (the pass runs at the analysis threads' lower priority);
// then the clip editor opened once the pass is done, until
// its whole waveform shows.
void preparedFigure(const std::string& path, const std::string& folder) {
    const QString data = QString::fromStdString(folder + "/prepared-data");
    QDir().mkpath(data + "/sound");
    QDir().mkpath(data + "/conf");
    media::Engine engine(media::Engine::Options{media::Engine::Output::Dummy});
    QWidget window;
    window.resize(1280, 720);
    window.show();
    QCoreApplication::processEvents();
    std::vector<double> passWall, passCpu, decodeWall, decodeCpu, gaps, shown;
    for (int run = 0; run < 3; ++run) {
        const Spent decode = spent([&] { decodeAlone(path); });
        decodeWall.push_back(decode.wallMs);
        decodeCpu.push_back(decode.cpuMs);
        PadBoard board(engine, &window);
        board.setDataFolder(data);
        const QString peaks =
            QString::fromStdString(folder + "/prepared-peaks-") + QString::number(run);
        board.analyser().setPeakFolder(peaks);
        double gap = 0.0;
        const Spent pass = spent([&] {
            // The pad's own opening (its head decoded at once) is the open figure's.
            board.openClip(1, QString::fromStdString(path));
            gap = longestUiGap([&](auto quit) {
                auto* poll = new QTimer(&window);
                QObject::connect(poll, &QTimer::timeout, [&board, poll, quit] {
                    if (!board.analyser().busy()) {
                        poll->deleteLater();
                        quit();
                    }
                });
                poll->start(1);
            });
        });
        passWall.push_back(pass.wallMs);
        passCpu.push_back(pass.cpuMs);
        gaps.push_back(gap);

        const auto t0 = Clock::now();
        board.openClipEditor(1);
        ClipEditor* editor = board.clipEditor();
        if (!editor)
            return;
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (editor->waveform()->columnsShown() >= editor->waveform()->width())
                loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
        shown.push_back(msSince(t0));
        editor->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    figure("prepared-editor-waveform-10min-mp3", median(shown), "ms", "< 300 ms off the UI thread");
    figure("prepared-pass-10min-mp3", median(passWall), "ms", "as decoding, in the background");
    figure("prepared-pass-baseline-decode", median(decodeWall), "ms", "baseline");
    figure("prepared-pass-ratio", median(passWall) / median(decodeWall), "x baseline", "<= 1.3");
    figure("prepared-pass-cpu", median(passCpu), "ms", "as decoding");
    figure("prepared-pass-baseline-decode-cpu", median(decodeCpu), "ms", "baseline");
    figure("prepared-pass-ratio-cpu", median(passCpu) / median(decodeCpu), "x baseline", "<= 1.3");
    figure("prepared-pass-longest-ui-gap", *std::max_element(gaps.begin(), gaps.end()), "ms",
           "< 16 ms");
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

int overviewFigures(const std::string& folder) {
    overviewFigure("wav", wav(folder, 600), folder);
    const std::string ten = mp3(folder, "ten", 600);
    overviewFigure("mp3", ten, folder);
    editorFigure(ten, folder);
    preparedFigure(ten, folder);
    return 0;
}

int analysisFigures(const std::string& folder) {
    loudnessAgainstDecoding("mp3", mp3(folder, "three", 180));
    loudnessAgainstDecoding("aac", aac(folder, 180));
    return overviewFigures(folder);
}
