#include "clipplayer.h"

#include "dialogs.h"
#include "engine.h"
#include "padfields.h"
#include "volume.h"

#include <QFile>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>

namespace {

// Error codes stored in Error(), in the numbering of the media layer this player stands in
// for, so that a code read in a report means the same as before.
constexpr qint32 kErrUnrecognizedCommand = 261; // the device cannot do this (record)
constexpr qint32 kErrFileNotFound = 275;
constexpr qint32 kErrUnknown = 277;
constexpr qint32 kErrInvalidFile = 304;
constexpr qint32 kErrCannotLoad = 286;

const char* const kNotOpen = "MCI デバイスがありません";
const char* const kUnknownCause = "原因不明のエラー";

qint32 codeFor(media::OpenError::Reason reason) {
    switch (reason) {
    case media::OpenError::NotFound:
        return kErrFileNotFound;
    case media::OpenError::NotRegular:
    case media::OpenError::Unreadable:
        return kErrCannotLoad;
    case media::OpenError::BadFormat:
        return kErrInvalidFile;
    case media::OpenError::Unknown:
        break;
    }
    return kErrUnknown;
}

// How a playback's end reads in its notice: a fade-out ends it as a stop does.
TMPNotifyValues noticeFor(media::EndKind kind) {
    switch (kind) {
    case media::EndKind::Finished:
        return nvSuccessful;
    case media::EndKind::Faded:
        return nvAborted;
    case media::EndKind::Failed:
        break;
    }
    return nvFailure;
}

// Device handles are never 0 and not reused soon, so that a stale handle is never mistaken
// for the current one.
quint16 nextDeviceId() {
    static std::atomic<quint32> counter{0};
    quint16 id = 0;
    while (id == 0)
        id = static_cast<quint16>(counter.fetch_add(1, std::memory_order_relaxed) + 1);
    return id;
}

} // namespace

ClipPlayer::ClipPlayer(media::Engine& engine, int voice, QObject* parent)
    : QObject(parent), m_engine(engine), m_voice(voice) {
    // Runs on the engine's worker thread: only post the event to the UI thread. The engine
    // holds its listener lock while this runs, and the destructor clears the listener under
    // the same lock, so `this` is alive here.
    m_engine.setListener(m_voice, [this](std::uint32_t stamp, media::EndKind kind) {
        QMetaObject::invokeMethod(
            this, [this, stamp, kind] { engineEnded(stamp, kind); }, Qt::QueuedConnection);
    });
}

ClipPlayer::~ClipPlayer() {
    m_engine.setListener(m_voice, nullptr);
    if (m_deviceId != 0) {
        m_engine.unload(m_voice);
        m_deviceId = 0;
        m_opened = false;
    }
}

QString ClipPlayer::FileName() const {
    return m_fileName;
}
void ClipPlayer::setFileName(const QString& fileName) {
    m_fileName = fileName;
}
bool ClipPlayer::MCIOpened() const {
    return m_opened;
}
quint16 ClipPlayer::DeviceID() const {
    return m_deviceId;
}
TMPDevCapsSet ClipPlayer::Capabilities() const {
    return m_caps;
}
bool ClipPlayer::canPlay() const {
    return m_caps.contains(mpCanPlay);
}
bool ClipPlayer::canRecord() const {
    return m_caps.contains(mpCanRecord);
}
TButtonSet ClipPlayer::autoButtons() const {
    return m_autoButtons;
}
void ClipPlayer::setAutoButtons(TButtonSet set) {
    m_autoButtons = set;
}
qint32 ClipPlayer::Error() const {
    return m_error;
}
TMPNotifyValues ClipPlayer::NotifyValue() const {
    return m_notifyValue;
}
qint32 ClipPlayer::Frames() const {
    return m_frames;
}

void ClipPlayer::requireOpen() const {
    if (!m_opened)
        throw EMCIDeviceError(QString::fromUtf8(kNotOpen));
}

qint32 ClipPlayer::toMs(std::int64_t frames) const {
    const std::int64_t rate = m_engine.sampleRate();
    const std::int64_t ms = frames * 1000 / std::max<std::int64_t>(rate, 1);
    return static_cast<qint32>(std::min<std::int64_t>(ms, INT32_MAX));
}

std::int64_t ClipPlayer::toFrames(int ms) const {
    return static_cast<std::int64_t>(std::max(ms, 0)) * m_engine.sampleRate() / 1000;
}

void ClipPlayer::setPreparation(const ClipPreparation& preparation) {
    if (preparation == m_preparation)
        return;
    m_preparation = preparation;
    if (m_opened)
        applyPreparation();
}

float ClipPreparation::gainFactor() const {
    return gainTenths <= padfields::kGainSilent
               ? 0.0f
               : static_cast<float>(std::pow(10.0, gainTenths / 200.0));
}

