// The ten setLists: switching, saving, the copy buffer, file import and export, and the
// questions about unsaved changes.

#include "boardjournal.h"
#include "clipplayer.h"
#include "errors.h"
#include "padfields.h"
#include "setlist_support.h"
#include "setlistio.h"
#include "setlistslots.h"
#include "textfile.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

const QString kSaveQuestion = QStringLiteral("のデータが変更されています。保存しますか？");
const QString kAbandonQuestion = QStringLiteral("のデータが変更されています。終了していいですか？");

struct SetListSlotsTest : ::testing::Test {
    BoardRig rig;
    PadBoard& board = rig.board;
    QLabel slotPanel;
    QLabel pathPanel;
    DialogLog dialogs;
    SetListSlots setLists{board.model(), board.OpenDialog1, rig.data, &slotPanel, &pathPanel};

    QString conf(const QString& name) const { return rig.data + "/conf/" + name; }

    // Runs a handler as the window does: inside the guard.
    bool run(const std::function<void()>& handler) { return dialogs::guarded(handler); }

    // Answers the next file dialog with `file`, after checking where it starts.
    void answerFileDialog(QFileDialog* dialog, const QString& file) {
        QTimer::singleShot(0, dialog, [this, dialog, file] {
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_EQ(QDir(dialog->directory()).absolutePath(), QDir(rig.data).absolutePath());
            // Qt drops the leading blank of the filter's caption.
            EXPECT_EQ(dialog->nameFilters(),
                      QStringList{QStringLiteral("Cuedeckファイル (*.cdk)")});
            if (file.isEmpty()) {
                dialog->reject();
                return;
            }
            // Typed into the name field, as a user does; accept() runs the dialog's checks.
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(edit, nullptr);
            edit->setText(file);
            static_cast<QDialog*>(dialog)->accept();
            EXPECT_FALSE(dialog->isVisible());
        });
    }

    void writeSlot(int k, const QString& caption1) {
        textfile::writeLines(setLists.slotFile(k), {"[PLAYBTN1]=" + caption1});
    }
};

} // namespace

TEST_F(SetListSlotsTest, FirstShowingMakesSlotOneCurrentWithItsBaseline) {
    writeSlot(1, QStringLiteral("一(&Q)"));
    setLists.FormShow();
    EXPECT_EQ(slotPanel.text(), "1");
    EXPECT_EQ(pathPanel.text(), rig.data + "/conf/setlist1.cdk");
    EXPECT_EQ(board.caption(1), QStringLiteral("一(&Q)"));
    EXPECT_EQ(textfile::readLines(setLists.baselineFile()), setlist::boardLines(board.model()));
    EXPECT_FALSE(setLists.SetListModified());
    // The check copy holds the board as compared.
    EXPECT_EQ(textfile::readLines(setLists.checkFile()), setlist::boardLines(board.model()));
    EXPECT_TRUE(dialogs.asked.empty());
}

TEST_F(SetListSlotsTest, ComparisonDoesNotDependOnTheCheckCopy) {
    setLists.FormShow();
    ASSERT_TRUE(QDir().mkdir(setLists.checkFile())); // the check copy cannot be written
    EXPECT_FALSE(setLists.SetListModified());
    board.setCaption(2, "x(&W)");
    EXPECT_TRUE(setLists.SetListModified());
    board.setCaption(2, "PLAY SOUND(&W)");
    EXPECT_FALSE(setLists.SetListModified());
}

