// End-to-end tests of the remote triggers with real clients: oscsend fires a pad of the real
// program and a panel's status request is answered; a JACK server on its dummy driver with
// jack_midiseq plays notes into the program's "cuedeck" input. SDL's disk driver records what
// the program plays. A test whose outside tool is missing is skipped.

#include "e2e_harness.h"

#include "osc_support.h"
#include "pulse_support.h"

#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <xcb/xcb.h>

#include <unistd.h>

using namespace e2e;

namespace {

class RemoteEndToEnd : public DemoEndToEnd {
protected:
    void SetUp() override {
        DemoEndToEnd::SetUp();
        if (HasFatalFailure())
            return;
        // A port of its own: other programs under test may hold the default one.
        m_oscPort = osctest::LoopbackSocket().port();
        writeFile(conf("settings.ini"), "osc/port=" + QByteArray::number(m_oscPort) + "\r\n");
        m_output = recordOutput();
    }
    void TearDown() override {
        for (QProcess* p : {&m_jack, &m_sequencer}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(3000);
            }
        }
        EndToEnd::TearDown();
    }

    QString conf(const QString& name) const { return dataFolder() + "/conf/" + name; }

    // Starts the program and waits for its main window and set list 1's baseline.
    QString start(QProcess** app) {
        const QString main = startToMainWindow(app);
        EXPECT_TRUE(waitUntil([&] { return QFileInfo(conf("setlist.bak")).size() > 0; }));
        // The output runs from the start and stays silent while nothing is played.
        EXPECT_TRUE(
            waitUntil([&] { return m_output.bytes() >= RecordedOutput::kFrameBytes * 4800; }));
        EXPECT_FALSE(m_output.soundsFrom(0)) << "sound before any trigger";
        return main;
    }

    // Runs a JACK tool against the test's own server.
    QString jackTool(const QString& program, const QStringList& args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("JACK_DEFAULT_SERVER", m_jackName);
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(1000);
        }
        return QString::fromLocal8Bit(p.readAllStandardOutput());
    }

    RecordedOutput m_output{""};
    quint16 m_oscPort = 0;
    QString m_jackName = QStringLiteral("cuedeck-e2e-%1").arg(::getpid());
    QProcess m_jack;
    QProcess m_sequencer;
};

} // namespace

TEST_F(RemoteEndToEnd, OscSendPlaysAPadAndAStatusRequestIsAnswered) {
    if (!haveTool("oscsend"))
        GTEST_SKIP() << "oscsend (liblo-tools) is not installed";
    QProcess* app = nullptr;
    const QString main = start(&app);
    ASSERT_FALSE(main.isEmpty());

    const qint64 before = m_output.bytes();
    QProcess send;
    send.start("oscsend",
               {"127.0.0.1", QString::number(m_oscPort), "/cuedeck/pad/1/play", "f", "1.0"});
    ASSERT_TRUE(send.waitForFinished(10000));
    EXPECT_EQ(send.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return m_output.soundsFrom(before); }, 10000))
        << "no sound after /cuedeck/pad/1/play";

    // A panel on its own port asks for the state and gets one answer per pad and the slot.
    const osctest::LoopbackSocket panel;
    ASSERT_TRUE(panel.sendTo(m_oscPort, osctest::kStatusRequest));
    auto replies = osctest::replies(panel, 9, 10000, [] {});
    ASSERT_EQ(replies.size(), 9u);
    EXPECT_EQ(replies["/cuedeck/pad/1/status"].at(1), "playing");
    EXPECT_EQ(replies["/cuedeck/pad/2/status"].at(1), "stopped");
    EXPECT_EQ(replies["/cuedeck/setlist"], (std::vector<std::string>{"i", "1"}));

    requestClose(main);
    expectCleanExit(app);
}