void ClipPlayer::applyPreparation() {
    const ClipPreparation& p = m_preparation;
    m_engine.setWindow(m_voice, toFrames(p.inMs), toFrames(p.outMs));
    m_engine.setFades(m_voice, toFrames(p.fadeInMs), toFrames(p.fadeOutMs));
    m_engine.setTrimGain(m_voice, p.gainFactor());
    m_frames = Length() / 10;
}

void ClipPlayer::Open() {
    if (m_opened)
        Close();
    std::shared_ptr<media::Clip> clip;
    try {
        // The head starts at the in point, so that a press there never waits for the disk.
        clip = m_engine.openClip(QFile::encodeName(m_fileName).toStdString(),
                                 toFrames(m_preparation.inMs));
    } catch (const media::OpenError& e) {
        m_error = codeFor(e.reason());
        throw EMCIDeviceError(QString::fromUtf8(e.what()));
    } catch (const std::exception&) {
        // Out of memory, or a failure the engine has no reason for.
        m_error = kErrUnknown;
        throw EMCIDeviceError(QString::fromUtf8(kUnknownCause));
    }
    m_engine.load(m_voice, std::move(clip));
    if (m_looping)
        m_engine.setLooping(m_voice, true);
    m_error = 0;
    m_opened = true;
    m_deviceId = nextDeviceId();
    m_paused = false;
    m_volume = 1000; // a fresh clip plays at full volume
    applyPreparation();
    // An audio clip's device plays and does nothing else: no record, eject, step or video.
    m_caps = TMPDevCapsSet{mpCanPlay};
    m_autoButtons = TButtonSet{btNext, btPrev};
    if (m_caps.contains(mpCanStep)) {
        m_autoButtons.insert(btStep);
        m_autoButtons.insert(btBack);
    }
    if (m_caps.contains(mpCanPlay))
        m_autoButtons.insert(btPlay);
    if (m_caps.contains(mpCanRecord))
        m_autoButtons.insert(btRecord);
    if (m_caps.contains(mpCanEject))
        m_autoButtons.insert(btEject);
    if (Mode() == mpPlaying) {
        m_autoButtons.remove(btPlay);
        m_autoButtons.remove(btRecord);
        m_autoButtons.insert(btPause);
        m_autoButtons.insert(btStop);
    }
    emit redrawFromSet();
}

void ClipPlayer::Close() {
    if (m_deviceId == 0)
        return;
    interruptPending(nvAborted);
    m_engine.unload(m_voice);
    m_error = 0;
    m_opened = false;
    m_deviceId = 0;
    m_paused = false;
    m_autoButtons = TButtonSet{};
    emit redrawFromSet();
}

void ClipPlayer::Play() {
    requireOpen();
    if (fading()) {
        // The fade is cut; the clip starts again as the fade would have left it, rewound.
        Restart();
        return;
    }
    interruptPending(nvSuperseded);
    if (AutoRewind() && Position() == Length())
        Rewind();
    m_paused = false;
    m_pendingStamp = m_engine.play(m_voice);
    m_error = 0;
}

void ClipPlayer::Stop() {
    requireOpen();
    interruptPending(nvAborted);
    m_engine.stop(m_voice);
    m_paused = false;
    m_error = 0;
}

void ClipPlayer::Rewind() {
    requireOpen();
    interruptPending(nvAborted);
    m_engine.seek(m_voice, 0);
    m_paused = false;
}

TMPModes ClipPlayer::Mode() const {
    if (!m_opened)
        return mpNotReady;
    if (m_paused)
        return mpPaused;
    return m_engine.isPlaying(m_voice) ? mpPlaying : mpStopped;
}

qint32 ClipPlayer::Position() const {
    if (!m_opened)
        return 0;
    return toMs(m_engine.position(m_voice));
}

qint32 ClipPlayer::Length() const {
    requireOpen();
    return toMs(m_engine.length(m_voice));
}

void ClipPlayer::Pause() {
    requireOpen();
    const TMPModes mode = Mode();
    if (mode == mpPlaying)
        PauseOnly();
    else if (mode == mpPaused)
        Resume();
}

void ClipPlayer::PauseOnly() {
    requireOpen();
    m_error = 0;
    if (Mode() != mpPlaying)
        return;
    // The pending playback ends here; Resume starts a new one with its own notice.
    interruptPending(nvAborted);
    m_engine.stop(m_voice);
    m_paused = true;
}

void ClipPlayer::Resume() {
    requireOpen();
    if (!m_paused) {
        // The device refuses to resume what is not paused: play instead.
        Play();
        return;
    }
    m_paused = false;
    interruptPending(nvSuperseded);
    m_pendingStamp = m_engine.play(m_voice);
    m_error = 0;
}

