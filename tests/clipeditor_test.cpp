// The clip editor over a real pad board and clip analyser: how it opens, what its handles and
// fields show, what OK and Cancel leave in the pad model, the silence cut, the loudness match
// against the board's target, and the previews on the pad's voice.

#include "clipanalyser.h"
#include "clipeditor.h"
#include "clipplayer.h"
#include "cueplayer.h"
#include "dialog_support.h"
#include "engine.h"
#include "loudnesspage.h"
#include "padboard.h"
#include "padfields.h"
#include "padmodel.h"
#include "settings.h"
#include "wait_support.h"

#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using testsupport::waitFor;

// A 48 kHz 16-bit mono WAV: `parts` in order, each {ms, peak of 32767}; peak 0 is silence.
bool writeParts(const QString& path, std::initializer_list<std::pair<int, int>> parts) {
    QByteArray pcm;
    int i = 0;
    for (const auto& [ms, peak] : parts)
        for (int f = 0; f < 48 * ms; ++f, ++i) {
            const auto s = static_cast<qint16>(peak * std::sin(i * 2 * M_PI * 1000 / 48000));
            pcm.append(char(s & 0xFF)).append(char((s >> 8) & 0xFF));
        }
    QByteArray data("RIFF");
    auto put = [&](quint32 v, int bytes) {
        for (int b = 0; b < bytes; ++b)
            data.append(char((v >> (8 * b)) & 0xFF));
    };
    put(36 + pcm.size(), 4);
    data.append("WAVEfmt ");
    put(16, 4), put(1, 2), put(1, 2), put(48000, 4), put(96000, 4), put(2, 2), put(16, 2);
    data.append("data");
    put(pcm.size(), 4);
    data.append(pcm);
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

class ClipEditorTest : public ::testing::Test, protected DialogRecorder {
protected:
    static void SetUpTestSuite() {
        engine = new media::Engine(media::Engine::Options{media::Engine::Output::Dummy});
    }
    static void TearDownTestSuite() { delete engine; }

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath("sound");
        QDir(dir.path()).mkpath("conf");
        window.resize(1747, 880);
        window.show();
        board = std::make_unique<PadBoard>(*engine, &window);
        board->setDataFolder(dir.path());
    }
    void TearDown() override { board.reset(); }

    // Opens `parts` as the clip of `pad` and its editor.
    ClipEditor* edit(int pad, std::initializer_list<std::pair<int, int>> parts) {
        const QString path = dir.path() + "/sound/clip" + QString::number(pad) + ".wav";
        EXPECT_TRUE(writeParts(path, parts));
        board->openClip(pad, path);
        board->openClipEditor(pad);
        ClipEditor* editor = board->clipEditor();
        EXPECT_NE(editor, nullptr);
        return editor;
    }
    std::array<int, 5> stored(int pad) const {
        std::array<int, 5> v{};
        for (int f = 0; f < 5; ++f)
            v[f] = board->model().extension(pad, padfields::TrimIn + f);
        return v;
    }
    static void drag(QWidget* w, QPoint from, QPoint to) {
        QTest::mousePress(w, Qt::LeftButton, {}, from);
        QMouseEvent move(QEvent::MouseMove, to, w->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                         {});
        QApplication::sendEvent(w, &move);
        QTest::mouseRelease(w, Qt::LeftButton, {}, to);
    }

    static media::Engine* engine;
    QTemporaryDir dir;
    QWidget window;
    std::unique_ptr<PadBoard> board;
};
media::Engine* ClipEditorTest::engine = nullptr;