TEST_F(SetListSlotsTest, SwitchAsksOnlyAfterAChange) {
    writeSlot(2, QStringLiteral("二(&Q)"));
    setLists.FormShow();
    // No change: no question, slot 2 loaded.
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_EQ(slotPanel.text(), "2");
    EXPECT_EQ(pathPanel.text(), setLists.slotFile(2));
    EXPECT_EQ(board.caption(1), QStringLiteral("二(&Q)"));

    // A changed caption, answered yes: slot 2's file gets it before slot 3 loads.
    board.setCaption(1, QStringLiteral("変更(&Q)"));
    dialogs.answers = {dialogs::mrYes};
    ASSERT_TRUE(run([&] { setLists.selectSlot(3); }));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, "2" + kSaveQuestion);
    EXPECT_EQ(dialogs.asked[0].kind, dialogs::MsgKind::Confirmation);
    EXPECT_EQ(dialogs.asked[0].buttons, dialogs::mbYes | dialogs::mbNo);
    EXPECT_TRUE(
        textfile::readLines(setLists.slotFile(2)).contains(QStringLiteral("[PLAYBTN1]=変更(&Q)")));
    EXPECT_EQ(slotPanel.text(), "3");
    EXPECT_EQ(board.caption(1), "PLAY SOUND(&Q)"); // slot 3 was never saved

    // Answered no: slot 3's file is not written, the switch goes ahead.
    board.setCaption(1, QStringLiteral("捨てる(&Q)"));
    dialogs.asked.clear();
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, "3" + kSaveQuestion);
    EXPECT_FALSE(QFile::exists(setLists.slotFile(3)));
    EXPECT_EQ(board.caption(1), QStringLiteral("変更(&Q)"));

    // A volume is a change too; a loop switch is not.
    dialogs.asked.clear();
    board.trackBar(4)->setValue(3);
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    EXPECT_EQ(dialogs.asked.size(), 1u);
    dialogs.asked.clear();
    board.model().setExtension(4, padfields::TrimIn, 1250); // so is a trimmed in point
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    EXPECT_EQ(dialogs.asked.size(), 1u);
    dialogs.asked.clear();
    board.loopSwitch(4)->setChecked(true);
    dialogs.errors.clear();
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_FALSE(board.loopSwitch(4)->isChecked());
}

TEST_F(SetListSlotsTest, SlotButtonsFindTheirSlotByTag) {
    setLists.FormShow();
    QPushButton button;
    button.setProperty("tag", 10);
    ASSERT_TRUE(run([&] { setLists.setlist1Click(&button); }));
    EXPECT_EQ(slotPanel.text(), "10");
    EXPECT_EQ(pathPanel.text(), rig.data + "/conf/setlist10.cdk");
}

TEST_F(SetListSlotsTest, CopyOnTwoPasteOnFive) {
    writeSlot(2, QStringLiteral("二番(&Q)"));
    setLists.FormShow();
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    board.model().setExtension(3, padfields::FadeOut, 800);
    board.model().setExtension(3, padfields::Gain, padfields::kGainSilent);
    ASSERT_TRUE(run([&] { setLists.Button10Click(); }));
    dialogs.answers = {dialogs::mrNo};
    ASSERT_TRUE(run([&] { setLists.selectSlot(5); }));
    dialogs.asked.clear();
    EXPECT_EQ(board.caption(1), "PLAY SOUND(&Q)");
    EXPECT_EQ(board.model().extension(3, padfields::FadeOut), 0);
    ASSERT_TRUE(run([&] { setLists.Button16Click(); }));
    EXPECT_EQ(board.caption(1), QStringLiteral("二番(&Q)"));
    EXPECT_EQ(board.model().extension(3, padfields::FadeOut), 800);
    EXPECT_EQ(board.model().extension(3, padfields::Gain), padfields::kGainSilent);
    EXPECT_EQ(slotPanel.text(), "5");
    EXPECT_TRUE(dialogs.asked.empty());

    ASSERT_TRUE(run([&] { setLists.selectSlot(6); }));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, "5" + kSaveQuestion);
}

TEST_F(SetListSlotsTest, SaveSetListWritesTheSlotAndSaysSo) {
    setLists.FormShow();
    ASSERT_TRUE(run([&] { setLists.selectSlot(3); }));
    board.setCaption(2, QStringLiteral("保存(&W)"));
    ASSERT_TRUE(run([&] { setLists.Button22Click(); }));
    EXPECT_EQ(textfile::readLines(setLists.slotFile(3)), setlist::boardLines(board.model()));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, QStringLiteral("SETLIST3\r\n保存しました。"));
    EXPECT_EQ(dialogs.asked[0].kind, dialogs::MsgKind::Information);
    EXPECT_EQ(dialogs.asked[0].buttons, dialogs::mbYes);
    EXPECT_FALSE(setLists.SetListModified());
}

