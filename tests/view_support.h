#pragma once
// The real main window for the operator's view tests: an isolated data folder, the Glow theme,
// an engine on SDL's silent real-time driver (positions move as they would with a sound card),
// the dialogs answered by the test, and sine clips and pictures made on the spot.

#include "cuedeck.h"
#include "dialog_support.h"
#include "engine.h"
#include "padboard.h"
#include "shell_testenv.h"
#include "theme.h"
#include "wait_support.h"
#include "wav_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QImage>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <memory>

namespace viewtest {

using testsupport::waitFor;

class WindowTest : public ::testing::Test, protected DialogRecorder, protected ModalAnswers {
protected:
    static void SetUpTestSuite() {
        applyGlowTheme(*qApp);
        engine = new media::Engine(media::Engine::Options{media::Engine::Output::Dummy});
    }
    static void TearDownTestSuite() {
        delete engine;
        engine = nullptr;
    }

    void TearDown() override {
        forgetModals();
        window.reset();
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
        QDir().mkpath(env.dataFolder() + "/sound");
        const QString path = env.dataFolder() + "/sound/" + name;
        EXPECT_TRUE(writeSineWav(path, ms));
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

    // The colour of the pixel at `pos` of `w` as it is drawn now.
    static QColor pixel(QWidget* w, QPoint pos) {
        return w->grab(QRect(pos, QSize(1, 1))).toImage().pixelColor(0, 0);
    }

    static media::Engine* engine;
    IsolatedEnvironment env;
    QString program = env.makeProgramFolder();
    std::unique_ptr<Tfcuedeck> window;
};

inline media::Engine* WindowTest::engine = nullptr;

} // namespace viewtest
