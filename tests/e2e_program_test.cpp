// End-to-end tests of the whole program as a newcomer meets it: the first start with the demo
// set list and a pad that sounds, a normal exit, a slot switch over unsaved changes, the exit
// button with unsaved changes and the help button.

#include "e2e_harness.h"

#include <QPoint>
#include <QUrl>

#include <cmath>
#include <iostream>
#include <optional>

using namespace e2e;

namespace {

// Places in the main window's client area, from its fixed layout.
constexpr int kColumnLeft = 209;     // right of the side panel: the column of buttons
constexpr int kSectionHeader = 24;   // header of a collapsible section
constexpr int kColumnButton = 40;    // height of a column button
constexpr int kSetListSection = 429; // header plus ten buttons and the section's margin

QPoint setListButton(int slot) {
    return {kColumnLeft + 98, kSectionHeader + kColumnButton * (slot - 1) + kColumnButton / 2};
}

// The `index`th button (from 1) of the "システム" section.
QPoint systemButton(int index) {
    return {kColumnLeft + 98,
            kSetListSection + kSectionHeader + kColumnButton * (index - 1) + kColumnButton / 2};
}

// A point on the groove of pad `pad`'s volume slider (290 x 28 at (5, 280) in the pad frame),
// near its left end, well away from the handle of any volume above 100. The groove is a thin
// line above the tick marks, 9 px below the slider's top; a click beside it does nothing.
QPoint volumeGroove(int pad) {
    const int frameX = kColumnLeft + 206 + 316 * ((pad - 1) % 4);
    const int frameY = 26 + 410 * ((pad - 1) / 4);
    return {frameX + 5 + 20, frameY + 280 + 9};
}

// Index of the first audible sample, if any.
std::optional<size_t> firstSound(const std::vector<float>& samples) {
    for (size_t i = 0; i < samples.size(); ++i)
        if (audible(samples[i]))
            return i;
    return std::nullopt;
}

// Number of silent samples after the last audible one; nullopt when nothing was audible.
std::optional<size_t> trailingSilence(const std::vector<float>& samples) {
    for (size_t i = samples.size(); i-- > 0;)
        if (audible(samples[i]))
            return samples.size() - 1 - i;
    return std::nullopt;
}

// Seconds of output, in samples of the stereo stream at the engine's rate.
constexpr size_t kSamplesPerSecond = 48000 * 2;

// A board of eight reset pads as the set list format writes it.
QStringList emptyBoard() {
    QStringList lines{"[Version]=1.00"};
    const QString keys = QStringLiteral("QWERASDF");
    for (int n = 1; n <= 8; ++n) {
        lines << QStringLiteral("[FILENAME%1]=").arg(n)
              << QStringLiteral("[PLAYBTN%1]=PLAY SOUND(&%2)").arg(n).arg(keys[n - 1])
              << QStringLiteral("[IMAGE%1]=").arg(n) << QStringLiteral("[VOLUME%1]=1000").arg(n);
    }
    return lines;
}

// The value of `key` ("[VOLUME1]") in set list lines; "<none>" when absent.
QString valueOf(const QStringList& lines, const QString& key) {
    for (const QString& line : lines)
        if (line.section(u'=', 0, 0) == key)
            return line.section(u'=', 1);
    return QStringLiteral("<none>");
}

// `lines` without the line of `key`, to compare everything else.
QStringList without(QStringList lines, const QString& key) {
    lines.removeIf([&](const QString& line) { return line.section(u'=', 0, 0) == key; });
    return lines;
}

// The real program folder: the executable with the starter files the build puts beside it.
class ProgramEndToEnd : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        if (HasFatalFailure())
            return;
        installStarterFiles();
        m_starter = readLines(programFolder() + "conf/setlist1.cdk");
        ASSERT_EQ(m_starter.size(), 33);
        ASSERT_TRUE(QFileInfo(valueOf(m_starter, "[FILENAME1]")).isFile());
    }

    QString conf(const QString& name) const { return dataFolder() + "/conf/" + name; }

    // Starts on a seeded data folder and waits until set list 1 is loaded and its baseline
    // taken.
    QString startWithDemoSetList(QProcess** app) {
        seedDemoSetList();
        const QString main = startToMainWindow(app);
        if (main.isEmpty()) {
            ADD_FAILURE() << "program state " << (*app)->state() << ", exit code "
                          << (*app)->exitCode() << ", exit status " << (*app)->exitStatus();
            if ((*app)->state() == QProcess::Running)
                saveBacktrace((*app)->processId(), "no-main-window-backtrace");
            return main;
        }
        EXPECT_TRUE(waitUntil([&] { return readLines(conf("setlist.bak")) == m_starter; }))
            << readFile(conf("setlist.bak")).toStdString();
        return main;
    }

    QStringList m_starter; // set list 1 as shipped
};

} // namespace

