#pragma once
// The real main window for the operator's view tests: an isolated data folder, the Glow theme,
// an engine on SDL's silent real-time driver (positions move as they would with a sound card),
// the dialogs answered by the test, and sine clips and pictures made on the spot.

#include "cuedeck.h"
#include "dialogs.h"
#include "engine.h"
#include "padboard.h"
#include "shell_testenv.h"
#include "theme.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QImage>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <functional>
#include <memory>

namespace viewtest {

// A mono 16-bit 48 kHz sine clip of `ms` milliseconds.
inline void writeSine(const QString& path, int ms) {
    const quint32 frames = 48 * quint32(ms);
    QByteArray data;
    auto put = [&](quint32 v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            data.append(char((v >> (8 * i)) & 0xFF));
    };
    data.append("RIFF");
    put(36 + frames * 2, 4);
    data.append("WAVEfmt ");
    put(16, 4), put(1, 2), put(1, 2), put(48000, 4), put(96000, 4), put(2, 2), put(16, 2);
    data.append("data");
    put(frames * 2, 4);
    for (quint32 i = 0; i < frames; ++i)
        put(quint16(qint16(8000 * std::sin(i * 0.0576))), 2);
    writeFile(path, data);
}

inline bool waitFor(const std::function<bool()>& condition, int ms = 5000) {
    return QTest::qWaitFor(condition, ms);
}

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        applyGlowTheme(*qApp);
        engine = new media::Engine(media::Engine::Options{media::Engine::Output::Dummy});
    }
    static void TearDownTestSuite() {
        delete engine;
        engine = nullptr;
    }

    void SetUp() override {
        program = env.root() + "/program/";
        for (const char* name : {"sound", "image", "conf"})
            QDir().mkpath(program + name);
        responder.plainMessage = [](const QString&) {};
        responder.errorBox = [this](const QString& text) { errors << text; };
        responder.messageDlg = [this](const QString& text, dialogs::MsgKind, dialogs::Buttons) {
            messages << text;
            return answer;
        };
        responder.inputQuery = [this](const QString&, const QString&, const QString& value) {
            offered << value;
            return typed;
        };
        dialogs::setResponder(&responder);
    }
    void TearDown() override {
        modalDrivers.reset();
        window.reset();
        dialogs::setResponder(nullptr);
    }

    // Opens the window, as the program does, once the test has prepared the data folder.
    void open() {
        window = std::make_unique<Tfcuedeck>(*engine, program);
        window->show();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    PadBoard& board() const { return window->board(); }

    QString sound(const QString& name, int ms) const {
        const QString path = env.dataFolder() + "/sound/" + name;
        writeSine(path, ms);
        return path;
    }
    QString picture(const QString& name, QSize size, QColor colour = Qt::red) const {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        const QString path = env.dataFolder() + "/image/" + name;
        QDir().mkpath(env.dataFolder() + "/image");
        EXPECT_TRUE(image.save(path));
        return path;
    }

    // Answers the next modal dialog of type W with `answer` once it is shown.
    template <typename W> void whenModal(std::function<void(W*)> act) {
        auto* timer = new QTimer(modalDrivers.get());
        QObject::connect(timer, &QTimer::timeout, [timer, act] {
            if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
                timer->stop();
                act(w);
            }
        });
        timer->start(10);
    }

    // The colour of the pixel at `pos` of `w` as it is drawn now.
    static QColor pixel(QWidget* w, QPoint pos) {
        return w->grab(QRect(pos, QSize(1, 1))).toImage().pixelColor(0, 0);
    }

    static media::Engine* engine;
    IsolatedEnvironment env;
    QString program;
    dialogs::Responder responder;
    QStringList errors, messages, offered;
    int answer = dialogs::mrYes;
    std::optional<QString> typed;
    std::unique_ptr<QObject> modalDrivers = std::make_unique<QObject>();
    std::unique_ptr<Tfcuedeck> window;
};

inline media::Engine* WindowTest::engine = nullptr;

} // namespace viewtest
