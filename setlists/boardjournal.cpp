#include "boardjournal.h"

#include "dialogs.h"
#include "errors.h"
#include "padmodel.h"
#include "setlistio.h"
#include "setlistslots.h"
#include "textfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>

BoardJournal::BoardJournal(PadModel& board, SetListSlots& setLists, QString dataFolder,
                           QObject* parent)
    : QObject(parent), m_board(board), m_slots(setLists), m_dataFolder(std::move(dataFolder)),
      m_writer(new QThreadPool(this)), m_due(new QTimer(this)) {
    m_writer->setMaxThreadCount(1);
    m_due->setSingleShot(true);
    connect(m_due, &QTimer::timeout, this, &BoardJournal::writeNow);
    connect(&m_board, &PadModel::boardChanged, this, &BoardJournal::changed);
    connect(&m_slots, &SetListSlots::currentChanged, this, &BoardJournal::changed);
}

BoardJournal::~BoardJournal() {
    m_writer->waitForDone();
}

QString BoardJournal::path() const {
    return m_dataFolder + QStringLiteral("/conf/board.journal");
}

bool BoardJournal::offerRestore() {
    const QString file = path();
    // A journal being written when the session ended leaves its temporary file behind.
    QDir conf = QFileInfo(file).dir();
    const QStringList stale = conf.entryList({QStringLiteral(".board.journal.*")},
                                             QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : stale)
        conf.remove(name);
    if (!QFileInfo::exists(file) && !QFileInfo(file).isSymLink())
        return false;
    std::optional<journal::Contents> contents;
    try {
        contents = journal::parse(textfile::readLines(file));
    } catch (const ECueError&) {
        // Read as not a journal below.
    }
    if (!contents) {
        const QString aside = file + QStringLiteral(".bad");
        QFile::remove(aside);
        QFile::rename(file, aside);
        dialogs::messageDlg(QStringLiteral("前回終了時の作業記録を読み込めませんでした。") + aside +
                                QStringLiteral(" に移しました。"),
                            dialogs::MsgKind::Warning, dialogs::mbOK);
        return false;
    }
    if (dialogs::messageDlg(QStringLiteral("前回終了時の作業が保存されていません。復元しますか？"),
                            dialogs::MsgKind::Confirmation,
                            dialogs::mbYes | dialogs::mbNo) != dialogs::mrYes) {
        const QString kept = file + QStringLiteral(".bak");
        QFile::remove(kept);
        QFile::rename(file, kept);
        return false;
    }
    m_slots.restoreBoard(contents->slot, contents->lines);
    return true;
}

void BoardJournal::start() {
    m_started = true;
    changed();
}

void BoardJournal::finish() {
    m_finished = true;
    m_due->stop();
    m_writer->waitForDone();
    QFile::remove(path());
}

bool BoardJournal::busy() const {
    return m_dirty || m_writing;
}

bool BoardJournal::waitUntilWritten(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (busy() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return !busy();
}

// A change costs the UI thread a flag and, at most once a second, the snapshot of the board.
void BoardJournal::changed() {
    if (!m_started || m_finished)
        return;
    m_dirty = true;
    schedule();
}

void BoardJournal::schedule() {
    if (!m_dirty || m_finished || m_writing || m_due->isActive())
        return; // written when the journal in progress is done, or when due
    const qint64 since = m_sinceWrite.isValid() ? m_sinceWrite.elapsed() : kMinIntervalMs;
    m_due->start(static_cast<int>(std::max<qint64>(0, kMinIntervalMs - since)));
}

void BoardJournal::writeNow() {
    if (m_finished || m_writing || !m_dirty)
        return;
    m_dirty = false;
    m_writing = true;
    m_sinceWrite.start();
    journal::Contents contents;
    contents.slot = m_slots.currentSlot();
    contents.lines = setlist::boardLines(m_board);
    contents.modified = m_slots.differsFromBaseline(contents.lines);
    const QStringList lines = journal::format(contents);
    const QString file = path();
    m_writer->start([this, lines, file] {
        QString error;
        try {
            textfile::writeLines(file, lines, textfile::Flush::ToDisk);
        } catch (const ECueError& e) {
            error = e.message();
        }
        QMetaObject::invokeMethod(
            this, [this, error] { written(error); }, Qt::QueuedConnection);
    });
}

void BoardJournal::written(const QString& error) {
    m_writing = false;
    ++m_writes;
    if (!error.isEmpty() && !m_failed) {
        m_failed = true; // said once; the next journal may well succeed
        emit writeFailed(error);
    } else if (error.isEmpty()) {
        m_failed = false;
    }
    schedule();
}
