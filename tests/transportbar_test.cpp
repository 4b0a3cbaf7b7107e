// The transport bar over a real clip player, on an engine without a sound device whose
// mixer the tests pull by hand: layout, hit test, pixels of the painted strip, mouse and
// keyboard presses, and which buttons look available after each press.

#include "clipplayer.h"
#include "dialogs.h"
#include "engine.h"
#include "engine_support.h"
#include "transportbar.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QTest>
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

media::Engine::Options noDevice() {
    media::Engine::Options o;
    o.output = media::Engine::Output::None;
    return o;
}

QImage shot(QWidget* w) {
    return w->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// True when every opaque pixel of `glyph` shows in `image` with its top-left at `at`.
bool glyphAt(const QImage& image, const QImage& glyph, QPoint at) {
    int opaque = 0;
    for (int y = 0; y < glyph.height(); ++y)
        for (int x = 0; x < glyph.width(); ++x) {
            const QRgb g = glyph.pixel(x, y);
            if (qAlpha(g) == 0)
                continue;
            ++opaque;
            if (!image.valid(at.x() + x, at.y() + y) ||
                (image.pixel(at.x() + x, at.y() + y) & 0xFFFFFF) != (g & 0xFFFFFF))
                return false;
        }
    return opaque > 0;
}

enum class Drawn { Coloured, Black, Disabled, Unknown };
void PrintTo(Drawn d, std::ostream* os) {
    const char* names[] = {"Coloured", "Black", "Disabled", "Unknown"};
    *os << names[static_cast<int>(d)];
}

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class Strip : public ::testing::Test {
protected:
    void SetUp() override {
        responder.errorBox = [this](const QString& text) { errors << text; };
        dialogs::setResponder(&responder);
        window.resize(320, 60);
        strip = new TransportBar(engine, 0, &window);
        strip->setObjectName("VarnelPlayer1");
        strip->setLook(TransportBar::Look::Styled);
        strip->setGeometry(10, 10, 289, 30);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    void TearDown() override { dialogs::setResponder(nullptr); }

    void openClip(int ms) {
        const std::string path = dir.file("clip" + std::to_string(ms) + ".wav");
        testsupport::writeWav(path, engine.sampleRate(), 1, ms * engine.sampleRate() / 1000);
        strip->player()->setFileName(QString::fromStdString(path));
        strip->player()->Open();
    }
    // Pulls `ms` milliseconds of output through the mixer, letting the decoder keep up.
    void renderMs(int ms) {
        std::vector<float> block(2 * 480);
        for (int i = 0; i < ms / 10; ++i) {
            engine.waitIdle(std::chrono::milliseconds(200));
            engine.render(block.data(), 480);
        }
    }

    void send(QEvent::Type type, int x, Qt::MouseButtons buttons, int y = 15) {
        const QPointF pos(x, y);
        QMouseEvent e(type, pos, strip->mapToGlobal(pos), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(strip, &e);
    }
    void press(int x) { send(QEvent::MouseButtonPress, x, Qt::LeftButton); }
    void moveTo(int x) { send(QEvent::MouseMove, x, Qt::LeftButton); }
    void release(int x) { send(QEvent::MouseButtonRelease, x, Qt::NoButton); }
    void click(TMPBtnType b) {
        const int x = strip->buttonLeft(b) + 10;
        press(x);
        release(x);
    }
    void key(int k, bool autoRepeat = false) {
        QKeyEvent e(QEvent::KeyPress, k, Qt::NoModifier, k == Qt::Key_Space ? " " : "", autoRepeat);
        QApplication::sendEvent(strip, &e);
    }

    // Where the strip puts a button's glyph, pressed or not.
    QPoint glyphPos(TMPBtnType b, const QImage& glyph, bool pressed = false) const {
        const int d = pressed ? 1 : 0;
        return {strip->buttonLeft(b) + strip->ButtonWidth() / 2 - glyph.width() / 2 + d,
                strip->height() / 2 - glyph.height() / 2 + d};
    }

    Drawn drawnGlyph(const QImage& image, TMPBtnType b, bool pressed = false) const {
        const QImage cl = TransportBar::glyph("CL", b);
        const QImage en = TransportBar::glyph("EN", b);
        const QImage di = TransportBar::glyph("DI", b);
        if (glyphAt(image, cl, glyphPos(b, cl, pressed)))
            return Drawn::Coloured;
        if (glyphAt(image, en, glyphPos(b, en, pressed)))
            return Drawn::Black;
        // The disabled glyph's edge is part of the other two, so it counts only alone.
        if (glyphAt(image, di, glyphPos(b, di, pressed)))
            return Drawn::Disabled;
        return Drawn::Unknown;
    }
    bool available(TMPBtnType b) const { return strip->isAvailable(b); }

    media::Engine engine{noDevice()};
    testsupport::TempDir dir;
    dialogs::Responder responder;
    QStringList errors;
    QWidget window;
    TransportBar* strip = nullptr;
};

} // namespace

// --- Layout and hit test --------------------------------------------------------------------

TEST_F(Strip, PadGeometryAndSharedBorderColumns) {
    EXPECT_EQ(strip->size(), QSize(289, 30));
    EXPECT_EQ(strip->ButtonWidth(), 33);
    EXPECT_EQ(TransportBar::MinBtnSize(), QSize(29, 20));
    for (int b = 0; b < kButtonCount; ++b)
        EXPECT_EQ(strip->buttonLeft(static_cast<TMPBtnType>(b)), 32 * b);

    // Both ends of a button count, so a shared column and the one after it go left.
    const std::pair<int, TMPBtnType> hits[] = {{0, btPlay},   {32, btPlay}, {33, btPlay},
                                               {34, btPause}, {66, btStop}, {288, btEject}};
    for (auto [x, expected] : hits) {
        press(x);
        EXPECT_TRUE(strip->Pressed()) << x;
        EXPECT_EQ(strip->CurrentButton(), expected) << x;
        EXPECT_EQ(strip->FocusedButton(), expected) << x;
        const int left = strip->buttonLeft(expected);
        EXPECT_EQ(strip->CurrentRect(), QRect(left, 0, 33, 30)) << x;
        moveTo(-50); // let go outside: nothing runs
        release(-50);
        EXPECT_FALSE(strip->Pressed());
    }
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(Strip, SizeSnapsToWholeButtonsAndNeverShrinksBelowTheGlyphs) {
    TransportBar fresh(engine, 1);
    EXPECT_EQ(fresh.size(), QSize(253, 30)); // the default 240 × 30 is too narrow
    EXPECT_EQ(fresh.ButtonWidth(), 29);

    strip->resize(300, 40); // rounded down to whole buttons sharing their borders
    EXPECT_EQ(strip->size(), QSize(298, 40));
    EXPECT_EQ(strip->ButtonWidth(), 34);
    strip->resize(10, 5);
    EXPECT_EQ(strip->size(), QSize(253, 20));
    EXPECT_EQ(strip->ButtonWidth(), 29);

    // Fewer visible buttons: the width follows the count at the same button width.
    strip->resize(289, 30);
    strip->setVisibleButtons({btPlay, btPause, btStop});
    EXPECT_EQ(strip->size(), QSize(97, 30));
    EXPECT_EQ(strip->ButtonWidth(), 33);
    EXPECT_EQ(strip->buttonLeft(btStop), 64);
    EXPECT_EQ(strip->buttonLeft(btNext), -1);
    strip->resize(50, 30);
    EXPECT_EQ(strip->width(), 85);

    // A hidden button is skipped by the hit test.
    strip->setVisibleButtons({btPlay, btStop});
    press(40);
    EXPECT_EQ(strip->CurrentButton(), btStop);
    moveTo(-50);
    release(-50);
}

// --- Painting --------------------------------------------------------------------------------

TEST_F(Strip, GlyphsFollowAvailabilityAndMoveWhilePressed) {
    strip->player()->setAutoButtons({btPlay, btNext, btPrev});
    strip->redrawFromSet();
    QImage image = shot(strip);

    EXPECT_TRUE(glyphAt(image, TransportBar::glyph("CL", btPlay), {8, 7}));
    for (int b = 0; b < kButtonCount; ++b) {
        const auto button = static_cast<TMPBtnType>(b);
        const bool avail = button == btPlay || button == btNext || button == btPrev;
        EXPECT_EQ(drawnGlyph(image, button), avail ? Drawn::Coloured : Drawn::Disabled) << b;
    }
    // The olive glyph background never shows.
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ASSERT_NE(image.pixel(x, y) & 0xFFFFFF, 0x808000u) << x << "," << y;

    press(10);
    image = shot(strip);
    EXPECT_TRUE(glyphAt(image, TransportBar::glyph("CL", btPlay), {9, 8}));
    EXPECT_FALSE(glyphAt(image, TransportBar::glyph("CL", btPlay), {8, 7}));
    moveTo(100); // dragged out: drawn released
    EXPECT_FALSE(strip->Down());
    EXPECT_TRUE(glyphAt(shot(strip), TransportBar::glyph("CL", btPlay), {8, 7}));
    moveTo(20); // back in: pressed again
    EXPECT_TRUE(strip->Down());
    EXPECT_TRUE(glyphAt(shot(strip), TransportBar::glyph("CL", btPlay), {9, 8}));
    moveTo(100);
    release(100);

    // Uncoloured buttons use the black glyph; without AutoEnable the Enabled set decides.
    strip->setColoredButtons({btNext});
    strip->setAutoEnable(false);
    strip->setEnabledButtons({btStop, btNext});
    image = shot(strip);
    EXPECT_EQ(drawnGlyph(image, btPlay), Drawn::Disabled);
    EXPECT_EQ(drawnGlyph(image, btStop), Drawn::Black);
    EXPECT_EQ(drawnGlyph(image, btNext), Drawn::Coloured);

    // A disabled strip shows every glyph disabled and takes no press.
    strip->setEnabled(false);
    image = shot(strip);
    for (int b = 0; b < kButtonCount; ++b)
        EXPECT_EQ(drawnGlyph(image, static_cast<TMPBtnType>(b)), Drawn::Disabled) << b;
    press(110);
    EXPECT_FALSE(strip->Pressed());
}

TEST_F(Strip, ThemedLookKeepsGlyphPlacement) {
    strip->setLook(TransportBar::Look::Themed);
    strip->player()->setAutoButtons({btPlay});
    strip->redrawFromSet();
    const QImage image = shot(strip);
    EXPECT_EQ(drawnGlyph(image, btPlay), Drawn::Coloured);
    EXPECT_EQ(drawnGlyph(image, btEject), Drawn::Disabled);
    press(10);
    EXPECT_EQ(drawnGlyph(shot(strip), btPlay, true), Drawn::Coloured);
    moveTo(-50);
    release(-50);
}

TEST_F(Strip, ClassicBevelAndSharedBorders) {
    strip->setLook(TransportBar::Look::Classic);
    const QPalette pal = strip->palette();
    const QRgb frame = pal.color(QPalette::Shadow).rgb() & 0xFFFFFF;
    const QRgb light = pal.color(QPalette::Light).rgb() & 0xFFFFFF;
    const QRgb dark = pal.color(QPalette::Dark).rgb() & 0xFFFFFF;
    ASSERT_NE(light, dark);
    auto px = [](const QImage& i, int x, int y) { return i.pixel(x, y) & 0xFFFFFF; };

    QImage image = shot(strip);
    for (int y = 0; y < 30; ++y) { // columns shared by neighbours, and the outer ones
        EXPECT_EQ(px(image, 0, y), frame);
        EXPECT_EQ(px(image, 32, y), frame);
        EXPECT_EQ(px(image, 288, y), frame);
    }
    // Released: light along the top and left inside, dark along the bottom and right.
    EXPECT_EQ(px(image, 33, 1), light);
    EXPECT_EQ(px(image, 33, 28), light);
    EXPECT_EQ(px(image, 63, 1), light);
    EXPECT_EQ(px(image, 34, 28), dark);
    EXPECT_EQ(px(image, 62, 28), dark);
    EXPECT_EQ(px(image, 63, 2), dark);

    press(40); // Pause, pressed: dark top and left, no dark bottom line
    image = shot(strip);
    EXPECT_EQ(px(image, 33, 1), dark);
    EXPECT_EQ(px(image, 33, 28), dark);
    EXPECT_EQ(px(image, 63, 1), dark);
    EXPECT_NE(px(image, 40, 28), dark);
    moveTo(-50);
    release(-50);
}

TEST_F(Strip, DottedFocusRectangleOnTheFocusedButton) {
    strip->setLook(TransportBar::Look::Classic);
    QPushButton other(QStringLiteral("x"), &window);
    other.setGeometry(10, 45, 100, 12);
    other.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    other.setFocus();

    // Focus comes by Tab only; a press leaves it where it was.
    EXPECT_EQ(strip->focusPolicy(), Qt::TabFocus);
    QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(40, 15));
    EXPECT_TRUE(other.hasFocus());
    EXPECT_EQ(strip->FocusedButton(), btPause);
    errors.clear(); // the press acted on a pad without a clip
    const QImage before = shot(strip);

    strip->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(strip->hasFocus());
    const QImage focused = shot(strip);

    // While focused, the strip keeps its arrow keys from the window's shortcuts.
    int shortcutHits = 0;
    QShortcut shortcut(Qt::Key_Left, &window);
    QObject::connect(&shortcut, &QShortcut::activated, [&] { ++shortcutHits; });
    QTest::keyClick(strip, Qt::Key_Left);
    EXPECT_EQ(strip->FocusedButton(), btPlay);
    EXPECT_EQ(shortcutHits, 0);
    other.setFocus();
    QTest::keyClick(&other, Qt::Key_Left);
    EXPECT_EQ(shortcutHits, 1); // the shortcut itself works
    // Pause spans 32..64, so its focus rectangle runs 35..61 × 3..26: exactly every other
    // pixel of that outline is inverted, and nothing else changes.
    const QRect outline(QPoint(35, 3), QPoint(61, 26));
    int inverted = 0;
    for (int y = 0; y < focused.height(); ++y)
        for (int x = 0; x < focused.width(); ++x) {
            const bool onOutline =
                outline.contains(x, y) && !outline.adjusted(1, 1, -1, -1).contains(x, y);
            const QRgb was = before.pixel(x, y) & 0xFFFFFF;
            const QRgb now = focused.pixel(x, y) & 0xFFFFFF;
            if (onOutline && (x + y) % 2 == 0) {
                EXPECT_EQ(now, ~was & 0xFFFFFF) << x << "," << y;
                ++inverted;
            } else {
                EXPECT_EQ(now, was) << x << "," << y;
            }
        }
    EXPECT_EQ(inverted, (27 + 22) * 2 / 2);
}

// --- Presses on a real player -----------------------------------------------------------------

TEST_F(Strip, DragOutCancelsAndDragBackInActs) {
    openClip(1000);
    EXPECT_TRUE(available(btPlay));
    EXPECT_FALSE(available(btPause));

    press(10);
    moveTo(40);
    EXPECT_FALSE(strip->Down());
    release(40);
    EXPECT_EQ(strip->player()->Mode(), mpStopped);
    EXPECT_TRUE(available(btPlay));

    press(10);
    moveTo(40);
    moveTo(32); // the right column of Play's rectangle is inside it again
    EXPECT_TRUE(strip->Down());
    release(32);
    EXPECT_FALSE(strip->Pressed());
    EXPECT_EQ(strip->player()->Mode(), mpPlaying);
    EXPECT_FALSE(available(btPlay));
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(Strip, PlayUntilTheClipEnds) {
    openClip(300);
    EXPECT_TRUE(available(btPlay));
    EXPECT_FALSE(available(btPause));
    EXPECT_FALSE(available(btStop));
    EXPECT_TRUE(available(btNext));

    click(btPlay);
    EXPECT_EQ(strip->player()->Mode(), mpPlaying);
    EXPECT_FALSE(available(btPlay));
    EXPECT_TRUE(available(btPause));
    EXPECT_TRUE(available(btStop));
    EXPECT_EQ(drawnGlyph(shot(strip), btStop), Drawn::Coloured);

    renderMs(500);
    QTRY_VERIFY(available(btPlay)); // the completion notice
    EXPECT_FALSE(available(btPause));
    EXPECT_FALSE(available(btStop));
    EXPECT_EQ(strip->player()->Mode(), mpStopped);
    EXPECT_EQ(drawnGlyph(shot(strip), btStop), Drawn::Disabled);
}

TEST_F(Strip, PauseWhileNothingPlaysOffersPlay) {
    openClip(1000);
    // A look left over from an earlier playback: Play not offered.
    strip->player()->setAutoButtons({btPause, btStop, btNext, btPrev});
    strip->redrawFromSet();
    click(btPause);
    EXPECT_EQ(strip->player()->Mode(), mpStopped);
    EXPECT_TRUE(available(btPlay));
    EXPECT_TRUE(available(btPause)); // Pause takes nothing away
    EXPECT_TRUE(available(btStop));
}

TEST_F(Strip, PauseResumeAndStopKeepThePosition) {
    openClip(2000);
    click(btPlay);
    renderMs(500);
    click(btPause);
    EXPECT_EQ(strip->player()->Mode(), mpPaused);
    EXPECT_TRUE(available(btPlay));
    EXPECT_TRUE(available(btStop));
    click(btPause);
    EXPECT_EQ(strip->player()->Mode(), mpPlaying);

    renderMs(300);
    click(btStop);
    EXPECT_EQ(strip->player()->Mode(), mpStopped);
    const qint32 stoppedAt = strip->player()->Position();
    EXPECT_GT(stoppedAt, 600);
    EXPECT_LT(stoppedAt, 1000);
    EXPECT_TRUE(available(btPlay));
    EXPECT_FALSE(available(btPause));
    EXPECT_FALSE(available(btStop));
    renderMs(200);
    QTest::qWait(20); // the interrupted playback's notice
    EXPECT_EQ(strip->player()->Position(), stoppedAt);
    EXPECT_TRUE(errors.isEmpty());
}

// A refused mouse press leaves the set alone; Space applies the rule all the same.
TEST_F(Strip, RefusedRecordByMouseAndBySpace) {
    openClip(1000);
    const TButtonSet before = strip->player()->autoButtons();
    click(btRecord); // an audio clip's device cannot record
    EXPECT_NE(strip->player()->Error(), 0);
    EXPECT_EQ(strip->player()->autoButtons(), before);

    ASSERT_EQ(strip->FocusedButton(), btRecord);
    key(Qt::Key_Space);
    EXPECT_NE(strip->player()->Error(), 0);
    EXPECT_EQ(strip->player()->autoButtons(), TButtonSet({btNext, btPrev, btPause, btStop}));
}

TEST_F(Strip, EveryButtonOfAnEmptyPadReportsNoDevice) {
    for (int b = 0; b < kButtonCount; ++b) {
        const auto button = static_cast<TMPBtnType>(b);
        errors.clear();
        click(button);
        EXPECT_EQ(errors, QStringList{"MCI デバイスがありません."}) << b;
        EXPECT_FALSE(strip->Pressed()) << b;
        EXPECT_FALSE(strip->Down()) << b;
        EXPECT_TRUE(strip->player()->autoButtons().empty()) << b;
        EXPECT_EQ(drawnGlyph(shot(strip), button), Drawn::Disabled) << b; // drawn released
    }
    errors.clear();
    key(Qt::Key_Space);
    EXPECT_EQ(errors, QStringList{"MCI デバイスがありません."});
    EXPECT_TRUE(strip->player()->autoButtons().empty());
}

TEST_F(Strip, ClickEventsAndDoDefault) {
    openClip(1000);
    QStringList calls;
    strip->OnClick = [&](TransportBar* sender, TMPBtnType b, bool& doDefault) {
        EXPECT_EQ(sender, strip);
        calls << QStringLiteral("click %1").arg(b);
        doDefault = b != btPlay; // keep Play from playing
    };
    strip->OnPostClick = [&](TransportBar*, TMPBtnType b) {
        calls << QStringLiteral("post %1 mode %2").arg(b).arg(strip->player()->Mode());
    };
    click(btPlay);
    EXPECT_EQ(strip->player()->Mode(), mpStopped);
    strip->OnClick = nullptr;
    click(btPlay);
    EXPECT_EQ(calls, QStringList({"click 0", "post 0 mode 2"}));
}

TEST_F(Strip, AcceptanceOfPresses) {
    openClip(1000);
    // Auto set but not Enabled: accepted while AutoEnable is on.
    strip->setEnabledButtons({});
    press(10);
    EXPECT_TRUE(strip->Pressed());
    moveTo(-50);
    release(-50);
    // Neither: refused, nothing held.
    press(40);
    EXPECT_FALSE(strip->Pressed());
    release(40);
    EXPECT_EQ(strip->player()->Mode(), mpStopped);
    // Space consults Enabled only.
    key(Qt::Key_Space);
    EXPECT_EQ(strip->player()->Mode(), mpStopped);
    strip->setEnabledButtons(kAllButtons);
    key(Qt::Key_Space);
    EXPECT_EQ(strip->player()->Mode(), mpPlaying);
    EXPECT_FALSE(available(btPlay));
}

TEST_F(Strip, KeyboardMovesFocusAndSpacePressesRepeatedly) {
    openClip(2000);
    PaintCounter counter;
    strip->installEventFilter(&counter);
    auto paintsAfter = [&](int k) {
        QTest::qWait(30);
        counter.paints = 0;
        key(k);
        QTest::qWait(30);
        return counter.paints;
    };

    EXPECT_EQ(paintsAfter(Qt::Key_Left), 0); // already on Play
    EXPECT_EQ(strip->FocusedButton(), btPlay);
    EXPECT_GT(paintsAfter(Qt::Key_Right), 0);
    EXPECT_EQ(strip->FocusedButton(), btPause);
    for (int i = 0; i < 10; ++i)
        key(Qt::Key_Right);
    EXPECT_EQ(strip->FocusedButton(), btEject);
    EXPECT_EQ(paintsAfter(Qt::Key_Right), 0);
    EXPECT_EQ(strip->FocusedButton(), btEject);

    // Hidden buttons are stepped over.
    strip->setVisibleButtons({btPlay, btPause, btStop, btEject});
    key(Qt::Key_Left);
    EXPECT_EQ(strip->FocusedButton(), btStop);

    key(Qt::Key_Left);
    key(Qt::Key_Left);
    key(Qt::Key_Space); // Play
    EXPECT_EQ(strip->player()->Mode(), mpPlaying);
    key(Qt::Key_Right);
    key(Qt::Key_Space); // Pause, and its auto-repeat resumes
    EXPECT_EQ(strip->player()->Mode(), mpPaused);
    key(Qt::Key_Space, true);
    EXPECT_EQ(strip->player()->Mode(), mpPlaying);
    EXPECT_TRUE(available(btPlay)); // the Pause rule adds Play and removes nothing
    EXPECT_TRUE(available(btStop));
}
