#pragma once
// The pad menu's "クリップ編集…": prepares one pad's clip. It shows the waveform of the whole
// clip with the in and out points and the fades as handles to drag, spin boxes for exact
// values (m:ss.mmm), the gain (-inf..+12 dB) and the measured loudness and true peak of the
// part between in and out. "ラウドネスを揃える" sets the gain so that this part reaches the
// board's loudness target; "無音をカット(T)" moves in and out to the first and last sample above
// -50 dBFS. Three buttons preview the draft: from the in point, the last 3 s before the out
// point, and stop; on the monitor output while one is chosen (the audience hears nothing),
// otherwise on the pad's own voice.
//
// The dialog opens at once: the clip's length comes from its open player, and the waveform,
// the loudness and the silence search run on the clip analyser's threads and appear when
// they are ready. OK writes the draft into the pad model as one board change; Cancel leaves
// the model as it was, and the voice plays the model's values again.

#include "clipanalysis.h"
#include "clipplayer.h"
#include "waveformview.h"

#include <QDialog>
#include <QSpinBox>
#include <QString>

#include <cstdint>
#include <optional>

class ClipAnalyser;
class PadModel;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QTimer;

namespace media {
class Engine;
}

// The loudness target of the board, kept in the settings file.
namespace loudnesstarget {
constexpr double kDefault = -23.0; // LUFS, EBU R128
constexpr double kMin = -40.0;
constexpr double kMax = -5.0;
// The target kept in `settingsFile`; kDefault when none is, or it cannot be read.
double remembered(const QString& settingsFile);
// Keeps `lufs` in `settingsFile` with its other keys. Throws EInOutError.
void remember(const QString& settingsFile, double lufs);
} // namespace loudnesstarget

// A time in milliseconds as the editor shows it: "m:ss.mmm".
QString clockText(std::int64_t ms);

// A spin box of milliseconds that reads and writes m:ss.mmm (plain seconds are taken too).
class TimeSpinBox : public QSpinBox {
    Q_OBJECT
public:
    explicit TimeSpinBox(QWidget* parent = nullptr);

protected:
    QString textFromValue(int ms) const override;
    int valueFromText(const QString& text) const override;
    QValidator::State validate(QString& text, int& pos) const override;
};

class ClipEditor : public QDialog {
    Q_OBJECT
public:
    static constexpr double kTrimThresholdDbfs = -50.0;
    static constexpr int kEndPreviewMs = 3000;

    ClipEditor(PadModel& model, media::Engine& engine, ClipAnalyser& analyser, int pad,
               double targetLufs, QWidget* parent = nullptr);
    ~ClipEditor() override;

    int pad() const { return m_pad; }
    // The draft as the model would keep it.
    int draft(int field) const;

    WaveformView* waveform() const { return m_wave; }
    TimeSpinBox* inBox() const { return m_in; }
    TimeSpinBox* outBox() const { return m_out; }
    TimeSpinBox* fadeInBox() const { return m_fadeIn; }
    TimeSpinBox* fadeOutBox() const { return m_fadeOut; }
    QDoubleSpinBox* gainBox() const { return m_gain; }
    QLabel* loudnessLabel() const { return m_loudness; }
    QLabel* statusLabel() const { return m_status; }
    QPushButton* matchButton() const { return m_match; }
    QPushButton* autoTrimButton() const { return m_autoTrim; }
    QPushButton* playInButton() const { return m_playIn; }
    QPushButton* playEndButton() const { return m_playEnd; }
    QPushButton* stopButton() const { return m_stop; }

    void accept() override;
    void reject() override;

signals:
    // The draft's loudness figures were shown (after a measurement of the current span).
    void loudnessShown();

private:
    void setLength(std::int64_t ms);
    void learnLength(std::int64_t ms);
    WaveformView::Points points() const;
    void setPoints(const WaveformView::Points& p);
    void showPoints();
    media::Span span() const;
    void measure();
    void showLoudness();
    void matchLoudness();
    void autoTrim();
    ClipPreparation preparation(bool draft) const;
    void preview(std::int64_t fromMs);
    void stopPreview();
    void followPreview();
    void restoreVoice();
    void showPending();
    void say(const QString& text);

    PadModel& m_model;
    media::Engine& m_engine;
    ClipAnalyser& m_analyser;
    int m_pad;
    QString m_path;
    std::int64_t m_length = 0;
    int m_columnsAsked = 1; // the overview's columns, one a pixel of the view when asked
    double m_target;
    std::optional<media::LoudnessFigures> m_figures; // of span(), when measured
    media::Span m_figuresSpan;
    bool m_matchPending = false;
    bool m_trimPending = false;
    bool m_previewing = false;
    bool m_previewOnMonitor = false; // the preview plays on the monitor output
    std::int64_t m_previewStart = 0; // the in point the preview's positions count from
    bool m_closed = false;
    bool m_updating = false;

    WaveformView* m_wave;
    TimeSpinBox* m_in;
    TimeSpinBox* m_out;
    TimeSpinBox* m_fadeIn;
    TimeSpinBox* m_fadeOut;
    QDoubleSpinBox* m_gain;
    QLabel* m_loudness;
    QLabel* m_status;
    QPushButton* m_match;
    QPushButton* m_autoTrim;
    QPushButton* m_playIn;
    QPushButton* m_playEnd;
    QPushButton* m_stop;
    QPushButton* m_ok = nullptr;
    QTimer* m_measureDelay;
    QTimer* m_previewTimer;
};