TEST_F(ProgramEndToEnd, FirstStartLoadsTheDemoSetListAndQPlaysPadOne) {
    const RecordedOutput out = recordOutput();
    QProcess* app = launch();
    const qint64 pid = app->processId();

    // "sound" and "image" are announced one after the other, before the main window.
    for (const char* folder : {"sound", "image"}) {
        ASSERT_TRUE(answerNextBox(pid, {}, [&] {
            EXPECT_TRUE(windows(pid, "CUEDECK").isEmpty()) << "main window before " << folder;
        }));
    }
    const QString main = waitForWindow(pid, "CUEDECK");
    ASSERT_FALSE(main.isEmpty());

    // Set list 1 came from the program folder and is loaded: its baseline is the same board.
    EXPECT_EQ(readLines(conf("setlist1.cdk")), m_starter);
    EXPECT_TRUE(waitUntil([&] { return readLines(conf("setlist.bak")) == m_starter; }))
        << readFile(conf("setlist.bak")).toStdString();
    EXPECT_EQ(readFile(conf("setlist.bak")).count("\r\n"), 33);
    QThread::msleep(300); // let the pictures paint
    screenshot("main-window");

    // The output runs from the start and stays silent while nothing is pressed.
    ASSERT_TRUE(waitUntil([&] { return out.bytes() >= RecordedOutput::kFrameBytes * 24000; }))
        << "the disk driver wrote " << out.bytes() << " bytes";
    const std::vector<float> before = out.samplesFrom(0);
    EXPECT_FALSE(firstSound(before).has_value()) << "sound before any key";

    // A plain Q with the focus on the window plays pad 1.
    const qint64 q = out.bytes();
    pressKeys(main, "q");
    ASSERT_TRUE(waitUntil([&] { return firstSound(out.samplesFrom(q)).has_value(); }, 10000))
        << "no sound after Q";
    // Let the clip play to its end: the output falls silent again.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto silence = trailingSilence(out.samplesFrom(q));
            return silence && *silence >= kSamplesPerSecond / 4;
        },
        15000))
        << "the clip does not end";
    // What arrived is pad 1's clip, the demo chime (3.4 s, peak 0.707), as float32 stereo
    // at 48 kHz: finite samples no louder than the clip itself, sounding for as long as the
    // chime lasts (the other demo clips are shorter or longer). Integer samples read as
    // floats, another rate or another pad would fail this.
    const std::vector<float> played = out.samplesFrom(q);
    float peak = 0;
    for (float s : played) {
        ASSERT_TRUE(std::isfinite(s));
        peak = std::max(peak, std::fabs(s));
    }
    EXPECT_GT(peak, 0.1f);
    EXPECT_LE(peak, 0.71f);
    const size_t first = *firstSound(played);
    const size_t last = played.size() - 1 - *trailingSilence(played);
    const double seconds = double(last - first) / kSamplesPerSecond;
    // Not shorter; a little longer is let pass, so that a starved read-ahead on a machine
    // busy with builds does not fail the test (the engine's own tests cover its timing).
    EXPECT_GE(seconds, 3.25);
    EXPECT_LE(seconds, 3.9);
    std::cerr << "pad 1 sounded for " << seconds << " s, peak " << peak << "\n";

    // Alt+Q, the caption's accelerator, plays it again.
    const qint64 altQ = out.bytes();
    pressKeys(main, "alt+q");
    EXPECT_TRUE(waitUntil([&] { return firstSound(out.samplesFrom(altQ)).has_value(); }, 10000))
        << "no sound after Alt+Q";

    requestClose(main);
    expectCleanExit(app);
}

