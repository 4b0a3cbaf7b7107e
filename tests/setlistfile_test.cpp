// Saving the pad board to a set list file and loading it back.

#include "clipplayer.h"
#include "errors.h"
#include "padfields.h"
#include "setlist_support.h"
#include "setlistio.h"
#include "setlistslots.h"
#include "textfile.h"
#include "transportbar.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QThread>

#include <sys/stat.h>

namespace {

QByteArray fixture(const char* name) {
    return BoardRig::fileBytes(QStringLiteral(CUEDECK_TEST_DATA "/") + QLatin1String(name));
}

struct SetListFile : ::testing::Test {
    BoardRig rig;
    PadBoard& board = rig.board;
    QLabel slotPanel;
    QLabel pathPanel;
    DialogLog dialogs;
    SetListSlots setLists{board.model(), board.OpenDialog1, rig.data, &slotPanel, &pathPanel};

    QString path(const QString& name) const { return rig.data + "/" + name; }
    bool pictureShown(int pad) const { return !board.image(pad)->pixmap().isNull(); }
    // Pictures may be decoded off the UI thread: wait (up to 5 s) until pad `pad` shows one.
    bool waitForPicture(int pad) const {
        QElapsedTimer timer;
        timer.start();
        while (!pictureShown(pad) && timer.elapsed() < 5000) {
            QCoreApplication::processEvents();
            QThread::msleep(2);
        }
        return pictureShown(pad);
    }
};

} // namespace

TEST_F(SetListFile, SavesTheBoardByteForByte) {
    setLists.LoadSetList(path("missing.cdk"));
    const QString reset = path("reset.cdk");
    setLists.SaveSetList(reset);
    EXPECT_EQ(BoardRig::fileBytes(reset), fixture("setlist_reset.cdk"));

    // Names are written as the pads hold them, whether or not the files exist.
    board.setFileName(1, QStringLiteral("/srv/sound/チャイム.wav"));
    board.setCaption(1, QStringLiteral("開演=ベル(&Q)"));
    board.model().setPicturePath(1, QStringLiteral("/srv/image/ベル.png"));
    board.trackBar(1)->setValue(0);
    board.setCaption(4, "(&R)");
    board.trackBar(4)->setValue(437);
    const QString sample = path("sample.cdk");
    setLists.SaveSetList(sample);
    EXPECT_EQ(BoardRig::fileBytes(sample), fixture("setlist_sample.cdk"));
}

