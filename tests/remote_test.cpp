// Remote commands on a real pad board over an engine without a device: what the pads then
// sound like, the volume slider, the set list switch that never asks, MIDI learn and the files
// it keeps, the status reply on a real socket, and the window's settings pages and learn
// dialog.

#include "boardview.h"
#include "clipplayer.h"
#include "commandinbox.h"
#include "cueplayer.h"
#include "jack_support.h"
#include "osc_support.h"
#include "remotecontrol.h"
#include "remotesettings.h"
#include "setlist_support.h"
#include "setlistslots.h"
#include "settingsfile.h"
#include "textfile.h"
#include "transportbar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

using namespace remote;

namespace {

RemoteCommand osc(CommandKind kind, int number = 0) {
    RemoteCommand c;
    c.kind = kind;
    c.number = number;
    return c;
}

RemoteCommand note(int number, int channel = 1, int velocity = 100) {
    return midi::toCommand({midi::EventType::Note, channel, number, velocity});
}

RemoteCommand cc(int number, int value, int channel = 1) {
    return midi::toCommand({midi::EventType::Control, channel, number, value});
}

struct RemoteTest : ::testing::Test {
    BoardRig rig;
    PadBoard& board = rig.board;
    QLabel slotPanel, pathPanel;
    DialogLog dialogs;
    SetListSlots setLists{board.model(), board.OpenDialog1, rig.data, &slotPanel, &pathPanel};
    RemoteControl remote{board.model(), setLists, rig.data};
    QStringList notices;

    RemoteTest() {
        QObject::connect(&remote, &RemoteControl::notice,
                         [this](const QString& t) { notices << t; });
        // Two pads with clips, set list 1 current and unchanged.
        board.openClip(1, rig.writeWav("one.wav"));
        board.openClip(2, rig.writeWav("two.wav"));
        for (int n = 1; n <= PadBoard::kPads; ++n)
            board.trackBar(n)->setValue(1000);
        setLists.SaveSetList(setLists.slotFile(1));
        setLists.FormShow(); // opens the clips again
        // Clip starts are prepared off this thread; a press before they are ready would sound
        // a few milliseconds late, after the first block this test listens to.
        rig.engine.waitIdle(std::chrono::seconds(5));
    }

    // What the output carries now: the peak of the next `frames` (a few milliseconds).
    float loudness(int frames = 256) {
        std::vector<float> block(2 * static_cast<std::size_t>(frames));
        rig.engine.render(block.data(), frames);
        float peak = 0;
        for (float s : block)
            peak = std::max(peak, std::fabs(s));
        return peak;
    }
    bool playing(int pad) { return board.player(pad)->Mode() == mpPlaying; }
};

} // namespace

TEST_F(RemoteTest, PadCommandsSoundAsTheirKeysAndButtons) {
    EXPECT_EQ(loudness(), 0.0f);
    remote.execute(osc(CommandKind::PadPlay, 1));
    EXPECT_TRUE(playing(1));
    EXPECT_GT(loudness(), 0.01f) << "pad 1 sounds";

    // The strip's Stop: silence, and the strip offers Play again as after a click on it.
    board.transportBar(1)->pressButton(btPlay);
    remote.execute(osc(CommandKind::PadStop, 1));
    EXPECT_FALSE(playing(1));
    loudness(1024); // the anti-click ramp, heard after the limiter's look-ahead
    EXPECT_EQ(loudness(), 0.0f);
    EXPECT_TRUE(board.transportBar(1)->Buttons(btPlay).Auto);
    EXPECT_FALSE(board.transportBar(1)->Buttons(btStop).Auto);

    // MIDI: the default note of pad 2 on any channel; a Note Off plays nothing.
    remote.execute(note(37, 1, 0));
    EXPECT_FALSE(playing(2));
    remote.execute(note(37, 9));
    EXPECT_TRUE(playing(2));

    // A Note Off, a controller button let go and an OSC play with 0 let a hold pad go; a
    // restart pad keeps sounding. A release while a dialog is open still reaches the pad.
    remote.execute(note(37, 1, 0));
    EXPECT_TRUE(playing(2));
    EXPECT_FALSE(board.player(2)->fading());
    board.model().setExtension(2, padfields::Mode, padfields::Hold);
    midi::Mapping mapping = midi::Mapping::defaults();
    mapping.bind({midi::Action::Play, 1}, {midi::EventType::Control, 0, 20});
    remote.setMapping(mapping);
    remote.setBusyCheck([] { return true; });
    remote.execute(note(37, 1, 0));
    EXPECT_TRUE(board.player(2)->fading());
    remote.setBusyCheck({});
    board.model().setExtension(1, padfields::Mode, padfields::Hold);
    remote.execute(cc(20, 127));
    EXPECT_TRUE(playing(1));
    remote.execute(cc(20, 0));
    EXPECT_TRUE(board.player(1)->fading());
    remote.execute(osc(CommandKind::PadPlay, 1));
    EXPECT_FALSE(board.player(1)->fading());
    remote.execute(osc(CommandKind::PadRelease, 1));
    EXPECT_TRUE(board.player(1)->fading());
    for (int i = 0; i < 80; ++i)
        loudness(); // 0.3 s of fades
    EXPECT_EQ(loudness(), 0.0f);
    board.model().setExtension(1, padfields::Mode, padfields::Restart);
    remote.execute(osc(CommandKind::PadPlay, 1));

    // Stop-all turns the loops off and fades every pad.
    board.loopSwitch(1)->setChecked(true);
    EXPECT_TRUE(playing(1));
    remote.execute(osc(CommandKind::StopAll));
    EXPECT_FALSE(board.loopSwitch(1)->isChecked());
    EXPECT_TRUE(board.playButton(1)->isEnabled());
    EXPECT_TRUE(notices.isEmpty()) << notices.join('|').toStdString();
}

