#include "clipeditor.h"

#include "clipanalyser.h"
#include "clipplayer.h"
#include "cueplayer.h"
#include "engine.h"
#include "errors.h"
#include "padfields.h"
#include "padmodel.h"
#include "settings.h"

#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kGainMinDb = -100.0; // shown as "-inf": silence
constexpr double kGainMaxDb = 12.0;
constexpr int kMeasureDelayMs = 250; // a drag settles before the span is measured again
constexpr int kPreviewFollowMs = 30;

// m:ss.mmm, plain seconds (s or s.mmm), or an empty field while typing.
const QRegularExpression
    kClockPattern(QStringLiteral(R"(^\s*(?:(\d+):)?(\d*)(?:\.(\d{0,3}))?\s*$)"));

std::optional<int> parseClock(const QString& text) {
    const QRegularExpressionMatch m = kClockPattern.match(text);
    if (!m.hasMatch() || (m.captured(2).isEmpty() && m.captured(3).isEmpty()))
        return std::nullopt;
    const qint64 minutes = m.captured(1).toLongLong();
    const qint64 seconds = m.captured(2).toLongLong();
    const QString frac = m.captured(3).leftJustified(3, u'0');
    const qint64 ms = (minutes * 60 + seconds) * 1000 + frac.toLongLong();
    if (ms > padfields::kMaxMs)
        return std::nullopt;
    return static_cast<int>(ms);
}

QString dbText(double db, const char* unit) {
    if (!std::isfinite(db))
        return QStringLiteral("-inf ") + QLatin1String(unit);
    return QString::number(db, 'f', 1) + u' ' + QLatin1String(unit);
}

int gainTenths(double db) {
    if (db <= kGainMinDb)
        return padfields::kGainSilent;
    return static_cast<int>(std::lround(db * 10.0));
}

double gainDb(int tenths) {
    return tenths <= padfields::kGainSilent ? kGainMinDb : tenths / 10.0;
}

} // namespace

// ---- loudness target ---------------------------------------------------------------------

namespace loudnesstarget {

double remembered(const QString& settingsFile) {
    const QString text = settings::readOrEmpty(settingsFile).value(settings::kLoudnessTarget);
    bool ok = false;
    const double lufs = text.toDouble(&ok);
    if (!ok || !std::isfinite(lufs) || lufs < kMin || lufs > kMax)
        return kDefault;
    return lufs;
}

void remember(const QString& settingsFile, double lufs) {
    lufs = std::clamp(lufs, kMin, kMax);
    settings::update(settingsFile, [&](SettingsFile& file) {
        if (lufs == kDefault)
            file.remove(settings::kLoudnessTarget);
        else
            file.setValue(settings::kLoudnessTarget, QString::number(lufs, 'f', 1));
    });
}

} // namespace loudnesstarget

// ---- times ---------------------------------------------------------------------------------

QString clockText(std::int64_t ms) {
    ms = std::max<std::int64_t>(0, ms);
    return QStringLiteral("%1:%2.%3")
        .arg(ms / 60000)
        .arg((ms / 1000) % 60, 2, 10, QChar(u'0'))
        .arg(ms % 1000, 3, 10, QChar(u'0'));
}

TimeSpinBox::TimeSpinBox(QWidget* parent) : QSpinBox(parent) {
    setRange(0, padfields::kMaxMs);
    setSingleStep(10);
    setAccelerated(true);
    setKeyboardTracking(false); // a half-typed time does not move the handles
}

QString TimeSpinBox::textFromValue(int ms) const {
    return clockText(ms);
}

int TimeSpinBox::valueFromText(const QString& text) const {
    return parseClock(text).value_or(value());
}

QValidator::State TimeSpinBox::validate(QString& text, int&) const {
    if (!kClockPattern.match(text).hasMatch())
        return QValidator::Invalid;
    const std::optional<int> ms = parseClock(text);
    if (!ms)
        return QValidator::Intermediate;
    return *ms <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
}

// ---- the editor ----------------------------------------------------------------------------

