#pragma once
// The ten set-list slots: the current slot shown in the status bar, switching with the
// question about unsaved changes, saving, the copy buffer, and loading from and saving to a
// file of the user's choice. The main window hands its handlers to this object.
//
// Change tracking: "setlist.bak" holds the board as it was at the last renewal (first
// showing, slot selection, Save set list, Save file); the board counts as changed when the
// lines it would write differ from that file's lines.

#include "board.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <optional>

class PadModel;
class QFileDialog;
class QLabel;
class QWidget;

class SetListSlots : public QObject {
    Q_OBJECT
public:
    static constexpr int kSlots = board::kSetLists;

    // `slotPanel` and `pathPanel` are the status bar's panels 0 and 1. `openDialog` is the
    // window's one open dialog, shared with the clip chooser. `dialogParent` (may be null)
    // parents the save dialog.
    SetListSlots(PadModel& board, QFileDialog* openDialog, QString dataFolder, QLabel* slotPanel,
                 QLabel* pathPanel, QWidget* dialogParent = nullptr, QObject* parent = nullptr);
    ~SetListSlots() override;

    // The slot file of slot `k` (1..10): DataFolder + "/conf/setlist" + k + ".cdk".
    QString slotFile(int k) const;
    // The work files in DataFolder + "/conf".
    QString baselineFile() const;   // "setlist.bak"
    QString checkFile() const;      // "setlist.chk"
    QString copyBufferFile() const; // "setlistcopy.cdk"
    int currentSlot() const { return m_current; }
    // The current slot number as the status bar shows it ("1" ... "10").
    QString CurrentSetList() const;

    // Writes the board to `path`. Throws EInOutError naming the file; the old file stays.
    void SaveSetList(const QString& path);
    // Replaces the board with the set list at `path`, or resets every pad when there is no
    // such file. A file that exists but cannot be read raises EInOutError and leaves the board
    // as it was. Pictures that cannot be loaded and refused file names are named together in
    // one error box.
    void LoadSetList(const QString& path);
    // True when the board differs from the baseline, or when the baseline cannot be read.
    // Also writes the board to "setlist.chk" (a failure there is ignored). Never throws.
    bool SetListModified();

    // The main window's first showing: slot 1 becomes current and is loaded; the baseline
    // is taken.
    void FormShow();
    // A board brought back from the crash journal: slot `k` becomes current with its file as
    // the baseline, then the board takes `lines`. It counts as changed until the next
    // baseline, so the usual question follows at the next switch or exit.
    void restoreBoard(int k, const QStringList& lines);
    // Whether `lines` (the board's) differ from the baseline last taken, without the disk.
    bool differsFromBaseline(const QStringList& lines) const;
    // The close request: true when the window may close (no changes, or the user agreed).
    bool FormCloseQuery();
    // The close: the model loading for good, every pad released, the board written to
    // "def.conf".
    void FormClose();

    // Select slot `k` (the tag of setlist1 ... setlist10).
    void selectSlot(int k);
    // The shared handler of the ten slot buttons: the slot is the sender's "tag" property.
    void setlist1Click(QObject* sender);
    void Button22Click(); // Save set list
    void Button10Click(); // Copy set list
    void Button16Click(); // Paste set list
    void Button21Click(); // Load file
    // Load file with the file already chosen (a set list file dropped on the window): the
    // same question about unsaved changes, then the load.
    void loadChosenFile(const QString& path);
    void Button2Click(); // Save file

    // "a.b.txt" -> "a.b.cdk"; "name" -> "name.cdk".
    static QString withCdkExtension(const QString& fileName);

    // Load file uses the window's one open dialog; Save file has its own SaveDialog1.
    QFileDialog* OpenDialog1() const;
    QFileDialog* SaveDialog1() const;

signals:
    // The current slot or its baseline changed.
    void currentChanged();

private:
    QString confFile(const QString& name) const;
    void showSlot(int k);
    // Writes the baseline; a failure is shown but does not stop the command.
    void renewBaseline();
    void applyLines(const std::optional<QStringList>& lines);
    // Load file's question; true when the board may be replaced.
    bool mayReplaceBoard();

    PadModel& m_board;
    QPointer<QFileDialog> m_openDialog;
    QString m_dataFolder;
    QPointer<QLabel> m_slotPanel;
    QPointer<QLabel> m_pathPanel;
    int m_current = 1;
    QStringList m_baseline; // the lines of the last baseline
    bool m_restored = false;
    QPointer<QFileDialog> m_saveDialog;
};
