#pragma once
// A pad board on an engine without a device, in a fresh data folder, with the dialogs answered
// by the test: what the set list tests work on.

#include "dialogs.h"
#include "engine.h"
#include "padboard.h"
#include "wav_support.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <deque>
#include <functional>
#include <sys/resource.h>
#include <vector>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// Answers the message dialogs from a queue (no answer left: "いいえ(&N)") and records every
// question and error box.
struct DialogLog : dialogs::Responder {
    struct Asked {
        QString text;
        dialogs::MsgKind kind;
        dialogs::Buttons buttons;
    };
    std::vector<Asked> asked;
    QStringList errors;
    std::deque<int> answers;

    DialogLog() {
        messageDlg = [this](const QString& text, dialogs::MsgKind kind, dialogs::Buttons b) {
            asked.push_back({text, kind, b});
            if (answers.empty())
                return dialogs::mrNo;
            const int a = answers.front();
            answers.pop_front();
            return a;
        };
        errorBox = [this](const QString& text) { errors.append(text); };
        dialogs::setResponder(this);
    }
    ~DialogLog() { dialogs::setResponder(nullptr); }
    DialogLog(const DialogLog&) = delete;
    DialogLog& operator=(const DialogLog&) = delete;
};

// Runs `fn` with the file size limited to `bytes`: writes beyond it fail part way, as on a
// full disk, whoever runs the test.
inline void withFileSizeLimit(rlim_t bytes, const std::function<void()>& fn) {
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = bytes;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    fn();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
}

struct BoardRig {
    QTemporaryDir dir;
    QString data = dir.path();
    media::Engine engine{media::Engine::Options{media::Engine::Output::None, 48000, 128}};
    QWidget window;
    int startup = 0; // as the main window's field follows the model's loading state
    PadBoard board{engine, &window};

    BoardRig() {
        QObject::connect(&board.model(), &PadModel::loadingChanged,
                         [this](bool loading) { startup = loading ? 1 : 0; });
        QDir().mkpath(data + "/conf");
        QDir().mkpath(data + "/sound");
        QDir().mkpath(data + "/image");
        board.setDataFolder(data);
    }

    // A short 16-bit mono WAV clip.
    QString writeWav(const QString& name) const {
        const QString path = data + "/sound/" + name;
        putFile(path, sineWav(8000, 800, 0.2));
        return path;
    }

    QString writePng(const QString& name, QColor colour) const {
        const QString path = data + "/image/" + name;
        QImage img(8, 8, QImage::Format_RGB32);
        img.fill(colour);
        EXPECT_TRUE(img.save(path, "PNG"));
        return path;
    }

    static void putFile(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        ASSERT_EQ(f.write(bytes), bytes.size());
    }

    static QByteArray fileBytes(const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }
};