TEST_F(ClipEditorTest, OpensFromTheMenuOrCtrlDoubleClickOnlyForAPadWithAClip) {
    board->popupFor(3, QPoint());
    EXPECT_EQ(board->PopupMenu1->actions().indexOf(board->N4), 2);
    EXPECT_EQ(board->N4->text(), "クリップ編集…");
    EXPECT_FALSE(board->N4->isEnabled());
    board->PopupMenu1->close();
    board->openClipEditor(3);
    EXPECT_EQ(board->clipEditor(), nullptr);

    ASSERT_TRUE(writeParts(dir.path() + "/sound/a.wav", {{600000, 8000}}));
    board->openClip(3, dir.path() + "/sound/a.wav");
    board->popupFor(3, QPoint());
    ASSERT_TRUE(board->N4->isEnabled());
    board->PopupMenu1->close();
    // A 10-minute clip: the editor shows its length at once; the waveform comes after.
    board->N4->trigger();
    ClipEditor* editor = board->clipEditor();
    ASSERT_NE(editor, nullptr);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(editor->pad(), 3);
    EXPECT_EQ(editor->outBox()->text(), "10:00.000");
    EXPECT_TRUE(waitFor([&] { return editor->waveform()->columnsShown() > 0; }, 20000));
    editor->reject();
    EXPECT_TRUE(waitFor([&] { return board->clipEditor() == nullptr; }));

    // Ctrl+double-click on the picture opens it too.
    QTest::mouseDClick(board->image(3), Qt::LeftButton, Qt::ControlModifier, QPoint(20, 20));
    ASSERT_NE(board->clipEditor(), nullptr);
    EXPECT_EQ(board->clipEditor()->pad(), 3);
    board->clipEditor()->reject();
}

// What the waveform shows: a second of silence, then four at about half of full scale. A
// later session (a new board, the same clip) draws all of it at once, from the kept peaks.
TEST_F(ClipEditorTest, AClipSeenBeforeShowsItsWholeWaveformAtOnceInALaterSession) {
    QSignalSpy whole(&board->analyser(), &ClipAnalyser::overviewReady);
    ClipEditor* editor = edit(4, {{1000, 0}, {4000, 16000}});
    ASSERT_TRUE(waitFor([&] { return !whole.isEmpty(); }, 20000));
    editor->reject();

    board = std::make_unique<PadBoard>(*engine, &window);
    board->setDataFolder(dir.path());
    board->openClip(4, dir.path() + "/sound/clip4.wav");
    QSignalSpy progress(&board->analyser(), &ClipAnalyser::overviewProgress);
    QSignalSpy ready(&board->analyser(), &ClipAnalyser::overviewReady);
    board->openClipEditor(4);
    ASSERT_NE(board->clipEditor(), nullptr);
    ASSERT_TRUE(ready.wait(5000));
    EXPECT_TRUE(progress.isEmpty());
    WaveformView* wave = board->clipEditor()->waveform();
    EXPECT_EQ(wave->columnsShown(), wave->width());
    const QImage shot = wave->grab().toImage();
    const int top = WaveformView::kFlagHeight;
    const int y = top + (wave->height() - top) * 3 / 10; // 0.4 of full scale above the middle
    const QColor wavy(90, 190, 255);
    EXPECT_NE(shot.pixelColor(wave->width() / 10, y), wavy);     // in the silence
    EXPECT_EQ(shot.pixelColor(wave->width() * 6 / 10, y), wavy); // in the sound
    EXPECT_EQ(shot.pixelColor(wave->width() - 3, y), wavy);
    board->clipEditor()->reject();
}

// A clip put on a pad is measured in the background: its editor, opened later, draws the
// whole waveform and shows the loudness at once, with nothing decoded for it. An editor
// closed while that pass runs leaves it to finish, and the next opening draws at once too.
TEST_F(ClipEditorTest, AClipPutOnAPadIsMeasuredBeforeItsEditorOpens) {
    for (int pad : {5, 6}) {
        SCOPED_TRACE(pad);
        const QString path = dir.path() + "/sound/put" + QString::number(pad) + ".wav";
        ASSERT_TRUE(writeParts(path, {{1000, 0}, {59000, 16000}}));
        board->openClip(pad, path);
        if (pad == 6) { // its editor comes and goes while the pass runs
            board->openClipEditor(pad);
            QCoreApplication::processEvents();
            board->clipEditor()->reject();
        }
        ASSERT_TRUE(waitFor([&] { return !board->analyser().busy(); }, 20000));

        QSignalSpy progress(&board->analyser(), &ClipAnalyser::overviewProgress);
        QSignalSpy ready(&board->analyser(), &ClipAnalyser::overviewReady);
        board->openClipEditor(pad);
        ClipEditor* editor = board->clipEditor();
        ASSERT_NE(editor, nullptr);
        ASSERT_TRUE(ready.wait(5000));
        EXPECT_TRUE(progress.isEmpty());
        EXPECT_EQ(editor->waveform()->columnsShown(), editor->waveform()->width());
        EXPECT_TRUE(editor->loudnessLabel()->text().startsWith("ラウドネス -"))
            << editor->loudnessLabel()->text().toStdString();
        editor->reject();
    }
}

