#pragma once
// A harness for end-to-end tests of the real executable under Xvfb. One X server serves a
// test suite; each test gets a temporary root with its own HOME, data home, runtime and temp
// folders, and a copy of the program in root/program/ (its program folder, empty until the
// test fills "sound", "image" or "conf"). Tests drive the program with xdotool, close windows
// as a window manager does, take screenshots into build/tests/e2e-artefacts and compare file
// trees. Every wait is bounded; processes and the X server are killed when a test ends.
//
// CMake: cuedeck_add_e2e_test(NAME x SOURCES x.cpp) (tests/e2e.cmake) defines CUEDECK_EXE.

#include "wait_support.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <vector>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace e2e {

// A process the test starts is killed when the test process dies, so a test that aborts (a
// sanitizer's report, a crash) fails at once instead of leaving the program, Xvfb or a server
// holding ctest's output pipe until the timeout.
inline void endsWithTheTest(QProcess& p) {
    p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

inline const QString kArtefacts = QStringLiteral(CUEDECK_BINARY_DIR "/tests/e2e-artefacts");
constexpr int kWaitMs = 30000; // generous: the machine may be busy building

// One X server for the whole suite, on a display number it picks itself, with one screen of
// `screen` ("WIDTHxHEIGHTxDEPTH"). "-noreset": by default Xvfb resets whenever its last client
// leaves, and a program that connects during that reset is refused ("could not connect to
// display"); between two tests there is often no client.
class XServer {
public:
    bool start(const QString& screen) {
        m_process.setProgram(QStringLiteral("Xvfb"));
        m_process.setArguments(
            {"-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", screen});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        endsWithTheTest(m_process);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        QByteArray out;
        QDeadlineTimer deadline(10000);
        while (!out.contains('\n') && !deadline.hasExpired() &&
               m_process.state() == QProcess::Running) {
            m_process.waitForReadyRead(200);
            out += m_process.readAllStandardOutput();
        }
        bool ok = false;
        const int number = out.trimmed().toInt(&ok);
        if (!ok)
            return false;
        m_display = QStringLiteral(":%1").arg(number);
        return true;
    }
    ~XServer() {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
    const QString& display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};

inline XServer* g_server = nullptr;

// Runs a helper tool on the test display and returns its standard output.
inline QString tool(const QString& program, const QStringList& args, int timeoutMs = 10000) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", g_server->display());
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        ADD_FAILURE() << program.toStdString() << " did not finish";
        return {};
    }
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

// Visible windows of `pid` titled exactly `title` (xdotool's own name search ignores case,
// and the message boxes' "cuedeck" differs from the main window's "CUEDECK" only in case).
inline QStringList windows(qint64 pid, const QString& title) {
    const QString out = tool("xdotool", {"search", "--all", "--onlyvisible", "--pid",
                                         QString::number(pid), "--name", "."});
    QStringList result;
    for (const QString& id : out.split(u'\n', Qt::SkipEmptyParts)) {
        if (tool("xdotool", {"getwindowname", id}) == title)
            result << id;
    }
    return result;
}

// Titles of the program's message boxes: the plain and error boxes carry the application
// title, the standard dialog its kind.
inline const QStringList kBoxTitles = {"cuedeck", "警告", "エラー", "情報", "確認"};
// How long a message box the test does not wait for may stay before the wait fails.
constexpr int kUnexpectedBoxMs = 3000;

inline void screenshot(const QString& name);

// Waits until `pid` shows exactly one visible window titled `title`; returns its id. A message
// box that stays up meanwhile, other than the one awaited, holds the program until somebody
// answers it: the wait fails at once, naming it, instead of running out.
inline QString waitForWindow(qint64 pid, const QString& title) {
    QDeadlineTimer deadline(kWaitMs);
    QString box;
    QDeadlineTimer boxDeadline;
    while (!deadline.hasExpired()) {
        QStringList found;
        QString other;
        for (const QString& id : tool("xdotool", {"search", "--all", "--onlyvisible", "--pid",
                                                  QString::number(pid), "--name", "."})
                                     .split(u'\n', Qt::SkipEmptyParts)) {
            const QString name = tool("xdotool", {"getwindowname", id});
            if (name == title)
                found << id;
            else if (kBoxTitles.contains(name))
                other = name;
        }
        if (found.size() == 1)
            return found.front();
        if (other.isEmpty() || other != box) {
            box = other;
            boxDeadline.setRemainingTime(kUnexpectedBoxMs);
        } else if (boxDeadline.hasExpired()) {
            screenshot("unexpected-box");
            ADD_FAILURE() << "the program shows the message box " << box.toStdString()
                          << " while the test waits for " << title.toStdString();
            return {};
        }
        QThread::msleep(100);
    }
    QStringList shown;
    for (const QString& id : tool("xdotool", {"search", "--all", "--onlyvisible", "--pid",
                                              QString::number(pid), "--name", "."})
                                 .split(u'\n', Qt::SkipEmptyParts))
        shown << tool("xdotool", {"getwindowname", id});
    ADD_FAILURE() << "no window " << title.toStdString()
                  << "; shown: " << shown.join(u'|').toStdString();
    return {};
}

struct Geometry {
    int x = -1, y = -1, width = -1, height = -1;
};
inline Geometry geometryOf(const QString& window) {
    Geometry g;
    for (const QString& line :
         tool("xdotool", {"getwindowgeometry", "--shell", window}).split(u'\n')) {
        const QString key = line.section(u'=', 0, 0);
        const int value = line.section(u'=', 1).toInt();
        if (key == "X")
            g.x = value;
        else if (key == "Y")
            g.y = value;
        else if (key == "WIDTH")
            g.width = value;
        else if (key == "HEIGHT")
            g.height = value;
    }
    return g;
}

// Polls `condition` every 50 ms until it holds or `timeoutMs` has passed.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
    return testsupport::waitFor(condition, timeoutMs, 50);
}

