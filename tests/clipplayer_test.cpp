// The clip player: not-open errors, Open and Close, notices and their timing, positions in
// milliseconds, volume. A real engine runs on SDL's dummy driver, so playback takes real time.

#include "clipplayer.h"
#include "engine.h"
#include "engine_support.h"
#include "wait_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <thread>

using media::Engine;
using testsupport::TempDir;

namespace {

const QString kNotOpen = QStringLiteral("MCI デバイスがありません");

Engine& sharedEngine() {
    static Engine engine([] {
        Engine::Options o;
        o.output = Engine::Output::Dummy;
        return o;
    }());
    return engine;
}

// The message of the EMCIDeviceError `f` raises ("" when it raises none).
QString deviceError(const std::function<void()>& f) {
    try {
        f();
    } catch (const EMCIDeviceError& e) {
        return e.message();
    }
    return QString();
}

using testsupport::waitFor;

class ClipPlayerTest : public ::testing::Test {
protected:
    TempDir dir;
    Engine& engine = sharedEngine();
    ClipPlayer player{engine, 0};
    std::vector<TMPNotifyValues> notices;

    ClipPlayerTest() {
        QObject::connect(&player, &ClipPlayer::OnNotify, [this](ClipPlayer* sender) {
            EXPECT_EQ(sender, &player);
            notices.push_back(sender->NotifyValue());
        });
    }
    // A stereo WAV at the engine's rate lasting `ms` milliseconds.
    QString wav(const std::string& name, long ms) {
        const std::string path = dir.file(name);
        testsupport::writeWav(path, engine.sampleRate(), 2, ms * engine.sampleRate() / 1000);
        return QString::fromStdString(path);
    }
    void open(const QString& path) {
        player.setFileName(path);
        player.Open();
    }
    void settle() {
        for (int i = 0; i < 5; ++i) {
            engine.waitIdle(std::chrono::seconds(1));
            QCoreApplication::processEvents();
        }
    }
};

} // namespace

TEST_F(ClipPlayerTest, OperationsNeedingAClipRaiseAndChangeNothingWhenClosed) {
    player.setAutoButtons(TButtonSet{btPlay});
    const std::vector<std::pair<const char*, std::function<void()>>> ops = {
        {"Play", [&] { player.Play(); }},
        {"Stop", [&] { player.Stop(); }},
        {"Rewind", [&] { player.Rewind(); }},
        {"Length", [&] { (void)player.Length(); }},
        {"Pause", [&] { player.Pause(); }},
        {"PauseOnly", [&] { player.PauseOnly(); }},
        {"Resume", [&] { player.Resume(); }},
        {"Next", [&] { player.Next(); }},
        {"Previous", [&] { player.Previous(); }},
        {"Step", [&] { player.Step(); }},
        {"Back", [&] { player.Back(); }},
        {"StartRecording", [&] { player.StartRecording(); }},
        {"Eject", [&] { player.Eject(); }},
    };
    for (const auto& [name, op] : ops) {
        SCOPED_TRACE(name);
        EXPECT_EQ(deviceError(op), kNotOpen);
        EXPECT_EQ(player.Error(), 0);
        EXPECT_EQ(player.Mode(), mpNotReady);
        EXPECT_EQ(player.autoButtons(), TButtonSet{btPlay});
        EXPECT_FALSE(player.MCIOpened());
    }
    // These never raise.
    EXPECT_EQ(player.Position(), 0);
    EXPECT_EQ(player.DeviceID(), 0);
    player.Close();
    player.Close();
    SetPlayerVolume(&player, 300);
    EXPECT_EQ(GetPlayerVolume(&player), 1000);
    settle();
    EXPECT_TRUE(notices.empty());
}