TEST_F(RemoteTest, EmptyPadsAndOpenDialogsRefuseWithANoticeNotABox) {
    remote.execute(osc(CommandKind::PadPlay, 5));
    remote.execute(osc(CommandKind::PadStop, 5));
    EXPECT_FALSE(playing(5));
    ASSERT_EQ(notices.size(), 2);
    EXPECT_TRUE(notices[0].contains(QStringLiteral("パッド5"))) << notices[0].toStdString();
    EXPECT_TRUE(dialogs.errors.isEmpty());
    EXPECT_TRUE(dialogs.asked.empty());

    bool busy = true;
    remote.setBusyCheck([&] { return busy; });
    remote.execute(osc(CommandKind::PadPlay, 1));
    remote.execute(note(36));
    EXPECT_FALSE(playing(1));
    EXPECT_TRUE(notices.last().contains(QStringLiteral("ダイアログ")));
    busy = false;
    remote.execute(note(36));
    EXPECT_TRUE(playing(1));
}

TEST_F(RemoteTest, OscCueSoundsOnTheMonitorAloneAndItsZeroStopsIt) {
    RemoteCommand cue = osc(CommandKind::PadCue, 1);
    cue.value = 1;
    remote.execute(cue);
    ASSERT_EQ(notices.size(), 1);
    EXPECT_EQ(notices[0], "モニター出力が選ばれていません");

    CuePlayer::setEngineFactory([](const std::string&, const std::string&, int rate) {
        return std::make_unique<media::Engine>(
            media::Engine::Options{media::Engine::Output::None, rate, 128});
    });
    CuePlayer& monitor = board.model().cue();
    monitor.setDevice("Phones");
    remote.execute(cue);
    EXPECT_TRUE(monitor.cueing(1));
    EXPECT_FALSE(playing(1));
    EXPECT_EQ(loudness(), 0.0f) << "the board's output carries no cue";

    cue.value = 0;
    remote.execute(cue);
    EXPECT_FALSE(monitor.cueing(1));
    cue.number = 5; // empty: refused only when it would sound
    remote.execute(cue);
    cue.value = 1;
    remote.execute(cue);
    EXPECT_EQ(notices.size(), 2);
    EXPECT_TRUE(notices.last().contains(QStringLiteral("パッド5"))) << notices.last().toStdString();
    monitor.setDevice("");
    CuePlayer::setEngineFactory(nullptr);
}

