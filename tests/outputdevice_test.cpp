// The output device as the window shows it: the status bar says when no device plays and when a
// remembered device is missing, as it happens; the settings page lists the outputs, moves the
// sound at a click, remembers the choice and plays a test tone. The sound server is the
// stand-in of engine_fakeserver.h.

#include "cuedeck.h"
#include "cueplayer.h"
#include "dialog_support.h"
#include "engine.h"
#include "engine_fakeserver.h"
#include "engine_support.h"
#include "outputdevicepage.h"
#include "padboard.h"
#include "shell_testenv.h"
#include "wait_support.h"
#include "wav_support.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

using testsupport::FakeServer;

namespace {

using testsupport::waitFor;

class OutputDevice : public ::testing::Test, protected DialogRecorder {
protected:
    // Opens the window on an engine whose sound server offers `outputs`.
    void start(std::vector<std::string> outputs, const std::string& driver = "fake") {
        server = std::make_shared<FakeServer>(std::move(outputs), driver);
        media::Engine::Options o;
        o.periodFrames = FakeServer::kPeriod;
        o.backend = server;
        engine = std::make_unique<media::Engine>(o);
        window = std::make_unique<Tfcuedeck>(*engine, program);
        window->show();
        QApplication::processEvents();
    }
    QString settingsFile() const { return env.dataFolder() + "/conf/settings.ini"; }
    QLabel* deviceStatus() const { return window->controls().statusNoDevice; }
    bool showsStatus(const QString& text) const {
        return deviceStatus()->isVisible() && deviceStatus()->text() == text;
    }
    // The status bar's monitor section: its text while shown, "" while hidden.
    QString monitorStatus() const {
        QLabel* label = window->controls().statusNoMonitor;
        return label->isVisible() ? label->text() : QString();
    }
    // The monitor's own engine on the same stand-in server, as the program makes it.
    void monitorOnTheServer() {
        CuePlayer::setEngineFactory(
            [this](const std::string& device, const std::string&, int rate) {
                media::Engine::Options o;
                o.periodFrames = FakeServer::kPeriod;
                o.sampleRate = rate;
                o.backend = server;
                o.device = device;
                o.chosenOnly = true;
                return std::make_unique<media::Engine>(o);
            });
    }
    static QStringList texts(const QListWidget* list) {
        QStringList result;
        for (int i = 0; i < list->count(); ++i)
            result << list->item(i)->text();
        return result;
    }

    IsolatedEnvironment env;
    QString program = env.makeProgramFolder();
    std::shared_ptr<FakeServer> server;
    std::unique_ptr<media::Engine> engine;
    std::unique_ptr<Tfcuedeck> window;
};

} // namespace

