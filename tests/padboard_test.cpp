// The pad board over real clip players on the engine's silent real-time output: playing,
// restarting, looping, end of clip, volume, choosing clips and pictures, delete, rename, the
// pad menu and the keyboard.

#include "clipanalyser.h"
#include "clipplayer.h"
#include "cuecommands.h"
#include "cueplayer.h"
#include "dialog_support.h"
#include "engine.h"
#include "padboard.h"
#include "padmodel.h"
#include "transportbar.h"
#include "wait_support.h"
#include "wav_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <sys/stat.h>

// Readable QString values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using testsupport::waitFor;

// The monitor output on an engine of `output` kind (the test pulls a None engine's samples),
// for the life of one test.
struct MonitorEngines {
    explicit MonitorEngines(media::Engine::Output output) {
        CuePlayer::setEngineFactory([output](const std::string&, const std::string&, int rate) {
            return std::make_unique<media::Engine>(media::Engine::Options{output, rate, 128});
        });
    }
    ~MonitorEngines() { CuePlayer::setEngineFactory(nullptr); }
};

// The peak of the next `frames` frames `engine` renders, once its worker has caught up.
float peakOfNext(media::Engine& engine, int frames = 512) {
    engine.waitIdle(std::chrono::seconds(5));
    std::vector<float> block(2 * static_cast<std::size_t>(frames));
    engine.render(block.data(), frames);
    float peak = 0;
    for (float v : block)
        peak = std::max(peak, std::abs(v));
    return peak;
}

class PadBoardTest : public ::testing::Test, protected DialogRecorder, protected ModalAnswers {
protected:
    static void SetUpTestSuite() {
        engine = new media::Engine(media::Engine::Options{media::Engine::Output::Dummy});
    }
    static void TearDownTestSuite() { delete engine; }

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath("sound");
        QDir(dir.path()).mkpath("image");
        window.resize(1747, 880);
        board = std::make_unique<PadBoard>(*engine, &window);
        board->setDataFolder(dir.path());
    }
    void TearDown() override {
        dialogs::setResponder(nullptr);
        forgetModals();
        board.reset();
    }

    QString clip(const QString& name, int ms) {
        const QString path = dir.path() + "/sound/" + name;
        EXPECT_TRUE(writeSineWav(path, ms));
        return path;
    }
    void chooseInFileDialog(const QString& path) {
        whenModal<QFileDialog>([path](QFileDialog* d) {
            // Typed into the name field, with the file list's earlier choice dropped.
            d->findChild<QListView*>("listView")->clearSelection();
            d->findChild<QLineEdit*>("fileNameEdit")->setText(path);
            static_cast<QDialog*>(d)->accept();
        });
    }
    // The pad's state row: Empty, Loaded or Unopened, with the play button as the table says.
    std::string state(int n) const {
        const bool named = !board->fileName(n).isEmpty();
        const bool open = board->player(n)->MCIOpened();
        const bool enabled = board->playButton(n)->isEnabled();
        if (!named && !open)
            return enabled ? "Empty+enabled" : "Empty";
        if (named && open)
            return enabled == !board->loopSwitch(n)->isChecked() ? "Loaded" : "Loaded+wrong";
        return named ? (enabled ? "Unopened+enabled" : "Unopened") : "open-without-name";
    }

    static media::Engine* engine;
    QTemporaryDir dir;
    QWidget window;
    std::unique_ptr<PadBoard> board;
};
media::Engine* PadBoardTest::engine = nullptr;

TEST_F(PadBoardTest, PadsStandAtTheirPlacesWithNamesTagsAndSettings) {
    for (int n = 1; n <= PadBoard::kPads; ++n) {
        EXPECT_EQ(board->frame(n)->geometry(),
                  QRect(206 + 316 * ((n - 1) % 4), 26 + 410 * ((n - 1) / 4), 310, 404));
        for (const char* base : {"playbtn", "loop", "filesel", "TrackBar", "VarnelPlayer"})
            EXPECT_EQ(board->element(base, n)->property("tag").toInt(), n) << base << n;
        EXPECT_FALSE(board->image(n)->property("tag").isValid());
        EXPECT_EQ(board->caption(n), "PLAY SOUND" + PadBoard::suffix(n));
        EXPECT_EQ(state(n), "Empty");
    }
    // Lookup ignores case; frames keep their own numbering.
    EXPECT_EQ(board->element("PLAYBTN", 3), board->playButton(3));
    EXPECT_EQ(board->element("panel", 6), board->frame(3));
    EXPECT_EQ(board->element("PlayPanel", 1), board->frame(1));
    EXPECT_EQ(board->element("Image", 8), board->image(8));
    EXPECT_EQ(board->element("playbtn", 9), nullptr);

    // The lower-right frame ends at 1464 x 840, and no pad element leaves its frame.
    EXPECT_EQ(board->frame(8)->geometry().bottomRight(), QPoint(1463, 839));
    for (QWidget* w : board->frame(8)->findChildren<QWidget*>())
        EXPECT_TRUE(QRect(0, 0, 310, 404).contains(w->geometry())) << w->objectName().toStdString();
}