void ClipPlayer::Next() {
    requireOpen();
    interruptPending(nvAborted);
    m_engine.seek(m_voice, m_engine.length(m_voice));
    m_paused = false;
    m_error = 0;
}

void ClipPlayer::Previous() {
    requireOpen();
    interruptPending(nvAborted);
    m_engine.seek(m_voice, 0);
    m_paused = false;
    m_error = 0;
}

void ClipPlayer::Step() {
    requireOpen(); // no video: nothing to step through
}

void ClipPlayer::Back() {
    requireOpen();
}

void ClipPlayer::StartRecording() {
    requireOpen();
    // An audio clip's device cannot record: the command is refused, so no notice follows.
    m_error = kErrUnrecognizedCommand;
}

void ClipPlayer::Eject() {
    requireOpen();
}

void ClipPlayer::Restart() {
    requireOpen();
    if (Mode() != mpPlaying) {
        Play();
        return;
    }
    // One engine command: the sounding playback fades out in a few milliseconds while the
    // new one starts from the first sample in the same output block.
    interruptPending(nvAborted);
    m_paused = false;
    m_pendingStamp = m_engine.restart(m_voice);
    m_error = 0;
}

void ClipPlayer::PlayReplacing(unsigned voices, int ms) {
    requireOpen();
    const bool restart = Mode() == mpPlaying;
    interruptPending(restart ? nvAborted : nvSuperseded);
    m_paused = false;
    m_pendingStamp = m_engine.playReplacing(m_voice, restart, voices, ms);
    m_error = 0;
}

void ClipPlayer::setLooping(bool on) {
    m_looping = on;
    if (m_opened)
        m_engine.setLooping(m_voice, on);
}

void ClipPlayer::FadeOut(int ms) {
    requireOpen();
    if (Mode() != mpPlaying)
        return;
    if (ms <= 0) {
        Stop();
        Rewind();
        return;
    }
    // The engine ends the playback when the fade is over; its notice then comes as a stop's.
    m_engine.fadeOut(m_voice, ms);
}

bool ClipPlayer::fading() const {
    return m_opened && m_engine.fading(m_voice);
}

void ClipPlayer::setVolume(int level) {
    if (!m_opened)
        return;
    m_volume = std::clamp(level, 0, 1000);
    m_engine.setGain(m_voice, media::gainForLevel(m_volume));
}

int ClipPlayer::volume() const {
    return m_opened ? m_volume : 1000;
}

void ClipPlayer::interruptPending(TMPNotifyValues value) {
    if (m_pendingStamp == 0)
        return;
    // A playback that has already ended on its own is answered with how it ended, also when
    // its end event is still on its way (that event then finds nothing pending).
    if (const auto ended = m_engine.endedAs(m_voice))
        value = noticeFor(*ended);
    m_pendingStamp = 0;
    // Queued: the notice arrives after the interrupting command has returned.
    QMetaObject::invokeMethod(
        this, [this, value] { deliverNotice(value); }, Qt::QueuedConnection);
}

void ClipPlayer::engineEnded(std::uint32_t stamp, media::EndKind kind) {
    // Only the playback that still owes its notice counts; an event of an interrupted or
    // older playback has been answered already.
    if (stamp == 0 || stamp != m_pendingStamp)
        return;
    m_pendingStamp = 0;
    deliverNotice(noticeFor(kind));
}

void ClipPlayer::deliverNotice(TMPNotifyValues value) {
    dialogs::guarded([&] {
        if (AutoEnable() && Mode() == mpStopped) {
            if (canPlay())
                m_autoButtons.insert(btPlay);
            if (canRecord())
                m_autoButtons.insert(btRecord);
            m_autoButtons.remove(btPause);
            m_autoButtons.remove(btStop);
            emit redrawFromSet();
        }
        m_notifyValue = value;
        emit OnNotify(this);
    });
}

void SetPlayerVolume(ClipPlayer* player, int level) {
    if (player)
        player->setVolume(level);
}

int GetPlayerVolume(ClipPlayer* player) {
    return player ? player->volume() : 1000;
}

// What a press of `button` leaves pressable: after Play or Record, Pause and Stop; after any
// other, Play and Record as far as the clip allows, and Pause and Stop no more (but Pause
// leaves them).
void ClipPlayer::applyAutoRule(TMPBtnType button) {
    TButtonSet set = m_autoButtons;
    if (button == btPlay || button == btRecord) {
        set.remove(btPlay);
        set.remove(btRecord);
        set.insert(btPause);
        set.insert(btStop);
    } else {
        if (canPlay())
            set.insert(btPlay);
        if (canRecord())
            set.insert(btRecord);
        if (button != btPause) {
            set.remove(btPause);
            set.remove(btStop);
        }
    }
    m_autoButtons = set;
}