TEST_F(OutputDevice, TheStatusBarSaysWhenNoDeviceOrNotTheRememberedOnePlays) {
    writeFile(settingsFile(), "output/device=USB Audio\r\n");
    start({"Speakers"});
    ASSERT_TRUE(waitFor([&] { return showsStatus(missingOutputDeviceText("USB Audio")); }));
    EXPECT_EQ(server->playing(), "Speakers");
    server->setUp(false);
    ASSERT_TRUE(waitFor([&] { return showsStatus("サウンドデバイスがありません"); }));
    server->setUp(true);
    ASSERT_TRUE(waitFor([&] { return showsStatus(missingOutputDeviceText("USB Audio")); }));
    EXPECT_EQ(server->playing(), "Speakers");
    // Plugged in, it takes over, and the notice goes.
    server->plugIn("USB Audio");
    ASSERT_TRUE(waitFor([&] { return server->playing() == "USB Audio"; }));
    ASSERT_TRUE(waitFor([&] { return !deviceStatus()->isVisible(); }));
    // The file is read, never rewritten, at start.
    EXPECT_EQ(readFile(settingsFile()), "output/device=USB Audio\r\n");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(OutputDevice, TheSettingsPageMovesTheSoundRemembersTheChoiceAndPlaysATestTone) {
    writeFile(settingsFile(), "osc/port=9000\r\n");
    start({"Speakers", "Headphones"});
    OutputDevicePage page(*engine, settingsFile());
    QListWidget* list = page.deviceList();
    ASSERT_TRUE(waitFor([&] { return list->count() == 3; }));
    EXPECT_EQ(texts(list), QStringList({"既定のデバイス", "Speakers", "Headphones"}));
    EXPECT_EQ(list->currentItem()->text(), "既定のデバイス");
    EXPECT_EQ(page.stateLabel()->text(), "再生中: 既定のデバイス");
    // The arrow keys only look; Return chooses.
    const auto choose = [list](int row) {
        list->setCurrentRow(row);
        QTest::keyClick(list, Qt::Key_Return);
    };
    QTest::keyClick(list, Qt::Key_Down);
    QTest::qWait(100);
    EXPECT_EQ(server->playing(), "Speakers");
    EXPECT_EQ(readFile(settingsFile()), "osc/port=9000\r\n");

    choose(2);
    ASSERT_TRUE(waitFor([&] { return server->playing() == "Headphones"; }));
    EXPECT_EQ(readFile(settingsFile()), "osc/port=9000\r\noutput/device=Headphones\r\n");
    ASSERT_TRUE(waitFor([&] { return page.stateLabel()->text() == "再生中: Headphones"; }));

    // The test tone sounds on the chosen output: 1 kHz at a quarter of full scale.
    const std::size_t before = server->played("Headphones").size();
    page.testToneButton()->click();
    ASSERT_TRUE(
        waitFor([&] { return testsupport::peakOf(server->played("Headphones"), before) > 0.2f; }));
    EXPECT_LT(testsupport::peakOf(server->played("Headphones"), before), 0.26f);

    // Unplugged: the default plays, the page and the status bar say so.
    server->unplug("Headphones");
    ASSERT_TRUE(waitFor([&] { return server->playing() == "Speakers"; }));
    ASSERT_TRUE(waitFor([&] { return texts(list).contains("Headphones（見つかりません）"); }))
        << texts(list).join('|').toStdString();
    EXPECT_EQ(list->currentItem()->text(), "Headphones（見つかりません）");
    EXPECT_EQ(page.stateLabel()->text(), missingOutputDeviceText("Headphones"));
    ASSERT_TRUE(waitFor([&] { return showsStatus(missingOutputDeviceText("Headphones")); }));

    // Back to the default: the key goes, the other keys stay.
    choose(0);
    ASSERT_TRUE(waitFor([&] { return !deviceStatus()->isVisible(); }));
    EXPECT_EQ(readFile(settingsFile()), "osc/port=9000\r\n");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();

    // A choice that cannot be remembered is said so; the sound moves all the same.
    server->plugIn("Headphones");
    ASSERT_TRUE(waitFor([&] { return list->count() == 3; }));
    QFile::remove(settingsFile());
    QDir().mkpath(settingsFile()); // a folder where the file should be
    choose(2);
    EXPECT_EQ(errors.size(), 1);
    ASSERT_TRUE(waitFor([&] { return server->playing() == "Headphones"; }));
}

TEST_F(OutputDevice, DropoutsShowOnThePageABufferThatDeepensIsSaidOnceAndTheServerCanBeForced) {
    writeFile(settingsFile(), "output/backend=jack\r\n");
    start({"Speakers"}, "pipewire");
    // The remembered server is asked for at start, and the output opens anew there.
    ASSERT_TRUE(waitFor([&] { return server->server() == "jack"; }));
    OutputDevicePage page(*engine, settingsFile());
    EXPECT_EQ(page.serverBox()->currentText(), "JACK");

    server->dropOut(2);
    ASSERT_TRUE(waitFor([&] { return page.dropoutLabel()->text().startsWith("音切れ: 2 回"); }))
        << page.dropoutLabel()->text().toStdString();
    EXPECT_TRUE(window->statusBar()->currentMessage().isEmpty());
    // A third within ten seconds: one step deeper, said once.
    server->dropOut(1);
    ASSERT_TRUE(
        waitFor([&] { return window->statusBar()->currentMessage() == deepenedOutputText(); }));
    EXPECT_TRUE(waitFor(
        [&] { return page.dropoutLabel()->text().endsWith("バッファを 1 回深くしました"); }));
    // Another client holds the graph at the first quantum: the page shows the period heard,
    // not the one asked for; once the graph follows the request, that one.
    EXPECT_EQ(engine->periodFrames(), FakeServer::kPeriod);
    EXPECT_TRUE(page.dropoutLabel()->text().contains("（pipewire、128 フレーム）"))
        << page.dropoutLabel()->text().toStdString();
    server->setCycle(2 * FakeServer::kPeriod);
    EXPECT_TRUE(waitFor([&] {
        return page.dropoutLabel()->text().contains("（pipewire、256 フレーム）");
    })) << page.dropoutLabel()->text().toStdString();
    window->statusBar()->clearMessage();
    QTest::qWait(600);
    EXPECT_TRUE(window->statusBar()->currentMessage().isEmpty());

    // Back to the first server that answers: the key goes.
    page.serverBox()->setCurrentIndex(0);
    emit page.serverBox()->activated(0);
    ASSERT_TRUE(waitFor([&] { return server->server() == "auto"; }));
    EXPECT_EQ(readFile(settingsFile()), "");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(OutputDevice, TheMonitorOutputIsChosenOnThePageRememberedAndNeverFallsBackToTheBoards) {
    writeFile(settingsFile(), "osc/port=9000\r\n");
    start({"Speakers", "Headphones"});
    monitorOnTheServer();
    const QString clip = env.dataFolder() + "/cue.wav";
    ASSERT_TRUE(writeSineWav(clip, 3000));
    window->board().openClip(1, clip);
    auto page =
        std::make_unique<OutputDevicePage>(*engine, settingsFile(), &window->board().model().cue());
    QComboBox* box = page->monitorBox();
    ASSERT_TRUE(waitFor([&] { return box->count() == 3; }));
    EXPECT_EQ(box->itemText(0), "オフ");
    EXPECT_EQ(box->itemText(2), "Headphones");
    EXPECT_EQ(box->currentText(), "オフ");

    box->setCurrentIndex(2);
    emit box->activated(2);
    EXPECT_EQ(readFile(settingsFile()), "osc/port=9000\r\noutput/cue=Headphones\r\n");
    CuePlayer& cue = window->board().model().cue();
    ASSERT_TRUE(waitFor([&] { return cue.available(); }));
    ASSERT_TRUE(waitFor([&] {
        return page->monitorState()->text() == "試聴はモニター出力「Headphones」で鳴ります";
    }));
    EXPECT_EQ(monitorStatus(), "");
    const std::size_t speakers = server->played("Speakers").size();
    ASSERT_TRUE(window->board().model().cuePad(1));
    ASSERT_TRUE(waitFor([&] { return testsupport::peakOf(server->played("Headphones")) > 0.2f; }));
    EXPECT_EQ(testsupport::peakOf(server->played("Speakers"), speakers), 0.0f);

    // Unplugged: the cue stops and the page says why; the audience's output never takes it.
    server->unplug("Headphones");
    ASSERT_TRUE(waitFor([&] { return !cue.available(); }));
    EXPECT_FALSE(cue.cueing(1));
    ASSERT_TRUE(waitFor(
        [&] { return page->monitorState()->text() == "モニター出力「Headphones」がありません"; }));
    EXPECT_EQ(box->currentText(), "Headphones（見つかりません）");
    // The status bar says so too, for as long as it lasts.
    ASSERT_TRUE(
        waitFor([&] { return monitorStatus() == "モニター出力「Headphones」がありません"; }));
    EXPECT_FALSE(deviceStatus()->isVisible()); // the board's output plays on
    QTest::qWait(400);
    EXPECT_EQ(testsupport::peakOf(server->played("Speakers"), speakers), 0.0f);
    server->plugIn("Headphones");
    ASSERT_TRUE(waitFor([&] { return cue.available(); }));
    ASSERT_TRUE(waitFor([&] { return monitorStatus().isEmpty(); }));

    // The next start takes the remembered monitor; オフ forgets it.
    page.reset();
    window = std::make_unique<Tfcuedeck>(*engine, program);
    CuePlayer& again = window->board().model().cue();
    EXPECT_EQ(again.device(), "Headphones");
    EXPECT_TRUE(waitFor([&] { return again.available(); }));
    OutputDevicePage second(*engine, settingsFile(), &again);
    emit second.monitorBox()->activated(0);
    EXPECT_EQ(again.engine(), nullptr);
    EXPECT_EQ(readFile(settingsFile()), "osc/port=9000\r\n");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    CuePlayer::setEngineFactory(nullptr);
}

// A monitor device on a sound server that hangs: choosing it, or turning it off while it opens,
// leaves the window free; the page says it is being opened, the status bar says nothing.
TEST_F(OutputDevice, AMonitorDeviceSlowToOpenNeverHoldsUpTheWindow) {
    start({"Speakers", "Headphones", "USB Audio"});
    monitorOnTheServer();
    for (const char* name : {"Headphones", "USB Audio"})
        server->setOpenDelay(name, std::chrono::milliseconds(1500));
    CuePlayer& cue = window->board().model().cue();
    OutputDevicePage page(*engine, settingsFile(), &cue);
    QComboBox* box = page.monitorBox();
    ASSERT_TRUE(waitFor([&] { return box->count() == 4; }));
    const auto choose = [box](const QString& name) { emit box->activated(box->findData(name)); };

    const int before = server->attempts();
    choose("Headphones");
    // Back here while the open still waits on the server.
    EXPECT_EQ(server->attempts(), before);
    EXPECT_EQ(page.monitorState()->text(), "モニター出力「Headphones」を開いています");
    EXPECT_EQ(monitorStatus(), "");
    ASSERT_TRUE(waitFor([&] { return cue.available(); }));

    // Another device, then off before it has opened: the close waits for the open elsewhere.
    choose("USB Audio");
    choose("");
    EXPECT_EQ(cue.engine(), nullptr);
    EXPECT_EQ(server->attempts(), before + 1);
    CuePlayer::setEngineFactory(nullptr);
}