TEST_F(PadBoardTest, PlayRestartsAPlayingClipAndEndOfClipRewinds) {
    board->openClip(1, clip("long.wav", 3000));
    ClipPlayer* p = board->player(1);
    board->playButton(1)->click();
    ASSERT_TRUE(waitFor([&] { return p->Position() >= 400; }));
    board->playButton(1)->click();
    EXPECT_EQ(p->Mode(), mpPlaying);
    EXPECT_LT(p->Position(), 300);

    board->openClip(2, clip("short.wav", 250));
    ClipPlayer* q = board->player(2);
    board->playButton(2)->click();
    ASSERT_TRUE(waitFor([&] { return q->Mode() == mpStopped; }));
    ASSERT_TRUE(waitFor([&] { return q->Position() == 0; })) << q->Position();
    EXPECT_EQ(q->Mode(), mpStopped);
    QTest::qWait(50);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(PadBoardTest, LoopRepeatsUntilSwitchedOffThenRewinds) {
    board->openClip(4, clip("loop.wav", 300));
    ClipPlayer* p = board->player(4);
    board->loopSwitch(4)->click();
    EXPECT_EQ(p->Mode(), mpPlaying);
    EXPECT_FALSE(board->playButton(4)->isEnabled());
    EXPECT_EQ(state(4), "Loaded");
    // Past several ends the clip still plays, having gone back to the start.
    ASSERT_TRUE(waitFor([&] { return p->Position() >= 200; }));
    ASSERT_TRUE(waitFor([&] { return p->Position() < 100 && p->Mode() == mpPlaying; }));
    QTest::qWait(700);
    EXPECT_EQ(p->Mode(), mpPlaying);
    board->loopSwitch(4)->click();
    EXPECT_EQ(p->Mode(), mpStopped);
    EXPECT_EQ(p->Position(), 0);
    EXPECT_EQ(state(4), "Loaded");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(PadBoardTest, LoopOnAnEmptyPadFailsButTheProgramTurnsItOffQuietly) {
    board->loopSwitch(5)->click(); // the user: the player holds no clip
    EXPECT_EQ(errors, QStringList{"MCI デバイスがありません."});
    EXPECT_FALSE(board->playButton(5)->isEnabled());
    errors.clear();
    // A looping pad deleted while it plays: the program's switch-off skips stop and rewind.
    board->openClip(6, clip("l6.wav", 2000));
    board->loopSwitch(6)->click();
    board->popupFor(6, QPoint());
    board->PopupMenu1->close();
    board->N1->trigger();
    EXPECT_EQ(state(6), "Empty");
    board->switchLoopOff(5);
    EXPECT_FALSE(board->loopSwitch(5)->isChecked());
    EXPECT_EQ(state(5), "Empty");
    // A clip given to a pad whose switch is still on waits for the switch.
    board->openClip(6, clip("l6b.wav", 2000));
    EXPECT_EQ(state(6), "Loaded");
    board->switchLoopOff(6);
    EXPECT_EQ(state(6), "Loaded");
    EXPECT_TRUE(board->playButton(6)->isEnabled());
    QTest::qWait(50); // the deleted playback's late notice
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(PadBoardTest, VolumeFollowsTheSliderExceptDuringStartup) {
    board->takePlayerVolumes();
    EXPECT_EQ(board->trackBar(3)->value(), GetPlayerVolume(board->player(3)));
    board->trackBar(3)->setValue(250);
    // Choosing a clip sends the slider level to the fresh player.
    chooseInFileDialog(clip("v.wav", 1000));
    board->filesel1Click(board->fileButton(3));
    ASSERT_TRUE(board->player(3)->MCIOpened());
    EXPECT_EQ(GetPlayerVolume(board->player(3)), 250);
    {
        const PadModel::Loading loading(board->model());
        board->trackBar(3)->setValue(600);
        EXPECT_EQ(GetPlayerVolume(board->player(3)), 250);
    }
    board->trackBar(3)->setValue(700);
    EXPECT_EQ(GetPlayerVolume(board->player(3)), 700);
}

TEST_F(PadBoardTest, ChooseClipOffersTheCaptionWithoutItsSuffixAndOpensTheClip) {
    board->setCaption(1, "A(&Q)B(&Q)");
    board->transportBar(1)->setEnabled(false); // as after the reset of a missing set list
    const QString file = clip("c.wav", 500);
    // The real file dialog and input box.
    dialogs::setResponder(nullptr);
    chooseInFileDialog(file);
    whenModal<QInputDialog>([](QInputDialog* d) {
        EXPECT_EQ(d->windowTitle(), "確認");
        EXPECT_EQ(d->labelText(), "名称を入力してください");
        EXPECT_EQ(d->textValue(), "AB");
        d->setTextValue("Intro");
        d->accept();
    });
    board->fileButton(1)->click();
    EXPECT_EQ(board->caption(1), "Intro(&Q)");
    EXPECT_EQ(board->fileName(1), file);
    EXPECT_EQ(state(1), "Loaded");
    EXPECT_TRUE(board->transportBar(1)->isEnabled());
    EXPECT_EQ(board->OpenDialog1->directory().absolutePath(), QDir(dir.path() + "/sound").path());

    // A clip that cannot be opened: the error box, the name kept, the button enabled.
    dialogs::setResponder(&responder);
    const QString broken = dir.path() + "/sound/broken.wav";
    QFile f(broken);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a sound at all");
    f.close();
    typed.reset(); // cancel the name: the caption stays
    chooseInFileDialog(broken);
    board->fileButton(1)->click();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(board->caption(1), "Intro(&Q)");
    EXPECT_EQ(state(1), "Unopened+enabled");
    // The background measuring of the clips put on the pad adds no error box of its own, and
    // keeps nothing of the broken clip.
    board->openClip(2, file);
    ASSERT_TRUE(waitFor([&] { return !board->analyser().busy(); }, 20000));
    EXPECT_EQ(errors.size(), 1);
    const std::string peaks = board->analyser().peakFolder().toStdString();
    EXPECT_TRUE(
        QFile::exists(QString::fromStdString(media::peakFileOf(peaks, file.toStdString()))));
    EXPECT_FALSE(
        QFile::exists(QString::fromStdString(media::peakFileOf(peaks, broken.toStdString()))));
}

TEST_F(PadBoardTest, ADuplicateIsRefusedAndLeavesThePadPlaying) {
    const QString a = clip("a.wav", 3000), b = clip("b.wav", 3000);
    board->openClip(5, a);
    board->openClip(3, b);
    board->setCaption(3, "Bee(&E)");
    board->playButton(3)->click();
    chooseInFileDialog(a);
    board->fileButton(3)->click();
    EXPECT_EQ(messages, QStringList{"このファイルはPLAY TRACK 5で指定されています。"});
    EXPECT_TRUE(offered.isEmpty());
    EXPECT_EQ(board->player(3)->Mode(), mpPlaying);
    EXPECT_EQ(board->fileName(3), b);
    EXPECT_EQ(board->caption(3), "Bee(&E)");
    // The same file again for the same pad is accepted.
    typed = "Bee2";
    chooseInFileDialog(b);
    board->fileButton(3)->click();
    EXPECT_EQ(messages.size(), 1);
    EXPECT_EQ(board->caption(3), "Bee2(&E)");
    EXPECT_EQ(state(3), "Loaded");
    // The last pad counts too.
    const QString h = clip("h.wav", 500);
    board->openClip(8, h);
    board->chooseClip(1, h);
    EXPECT_EQ(messages.last(), "このファイルはPLAY TRACK 8で指定されています。");
    EXPECT_EQ(state(1), "Empty");
}

TEST_F(PadBoardTest, NamesWithLineBreaksAreRefusedBeforeAnythingChanges) {
    QSignalSpy finished(board.get(), &PadBoard::pictureFinished);
    const QString a = clip("a.wav", 500);
    const QString png = dir.path() + "/image/p.png";
    QImage(20, 20, QImage::Format_RGB32).save(png);
    board->openClip(2, a);
    board->setCaption(2, "A(&W)");
    board->choosePicture(2, png);
    ASSERT_TRUE(finished.wait(5000));
    // Legal names on Linux, but no set list line could hold them.
    const QString lf = clip("new\nline.wav", 500), cr = clip("carriage\rreturn.wav", 500);
    const QString lfPng = dir.path() + "/image/new\nline.png";
    ASSERT_TRUE(QImage(20, 20, QImage::Format_RGB32).save(lfPng, "PNG"));
    for (const QString& bad : {lf, cr}) {
        EXPECT_THROW(board->chooseClip(2, bad), ECueError) << bad.toStdString();
        EXPECT_THROW(board->openClip(2, bad), ECueError) << bad.toStdString();
    }
    EXPECT_THROW(board->choosePicture(2, lfPng), ECueError);
    EXPECT_THROW(board->loadPicture(2, lfPng), ECueError);
    EXPECT_TRUE(offered.isEmpty()); // no name was asked for
    EXPECT_EQ(board->fileName(2), a);
    EXPECT_EQ(state(2), "Loaded");
    EXPECT_EQ(board->caption(2), "A(&W)");
    EXPECT_EQ(board->imagePath(2), png);

    // Through the clip dialog, the user is told why.
    chooseInFileDialog(lf);
    board->fileButton(2)->click();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0],
              "改行を含むファイル名は使えません: " + dir.path() + "/sound/new\\nline.wav.");
    EXPECT_EQ(board->fileName(2), a);
    QTest::qWait(50);
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(PadBoardTest, DeleteAndRenameActOnThePadWhoseMenuWasOpened) {
    // A right-click on any element of pad 7 opens the menu for pad 7.
    for (QWidget* w : {static_cast<QWidget*>(board->image(7)), board->element("TrackBar", 7),
                       static_cast<QWidget*>(board->transportBar(7))}) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(3, 3),
                                w->mapToGlobal(QPoint(3, 3)));
        QApplication::sendEvent(w, &event);
        EXPECT_TRUE(board->PopupMenu1->isVisible());
        EXPECT_EQ(board->popupPad(), 7);
        board->PopupMenu1->close();
    }
    board->setCaption(7, "X(&D)Y(&D)");
    typed = "";
    board->N2->trigger();
    EXPECT_EQ(offered, QStringList{"XY"});
    EXPECT_EQ(board->caption(7), "(&D)"); // an empty name leaves the suffix alone

    answer = dialogs::mrNo;
    board->N1->trigger();
    EXPECT_EQ(board->caption(7), "(&D)");

    // A never-loaded pad, through the real question box.
    dialogs::setResponder(nullptr);
    board->popupFor(2, QPoint());
    board->PopupMenu1->close();
    whenModal<QMessageBox>([](QMessageBox* box) {
        EXPECT_EQ(box->text(), "削除していいですか？");
        box->defaultButton()->click();
    });
    board->N1->trigger();
    EXPECT_EQ(board->caption(2), "PlaySound(&W)");
    EXPECT_EQ(state(2), "Empty");
}

