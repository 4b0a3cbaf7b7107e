#include "cuecommands.h"

#include "cueplayer.h"
#include "dialogs.h"
#include "padboard.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>

namespace {

const QString kMenuTip = QStringLiteral("このパッドをモニター出力だけで鳴らします (Ctrl+キー)");
const QString kDialogTip = QStringLiteral("カーソルのあるファイルをモニター出力だけで鳴らします");

} // namespace

CueCommands::CueCommands(PadBoard& board, QWidget* padParent)
    : QObject(&board), m_board(board), m_cue(board.model().cue()) {
    setObjectName(QStringLiteral("CueCommands"));
    for (int n = 1; n <= board::kPads; ++n) {
        // The pad's letter, as its play button's suffix "(&Q)" names it.
        const QChar letter = PadModel::suffix(n).at(2);
        const int key = Qt::Key_A + (letter.unicode() - u'A');
        auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | key), padParent);
        shortcut->setObjectName(QStringLiteral("cueKey%1").arg(n));
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(false); // a held key cues once
        connect(shortcut, &QShortcut::activated, this, [this, n] {
            if (!PadBoard::typingInField())
                toggle(n);
        });
        m_keys[size_t(n - 1)] = shortcut;
    }

    m_menu = board.PopupMenu1->addAction(QStringLiteral("モニターで試聴"));
    m_menu->setObjectName(QStringLiteral("cueAction"));
    m_menu->setCheckable(true);
    board.PopupMenu1->setToolTipsVisible(true);
    connect(m_menu, &QAction::triggered, this, [this] {
        m_menu->setChecked(false); // shows the cue itself when the menu opens next
        toggle(m_board.popupPad());
    });
    connect(board.PopupMenu1, &QMenu::aboutToShow, this, [this] {
        const int n = m_board.popupPad();
        m_menu->setChecked(n >= 1 && m_cue.cueing(n));
    });

    m_dialog = board.OpenDialog1;
    m_dialogButton = new QPushButton(QStringLiteral("試聴"), m_dialog);
    m_dialogButton->setObjectName(QStringLiteral("cueButton"));
    m_dialogButton->setCheckable(true);
    m_dialogButton->setAutoDefault(false); // Return still opens the file
    if (auto* box = m_dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox")))
        box->addButton(m_dialogButton, QDialogButtonBox::ActionRole);
    connect(m_dialogButton, &QPushButton::clicked, this, [this] { cueUnderCursor(); });
    connect(m_dialog, &QFileDialog::currentChanged, this, [this](const QString& path) {
        m_underCursor = QFileInfo(path).isFile() ? path : QString();
        showAvailability();
    });
    // The dialog's cue ends with the dialog.
    connect(m_dialog, &QDialog::finished, this, [this] {
        if (m_dialogCue != 0)
            m_cue.stopCue(std::exchange(m_dialogCue, 0));
        showDialogCue();
    });

    connect(&m_cue, &CuePlayer::availabilityChanged, this, &CueCommands::showAvailability);
    connect(&m_cue, &CuePlayer::cueChanged, this, [this](int pad) {
        if (pad == m_dialogCue && !m_cue.cueing(pad))
            m_dialogCue = 0;
        showDialogCue();
    });
    showAvailability();
}

int CueCommands::dialogPad() const {
    bool ok = false;
    const int pad = m_dialog ? m_dialog->property("tag").toInt(&ok) : 0;
    return ok && pad >= 1 && pad <= board::kPads ? pad : 1;
}

void CueCommands::toggle(int pad) {
    dialogs::guarded([&] {
        if (pad < 1 || pad > board::kPads)
            return;
        if (m_cue.cueing(pad))
            m_cue.stopCue(pad);
        else
            m_board.model().cuePad(pad);
    });
}

void CueCommands::cueUnderCursor() {
    dialogs::guarded([&] {
        if (m_dialogCue != 0) {
            m_cue.stopCue(std::exchange(m_dialogCue, 0));
            return;
        }
        if (m_underCursor.isEmpty())
            return;
        const int pad = dialogPad();
        m_cue.cue(pad, m_underCursor);
        m_dialogCue = pad;
    });
    showDialogCue();
}

void CueCommands::showDialogCue() {
    if (m_dialogButton)
        m_dialogButton->setChecked(m_dialogCue != 0);
}

void CueCommands::showAvailability() {
    const bool on = m_cue.available();
    const QString why = m_cue.unavailableReason();
    for (QShortcut* key : m_keys)
        key->setEnabled(on);
    m_menu->setEnabled(on);
    m_menu->setToolTip(on ? kMenuTip : why);
    if (!m_dialogButton)
        return;
    m_dialogButton->setEnabled(on && (!m_underCursor.isEmpty() || m_dialogCue != 0));
    m_dialogButton->setToolTip(on ? kDialogTip : why);
}