TEST_F(ClipEditorTest, HandlesAndFieldsMoveTogetherAndStayInOrder) {
    ClipEditor* editor = edit(1, {{4000, 8000}});
    WaveformView* wave = editor->waveform();
    ASSERT_TRUE(waitFor([&] { return wave->width() > 300; }));
    const int y = wave->height() / 2;

    // The in line, dragged to a third of the width: its field reads the time there.
    drag(wave, {wave->xOf(WaveformView::In), y}, {wave->width() / 3, y});
    const std::int64_t in = wave->msAt(wave->width() / 3);
    EXPECT_NEAR(in, 4000 / 3, 20);
    EXPECT_EQ(editor->inBox()->text(), clockText(in));
    // The fade-in flag in the top strip, dragged right of the in point.
    drag(wave, {wave->xOf(WaveformView::FadeIn) + 2, 4}, {wave->width() / 2, 4});
    EXPECT_EQ(editor->fadeInBox()->text(), clockText(wave->msAt(wave->width() / 2) - in));
    // The out line cannot pass the in point.
    drag(wave, {wave->xOf(WaveformView::Out), y}, {0, y});
    EXPECT_EQ(editor->outBox()->value(), in + 1);
    EXPECT_EQ(editor->fadeInBox()->value(), 1);

    // A time typed in m:ss.mmm moves the handle.
    editor->outBox()->selectAll();
    QTest::keyClicks(editor->outBox(), "0:03.250");
    QTest::keyClick(editor->outBox(), Qt::Key_Return);
    EXPECT_EQ(editor->outBox()->value(), 3250);
    EXPECT_EQ(wave->xOf(WaveformView::Out), wave->xOfMs(3250));
    editor->reject();
}

TEST_F(ClipEditorTest, CancelChangesNothingAndOkStoresTheDraft) {
    ClipEditor* editor = edit(2, {{3000, 8000}});
    const auto before = stored(2);
    QSignalSpy changes(&board->model(), &PadModel::boardChanged);
    editor->inBox()->setValue(500);
    editor->fadeOutBox()->setValue(400);
    editor->gainBox()->setValue(-6.5);
    editor->playInButton()->click();
    editor->reject();
    EXPECT_EQ(stored(2), before);
    EXPECT_EQ(changes.count(), 0);
    EXPECT_TRUE(waitFor([&] { return !engine->isPlaying(1); }));

    // OK keeps the draft, as one change of the board; an out point at the clip's end is kept
    // as "the end" (0). The pad's clock counts the trimmed part from then on.
    board->openClipEditor(2);
    editor = board->clipEditor();
    editor->inBox()->setValue(500);
    editor->fadeInBox()->setValue(250);
    editor->fadeOutBox()->setValue(400);
    editor->gainBox()->setValue(-6.5);
    QSignalSpy redraws(&board->model(), &PadModel::extensionChanged);
    editor->accept();
    EXPECT_EQ(stored(2), (std::array<int, 5>{500, 0, 250, 400, -65}));
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(redraws.count(), 1);
    EXPECT_TRUE(waitFor([&] { return board->model().times(2).length == 2500; }));

    // The editor starts from what the model keeps; the lowest gain is silence.
    board->openClipEditor(2);
    editor = board->clipEditor();
    EXPECT_EQ(editor->inBox()->text(), "0:00.500");
    EXPECT_EQ(editor->gainBox()->text(), "-6.5 dB");
    editor->outBox()->setValue(2000);
    editor->gainBox()->setValue(editor->gainBox()->minimum());
    EXPECT_EQ(editor->gainBox()->text(), "-inf dB");
    editor->accept();
    EXPECT_EQ(stored(2), (std::array<int, 5>{500, 2000, 250, 400, padfields::kGainSilent}));
}

