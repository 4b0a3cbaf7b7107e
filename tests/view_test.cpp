// The operator's view on the real window at design size: what sounds and how long is left,
// stopping every pad or one, files dropped on the window, and file dialogs an operator can
// read.

#include "clipplayer.h"
#include "encode_support.h"
#include "filedialogs.h"
#include "setlistio.h"
#include "setlistslots.h"
#include "settingsfile.h"
#include "transportbar.h"
#include "view_support.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTreeView>

using namespace viewtest;

namespace {

const QColor kLitPlaying(0x5f, 0xd3, 0x7a);
const QColor kLitEnding(0xe8, 0x4a, 0x3f);
const QColor kLitPaused(0xff, 0xc7, 0x5a);
const QColor kDropBackground(0x24, 0x34, 0x47);

// The left border of a pad frame, and a spot of its background beside the picture.
constexpr QPoint kFrameBorder(0, 200);
constexpr QPoint kFrameInside(304, 100);

class View : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        open();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
    QColor border(int pad) const { return pixel(board().frame(pad), kFrameBorder); }
    bool sounding(int pad) const { return board().player(pad)->Mode() == mpPlaying; }
    bool anySounding() const {
        for (int n = 1; n <= PadBoard::kPads; ++n)
            if (sounding(n))
                return true;
        return false;
    }
};

TEST_F(View, TimesReadAsAnOperatorExpects) {
    EXPECT_EQ(formatLeft(82001), "\u22121:23"); // rounded up: it is not over yet
    EXPECT_EQ(formatLeft(9950), "\u22120:10");
    EXPECT_EQ(formatLeft(9900), "\u22120:09.9"); // tenths under ten seconds
    EXPECT_EQ(formatLeft(9901), "\u22120:10");
    EXPECT_EQ(formatLeft(1), "\u22120:00.1"); // still sounding
    EXPECT_EQ(formatLeft(0), "\u22120:00.0");
    EXPECT_EQ(formatLeft(3600000 + 61000), "\u221261:01");
    EXPECT_EQ(formatLength(900), "0:00.9"); // a loaded pad shows its clip's length
    EXPECT_EQ(formatPlayed(59999), "0:59");

    // The display is refreshed when its next digit is due, and not while nothing moves.
    using S = PadTimes::State;
    EXPECT_EQ(msUntilChange({S::Paused, 500, 100000}), 0);
    EXPECT_EQ(msUntilChange({S::Playing, 17000, 100400}), 400);  // the time left
    EXPECT_EQ(msUntilChange({S::Playing, 17800, 100500}), 200);  // the time played
    EXPECT_EQ(msUntilChange({S::Playing, 50, 10000}), 50);       // tenths under ten seconds
    EXPECT_EQ(msUntilChange({S::Playing, 0, 10000}), 100);       // "-0:10" to "-0:09.9"
    EXPECT_EQ(msUntilChange({S::Playing, 0, 15300, true}), 300); // a loop's pass
    // Red from exactly five seconds left, when the clock shows "-0:05.0".
    EXPECT_FALSE(endIsNear({S::Playing, 5000, 10001}));
    EXPECT_TRUE(endIsNear({S::Playing, 5000, 10000}));
}

