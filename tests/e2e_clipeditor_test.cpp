// End to end: clips with a second of silence at their head, an AAC .m4a and a FLAC, cut
// through the clip editor of the running program. Their set list keeps the cut as extension
// lines after its 33 lines, and a press then sounds at once instead of a second later.

#include "e2e_harness.h"
#include "encode_support.h"

#include <QPoint>

#include <cmath>
#include <iostream>
#include <optional>

using namespace e2e;

namespace {

constexpr int kColumnLeft = 209; // right of the side panel: the column of buttons
constexpr int kRate = 48000;
constexpr size_t kSamplesPerSecond = kRate * 2;
constexpr int kLeadMs = 1000;
constexpr int kToneMs = 2000;
constexpr int kTailMs = 500;

// The middle of pad `pad`'s picture in the main window's client area.
QPoint pictureOf(int pad) {
    return {kColumnLeft + 206 + 316 * ((pad - 1) % 4) + 10 + 145,
            26 + 410 * ((pad - 1) / 4) + 10 + 100};
}

QPoint setListButton(int slot) {
    return {kColumnLeft + 98, 24 + 40 * (slot - 1) + 20};
}

// One second of silence, two of a 440 Hz tone at half scale and half a second of silence,
// stereo.
std::vector<float> leadingSilenceClip() {
    std::vector<float> s(static_cast<size_t>(kRate) * (kLeadMs + kToneMs + kTailMs) / 1000 * 2,
                         0.0f);
    const size_t end = static_cast<size_t>(kRate) * (kLeadMs + kToneMs) / 1000;
    for (size_t f = static_cast<size_t>(kRate) * kLeadMs / 1000; f < end; ++f)
        s[2 * f] = s[2 * f + 1] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * f / kRate));
    return s;
}

std::optional<size_t> firstSound(const std::vector<float>& samples) {
    for (size_t i = 0; i < samples.size(); ++i)
        if (audible(samples[i]))
            return i;
    return std::nullopt;
}

int valueOf(const QStringList& lines, const QString& key) {
    for (const QString& line : lines)
        if (line.section(u'=', 0, 0) == key)
            return line.section(u'=', 1).toInt();
    return -1;
}

class ClipEditorEndToEnd : public EndToEnd {};

} // namespace

TEST_F(ClipEditorEndToEnd, SilenceCutInTheEditorIsKeptAndAPressSoundsAtOnce) {
    prepareDataFolder();
    const QString m4a = dataFolder() + "/sound/lead.m4a";
    const QString flac = dataFolder() + "/sound/lead.flac";
    testsupport::encodeClip(m4a.toStdString(), "ipod", "aac", kRate, 2, leadingSilenceClip());
    testsupport::encodeClip(flac.toStdString(), "flac", "flac", kRate, 2, leadingSilenceClip());
    QStringList board{"[Version]=1.00"};
    const QString keys = QStringLiteral("QWERASDF");
    for (int n = 1; n <= 8; ++n)
        board << QStringLiteral("[FILENAME%1]=%2")
                     .arg(n)
                     .arg(n == 1   ? m4a
                          : n == 2 ? flac
                                   : "")
              << QStringLiteral("[PLAYBTN%1]=PLAY SOUND(&%2)").arg(n).arg(keys[n - 1])
              << QStringLiteral("[IMAGE%1]=").arg(n) << QStringLiteral("[VOLUME%1]=1000").arg(n);
    const QString setList = dataFolder() + "/conf/setlist1.cdk";
    writeFile(setList, (board.join("\r\n") + "\r\n").toUtf8());

    const RecordedOutput out = recordOutput();
    QProcess* app = nullptr;
    const QString main = startToMainWindow(&app);
    ASSERT_FALSE(main.isEmpty());
    const qint64 pid = app->processId();
    ASSERT_TRUE(waitUntil([&] { return readLines(dataFolder() + "/conf/setlist.bak") == board; }));

    // Ctrl+double-click on each picture opens its editor; Alt+T cuts the silence and OK
    // (Alt+O) keeps it.
    for (const auto& [pad, name] : {std::pair{1, "lead.m4a"}, std::pair{2, "lead.flac"}}) {
        const QPoint at = pictureOf(pad);
        tool("xdotool", {"mousemove", "--window", main, "--sync", QString::number(at.x()),
                         QString::number(at.y()), "keydown", "ctrl", "click", "--repeat", "2",
                         "--delay", "60", "1", "keyup", "ctrl"});
        const QString title = QStringLiteral("クリップ編集 - ") + name;
        const QString editor = waitForWindow(pid, title);
        ASSERT_FALSE(editor.isEmpty()) << name;
        QThread::msleep(300);
        if (pad == 1)
            screenshot("clip-editor-before-cut");
        // Both by their keys, which reach the editor only once the program has taken in that
        // the editor has the focus: a key sent before then goes to the board. So the cut is
        // asked for twice, a moment apart (a cut asked for again is the same cut), before OK,
        // which waits while a cut is under way; an OK that came first would keep no cut.
        ASSERT_TRUE(waitUntil([&] {
            if (windows(pid, title).isEmpty())
                return true;
            for (int i = 0; i < 2; ++i) {
                pressKeys(editor, "alt+t");
                QThread::msleep(400);
            }
            pressKeys(editor, "alt+o");
            return false;
        })) << name;
    }

    // Switching to slot 2 saves slot 1: the 33 lines as they were, then the cut of each pad.
    const QPoint slot2 = setListButton(2);
    clickAt(main, slot2.x(), slot2.y());
    ASSERT_TRUE(answerNextBox(pid, {}, {}, QStringLiteral("確認")));
    ASSERT_TRUE(waitUntil([&] { return readLines(setList).size() > 33; }));
    const QStringList saved = readLines(setList);
    EXPECT_EQ(saved.mid(0, 33), board) << saved.join(u'|').toStdString();
    for (const QString& line : saved.mid(33))
        EXPECT_TRUE(line.startsWith("[TRIM")) << line.toStdString();
    for (int pad : {1, 2}) {
        SCOPED_TRACE(pad);
        // The encoders' priming may move the first sound by a few milliseconds.
        EXPECT_NEAR(valueOf(saved, QStringLiteral("[TRIMIN%1]").arg(pad)), kLeadMs, 30);
        EXPECT_NEAR(valueOf(saved, QStringLiteral("[TRIMOUT%1]").arg(pad)), kLeadMs + kToneMs, 30);
    }

    // Back on slot 1, Q and W sound within the usual latency, not a second later.
    const QPoint slot1 = setListButton(1);
    clickAt(main, slot1.x(), slot1.y());
    ASSERT_TRUE(waitUntil([&] { return readLines(dataFolder() + "/conf/setlist.bak") == saved; }));
    for (const char* key : {"q", "w"}) {
        SCOPED_TRACE(key);
        const qint64 from = out.bytes();
        pressKeys(main, key);
        ASSERT_TRUE(
            waitUntil([&] { return firstSound(out.samplesFrom(from)).has_value(); }, 10000));
        const double seconds = double(*firstSound(out.samplesFrom(from))) / kSamplesPerSecond;
        std::cerr << "pad " << key << " sounded " << seconds << " s after the key\n";
        EXPECT_LT(seconds, 0.6);
        // Esc fades it out; the next key waits for the silence after it.
        pressKeys(main, "Escape");
        ASSERT_TRUE(waitUntil([&] { return out.silentAtTheEnd(kSamplesPerSecond / 5); }));
    }

    requestClose(main);
    expectCleanExit(app);
}