TEST_F(SetListFile, RoundTripGivesBackTheBoard) {
    const QString clip1 = rig.writeWav(QStringLiteral("チャイム.wav"));
    const QString clip6 = rig.writeWav("gong.wav");
    const QString red = rig.writePng("red.png", Qt::red);
    const QString blue = rig.writePng(QStringLiteral("青.png"), Qt::blue);
    board.openClip(1, clip1);
    board.openClip(6, clip6);
    board.setCaption(1, QStringLiteral("チャイム=鐘(&Q)"));
    board.setCaption(6, QStringLiteral("a=b=c(&S)"));
    board.loadPicture(2, red);
    board.loadPicture(6, blue);
    board.trackBar(1)->setValue(250);
    board.trackBar(6)->setValue(0);
    board.trackBar(8)->setValue(999);
    // Pad 6 trimmed to 20..70 ms of its 100 ms clip, faded and lowered.
    PadModel& model = board.model();
    const std::array<int, 5> prepared{20, 70, 5, 10, -35};
    for (int f = padfields::TrimIn; f <= padfields::Gain; ++f)
        model.setExtension(6, f, prepared[static_cast<size_t>(f)]);
    EXPECT_EQ(board.player(6)->Length(), 50);
    // How pads play, chosen in the pad menu: pad 6 a toggle in group 2, pad 1 ducks by 20 dB.
    auto menuItem = [&](int pad, QMenu* menu, int index) {
        board.popupFor(pad, QPoint());
        board.PopupMenu1->close();
        menu->actions().at(index)->trigger();
    };
    menuItem(6, board.ModeMenu, 1);
    menuItem(6, board.GroupMenu, 2);
    model.setExtension(1, padfields::Duck, 1);
    model.setExtension(1, padfields::DuckLevel, -20);
    const QString file = path("round.cdk");
    setLists.SaveSetList(file);
    const QStringList saved = textfile::readLines(file);
    // After the 33 lines, only what differs from the defaults.
    EXPECT_EQ(saved.mid(33), (QStringList{"[TRIMIN6]=20", "[TRIMOUT6]=70", "[FADEIN6]=5",
                                          "[FADEOUT6]=10", "[GAIN6]=-3.5", "[MODE6]=1",
                                          "[GROUP6]=2", "[DUCK1]=1", "[DUCKLEVEL1]=-20"}));

    setLists.LoadSetList(path("nothing-here.cdk")); // reset everything in between
    ASSERT_EQ(board.caption(1), "PLAY SOUND(&Q)");
    ASSERT_FALSE(board.player(1)->MCIOpened());

    QSignalSpy changes(&model, &PadModel::extensionChanged);
    setLists.LoadSetList(file);
    // Each pad's fields come as one change (one redraw, one journal write), not one a field.
    EXPECT_EQ(changes.size(), 2);
    EXPECT_EQ(rig.startup, 0);
    EXPECT_EQ(board.caption(1), QStringLiteral("チャイム=鐘(&Q)"));
    EXPECT_EQ(board.caption(6), "a=b=c(&S)");
    EXPECT_EQ(board.fileName(1), clip1);
    EXPECT_EQ(board.fileName(6), clip6);
    EXPECT_EQ(board.imagePath(2), red);
    EXPECT_EQ(board.imagePath(6), blue);
    EXPECT_TRUE(waitForPicture(2));
    EXPECT_TRUE(waitForPicture(6));
    EXPECT_FALSE(pictureShown(1));
    EXPECT_EQ(board.trackBar(1)->value(), 250);
    EXPECT_EQ(board.trackBar(6)->value(), 0);
    EXPECT_EQ(board.trackBar(8)->value(), 999);
    for (int pad : {1, 6}) {
        EXPECT_TRUE(board.player(pad)->MCIOpened()) << pad;
        EXPECT_TRUE(board.playButton(pad)->isEnabled()) << pad;
        // The reset disabled the transport bar; opening the clip enables it again.
        EXPECT_TRUE(board.transportBar(pad)->isEnabled()) << pad;
        // The clip plays at the level its slider shows.
        EXPECT_EQ(board.player(pad)->volume(), board.trackBar(pad)->value()) << pad;
    }
    for (int f = padfields::TrimIn; f <= padfields::Gain; ++f)
        EXPECT_EQ(model.extension(6, f), prepared[static_cast<size_t>(f)]) << f;
    // The clock counts the trimmed part; the untrimmed pad its whole clip.
    EXPECT_EQ(board.player(6)->Length(), 50);
    EXPECT_EQ(board.player(1)->Length(), 100);
    EXPECT_FALSE(board.playButton(2)->isEnabled());
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
    EXPECT_EQ(setlist::boardLines(board.model()), saved);
    // The menu and the play buttons' tooltips show what came back.
    EXPECT_EQ(board.playButton(6)->toolTip(), QStringLiteral("トグル・グループ 2"));
    EXPECT_EQ(board.playButton(1)->toolTip(), QStringLiteral("ダッキング -20 dB"));
    board.popupFor(6, QPoint());
    EXPECT_TRUE(board.ModeMenu->actions().at(1)->isChecked());
    EXPECT_TRUE(board.GroupMenu->actions().at(2)->isChecked());
    EXPECT_FALSE(board.DuckItem->isChecked());
    board.PopupMenu1->close();
    board.popupFor(1, QPoint());
    EXPECT_TRUE(board.ModeMenu->actions().at(0)->isChecked());
    EXPECT_TRUE(board.DuckItem->isChecked());
    board.PopupMenu1->close();
}

