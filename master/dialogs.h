#pragma once
// The program's dialog conventions, used everywhere:
//  - the plain message box: the message, one "OK" button, the application title as caption;
//  - the standard message dialog: caption from the kind ("警告", "エラー", "情報", "確認"),
//    buttons "はい(&Y)", "いいえ(&N)", "OK"; yes is the default, Escape and the close box
//    answer no; callers act only on mrYes;
//  - the error box: stop icon, the application title as caption, the message with "."
//    appended when its last character comes after "." in character-code order;
//  - the input box: caption, prompt, an edit field pre-filled with a text.
// Every event handler runs inside guarded(), so no exception ever reaches Qt.

#include <QString>
#include <functional>
#include <optional>

namespace dialogs {

enum class MsgKind { Warning, Error, Information, Confirmation };

enum Button { mbYes = 1, mbNo = 2, mbOK = 4 };
using Buttons = int;

// Modal results.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

void plainMessage(const QString& text);
int messageDlg(const QString& text, MsgKind kind, Buttons buttons);
void showErrorBox(const QString& message);
// The error box's text for `message`: "." appended when the last character sorts after ".".
QString errorBoxText(const QString& message);
// Shows the input box; returns the edited text when the user confirms.
std::optional<QString> inputQuery(const QString& caption, const QString& prompt,
                                  const QString& value);

// Runs `handler`; an exception that leaves it is shown in the error box and swallowed.
// Returns true when the handler ran to its end.
bool guarded(const std::function<void()>& handler);

// A seam for logic tests: while installed, the dialogs above call these instead of showing a
// window. Unset members fall back to the real dialog.
struct Responder {
    std::function<void(const QString&)> plainMessage;
    std::function<int(const QString&, MsgKind, Buttons)> messageDlg;
    std::function<void(const QString&)> errorBox;
    std::function<std::optional<QString>(const QString&, const QString&, const QString&)>
        inputQuery;
};
// Installs `responder` (nullptr restores the real dialogs). The caller keeps it alive.
void setResponder(Responder* responder);

} // namespace dialogs