TEST_F(SetListSlotsTest, SaveFileAddsTheExtensionAndRenewsTheBaseline) {
    setLists.FormShow();
    board.setCaption(3, QStringLiteral("書き出し(&E)"));
    answerFileDialog(setLists.SaveDialog1(), rig.data + "/mylist");
    ASSERT_TRUE(run([&] { setLists.Button2Click(); }));
    EXPECT_FALSE(QFile::exists(rig.data + "/mylist"));
    EXPECT_EQ(textfile::readLines(rig.data + "/mylist.cdk"), setlist::boardLines(board.model()));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, QStringLiteral("保存しました。"));
    EXPECT_EQ(dialogs.asked[0].kind, dialogs::MsgKind::Warning);
    EXPECT_EQ(dialogs.asked[0].buttons, dialogs::mbYes);
    EXPECT_FALSE(QFile::exists(setLists.slotFile(1))); // the slot itself was not written

    // An existing file is replaced without a question; "a.b.txt" becomes "a.b.cdk".
    dialogs.asked.clear();
    BoardRig::putFile(rig.data + "/a.b.cdk", "old\r\n");
    answerFileDialog(setLists.SaveDialog1(), rig.data + "/a.b.txt");
    ASSERT_TRUE(run([&] { setLists.Button2Click(); }));
    EXPECT_EQ(textfile::readLines(rig.data + "/a.b.cdk"), setlist::boardLines(board.model()))
        << QDir(rig.data).entryList().join(' ').toStdString();
    EXPECT_FALSE(QFile::exists(rig.data + "/a.b.txt"));

    dialogs.asked.clear();
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    EXPECT_TRUE(dialogs.asked.empty());

    // Cancel: nothing written, nothing said.
    answerFileDialog(setLists.SaveDialog1(), QString());
    ASSERT_TRUE(run([&] { setLists.Button2Click(); }));
    EXPECT_TRUE(dialogs.asked.empty());
}

TEST_F(SetListSlotsTest, CdkExtension) {
    EXPECT_EQ(SetListSlots::withCdkExtension("/d/a.b.txt"), "/d/a.b.cdk");
    EXPECT_EQ(SetListSlots::withCdkExtension("/d/name"), "/d/name.cdk");
    EXPECT_EQ(SetListSlots::withCdkExtension("/d.x/name"), "/d.x/name.cdk");
    EXPECT_EQ(SetListSlots::withCdkExtension("/d/list.cdk"), "/d/list.cdk");
    EXPECT_EQ(SetListSlots::withCdkExtension("/d/.hidden"), "/d/.hidden.cdk");
}

TEST_F(SetListSlotsTest, LoadFileAsksFirstAndCountsAsAChange) {
    setLists.FormShow();
    const QString other = rig.data + "/other.cdk";
    textfile::writeLines(other, {QStringLiteral("[PLAYBTN2]=外部(&W)")});

    // Unchanged board: no question, the file loads, the slot stays.
    answerFileDialog(setLists.OpenDialog1(), other);
    ASSERT_TRUE(run([&] { setLists.Button21Click(); }));
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_EQ(board.caption(2), QStringLiteral("外部(&W)"));
    EXPECT_EQ(slotPanel.text(), "1");
    EXPECT_TRUE(setLists.SetListModified());

    // Changed board, answered no: the dialog never shows and the board stays.
    board.setCaption(2, QStringLiteral("残す(&W)"));
    ASSERT_TRUE(run([&] { setLists.Button21Click(); }));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, "1" + kAbandonQuestion);
    EXPECT_EQ(board.caption(2), QStringLiteral("残す(&W)"));
    EXPECT_FALSE(setLists.OpenDialog1()->isVisible());
}

TEST_F(SetListSlotsTest, CloseRequestAsksWithItsOwnWording) {
    setLists.FormShow();
    EXPECT_TRUE(setLists.FormCloseQuery());
    EXPECT_TRUE(dialogs.asked.empty());

    board.setCaption(1, "x(&Q)");
    EXPECT_FALSE(setLists.FormCloseQuery());
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, "SETLIST1" + kAbandonQuestion);
    dialogs.answers = {dialogs::mrYes};
    EXPECT_TRUE(setLists.FormCloseQuery());

    // Without a readable baseline the board counts as changed; the user can still quit.
    ASSERT_TRUE(QFile::remove(setLists.baselineFile()));
    ASSERT_TRUE(QDir().mkdir(setLists.baselineFile()));
    board.setCaption(1, "PLAY SOUND(&Q)");
    dialogs.asked.clear();
    dialogs.answers = {dialogs::mrYes};
    EXPECT_TRUE(setLists.FormCloseQuery());
    EXPECT_EQ(dialogs.asked.size(), 1u);
}

TEST_F(SetListSlotsTest, FailedSaveStopsTheSwitch) {
    setLists.FormShow();
    board.setCaption(1, QStringLiteral("大事(&Q)"));
    // Slot 1's file cannot be written: its name is taken by a folder.
    ASSERT_TRUE(QDir().mkdir(setLists.slotFile(1)));
    dialogs.answers = {dialogs::mrYes};
    EXPECT_FALSE(run([&] { setLists.selectSlot(4); }));
    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.errors[0].contains(setLists.slotFile(1)));
    EXPECT_EQ(slotPanel.text(), "1");
    EXPECT_EQ(board.caption(1), QStringLiteral("大事(&Q)"));

    // Save set list: the error, and no word of success.
    dialogs.asked.clear();
    dialogs.errors.clear();
    EXPECT_FALSE(run([&] { setLists.Button22Click(); }));
    EXPECT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_TRUE(setLists.SetListModified());
}

