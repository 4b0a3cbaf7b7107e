#pragma once
// The window tests' stand-ins for a user at the dialogs: a recorder that answers the program's
// message and input boxes instead of showing them, and answers to real modal dialogs once they
// are up.

#include "dialogs.h"

#include <QApplication>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

// Records every message box, error box and input box while it lives: message boxes (warnings
// and questions) are answered with `answer`, input boxes with `typed` (nothing: cancelled)
// after the offered text is kept.
struct DialogRecorder {
    DialogRecorder() {
        responder.plainMessage = [this](const QString& text) { plain << text; };
        responder.errorBox = [this](const QString& text) { errors << text; };
        responder.messageDlg = [this](const QString& text, dialogs::MsgKind, dialogs::Buttons) {
            messages << text;
            return answer;
        };
        responder.inputQuery = [this](const QString&, const QString&, const QString& value) {
            offered << value;
            return typed;
        };
        dialogs::setResponder(&responder);
    }
    ~DialogRecorder() { dialogs::setResponder(nullptr); }
    DialogRecorder(const DialogRecorder&) = delete;
    DialogRecorder& operator=(const DialogRecorder&) = delete;

    dialogs::Responder responder;
    QStringList plain, errors, messages, offered;
    int answer = dialogs::mrYes;
    std::optional<QString> typed;
};

// Acts on real modal dialogs: whenModal<W>(act) runs `act` on the next modal dialog of type W
// as soon as it is shown; answeredModals() counts the acts that ran, so that a test can tell
// that its dialog came at all; forgetModals() drops what still waits.
class ModalAnswers {
protected:
    template <typename W> void whenModal(std::function<void(W*)> act) {
        auto* timer = new QTimer(m_waiting.get());
        QObject::connect(timer, &QTimer::timeout, [this, timer, act] {
            if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
                timer->stop();
                ++m_answered;
                act(w);
            }
        });
        timer->start(10);
    }
    int answeredModals() const { return m_answered; }
    void forgetModals() { m_waiting = std::make_unique<QObject>(); }

private:
    std::unique_ptr<QObject> m_waiting = std::make_unique<QObject>();
    int m_answered = 0;
};