TEST_F(SetListFile, MissingFileResetsEveryPad) {
    const QString clip = rig.writeWav("a.wav");
    board.openClip(3, clip);
    board.loadPicture(3, rig.writePng("p.png", Qt::green));
    ASSERT_TRUE(waitForPicture(3));
    board.setCaption(3, "x(&E)");
    board.trackBar(3)->setValue(10);
    board.playButton(3)->click(); // playing
    board.loopSwitch(3)->setChecked(true);
    board.loopSwitch(5)->setChecked(true); // on, with no clip behind it
    dialogs.errors.clear();

    setLists.LoadSetList(path("never-saved.cdk"));
    EXPECT_EQ(rig.startup, 0);
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
    for (int pad = 1; pad <= PadBoard::kPads; ++pad) {
        EXPECT_FALSE(board.loopSwitch(pad)->isChecked()) << pad;
        EXPECT_EQ(board.fileName(pad), "") << pad;
        EXPECT_FALSE(board.player(pad)->MCIOpened()) << pad;
        EXPECT_FALSE(board.transportBar(pad)->isEnabled()) << pad;
        EXPECT_FALSE(board.playButton(pad)->isEnabled()) << pad;
        EXPECT_EQ(board.caption(pad), PadBoard::initialCaption(pad)) << pad;
        EXPECT_EQ(board.imagePath(pad), "") << pad;
        EXPECT_FALSE(pictureShown(pad)) << pad;
        EXPECT_EQ(board.trackBar(pad)->value(), 1000) << pad;
    }
}

TEST_F(SetListFile, WindowsFileInCp932) {
    board.setCaption(5, "kept(&A)");
    board.loadPicture(1, rig.writePng("old.png", Qt::red));
    ASSERT_TRUE(waitForPicture(1));
    const QString file = path("windows.cdk");
    BoardRig::putFile(file, fixture("setlist_cp932.cdk"));
    setLists.LoadSetList(file);

    EXPECT_EQ(board.caption(1), QStringLiteral("チャイム(&Q)"));
    EXPECT_EQ(board.caption(2),
              QStringLiteral("開演ベル") + QChar(0xFF5E) + QStringLiteral("ＢＧＭ=2(&W)"));
    EXPECT_EQ(board.caption(5), "kept(&A)"); // not in the file: untouched
    // The Windows paths name nothing here: no clip, no picture.
    EXPECT_EQ(board.fileName(1), "");
    EXPECT_FALSE(board.playButton(1)->isEnabled());
    EXPECT_EQ(board.imagePath(1), "");
    EXPECT_FALSE(pictureShown(1));
    EXPECT_EQ(board.trackBar(1)->value(), 800);
    EXPECT_EQ(board.trackBar(2)->value(), 250);
}

