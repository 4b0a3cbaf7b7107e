// How much later a MIDI note plays a pad than the pad's key, measured the same way for both:
// from the moment the message leaves its sender to the moment the pad's play button is
// clicked. From that click on both take the same path (the button's handler, the clip player,
// the engine's command queue and the next output block), so the difference up to it is the
// difference in sound.
//
//   key:  an X key press sent through XTest to the X server; the X server, Qt's event reader
//         and the window's shortcut bring it to the button.
//   MIDI: a Note On written by another JACK client in its process callback; JACK hands it to
//         the program's "cuedeck" input in the same cycle, and the command inbox to the UI.
//
// Run by hand: starts its own Xvfb and JACK server (dummy driver), a real main window with a
// clip on pad 1, then alternates key and note presses and prints the medians.
//   cuedeck_remote_latency [rounds]

#include "cuedeck.h"
#include "engine.h"
#include "midiports.h"
#include "padboard.h"
#include "padmodel.h"
#include "wav_support.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// Xlib's macros that clash with names of the program.
#undef None
#undef Bool
#undef Status
#undef True
#undef False
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<std::int64_t> g_clicked{0}; // when pad 1's button was last clicked (ns)
std::atomic<bool> g_sendNote{false};
std::atomic<std::int64_t> g_noteSent{0};
jack_port_t* g_out = nullptr;

std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

int process(jack_nframes_t frames, void*) {
    void* buffer = jack_port_get_buffer(g_out, frames);
    jack_midi_clear_buffer(buffer);
    if (g_sendNote.exchange(false)) {
        const jack_midi_data_t on[3] = {0x90, 36, 100};
        const jack_midi_data_t off[3] = {0x80, 36, 0};
        g_noteSent = now();
        jack_midi_event_write(buffer, 0, on, 3);
        jack_midi_event_write(buffer, frames - 1, off, 3);
    }
    return 0;
}

// A mono 16-bit WAV of one second.
void writeClip(const QString& path) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(sineWav(48000, 48000, 0.05));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * v.size()))];
}

// Waits until the button has been clicked after `since`; the latency in ms, or -1.
double waitClick(std::int64_t since) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        const std::int64_t t = g_clicked.load();
        if (t > since)
            return double(t - since) / 1e6;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 200;
    QTemporaryDir root;
    // A data folder as an earlier start left it: no first-start messages.
    for (const char* d : {"home", "data/varnel/cuedeck/sound", "data/varnel/cuedeck/image",
                          "data/varnel/cuedeck/conf", "data/varnel/cuedeck/temp", "tmp", "run"})
        QDir(root.path()).mkpath(d);
    QFile::setPermissions(root.path() + "/run",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", (root.path() + "/home").toUtf8());
    qputenv("XDG_DATA_HOME", (root.path() + "/data").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (root.path() + "/run").toUtf8());
    qputenv("TMPDIR", (root.path() + "/tmp").toUtf8());
    const QByteArray jackName = "cuedeck-latency-" + QByteArray::number(::getpid());
    qputenv("JACK_DEFAULT_SERVER", jackName);

    QProcess xvfb, jackd;
    xvfb.start("Xvfb", {":93", "-noreset", "-nolisten", "tcp", "-screen", "0", "1920x1080x24"});
    jackd.start("jackd", {"--no-realtime", "-n", QString::fromUtf8(jackName), "-d", "dummy", "-r",
                          "48000", "-p", "128"});
    if (!xvfb.waitForStarted() || !jackd.waitForStarted()) {
        std::fprintf(stderr, "Xvfb or jackd did not start\n");
        return 1;
    }
    QThread::sleep(2);
    qputenv("DISPLAY", ":93");
    qputenv("QT_QPA_PLATFORM", "xcb");

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    media::Engine engine{media::Engine::Options{media::Engine::Output::None, 48000, 128}};
    Tfcuedeck window(engine);
    window.show();
    window.activateWindow();
    const QString clip = root.path() + "/clip.wav";
    writeClip(clip);
    window.board().openClip(1, clip);
    QObject::connect(&window.board().model(), &PadModel::pressed, [] { g_clicked = now(); });

    jack_client_t* sender = nullptr;
    {
        std::lock_guard lock(remote::jackClientMutex()); // the program's MIDI ports open theirs
        sender = jack_client_open("latency-sender", JackNoStartServer, nullptr);
    }
    if (!sender) {
        std::fprintf(stderr, "no JACK server\n");
        jackd.kill();
        xvfb.kill();
        return 1;
    }
    // A physical port, as a controller's is: the program joins only devices by itself.
    g_out = jack_port_register(sender, "out", JACK_DEFAULT_MIDI_TYPE,
                               JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal, 0);
    jack_set_process_callback(sender, process, nullptr);
    jack_activate(sender);

    std::vector<double> keys, notes;
    std::thread driver([&] {
        Display* display = XOpenDisplay(":93");
        const KeyCode q = XKeysymToKeycode(display, XK_q);
        std::this_thread::sleep_for(std::chrono::seconds(4)); // the input connects the sender
        for (int i = 0; i < rounds; ++i) {
            std::int64_t t0 = now();
            XTestFakeKeyEvent(display, q, 1, CurrentTime);
            XFlush(display);
            const double key = waitClick(t0);
            XTestFakeKeyEvent(display, q, 0, CurrentTime);
            XFlush(display);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));

            const std::int64_t before = now();
            g_sendNote = true;
            const double note = waitClick(before);
            const double fromSend = note < 0 ? -1 : double(g_clicked - g_noteSent) / 1e6;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (key >= 0)
                keys.push_back(key);
            if (fromSend >= 0)
                notes.push_back(fromSend);
        }
        XCloseDisplay(display);
        QMetaObject::invokeMethod(
            &app, [] { QApplication::exit(0); }, Qt::QueuedConnection);
    });
    app.exec();
    driver.join();
    jack_client_close(sender);

    std::printf("rounds: %d key presses, %zu notes answered of %d\n", int(keys.size()),
                notes.size(), rounds);
    std::printf("key  -> click: median %.3f ms, p90 %.3f ms\n", median(keys),
                percentile(keys, 0.9));
    std::printf("note -> click: median %.3f ms, p90 %.3f ms\n", median(notes),
                percentile(notes, 0.9));
    std::printf("note - key (medians): %+.3f ms\n", median(notes) - median(keys));
    std::fflush(stdout);
    // No close request: the window would ask about the changed board.
    jackd.terminate();
    xvfb.terminate();
    jackd.waitForFinished(3000);
    xvfb.waitForFinished(3000);
    return 0;
}