TEST_F(ClipEditorTest, SilenceCutFindsTheAudiblePart) {
    ClipEditor* editor = edit(4, {{1000, 0}, {2000, 8000}, {500, 0}});
    editor->autoTrimButton()->click();
    ASSERT_TRUE(waitFor([&] { return editor->inBox()->value() > 0; }, 20000));
    EXPECT_NEAR(editor->inBox()->value(), 1000, 2);
    EXPECT_NEAR(editor->outBox()->value(), 3000, 2);
    editor->accept();
    EXPECT_NEAR(board->model().extension(4, padfields::TrimIn), 1000, 2);
    EXPECT_NEAR(board->model().extension(4, padfields::TrimOut), 3000, 2);

    // A silent clip is left as it is, with a word why.
    editor = edit(5, {{1500, 0}});
    editor->autoTrimButton()->click();
    ASSERT_TRUE(waitFor([&] { return editor->statusLabel()->text().contains("-50 dBFS"); }));
    EXPECT_EQ(editor->inBox()->value(), 0);
    EXPECT_EQ(editor->outBox()->value(), 1500);
    editor->reject();
}

// The match brings the part between in and out to the target; a loud part outside it does
// not count. Checked against a fresh measurement of that part with the stored gain added.
TEST_F(ClipEditorTest, LoudnessMatchReachesTheBoardsTarget) {
    for (const double target : {-23.0, -16.0}) {
        SCOPED_TRACE(target);
        loudnesstarget::remember(settings::path(dir.path()), target);
        ClipEditor* editor = edit(6, {{2000, 30000}, {4000, 1500}});
        editor->inBox()->setValue(2000);
        editor->matchButton()->click();
        ASSERT_TRUE(
            waitFor([&] { return editor->statusLabel()->text().contains("揃えました"); }, 20000));
        EXPECT_TRUE(editor->loudnessLabel()->text().contains("LUFS"));
        editor->accept();
        const auto span = media::measureLoudness((dir.path() + "/sound/clip6.wav").toStdString(),
                                                 media::Span{2000, 0});
        ASSERT_TRUE(span);
        const double gain = board->model().extension(6, padfields::Gain) / 10.0;
        EXPECT_GT(gain, 3.0);
        EXPECT_NEAR(span->integratedLufs + gain, target, 0.5);
        board->model().setExtension(6, padfields::TrimIn, 0);
    }
    // Beyond +12 dB the gain stops at +12 and the editor says so.
    ClipEditor* editor = edit(7, {{2000, 20}});
    editor->matchButton()->click();
    ASSERT_TRUE(waitFor([&] { return editor->statusLabel()->text().contains("+12 dB"); }, 20000));
    EXPECT_EQ(editor->gainBox()->value(), 12.0);
    editor->reject();
}

