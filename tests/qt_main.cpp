// main() of the Qt tests: a QApplication on the offscreen platform, then every test.
//
// A modal window that no test answers would wait for ever, until ctest's timeout ends the
// whole test program without naming the test or the window. A watchdog gives each modal
// window kAnswerMs to be answered by the test's own driver (which polls every few
// milliseconds); after that it fails the running test, naming the window, and closes it as
// its close box would, so that the test runs on to its end.

#include <QApplication>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

constexpr qint64 kAnswerMs = 2000;

QString describe(QWidget* window) {
    QString text = QString::fromLatin1(window->metaObject()->className()) + " \"" +
                   window->windowTitle() + "\"";
    if (auto* box = qobject_cast<QMessageBox*>(window))
        text += ": " + box->text();
    else if (auto* input = qobject_cast<QInputDialog*>(window))
        text += ": " + input->labelText();
    return text;
}

class ModalWatchdog : public QObject {
public:
    ModalWatchdog() {
        connect(&m_timer, &QTimer::timeout, this, [this] { check(); });
        m_timer.start(50);
    }

private:
    void check() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != m_seen) {
            m_seen = modal;
            m_since.start();
            return;
        }
        if (!modal || m_since.elapsed() < kAnswerMs)
            return;
        ADD_FAILURE() << "a modal window was left unanswered for " << kAnswerMs
                      << " ms: " << describe(modal).toStdString();
        m_seen = nullptr;
        modal->close(); // as the close box does: a question is answered no, a dialog cancelled
    }

    QTimer m_timer;
    QPointer<QWidget> m_seen;
    QElapsedTimer m_since;
};

} // namespace

int main(int argc, char** argv) {
    // What the program keeps in the user's cache folder (the peaks of clips) stays with
    // this run.
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toLocal8Bit());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ModalWatchdog watchdog;
    return RUN_ALL_TESTS();
}