TEST_F(SetListSlotsTest, FailedSaveKeepsTheSlotFile) {
    writeSlot(1, "old(&Q)");
    setLists.FormShow();
    board.setCaption(1, QStringLiteral("新しい(&Q)"));
    const QByteArray before = BoardRig::fileBytes(setLists.slotFile(1));

    bool ran = true;
    withFileSizeLimit(100, [&] { ran = run([&] { setLists.Button22Click(); }); });

    EXPECT_FALSE(ran);
    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.errors[0].contains(setLists.slotFile(1)));
    EXPECT_EQ(BoardRig::fileBytes(setLists.slotFile(1)), before);
    EXPECT_TRUE(dialogs.asked.empty()); // no "保存しました。"
}

TEST_F(SetListSlotsTest, UnreadableSlotLeavesTheCurrentOne) {
    const QString clip = rig.writeWav("k.wav");
    setLists.FormShow();
    board.openClip(1, clip);
    board.setCaption(1, "here(&Q)");
    ASSERT_TRUE(run([&] { setLists.Button22Click(); }));
    dialogs.asked.clear();
    BoardRig::putFile(setLists.slotFile(7), QByteArray(textfile::kMaxBytes + 10, 'x'));

    EXPECT_FALSE(run([&] { setLists.selectSlot(7); }));
    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.errors[0].contains(setLists.slotFile(7)));
    EXPECT_EQ(slotPanel.text(), "1");
    EXPECT_EQ(pathPanel.text(), setLists.slotFile(1));
    EXPECT_EQ(board.caption(1), "here(&Q)");
    EXPECT_TRUE(board.player(1)->MCIOpened());
    EXPECT_EQ(rig.startup, 0);
    EXPECT_FALSE(setLists.SetListModified());
}

TEST_F(SetListSlotsTest, BaselineWriteFailureDoesNotBlockTheSwitch) {
    writeSlot(8, "eight(&Q)");
    setLists.FormShow();
    ASSERT_TRUE(QFile::remove(setLists.baselineFile()));
    ASSERT_TRUE(QDir().mkdir(setLists.baselineFile()));
    dialogs.answers = {dialogs::mrNo};
    run([&] { setLists.selectSlot(8); });
    EXPECT_EQ(slotPanel.text(), "8");
    EXPECT_EQ(board.caption(1), "eight(&Q)");
    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.errors[0].contains("setlist.bak"));
}

TEST_F(SetListSlotsTest, CloseWritesTheReleasedBoard) {
    const QString clip = rig.writeWav("z.wav");
    setLists.FormShow();
    board.openClip(2, clip);
    board.setCaption(2, "end(&W)");
    setLists.FormClose();
    EXPECT_EQ(rig.startup, 1);
    EXPECT_FALSE(board.player(2)->MCIOpened());
    const QStringList lines = textfile::readLines(conf("def.conf"));
    EXPECT_TRUE(lines.contains("[FILENAME2]="));
    EXPECT_TRUE(lines.contains("[PLAYBTN2]=end(&W)"));
}

TEST_F(SetListSlotsTest, ABrokenPictureKeepsItsPathAndTheSlotStaysUnchanged) {
    // A picture whose header is fine and whose body is cut off fails only in the decoder.
    const QString whole = rig.writePng("whole.png", Qt::red);
    const QString torn = rig.data + "/image/torn.png";
    BoardRig::putFile(torn, BoardRig::fileBytes(whole).left(40));
    textfile::writeLines(setLists.slotFile(2), {"[IMAGE3]=" + torn, "[PLAYBTN3]=torn(&E)"});
    setLists.FormShow();
    QSignalSpy finished(&board, &PadBoard::pictureFinished);
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(finished.last(), QVariantList({3, false}));
    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.errors[0].contains(torn)) << dialogs.errors[0].toStdString();
    EXPECT_TRUE(board.image(3)->pixmap().isNull());

    // The board still says what the file says: no change to save, no question.
    EXPECT_EQ(board.imagePath(3), torn);
    EXPECT_FALSE(setLists.SetListModified());
    ASSERT_TRUE(run([&] { setLists.selectSlot(1); }));
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_TRUE(textfile::readLines(setLists.slotFile(2)).contains("[IMAGE3]=" + torn));
}

