#pragma once
// Exceptions that carry a message for the error box. Handlers let them escape; the guard
// around every handler (dialogs.h) shows the message and the program goes on.

#include <QByteArray>
#include <QString>
#include <exception>

class ECueError : public std::exception {
public:
    explicit ECueError(QString message)
        : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString& message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A media command that needs an open clip, or a clip that cannot be opened.
class EMCIDeviceError : public ECueError {
public:
    using ECueError::ECueError;
};

// A file that cannot be read, written or listed.
class EInOutError : public ECueError {
public:
    using ECueError::ECueError;
};