ClipEditor::ClipEditor(PadModel& model, media::Engine& engine, ClipAnalyser& analyser, int pad,
                       double targetLufs, QWidget* parent)
    : QDialog(parent), m_model(model), m_engine(engine), m_analyser(analyser), m_pad(pad),
      m_path(model.fileName(pad)), m_target(targetLufs), m_wave(new WaveformView(this)),
      m_in(new TimeSpinBox(this)), m_out(new TimeSpinBox(this)), m_fadeIn(new TimeSpinBox(this)),
      m_fadeOut(new TimeSpinBox(this)), m_gain(new QDoubleSpinBox(this)),
      m_loudness(new QLabel(this)), m_status(new QLabel(this)),
      m_match(new QPushButton(QStringLiteral("ラウドネスを揃える"), this)),
      m_autoTrim(new QPushButton(QStringLiteral("無音をカット(&T)"), this)),
      m_playIn(new QPushButton(QStringLiteral("インから再生(&I)"), this)),
      m_playEnd(new QPushButton(QStringLiteral("アウト前 3 秒(&E)"), this)),
      m_stop(new QPushButton(QStringLiteral("停止(&S)"), this)), m_measureDelay(new QTimer(this)),
      m_previewTimer(new QTimer(this)) {
    setObjectName(QStringLiteral("ClipEditor"));
    setWindowTitle(QStringLiteral("クリップ編集 - ") + QFileInfo(m_path).fileName());
    m_in->setObjectName(QStringLiteral("inPoint"));
    m_out->setObjectName(QStringLiteral("outPoint"));
    m_fadeIn->setObjectName(QStringLiteral("fadeIn"));
    m_fadeOut->setObjectName(QStringLiteral("fadeOut"));
    m_gain->setObjectName(QStringLiteral("gain"));
    m_loudness->setObjectName(QStringLiteral("loudness"));
    m_status->setObjectName(QStringLiteral("status"));
    m_match->setObjectName(QStringLiteral("matchLoudness"));
    m_autoTrim->setObjectName(QStringLiteral("autoTrim"));
    m_playIn->setObjectName(QStringLiteral("playFromIn"));
    m_playEnd->setObjectName(QStringLiteral("playEnd"));
    m_stop->setObjectName(QStringLiteral("stopPreview"));
    m_match->setToolTip(
        QStringLiteral("イン点からアウト点までが目標 %1 LUFS になるようゲインを設定します")
            .arg(m_target, 0, 'f', 1));
    m_autoTrim->setToolTip(
        QStringLiteral("イン点とアウト点を -50 dBFS を超える最初と最後の音に合わせます"));
    m_status->setWordWrap(true);

    // The length is known as soon as the clip is open: the player counts from the in point
    // to the out point, so a clip played to its end is the in point longer. An earlier out
    // point hides the rest until the analysis tells the whole length (learnLength).
    ClipPlayer* player = model.player(pad);
    const int in = model.extension(pad, padfields::TrimIn);
    const int out = model.extension(pad, padfields::TrimOut);
    const std::int64_t played = player->MCIOpened() ? player->Length() : 0;
    setLength(out == 0 ? in + played : std::max<std::int64_t>(out, in + played));
    m_gain->setRange(kGainMinDb, kGainMaxDb);
    m_gain->setDecimals(1);
    m_gain->setSingleStep(0.5);
    m_gain->setSuffix(QStringLiteral(" dB"));
    m_gain->setSpecialValueText(QStringLiteral("-inf dB"));
    m_gain->setKeyboardTracking(false);

    auto* times = new QGridLayout;
    times->addWidget(new QLabel(QStringLiteral("イン"), this), 0, 0);
    times->addWidget(m_in, 0, 1);
    times->addWidget(new QLabel(QStringLiteral("アウト"), this), 0, 2);
    times->addWidget(m_out, 0, 3);
    times->addWidget(new QLabel(QStringLiteral("フェードイン"), this), 1, 0);
    times->addWidget(m_fadeIn, 1, 1);
    times->addWidget(new QLabel(QStringLiteral("フェードアウト"), this), 1, 2);
    times->addWidget(m_fadeOut, 1, 3);
    times->addWidget(new QLabel(QStringLiteral("ゲイン"), this), 2, 0);
    times->addWidget(m_gain, 2, 1);
    times->addWidget(m_loudness, 2, 2, 1, 2);
    auto* actions = new QHBoxLayout;
    for (QPushButton* b : {m_playIn, m_playEnd, m_stop})
        actions->addWidget(b);
    actions->addStretch(1);
    actions->addWidget(m_autoTrim);
    actions->addWidget(m_match);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("キャンセル"));
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_ok->setText(QStringLiteral("OK(&O)"));
    for (QPushButton* b : {m_match, m_autoTrim, m_playIn, m_playEnd, m_stop})
        b->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &ClipEditor::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ClipEditor::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_wave, 1);
    layout->addLayout(times);
    layout->addLayout(actions);
    layout->addWidget(m_status);
    layout->addWidget(buttons);

    // The model's values are the draft's start.
    WaveformView::Points p;
    p.in = in;
    p.out = out == 0 ? m_length : out;
    p.fadeIn = model.extension(pad, padfields::FadeIn);
    p.fadeOut = model.extension(pad, padfields::FadeOut);
    setPoints(p);
    m_gain->setValue(gainDb(model.extension(pad, padfields::Gain)));

    connect(m_wave, &WaveformView::pointsEdited, this, &ClipEditor::setPoints);
    for (TimeSpinBox* box : {m_in, m_out, m_fadeIn, m_fadeOut})
        connect(box, &QSpinBox::valueChanged, this, [this] {
            if (m_updating)
                return;
            setPoints({m_in->value(), m_out->value(), m_fadeIn->value(), m_fadeOut->value()});
        });
    connect(m_gain, &QDoubleSpinBox::valueChanged, this, &ClipEditor::showLoudness);
    connect(m_match, &QPushButton::clicked, this, &ClipEditor::matchLoudness);
    connect(m_autoTrim, &QPushButton::clicked, this, &ClipEditor::autoTrim);
    connect(m_playIn, &QPushButton::clicked, this, [this] { preview(points().in); });
    connect(m_playEnd, &QPushButton::clicked, this,
            [this] { preview(std::max<std::int64_t>(points().in, points().out - kEndPreviewMs)); });
    connect(m_stop, &QPushButton::clicked, this, &ClipEditor::stopPreview);
    m_measureDelay->setSingleShot(true);
    m_measureDelay->setInterval(kMeasureDelayMs);
    connect(m_measureDelay, &QTimer::timeout, this, &ClipEditor::measure);
    m_previewTimer->setInterval(kPreviewFollowMs);
    connect(m_previewTimer, &QTimer::timeout, this, &ClipEditor::followPreview);

    // The analyser answers every editor; each takes what is about its own file and span.
    connect(&m_analyser, &ClipAnalyser::overviewProgress, this,
            [this](const QString& path, const media::Overview& partial) {
                if (path != m_path)
                    return;
                learnLength(partial.lengthMs);
                m_wave->setOverview(partial, m_columnsAsked);
            });
    connect(&m_analyser, &ClipAnalyser::overviewReady, this,
            [this](const QString& path, const media::Overview& overview) {
                if (path != m_path)
                    return;
                learnLength(overview.lengthMs);
                m_wave->setOverview(overview, static_cast<int>(overview.columns.size()));
            });
    connect(&m_analyser, &ClipAnalyser::loudnessReady, this,
            [this](const QString& path, media::Span s, const media::LoudnessFigures& f) {
                if (path != m_path || s.fromMs != span().fromMs || s.toMs != span().toMs)
                    return;
                m_figures = f;
                m_figuresSpan = s;
                showLoudness();
                if (std::exchange(m_matchPending, false)) {
                    showPending();
                    matchLoudness();
                }
            });
    connect(&m_analyser, &ClipAnalyser::audibleReady, this,
            [this](const QString& path, const media::AudibleSpan& audible) {
                if (path != m_path || !std::exchange(m_trimPending, false))
                    return;
                showPending();
                learnLength(audible.lengthMs);
                if (!audible.audible) {
                    say(QStringLiteral("-50 dBFS を超える音がないため、カットしませんでした"));
                    return;
                }
                WaveformView::Points p = points();
                p.in = audible.firstMs;
                p.out = std::min(audible.lastMs, m_length);
                setPoints(p);
                say(QStringLiteral("イン %1、アウト %2 に合わせました")
                        .arg(clockText(p.in), clockText(p.out)));
            });
    connect(&m_analyser, &ClipAnalyser::failed, this,
            [this](const QString& path, const QString& message) {
                if (path != m_path)
                    return;
                m_matchPending = m_trimPending = false;
                showPending();
                say(QStringLiteral("クリップを解析できません: ") + message);
            });
    // A pad that loses or changes its clip has nothing left to edit.
    connect(&m_model, &PadModel::clipChanged, this, [this](int n) {
        if (n == m_pad && m_model.fileName(n) != m_path)
            reject();
    });

    resize(760, 380);
    // The waveform is asked for once the view has its width.
    QTimer::singleShot(0, this, [this] {
        m_columnsAsked = std::max(1, m_wave->width());
        m_analyser.requestOverview(m_path, m_columnsAsked);
        measure();
    });
}