TEST_F(PadBoardTest, DeletingAPlayingPadEmptiesItWithoutALateNoticeError) {
    const QString png = dir.path() + "/image/p.png";
    QImage(40, 30, QImage::Format_RGB32).save(png);
    board->loadPicture(8, png);
    board->openClip(8, clip("d.wav", 3000));
    board->trackBar(8)->setValue(420);
    board->playButton(8)->click();
    board->popupFor(8, QPoint());
    board->PopupMenu1->close();
    board->N1->trigger();
    EXPECT_EQ(state(8), "Empty");
    EXPECT_EQ(board->caption(8), "PlaySound(&F)");
    EXPECT_EQ(board->imagePath(8), "");
    EXPECT_EQ(board->trackBar(8)->value(), 420);
    QTest::qWait(100); // the playback's late notice, the dropped picture
    EXPECT_TRUE(board->image(8)->pixmap().isNull());
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(PadBoardTest, OnlyRealPicturesAreLoaded) {
    QSignalSpy finished(board.get(), &PadBoard::pictureFinished);
    const QString png = dir.path() + "/image/ok.png";
    QImage picture(600, 100, QImage::Format_RGB32);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 600; ++x)
            picture.setPixel(x, y, qRgb(x * 37 % 256, y * 91 % 256, (x ^ y) % 256));
    picture.save(png);
    // Through the real picture dialog, opened by a double-click on the picture.
    chooseInFileDialog(png);
    QTest::mouseDClick(board->image(1), Qt::LeftButton);
    EXPECT_EQ(board->imagePath(1), png);
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(finished.last(), QVariantList({1, true}));
    const QSize shown = board->image(1)->pixmap().size();
    EXPECT_FALSE(shown.isEmpty());
    EXPECT_TRUE(board->OpenPictureDialog1->nameFilters().join(' ').contains("*.png"));

    auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile f(dir.path() + "/image/" + name);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    };
    const QString fake = write("fake.png", "plain text, not a picture");
    const QString fifo = dir.path() + "/image/fifo.png";
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& bad : {fake, fifo}) {
        chooseInFileDialog(bad);
        board->Image1DblClick(board->image(1));
    }
    EXPECT_EQ(errors.size(), 2);
    for (const QString& bad : {fake, fifo, dir.path() + "/image", dir.path() + "/none.png"})
        EXPECT_THROW(board->loadPicture(1, bad), ECueError) << bad.toStdString();
    // A picture header with a broken body fails only in the decoder.
    QFile good(png);
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    const QString torn = write("torn.png", good.readAll().left(200));
    board->loadPicture(1, torn);
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(finished.last(), QVariantList({1, false}));
    ASSERT_EQ(errors.size(), 3);
    EXPECT_TRUE(errors.last().startsWith("画像を読み込めません: " + torn + " ("))
        << errors.last().toStdString();
    EXPECT_EQ(board->imagePath(1), png);
    EXPECT_EQ(board->image(1)->pixmap().size(), shown);
}