TEST_F(View, PlayingPadsAreLitAndCountDown) {
    board().openClip(2, sound("long.wav", 20000));
    board().openClip(5, sound("short.wav", 5600));
    // Loaded but silent: the clip's length, no light, no timer.
    EXPECT_EQ(board().clock(2)->leftText(), "0:20");
    EXPECT_EQ(board().clock(5)->leftText(), "0:05.6");
    EXPECT_EQ(board().clock(2)->playedText(), "");
    const QColor idle = border(2);
    EXPECT_NE(idle, kLitPlaying);
    EXPECT_TRUE(board().clock(1)->leftText().isEmpty()); // an empty pad shows nothing

    board().pressPad(2);
    board().pressPad(5);
    // The clock lies on the lit frame as if painted on it.
    EXPECT_EQ(pixel(board().clock(2), QPoint(0, 0)), pixel(board().frame(2), kFrameInside));
    EXPECT_EQ(border(2), kLitPlaying);
    EXPECT_EQ(border(5), kLitPlaying);
    EXPECT_EQ(border(1), idle);
    EXPECT_TRUE(board().progress(2)->isVisible());
    EXPECT_FALSE(board().progress(1)->isVisible());

    ASSERT_TRUE(waitFor([&] { return board().clock(2)->playedText() == "0:01"; }));
    EXPECT_EQ(board().clock(2)->leftText(), "\u22120:19");
    EXPECT_GT(board().progress(2)->filled(), 0);

    // The last five seconds of pad 5: the clock and the frame turn red, tenths count down.
    ASSERT_TRUE(waitFor([&] { return board().clock(5)->warns(); }));
    EXPECT_TRUE(
        QRegularExpression("^\u22120:0[0-5]\\.\\d$").match(board().clock(5)->leftText()).hasMatch())
        << board().clock(5)->leftText().toStdString();
    EXPECT_EQ(border(5), kLitEnding);
    EXPECT_FALSE(board().clock(2)->warns());

    // Paused from the strip: amber, and the time stands still.
    TransportBar* strip = board().transportBar(2);
    const QPoint pause(strip->buttonLeft(btPause) + strip->ButtonWidth() / 2, 10);
    QTest::mouseClick(strip, Qt::LeftButton, {}, pause);
    EXPECT_EQ(board().player(2)->Mode(), mpPaused);
    EXPECT_EQ(border(2), kLitPaused);
    const QString frozen = board().clock(2)->leftText();
    QTest::qWait(300);
    EXPECT_EQ(board().clock(2)->leftText(), frozen);

    // Pad 5 ends: its light goes out and it shows its length again; with nothing sounding the
    // display timer rests.
    ASSERT_TRUE(waitFor([&] { return !sounding(5) && border(5) == idle; }, 10000));
    EXPECT_EQ(board().clock(5)->leftText(), "0:05.6");
    EXPECT_FALSE(board().progress(5)->isVisible());
    EXPECT_FALSE(board().displayTimer()->isActive());
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(View, ALoopingPadShowsItsMarkAndTheTimeLeftInThePass) {
    board().openClip(3, sound("loop.wav", 1200));
    PadClock* clock = board().clock(3);
    // The upper right of the clock, inside its outline.
    const QRect markArea(clock->width() - 20, 2, 17, clock->height() / 2 - 2);
    auto greenIn = [&](const QRect& area) {
        const QImage image = clock->grab().toImage();
        int green = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x) {
                const QColor c = image.pixelColor(x, y);
                green += c.green() > 150 && c.red() < 150 && c.blue() < 170;
            }
        return green >= 4;
    };
    board().pressPad(3);
    EXPECT_FALSE(greenIn(markArea)); // playing once: no loop mark
    board().loopSwitch(3)->click();  // plays on, and repeats
    ASSERT_TRUE(sounding(3));
    EXPECT_TRUE(clock->times().looping);
    EXPECT_TRUE(greenIn(markArea));

    // The time left runs down within a pass and starts again at the next one; a loop never
    // ends, so its last seconds are not highlighted.
    QStringList seen;
    ASSERT_TRUE(waitFor(
        [&] {
            const QString left = clock->leftText();
            if (seen.isEmpty() || seen.back() != left)
                seen << left;
            EXPECT_FALSE(clock->warns());
            return seen.size() > 2 && seen.back() > seen[seen.size() - 2];
        },
        8000))
        << seen.join(' ').toStdString();
    EXPECT_TRUE(seen.back().startsWith("\u22120:01") || seen.back().startsWith("\u22120:00"));
    EXPECT_EQ(border(3), kLitPlaying);
}

