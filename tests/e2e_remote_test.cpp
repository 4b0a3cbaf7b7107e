// End-to-end tests of the remote triggers with real clients: oscsend fires a pad of the real
// program and a panel's status request is answered; a JACK server on its dummy driver with
// jack_midiseq plays notes into the program's "cuedeck" input. SDL's disk driver records what
// the program plays. A test whose outside tool is missing is skipped.

#include "e2e_harness.h"

#include "osc_support.h"

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