TEST_F(SetListFile, LineRules) {
    const QString clip = rig.writeWav("b.wav");
    const QString gone = rig.writeWav("deleted.wav");
    ASSERT_TRUE(QFile::remove(gone));
    const QString fifo = path("pipe.wav");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString broken = path("broken.wav");
    BoardRig::putFile(broken, "this is no sound");
    for (int pad : {3, 4, 5, 6})
        board.trackBar(pad)->setValue(500);

    const QString file = path("rules.cdk");
    textfile::writeLines(file, {
                                   "[PLAYBTN1]=first(&Q)",
                                   "[PLAYBTN1]=second=2(&Q)",
                                   "[FILENAME2]=" + gone,
                                   "[PLAYBTN2]=gone(&W)",
                                   "[VOLUME3]=abc",
                                   "[VOLUME4]=5000",
                                   "[VOLUME5]=-7",
                                   "[volume6]=1",
                                   "[FILENAME7]=" + fifo,
                                   "[FILENAME8]=" + broken,
                                   "[FILENAME1]=" + rig.data + "/sound",
                                   "[IMAGE3]=" + rig.data + "/image",
                               });
    setLists.LoadSetList(file);

    EXPECT_EQ(board.caption(1), "second=2(&Q)");
    EXPECT_EQ(board.fileName(1), ""); // a folder is no clip
    EXPECT_EQ(board.fileName(2), "");
    EXPECT_FALSE(board.playButton(2)->isEnabled());
    EXPECT_EQ(board.caption(2), "gone(&W)");
    EXPECT_EQ(board.trackBar(3)->value(), 1000);
    EXPECT_EQ(board.trackBar(4)->value(), 1000);
    EXPECT_EQ(board.trackBar(5)->value(), 0);
    EXPECT_EQ(board.trackBar(6)->value(), 500);
    EXPECT_EQ(board.fileName(7), "");
    // A clip that exists but does not open keeps its name, silently, with no play button.
    EXPECT_EQ(board.fileName(8), broken);
    EXPECT_FALSE(board.player(8)->MCIOpened());
    EXPECT_FALSE(board.playButton(8)->isEnabled());
    EXPECT_EQ(board.imagePath(3), "");
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();

    // A second FILENAME line for a pad replaces its clip.
    const QString other = rig.writeWav("c.wav");
    textfile::writeLines(file, {"[FILENAME1]=" + clip, "[FILENAME1]=" + other});
    setLists.LoadSetList(file);
    EXPECT_EQ(board.fileName(1), other);
    EXPECT_TRUE(board.player(1)->MCIOpened());
}

TEST_F(SetListFile, HostileFilesAreRefusedAndLeaveTheBoard) {
    board.setCaption(1, "mine(&Q)");
    const QString clip = rig.writeWav("keep.wav");
    board.openClip(2, clip);
    const QStringList before = setlist::boardLines(board.model());

    const QString big = path("big.cdk");
    BoardRig::putFile(big, QByteArray(textfile::kMaxBytes + 1, '='));
    const QString fifo = path("fifo.cdk");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& bad : {big, fifo, rig.data + "/conf", QStringLiteral("/dev/zero")}) {
        try {
            setLists.LoadSetList(bad);
            ADD_FAILURE() << "no error for " << bad.toStdString();
        } catch (const EInOutError& e) {
            EXPECT_TRUE(e.message().contains(bad)) << e.message().toStdString();
        }
        EXPECT_EQ(rig.startup, 0);
        EXPECT_EQ(setlist::boardLines(board.model()), before);
        EXPECT_TRUE(board.player(2)->MCIOpened());
    }

    // Preparation values that do not read are dropped, those out of range clamped; the pad's
    // clip opens and plays whole.
    const QString odd = path("odd.cdk");
    setLists.SaveSetList(odd);
    QStringList lines = textfile::readLines(odd);
    lines << "[TRIMIN2]=abc"
          << "[TRIMOUT2]=-5"
          << "[FADEIN2]=99999999999"
          << "[GAIN2]=+999"
          << "[FADEOUT2]=2000000000";
    textfile::writeLines(odd, lines);
    setLists.LoadSetList(odd);
    EXPECT_TRUE(board.player(2)->MCIOpened());
    EXPECT_EQ(board.player(2)->Length(), 100);
    EXPECT_EQ(board.model().extension(2, padfields::TrimIn), 0);
    EXPECT_EQ(board.model().extension(2, padfields::FadeIn), 0);
    EXPECT_EQ(board.model().extension(2, padfields::Gain), 120);
    EXPECT_EQ(board.model().extension(2, padfields::FadeOut), 600000);
    EXPECT_EQ(setlist::boardLines(board.model()).mid(33),
              (QStringList{"[FADEOUT2]=600000", "[GAIN2]=12"}));

    // Binary junk under the limit: nothing it holds is a key, so the pads are only released.
    QByteArray junk;
    for (int i = 0; i < 200000; ++i)
        junk.append(static_cast<char>((i * 7919) % 251));
    const QString junkFile = path("junk.cdk");
    BoardRig::putFile(junkFile, junk);
    setLists.LoadSetList(junkFile);
    EXPECT_EQ(rig.startup, 0);
    EXPECT_EQ(board.caption(1), "mine(&Q)");
    EXPECT_EQ(board.fileName(2), "");
}

