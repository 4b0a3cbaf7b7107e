// The main window's creation and close moments, with the real data folder and placement file
// in an isolated environment.

#include "cuedeck.h"
#include "dialog_support.h"
#include "engine.h"
#include "placement.h"
#include "shell_testenv.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>

namespace {

class MainWindowLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        program = env.root() + "/program/";
        for (const char* name : {"sound", "image", "conf"})
            writeFile(program + name + "/starter-" + name, name);
    }
    QString placementFile() const { return env.dataFolder() + "/conf/" + title() + ".ini"; }
    static QString title() { return QStringLiteral("shell_window_test"); }

    IsolatedEnvironment env;
    DialogRecorder dialogs;
    QString program;
    media::Engine engine{media::Engine::Options{media::Engine::Output::None}};
};

} // namespace

TEST_F(MainWindowLifecycle, FirstCreationSeedsAndTakesTheDefaultPlacement) {
    Tfcuedeck w(engine, program);
    EXPECT_EQ(w.objectName(), "fcuedeck");
    EXPECT_EQ(w.windowTitle(), "CUEDECK");
    EXPECT_EQ(w.startup, 0);
    EXPECT_EQ(w.DataFolder, env.dataFolder());
    EXPECT_EQ(dialogs.plain.size(), 2);
    EXPECT_EQ(dialogs.errors, QStringList());
    EXPECT_TRUE(QFileInfo::exists(env.dataFolder() + "/conf/starter-conf"));
    EXPECT_TRUE(QFileInfo(env.dataFolder() + "/temp").isDir());
    EXPECT_EQ(w.pos(), QPoint(5, 5));
    EXPECT_EQ(w.size(), QSize(1747, 880));
}

TEST_F(MainWindowLifecycle, StoredPlacementIsAppliedAndSavedAtEveryCloseRequest) {
    QDir().mkpath(env.dataFolder() + "/conf");
    SaveWindowPlacement(env.dataFolder(), title(), 40, 30, 640, 480);
    {
        Tfcuedeck w(engine, program);
        EXPECT_EQ(w.pos(), QPoint(30, 40));
        EXPECT_EQ(w.size(), QSize(640, 480));

        w.move(60, 70);
        w.resize(700, 500);
        QCloseEvent request;
        QCoreApplication::sendEvent(&w, &request);
        EXPECT_TRUE(request.isAccepted());
        EXPECT_EQ(w.startup, 1);
        EXPECT_EQ(readFile(placementFile()), "[Screen_Top]=70\r\n[Screen_Left]=60\r\n"
                                             "[Screen_Width]=700\r\n[Screen_Height]=500\r\n");
    }
    // The next window opens where this one was closed.
    Tfcuedeck again(engine, program);
    EXPECT_EQ(again.geometry().topLeft(), QPoint(60, 70));
    EXPECT_EQ(again.size(), QSize(700, 500));
    EXPECT_EQ(dialogs.errors, QStringList());
}

TEST_F(MainWindowLifecycle, PlacementOffEveryScreenIsReplacedByTheDefault) {
    QDir().mkpath(env.dataFolder() + "/conf");
    SaveWindowPlacement(env.dataFolder(), title(), 50000, 50000, 640, 480);
    Tfcuedeck w(engine, program);
    EXPECT_EQ(w.pos(), QPoint(5, 5));
    EXPECT_EQ(w.size(), QSize(1747, 880));
}

TEST_F(MainWindowLifecycle, SeedingErrorIsShownAndSkipsTheRestOfCreation) {
    // "sound" and "conf" were prepared on an earlier start, with a stored placement; the
    // shipped "image" folder has gone missing.
    QDir().mkpath(env.dataFolder() + "/sound");
    QDir().mkpath(env.dataFolder() + "/conf");
    SaveWindowPlacement(env.dataFolder(), title(), 40, 30, 640, 480);
    QDir(program + "image").removeRecursively();

    Tfcuedeck w(engine, program);
    EXPECT_EQ(dialogs.errors, QStringList({"指定されたパスが見つかりません."}));
    EXPECT_EQ(dialogs.plain,
              QStringList({"初期ファイルを設定しました。\r\n" + env.dataFolder() + "/image"}));
    EXPECT_EQ(w.DataFolder, env.dataFolder()); // kept for the handlers that follow
    EXPECT_FALSE(QFileInfo::exists(env.dataFolder() + "/temp"));
    EXPECT_EQ(w.size(), QSize(1747, 880)); // layout size: the stored placement was skipped
    EXPECT_NE(w.pos(), QPoint(30, 40));

    // The window still works: a close request still records its placement.
    QCloseEvent request;
    QCoreApplication::sendEvent(&w, &request);
    EXPECT_TRUE(request.isAccepted());
    EXPECT_TRUE(readFile(placementFile()).contains("[Screen_Width]=1747\r\n"));
}
