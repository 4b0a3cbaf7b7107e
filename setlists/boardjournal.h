#pragma once
// The crash journal, "conf/board.journal": the board as a set list file (its 33 lines and the
// extension lines) after three lines that say which slot is current and whether the board
// differs from it. It is rewritten within a second of every change to the board, atomically
// and off the UI thread, at most once a second however fast the changes come. A clean exit
// removes it, so a journal found at start means the last session ended without one: the
// operator is offered the board it holds.

#include "journalformat.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

class PadModel;
class QThreadPool;
class QTimer;
class SetListSlots;

class BoardJournal : public QObject {
    Q_OBJECT
public:
    static constexpr int kMinIntervalMs = 1000;

    BoardJournal(PadModel& board, SetListSlots& setLists, QString dataFolder,
                 QObject* parent = nullptr);
    ~BoardJournal() override; // lets a write in progress end

    QString path() const; // DataFolder + "/conf/board.journal"

    // The first showing, once the board of slot 1 is loaded: a journal left by the last
    // session is offered. Yes restores its board; no keeps it as "board.journal.bak"; one
    // that cannot be read is set aside as "board.journal.bad" with a message. Returns
    // whether the board was restored.
    bool offerRestore();
    // From now on every change to the board is journaled; the board as it is now is the
    // first journal.
    void start();
    // A clean exit: no more journals, and the file goes.
    void finish();

    // Journals written so far, and whether one is still due or being written.
    int writes() const { return m_writes; }
    bool busy() const;
    // Waits until no journal is due or being written (tests and the bench).
    bool waitUntilWritten(int timeoutMs);

signals:
    // A journal could not be written (shown once in the status bar by the window).
    void writeFailed(const QString& message);

private:
    void changed();
    void schedule();
    void writeNow();
    void written(const QString& error);

    PadModel& m_board;
    SetListSlots& m_slots;
    QString m_dataFolder;
    QThreadPool* m_writer;
    QTimer* m_due;
    QElapsedTimer m_sinceWrite;
    bool m_started = false;
    bool m_finished = false;
    bool m_dirty = false;
    bool m_writing = false;
    bool m_failed = false;
    int m_writes = 0;
};
