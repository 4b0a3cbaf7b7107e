// The board on screens smaller than its design size and in a window the user resizes: one
// factor for the whole board, every control visible and usable, fonts at the scaled size, and
// the design size restored pixel for pixel. The screens: a 1920 x 1080 desktop at (0, 0), a
// 1366 x 768 laptop at (1920, 0) and 1920 x 1080 at 125 % (1536 x 864) at (3286, 0).

#include "categorypanel.h"
#include "clipplayer.h"
#include "gradpan.h"
#include "placement.h"
#include "transportbar.h"
#include "view_support.h"
#include "viewscale.h"

#include <QLabel>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QToolButton>

using namespace viewtest;

namespace {

QRect globalRect(const QWidget* w) {
    return QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
}

class Fit : public WindowTest {
protected:
    // Opens the window with a stored placement of the design size at (left, 5).
    void openAt(int left) {
        QDir().mkpath(env.dataFolder() + "/conf");
        SaveWindowPlacement(env.dataFolder(), "view_fit_test", 5, left, 1747, 880);
        open();
        settle();
    }
    // Lets the window take its place on the screen and its layouts follow.
    static void settle() {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    }
    // Resizes the window as the user would, and lets its layouts settle.
    void resizeTo(QSize size) {
        window->resize(size);
        EXPECT_TRUE(waitFor([&] { return window->size() == size; }));
        settle();
    }
    QScreen* screenNamed(const QString& name) const {
        for (QScreen* s : QGuiApplication::screens())
            if (s->name() == name)
                return s;
        ADD_FAILURE() << "no screen " << name.toStdString();
        return QGuiApplication::primaryScreen();
    }

