// The crash journal's cost to the UI thread: a volume slider dragged over the pads for 10 s
// (a change every few milliseconds), with the journal running and, as the baseline of the
// same run, without it. Each figure is one line:
//   figure-name: value unit (target: ...)
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise, on an engine without
// a device.

#include "boardjournal.h"
#include "engine.h"
#include "padmodel.h"
#include "setlistslots.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) * 1e-6;
}

void figure(const char* name, double value, const char* unit, const char* target) {
    std::printf("%s: %.3f %s (target: %s)\n", name, value, unit, target);
    std::fflush(stdout);
}

struct Storm {
    double cpuMs = 0;    // UI-thread CPU time over the whole storm
    double medianUs = 0; // one change, its signals and what they start
    double worstUs = 0;  // the slowest change
    int changes = 0;
};

// Moves the pads' volumes every 4 ms for `ms`, handling events in between as the UI does.
Storm storm(PadModel& model, int ms) {
    std::vector<double> costs;
    QElapsedTimer wall;
    wall.start();
    const double c0 = threadCpuMs();
    for (int i = 0; wall.elapsed() < ms; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        model.setVolume(1 + i % PadModel::kPads, i % 1001);
        costs.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    Storm s;
    s.cpuMs = threadCpuMs() - c0;
    s.changes = static_cast<int>(costs.size());
    std::sort(costs.begin(), costs.end());
    s.medianUs = costs[costs.size() / 2];
    s.worstUs = costs.back();
    return s;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    QDir().mkpath(dir.path() + "/conf");
    media::Engine engine(media::Engine::Options{media::Engine::Output::None, 48000, 128});
    PadModel model(engine);
    SetListSlots setLists(model, nullptr, dir.path(), nullptr, nullptr);
    setLists.FormShow();

    const Storm baseline = storm(model, 10000);
    BoardJournal journal(model, setLists, dir.path());
    journal.start();
    const Storm journaled = storm(model, 10000);
    journal.waitUntilWritten(5000);
    std::printf("# %d and %d changes in 10 s\n", baseline.changes, journaled.changes);

    figure("journal-change-median-baseline", baseline.medianUs, "us", "baseline");
    figure("journal-change-median", journaled.medianUs, "us", "< 50 us");
    figure("journal-change-worst", journaled.worstUs, "us", "< 16000 us (a frame)");
    figure("journal-ui-thread-extra-per-change",
           (journaled.cpuMs - baseline.cpuMs) * 1e3 / std::max(1, journaled.changes), "us",
           "< 50 us");
    figure("journal-writes-in-10-s-storm", journal.writes(), "writes", "<= 11");
    return 0;
}
