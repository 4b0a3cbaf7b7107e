// The cost of the playing display: UI-thread CPU time while eight pads play, against the same
// board with nothing playing, both measured in this run. Each figure is one line:
//   figure-name: value unit (target: ...)
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise; the engine runs on
// SDL's silent real-time driver, so the published positions move as with a sound card.

#include "clipplayer.h"
#include "engine.h"
#include "padboard.h"
#include "theme.h"
#include "wav_support.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void figure(const char* name, double value, const char* unit, const char* target) {
    std::printf("%s: %.3f %s (target: %s)\n", name, value, unit, target);
    std::fflush(stdout);
}

// UI-thread CPU time, in per cent of one core, while the event loop runs for `ms`.
double uiThreadLoad(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    const double c0 = threadCpuSeconds();
    loop.exec();
    return 100.0 * (threadCpuSeconds() - c0) / (ms / 1000.0);
}

// UI-thread load while all eight pads play clips of `clipSeconds`, measured for `ms` from
// their start; the number of display refreshes a second through `refreshRate`.
double playingLoad(PadBoard& board, const QString& folder, int clipSeconds, int ms,
                   double* refreshRate) {
    for (int n = 1; n <= PadBoard::kPads; ++n) {
        const QString clip = folder + QStringLiteral("/pad%1-%2s.wav").arg(n).arg(clipSeconds);
        if (!writeSineWav(clip, 1000 * clipSeconds, 6000)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(clip));
            std::exit(1);
        }
        board.openClip(n, clip);
    }
    uiThreadLoad(300);
    int refreshes = 0;
    const auto counter =
        QObject::connect(board.displayTimer(), &QTimer::timeout, [&] { ++refreshes; });
    for (int n = 1; n <= PadBoard::kPads; ++n)
        board.pressPad(n);
    const double load = uiThreadLoad(ms);
    QObject::disconnect(counter);
    int sounding = 0;
    for (int n = 1; n <= PadBoard::kPads; ++n)
        sounding += board.player(n)->Mode() == mpPlaying;
    if (sounding != PadBoard::kPads) {
        std::fprintf(stderr, "only %d pads sounded to the end of the measurement\n", sounding);
        std::exit(1);
    }
    board.stopAll();
    *refreshRate = refreshes * 1000.0 / ms;
    return load;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    applyGlowTheme(app);
    QTemporaryDir dir;
    media::Engine engine(media::Engine::Options{media::Engine::Output::Dummy});

    QWidget window;
    window.resize(1747, 880);
    PadBoard board(engine, &window);
    window.show();
    uiThreadLoad(500); // shown, polished, first paint done

    const double idle = uiThreadLoad(10000);
    double rate = 0;
    // Minutes and seconds: the clock changes once a second, the progress line a few times.
    const double longClips = playingLoad(board, dir.path(), 40, 10000, &rate);
    std::printf("# eight 40 s clips: %.1f display refreshes a second\n", rate);
    // The last ten seconds: tenths, the highlight, the line moving faster. (SDL's silent
    // driver may run a quarter faster than the wall clock: 6 s stay inside the clips.)
    const double shortClips = playingLoad(board, dir.path(), 10, 6000, &rate);
    std::printf("# eight 10 s clips: %.1f display refreshes a second\n", rate);

    figure("view-ui-thread-idle-baseline", idle, "% of one core", "baseline");
    figure("view-playing-display-8-pads", longClips - idle, "% of one core", "< 1 %");
    figure("view-playing-display-8-pads-last-10-s", shortClips - idle, "% of one core", "< 1 %");
    return 0;
}
