#pragma once
// Isolation for the application shell's tests: HOME, XDG_DATA_HOME, XDG_RUNTIME_DIR and
// TMPDIR point into a fresh temporary folder for the life of the object.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <map>
#include <ostream>

#include <gtest/gtest.h>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class IsolatedEnvironment {
public:
    IsolatedEnvironment() {
        const QString root = m_dir.path();
        for (const char* name : {"home", "data", "runtime", "tmp"})
            QDir(root).mkpath(QLatin1String(name));
        QFile::setPermissions(root + "/runtime",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        set("HOME", root + "/home");
        set("XDG_DATA_HOME", root + "/data");
        set("XDG_RUNTIME_DIR", root + "/runtime");
        set("TMPDIR", root + "/tmp");
    }
    ~IsolatedEnvironment() {
        for (const auto& [name, value] : m_saved) {
            if (value.isNull())
                qunsetenv(name.c_str());
            else
                qputenv(name.c_str(), value);
        }
    }
    IsolatedEnvironment(const IsolatedEnvironment&) = delete;
    IsolatedEnvironment& operator=(const IsolatedEnvironment&) = delete;

    QString root() const { return m_dir.path(); }
    // Where the data folder lands in this environment.
    QString dataFolder() const { return root() + "/data/varnel/cuedeck"; }
    QString tempFolder() const { return root() + "/tmp"; }
    // An empty program folder, with the "sound", "image" and "conf" its starter files go in.
    QString makeProgramFolder() const {
        const QString program = root() + "/program/";
        for (const char* name : {"sound", "image", "conf"})
            QDir().mkpath(program + name);
        return program;
    }

private:
    void set(const char* name, const QString& value) {
        if (!m_saved.count(name))
            m_saved[name] = qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray();
        qputenv(name, QFile::encodeName(value));
    }

    QTemporaryDir m_dir;
    std::map<std::string, QByteArray> m_saved;
};

// Writes `bytes` to `path`, creating its folder.
inline void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<missing>";
    return f.readAll();
}