TEST_F(ClipPlayerTest, OpenSetsTheFieldsAndCloseClearsThem) {
    QSignalSpy redraws(&player, &ClipPlayer::redrawFromSet);
    open(wav("a.wav", 12345));
    EXPECT_TRUE(player.MCIOpened());
    EXPECT_NE(player.DeviceID(), 0);
    EXPECT_EQ(player.Error(), 0);
    EXPECT_EQ(player.Length(), 12345);
    EXPECT_EQ(player.Frames(), 1234);
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_EQ(player.Position(), 0);
    EXPECT_TRUE(player.canPlay());
    EXPECT_FALSE(player.canRecord());
    EXPECT_EQ(player.Capabilities(), TMPDevCapsSet{mpCanPlay});
    EXPECT_EQ(player.autoButtons(), (TButtonSet{btNext, btPrev, btPlay}));
    EXPECT_EQ(GetPlayerVolume(&player), 1000);
    EXPECT_EQ(redraws.count(), 1);

    const quint16 first = player.DeviceID();
    open(wav("b.wav", 500)); // Open on an open player closes the first clip
    EXPECT_NE(player.DeviceID(), first);
    EXPECT_EQ(player.Length(), 500);
    EXPECT_EQ(redraws.count(), 3); // Close, then Open

    player.Close();
    EXPECT_FALSE(player.MCIOpened());
    EXPECT_EQ(player.DeviceID(), 0);
    EXPECT_TRUE(player.autoButtons().empty());
    EXPECT_EQ(player.Mode(), mpNotReady);
    EXPECT_EQ(redraws.count(), 4);
    player.Close(); // twice: nothing
    EXPECT_EQ(redraws.count(), 4);
}