TEST_F(RemoteTest, ControllerMovesTheSliderAsTheUserDoes) {
    midi::Mapping m = remote.mapping();
    m.bind({midi::Action::Volume, 1}, {midi::EventType::Control, 0, 7});
    remote.setMapping(m);
    board.trackBar(1)->setValue(1000);
    setLists.SaveSetList(setLists.baselineFile());
    remote.execute(osc(CommandKind::PadPlay, 1));
    const float full = loudness();
    remote.execute(cc(7, 0));
    EXPECT_EQ(board.trackBar(1)->value(), 0);
    for (int i = 0; i < 8; ++i)
        loudness(); // the gain ramp
    EXPECT_LT(loudness(), full / 100) << "the clip follows the slider";
    remote.execute(cc(7, 127, 5));
    EXPECT_EQ(board.trackBar(1)->value(), 1000);
    remote.execute(cc(7, 64));
    EXPECT_EQ(board.trackBar(1)->value(), 504);
    EXPECT_TRUE(setLists.SetListModified()) << "a slider move is a change of the set list";
}

TEST_F(RemoteTest, SetListSwitchNeverAsksAndIsRefusedOverChanges) {
    textfile::writeLines(setLists.slotFile(3), {"[PLAYBTN1]=三(&Q)"});
    board.setCaption(2, QStringLiteral("changed(&W)"));
    remote.execute(osc(CommandKind::SetList, 3));
    EXPECT_EQ(slotPanel.text(), "1");
    EXPECT_EQ(board.caption(2), QStringLiteral("changed(&W)"));
    EXPECT_TRUE(dialogs.asked.empty()) << "no question";
    ASSERT_FALSE(notices.isEmpty());
    EXPECT_TRUE(notices.last().contains(QStringLiteral("保存されていない変更")))
        << notices.last().toStdString();

    setLists.Button22Click(); // saved: the switch goes ahead
    dialogs.asked.clear();
    remote.execute(osc(CommandKind::SetList, 3));
    EXPECT_EQ(slotPanel.text(), "3");
    EXPECT_EQ(board.caption(1), QStringLiteral("三(&Q)"));
    EXPECT_TRUE(dialogs.asked.empty());
}

TEST_F(RemoteTest, LearnBindsTheNextMessageAndTheFileKeepsIt) {
    const int volume = board.trackBar(1)->value();
    remote.learn({midi::Action::Volume, 3});
    remote.execute(note(60)); // a slider waits for a controller
    ASSERT_TRUE(remote.learning());
    remote.execute(cc(21, 10, 2));
    EXPECT_FALSE(remote.learning());
    EXPECT_EQ(remote.mapping().bindingOf({midi::Action::Volume, 3}),
              (midi::Binding{midi::EventType::Control, 2, 21}));
    remote.learn({midi::Action::Play, 7});
    remote.execute(note(36)); // pad 1's note is learned, not played
    EXPECT_FALSE(playing(1));
    EXPECT_EQ(board.trackBar(1)->value(), volume);

    remote.learn({midi::Action::StopAll, 0});
    remote.execute(note(36, 10)); // pad 7 keeps channel 1
    remote.learn({midi::Action::Fade, 2});
    remote.execute(cc(22, 127));

    SettingsFile file(remote.midiFile());
    file.load();
    EXPECT_EQ(file.value("pad3.volume"), "cc 21 ch 2");
    EXPECT_EQ(file.value("stopall"), "note 36 ch 10");
    EXPECT_EQ(file.value("pad2.fade"), "cc 22 ch 1");
    EXPECT_EQ(file.value("pad1.play"), "");
    EXPECT_EQ(file.value("pad7.play"), "note 36 ch 1");
    EXPECT_EQ(file.value("pad2.play"), "note 37 any");

    // A new start reads it back; a garbled line keeps that target's default, with a notice.
    file.setValue("pad4.play", "note 128 any");
    file.save();
    RemoteControl again(board.model(), setLists, rig.data);
    QStringList againNotices;
    QObject::connect(&again, &RemoteControl::notice, [&](const QString& t) { againNotices << t; });
    again.start(false);
    EXPECT_EQ(again.mapping().bindingOf({midi::Action::StopAll, 0}),
              (midi::Binding{midi::EventType::Note, 10, 36}));
    EXPECT_EQ(again.mapping().bindingOf({midi::Action::Play, 4}),
              (midi::Binding{midi::EventType::Note, 0, 39}));
    ASSERT_FALSE(againNotices.isEmpty());
    EXPECT_TRUE(againNotices.join('|').contains("pad4.play"));

    again.resetMapping();
    EXPECT_EQ(again.mapping(), midi::Mapping::defaults());
    file.load();
    EXPECT_EQ(file.value("stopall"), "");
    EXPECT_EQ(file.value("pad1.play"), "note 36 any");
}