TEST_F(View, EscAndStopAllEndEveryPadAndShiftWithALetterFadesOnlyThatPad) {
    for (int n : {1, 2, 3, 4})
        board().openClip(n, sound(QStringLiteral("s%1.wav").arg(n), 20000));
    auto startAll = [&] {
        board().pressPad(1);
        board().pressPad(2);
        board().loopSwitch(3)->click();
        board().pressPad(4);
        ASSERT_TRUE(waitFor([&] { return board().player(4)->Position() > 300; }));
        board().player(4)->Pause();
    };
    auto expectStoppedAtTheStart = [&](std::initializer_list<int> pads) {
        for (int n : pads) {
            EXPECT_EQ(board().player(n)->Mode(), mpStopped) << n;
            EXPECT_EQ(board().player(n)->Position(), 0) << n;
            EXPECT_FALSE(board().loopSwitch(n)->isChecked()) << n;
            EXPECT_TRUE(board().playButton(n)->isEnabled()) << n;
        }
    };

    startAll();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    ASSERT_TRUE(waitFor([&] { return !anySounding(); }, 3000));
    expectStoppedAtTheStart({1, 2, 3, 4});
    // Nothing restarts on its own, and the next press starts from the beginning.
    QTest::qWait(400);
    EXPECT_FALSE(anySounding());
    board().pressPad(1);
    ASSERT_TRUE(sounding(1));
    EXPECT_LT(board().player(1)->Position(), 250);

    // A second Esc while the pads fade out stops them at once.
    startAll();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(anySounding());
    expectStoppedAtTheStart({1, 2, 3, 4});

    startAll();
    window->controls().ButtonStopAll->click();
    ASSERT_TRUE(waitFor([&] { return !anySounding(); }, 3000));
    expectStoppedAtTheStart({1, 2, 3, 4});

    // Shift with a pad's letter fades that pad alone, a looping one too, for good.
    startAll();
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ShiftModifier);
    ASSERT_TRUE(waitFor([&] { return !sounding(1); }, 4000));
    expectStoppedAtTheStart({1});
    EXPECT_TRUE(sounding(2));
    EXPECT_TRUE(sounding(3));
    QTest::keyClick(window.get(), Qt::Key_E, Qt::ShiftModifier);
    ASSERT_TRUE(waitFor([&] { return !sounding(3); }, 4000));
    QTest::qWait(300);
    EXPECT_FALSE(sounding(3));
    expectStoppedAtTheStart({3});
    // On a pad that does not sound, nothing happens: a stopped clip keeps its place.
    board().pressPad(1);
    ASSERT_TRUE(waitFor([&] { return board().player(1)->Position() > 200; }));
    board().player(1)->Stop();
    const int kept = board().player(1)->Position();
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ShiftModifier);
    EXPECT_EQ(board().player(1)->Mode(), mpStopped);
    EXPECT_EQ(board().player(1)->Position(), kept);
    EXPECT_TRUE(sounding(2));

    // While a dialog is open, Esc is the dialog's: it closes it and the pads play on.
    dialogs::setResponder(nullptr);
    whenModal<QInputDialog>([](QInputDialog* d) { QTest::keyClick(d, Qt::Key_Escape); });
    board().popupFor(2, QPoint());
    board().PopupMenu1->close();
    board().N2->trigger();
    EXPECT_EQ(answeredModals(), 1);
    EXPECT_TRUE(sounding(2));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

class Drops : public View {
protected:
    // The point at the middle of pad `pad`'s picture, in the window.
    QPoint onPad(int pad) const {
        QFrame* picture = board().pictureFrame(pad);
        return picture->mapTo(window.get(), picture->rect().center());
    }
    static std::unique_ptr<QMimeData> files(const QStringList& paths) {
        auto data = std::make_unique<QMimeData>();
        QList<QUrl> urls;
        for (const QString& p : paths)
            urls << QUrl::fromLocalFile(p);
        data->setUrls(urls);
        return data;
    }
    // Sends the window a drag event E of `data` at `at`; whether the window took it.
    template <typename E> bool dragEvent(const QMimeData* data, QPoint at) {
        E event(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &event);
        return event.isAccepted();
    }
    // Drags `data` over the window from `from` to `to` and drops it there; the window's
    // answer to the drop comes after the drop itself, as it does for a file manager.
    bool drop(const QMimeData* data, QPoint from, QPoint to) {
        if (!dragEvent<QDragEnterEvent>(data, from))
            return false;
        dragEvent<QDragMoveEvent>(data, to);
        const bool taken = dragEvent<QDropEvent>(data, to);
        QCoreApplication::processEvents(); // the queued answer
        return taken;
    }
    QStringList lines() const { return setlist::boardLines(board().model()); }
};

