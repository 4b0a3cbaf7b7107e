#pragma once
// Settings that the set list and placement files have no room for (output device, MIDI
// mapping, OSC listening), each kept in a small file of its own in the data folder's "conf":
// lines of key "=" value with CR LF ends, UTF-8, read and written like every other text file
// of the program (the reader also takes CP932; the writer replaces the file atomically).

#include <QMap>
#include <QString>
#include <QStringList>

class SettingsFile {
public:
    // The settings kept in `path`; nothing is read until load().
    explicit SettingsFile(QString path);

    const QString& path() const { return m_path; }

    // Reads the file. A missing file gives no values; a line without "=" is skipped; a later
    // line overrides an earlier one with the same key. Throws EInOutError when the file
    // exists but cannot be read (not a regular file, too big, unreadable); the values held
    // before stay as they were.
    void load();

    bool contains(const QString& key) const { return m_values.contains(key); }
    QString value(const QString& key, const QString& fallback = QString()) const;
    int intValue(const QString& key, int fallback) const;    // fallback when missing or no number
    bool boolValue(const QString& key, bool fallback) const; // "1"/"0"
    QStringList keys() const { return m_values.keys(); }

    // Keys are plain names; neither keys nor values may hold a line break, and keys no "=".
    // Throws ECueError for such a pair and leaves the settings unchanged.
    void setValue(const QString& key, const QString& value);
    // Without it a text literal would take the bool overload below.
    void setValue(const QString& key, const char* value) {
        setValue(key, QString::fromUtf8(value));
    }
    void setValue(const QString& key, int value) { setValue(key, QString::number(value)); }
    void setValue(const QString& key, bool value) { setValue(key, QString::number(value ? 1 : 0)); }
    void remove(const QString& key) { m_values.remove(key); }
    void clear() { m_values.clear(); }

    // Writes every value, sorted by key, replacing the file atomically. Throws EInOutError
    // naming the file and the reason; the old file then stays intact.
    void save() const;

private:
    QString m_path;
    QMap<QString, QString> m_values;
};