TEST_F(RemoteEndToEnd, JackMidiNotePlaysAPad) {
    for (const char* tool : {"jackd", "jack_midiseq", "jack_lsp"})
        if (!haveTool(tool))
            GTEST_SKIP() << tool << " (jackd2) is not installed";
    // A private JACK server on the dummy driver: no sound card, no other client.
    m_jack.setProcessChannelMode(QProcess::MergedChannels);
    m_jack.setStandardOutputFile(root() + "/jackd.log");
    endsWithTheTest(m_jack);
    m_jack.start("jackd",
                 {"--no-realtime", "-n", m_jackName, "-d", "dummy", "-r", "48000", "-p", "256"});
    ASSERT_TRUE(m_jack.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([&] { return jackTool("jack_lsp", {}).contains("system:"); }, 15000))
        << readFile(root() + "/jackd.log").toStdString();

    setEnvironment("JACK_DEFAULT_SERVER", m_jackName);
    // The sequencer is a program, not a device: the operator asked for every port.
    writeFile(conf("midi.ini"), "connectall=1\r\n");
    QProcess* app = nullptr;
    const QString main = start(&app);
    ASSERT_FALSE(main.isEmpty());
    // The program's input appears on the server.
    ASSERT_TRUE(
        waitUntil([&] { return jackTool("jack_lsp", {}).contains("cuedeck:cuedeck"); }, 15000));
    EXPECT_FALSE(m_output.soundsFrom(0));

    // A sequencer that starts later: the program connects it by itself, and its note 36
    // (pad 1's by default) sounds.
    const qint64 before = m_output.bytes();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("JACK_DEFAULT_SERVER", m_jackName);
    m_sequencer.setProcessEnvironment(env);
    m_sequencer.setStandardOutputFile(QProcess::nullDevice());
    m_sequencer.setStandardErrorFile(QProcess::nullDevice());
    endsWithTheTest(m_sequencer);
    m_sequencer.start("jack_midiseq", {"seq", "48000", "0", "36", "4000"});
    ASSERT_TRUE(m_sequencer.waitForStarted(5000));
    EXPECT_TRUE(waitUntil(
        [&] {
            const QString c = jackTool("jack_lsp", {"-c"});
            return c.contains("seq:out\n   cuedeck:");
        },
        15000))
        << jackTool("jack_lsp", {"-c"}).toStdString();
    EXPECT_TRUE(waitUntil([&] { return m_output.soundsFrom(before); }, 10000))
        << "no sound after note 36";

    m_sequencer.terminate();
    m_sequencer.waitForFinished(5000);
    requestClose(main);
    expectCleanExit(app);
}

TEST_F(RemoteEndToEnd, PhonePanelInABrowserPlaysAPadAndLocksOutAGuesser) {
    if (!haveTool("chromium") || !haveTool("chromedriver") ||
        QProcess::execute("/usr/bin/python3", {"-c", "import selenium"}) != 0)
        GTEST_SKIP() << "chromium, chromium-driver or python3-selenium is not installed";
    quint16 port = 0;
    {
        QTcpServer probe; // a free TCP port
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    writeFile(conf("panel.ini"),
              "enabled=1\r\nport=" + QByteArray::number(port) + "\r\npin=2468013\r\n");
    // The tap is heard from a sound server of the test's own where there is one, else from
    // SDL's recording.
    std::unique_ptr<PrivatePulse> pulse;
    std::unique_ptr<Recorder> recorder;
    if (haveTool("pulseaudio") && haveTool("parec")) {
        pulse = std::make_unique<PrivatePulse>(root() + "/pulse");
        ASSERT_TRUE(pulse->start()) << readFile(root() + "/pulse/pulseaudio.log").toStdString();
        setEnvironment("PULSE_SERVER", pulse->server());
        setEnvironment("SDL_AUDIODRIVER", "pulseaudio");
        recorder = std::make_unique<Recorder>();
        ASSERT_TRUE(recorder->start(*pulse));
        ASSERT_TRUE(recorder->waitUntilFlowing());
    }
    const auto heard = [&] { return recorder ? recorder->heard(50) : m_output.soundsFrom(0); };
    QProcess* app = nullptr;
    const QString main = pulse ? startToMainWindow(&app) : start(&app);
    ASSERT_FALSE(main.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(conf("setlist.bak")).size() > 0; }));
    EXPECT_FALSE(heard()) << "sound before the tap";

    ASSERT_TRUE(waitUntil([&] {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        return s.waitForConnected(1000);
    })) << "the panel does not listen";
    QDir().mkpath(kArtefacts);
    QProcess browser;
    endsWithTheTest(browser);
    browser.start("/usr/bin/python3",
                  {CUEDECK_TEST_DATA "/../panel_browser.py",
                   QStringLiteral("http://127.0.0.1:%1/").arg(port), "2468013", kArtefacts});
    // The recording is read while the browser works, so that none of it is lost.
    bool sounded = false;
    QElapsedTimer clock;
    clock.start();
    while (!browser.waitForFinished(50) && clock.elapsed() < 120000)
        sounded = heard() || sounded;
    ASSERT_EQ(browser.state(), QProcess::NotRunning);
    const QString out = QString::fromUtf8(browser.readAllStandardOutput());
    const QJsonObject seen = QJsonDocument::fromJson(out.toUtf8()).object();
    ASSERT_FALSE(seen.isEmpty()) << browser.readAllStandardError().toStdString();
    EXPECT_TRUE(sounded || waitUntil(heard, 10000)) << "no sound after the tap on pad 1";
    EXPECT_TRUE(seen["pinPage"].toBool());
    EXPECT_FALSE(seen["panelWithoutSession"].toBool());
    EXPECT_EQ(seen["pads"].toInt(), 8);
    EXPECT_EQ(seen["before"].toString(), "stopped");
    EXPECT_TRUE(seen["after"] == "playing" || seen["after"] == "ending") << out.toStdString();
    EXPECT_FALSE(seen["scriptSeesCookie"].toBool()) << "the session cookie is HttpOnly";
    EXPECT_FALSE(seen["caption"].toString().isEmpty());
    EXPECT_EQ(seen["viewport"].toArray(), QJsonArray({360, 640}));
    EXPECT_TRUE(seen["inside"].toBool()) << "8 pads and stop all on a 360 x 640 phone, apart";
    std::printf(
        "panel: tap to pushed state %s ms\n",
        QJsonDocument(seen["latencyMs"].toArray()).toJson(QJsonDocument::Compact).constData());
    const QJsonArray wrong = seen["wrong"].toArray();
    ASSERT_EQ(wrong.size(), 6);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(wrong[i].toString().contains(QStringLiteral("PIN が違います"))) << i;
    EXPECT_TRUE(wrong[5].toString().contains(QStringLiteral("ロック中")))
        << wrong[5].toString().toStdString();
    EXPECT_FALSE(seen["panelAfterLockout"].toBool());
    const QImage shot(kArtefacts + "/panel-phone.png");
    EXPECT_EQ(shot.size(), QSize(360, 640));

    requestClose(main);
    expectCleanExit(app);
}

