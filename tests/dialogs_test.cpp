#include "dialogs.h"
#include "errors.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using namespace dialogs;

TEST(ErrorBox, AppendsDotOnlyAfterCharactersSortingAfterDot) {
    EXPECT_EQ(errorBoxText("MCI デバイスがありません"), "MCI デバイスがありません.");
    EXPECT_EQ(errorBoxText("done."), "done.");
    EXPECT_EQ(errorBoxText("what?!"), "what?!"); // '!' sorts before '.'
    EXPECT_EQ(errorBoxText("(x)"), "(x)");
    EXPECT_EQ(errorBoxText("file/"), "file/.");
    EXPECT_EQ(errorBoxText(""), "");
}

TEST(Guarded, ShowsEscapingExceptionsAndSkipsTheRest) {
    QStringList shown;
    Responder r;
    r.errorBox = [&](const QString& t) { shown << t; };
    setResponder(&r);
    bool after = false;
    EXPECT_FALSE(guarded([&] {
        throw EMCIDeviceError("MCI デバイスがありません");
        after = true;
    }));
    EXPECT_FALSE(guarded([] { throw std::runtime_error("boom"); }));
    EXPECT_TRUE(guarded([] {}));
    setResponder(nullptr);
    EXPECT_FALSE(after);
    EXPECT_EQ(shown, QStringList({"MCI デバイスがありません.", "boom."}));
}

// Drives the real message dialog: yes is the default button, Escape answers no.
TEST(MessageDlg, YesIsDefaultAndEscapeAnswersNo) {
    auto answer = [](int key) {
        QTimer::singleShot(0, [key] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), "確認");
            EXPECT_EQ(box->defaultButton()->text(), "はい(&Y)");
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(box, &press);
        });
        return messageDlg("保存しますか？", MsgKind::Confirmation, mbYes | mbNo);
    };
    EXPECT_EQ(answer(Qt::Key_Return), mrYes);
    EXPECT_EQ(answer(Qt::Key_Escape), mrNo);
}

// The Qt tests' main keeps a watchdog: a modal window that nothing answers fails the running
// test, naming the window, and is closed, so the test ends instead of waiting for ever.
TEST(MessageDlg, AnUnansweredModalWindowFailsTheTestAndIsClosed) {
    EXPECT_NONFATAL_FAILURE(
        EXPECT_EQ(messageDlg("誰も答えない質問", MsgKind::Confirmation, mbYes | mbNo), mrNo),
        "QMessageBox \"確認\": 誰も答えない質問");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}