TEST_F(PadBoardTest, KeysPressThePlayButtonUnlessDisabledOrTyping) {
    auto* field = new QLineEdit(&window);
    field->setGeometry(0, 0, 100, 20);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    board->openClip(1, clip("k.wav", 3000));
    QSignalSpy presses(board->playButton(1), &QPushButton::clicked);
    board->playButton(2)->setFocus();
    QTest::keyClick(&window, Qt::Key_Q);
    QTest::keyClick(&window, Qt::Key_Q, Qt::AltModifier);
    QTest::simulateEvent(&window, true, Qt::Key_Q, Qt::NoModifier, "q", true); // auto-repeat
    EXPECT_EQ(presses.count(), 3);
    EXPECT_EQ(board->player(1)->Mode(), mpPlaying);

    board->fileButton(1)->setFocus(); // the tab order inside a pad
    for (const char* next : {"loop1", "VarnelPlayer1", "playbtn1", "TrackBar1"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), next);
    }
    EXPECT_EQ(presses.count(), 3);

    field->setFocus();
    QTest::keyClick(field, Qt::Key_Q);
    EXPECT_EQ(field->text(), "q");
    board->playButton(2)->setFocus();
    board->playButton(1)->setEnabled(false);
    QTest::keyClick(&window, Qt::Key_Q);
    EXPECT_EQ(presses.count(), 3);

    // Typing Q into the rename box names the pad and presses nothing.
    board->playButton(1)->setEnabled(true);
    dialogs::setResponder(nullptr);
    board->popupFor(1, QPoint());
    board->PopupMenu1->close();
    whenModal<QInputDialog>([](QInputDialog* d) {
        auto* edit = d->findChild<QLineEdit*>();
        edit->clear();
        QTest::keyClicks(edit, "Qq");
        d->accept();
    });
    board->N2->trigger();
    EXPECT_EQ(board->caption(1), "Qq(&Q)");
    EXPECT_EQ(presses.count(), 3);
}

