#include "cueplayer.h"

#include "engine.h"
#include "errors.h"

#include <QFile>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <exception>

namespace {

CuePlayer::EngineFactory& factory() {
    static CuePlayer::EngineFactory f;
    return f;
}

std::unique_ptr<media::Engine> makeEngine(const std::string& device, const std::string& server,
                                          int sampleRate) {
    if (factory())
        return factory()(device, server, sampleRate);
    media::Engine::Options o;
    o.device = device;
    o.server = server;
    o.sampleRate = sampleRate;
    o.chosenOnly = true;
    o.logName = "monitor";
    return std::make_unique<media::Engine>(o);
}

} // namespace

void CuePlayer::setEngineFactory(EngineFactory f) {
    factory() = std::move(f);
}

CuePlayer::CuePlayer(media::Engine& board, QObject* parent)
    : QObject(parent), m_board(board), m_server(board.deviceState().server),
      m_watch(new QTimer(this)) {
    setObjectName(QStringLiteral("CuePlayer"));
    m_watch->setInterval(kWatchMs);
    connect(m_watch, &QTimer::timeout, this, &CuePlayer::watch);
}

CuePlayer::~CuePlayer() {
    // The views that follow the cues may be going already: they hear of no last change.
    blockSignals(true);
    dropEngine();
    m_closing.clear(); // waits for the closes under way
}

QString CuePlayer::noMonitorText() {
    return QStringLiteral("モニター出力が選ばれていません");
}

QString CuePlayer::missingText(const QString& device) {
    return QStringLiteral("モニター出力「%1」がありません").arg(device);
}

QString CuePlayer::unavailableReason() const {
    switch (m_status) {
    case Status::Plays:
        return {};
    case Status::Off:
        return noMonitorText();
    case Status::Opening:
        return QStringLiteral("モニター出力「%1」を開いています").arg(m_device);
    case Status::Missing:
        break;
    }
    return missingText(m_device);
}

int CuePlayer::voiceOf(int pad) const {
    if (pad < 1 || pad > kPads)
        throw ECueError(QStringLiteral("パッド番号が範囲外です: ") + QString::number(pad));
    return pad - 1;
}

