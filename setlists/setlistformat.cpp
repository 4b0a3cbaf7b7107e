#include "setlistformat.h"

#include "textfile.h"

#include <QHash>

#include <algorithm>

namespace setlist {
namespace {

constexpr Field kFieldOrder[] = {Field::FileName, Field::PlayButton, Field::Image, Field::Volume};

// Key text to (pad, field) for the 32 pad keys.
const QHash<QString, std::pair<int, Field>>& keyTable() {
    static const QHash<QString, std::pair<int, Field>> table = [] {
        QHash<QString, std::pair<int, Field>> t;
        for (int pad = 1; pad <= kPadCount; ++pad)
            for (Field field : kFieldOrder)
                t.insert(key(field, pad), {pad, field});
        return t;
    }();
    return table;
}

// A value as written: a line break would split its line and turn the rest into a line of its
// own, so each CR and LF becomes a blank. The board never takes a path that holds one.
QString oneLine(const QString& value) {
    if (!textfile::holdsLineBreak(value))
        return value;
    QString line = value;
    line.replace(u'\r', u' ');
    line.replace(u'\n', u' ');
    return line;
}

} // namespace

QString key(Field field, int pad) {
    const char* name = "";
    switch (field) {
    case Field::FileName:
        name = "FILENAME";
        break;
    case Field::PlayButton:
        name = "PLAYBTN";
        break;
    case Field::Image:
        name = "IMAGE";
        break;
    case Field::Volume:
        name = "VOLUME";
        break;
    }
    return QStringLiteral("[%1%2]").arg(QLatin1String(name)).arg(pad);
}

QStringList formatLines(const Board& board) {
    QStringList lines;
    lines.reserve(kLineCount);
    lines.append(QStringLiteral("[Version]=1.00"));
    for (int pad = 1; pad <= kPadCount; ++pad) {
        const PadRecord& rec = board[static_cast<size_t>(pad - 1)];
        lines.append(key(Field::FileName, pad) + u'=' + oneLine(rec.fileName));
        lines.append(key(Field::PlayButton, pad) + u'=' + oneLine(rec.caption));
        lines.append(key(Field::Image, pad) + u'=' + oneLine(rec.imagePath));
        lines.append(key(Field::Volume, pad) + u'=' + QString::number(rec.volume));
    }
    return lines;
}

std::vector<Entry> parseLines(const QStringList& lines) {
    const auto& table = keyTable();
    std::vector<Entry> entries;
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue; // the key is "", which names nothing
        const auto it = table.constFind(line.left(eq));
        if (it == table.cend())
            continue;
        entries.push_back(Entry{it->first, it->second, line.mid(eq + 1)});
    }
    return entries;
}

int volumeFromText(const QString& value) {
    bool ok = false;
    const int level = value.toInt(&ok, 10);
    if (!ok)
        return kMaxVolume;
    return std::clamp(level, 0, kMaxVolume);
}

} // namespace setlist