TEST_F(ClipPlayerTest, FailedOpenClosesThePreviousClipAndKeepsTheName) {
    open(wav("a.wav", 300));
    player.Play();
    const QString bad = QString::fromStdString(dir.file("missing.wav"));
    player.setFileName(bad);
    EXPECT_EQ(deviceError([&] { player.Open(); }),
              QStringLiteral("ファイルが見つかりません: ") + bad);
    EXPECT_FALSE(player.MCIOpened());
    EXPECT_EQ(player.DeviceID(), 0);
    EXPECT_NE(player.Error(), 0);
    EXPECT_EQ(player.FileName(), bad);
    EXPECT_EQ(player.Mode(), mpNotReady);

    const QString noise = QString::fromStdString(dir.file("noise.mp3"));
    testsupport::writeBytes(noise.toStdString(), std::string(5000, '\x5a'));
    player.setFileName(noise);
    EXPECT_EQ(deviceError([&] { player.Open(); }),
              QStringLiteral("対応していない形式か、壊れたファイルです: ") + noise);
    EXPECT_EQ(deviceError([&] { player.Play(); }), kNotOpen);

    // A folder and a FIFO: refused at once, never waited on.
    const QString folder = QString::fromStdString(dir.file("folder.wav"));
    std::filesystem::create_directory(folder.toStdString());
    const QString fifo = QString::fromStdString(dir.file("pipe.wav"));
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    for (const QString& path : {folder, fifo}) {
        player.setFileName(path);
        EXPECT_EQ(deviceError([&] { player.Open(); }),
                  QStringLiteral("通常のファイルではありません: ") + path);
        EXPECT_FALSE(player.MCIOpened());
    }
    // The interrupted playback still gets its one notice.
    settle();
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(ClipPlayerTest, PlayToTheEndGivesOneSuccessfulNoticeWithPositionAtLength) {
    QSignalSpy redraws(&player, &ClipPlayer::redrawFromSet);
    open(wav("a.wav", 250));
    player.setAutoButtons(TButtonSet{btPause, btStop}); // as the strip sets it while playing
    player.Play();
    EXPECT_EQ(player.Mode(), mpPlaying);
    ASSERT_TRUE(waitFor([&] { return !notices.empty(); }));
    EXPECT_EQ(notices, std::vector<TMPNotifyValues>{nvSuccessful});
    EXPECT_EQ(player.NotifyValue(), nvSuccessful);
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_EQ(player.Position(), player.Length());
    EXPECT_EQ(player.autoButtons(), TButtonSet{btPlay}); // the notice re-enabled Play
    EXPECT_EQ(redraws.count(), 2);
    settle();
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_EQ(player.Position(), player.Length()); // stays at the end

    // Play at the end starts again from the beginning (AutoRewind).
    player.Play();
    EXPECT_EQ(player.Mode(), mpPlaying);
    EXPECT_LT(player.Position(), 100);
    ASSERT_TRUE(waitFor([&] { return notices.size() == 2; }));
    EXPECT_EQ(notices.back(), nvSuccessful);
}

TEST_F(ClipPlayerTest, APreparedClipCountsItsTrimmedPartAndKeepsItAcrossOpen) {
    // Set before the clip opens: the clock counts 100..400 ms of the 500 ms clip.
    player.setPreparation({100, 400, 20, 50, -60});
    open(wav("a.wav", 500));
    EXPECT_EQ(player.Length(), 300);
    EXPECT_EQ(player.Frames(), 30);
    player.Play();
    ASSERT_TRUE(waitFor([&] { return !notices.empty(); }));
    EXPECT_EQ(notices, std::vector<TMPNotifyValues>{nvSuccessful});
    EXPECT_EQ(player.Position(), 300);
    // Changed while open: the out point past the end stands for the end.
    player.setPreparation({100, 9000, 0, 0, 0});
    EXPECT_EQ(player.Length(), 400);
    EXPECT_EQ(player.Position(), 0); // at the in point
    player.Close();
    open(wav("b.wav", 250));
    EXPECT_EQ(player.Length(), 150);
}

TEST_F(ClipPlayerTest, InterruptedPlaybackNoticeArrivesOnceAfterTheCallReturns) {
    open(wav("a.wav", 3000));
    for (const char* how : {"Stop", "Rewind", "Next", "Previous", "Close", "Play", "PauseOnly"}) {
        SCOPED_TRACE(how);
        if (!player.MCIOpened())
            open(player.FileName());
        notices.clear();
        player.Rewind();
        player.Play();
        QTest::qWait(60);
        const std::string h = how;
        if (h == "Stop")
            player.Stop();
        else if (h == "Rewind")
            player.Rewind();
        else if (h == "Next")
            player.Next();
        else if (h == "Previous")
            player.Previous();
        else if (h == "Close")
            player.Close();
        else if (h == "Play")
            player.Play();
        else
            player.PauseOnly();
        EXPECT_TRUE(notices.empty()); // not inside the call
        settle();
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_TRUE(notices[0] == nvAborted || notices[0] == nvSuperseded);
        if (h == "Play") {
            // The new playback owes its own notice; end it.
            player.Stop();
            settle();
            EXPECT_EQ(notices.size(), 2u);
        }
    }
}

TEST_F(ClipPlayerTest, PlaybackOverBeforeItsNoticeArrivedIsStillSuccessful) {
    open(wav("a.wav", 100));
    for (const char* how : {"Stop", "Play", "Close", "Open"}) {
        SCOPED_TRACE(how);
        if (!player.MCIOpened())
            open(player.FileName());
        notices.clear();
        player.Play();
        // The clip ends while the UI thread is busy: its notice cannot arrive yet.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (player.Mode() != mpStopped && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(player.Mode(), mpStopped);
        const std::string h = how;
        if (h == "Stop")
            player.Stop();
        else if (h == "Play")
            player.Play();
        else if (h == "Close")
            player.Close();
        else { // another clip starts: the stale end is not taken for its end
            open(wav("long.wav", 5000));
            player.Play();
        }
        settle();
        ASSERT_GE(notices.size(), 1u);
        EXPECT_EQ(notices[0], nvSuccessful);
        if (h == "Play") {
            ASSERT_TRUE(waitFor([&] { return notices.size() == 2; }));
            EXPECT_EQ(notices[1], nvSuccessful); // the new playback's own
        }
        settle();
        EXPECT_EQ(notices.size(), h == "Play" ? 2u : 1u);
    }
    // The other clip still plays and owes its own notice.
    EXPECT_EQ(player.Mode(), mpPlaying);
    player.Stop();
    settle();
    EXPECT_EQ(notices, (std::vector<TMPNotifyValues>{nvSuccessful, nvAborted}));
}

TEST_F(ClipPlayerTest, StopKeepsThePositionAndPlayContinuesFromIt) {
    open(wav("a.wav", 3000));
    player.Play();
    QTest::qWait(300);
    player.Stop();
    const qint32 stoppedAt = player.Position();
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_GT(stoppedAt, 150);
    EXPECT_LT(stoppedAt, 1500);
    QTest::qWait(100);
    EXPECT_EQ(player.Position(), stoppedAt);
    player.Play();
    EXPECT_GE(player.Position(), stoppedAt);
    QTest::qWait(100);
    EXPECT_GT(player.Position(), stoppedAt + 30);

    // Rewind stops at 0; Next goes to the end.
    player.Rewind();
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_EQ(player.Position(), 0);
    player.Next();
    EXPECT_EQ(player.Position(), player.Length());
    player.Previous();
    EXPECT_EQ(player.Position(), 0);
}

TEST_F(ClipPlayerTest, PauseAndResumeOwnTheirNotices) {
    open(wav("a.wav", 400));
    player.Play();
    QTest::qWait(50);
    player.Pause();
    EXPECT_EQ(player.Mode(), mpPaused);
    const qint32 at = player.Position();
    settle();
    EXPECT_EQ(notices.size(), 1u); // the paused playback is over
    EXPECT_EQ(player.Position(), at);
    player.Pause(); // resumes
    EXPECT_EQ(player.Mode(), mpPlaying);
    ASSERT_TRUE(waitFor([&] { return notices.size() == 2; }));
    EXPECT_EQ(notices.back(), nvSuccessful);
    EXPECT_EQ(player.Position(), player.Length());
    // Resume on a stopped clip plays it (from the start, since it stands at the end).
    player.Resume();
    EXPECT_EQ(player.Mode(), mpPlaying);
    player.Stop();
    settle();
    EXPECT_EQ(notices.size(), 3u);
}

TEST_F(ClipPlayerTest, DeviceFailureGivesAFailureNotice) {
    open(wav("a.wav", 3000));
    player.Play();
    QTest::qWait(50);
    engine.reportDeviceFailure();
    ASSERT_TRUE(waitFor([&] { return !notices.empty(); }));
    EXPECT_EQ(notices, std::vector<TMPNotifyValues>{nvFailure});
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_LT(player.Position(), player.Length());
    EXPECT_GT(player.Position(), 0);
    settle();
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(ClipPlayerTest, AnAudioDeviceOnlyPlays) {
    open(wav("a.wav", 1000));
    player.Step();
    player.Back();
    player.Eject();
    EXPECT_EQ(player.Position(), 0);
    EXPECT_EQ(player.Mode(), mpStopped);
    player.StartRecording();
    EXPECT_NE(player.Error(), 0);
    EXPECT_EQ(player.Mode(), mpStopped);
    settle();
    EXPECT_TRUE(notices.empty()); // a refused command owes no notice
    // Play and Stop in quick turns: each playback plays, stops and owes one notice.
    for (int i = 0; i < 20; ++i) {
        player.Play();
        EXPECT_EQ(player.Mode(), mpPlaying);
        player.Stop();
        EXPECT_EQ(player.Mode(), mpStopped);
    }
    settle();
    EXPECT_EQ(notices, std::vector<TMPNotifyValues>(20, nvAborted));
}

TEST_F(ClipPlayerTest, SettingFileNameWhilePlayingChangesNothing) {
    const QString a = wav("a.wav", 2000);
    open(a);
    player.Play();
    const quint16 id = player.DeviceID();
    player.setFileName(wav("b.wav", 500));
    QTest::qWait(30);
    EXPECT_EQ(player.Mode(), mpPlaying);
    EXPECT_EQ(player.DeviceID(), id);
    EXPECT_EQ(player.Length(), 2000);
    player.Open(); // the next Open closes the playing clip first
    EXPECT_EQ(player.Length(), 500);
    EXPECT_EQ(player.Mode(), mpStopped);
    settle();
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(ClipPlayerTest, VolumeBelongsToTheOpenClip) {
    open(wav("a.wav", 500));
    SetPlayerVolume(&player, 250);
    EXPECT_EQ(GetPlayerVolume(&player), 250);
    SetPlayerVolume(&player, 0); // silent, not one step above
    EXPECT_EQ(GetPlayerVolume(&player), 0);
    open(player.FileName()); // a fresh clip starts at full volume
    EXPECT_EQ(GetPlayerVolume(&player), 1000);
    player.Close();
    SetPlayerVolume(&player, 10);
    EXPECT_EQ(GetPlayerVolume(&player), 1000);
}

TEST_F(ClipPlayerTest, NoticeOfADestroyedPlayerIsDropped) {
    auto* other = new ClipPlayer(engine, 1);
    int count = 0;
    QObject::connect(other, &ClipPlayer::OnNotify, [&] { ++count; });
    other->setFileName(wav("a.wav", 100));
    other->Open();
    other->Play();
    other->Stop(); // a notice is queued
    delete other;
    settle();
    EXPECT_EQ(count, 0);
}

TEST_F(ClipPlayerTest, RestartEndsTheSoundingPlaybackAsAStopAndOwesANoticeOfItsOwn) {
    open(wav("a.wav", 600));
    player.Play();
    ASSERT_TRUE(waitFor([&] { return player.Position() >= 150; }));
    player.Restart();
    EXPECT_EQ(player.Mode(), mpPlaying);
    EXPECT_LT(player.Position(), 100);
    EXPECT_TRUE(notices.empty()); // not inside the call
    ASSERT_TRUE(waitFor([&] { return notices.size() == 2; }));
    EXPECT_EQ(notices, (std::vector<TMPNotifyValues>{nvAborted, nvSuccessful}));
    EXPECT_EQ(player.Position(), player.Length());

    // On a player that does not sound, Restart is Play: from where it stands.
    player.Previous();
    player.Play();
    ASSERT_TRUE(waitFor([&] { return player.Position() >= 150; }));
    player.PauseOnly();
    const qint32 at = player.Position();
    player.Restart();
    EXPECT_EQ(player.Mode(), mpPlaying);
    EXPECT_GE(player.Position(), at);
    player.Stop();
    settle();
    EXPECT_EQ(notices.size(), 4u); // the pause ended one, the stop another
}

TEST_F(ClipPlayerTest, FadeOutPlaysOnUntilItEndsThenStandsStoppedAtTheStart) {
    open(wav("a.wav", 5000));
    player.FadeOut(300); // not sounding: nothing
    EXPECT_FALSE(player.fading());
    player.Play();
    ASSERT_TRUE(waitFor([&] { return player.Position() >= 100; }));
    player.setAutoButtons(TButtonSet{btPause, btStop}); // as the strip sets it while playing
    player.FadeOut(300);
    EXPECT_TRUE(player.fading());
    EXPECT_EQ(player.Mode(), mpPlaying);
    ASSERT_TRUE(waitFor([&] { return !notices.empty(); }));
    EXPECT_EQ(notices, std::vector<TMPNotifyValues>{nvAborted});
    EXPECT_FALSE(player.fading());
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_EQ(player.Position(), 0);
    EXPECT_TRUE(player.autoButtons().contains(btPlay));

    // FadeOut(0) during a fade: stopped and rewound at once, one notice.
    player.Play();
    player.FadeOut(2000);
    player.FadeOut(0);
    EXPECT_FALSE(player.fading());
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_EQ(player.Position(), 0);
    settle();
    EXPECT_EQ(notices.size(), 2u);

    // Play during a fade: the fade is cut and the clip starts again from the beginning.
    player.Play();
    ASSERT_TRUE(waitFor([&] { return player.Position() >= 200; }));
    player.FadeOut(2000);
    player.Play();
    EXPECT_FALSE(player.fading());
    EXPECT_EQ(player.Mode(), mpPlaying);
    EXPECT_LT(player.Position(), 100);
    settle();
    EXPECT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices.back(), nvAborted);
    player.Stop();
}

TEST_F(ClipPlayerTest, ALoopingPlayerRepeatsWithoutNoticesUntilTheLoopIsOff) {
    player.setLooping(true); // held across Open, as the pad's switch is
    open(wav("a.wav", 200));
    EXPECT_TRUE(player.looping());
    player.Play();
    // Past several ends it still plays, gone back to the start, and no notice came.
    ASSERT_TRUE(waitFor([&] { return player.Position() >= 150; }));
    ASSERT_TRUE(waitFor([&] { return player.Position() < 50; }));
    QTest::qWait(500);
    EXPECT_EQ(player.Mode(), mpPlaying);
    EXPECT_TRUE(notices.empty());
    player.setLooping(false);
    ASSERT_TRUE(waitFor([&] { return !notices.empty(); }));
    EXPECT_EQ(notices, std::vector<TMPNotifyValues>{nvSuccessful});
    EXPECT_EQ(player.Position(), player.Length());
    EXPECT_EQ(player.Mode(), mpStopped);
}