ClipEditor::~ClipEditor() {
    if (!m_closed)
        restoreVoice();
}

int ClipEditor::draft(int field) const {
    const WaveformView::Points p = points();
    switch (field) {
    case padfields::TrimIn:
        return static_cast<int>(p.in);
    case padfields::TrimOut:
        return p.out >= m_length ? 0 : static_cast<int>(p.out);
    case padfields::FadeIn:
        return static_cast<int>(p.fadeIn);
    case padfields::FadeOut:
        return static_cast<int>(p.fadeOut);
    case padfields::Gain:
        return gainTenths(m_gain->value());
    default:
        return m_model.extension(m_pad, field);
    }
}

WaveformView::Points ClipEditor::points() const {
    return m_wave->points();
}

// One place takes every change of the points, from a drag, a spin box or an action: the
// view orders them, the spin boxes show them, and a changed span is measured again.
void ClipEditor::setPoints(const WaveformView::Points& p) {
    const media::Span before = span();
    m_wave->setPoints(p);
    showPoints();
    if (span().fromMs != before.fromMs || span().toMs != before.toMs) {
        m_figures.reset();
        showLoudness();
        m_measureDelay->start();
    }
}

void ClipEditor::setLength(std::int64_t ms) {
    m_length = std::max<std::int64_t>(0, ms);
    m_wave->setLength(m_length);
    for (TimeSpinBox* box : {m_in, m_out, m_fadeIn, m_fadeOut})
        box->setMaximum(static_cast<int>(std::min<std::int64_t>(m_length, padfields::kMaxMs)));
}