TEST_F(SetListSlotsTest, ACaptionWithALineBreakIsSavedOnOneLine) {
    setLists.FormShow();
    board.setCaption(4, QStringLiteral("上\n下\r\n(&R)"));
    ASSERT_TRUE(run([&] { setLists.Button22Click(); }));
    const QStringList saved = textfile::readLines(setLists.slotFile(1));
    ASSERT_EQ(saved.size(), 33);
    EXPECT_EQ(saved[14], QStringLiteral("[PLAYBTN4]=上 下  (&R)"));
    EXPECT_EQ(saved[15], "[IMAGE4]=");
    // Saved as it is shown: the board does not count as changed ever after.
    EXPECT_FALSE(setLists.SetListModified());
    dialogs.asked.clear();
    ASSERT_TRUE(run([&] { setLists.selectSlot(2); }));
    EXPECT_TRUE(dialogs.asked.empty());
}

TEST_F(SetListSlotsTest, TheJournalFollowsAStormAtMostOnceASecondAndBringsTheBoardBack) {
    writeSlot(3, "three(&Q)");
    setLists.FormShow();
    run([&] { setLists.selectSlot(3); });
    BoardJournal journal(board.model(), setLists, rig.data);
    journal.start();
    QElapsedTimer storm;
    storm.start();
    for (int i = 0; storm.elapsed() < 1500; ++i) {
        board.trackBar(2)->setValue(i % 1000); // a slider dragged
        QTest::qWait(5);
    }
    board.setCaption(8, "last(&F)");
    board.model().setExtension(8, padfields::TrimOut, 4321);
    ASSERT_TRUE(journal.waitUntilWritten(5000));
    EXPECT_LE(journal.writes(), 1 + storm.elapsed() / BoardJournal::kMinIntervalMs + 1);
    const QStringList written = textfile::readLines(journal.path());
    EXPECT_EQ(written, journal::format({3, true, setlist::boardLines(board.model())}));

    // A session that ends without a clean exit: the next start offers the board back.
    run([&] { setLists.selectSlot(1); }); // no: the board of slot 1 comes
    ASSERT_EQ(board.caption(8), "PLAY SOUND(&F)");
    journal.finish();
    EXPECT_FALSE(QFile::exists(journal.path()));
    textfile::writeLines(journal.path(), written);
    BoardRig::putFile(conf(".board.journal.Ab3x9Qz"), "cut short"); // a write cut off
    dialogs.asked.clear();
    dialogs.answers = {dialogs::mrYes};
    EXPECT_TRUE(BoardJournal(board.model(), setLists, rig.data).offerRestore());
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text,
              QStringLiteral("前回終了時の作業が保存されていません。復元しますか？"));
    EXPECT_EQ(board.caption(8), "last(&F)");
    EXPECT_EQ(board.model().extension(8, padfields::TrimOut), 4321);
    EXPECT_EQ(board.caption(1), "three(&Q)");
    EXPECT_EQ(slotPanel.text(), "3");
    EXPECT_FALSE(board.player(2)->MCIOpened() && board.player(2)->Mode() == mpPlaying);
    EXPECT_TRUE(setLists.SetListModified()); // even where it equals the slot file
    EXPECT_FALSE(QFile::exists(conf(".board.journal.Ab3x9Qz")));

    // No keeps it as .bak; one that is not a journal is set aside with a message.
    dialogs.answers = {dialogs::mrNo};
    EXPECT_FALSE(BoardJournal(board.model(), setLists, rig.data).offerRestore());
    EXPECT_EQ(textfile::readLines(journal.path() + ".bak"), written);
    for (const QByteArray& bad : {QByteArray("[Journal]=2\r\n"), QByteArray("\xff\xfe\x00", 3),
                                  QByteArray("[Journal]=1\r\n[SetList]=11\r\n[Modified]=0")}) {
        BoardRig::putFile(journal.path(), bad);
        dialogs.asked.clear();
        EXPECT_FALSE(BoardJournal(board.model(), setLists, rig.data).offerRestore());
        ASSERT_EQ(dialogs.asked.size(), 1u);
        EXPECT_EQ(dialogs.asked[0].kind, dialogs::MsgKind::Warning);
        EXPECT_TRUE(QFile::exists(journal.path() + ".bad"));
        EXPECT_FALSE(QFile::exists(journal.path()));
    }
    EXPECT_EQ(board.caption(8), "last(&F)");
}
