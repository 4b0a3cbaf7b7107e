#include "settingsfile.h"

#include "errors.h"
#include "textfile.h"

#include <QFileInfo>

SettingsFile::SettingsFile(QString path) : m_path(std::move(path)) {}

void SettingsFile::load() {
    const QFileInfo info(m_path);
    if (!info.exists() && !info.isSymLink()) {
        m_values.clear();
        return;
    }
    const QStringList lines = textfile::readLines(m_path);
    QMap<QString, QString> values;
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        values.insert(line.left(eq), line.mid(eq + 1));
    }
    m_values = std::move(values);
}

QString SettingsFile::value(const QString& key, const QString& fallback) const {
    return m_values.value(key, fallback);
}

int SettingsFile::intValue(const QString& key, int fallback) const {
    bool ok = false;
    const int v = m_values.value(key).trimmed().toInt(&ok);
    return ok ? v : fallback;
}

bool SettingsFile::boolValue(const QString& key, bool fallback) const {
    const QString v = m_values.value(key).trimmed();
    if (v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("0"))
        return false;
    return fallback;
}

void SettingsFile::setValue(const QString& key, const QString& value) {
    auto hasBreak = [](const QString& s) { return s.contains(u'\n') || s.contains(u'\r'); };
    if (key.isEmpty() || key.contains(u'=') || hasBreak(key) || hasBreak(value))
        throw ECueError(QStringLiteral("設定に改行や「=」を含む名前は使えません: ") + key);
    m_values.insert(key, value);
}

void SettingsFile::save() const {
    QStringList lines;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        lines << it.key() + u'=' + it.value();
    textfile::writeLines(m_path, lines);
}