TEST_F(Drops, TheHoveredPadLightsUpAndWhatNoPadTakesChangesNothing) {
    const QStringList before = lines();
    const QString a = sound("a.wav", 500), b = sound("b.wav", 500);
    const auto data = files({a});
    const QColor plain = pixel(board().frame(3), kFrameInside);
    ASSERT_TRUE(dragEvent<QDragEnterEvent>(data.get(), onPad(3)));
    EXPECT_EQ(pixel(board().frame(3), kFrameInside), kDropBackground);
    dragEvent<QDragMoveEvent>(data.get(), onPad(4));
    EXPECT_EQ(pixel(board().frame(3), kFrameInside), plain);
    EXPECT_EQ(pixel(board().frame(4), kFrameInside), kDropBackground);
    QDragLeaveEvent leave;
    QApplication::sendEvent(window.get(), &leave);
    EXPECT_EQ(pixel(board().frame(4), kFrameInside), plain);

    // A set list file is the window's, no pad lights up; text is not taken at all.
    const auto setList = files({env.dataFolder() + "/conf/x.cdk"});
    EXPECT_TRUE(dragEvent<QDragEnterEvent>(setList.get(), onPad(3)));
    EXPECT_EQ(board().dropTarget(), 0);
    QMimeData words;
    words.setText("hello");
    EXPECT_FALSE(drop(&words, onPad(3), onPad(3)));

    // Several files, a file of no known kind, a folder, or a clip beside the pads: nothing
    // changes, and a message says why.
    const QString text = env.root() + "/notes.txt";
    writeFile(text, "cue sheet");
    const QString folder = env.dataFolder() + "/sound";

    ASSERT_TRUE(drop(files({a, b}).get(), onPad(1), onPad(1)));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.last().contains("1 つずつ")) << messages.last().toStdString();
    EXPECT_TRUE(messages.last().contains("2 個")) << messages.last().toStdString();
    for (const QString& unknown : {text, folder}) {
        ASSERT_TRUE(drop(files({unknown}).get(), onPad(1), onPad(1)));
        EXPECT_TRUE(messages.last().contains(unknown)) << messages.last().toStdString();
        EXPECT_TRUE(messages.last().contains("何も変更していません"));
    }
    const QPoint column = window->controls().setlist[2]->mapTo(window.get(), QPoint(5, 5));
    ASSERT_TRUE(drop(files({a}).get(), onPad(1), column));
    EXPECT_TRUE(messages.last().contains("パッドの上に")) << messages.last().toStdString();
    EXPECT_EQ(messages.size(), 4);
    EXPECT_TRUE(offered.isEmpty());
    EXPECT_EQ(lines(), before);
    EXPECT_FALSE(window->SetListModified());
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(Drops, AClipOrPictureOnAPadIsExactlyAChoiceOfIt) {
    const QString clip = sound("dropped.wav", 1500);
    typed = "Dropped";
    ASSERT_TRUE(drop(files({clip}).get(), onPad(1), onPad(3)));
    EXPECT_EQ(offered, QStringList{"PLAY SOUND"});
    EXPECT_EQ(board().fileName(3), clip);
    EXPECT_EQ(board().caption(3), "Dropped(&E)");
    EXPECT_TRUE(board().playButton(3)->isEnabled());
    EXPECT_TRUE(window->SetListModified()); // a change like any other
    board().pressPad(3);
    EXPECT_TRUE(sounding(3));

    // The same file on another pad: the duplicate warning, pad 6 unchanged.
    ASSERT_TRUE(drop(files({clip}).get(), onPad(6), onPad(6)));
    EXPECT_EQ(messages, QStringList{"このファイルはPLAY TRACK 3で指定されています。"});
    EXPECT_EQ(board().fileName(6), "");
    EXPECT_EQ(board().caption(6), "PLAY SOUND(&S)");

    // A clip that cannot be opened: the error box, as with the FILE button.
    const QString broken = env.dataFolder() + "/sound/broken.mp3";
    writeFile(broken, "not a sound at all");
    ASSERT_TRUE(drop(files({broken}).get(), onPad(7), onPad(7)));
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(board().fileName(7), broken);

    QSignalSpy shown(&board(), &PadBoard::pictureFinished);
    const QString png = picture("dropped.png", QSize(64, 48), Qt::blue);
    ASSERT_TRUE(drop(files({png}).get(), onPad(2), onPad(2)));
    ASSERT_TRUE(waitFor([&] { return !shown.isEmpty(); }));
    EXPECT_EQ(shown.last(), QVariantList({2, true}));
    EXPECT_EQ(board().imagePath(2), png);
    EXPECT_EQ(pixel(board().image(2), QPoint(40, 40)), QColor(Qt::blue));

    // An AAC .m4a and the sound of a video are clips like any other.
    std::vector<float> tone(2 * 48000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.3f * std::sin(0.05f * static_cast<float>(i / 2));
    const QString m4a = env.dataFolder() + "/sound/dropped.m4a";
    testsupport::encodeClip(m4a.toStdString(), "ipod", "aac", 48000, 2, tone);
    const QString film = env.dataFolder() + "/sound/dropped.mkv";
    testsupport::encodeClip(film.toStdString(), "matroska", "libopus", 48000, 2, tone, "mpeg4");
    typed = "Song";
    for (const auto& [n, file] : {std::pair{4, m4a}, std::pair{5, film}}) {
        ASSERT_TRUE(drop(files({file}).get(), onPad(n), onPad(n)));
        EXPECT_EQ(board().fileName(n), file);
        board().pressPad(n);
        EXPECT_TRUE(sounding(n));
    }
    EXPECT_EQ(errors.size(), 1);
}

TEST_F(Drops, ASetListFileOnTheWindowIsLoadedAsByLoadFile) {
    board().openClip(2, sound("kept.wav", 1000));
    board().setCaption(2, "Kept(&W)");
    const QString file = env.root() + "/show.cdk";
    window->SaveSetList(file);
    const QStringList saved = lines();
    board().setCaption(2, "Changed(&W)"); // a change not yet saved

    answer = dialogs::mrNo;
    ASSERT_TRUE(drop(files({file}).get(), onPad(8), window->rect().center()));
    EXPECT_EQ(messages, QStringList{"1のデータが変更されています。終了していいですか？"});
    EXPECT_EQ(board().caption(2), "Changed(&W)");

    answer = dialogs::mrYes;
    ASSERT_TRUE(drop(files({file}).get(), onPad(8), QPoint(100, 400)));
    EXPECT_EQ(messages.size(), 2);
    EXPECT_EQ(lines(), saved);
    EXPECT_EQ(board().caption(2), "Kept(&W)");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

class FileDialogs : public View {};

TEST_F(FileDialogs, ThePictureDialogPreviewsThePictureUnderTheCursor) {
    const QString wide = picture("wide.png", QSize(800, 200), Qt::green);
    const QString small = picture("small.png", QSize(40, 30), Qt::yellow);
    const QString fake = env.dataFolder() + "/image/fake.png";
    writeFile(fake, "no picture here");
    dialogs::setResponder(nullptr);
    whenModal<QFileDialog>([&](QFileDialog* d) {
        auto* dialog = qobject_cast<PictureDialog*>(d);
        ASSERT_NE(dialog, nullptr);
        QLabel* preview = dialog->preview();
        // Beside the list of files.
        auto* list = d->findChild<QListView*>("listView");
        EXPECT_GE(preview->mapTo(d, QPoint(0, 0)).x(),
                  list->mapTo(d, QPoint(list->width(), 0)).x());
        QSignalSpy shown(dialog, &PictureDialog::previewShown);
        auto* model = qobject_cast<QFileSystemModel*>(list->model());
        ASSERT_NE(model, nullptr);
        auto previewOf = [&](const QString& path) {
            // The list's cursor moves onto the file, as the arrow keys or a click move it.
            EXPECT_TRUE(waitFor([&] { return model->index(path).isValid(); }));
            list->setCurrentIndex(model->index(path));
            EXPECT_TRUE(waitFor([&] {
                return !shown.isEmpty() && shown.last().at(0).toString() == path;
            })) << path.toStdString();
            return shown.last().at(1).toBool();
        };
        ASSERT_TRUE(previewOf(wide));
        // Scaled into the room beside the list, its proportions kept.
        const QSize size = preview->pixmap().deviceIndependentSize().toSize();
        EXPECT_LE(size.width(), preview->width());
        EXPECT_NEAR(double(size.width()) / size.height(), 4.0, 0.1);
        EXPECT_EQ(preview->pixmap().toImage().pixelColor(size.width() / 2, size.height() / 2),
                  QColor(Qt::green));
        ASSERT_TRUE(previewOf(small));
        EXPECT_EQ(preview->pixmap().size(), QSize(40, 30)); // never blown up
        EXPECT_FALSE(previewOf(fake));
        EXPECT_TRUE(preview->pixmap().isNull());
        EXPECT_TRUE(preview->text().contains("画像として読み込めない"))
            << preview->text().toStdString();
        d->reject();
    });
    QTest::mouseDClick(board().image(1), Qt::LeftButton);
    EXPECT_EQ(answeredModals(), 1);
    EXPECT_EQ(board().imagePath(1), "");
}

TEST_F(FileDialogs, TheClipDialogOffersWavAndMp3ThenEveryKindOfClip) {
    for (const char* name :
         {"a.wav", "b.mp3", "c.m4a", "d.FLAC", "e.wma", "f.mp4", "g.txt", "h.MKV", "i.webm"})
        writeFile(env.dataFolder() + "/sound/" + name, "x");
    dialogs::setResponder(nullptr);
    QStringList filters;
    QStringList listed[3];
    whenModal<QFileDialog>([&](QFileDialog* d) {
        filters = d->nameFilters();
        auto* tree = d->findChild<QTreeView*>("treeView");
        auto* model = qobject_cast<QFileSystemModel*>(tree->model());
        ASSERT_NE(model, nullptr);
        for (int f = 0; f < filters.size() && f < 3; ++f) {
            d->selectNameFilter(filters[f]);
            const QModelIndex folder = model->index(env.dataFolder() + "/sound");
            ASSERT_TRUE(waitFor([&] {
                listed[f].clear();
                for (int row = 0; row < model->rowCount(folder); ++row)
                    listed[f] << model->index(row, 0, folder).data().toString();
                return listed[f].contains("a.wav");
            }));
            listed[f].sort();
        }
        d->reject();
    });
    board().fileButton(1)->click();
    ASSERT_EQ(filters.size(), 3);
    EXPECT_EQ(filters[0], "WAV mp3 Files (.mp3,wav) (*.wav *.mp3)");
    EXPECT_TRUE(filters[1].startsWith("すべての音声ファイル (*.wav ")) << filters[1].toStdString();
    EXPECT_EQ(filters[2], "All Files (*.*) (*)");
    EXPECT_EQ(listed[0], QStringList({"a.wav", "b.mp3"}));
    EXPECT_EQ(listed[1], QStringList({"a.wav", "b.mp3", "c.m4a", "d.FLAC", "e.wma", "f.mp4",
                                      "h.MKV", "i.webm"}));
    EXPECT_TRUE(listed[2].contains("g.txt"));
}

TEST_F(FileDialogs, OpenReadableAndKeepTheSizeTheUserGives) {
    const QString settings = env.dataFolder() + "/conf/settings.ini";
    writeFile(settings, "output/device=Speakers\r\n");
    sound("a long name for a sound file of the opening scene.wav", 3000);
    dialogs::setResponder(nullptr);
    QSize opened;
    whenModal<QFileDialog>([&](QFileDialog* d) {
        opened = d->size();
        auto* tree = d->findChild<QTreeView*>("treeView");
        auto* model = qobject_cast<QFileSystemModel*>(tree->model());
        ASSERT_NE(model, nullptr);
        const QModelIndex name = model->index(env.dataFolder() + "/sound/a long name for a sound "
                                                                 "file of the opening scene.wav");
        ASSERT_TRUE(name.isValid());
        d->setViewMode(QFileDialog::Detail);
        ASSERT_TRUE(waitFor([&] { return tree->isVisible(); }));
        // The sizes and dates come from a worker.
        ASSERT_TRUE(waitFor([&] {
            return !model->index(name.row(), 3, name.parent()).data().toString().isEmpty();
        }));
        // Size, type and date are as wide as their text; the name has the rest.
        for (int column = 0; column < 4; ++column) {
            const QString text = model->index(name.row(), column, name.parent()).data().toString();
            const int needs = tree->fontMetrics().horizontalAdvance(text);
            EXPECT_GE(tree->header()->sectionSize(column), needs) << text.toStdString();
        }
        d->resize(1020, 640);
        d->reject();
    });
    board().fileButton(1)->click();
    EXPECT_EQ(opened, filedialogs::kListSize);

    // Kept beside the other pages' settings, and used the next time.
    SettingsFile stored(settings);
    stored.load();
    EXPECT_EQ(stored.value("output/device"), "Speakers");
    EXPECT_EQ(stored.intValue("dialog/OpenDialog1/width", 0), 1020);
    EXPECT_EQ(stored.intValue("dialog/OpenDialog1/height", 0), 640);
    whenModal<QFileDialog>([&](QFileDialog* d) {
        opened = d->size();
        d->reject();
    });
    window->controls().Button21->click(); // Load file shares the dialog
    EXPECT_EQ(opened, QSize(1020, 640));

    // A settings file that cannot be written is reported once; the dialogs go on working.
    QFile::remove(settings);
    QDir().mkpath(settings);
    dialogs::setResponder(&responder);
    for (QSize size : {QSize(900, 600), QSize(910, 610)}) {
        whenModal<QFileDialog>([&, size](QFileDialog* d) {
            d->resize(size);
            d->reject();
        });
        window->setLists().Button2Click();
    }
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.first().startsWith("ダイアログの大きさを保存できません"))
        << errors.first().toStdString();
}

} // namespace