// The analysis read the whole clip: its length replaces the one the player allowed to guess.
// An out point at the end stays at the end.
void ClipEditor::learnLength(std::int64_t ms) {
    if (ms <= 0 || ms == m_length)
        return;
    WaveformView::Points p = points();
    const bool atEnd = p.out >= m_length;
    setLength(ms);
    if (atEnd)
        p.out = m_length;
    setPoints(p);
}

void ClipEditor::showPoints() {
    const WaveformView::Points p = points();
    m_updating = true;
    m_in->setValue(static_cast<int>(p.in));
    m_out->setValue(static_cast<int>(p.out));
    m_fadeIn->setValue(static_cast<int>(p.fadeIn));
    m_fadeOut->setValue(static_cast<int>(p.fadeOut));
    m_updating = false;
}

media::Span ClipEditor::span() const {
    const WaveformView::Points p = points();
    return {p.in, p.out >= m_length ? 0 : p.out};
}

void ClipEditor::measure() {
    if (m_figures)
        return;
    if (const auto f = m_analyser.loudness(m_path, span())) {
        m_figures = f;
        m_figuresSpan = span();
        showLoudness();
        if (std::exchange(m_matchPending, false)) {
            showPending();
            matchLoudness();
        }
    }
}

void ClipEditor::showLoudness() {
    if (!m_figures) {
        m_loudness->setText(QStringLiteral("ラウドネス: 測定中…"));
        return;
    }
    const double gain = m_gain->value() <= kGainMinDb ? -HUGE_VAL : m_gain->value();
    const double after = m_figures->integratedLufs + gain;
    m_loudness->setText(QStringLiteral("ラウドネス %1 / トゥルーピーク %2（ゲイン後 %3）")
                            .arg(dbText(m_figures->integratedLufs, "LUFS"),
                                 dbText(m_figures->truePeakDbtp, "dBTP"), dbText(after, "LUFS")));
    emit loudnessShown();
}

// The gain that brings in..out to the target, to a tenth of a dB. A part not yet measured
// is measured first, and matched when its figures arrive.
void ClipEditor::matchLoudness() {
    if (!m_figures) {
        m_matchPending = true;
        showPending();
        say(QStringLiteral("ラウドネスを測定しています…"));
        m_measureDelay->stop();
        measure();
        return;
    }
    const double lufs = m_figures->integratedLufs;
    if (!std::isfinite(lufs)) {
        say(QStringLiteral("イン点からアウト点までが無音のため、ラウドネスを揃えられません"));
        return;
    }
    const double wanted = m_target - lufs;
    m_gain->setValue(std::clamp(std::round(wanted * 10.0) / 10.0, kGainMinDb + 0.1, kGainMaxDb));
    if (wanted > kGainMaxDb)
        say(QStringLiteral("ゲインの上限 +12 dB でも目標 %1 LUFS に届きません")
                .arg(m_target, 0, 'f', 1));
    else
        say(QStringLiteral("目標 %1 LUFS に揃えました").arg(m_target, 0, 'f', 1));
}

