#include "setlistslots.h"

#include "dialogs.h"
#include "errors.h"
#include "filedialogs.h"
#include "padmodel.h"
#include "setlistio.h"
#include "settings.h"
#include "textfile.h"

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QVariant>

namespace {

const QString kFilter = QStringLiteral(" Cuedeckファイル (*.cdk)");

QFileDialog* makeSaveDialog(QWidget* parent) {
    auto* dialog = new QFileDialog(parent);
    dialog->setObjectName(QStringLiteral("SaveDialog1"));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setOption(QFileDialog::DontConfirmOverwrite); // an existing file is replaced
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    return dialog;
}

// Shows `dialog` starting in `folder`; the chosen file, or "" when the user cancels.
QString runDialog(QFileDialog* dialog, const QString& folder) {
    if (!dialog)
        return {};
    dialog->setNameFilter(kFilter);
    dialog->setDirectory(folder);
    dialog->selectFile(QString());
    if (dialog->exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog->selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

} // namespace

SetListSlots::SetListSlots(PadModel& board, QFileDialog* openDialog, QString dataFolder,
                           QLabel* slotPanel, QLabel* pathPanel, QWidget* dialogParent,
                           QObject* parent)
    : QObject(parent), m_board(board), m_openDialog(openDialog),
      m_dataFolder(std::move(dataFolder)), m_slotPanel(slotPanel), m_pathPanel(pathPanel),
      m_saveDialog(makeSaveDialog(dialogParent)) {
    filedialogs::keepReadable(m_saveDialog, filedialogs::kListSize,
                              [this] { return settings::path(m_dataFolder); });
}

SetListSlots::~SetListSlots() {
    delete m_saveDialog.data();
}

QFileDialog* SetListSlots::OpenDialog1() const {
    return m_openDialog.data();
}

QFileDialog* SetListSlots::SaveDialog1() const {
    return m_saveDialog.data();
}

QString SetListSlots::confFile(const QString& name) const {
    return m_dataFolder + QStringLiteral("/conf/") + name;
}

QString SetListSlots::slotFile(int k) const {
    return confFile(QStringLiteral("setlist%1.cdk").arg(k));
}

QString SetListSlots::baselineFile() const {
    return confFile(QStringLiteral("setlist.bak"));
}

QString SetListSlots::checkFile() const {
    return confFile(QStringLiteral("setlist.chk"));
}

QString SetListSlots::copyBufferFile() const {
    return confFile(QStringLiteral("setlistcopy.cdk"));
}

QString SetListSlots::CurrentSetList() const {
    return QString::number(m_current);
}

void SetListSlots::SaveSetList(const QString& path) {
    setlist::saveBoard(m_board, path);
}

void SetListSlots::applyLines(const std::optional<QStringList>& lines) {
    const QStringList errors = setlist::applySetList(m_board, lines);
    if (!errors.isEmpty())
        dialogs::showErrorBox(errors.join(u'\n'));
}

void SetListSlots::LoadSetList(const QString& path) {
    applyLines(setlist::readSetListFile(path));
}

bool SetListSlots::SetListModified() {
    const QStringList lines = setlist::boardLines(m_board);
    try {
        textfile::writeLines(checkFile(), lines, textfile::Flush::No);
    } catch (const ECueError&) {
        // The check copy is only a trace of the comparison; the comparison uses `lines`.
    }
    if (m_restored)
        return true;
    try {
        return textfile::readLines(baselineFile()) != lines;
    } catch (const ECueError&) {
        return true; // no readable baseline: better to ask than to lose changes
    }
}

void SetListSlots::showSlot(int k) {
    m_current = k;
    if (m_slotPanel)
        m_slotPanel->setText(QString::number(k));
    if (m_pathPanel)
        m_pathPanel->setText(slotFile(k));
    emit currentChanged();
}

void SetListSlots::renewBaseline() {
    m_restored = false;
    m_baseline = setlist::boardLines(m_board);
    emit currentChanged();
    try {
        // Not flushed: a baseline lost in a crash only makes the next comparison ask.
        textfile::writeLines(baselineFile(), m_baseline, textfile::Flush::No);
    } catch (const ECueError& e) {
        dialogs::showErrorBox(e.message());
    }
}

void SetListSlots::FormShow() {
    showSlot(1);
    try {
        LoadSetList(slotFile(1));
    } catch (const ECueError& e) {
        // The board keeps its first state; the unreadable slot file is left alone.
        dialogs::showErrorBox(e.message());
    }
    renewBaseline();
}

void SetListSlots::restoreBoard(int k, const QStringList& lines) {
    if (k < 1 || k > kSlots)
        k = 1;
    showSlot(k);
    try {
        LoadSetList(slotFile(k));
    } catch (const ECueError& e) {
        dialogs::showErrorBox(e.message());
    }
    renewBaseline();
    applyLines(lines);
    m_restored = true;
    emit currentChanged();
}

bool SetListSlots::differsFromBaseline(const QStringList& lines) const {
    return m_restored || lines != m_baseline;
}

bool SetListSlots::FormCloseQuery() {
    bool modified = true;
    try {
        modified = SetListModified();
    } catch (...) {
        // Whatever went wrong, the user can still answer the question and quit.
    }
    if (!modified)
        return true;
    return dialogs::messageDlg(
               QStringLiteral("SETLIST") + CurrentSetList() +
                   QStringLiteral("のデータが変更されています。終了していいですか？"),
               dialogs::MsgKind::Confirmation, dialogs::mbYes | dialogs::mbNo) == dialogs::mrYes;
}

void SetListSlots::FormClose() {
    m_board.holdLoadingForGood();
    m_board.releaseAllPads();
    try {
        SaveSetList(confFile(QStringLiteral("def.conf")));
    } catch (const ECueError& e) {
        dialogs::showErrorBox(e.message());
    }
}

void SetListSlots::selectSlot(int k) {
    if (k < 1 || k > kSlots)
        return;
    for (int pad = 1; pad <= setlist::kPadCount; ++pad)
        m_board.switchLoopOff(pad);

    bool savedCurrent = false;
    if (SetListModified()) {
        const int answer = dialogs::messageDlg(
            CurrentSetList() + QStringLiteral("のデータが変更されています。保存しますか？"),
            dialogs::MsgKind::Confirmation, dialogs::mbYes | dialogs::mbNo);
        if (answer == dialogs::mrYes) {
            SaveSetList(slotFile(m_current)); // a failed save stops the switch here
            savedCurrent = true;
        }
    }

    // Read the new slot before anything changes, so an unreadable file leaves the current
    // slot and its board in place.
    std::optional<QStringList> lines;
    try {
        lines = setlist::readSetListFile(slotFile(k));
    } catch (const ECueError&) {
        if (savedCurrent)
            renewBaseline(); // the board now matches the current slot's file
        throw;
    }

    showSlot(k);
    applyLines(lines);
    renewBaseline();
}

void SetListSlots::setlist1Click(QObject* sender) {
    if (!sender)
        return;
    bool ok = false;
    const int k = sender->property("tag").toInt(&ok);
    if (ok)
        selectSlot(k);
}

void SetListSlots::Button22Click() {
    SaveSetList(slotFile(m_current));
    renewBaseline();
    dialogs::messageDlg(QStringLiteral("SETLIST") + CurrentSetList() + QStringLiteral("\r\n") +
                            QStringLiteral("保存しました。"),
                        dialogs::MsgKind::Information, dialogs::mbYes);
}

void SetListSlots::Button10Click() {
    SaveSetList(copyBufferFile());
}

void SetListSlots::Button16Click() {
    LoadSetList(copyBufferFile());
}

bool SetListSlots::mayReplaceBoard() {
    if (!SetListModified())
        return true;
    return dialogs::messageDlg(
               CurrentSetList() +
                   QStringLiteral("のデータが変更されています。終了していいですか？"),
               dialogs::MsgKind::Confirmation, dialogs::mbYes | dialogs::mbNo) == dialogs::mrYes;
}

void SetListSlots::loadChosenFile(const QString& path) {
    if (mayReplaceBoard())
        LoadSetList(path);
}

void SetListSlots::Button21Click() {
    if (!mayReplaceBoard())
        return;
    QFileDialog* dialog = OpenDialog1();
    if (dialog) { // shared with the clip chooser, which leaves its own settings
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        dialog->setFileMode(QFileDialog::ExistingFile);
    }
    const QString chosen = runDialog(dialog, m_dataFolder);
    if (chosen.isEmpty())
        return;
    LoadSetList(chosen);
}

void SetListSlots::Button2Click() {
    const QString chosen = runDialog(m_saveDialog, m_dataFolder);
    if (chosen.isEmpty())
        return;
    SaveSetList(withCdkExtension(chosen));
    renewBaseline();
    dialogs::messageDlg(QStringLiteral("保存しました。"), dialogs::MsgKind::Warning,
                        dialogs::mbYes);
}

QString SetListSlots::withCdkExtension(const QString& fileName) {
    const qsizetype slash = fileName.lastIndexOf(u'/');
    const qsizetype dot = fileName.lastIndexOf(u'.');
    // A dot in a folder name or at the start of the name (".hidden") is no extension.
    if (dot > slash + 1)
        return fileName.left(dot) + QStringLiteral(".cdk");
    return fileName + QStringLiteral(".cdk");
}