TEST_F(ProgramEndToEnd, NormalExitWritesTheReleasedBoardAndThePlacement) {
    QProcess* app = nullptr;
    const QString main = startWithDemoSetList(&app);
    ASSERT_FALSE(main.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(conf("def.conf")));
    requestClose(main); // no change: no question
    expectCleanExit(app);

    // The pads are released before the board is written: every clip name is empty, the
    // captions, pictures and volumes are those of the moment of closing.
    const QByteArray bytes = readFile(conf("def.conf"));
    EXPECT_EQ(bytes.count("\r\n"), 33);
    EXPECT_EQ(bytes.count('\n'), 33);
    const QStringList lines = readLines(conf("def.conf"));
    ASSERT_EQ(lines.size(), 33);
    QStringList expected = m_starter;
    for (QString& line : expected) {
        if (line.startsWith(QLatin1String("[FILENAME")))
            line = line.section(u'=', 0, 0) + "=";
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(readFile(conf("cuedeck.ini")),
              "[Screen_Top]=5\r\n[Screen_Left]=5\r\n[Screen_Width]=1747\r\n"
              "[Screen_Height]=880\r\n");
}

TEST_F(ProgramEndToEnd, SlotSwitchAsksToSaveTheChangedSetListAndYesSavesIt) {
    QProcess* app = nullptr;
    const QString main = startWithDemoSetList(&app);
    ASSERT_FALSE(main.isEmpty());
    const qint64 pid = app->processId();

    const QPoint groove = volumeGroove(1);
    clickAt(main, groove.x(), groove.y());
    const QPoint slot2 = setListButton(2);
    clickAt(main, slot2.x(), slot2.y());

    // The question comes before anything is saved or loaded.
    ASSERT_TRUE(answerNextBox(
        pid, "slot-switch-question",
        [&] {
            EXPECT_EQ(readLines(conf("setlist1.cdk")), m_starter);
            EXPECT_EQ(readLines(conf("setlist.bak")), m_starter);
        },
        QStringLiteral("確認")));

    // Yes: slot 1 is saved with the new volume, then the empty slot 2 becomes the board.
    EXPECT_TRUE(waitUntil([&] { return readLines(conf("setlist.bak")) == emptyBoard(); }))
        << readFile(conf("setlist.bak")).toStdString();
    const QStringList saved = readLines(conf("setlist1.cdk"));
    bool ok = false;
    const int volume = valueOf(saved, "[VOLUME1]").toInt(&ok);
    EXPECT_TRUE(ok && volume >= 0 && volume < 800) << valueOf(saved, "[VOLUME1]").toStdString();
    EXPECT_EQ(without(saved, "[VOLUME1]"), without(m_starter, "[VOLUME1]"));
    EXPECT_FALSE(QFileInfo::exists(conf("setlist2.cdk")));
    EXPECT_EQ(windows(pid, QStringLiteral("確認")), QStringList());

    // Back to slot 1 without a change: no question holds the switch up, and the saved
    // volume comes back.
    const QPoint slot1 = setListButton(1);
    clickAt(main, slot1.x(), slot1.y());
    EXPECT_TRUE(waitUntil([&] { return readLines(conf("setlist.bak")) == saved; }))
        << readFile(conf("setlist.bak")).toStdString();

    // Another change, answered no: the switch goes ahead and slot 1's file stays as it was.
    clickAt(main, groove.x(), groove.y());
    clickAt(main, slot2.x(), slot2.y());
    ASSERT_TRUE(answerNextBox(pid, {}, {}, QStringLiteral("確認"), QStringLiteral("Escape")));
    EXPECT_TRUE(waitUntil([&] { return readLines(conf("setlist.bak")) == emptyBoard(); }));
    EXPECT_EQ(readLines(conf("setlist1.cdk")), saved);

    requestClose(main); // the fresh board is unchanged: no question
    expectCleanExit(app);
}

TEST_F(ProgramEndToEnd, ExitButtonWithChangesAsksAndNoKeepsTheWindowOpen) {
    QProcess* app = nullptr;
    const QString main = startWithDemoSetList(&app);
    ASSERT_FALSE(main.isEmpty());
    const qint64 pid = app->processId();
    ASSERT_FALSE(QFileInfo::exists(conf("cuedeck.ini")));

    const QPoint groove = volumeGroove(1);
    clickAt(main, groove.x(), groove.y());
    pressKeys(main, "alt+x");
    ASSERT_TRUE(
        answerNextBox(pid, "exit-question", {}, QStringLiteral("確認"), QStringLiteral("Escape")));

    // No: the window stays, nothing was saved, yet the placement was written.
    QThread::msleep(300);
    EXPECT_EQ(app->state(), QProcess::Running);
    EXPECT_EQ(windows(pid, "CUEDECK"), QStringList{main});
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(conf("cuedeck.ini")); }, 5000));
    EXPECT_EQ(readFile(conf("cuedeck.ini")),
              "[Screen_Top]=5\r\n[Screen_Left]=5\r\n[Screen_Width]=1747\r\n"
              "[Screen_Height]=880\r\n");
    EXPECT_EQ(readLines(conf("setlist1.cdk")), m_starter);
    EXPECT_FALSE(QFileInfo::exists(conf("def.conf")));

    // The exit button a second time: yes quits with the changed volume in the exit file.
    pressKeys(main, "alt+x");
    ASSERT_TRUE(answerNextBox(pid, {}, {}, QStringLiteral("確認")));
    expectCleanExit(app);
    EXPECT_EQ(readLines(conf("setlist1.cdk")), m_starter);
    const QStringList exitBoard = readLines(conf("def.conf"));
    EXPECT_NE(valueOf(exitBoard, "[VOLUME1]"), valueOf(m_starter, "[VOLUME1]"));
    EXPECT_EQ(valueOf(exitBoard, "[PLAYBTN1]"), valueOf(m_starter, "[PLAYBTN1]"));
}