void CuePlayer::dropEngine() {
    if (!m_engine)
        return;
    m_watch->stop();
    // Clearing a listener waits for a call in progress; the queued calls it posted find the
    // stamps gone.
    for (int v = 0; v < kPads; ++v)
        m_engine->setListener(v, nullptr);
    // Closing waits for an open under way on the engine's device thread.
    std::erase_if(m_closing, [](const std::future<void>& f) {
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    m_closing.push_back(
        std::async(std::launch::async, [e = std::move(m_engine)]() mutable { e.reset(); }));
    for (int pad = 1; pad <= kPads; ++pad)
        if (std::exchange(m_stamps[size_t(pad - 1)], 0) != 0)
            emit cueChanged(pad);
}

void CuePlayer::setDevice(const QString& device) {
    if (device == m_device && (m_engine != nullptr) == !device.isEmpty())
        return;
    const Status was = m_status;
    dropEngine();
    m_device = device;
    m_status = Status::Off;
    if (!device.isEmpty()) {
        // The monitor takes the board's rate, so that both engines convert a clip alike.
        m_engine = makeEngine(device.toStdString(), m_server, m_board.sampleRate());
        // The worker thread: only post the end to the UI thread. Dropping the engine clears
        // these listeners (waiting for a call in progress), so `this` is alive here; an end
        // posted by an engine that has gone since finds another generation.
        const quint64 generation = ++m_generation;
        for (int v = 0; v < kPads; ++v)
            m_engine->setListener(v, [this, v, generation](std::uint32_t stamp, media::EndKind) {
                QMetaObject::invokeMethod(
                    this, [this, v, stamp, generation] { ended(v + 1, stamp, generation); },
                    Qt::QueuedConnection);
            });
        m_watch->start();
        m_status = engineStatus();
    }
    if (m_status != was || device.isEmpty())
        emit availabilityChanged();
}

void CuePlayer::chooseServer(const std::string& server) {
    m_server = server;
    if (m_engine)
        m_engine->chooseOutputServer(server);
}

// A device engine plays while its chosen device is open; one without a device (its samples
// are pulled) always does.
CuePlayer::Status CuePlayer::engineStatus() const {
    if (!m_engine)
        return Status::Off;
    const media::Engine::DeviceState state = m_engine->deviceState();
    if (state.opening)
        return Status::Opening;
    return m_engine->fellBackToDummy() || state.chosenMissing ? Status::Missing : Status::Plays;
}

void CuePlayer::watch() {
    if (!m_engine)
        return;
    const Status status = engineStatus();
    if (status == m_status)
        return;
    m_status = status;
    if (status != Status::Plays)
        stopAll(); // a cue must not wait on a device that is gone and start again later
    emit availabilityChanged();
}

void CuePlayer::cue(int pad, const QString& file, qint32 fromMs,
                    const ClipPreparation& preparation) {
    const int voice = voiceOf(pad);
    if (!m_engine || !available())
        throw ECueError(unavailableReason());
    stopCue(pad);
    std::shared_ptr<media::Clip> clip;
    try {
        clip =
            m_engine->openClip(QFile::encodeName(file).toStdString(), framesOf(preparation.inMs));
    } catch (const std::exception& e) {
        throw ECueError(QStringLiteral("モニター出力で再生できません: ") + file +
                        QStringLiteral(" (") + QString::fromUtf8(e.what()) + QStringLiteral(")"));
    }
    m_engine->load(voice, std::move(clip));
    if (preparation != ClipPreparation{}) {
        m_engine->setWindow(voice, framesOf(preparation.inMs), framesOf(preparation.outMs));
        m_engine->setFades(voice, framesOf(preparation.fadeInMs), framesOf(preparation.fadeOutMs));
        m_engine->setTrimGain(voice, preparation.gainFactor());
    }
    // Positions count from the in point.
    const std::int64_t frame = framesOf(fromMs) - framesOf(preparation.inMs);
    if (frame > 0)
        m_engine->seek(voice, std::min(frame, m_engine->length(voice)));
    m_stamps[size_t(voice)] = m_engine->play(voice);
    emit cueChanged(pad);
}

std::int64_t CuePlayer::framesOf(qint64 ms) const {
    return m_engine ? ms * m_engine->sampleRate() / 1000 : 0;
}

void CuePlayer::stopCue(int pad) {
    const int voice = voiceOf(pad);
    if (!m_engine || std::exchange(m_stamps[size_t(voice)], 0) == 0)
        return;
    m_engine->unload(voice); // with the engine's short fade, no click in the headphones
    emit cueChanged(pad);
}

void CuePlayer::stopAll() {
    for (int pad = 1; pad <= kPads; ++pad)
        stopCue(pad);
}

bool CuePlayer::cueing(int pad) const {
    return m_stamps[size_t(voiceOf(pad))] != 0;
}

PadTimes CuePlayer::times(int pad) const {
    const int voice = voiceOf(pad);
    PadTimes t;
    if (!m_engine || m_stamps[size_t(voice)] == 0)
        return t;
    const std::int64_t rate = std::max(m_engine->sampleRate(), 1);
    t.state = PadTimes::State::Playing;
    t.position = qint32(std::min<std::int64_t>(m_engine->position(voice) * 1000 / rate, INT32_MAX));
    t.length = qint32(std::min<std::int64_t>(m_engine->length(voice) * 1000 / rate, INT32_MAX));
    t.cue = true;
    return t;
}

void CuePlayer::ended(int pad, std::uint32_t stamp, quint64 generation) {
    std::uint32_t& cued = m_stamps[size_t(pad - 1)];
    if (generation != m_generation || stamp == 0 || stamp != cued)
        return; // a cue that was stopped or replaced already
    cued = 0;
    if (m_engine)
        m_engine->unload(pad - 1);
    emit cueChanged(pad);
}