// The previews play the draft on the pad's voice; the playhead on the waveform shows where.
// Afterwards, and after Cancel, the pad plays what the model keeps: the whole clip.
TEST_F(ClipEditorTest, PreviewsPlayTheDraftOnThePadsVoice) {
    ClipEditor* editor = edit(8, {{8000, 8000}});
    const int voice = 7;
    WaveformView* wave = editor->waveform();
    editor->inBox()->setValue(2000);
    editor->playInButton()->click();
    ASSERT_TRUE(waitFor([&] { return engine->isPlaying(voice) && wave->playhead() >= 0; }));
    EXPECT_GE(wave->playhead(), 2000);
    EXPECT_LT(wave->playhead(), 3000);
    EXPECT_EQ(board->player(8)->Length(), 6000); // the draft's window
    editor->stopButton()->click();
    EXPECT_TRUE(waitFor([&] { return !engine->isPlaying(voice); }));
    EXPECT_EQ(wave->playhead(), -1);
    EXPECT_EQ(board->player(8)->Length(), 8000);

    // The last 3 s before the out point, ending there; never before the in point.
    editor->outBox()->setValue(5000);
    editor->inBox()->setValue(4200);
    editor->playEndButton()->click();
    ASSERT_TRUE(waitFor([&] { return wave->playhead() >= 4200; }));
    std::int64_t last = 0;
    EXPECT_TRUE(waitFor(
        [&] {
            last = std::max(last, wave->playhead());
            return !engine->isPlaying(voice);
        },
        3000));
    EXPECT_GE(last, 4850);
    EXPECT_LE(last, 5000);
    editor->outBox()->setValue(7000);
    editor->playEndButton()->click();
    EXPECT_EQ(wave->playhead(), 4200);
    EXPECT_TRUE(engine->isPlaying(voice));
    editor->reject();
    EXPECT_FALSE(engine->isPlaying(voice));
    EXPECT_EQ(board->model().extension(8, padfields::TrimIn), 0);
    EXPECT_EQ(board->player(8)->Length(), 8000);

    // A board that goes with an editor open and previewing (the window closing) takes the
    // editor with it first.
    board->openClipEditor(8);
    board->clipEditor()->playInButton()->click();
    board.reset();
    EXPECT_FALSE(engine->isPlaying(voice));
}

// With a monitor output chosen, the previews play the draft there: the first frames are the
// clip's at the draft's in point, faded in, and the audience's voice stays silent.
TEST_F(ClipEditorTest, WithAMonitorThePreviewsPlayThereAndTheBoardStaysSilent) {
    CuePlayer::setEngineFactory([](const std::string&, const std::string&, int rate) {
        return std::make_unique<media::Engine>(
            media::Engine::Options{media::Engine::Output::None, rate, 128});
    });
    ClipEditor* editor = edit(7, {{1000, 0}, {2000, 16000}});
    CuePlayer& cue = board->model().cue();
    cue.setDevice("Phones");
    ASSERT_TRUE(cue.available());
    editor->inBox()->setValue(1000);
    editor->fadeInBox()->setValue(100);
    editor->playInButton()->click();
    ASSERT_TRUE(cue.cueing(7));
    EXPECT_FALSE(engine->isPlaying(6));
    media::Engine& monitor = *cue.engine();
    monitor.waitIdle(std::chrono::seconds(5));
    std::vector<float> block(2 * 4800); // the fade-in's 100 ms
    monitor.render(block.data(), 4800);
    float early = 0, late = 0;
    for (int f = 0; f < 4800; ++f)
        (f < 240 ? early : late) = std::max(f < 240 ? early : late, std::abs(block[2 * f]));
    EXPECT_GT(early, 0.0f) << "the in point is silence";
    EXPECT_LT(early, 0.1f * 16000 / 32767) << "no fade-in";
    EXPECT_GT(late, 0.8f * 16000 / 32767);
    editor->stopButton()->click();
    EXPECT_FALSE(cue.cueing(7));
    editor->reject();
    EXPECT_EQ(board->model().extension(7, padfields::TrimIn), 0);
    cue.setDevice("");
    CuePlayer::setEngineFactory(nullptr);
}

TEST_F(ClipEditorTest, TheTargetPageKeepsItsValueAndSaysWhenItCannot) {
    const QString file = settings::path(dir.path());
    EXPECT_EQ(loudnesstarget::remembered(file), -23.0);
    {
        LoudnessPage page(file);
        EXPECT_EQ(page.targetBox()->value(), -23.0);
        page.targetBox()->setValue(-18.0);
    }
    EXPECT_EQ(loudnesstarget::remembered(file), -18.0);
    LoudnessPage page(file);
    EXPECT_EQ(page.targetBox()->value(), -18.0);

    // A settings file that cannot be read or replaced (a folder in its place): the page says
    // so and does not show the value as kept.
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_TRUE(QDir().mkpath(file));
    page.targetBox()->setValue(-14.0);
    EXPECT_FALSE(page.errorLabel()->isHidden());
    EXPECT_TRUE(page.errorLabel()->text().startsWith("目標ラウドネスを保存できません"));
    EXPECT_NE(page.targetBox()->value(), -14.0);
}

} // namespace