    // The window lies inside the screen's free area and every pad, with its play button, is
    // on screen; the board is the design board times one factor.
    void expectWholeBoardOn(QScreen* screen) {
        const QRect free = screen->availableGeometry();
        EXPECT_TRUE(free.contains(window->frameGeometry()))
            << window->frameGeometry().x() << "," << window->frameGeometry().y() << " "
            << window->frameGeometry().width() << "x" << window->frameGeometry().height();
        const qreal s = window->viewScale();
        EXPECT_LT(s, 1.0);
        EXPECT_NEAR(s, std::min(free.width() / 1747.0, free.height() / 880.0), 0.01);
        const QWidget* client = window->centralWidget();
        for (int n = 1; n <= PadBoard::kPads; ++n) {
            EXPECT_TRUE(free.contains(globalRect(board().playButton(n)))) << n;
            const QRect frame(board().frame(n)->mapTo(client, QPoint(0, 0)),
                              board().frame(n)->size());
            const QRect design(209 + 206 + 316 * ((n - 1) % 4), 26 + 410 * ((n - 1) / 4), 310, 404);
            EXPECT_NEAR(frame.left(), design.left() * s, 1.0) << n;
            EXPECT_NEAR(frame.top(), design.top() * s, 1.0) << n;
            EXPECT_NEAR(frame.width(), design.width() * s, 1.0) << n;
            EXPECT_NEAR(frame.height(), design.height() * s, 1.0) << n;
            // Nothing of the pad leaves its frame.
            for (const QWidget* part : board().frame(n)->findChildren<QWidget*>()) {
                if (part->parentWidget() != board().frame(n))
                    continue;
                EXPECT_TRUE(board().frame(n)->rect().contains(part->geometry()))
                    << part->objectName().toStdString();
            }
        }
        for (QWidget* w : {static_cast<QWidget*>(window->controls().ButtonStopAll),
                           static_cast<QWidget*>(window->controls().StatusBar1)})
            EXPECT_TRUE(free.contains(globalRect(w))) << w->objectName().toStdString();
        // Text is laid out at the scaled size, not shrunk as a picture.
        EXPECT_EQ(board().playButton(1)->font().pixelSize(), std::lround(19 * s));
        EXPECT_EQ(window->font().pixelSize(), std::lround(13 * s));
        EXPECT_EQ(window->controls().CategoryPanel1->header()->font().pixelSize(),
                  std::lround(11 * s));
    }
};

TEST_F(Fit, OnALaptopScreenTheWholeBoardIsVisibleAndPlays) {
    openAt(1925);
    QScreen* laptop = screenNamed("laptop");
    expectWholeBoardOn(laptop);
    EXPECT_EQ(window->width(), 1366 - 4); // the frame's two pixels on each side

    // A click on pad 8's scaled play button plays it; its clock and the slider still work.
    board().openClip(8, sound("eight.wav", 5000));
    QTest::mouseClick(board().playButton(8), Qt::LeftButton);
    EXPECT_EQ(board().player(8)->Mode(), mpPlaying);
    EXPECT_FALSE(board().clock(8)->leftText().isEmpty());
    EXPECT_TRUE(board().progress(8)->isVisible());
    QSlider* volume = board().trackBar(8);
    QTest::mouseClick(volume, Qt::LeftButton, {},
                      QPoint(volume->width() / 4, volume->height() / 3));
    EXPECT_LT(volume->value(), 1000);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(Fit, OnAFullHdScreenAt125PercentTheWholeBoardIsVisible) {
    openAt(3290);
    expectWholeBoardOn(screenNamed("scaled-full-hd"));
}

TEST_F(Fit, ResizingScalesTheBoardAndTheDesignSizeComesBackExactly) {
    openAt(5);
    ASSERT_EQ(window->size(), QSize(1747, 880));
    EXPECT_EQ(window->viewScale(), 1.0);
    const QImage design = window->grab().toImage();
    std::vector<QRect> places;
    const QList<QWidget*> all = window->findChildren<QWidget*>();
    for (const QWidget* w : all)
        places.push_back(w->geometry());

    // Smaller: one factor for everything, the side column and the status bar included.
    resizeTo(QSize(1200, 700));
    const qreal s = window->viewScale();
    EXPECT_NEAR(s, 1200.0 / 1747, 1e-9);
    EXPECT_NEAR(window->controls().GradPan9->width(), 209 * s, 1.0);
    EXPECT_NEAR(window->controls().setlist[9]->height(), 40 * s, 1.0);
    EXPECT_NEAR(window->controls().CategoryPanel3->height(), 384 * s, 1.0);
    // The strip keeps its own rule: nine buttons of one width, the rest rounded off.
    EXPECT_LE(board().transportBar(1)->width(), 289 * s + 1);
    EXPECT_GT(board().transportBar(1)->width(), 289 * s - 9);
    EXPECT_NEAR(window->controls().StatusBar1->height(), 19 * s, 1.0);
    EXPECT_EQ(board().playButton(4)->font().pixelSize(), std::lround(19 * s));
    // Larger than the design: the board grows with the window, proportions kept.
    resizeTo(QSize(2100, 1300));
    EXPECT_NEAR(window->viewScale(), 2100.0 / 1747, 1e-9);
    EXPECT_NEAR(board().frame(8)->width(), 310 * window->viewScale(), 1.0);

    // Back at the design size every control is where it was built, every pixel as before.
    resizeTo(QSize(1747, 880));
    EXPECT_EQ(window->viewScale(), 1.0);
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (!all[i]->isVisibleTo(window.get()))
            continue; // a hidden scroll bar keeps whatever place it had
        EXPECT_EQ(all[i]->geometry(), places[size_t(i)]) << all[i]->objectName().toStdString();
    }
    EXPECT_TRUE(window->grab().toImage() == design);
}

TEST_F(Fit, AWindowIsFittedOnlyWhereItDoesNotFit) {
    const QSize board(1747, 880);
    const QRect laptop(0, 0, 1366, 768);
    // Fits: left alone, whatever its size.
    EXPECT_EQ(fitWindow(QRect(10, 10, 800, 600), laptop, {}, board), QRect(10, 10, 800, 600));
    // The design size: shrunk to the screen's width, the height following the proportions,
    // moved inside.
    EXPECT_EQ(fitWindow(QRect(5, 5, 1747, 880), laptop, {}, board), QRect(0, 5, 1366, 689));
    // The frame counts: a title bar of 30 and borders of 1.
    const QRect framed = fitWindow(QRect(5, 5, 1747, 880), laptop, {1, 30, 1, 1}, board);
    EXPECT_EQ(framed, QRect(0, 5, 1364, 688));
    EXPECT_TRUE(laptop.contains(QRect(framed.topLeft(), framed.size() + QSize(2, 31))));
    // Too tall only: the height shrinks to what the board needs at the width's factor.
    EXPECT_EQ(fitWindow(QRect(0, 100, 1300, 900), laptop, {}, board), QRect(0, 100, 1300, 655));
    // A panel on the left of the screen's free area.
    EXPECT_EQ(fitWindow(QRect(0, 0, 1747, 880), QRect(60, 0, 1306, 768), {}, board),
              QRect(60, 0, 1306, 658));
    EXPECT_NEAR(ViewScaler::factorFor(QSize(1366, 689), board), 1366.0 / 1747, 1e-9);
    EXPECT_EQ(ViewScaler::factorFor(QSize(100, 50), board), ViewScaler::kMinScale);
}

} // namespace