TEST_F(RemoteTest, OscSettingsKeepOtherPagesKeysAndAnUnreadableListKeepsTheNetworkClosed) {
    SettingsFile file(remote.settingsFile());
    file.setValue("output/device", "x"); // a key of another page
    file.setValue("osc/port", 0);
    file.save();
    remote.start(false);
    ASSERT_TRUE(remote.oscListening());

    OscConfig config;
    config.network = true;
    config.port = 0;
    config.allowed = *RemoteControl::parseAllowList("192.168.1.20, 10.0.0.5;10.0.0.5");
    EXPECT_EQ(remote.applyOscConfig(config), "");
    file.load();
    EXPECT_EQ(file.value("output/device"), "x");
    EXPECT_EQ(file.value("osc/network"), "1");
    EXPECT_EQ(file.value("osc/allow"), "192.168.1.20, 10.0.0.5");
    EXPECT_EQ(RemoteControl::readOscConfig(remote.settingsFile()), config);

    EXPECT_FALSE(RemoteControl::parseAllowList("192.168.1"));
    EXPECT_FALSE(RemoteControl::parseAllowList("host.example"));
    file.setValue("osc/allow", "192.168.1.300");
    file.save();
    EXPECT_FALSE(RemoteControl::readOscConfig(remote.settingsFile()).network);
    EXPECT_EQ(RemoteControl::readOscConfig(rig.data + "/nothing.ini"), OscConfig{});
}

TEST_F(RemoteTest, StatusRequestIsAnsweredWithEveryPad) {
    SettingsFile file(remote.settingsFile());
    file.setValue("osc/port", 0);
    file.save();
    remote.start(false);
    ASSERT_TRUE(remote.oscListening());
    board.setCaption(1, QStringLiteral("開演ベル(&Q)"));
    remote.execute(osc(CommandKind::PadPlay, 1));

    // A panel asks from its own socket, through the real listener and inbox.
    const osctest::LoopbackSocket panel;
    ASSERT_TRUE(panel.sendTo(remote.oscPort(), osctest::kStatusRequest));
    auto replies = osctest::replies(panel, 9, 5000, [] { QCoreApplication::processEvents(); });
    ASSERT_EQ(replies.size(), 9u);
    using Fields = std::vector<std::string>;
    const Fields pad1 = replies["/cuedeck/pad/1/status"];
    ASSERT_EQ(pad1.size(), 4u);
    EXPECT_EQ(Fields(pad1.begin(), pad1.begin() + 3), (Fields{"ssi", "playing", "開演ベル"}));
    EXPECT_GT(std::stoi(pad1[3]), 0) << "time left";
    EXPECT_EQ(replies["/cuedeck/pad/2/status"][1], "stopped");
    EXPECT_EQ(replies["/cuedeck/pad/8/status"], (Fields{"ssi", "empty", "PLAY SOUND", "0"}));
    EXPECT_EQ(replies["/cuedeck/setlist"], (Fields{"i", "1"}));

    // A subscriber: the lease and the whole state at once, then each change pushed, and the
    // time left while a pad sounds.
    const auto subscribe = osctest::message("/cuedeck/subscribe");
    ASSERT_TRUE(panel.sendTo(remote.oscPort(), subscribe));
    replies = osctest::replies(panel, 10, 5000, [] { QCoreApplication::processEvents(); });
    EXPECT_EQ(replies["/cuedeck/subscribed"], (Fields{"i", "60"}));
    EXPECT_EQ(replies["/cuedeck/pad/2/status"][1], "stopped");
    EXPECT_GT(std::stoi(replies["/cuedeck/pad/1/left"].at(1)), 0);
    remote.execute(osc(CommandKind::PadPlay, 2));
    replies = osctest::replies(panel, 1, 2000, [] { QCoreApplication::processEvents(); });
    EXPECT_EQ(replies["/cuedeck/pad/2/status"].at(1), "playing");
    // A panel that listens on a port of its own names it.
    const osctest::LoopbackSocket listener;
    ASSERT_TRUE(
        panel.sendTo(remote.oscPort(), osctest::message("/cuedeck/subscribe", listener.port())));
    replies = osctest::replies(listener, 9, 3000, [] { QCoreApplication::processEvents(); });
    EXPECT_EQ(replies["/cuedeck/subscribed"], (Fields{"i", "60"}));
    EXPECT_EQ(replies["/cuedeck/pad/2/status"].at(1), "playing");

    // From the network: with no allow-list the command acts and nothing is answered (a
    // forged sender address must not receive the state); a sender outside the allow-list is
    // not heard at all; one on it is answered.
    const in_addr_t lan = osctest::networkAddress();
    if (lan == 0)
        GTEST_SKIP() << "this machine has no address off the loopback";
    const osctest::LoopbackSocket stranger(lan);
    OscConfig open;
    open.network = true;
    open.port = 0;
    ASSERT_EQ(remote.applyOscConfig(open), "");
    remote.execute(osc(CommandKind::StopAll));
    ASSERT_TRUE(stranger.sendTo(remote.oscPort(), osctest::kStatusRequest));
    ASSERT_TRUE(stranger.sendTo(remote.oscPort(), subscribe));
    ASSERT_TRUE(stranger.sendTo(remote.oscPort(), osctest::message("/cuedeck/pad/1/play")));
    EXPECT_TRUE(
        osctest::replies(stranger, 1, 1000, [] { QCoreApplication::processEvents(); }).empty());
    EXPECT_TRUE(playing(1));
    open.allowed = {lan + htonl(1)};
    ASSERT_EQ(remote.applyOscConfig(open), "");
    ASSERT_TRUE(stranger.sendTo(remote.oscPort(), osctest::kStatusRequest));
    EXPECT_TRUE(
        osctest::replies(stranger, 1, 1000, [] { QCoreApplication::processEvents(); }).empty());
    open.allowed = {lan};
    ASSERT_EQ(remote.applyOscConfig(open), "");
    ASSERT_TRUE(stranger.sendTo(remote.oscPort(), osctest::kStatusRequest));
    EXPECT_EQ(osctest::replies(stranger, 9, 3000, [] { QCoreApplication::processEvents(); }).size(),
              9u);
}

