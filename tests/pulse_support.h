#pragma once
// A private PulseAudio server and a recorder of its null sink, for end-to-end tests that
// check what the program sounds like through a real sound server.

#include "e2e_harness.h"
#include "stallwatch.h"

#include <QElapsedTimer>

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

constexpr int kRate = 48000;

// Puts the thread `tid` of a test's sound server (its main thread: the process id) at real-time
// priority, below the server's own I/O threads (PulseAudio's at 5, PipeWire's at 88); false
// where the system does not grant it. The main thread takes every client's writes off its
// socket and hands them to the thread that plays them. A desktop's server raises only its I/O
// threads and leaves the main one at nice -11, which gets a core at once there; here the test's
// whole session shares two cores with other sessions' builds, and its server's main thread
// waited for one up to 450 ms (its run-queue wait in /proc), while the I/O thread went on
// playing: the queue of any client, however deep, ran dry, and the server reported underruns
// that were the harness's, not the program's. The program's own threads are left as they run.
inline bool serveInRealTime(qint64 tid) {
    sched_param param{};
    param.sched_priority = 4;
    return sched_setscheduler(static_cast<pid_t>(tid), SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0;
}

// A PulseAudio server of this test alone: no configuration, no D-Bus, one null sink at the
// engine's rate and format. The program reaches it through one socket, the test's own tools
// through another, so that the test can record before the program's socket is there.
class PrivatePulse {
public:
    explicit PrivatePulse(QString folder) : m_folder(std::move(folder)) {
        QDir().mkpath(m_folder + "/home");
        QDir().mkpath(m_folder + "/runtime");
        QFile::setPermissions(m_folder + "/runtime",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    ~PrivatePulse() { stop(); }

    // The program's socket, and the test tools'.
    QString server() const { return "unix:" + m_folder + "/pulse.sock"; }
    QString toolServer() const { return "unix:" + m_folder + "/tools.sock"; }

    // Starts the server and waits until it answers; with `programSocket` false the program's
    // socket is left for openProgramSocket().
    bool start(bool programSocket = true) {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessEnvironment(environment());
        m_process->setStandardOutputFile(QProcess::nullDevice());
        m_process->setStandardErrorFile(m_folder + "/pulseaudio.log", QIODevice::Append);
        endsWithTheTest(*m_process);
        m_process->start(
            "pulseaudio",
            {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--system=no",
             "--disallow-exit", "--log-target=stderr", "-L",
             "module-null-sink sink_name=board rate=48000 format=float32le", "-L",
             "module-native-protocol-unix auth-anonymous=1 socket=" + m_folder + "/tools.sock"});
        if (!m_process->waitForStarted(5000))
            return false;
        const bool up = waitUntil(
            [&] { return m_process->state() != QProcess::Running || pactl({"info"}); }, 10000);
        if (!up || m_process->state() != QProcess::Running)
            return false;
        // Once it answers: it resets its own scheduling as it starts.
        serveInRealTime(m_process->processId());
        return !programSocket || openProgramSocket();
    }
    // A second null sink `name` that the program lists as `description`.
    bool addSink(const QString& name, const QString& description) {
        return pactl({"load-module", "module-null-sink",
                      "sink_name=" + name + " rate=48000 format=float32le sink_properties=" +
                          "device.description=" + description});
    }
    // Opens the program's socket on the running server.
    bool openProgramSocket() {
        return pactl({"load-module", "module-native-protocol-unix",
                      "auth-anonymous=1 socket=" + m_folder + "/pulse.sock"});
    }
    void stop() {
        if (!m_process || m_process->state() == QProcess::NotRunning)
            return;
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    // The environment of the server and of the test's tools.
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_folder + "/home");
        env.insert("XDG_RUNTIME_DIR", m_folder + "/runtime");
        env.insert("PULSE_SERVER", toolServer());
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        return env;
    }

private:
    bool pactl(const QStringList& args) const {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start("pactl", args);
        return p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }

    QString m_folder;
    std::unique_ptr<QProcess> m_process;
};

// Records the null sink's monitor as float32 stereo at 48 kHz, with a short latency
// (`latencyMs`, which is also the block the sink renders in), and tells when sound first
// arrived. The null sink delivers its first block late (up to 2 s): wait until the recording
// flows before timing anything with it.
class Recorder {
public:
    template <typename Server>
    bool start(const Server& server, const QString& sink = "board", int latencyMs = 2) {
        m_process.setProcessEnvironment(server.environment());
        m_process.start("parec",
                        {"--device=" + sink + ".monitor", "--format=float32le", "--rate=48000",
                         "--channels=2", "--latency-msec=" + QString::number(latencyMs)});
        return m_process.waitForStarted(5000);
    }
    ~Recorder() {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    // Reads what arrived (waiting up to `ms`); true once a sample above -40 dBFS came.
    bool heard(int ms) {
        m_process.waitForReadyRead(ms);
        m_data += m_process.readAllStandardOutput();
        const qsizetype samples = m_data.size() / qsizetype(sizeof(float));
        for (; m_checked < samples; ++m_checked) {
            float s;
            std::memcpy(&s, m_data.constData() + m_checked * qsizetype(sizeof(float)), sizeof s);
            if (std::fabs(s) > 0.01f)
                return true;
        }
        return false;
    }
    double seconds() const { return double(m_data.size()) / (2 * sizeof(float) * kRate); }
    // The RMS level of the left channel between `from` and `to` seconds into the recording.
    double level(double from, double to) const {
        const qsizetype first = qsizetype(from * kRate), last = qsizetype(to * kRate);
        double sum = 0;
        for (qsizetype i = first; i < last; ++i) {
            float s;
            std::memcpy(&s, m_data.constData() + 2 * i * qsizetype(sizeof(float)), sizeof s);
            sum += double(s) * s;
        }
        return last > first ? std::sqrt(sum / double(last - first)) : 0.0;
    }
    // The level most of [from, to) has: the median of its 20 ms parts' levels, which a short
    // hole elsewhere in the recording's way does not move.
    double typicalLevel(double from, double to) const {
        std::vector<double> parts;
        for (double at = from; at + 0.02 <= to; at += 0.02)
            parts.push_back(level(at, at + 0.02));
        if (parts.empty())
            return level(from, to);
        std::nth_element(parts.begin(), parts.begin() + qsizetype(parts.size() / 2), parts.end());
        return parts[parts.size() / 2];
    }
    // Keeps reading for `ms`. A test that sleeps instead lets the pipe fill within 0.2 s; the
    // server then holds back or drops what follows, and the recording is not what sounded.
    void recordFor(int ms) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            heard(std::max<int>(1, std::min<qint64>(10, ms - clock.elapsed())));
    }
    // Records until the recording is `seconds` long.
    bool recordUntil(double seconds) {
        return waitUntil([&] {
            heard(10);
            return this->seconds() >= seconds;
        });
    }
    // Frames received so far; what comes from now on is heard() anew.
    qsizetype mark() {
        heard(0);
        m_checked = m_data.size() / qsizetype(sizeof(float));
        m_checked -= m_checked % 2;
        return m_checked / 2;
    }
    // Runs of `minFrames` or more near-silent frames (below -40 dBFS on the left channel)
    // between the first and the last sounding frame received since frame `from`.
    // With `where`, each run's start into the sound and its length are added to it, in ms.
    int silentRuns(qsizetype from, int minFrames = 3, std::string* where = nullptr) {
        heard(0);
        const auto* f = reinterpret_cast<const float*>(m_data.constData());
        const qsizetype frames = m_data.size() / qsizetype(2 * sizeof(float));
        qsizetype first = -1, last = -1;
        for (qsizetype i = from; i < frames; ++i)
            if (std::fabs(f[2 * i]) > 0.01f) {
                if (first < 0)
                    first = i;
                last = i;
            }
        int runs = 0, quiet = 0;
        for (qsizetype i = first; first >= 0 && i <= last; ++i) {
            if (std::fabs(f[2 * i]) <= 0.01f) {
                ++quiet;
                continue;
            }
            if (quiet >= minFrames) {
                ++runs;
                if (where)
                    *where += " " + std::to_string((i - quiet - first) * 1000 / kRate) + " ms (" +
                              std::to_string(quiet * 1000.0 / kRate).substr(0, 5) + " ms)";
            }
            quiet = 0;
        }
        return runs;
    }
    bool waitUntilFlowing() {
        return waitUntil([&] {
            heard(10);
            return seconds() > 0.1;
        });
    }

private:
    QProcess m_process;
    QByteArray m_data;
    qsizetype m_checked = 0;
};

} // namespace e2e
