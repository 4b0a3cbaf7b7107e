// End-to-end tests of the application shell: first start and seeding, the second copy, the
// window placement across starts, a missing starter folder.

#include "e2e_harness.h"

#include <gtest/gtest-spi.h>

using namespace e2e;

namespace {

// A program folder with one starter file in each of "sound", "image" and "conf".
class ShellEndToEnd : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        if (HasFatalFailure())
            return;
        writeFile(programFolder() + "sound/chime.wav", "RIFF");
        writeFile(programFolder() + "image/logo.png", "PNG");
        writeFile(programFolder() + "conf/setlist1.cdk", "[PLAYBTN1]=x\r\n");
    }
};

} // namespace

TEST_F(ShellEndToEnd, FirstStartSeedsAnnouncesTwiceThenOpensAndSavesItsPlacement) {
    QProcess* app = launch();
    const qint64 pid = app->processId();

    // The two seeding messages come first, one after the other, before the main window.
    for (const char* folder : {"sound", "image"}) {
        ASSERT_TRUE(answerNextBox(pid, QStringLiteral("first-start-%1").arg(folder), [&] {
            EXPECT_TRUE(windows(pid, "CUEDECK").isEmpty()) << "main window before " << folder;
            EXPECT_TRUE(QFileInfo(dataFolder() + "/" + folder).isDir());
        }));
    }
    const QString main = waitForWindow(pid, "CUEDECK");
    ASSERT_FALSE(main.isEmpty());
    screenshot("first-start-main-window");
    EXPECT_TRUE(windows(pid, "cuedeck").isEmpty());

    const Geometry g = geometryOf(main);
    EXPECT_EQ(g.x, 5);
    EXPECT_EQ(g.y, 5);
    EXPECT_EQ(g.width, 1747);
    EXPECT_EQ(g.height, 880);

    EXPECT_EQ(readFile(dataFolder() + "/sound/chime.wav"), "RIFF");
    EXPECT_EQ(readFile(dataFolder() + "/image/logo.png"), "PNG");
    EXPECT_EQ(readFile(dataFolder() + "/conf/setlist1.cdk"), "[PLAYBTN1]=x\r\n");
    EXPECT_TRUE(QDir(dataFolder() + "/temp").isEmpty());

    requestClose(main);
    expectCleanExit(app);
    EXPECT_EQ(readFile(dataFolder() + "/conf/cuedeck.ini"),
              "[Screen_Top]=5\r\n[Screen_Left]=5\r\n[Screen_Width]=1747\r\n"
              "[Screen_Height]=880\r\n");
}

TEST_F(ShellEndToEnd, SecondCopyShowsItsMessageAndEndsWithoutTouchingAnything) {
    prepareDataFolder();
    QProcess* first = nullptr;
    const QString main = startToMainWindow(&first);
    ASSERT_FALSE(main.isEmpty());
    const QMap<QString, QString> before = snapshot(root());

    QProcess* second = launch();
    const QString box = waitForWindow(second->processId(), "cuedeck");
    ASSERT_FALSE(box.isEmpty());
    screenshot("second-copy-message");
    EXPECT_TRUE(windows(second->processId(), "CUEDECK").isEmpty());
    pressReturn(box);
    expectCleanExit(second);

    EXPECT_EQ(snapshot(root()), before);
    // The first copy runs on undisturbed.
    EXPECT_EQ(first->state(), QProcess::Running);
    requestClose(main);
    expectCleanExit(first);
}

TEST_F(ShellEndToEnd, RenamedProgramKeepsItsOwnPlacementAcrossStarts) {
    prepareDataFolder();
    installProgram("CueDeck2.bin"); // title "Cuedeck2"
    writeFile(dataFolder() + "/conf/Cuedeck2.ini",
              "[Screen_Top]=100\r\n[Screen_Left]=200\r\n[Screen_Width]=800\r\n"
              "[Screen_Height]=600\r\n");

    QProcess* app = nullptr;
    QString main = startToMainWindow(&app);
    ASSERT_FALSE(main.isEmpty());
    Geometry g = geometryOf(main);
    EXPECT_EQ(g.x, 200);
    EXPECT_EQ(g.y, 100);
    EXPECT_EQ(g.width, 800);
    EXPECT_EQ(g.height, 600);

    // The user moves and resizes the window, then closes it.
    tool("xdotool", {"windowmove", "--sync", main, "300", "150"});
    tool("xdotool", {"windowsize", "--sync", main, "900", "640"});
    QThread::msleep(300);
    requestClose(main);
    expectCleanExit(app);
    EXPECT_EQ(readFile(dataFolder() + "/conf/Cuedeck2.ini"),
              "[Screen_Top]=150\r\n[Screen_Left]=300\r\n[Screen_Width]=900\r\n"
              "[Screen_Height]=640\r\n");
    EXPECT_FALSE(QFileInfo::exists(dataFolder() + "/conf/cuedeck.ini"));

    // The next start opens where the window was closed.
    main = startToMainWindow(&app);
    ASSERT_FALSE(main.isEmpty());
    g = geometryOf(main);
    EXPECT_EQ(g.x, 300);
    EXPECT_EQ(g.y, 150);
    EXPECT_EQ(g.width, 900);
    EXPECT_EQ(g.height, 640);
    requestClose(main);
    expectCleanExit(app);
}

TEST_F(ShellEndToEnd, MissingStarterFolderIsReportedAndTheWindowStillOpens) {
    QDir(programFolder() + "image").removeRecursively();
    QProcess* app = launch();
    const qint64 pid = app->processId();
    // A wait for the main window while a message box holds the program fails at once, naming
    // the box, rather than when the wait runs out.
    static qint64 waiting;
    waiting = pid;
    EXPECT_NONFATAL_FAILURE(waitForWindow(waiting, "CUEDECK"),
                            "the program shows the message box cuedeck while the test waits");
    // "sound" and "image" are announced, then the error box names the missing folder.
    ASSERT_TRUE(answerNextBox(pid, {}));
    ASSERT_TRUE(answerNextBox(pid, {}));
    ASSERT_TRUE(answerNextBox(pid, "missing-starter-folder", [&] {
        EXPECT_TRUE(QFileInfo(dataFolder() + "/image").isDir());
        EXPECT_FALSE(QFileInfo::exists(dataFolder() + "/conf"));
    }));
    // Without "conf" the baseline of set list 1 cannot be written: that is reported too.
    ASSERT_TRUE(answerNextBox(pid, {}));
    const QString main = waitForWindow(pid, "CUEDECK");
    ASSERT_FALSE(main.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(dataFolder() + "/conf"));
    EXPECT_FALSE(QFileInfo::exists(dataFolder() + "/temp"));
    const Geometry g = geometryOf(main);
    EXPECT_EQ(g.width, 1747);
    EXPECT_EQ(g.height, 880);
    requestClose(main);
    // With no baseline the board counts as changed: the quit question, then the report that
    // "def.conf" could not be written; the close goes on.
    ASSERT_TRUE(answerNextBox(pid, {}, {}, QStringLiteral("確認")));
    ASSERT_TRUE(answerNextBox(pid, {}));
    expectCleanExit(app);
    // The close request still records the placement; "conf" was never created, so there is
    // nowhere to write it, and the close goes on.
    EXPECT_FALSE(QFileInfo::exists(dataFolder() + "/conf"));
}