// Gives `window` the keyboard focus and types `keys` (xdotool key names: "q", "alt+x").
inline void pressKeys(const QString& window, const QString& keys) {
    tool("xdotool", {"windowfocus", "--sync", window});
    tool("xdotool", {"key", "--clearmodifiers", keys});
}

// Clicks the left mouse button at (x, y) of `window`'s client area.
inline void clickAt(const QString& window, int x, int y) {
    tool("xdotool", {"mousemove", "--window", window, "--sync", QString::number(x),
                     QString::number(y), "click", "1"});
}

// Presses Return in `window`, as a user answering a message box.
inline void pressReturn(const QString& window) {
    tool("xdotool", {"windowfocus", "--sync", window});
    tool("xdotool", {"key", "Return"});
}

// Asks `window` to close, as the close box of a window manager does (Xvfb has none).
inline void requestClose(const QString& window) {
    xcb_connection_t* c = xcb_connect(g_server->display().toLocal8Bit().constData(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(c), 0);
    auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, strlen(name), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return result;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window.toUInt();
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    // A round trip before disconnecting: the server may drop the requests of a connection
    // that has already hung up.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
}

inline void screenshot(const QString& name) {
    QDir().mkpath(kArtefacts);
    tool("import", {"-window", "root", kArtefacts + "/" + name + ".png"}, 20000);
}

// Waits for the next message box of `pid` titled `title` (the plain boxes and the error box
// carry the application title, questions "確認"), runs `check` while it is up, saves a
// screenshot when `name` is given, answers it with `key` (Return: the default button, OK or
// yes; Escape: no) and waits until it has gone.
inline bool answerNextBox(qint64 pid, const QString& name, const std::function<void()>& check = {},
                          const QString& title = QStringLiteral("cuedeck"),
                          const QString& key = QStringLiteral("Return")) {
    const QString box = waitForWindow(pid, title);
    if (box.isEmpty())
        return false;
    if (check)
        check();
    if (!name.isEmpty())
        screenshot(name);
    pressKeys(box, key);
    QDeadlineTimer deadline(kWaitMs);
    while (windows(pid, title).contains(box)) {
        if (deadline.hasExpired()) {
            ADD_FAILURE() << "message box stays open";
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

// Saves the stack of every thread of `pid` as the artefact `name`.txt, to tell where a program
// that shows no window is stuck (when gdb is installed; nothing otherwise).
inline void saveBacktrace(qint64 pid, const QString& name) {
    QDir().mkpath(kArtefacts);
    QProcess gdb;
    gdb.setStandardOutputFile(kArtefacts + "/" + name + ".txt");
    gdb.setStandardErrorFile(QProcess::nullDevice());
    gdb.start("gdb", {"-p", QString::number(pid), "-batch", "-ex", "thread apply all bt"});
    if (gdb.waitForStarted(5000) && !gdb.waitForFinished(60000)) {
        gdb.kill();
        gdb.waitForFinished(3000);
    }
}

// Every file below `root` with its size, time stamp and content hash.
inline QMap<QString, QString> snapshot(const QString& root) {
    QMap<QString, QString> result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QString state = QString::number(info.lastModified().toMSecsSinceEpoch());
        if (info.isFile()) {
            QFile f(info.filePath());
            if (f.open(QIODevice::ReadOnly))
                state += QString::fromLatin1(
                    QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex());
        }
        result.insert(info.filePath(), state);
    }
    return result;
}

inline QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The lines of a text file written with CR LF line ends; "<missing>" alone when it is absent.
inline QStringList readLines(const QString& path) {
    QString text = QString::fromUtf8(readFile(path));
    if (text.endsWith(QLatin1String("\r\n")))
        text.chop(2);
    return text.split(QStringLiteral("\r\n"));
}

// Copies the folder `from` with everything below it to `to`.
inline bool copyTree(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        QDir().mkpath(QFileInfo(target).path());
        if (!QFile::copy(source, target))
            return false;
    }
    return true;
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

inline bool audible(float sample) {
    return std::fabs(sample) > 1e-6f;
}

// What SDL's disk driver (SDL_AUDIODRIVER=disk, SDL_DISKAUDIOFILE=path) writes: the mixed
// output as interleaved float32 stereo frames, read back to tell what sounded.
class RecordedOutput {
public:
    static constexpr qint64 kFrameBytes = 2 * sizeof(float);

    explicit RecordedOutput(QString path) : m_path(std::move(path)) {}
    const QString& path() const { return m_path; }
    qint64 bytes() const { return QFileInfo(m_path).size(); }

    // The samples written from byte `from` (rounded down to a whole frame) to now.
    std::vector<float> samplesFrom(qint64 from) const {
        std::vector<float> samples;
        QFile f(m_path);
        if (!f.open(QIODevice::ReadOnly) || !f.seek(std::max<qint64>(0, from - from % kFrameBytes)))
            return samples;
        const QByteArray data = f.readAll();
        samples.resize(static_cast<size_t>(data.size()) / sizeof(float));
        if (!samples.empty())
            std::memcpy(samples.data(), data.constData(), samples.size() * sizeof(float));
        return samples;
    }
    // Whether any sample written from byte `from` on is audible.
    bool soundsFrom(qint64 from) const {
        const auto s = samplesFrom(from);
        return std::any_of(s.begin(), s.end(), audible);
    }
    // Whether the last `count` samples are there and silent.
    bool silentAtTheEnd(size_t count) const {
        const auto s = samplesFrom(bytes() - qint64(count * sizeof(float)));
        return s.size() >= count && std::none_of(s.begin(), s.end(), audible);
    }

private:
    QString m_path;
};

// Whether `program` can be found on the PATH (tests that need an outside tool skip without it).
inline bool haveTool(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

class EndToEnd : public ::testing::Test {
protected:
    // A desktop screen; a suite that needs another one declares its own SetUpTestSuite()
    // calling startServer() with it.
    static void SetUpTestSuite() { startServer(QStringLiteral("1920x1080x24")); }
    static void startServer(const QString& screen) {
        g_server = new XServer;
        if (!g_server->start(screen)) {
            delete g_server;
            g_server = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete g_server;
        g_server = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(g_server, nullptr) << "Xvfb did not start";
        ASSERT_TRUE(m_dir.isValid());
        for (const char* name : {"home", "data", "tmp", "runtime"})
            QDir(root()).mkpath(QLatin1String(name));
        QFile::setPermissions(root() + "/runtime",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        installProgram("cuedeck");
    }
    void TearDown() override {
        for (auto& p : m_processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
        // A failed test shows what each program it started wrote to stderr: its log of the
        // output device, a sanitizer's report (any test does with CUEDECK_E2E_LOGS set).
        const bool show = HasFailure() || std::getenv("CUEDECK_E2E_LOGS");
        for (std::size_t i = 0; show && i < m_processes.size(); ++i)
            std::cerr << "--- stderr of program " << i + 1 << " ---\n"
                      << readFile(programLog(i)).toStdString() << "--- end ---\n";
    }
    // Outside root(), whose files the tests compare.
    QString programLog(std::size_t i) const {
        return m_logs.path() + "/program-" + QString::number(i + 1) + ".log";
    }

    QString root() const { return m_dir.path(); }
    QString programFolder() const { return root() + "/program/"; }
    QString dataFolder() const { return root() + "/data/varnel/cuedeck"; }

    // Copies the built executable into the program folder under `fileName`.
    void installProgram(const QString& fileName) {
        QDir().mkpath(programFolder());
        m_program = programFolder() + fileName;
        ASSERT_TRUE(QFile::copy(QStringLiteral(CUEDECK_EXE), m_program));
    }

    // A pre-existing data folder, as left by an earlier start: no seeding messages.
    void prepareDataFolder() {
        for (const char* name : {"sound", "image", "conf", "temp"})
            QDir().mkpath(dataFolder() + "/" + name);
    }

    // The starter files the build puts beside the executable (demo clips, pictures, set list 1,
    // the manual), copied into the program folder. The demo set list names its clips and
    // pictures by absolute path in the build tree, so the copies load as well.
    void installStarterFiles() {
        const QString bin = QFileInfo(QStringLiteral(CUEDECK_EXE)).path();
        for (const char* folder : {"sound", "image", "conf", "help"})
            ASSERT_TRUE(copyTree(bin + "/" + folder, programFolder() + folder)) << folder;
    }

    // A data folder as an earlier start left it, with the demo set list as set list 1.
    void seedDemoSetList() {
        prepareDataFolder();
        const QString bin = QFileInfo(QStringLiteral(CUEDECK_EXE)).path();
        ASSERT_TRUE(QFile::copy(bin + "/conf/setlist1.cdk", dataFolder() + "/conf/setlist1.cdk"));
    }

    QProcess* launch() {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "QT_SCALE_FACTOR"})
            env.remove(name);
        env.insert("DISPLAY", g_server->display());
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("HOME", root() + "/home");
        env.insert("XDG_DATA_HOME", root() + "/data");
        env.insert("XDG_RUNTIME_DIR", root() + "/runtime");
        env.insert("TMPDIR", root() + "/tmp");
        // A session bus that is not there: Qt's accessibility bridge gives up at once instead
        // of autolaunching one. libdbus forks for that from the threaded program, and under
        // AddressSanitizer the child can hang on a lock another thread held at the fork,
        // holding the window back for good.
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + root() + "/runtime/no-bus");
        // In a sanitizer build, leaks of the system libraries Qt uses are not the program's.
        env.insert("LSAN_OPTIONS", "suppressions=" CUEDECK_TEST_DATA "/../e2e_lsan.supp");
        for (auto it = m_environment.cbegin(); it != m_environment.cend(); ++it)
            env.insert(it.key(), it.value());
        p->setProcessEnvironment(env);
        p->setStandardErrorFile(programLog(m_processes.size()));
        endsWithTheTest(*p);
        p->start(m_program, {});
        EXPECT_TRUE(p->waitForStarted(5000));
        m_processes.push_back(std::move(p));
        return m_processes.back().get();
    }

    // Adds a variable to the environment of the programs started from now on.
    void setEnvironment(const QString& name, const QString& value) {
        m_environment.insert(name, value);
    }

    // The programs started from now on play into a file (SDL's disk driver) instead of a
    // sound server; the returned reader tells what they played.
    RecordedOutput recordOutput() {
        RecordedOutput out(root() + "/out.raw");
        setEnvironment("SDL_AUDIODRIVER", "disk");
        setEnvironment("SDL_DISKAUDIOFILE", out.path());
        return out;
    }

    static void expectCleanExit(QProcess* p) {
        EXPECT_TRUE(p->waitForFinished(kWaitMs)) << "still running";
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
    }

    // Starts the program on a prepared data folder and waits for its main window.
    QString startToMainWindow(QProcess** process) {
        *process = launch();
        return waitForWindow((*process)->processId(), "CUEDECK");
    }

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_logs;
    QString m_program;
    QMap<QString, QString> m_environment;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// The real program folder with its starter files, and a data folder that has seen a start
// before: set list 1 is the demo board.
class DemoEndToEnd : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        if (HasFatalFailure())
            return;
        installStarterFiles();
        seedDemoSetList();
    }
};

} // namespace e2e