TEST_F(PadBoardTest, AHoldPadSoundsWhileItsKeyOrButtonIsDownAndItsRepeatsDoNotRestartIt) {
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    board->openClip(1, clip("h.wav", 3000));
    board->model().setExtension(1, padfields::Mode, padfields::Hold);
    board->playButton(2)->setFocus();
    QTest::keyPress(&window, Qt::Key_Q);
    EXPECT_EQ(board->player(1)->Mode(), mpPlaying);
    QTest::qWait(300);
    for (int i = 0; i < 5; ++i) { // the key's repeats, as release and press pairs
        QTest::simulateEvent(&window, false, Qt::Key_Q, Qt::NoModifier, "q", true);
        QTest::simulateEvent(&window, true, Qt::Key_Q, Qt::NoModifier, "q", true);
    }
    EXPECT_GE(board->player(1)->Position(), 250) << "restarted by a repeat";
    EXPECT_FALSE(board->player(1)->fading());
    QTest::keyRelease(&window, Qt::Key_Q);
    EXPECT_TRUE(board->player(1)->fading());
    EXPECT_TRUE(waitFor([&] { return board->player(1)->Mode() == mpStopped; }, 2000));

    QTest::mousePress(board->playButton(1), Qt::LeftButton);
    QTest::qWait(100);
    EXPECT_EQ(board->player(1)->Mode(), mpPlaying);
    EXPECT_FALSE(board->player(1)->fading());
    QTest::mouseRelease(board->playButton(1), Qt::LeftButton);
    EXPECT_TRUE(board->player(1)->fading());
}