TEST_F(ProgramEndToEnd, HelpOpensTheManualOfTheProgramFolder) {
    // A viewer that records what it is asked to open; the program's desktop services find
    // it first in PATH, as they would the desktop's xdg-open.
    const QString received = root() + "/viewer-arguments";
    const QString viewer = root() + "/viewer/xdg-open";
    writeFile(viewer, QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1.part'\n"
                                     "mv '%1.part' '%1'\n")
                          .arg(received)
                          .toUtf8());
    ASSERT_TRUE(QFile::setPermissions(viewer, QFile::ReadOwner | QFile::ExeOwner));
    setEnvironment("PATH", QFileInfo(viewer).path() + ":" + qEnvironmentVariable("PATH"));

    QProcess* app = nullptr;
    const QString main = startWithDemoSetList(&app);
    ASSERT_FALSE(main.isEmpty());
    // A manual in the data folder is not the one to open.
    writeFile(dataFolder() + "/help/index.html", "<html>data</html>");

    const QPoint help = systemButton(1);
    clickAt(main, help.x(), help.y());
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(received); }, 15000))
        << "the viewer was not started";
    EXPECT_EQ(readFile(received),
              QUrl::fromLocalFile(programFolder() + "help/index.html").toEncoded() + "\n");

    // The program goes on as before.
    EXPECT_EQ(app->state(), QProcess::Running);
    requestClose(main);
    expectCleanExit(app);
}

TEST_F(ProgramEndToEnd, AKilledSessionsBoardComesBackFromTheJournal) {
    QProcess* app = nullptr;
    QString main = startWithDemoSetList(&app);
    ASSERT_FALSE(main.isEmpty());
    // Pad 8 renamed through its menu (削除, 名称変更, ...), pad 1's volume moved.
    tool("xdotool", {"mousemove", "--window", main, "--sync", "1600", "500", "click", "3"});
    QThread::msleep(300); // the menu is up, and has the keyboard
    tool("xdotool", {"key", "Down", "Down", "Return"});
    const QString input = waitForWindow(app->processId(), QStringLiteral("確認"));
    ASSERT_FALSE(input.isEmpty());
    tool("xdotool", {"key", "--clearmodifiers", "ctrl+a"});
    tool("xdotool", {"type", "--delay", "20", "after"});
    pressReturn(input);
    const QPoint groove = volumeGroove(1);
    clickAt(main, groove.x(), groove.y());
    const QString journal = conf("board.journal");
    auto journaled = [&] {
        const QStringList lines = readLines(journal);
        return lines.mid(0, 3) == QStringList{"[Journal]=1", "[SetList]=1", "[Modified]=1"} &&
               valueOf(lines, "[PLAYBTN8]") == "after(&F)" &&
               valueOf(lines, "[VOLUME1]") != valueOf(m_starter, "[VOLUME1]");
    };
    ASSERT_TRUE(waitUntil(journaled, 5000)) << readFile(journal).toStdString();
    const QStringList before = readLines(journal);
    app->kill();
    ASSERT_TRUE(app->waitForFinished(kWaitMs));

    // Yes: the board is back, and the slot switch asks to save it.
    app = launch();
    ASSERT_TRUE(answerNextBox(app->processId(), "restore-question", {}, QStringLiteral("確認")));
    main = waitForWindow(app->processId(), "CUEDECK");
    ASSERT_FALSE(main.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return readLines(journal) == before; }, 5000))
        << readFile(journal).toStdString();
    EXPECT_EQ(readLines(conf("setlist.bak")), m_starter);
    const QPoint slot2 = setListButton(2);
    clickAt(main, slot2.x(), slot2.y());
    ASSERT_TRUE(answerNextBox(app->processId(), {}, {}, QStringLiteral("確認"), "Escape"));
    EXPECT_TRUE(waitUntil([&] { return valueOf(readLines(journal), "[SetList]") == "2"; }, 5000));
    app->kill();
    ASSERT_TRUE(app->waitForFinished(kWaitMs));

    // No: the journal is kept aside; a clean exit leaves no journal.
    app = launch();
    ASSERT_TRUE(answerNextBox(app->processId(), {}, {}, QStringLiteral("確認"), "Escape"));
    main = waitForWindow(app->processId(), "CUEDECK");
    ASSERT_FALSE(main.isEmpty());
    EXPECT_EQ(valueOf(readLines(journal + ".bak"), "[SetList]"), "2");
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(journal); }, 5000));
    requestClose(main);
    expectCleanExit(app);
    EXPECT_FALSE(QFileInfo::exists(journal));
}