TEST_F(SetListFile, BrokenPicturesAreNamedTogetherAndTheOthersStillLoad) {
    const QString bad2 = path("bad2.png");
    const QString bad5 = path("bad5.jpg");
    BoardRig::putFile(bad2, "not a picture");
    BoardRig::putFile(bad5, QByteArray(100, '\xff'));
    const QString good3 = rig.writePng("good3.png", Qt::red);
    const QString good7 = rig.writePng("good7.png", Qt::blue);
    board.loadPicture(2, rig.writePng("before.png", Qt::green));
    ASSERT_TRUE(waitForPicture(2));
    const QString file = path("pics.cdk");
    textfile::writeLines(
        file, {"[IMAGE2]=" + bad2, "[IMAGE3]=" + good3, "[IMAGE5]=" + bad5, "[IMAGE7]=" + good7});
    setLists.LoadSetList(file);

    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.errors[0].contains(bad2)) << dialogs.errors[0].toStdString();
    EXPECT_TRUE(dialogs.errors[0].contains(bad5)) << dialogs.errors[0].toStdString();
    EXPECT_TRUE(waitForPicture(3));
    EXPECT_TRUE(waitForPicture(7));
    EXPECT_EQ(board.imagePath(7), good7);
    // The broken ones show no picture (not the one from before) and keep the file's name.
    EXPECT_FALSE(pictureShown(2));
    EXPECT_EQ(board.imagePath(2), bad2);
    EXPECT_EQ(rig.startup, 0);
}

TEST_F(SetListFile, NamesWithLineBreaksNeitherEnterTheBoardNorSplitALine) {
    // Legal names on Linux, but a set list line cannot hold them: refused and named, the rest
    // of the file applied.
    const QString crClip = rig.writeWav("two\rlines.wav");
    const QString crPicture = rig.writePng("two\rlines.png", Qt::red);
    const QString clip = rig.writeWav("fine.wav");
    const QString file = path("breaks.cdk");
    textfile::writeLines(file, {"[FILENAME1]=" + crClip, "[PLAYBTN1]=kept(&Q)",
                                "[IMAGE2]=" + crPicture, "[FILENAME3]=" + clip});
    setLists.LoadSetList(file);
    EXPECT_EQ(board.fileName(1), "");
    EXPECT_FALSE(board.player(1)->MCIOpened());
    EXPECT_EQ(board.caption(1), "kept(&Q)");
    EXPECT_EQ(board.imagePath(2), "");
    EXPECT_TRUE(board.player(3)->MCIOpened());
    ASSERT_EQ(dialogs.errors.size(), 1);
    for (const char* name : {"two\\rlines.wav", "two\\rlines.png"})
        EXPECT_TRUE(dialogs.errors[0].contains(QString(name))) << dialogs.errors[0].toStdString();

    // Names that reached the board some other way are still written on their own lines.
    board.setFileName(6, "/x/a\nb.wav");
    board.model().setPicturePath(7, "/y/c\rd.png");
    const QString out = path("out.cdk");
    setLists.SaveSetList(out);
    EXPECT_EQ(BoardRig::fileBytes(out).count('\n'), 33);
    const QStringList saved = textfile::readLines(out);
    ASSERT_EQ(saved.size(), 33);
    EXPECT_EQ(saved[21], "[FILENAME6]=/x/a b.wav");
    EXPECT_EQ(saved[27], "[IMAGE7]=/y/c d.png");
}