// Pixels of `widget` as drawn now that are within a few steps of `colour`.
int pixelsOf(QWidget* widget, const QColor& colour) {
    const QImage image = widget->grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
                         std::abs(c.blue() - colour.blue()) <
                     12;
        }
    return count;
}

TEST_F(PadBoardTest, CtrlWithAPadsKeyCuesItInItsOwnColourAndWithoutAMonitorTheCommandsSayWhy) {
    const MonitorEngines monitors(media::Engine::Output::Dummy);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const QString path = clip("cue.wav", 8000); // longer than the last seconds
    board->openClip(1, path);
    CueCommands& commands = board->cueCommands();
    CuePlayer& cue = board->model().cue();
    const QColor violet(0xc9, 0x8b, 0xff), green(0x5f, 0xd3, 0x7a);

    // No monitor output: disabled, and the tooltips say why.
    const QString why = "モニター出力が選ばれていません";
    EXPECT_FALSE(commands.menuAction()->isEnabled());
    EXPECT_EQ(commands.menuAction()->toolTip(), why);
    EXPECT_FALSE(commands.dialogButton()->isEnabled());
    EXPECT_EQ(commands.dialogButton()->toolTip(), why);
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(cue.cueing(1));
    EXPECT_EQ(board->player(1)->Mode(), mpStopped);

    cue.setDevice("Phones");
    EXPECT_TRUE(commands.menuAction()->isEnabled());
    EXPECT_NE(commands.menuAction()->toolTip(), why);
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(cue.cueing(1));
    // The audience hears nothing: the pad stays stopped and its frame dark, while its clock
    // runs in the cue's colour.
    EXPECT_EQ(board->player(1)->Mode(), mpStopped);
    ASSERT_TRUE(waitFor([&] { return board->clock(1)->playedText() == "0:00"; }));
    EXPECT_TRUE(board->frame(1)->property("playstate").toString().isEmpty());
    EXPECT_GT(pixelsOf(board->clock(1), violet), 20);
    EXPECT_EQ(pixelsOf(board->clock(1), green), 0);
    // Played for the audience too, the clock shows that playback, in green.
    QTest::keyClick(&window, Qt::Key_Q);
    EXPECT_EQ(board->player(1)->Mode(), mpPlaying);
    EXPECT_EQ(pixelsOf(board->clock(1), violet), 0);
    EXPECT_GT(pixelsOf(board->clock(1), green), 20);
    // A second Ctrl+Q stops the cue alone; the pad menu cues again.
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(cue.cueing(1));
    EXPECT_EQ(board->player(1)->Mode(), mpPlaying);
    board->popupFor(1, QPoint());
    board->PopupMenu1->close();
    commands.menuAction()->trigger();
    EXPECT_TRUE(cue.cueing(1));

    // The clip dialog's 試聴 plays the file under its cursor on the voice of the pad that
    // opened it, and stops with the dialog.
    bool heardInDialog = false;
    whenModal<QFileDialog>([&](QFileDialog* d) {
        // The cursor on the folder's one clip.
        auto* list = d->findChild<QListView*>("listView");
        waitFor([&] { return list->model()->rowCount(list->rootIndex()) == 1; });
        list->setCurrentIndex(list->model()->index(0, 0, list->rootIndex()));
        heardInDialog = commands.dialogButton()->isEnabled();
        commands.dialogButton()->click();
        heardInDialog = heardInDialog && cue.cueing(3) && commands.dialogButton()->isChecked();
        d->reject();
    });
    board->filesel1Click(board->fileButton(3));
    EXPECT_TRUE(heardInDialog);
    EXPECT_FALSE(cue.cueing(3));
    EXPECT_TRUE(cue.cueing(1));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    // The board and its dialogs go while pad 1 still cues.
}

