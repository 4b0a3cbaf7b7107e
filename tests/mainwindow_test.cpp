// The main window as a user sees it: every named control at its place with its caption and
// font, and the side column's commands reaching their handlers.

#include "categorypanel.h"
#include "cuedeck.h"
#include "dialog_support.h"
#include "engine.h"
#include "gradpan.h"
#include "padboard.h"
#include "remotecontrol.h"
#include "setlistslots.h"
#include "settingsdialog.h"
#include "shell_testenv.h"
#include "transportbar.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

namespace {

class MainWindow : public ::testing::Test, protected DialogRecorder {
protected:
    void SetUp() override {
        answer = dialogs::mrNo;
        window = std::make_unique<Tfcuedeck>(engine, program);
        window->show();
        QApplication::processEvents();
    }
    void TearDown() override { window.reset(); }

    template <typename T = QWidget> T* find(const char* name) const {
        T* w = window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    // Geometry of `w` in the coordinates of `ancestor`.
    static QRect rectIn(const QWidget* w, const QWidget* ancestor) {
        return QRect(w->mapTo(ancestor, QPoint(0, 0)), w->size());
    }

    IsolatedEnvironment env;
    QString program = env.makeProgramFolder();
    media::Engine engine{media::Engine::Options{media::Engine::Output::None}};
    std::unique_ptr<Tfcuedeck> window;
};

TEST_F(MainWindow, SidePanelAndBottomBarFrameThePadArea) {
    ASSERT_EQ(window->size(), QSize(1747, 880));
    const QWidget* client = window->centralWidget();
    EXPECT_EQ(window->font().family(), "メイリオ");
    EXPECT_EQ(window->font().pixelSize(), 13);

    auto* side = find<TGradPan>("GradPan9");
    EXPECT_EQ(rectIn(side, client), QRect(0, 0, 209, 849));
    EXPECT_EQ(side->BackGroundEffect(), TGradPan::bdDown);
    EXPECT_EQ(side->ColorEnd(), 12615808u);
    EXPECT_EQ(side->ColorStart(), 0u);
    EXPECT_EQ(side->ColorShadow(), 11776947u);
    EXPECT_EQ(side->Color(), 11776947u);
    EXPECT_EQ(side->BevelOuter(), TGradPan::bvNone);
    EXPECT_FALSE(side->Moveable());
    EXPECT_EQ(side->Bitmap()->width(), 50);
    EXPECT_EQ(side->Bitmap()->height(), 50);
    // The gradient is on screen: the top band in red 128, green 128, blue 192.
    EXPECT_EQ(side->grab().toImage().pixelColor(200, 3), QColor(128, 128, 192));

    EXPECT_EQ(find<QLabel>("Image33")->geometry(), QRect(56, 21, 70, 70));
    EXPECT_FALSE(find<QLabel>("Image33")->pixmap().isNull());
    auto* version = find<QLabel>("Ver3");
    EXPECT_EQ(version->text(), "Version 20180802A");
    EXPECT_EQ(version->geometry(), QRect(28, 97, 150, 22));
    EXPECT_TRUE(version->font().bold());
    auto* title = find<QLabel>("Label1");
    EXPECT_EQ(title->text(), "CUEDECK");
    EXPECT_EQ(title->geometry(), QRect(13, 125, 259, 32));
    EXPECT_EQ(title->font().pixelSize(), 19);
    EXPECT_EQ(find<QLabel>("Label14")->geometry(), QRect(13, 158, 192, 22));
    EXPECT_EQ(find<QLabel>("Label12")->geometry(), QRect(76, 5, 259, 32));

    EXPECT_EQ(rectIn(find("Panel1"), client), QRect(209, 0, 1538, 849));
    auto* bottom = find("Panel3");
    EXPECT_EQ(rectIn(bottom, client), QRect(0, 849, 1747, 31));
    auto* status = find<QStatusBar>("StatusBar1");
    EXPECT_EQ(rectIn(status, bottom), QRect(0, 12, 1747, 19));
    EXPECT_EQ(find<QLabel>("statusSlot")->width(), 50);
}

TEST_F(MainWindow, ColumnHoldsTheSetListAndSystemButtons) {
    const QWidget* panel = find("Panel1");
    auto* column = find("SplitView1");
    EXPECT_EQ(rectIn(column, panel), QRect(0, 0, 200, 849));

    auto* lists = find<CategoryPanel>("CategoryPanel1");
    auto* system = find<CategoryPanel>("CategoryPanel3");
    EXPECT_EQ(lists->header()->text(), "セットリスト");
    EXPECT_EQ(system->header()->text(), "システム");
    EXPECT_EQ(lists->height(), 429);
    EXPECT_EQ(system->height(), 384);
    EXPECT_LT(rectIn(lists, column).bottom(), rectIn(system, column).top());

    for (int k = 1; k <= 10; ++k) {
        auto* button = window->findChild<QPushButton*>(QStringLiteral("setlist%1").arg(k));
        ASSERT_NE(button, nullptr) << k;
        EXPECT_EQ(button->text(), QStringLiteral("SET LIST%1").arg(k));
        EXPECT_EQ(button->property("tag").toInt(), k);
        EXPECT_EQ(rectIn(button, lists->content()), QRect(0, 40 * (k - 1), 196, 40));
        EXPECT_EQ(button->cursor().shape(), Qt::PointingHandCursor);
    }
    const char* names[] = {"Button11", "Button22", "Button10",       "Button16",     "Button21",
                           "Button2",  "Button13", "ButtonSettings", "ButtonStopAll"};
    const char* captions[] = {"ヘルプ(取扱説明書)",
                              "セットリスト保存",
                              "セットリストコピー",
                              "セットリストペースト",
                              "ファイル読込",
                              "ファイル保存",
                              "終了(&X)",
                              "設定…",
                              "全停止"};
    for (int i = 0; i < 9; ++i) {
        auto* button = find<QPushButton>(names[i]);
        EXPECT_EQ(button->text(), QString::fromUtf8(captions[i]));
        EXPECT_EQ(rectIn(button, system->content()), QRect(0, 40 * i, 196, 40));
        // Every button of the column is in view at design size, without scrolling.
        EXPECT_LE(rectIn(button, column).bottom(), column->height() - 1) << names[i];
    }

    // Collapsing one section leaves the other open.
    lists->header()->click();
    EXPECT_TRUE(lists->isCollapsed());
    EXPECT_FALSE(system->isCollapsed());
    EXPECT_FALSE(find("Button13")->isHidden());
    lists->header()->click();
    EXPECT_FALSE(lists->isCollapsed());
}

TEST_F(MainWindow, PadFramesAndTheirControlsStandAtTheirPlaces) {
    const QWidget* panel = find("Panel1");
    PadBoard& board = window->board();
    for (int n = 1; n <= PadBoard::kPads; ++n) {
        const QRect frame(206 + 316 * ((n - 1) % 4), 26 + 410 * ((n - 1) / 4), 310, 404);
        EXPECT_EQ(rectIn(board.frame(n), panel), frame) << n;
        EXPECT_EQ(board.pictureFrame(n)->geometry(), QRect(10, 10, 290, 199));
        EXPECT_EQ(board.transportBar(n)->geometry(), QRect(10, 210, 289, 30));
        EXPECT_EQ(board.loopSwitch(n)->geometry(), QRect(10, 245, 97, 17));
        EXPECT_EQ(board.fileButton(n)->geometry(), QRect(228, 245, 71, 28));
        EXPECT_EQ(board.trackBar(n)->geometry(), QRect(5, 280, 290, 28));
        EXPECT_EQ(board.playButton(n)->geometry(), QRect(10, 320, 290, 70));
        EXPECT_EQ(board.playButton(n)->font().family(), "Tahoma");
        EXPECT_EQ(board.playButton(n)->font().pixelSize(), 19);
        EXPECT_TRUE(board.playButton(n)->font().bold());
    }
    const QRect last = rectIn(board.frame(8), panel);
    EXPECT_EQ(last.x() + last.width(), 1464);
    EXPECT_EQ(last.y() + last.height(), 840);
}

TEST_F(MainWindow, StatusBarShowsTheSlotAndTheMissingSoundDevice) {
    EXPECT_EQ(find<QLabel>("statusSlot")->text(), "1");
    EXPECT_EQ(find<QLabel>("statusPath")->text(), env.dataFolder() + "/conf/setlist1.cdk");
    // The engine of this test has no device: the operator is told so.
    auto* noDevice = find<QLabel>("noSoundDevice");
    EXPECT_TRUE(noDevice->isVisible());
    EXPECT_EQ(noDevice->text(), "サウンドデバイスがありません");

    window->controls().setlist[4]->click();
    EXPECT_EQ(find<QLabel>("statusSlot")->text(), "5");
    EXPECT_EQ(find<QLabel>("statusPath")->text(), env.dataFolder() + "/conf/setlist5.cdk");
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(MainWindow, ExitAsksBeforeUnsavedChangesAreLost) {
    window->board().setCaption(1, "変更(&Q)");
    answer = dialogs::mrNo;
    find<QPushButton>("Button13")->click();
    EXPECT_EQ(messages, QStringList({"SETLIST1のデータが変更されています。終了していいですか？"}));
    EXPECT_TRUE(window->isVisible());
    // The placement was saved although the window stays.
    EXPECT_TRUE(QFileInfo::exists(env.dataFolder() + "/conf/mainwindow_test.ini"));

    answer = dialogs::mrYes;
    window->controls().FileExit1->trigger();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->startup, 1);
    EXPECT_TRUE(QFileInfo::exists(env.dataFolder() + "/conf/def.conf"));
}

// Stands in for the desktop's viewer: records what the program asks it to open.
class Viewer : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

TEST_F(MainWindow, HelpOpensTheManualOfTheProgramFolder) {
    Viewer viewer;
    QDesktopServices::setUrlHandler("file", &viewer, "open");
    // Without a manual the command does nothing, and reports nothing.
    window->controls().Button11->click();
    EXPECT_TRUE(viewer.opened.isEmpty());
    QDir().mkpath(program + "help");
    QFile manual(program + "help/index.html");
    ASSERT_TRUE(manual.open(QIODevice::WriteOnly));
    manual.write("<html></html>");
    manual.close();
    window->controls().Button11->click();
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_EQ(viewer.opened, QList<QUrl>{QUrl::fromLocalFile(program + "help/index.html")});
    EXPECT_TRUE(errors.isEmpty());
}

} // namespace

TEST_F(MainWindow, PadMenuAndSettingsOfferTheOutputAndTheRemoteTriggers) {
    PadBoard& board = window->board();
    const QList<QAction*> items = board.PopupMenu1->actions();
    QStringList texts;
    for (const QAction* item : items)
        texts << item->text();
    EXPECT_EQ(texts, (QStringList{"削除", "名称変更", "クリップ編集…", "再生モード", "グループ",
                                  "ダッキング…", "モニターで試聴", "MIDI 割り当て…"}));

    QStringList tabs;
    QTimer::singleShot(0, window.get(), [&] {
        auto* dialog = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        for (int i = 0; i < dialog->tabs()->count(); ++i)
            tabs << dialog->tabs()->tabText(i);
        dialog->reject();
    });
    find<QPushButton>("ButtonSettings")->click();
    EXPECT_EQ(tabs, QStringList({"出力デバイス", "MIDI", "OSC", "リモートパネル", "ホットキー",
                                 "ラウドネス"}));

    // A remote switch over unsaved changes asks nothing; the status bar says why it was refused.
    board.setCaption(1, QStringLiteral("changed(&Q)"));
    remote::RemoteCommand command;
    command.kind = remote::CommandKind::SetList;
    command.number = 2;
    window->remoteControl().execute(command);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(find<QLabel>("statusSlot")->text(), "1");
    QLabel* notice = window->remoteNotice();
    EXPECT_TRUE(notice->isVisible());
    EXPECT_TRUE(notice->text().contains("SET LIST2")) << notice->text().toStdString();
    EXPECT_EQ(notice->parentWidget(), window->controls().StatusBar1);
    // However long, it never keeps the window from taking a smaller stored size.
    notice->setText(QString(400, u'x'));
    QApplication::processEvents();
    window->resize(800, 600);
    QApplication::processEvents();
    EXPECT_EQ(window->width(), 800);
    EXPECT_TRUE(errors.isEmpty());
}

#include "mainwindow_test.moc"