void ClipEditor::autoTrim() {
    m_trimPending = true;
    showPending();
    say(QStringLiteral("無音を探しています…"));
    m_analyser.requestAudible(m_path, kTrimThresholdDbfs);
}

// OK waits for a match or a cut under way, so that it never keeps a draft the operator
// expects to have been matched or cut.
void ClipEditor::showPending() {
    m_ok->setEnabled(!m_matchPending && !m_trimPending);
}

void ClipEditor::say(const QString& text) {
    m_status->setText(text);
}

// ---- preview -------------------------------------------------------------------------------

// The preparation the model keeps, or the draft, as the pad's player takes it.
ClipPreparation ClipEditor::preparation(bool draft) const {
    const auto value = [&](int field) {
        return draft ? this->draft(field) : m_model.extension(m_pad, field);
    };
    return {value(padfields::TrimIn), value(padfields::TrimOut), value(padfields::FadeIn),
            value(padfields::FadeOut), value(padfields::Gain)};
}

// The pad's voice plays the draft from `fromMs` of the clip: in, out, fades and gain as a
// press would play them once the draft is kept.
void ClipEditor::preview(std::int64_t fromMs) {
    ClipPlayer* player = m_model.player(m_pad);
    if (!player->MCIOpened())
        return;
    if (m_model.cue().available()) {
        stopPreview();
        try {
            m_model.cue().cue(m_pad, m_model.fileName(m_pad), static_cast<qint32>(fromMs),
                              preparation(true));
        } catch (const ECueError& e) {
            say(e.message());
            return;
        }
        m_previewing = m_previewOnMonitor = true;
        m_previewStart = points().in;
        m_wave->setPlayhead(fromMs);
        m_previewTimer->start();
        return;
    }
    try {
        player->Stop();
        player->setPreparation(preparation(true));
        // Positions count from the in point.
        m_engine.seek(m_pad - 1, (fromMs - points().in) * m_engine.sampleRate() / 1000);
        player->Play();
    } catch (const ECueError& e) {
        restoreVoice();
        say(e.message());
        return;
    }
    m_previewing = true;
    m_previewStart = points().in;
    m_wave->setPlayhead(fromMs);
    m_previewTimer->start();
}

void ClipEditor::followPreview() {
    const int voice = m_pad - 1;
    media::Engine* engine = m_previewOnMonitor ? m_model.cue().engine() : &m_engine;
    if (!engine || !engine->isPlaying(voice) ||
        (m_previewOnMonitor && !m_model.cue().cueing(m_pad))) {
        stopPreview(); // it reached the out point, or the monitor went
        return;
    }
    m_wave->setPlayhead(m_previewStart + engine->position(voice) * 1000 / engine->sampleRate());
}

void ClipEditor::stopPreview() {
    m_previewTimer->stop();
    m_wave->setPlayhead(-1);
    if (!std::exchange(m_previewing, false))
        return;
    if (std::exchange(m_previewOnMonitor, false)) {
        m_model.cue().stopCue(m_pad); // the pad's voice was never touched
        return;
    }
    ClipPlayer* player = m_model.player(m_pad);
    if (player->MCIOpened()) {
        player->Stop();
        player->Rewind();
    }
    restoreVoice();
}

// Outside a preview, the voice plays what the model keeps.
void ClipEditor::restoreVoice() {
    if (m_previewing) {
        stopPreview();
        return;
    }
    ClipPlayer* player = m_model.player(m_pad);
    if (player->MCIOpened())
        player->setPreparation(preparation(false));
}

// ---- closing -------------------------------------------------------------------------------

void ClipEditor::accept() {
    restoreVoice();
    m_closed = true;
    m_analyser.cancelAll();
    m_model.setExtensions(m_pad, {{padfields::TrimIn, draft(padfields::TrimIn)},
                                  {padfields::TrimOut, draft(padfields::TrimOut)},
                                  {padfields::FadeIn, draft(padfields::FadeIn)},
                                  {padfields::FadeOut, draft(padfields::FadeOut)},
                                  {padfields::Gain, draft(padfields::Gain)}});
    QDialog::accept();
}

void ClipEditor::reject() {
    restoreVoice();
    m_closed = true;
    m_analyser.cancelAll();
    QDialog::reject();
}