TEST_F(PadBoardTest, ReleasingAllPadsAtCloseLeavesThemEmpty) {
    board->openClip(1, clip("r1.wav", 3000));
    board->openClip(2, clip("r2.wav", 3000));
    board->playButton(1)->click();
    board->model().holdLoadingForGood();
    board->releaseAllPads();
    for (int n = 1; n <= PadBoard::kPads; ++n)
        EXPECT_EQ(state(n), "Empty") << n;
    EXPECT_EQ(board->player(1)->Mode(), mpNotReady);
    QTest::qWait(50);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(PadBoardTest, TheWindowMayGoBeforeTheBoard) {
    auto* owner = new QWidget;
    auto other = std::make_unique<PadBoard>(*engine, owner);
    QSignalSpy finished(other.get(), &PadBoard::pictureFinished);
    const QString png = dir.path() + "/image/o.png";
    QImage(20, 20, QImage::Format_RGB32).save(png);
    other->loadPicture(3, png); // still decoding when the window goes
    delete owner;               // with the pads and the dialogs
    EXPECT_EQ(other->frame(3), nullptr);
    // The decoded picture arrives for a pad that is gone: dropped, neither shown nor reported.
    QTest::qWait(200);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    other.reset(); // the dialogs went with the window: the board leaves them alone
}

// The rules of the board without any widget, on an engine the test pulls blocks from.
class PadModelRules : public ::testing::Test, protected DialogRecorder {
protected:
    void SetUp() override { ASSERT_TRUE(writeSineWav(dir.path() + "/a.wav", 2000)); }
    // The peak of the next few milliseconds of output.
    float heard() { return peakOfNext(engine); }
    QTemporaryDir dir;
    MonitorEngines monitors{media::Engine::Output::None};
    media::Engine engine{media::Engine::Options{media::Engine::Output::None, 48000, 128}};
    PadModel model{engine};
};

TEST_F(PadModelRules, ACueSoundsOnTheMonitorAloneFromWhereItIsAskedAndEndsWithItsClip) {
    model.takePlayerVolumes();
    model.openClip(1, dir.path() + "/a.wav");
    model.openClip(2, dir.path() + "/a.wav");
    // No monitor output chosen: refused with the reason, nothing sounds.
    try {
        model.cuePad(1);
        ADD_FAILURE() << "cued without a monitor output";
    } catch (const ECueError& e) {
        EXPECT_EQ(e.message(), "モニター出力が選ばれていません");
    }
    EXPECT_EQ(model.cue().engine(), nullptr);
    EXPECT_EQ(heard(), 0.0f);

    model.cue().setDevice("Headphones");
    media::Engine& monitor = *model.cue().engine();
    QSignalSpy changes(&model.cue(), &CuePlayer::cueChanged);
    EXPECT_FALSE(model.cuePad(3)); // no clip
    ASSERT_TRUE(model.cuePad(1));
    EXPECT_TRUE(model.cue().cueing(1));
    // The clip on the monitor, sample for sample (16-bit samples of a sine at 8000), and
    // not a single bit on the board's output.
    monitor.waitIdle(std::chrono::seconds(5));
    std::vector<float> cue(2 * 4800), board(2 * 4800);
    monitor.render(cue.data(), 4800);
    engine.render(board.data(), 4800);
    for (int i = 0; i < 4800; i += 97)
        EXPECT_NEAR(cue[size_t(2 * i)], qint16(8000 * std::sin(i * 0.0576)) / 32768.0, 1e-6) << i;
    EXPECT_TRUE(std::all_of(board.begin(), board.end(), [](float v) { return v == 0.0f; }));
    model.cue().stopCue(1);
    peakOfNext(monitor, 2048); // the short fade
    EXPECT_EQ(peakOfNext(monitor), 0.0f);

    // Pad 2 from 1.9 s: its last tenth of a second sounds, then the cue ends by itself; the
    // board stays silent throughout.
    ASSERT_TRUE(model.cuePad(2, 1900));
    peakOfNext(monitor);        // the read-ahead moves to 1.9 s
    for (int i = 0; i < 8; ++i) // 10.7 ms each
        EXPECT_GT(peakOfNext(monitor), 0.2f) << i;
    for (int i = 0; i < 4; ++i)
        peakOfNext(monitor);
    EXPECT_EQ(peakOfNext(monitor), 0.0f);
    EXPECT_TRUE(waitFor([&] { return !model.cue().cueing(2); }));
    EXPECT_EQ(heard(), 0.0f);

    // A released pad's cue stops with it.
    ASSERT_TRUE(model.cuePad(1));
    EXPECT_GT(peakOfNext(monitor), 0.2f);
    model.releaseAllPads();
    EXPECT_FALSE(model.cue().cueing(1));
    peakOfNext(monitor, 2048);
    EXPECT_EQ(peakOfNext(monitor), 0.0f);
    EXPECT_EQ(changes.count(), 6); // 1 on, off; 2 on, ended; 1 on, off
    model.cue().setDevice("");
    EXPECT_EQ(model.cue().engine(), nullptr);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(PadModelRules, LoopPlaysLocksThePadAndAFadeEndsItWithoutACut) {
    model.takePlayerVolumes(); // as at the first showing
    model.openClip(2, dir.path() + "/a.wav");
    QSignalSpy loops(&model, &PadModel::loopChanged);
    QSignalSpy changes(&model, &PadModel::boardChanged);
    model.setLoop(2, true);
    EXPECT_GT(heard(), 0.05f);
    EXPECT_FALSE(model.playEnabled(2));
    model.press(2); // locked while the switch plays it
    EXPECT_TRUE(model.player(2)->looping());

    model.fade(2, 200);
    EXPECT_FALSE(model.loop(2));
    EXPECT_TRUE(model.playEnabled(2));
    EXPECT_GT(heard(), 0.01f); // still fading, not cut
    EXPECT_EQ(loops.count(), 2);
    EXPECT_EQ(changes.count(), 0); // nothing a set list keeps

    model.stopAll();
    model.stopAll(); // the second cuts the fade
    for (int i = 0; i < 4; ++i)
        heard();
    EXPECT_EQ(heard(), 0.0f);
    EXPECT_EQ(model.player(2)->Mode(), mpStopped);
}

TEST_F(PadModelRules, TogglesHoldsAndGroupsSoundAsTheirModesSay) {
    ASSERT_TRUE(writeSineWav(dir.path() + "/b.wav", 2000));
    model.takePlayerVolumes();
    model.openClip(1, dir.path() + "/a.wav");
    model.openClip(2, dir.path() + "/b.wav");
    // Milliseconds of output until it falls silent (at most `ms`).
    auto untilSilent = [&](int ms) {
        int t = 0;
        while (t < ms && heard() > 0.0f)
            t += 512 * 1000 / 48000;
        return t;
    };

    model.setExtension(1, padfields::Mode, padfields::Toggle);
    model.press(1);
    EXPECT_GT(heard(), 0.2f);
    model.press(1); // the second press fades it out over 0.3 s
    EXPECT_EQ(model.player(1)->Mode(), mpPlaying);
    EXPECT_NEAR(untilSilent(1000), 300, 25);
    EXPECT_EQ(model.player(1)->Mode(), mpStopped);
    model.press(1); // and the next starts it again
    EXPECT_GT(heard(), 0.2f);
    model.release(1); // no hold pad: nothing
    EXPECT_FALSE(model.player(1)->fading());
    model.stopAll();
    untilSilent(1000);

    model.setExtension(2, padfields::Mode, padfields::Hold);
    model.setExtension(2, padfields::FadeOut, 100);
    model.press(2);
    for (int i = 0; i < 40; ++i)
        ASSERT_GT(heard(), 0.2f) << i; // as long as it is held
    model.release(2);
    EXPECT_NEAR(untilSilent(1000), 100, 25);
    EXPECT_EQ(model.player(2)->Mode(), mpStopped);

    // Pads 1 and 2 in group 3: starting one fades the other out over the starter's fade-out.
    model.setExtension(1, padfields::Mode, padfields::Restart);
    model.setExtension(1, padfields::Group, 3);
    model.setExtension(2, padfields::Group, 3);
    model.press(1);
    heard();
    model.press(2);
    EXPECT_TRUE(model.player(1)->fading());
    EXPECT_FALSE(model.player(2)->fading());
    for (int i = 0; i < 12; ++i)
        heard();
    EXPECT_EQ(model.player(1)->Mode(), mpStopped);
    EXPECT_EQ(model.player(2)->Mode(), mpPlaying);
    model.release(2);
    untilSilent(1000);
}

TEST_F(PadModelRules, VolumeWaitsWhileLoadingAndADuplicateClipIsRefused) {
    model.openClip(1, dir.path() + "/a.wav");
    model.setVolume(1, 300);
    QSignalSpy loading(&model, &PadModel::loadingChanged);
    {
        const PadModel::Loading outer(model);
        const PadModel::Loading inner(model);
        model.setVolume(1, 800);
        EXPECT_EQ(GetPlayerVolume(model.player(1)), 300);
    }
    EXPECT_EQ(loading.count(), 2);
    model.applyVolume(1);
    EXPECT_EQ(GetPlayerVolume(model.player(1)), 800);

    QSignalSpy changes(&model, &PadModel::boardChanged);
    EXPECT_EQ(model.chooseClip(4, dir.path() + "/a.wav"), 1);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], "このファイルはPLAY TRACK 1で指定されています。");
    EXPECT_TRUE(model.fileName(4).isEmpty());
    model.rename(4, "drum");
    EXPECT_EQ(model.caption(4), "drum(&R)");
    EXPECT_EQ(changes.count(), 1);

    model.holdLoadingForGood();
    model.setVolume(1, 100);
    EXPECT_EQ(GetPlayerVolume(model.player(1)), 800);
}

} // namespace