// The lights of an APC mini on a private JACK server: the full state when the controller is
// joined, then pad 3 (note 38) green while it plays, red blinking in its last five seconds,
// yellow again when stopped.
TEST_F(RemoteTest, ControllerLightsFollowThePads) {
    if (!jacktest::installed())
        GTEST_SKIP() << "jackd (jackd2) is not installed";
    jacktest::Server server;
    ASSERT_TRUE(server.start());
    jacktest::Client lights("apc", false, true);
    ASSERT_TRUE(lights.ok());
    const QString longClip = rig.data + "/sound/long.wav";
    BoardRig::putFile(longClip, sineWav(8000, 8000 * 6));
    board.openClip(3, longClip);
    remote.view().poll(); // seen before the lights are first sent
    remote.setFeedbackProfile(midi::Profile::ApcMini);
    remote.start(true);
    auto until = [](const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    };
    // The last value each note got, and the values note 38 went through.
    auto lightsNow = [&] {
        std::map<int, int> last;
        for (const auto& m : lights.received())
            last[m.bytes.at(1)] = m.bytes.at(2);
        return last;
    };
    auto pad3 = [&] { // each value once, however often it was sent again
        std::vector<int> values;
        for (const auto& m : lights.received())
            if (m.bytes.at(1) == 38 && (values.empty() || values.back() != m.bytes.at(2)))
                values.push_back(m.bytes.at(2));
        return values;
    };
    ASSERT_TRUE(until([&] { return lightsNow().size() == 8; }, 5000));
    EXPECT_EQ(lightsNow(),
              (std::map<int, int>{
                  {36, 5}, {37, 5}, {38, 5}, {39, 0}, {40, 0}, {41, 0}, {42, 0}, {43, 0}}));

    const auto pressed = std::chrono::steady_clock::now();
    remote.execute(osc(CommandKind::PadPlay, 3));
    ASSERT_TRUE(until([&] { return pad3().back() == 1; }, 5000));
    const auto received = lights.received();
    const auto lit = std::find_if(received.begin(), received.end(), [](const auto& m) {
                         return m.bytes.at(1) == 38 && m.bytes.at(2) == 1;
                     })->at;
    std::printf("[ figure ] press to green light: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(lit - pressed).count()));
    std::vector<float> block(2 * 4800);
    for (int i = 0; i < 15; ++i) { // 1.5 s of the 6 s clip, the reader keeping up
        rig.engine.render(block.data(), 4800);
        rig.engine.waitIdle(std::chrono::seconds(1));
    }
    EXPECT_TRUE(until([&] { return pad3().back() == 4; }, 5000));
    remote.execute(osc(CommandKind::PadStop, 3));
    EXPECT_TRUE(until([&] { return pad3().back() == 5; }, 5000));
    EXPECT_EQ(pad3(), (std::vector<int>{5, 1, 4, 5}));
    // No lights chosen any more: they go dark instead of showing a stale state.
    remote.setFeedbackProfile(midi::Profile::None);
    EXPECT_TRUE(until(
        [&] {
            return lightsNow() == std::map<int, int>{{36, 0}, {37, 0}, {38, 0}, {39, 0},
                                                     {40, 0}, {41, 0}, {42, 0}, {43, 0}};
        },
        2000));
    remote.shutdown();
}

TEST_F(RemoteTest, SettingsPagesAndLearnDialog) {
    MidiSettingsPage midiPage(remote);
    EXPECT_EQ(midiPage.feedbackBox()->currentText(), QStringLiteral("送らない"));
    midiPage.feedbackBox()->setCurrentIndex(midiPage.feedbackBox()->findText("Akai APC mini"));
    emit midiPage.feedbackBox()->activated(midiPage.feedbackBox()->currentIndex());
    midiPage.connectAllBox()->click();
    EXPECT_EQ(remote.feedbackProfile(), midi::Profile::ApcMini);
    EXPECT_TRUE(remote.connectAllMidi());
    const int stopAllRow = midi::Mapping::indexOf({midi::Action::StopAll, 0});
    EXPECT_EQ(midiPage.table()->item(0, 1)->text(), QStringLiteral("ノート 36 (全チャンネル)"));
    EXPECT_EQ(midiPage.table()->item(stopAllRow, 0)->text(), QStringLiteral("全停止"));
    EXPECT_FALSE(midiPage.clearButton(stopAllRow)->isEnabled());
    midiPage.learnButton(stopAllRow)->click();
    EXPECT_EQ(midiPage.table()->item(stopAllRow, 1)->text(), QStringLiteral("受信待ち…"));
    remote.execute(cc(64, 127, 3));
    EXPECT_EQ(midiPage.table()->item(stopAllRow, 1)->text(),
              QStringLiteral("CC 64 (チャンネル 3)"));
    EXPECT_FALSE(midiPage.learnButton(stopAllRow)->isChecked());
    midiPage.clearButton(0)->click();
    EXPECT_EQ(midiPage.table()->item(0, 1)->text(), QStringLiteral("—"));
    dialogs.answers = {dialogs::mrYes};
    midiPage.resetButton()->click();
    EXPECT_EQ(remote.mapping(), midi::Mapping::defaults());
    SettingsFile kept(remote.midiFile());
    kept.load();
    EXPECT_EQ(kept.value("feedback"), "apcmini") << "the mapping's reset keeps the lights";
    EXPECT_TRUE(kept.boolValue("connectall", false));

    OscSettingsPage oscPage(remote);
    EXPECT_FALSE(oscPage.networkBox()->isChecked());
    EXPECT_FALSE(oscPage.allowEdit()->isEnabled());
    EXPECT_EQ(oscPage.portBox()->value(), 53100);
    oscPage.networkBox()->setChecked(true);
    oscPage.allowEdit()->setText("not an address");
    oscPage.portBox()->setValue(0 + 1); // never applied: the list is refused first
    EXPECT_FALSE(oscPage.apply());
    EXPECT_FALSE(oscPage.errorLabel()->text().isEmpty());
    EXPECT_FALSE(QFile::exists(remote.settingsFile()));

    MidiLearnDialog learn(remote, 6);
    EXPECT_TRUE(learn.playChoice()->isChecked());
    EXPECT_EQ(remote.learning(), (midi::Target{midi::Action::Play, 6}));
    learn.volumeChoice()->click();
    EXPECT_EQ(remote.learning(), (midi::Target{midi::Action::Volume, 6}));
    QTimer::singleShot(0, &learn, [&] { remote.execute(cc(30, 5)); });
    EXPECT_EQ(learn.exec(), QDialog::Accepted) << "closes once bound";
    EXPECT_EQ(remote.mapping().bindingOf({midi::Action::Volume, 6}),
              (midi::Binding{midi::EventType::Control, 1, 30}));
}
