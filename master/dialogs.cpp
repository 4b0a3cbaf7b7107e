#include "dialogs.h"

#include "apptitle.h"
#include "errors.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace dialogs {
namespace {

Responder* g_responder = nullptr;

QString kindCaption(MsgKind kind) {
    switch (kind) {
    case MsgKind::Warning:
        return QStringLiteral("警告");
    case MsgKind::Error:
        return QStringLiteral("エラー");
    case MsgKind::Information:
        return QStringLiteral("情報");
    case MsgKind::Confirmation:
        return QStringLiteral("確認");
    }
    return {};
}

QMessageBox::Icon kindIcon(MsgKind kind) {
    switch (kind) {
    case MsgKind::Warning:
        return QMessageBox::Warning;
    case MsgKind::Error:
        return QMessageBox::Critical;
    case MsgKind::Information:
        return QMessageBox::Information;
    case MsgKind::Confirmation:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QWidget* dialogParent() {
    QWidget* w = QApplication::activeWindow();
    return w && w->isVisible() ? w : nullptr;
}

} // namespace

void setResponder(Responder* responder) {
    g_responder = responder;
}

void plainMessage(const QString& text) {
    if (g_responder && g_responder->plainMessage) {
        g_responder->plainMessage(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok, dialogParent());
    box.setTextFormat(Qt::PlainText);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
    box.exec();
}

int messageDlg(const QString& text, MsgKind kind, Buttons buttons) {
    if (g_responder && g_responder->messageDlg)
        return g_responder->messageDlg(text, kind, buttons);
    QMessageBox box(kindIcon(kind), kindCaption(kind), text, QMessageBox::NoButton, dialogParent());
    box.setTextFormat(Qt::PlainText);
    QPushButton* yes = nullptr;
    QPushButton* no = nullptr;
    QPushButton* ok = nullptr;
    if (buttons & mbYes)
        yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
    if (buttons & mbNo)
        no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
    if (buttons & mbOK)
        ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    if (yes)
        box.setDefaultButton(yes);
    else if (ok)
        box.setDefaultButton(ok);
    // Escape and the close box answer no; where there is no "no", they close the box.
    box.setEscapeButton(no ? no : (ok ? ok : yes));
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (clicked && clicked == yes)
        return mrYes;
    if (clicked && clicked == ok)
        return mrOk;
    if (clicked && clicked == no)
        return mrNo;
    return mrNone;
}

QString errorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QChar(u'.'))
        return message + u'.';
    return message;
}

void showErrorBox(const QString& message) {
    const QString text = errorBoxText(message);
    if (g_responder && g_responder->errorBox) {
        g_responder->errorBox(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, applicationTitle(), text, QMessageBox::Ok,
                    dialogParent());
    box.setTextFormat(Qt::PlainText);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
    box.exec();
}

std::optional<QString> inputQuery(const QString& caption, const QString& prompt,
                                  const QString& value) {
    if (g_responder && g_responder->inputQuery)
        return g_responder->inputQuery(caption, prompt, value);
    QInputDialog dlg(dialogParent());
    dlg.setWindowTitle(caption);
    dlg.setLabelText(prompt);
    dlg.setTextValue(value);
    dlg.setInputMode(QInputDialog::TextInput);
    if (dlg.exec() != QDialog::Accepted)
        return std::nullopt;
    return dlg.textValue();
}

bool guarded(const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (const ECueError& e) {
        showErrorBox(e.message());
    } catch (const std::exception& e) {
        showErrorBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        showErrorBox(QStringLiteral("原因不明のエラー"));
    }
    return false;
}

} // namespace dialogs
