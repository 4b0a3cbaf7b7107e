#include "journalformat.h"

#include "board.h"

namespace journal {
namespace {

const QString kJournal = QStringLiteral("[Journal]=");
const QString kSetList = QStringLiteral("[SetList]=");
const QString kModified = QStringLiteral("[Modified]=");

} // namespace

QStringList format(const Contents& contents) {
    QStringList lines;
    lines << kJournal + QStringLiteral("1") << kSetList + QString::number(contents.slot)
          << kModified + (contents.modified ? QStringLiteral("1") : QStringLiteral("0"));
    return lines + contents.lines;
}

std::optional<Contents> parse(const QStringList& lines) {
    if (lines.size() < 3 || lines[0] != kJournal + QStringLiteral("1") ||
        !lines[1].startsWith(kSetList) || !lines[2].startsWith(kModified))
        return std::nullopt;
    Contents c;
    bool ok = false;
    c.slot = lines[1].mid(kSetList.size()).toInt(&ok);
    if (!ok || c.slot < 1 || c.slot > board::kSetLists)
        return std::nullopt;
    const QString modified = lines[2].mid(kModified.size());
    if (modified != QStringLiteral("0") && modified != QStringLiteral("1"))
        return std::nullopt;
    c.modified = modified == QStringLiteral("1");
    c.lines = lines.mid(3);
    return c;
}

} // namespace journal