TEST_F(RemoteEndToEnd, HotkeySoundsItsPadWhileAnotherProgramHasTheFocus) {
    if (!haveTool("xmessage"))
        GTEST_SKIP() << "xmessage (x11-utils) is not installed";
    // Another client holds Ctrl+Alt+F9 already: pad 3's key is refused, the others work.
    xcb_connection_t* x = xcb_connect(g_server->display().toLatin1().constData(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(x));
    const xcb_setup_t* setup = xcb_get_setup(x);
    const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
    const int codes = setup->max_keycode - setup->min_keycode + 1;
    auto* map = xcb_get_keyboard_mapping_reply(
        x, xcb_get_keyboard_mapping(x, setup->min_keycode, codes), nullptr);
    ASSERT_NE(map, nullptr);
    xcb_keycode_t f9 = 0;
    for (int k = 0; k < codes && !f9; ++k)
        if (xcb_get_keyboard_mapping_keysyms(map)[k * map->keysyms_per_keycode] == 0xffc6)
            f9 = static_cast<xcb_keycode_t>(setup->min_keycode + k);
    free(map);
    ASSERT_NE(f9, 0);
    xcb_generic_error_t* error =
        xcb_request_check(x, xcb_grab_key_checked(x, 1, root, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1,
                                                  f9, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    ASSERT_EQ(error, nullptr);
    writeFile(conf("hotkeys.ini"), "enabled=1\r\npad3=Ctrl+Alt+F9\r\n");
    QProcess* app = nullptr;
    const QString main = start(&app);
    ASSERT_FALSE(main.isEmpty());

    QProcess other;
    endsWithTheTest(other);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", g_server->display());
    other.setProcessEnvironment(env);
    other.start("xmessage", {"-name", "otherprogram", "another program has the focus"});
    ASSERT_TRUE(other.waitForStarted(5000));
    // xmessage sets no process id on its window: found by its resource name.
    QString window;
    ASSERT_TRUE(waitUntil([&] {
        window = tool("xdotool", {"search", "--onlyvisible", "--classname", "otherprogram"})
                     .split(u'\n', Qt::SkipEmptyParts)
                     .value(0);
        return !window.isEmpty();
    }));
    tool("xdotool", {"windowactivate", "--sync", window});
    tool("xdotool", {"windowfocus", "--sync", window});
    ASSERT_EQ(tool("xdotool", {"getwindowfocus"}).trimmed(), window);

    // A key of no hotkey and the key the other client holds sound nothing; the bound one does.
    qint64 before = m_output.bytes();
    tool("xdotool", {"key", "ctrl+alt+F8"});
    tool("xdotool", {"key", "ctrl+alt+F9"});
    QThread::msleep(500);
    EXPECT_FALSE(m_output.soundsFrom(before));
    tool("xdotool", {"key", "ctrl+alt+1"});
    EXPECT_TRUE(waitUntil([&] { return m_output.soundsFrom(before); }, 10000))
        << "no sound after Ctrl+Alt+1 in another program";
    EXPECT_EQ(tool("xdotool", {"getwindowfocus"}).trimmed(), window) << "the focus stays";

    other.kill();
    other.waitForFinished(3000);
    xcb_disconnect(x);
    requestClose(main);
    expectCleanExit(app);
}
