#pragma once
// One pad's clip player: a single WAV or MP3 clip on one voice of the shared audio engine.
// Opens and closes the clip, plays, stops and rewinds it, reports mode, position and length
// (milliseconds), raises a completion notice when a playback ends, and carries the volume.
// Lives on the UI thread; completion notices arrive as queued calls between two handlers.
// The transport bar (transportbar.h) is its visible face and owns one.

#include "errors.h"
#include "playertypes.h"

#include <QObject>
#include <QString>

#include <cstdint>

namespace media {
class Engine;
enum class EndKind : std::uint8_t;
} // namespace media

// A pad's preparation of its clip: in and out points in milliseconds from the clip's start
// (out 0 = the clip's end), fade lengths in milliseconds and the gain in tenths of a dB
// (padfields::kGainSilent and below: silent).
struct ClipPreparation {
    int inMs = 0;
    int outMs = 0;
    int fadeInMs = 0;
    int fadeOutMs = 0;
    int gainTenths = 0;
    bool operator==(const ClipPreparation&) const = default;
    // The gain as a factor on the samples: 0 for -inf.
    float gainFactor() const;
};

class ClipPlayer : public QObject {
    Q_OBJECT
public:
    // `voice` is the engine voice this player drives (0..7), one per pad.
    ClipPlayer(media::Engine& engine, int voice, QObject* parent = nullptr);
    ~ClipPlayer() override; // closes an open clip

    QString FileName() const;
    void setFileName(const QString& fileName); // stores the text only

    bool MCIOpened() const;
    quint16 DeviceID() const; // 0 whenever no clip is open
    TMPDevCapsSet Capabilities() const;
    bool canPlay() const;
    bool canRecord() const;
    TButtonSet autoButtons() const; // FAutoButtons, drawn by the transport bar
    void setAutoButtons(TButtonSet set);
    // The auto-enabled set after a press of `button` on the strip.
    void applyAutoRule(TMPBtnType button);
    qint32 Error() const;
    TMPNotifyValues NotifyValue() const;
    qint32 Frames() const;
    bool AutoEnable() const { return true; }
    bool AutoRewind() const { return true; }

    // Throw EMCIDeviceError where the operation needs an open clip and none is open.
    void Open();
    void Close();
    void Play();
    void Stop();
    void Rewind();
    TMPModes Mode() const;   // mpNotReady when closed
    qint32 Position() const; // 0 when closed
    qint32 Length() const;   // needs an open clip
    void Pause();
    void PauseOnly();
    void Resume();
    void Next();
    void Previous();
    void Step();
    void Back();
    void StartRecording();
    void Eject();

    // Starts the clip again from its first sample while it sounds, as one engine command: the
    // sounding playback fades out within a few milliseconds while the new one starts in the
    // same output block. The old playback ends as Stop ends it (its notice says nvAborted),
    // and the new one owes its own notice. A player that does not sound plays, as Play does.
    void Restart();
    // Starts the clip while the players of the engine voices `voices` (a bit each) fade out
    // over `ms`, in one engine command: an equal-power cross-fade, the new playback fading
    // in over the same time. A sounding clip starts again from its first sample, any other
    // plays from where it stands, as Restart and Play do; the replaced players' notices come
    // as their fades end (nvAborted).
    void PlayReplacing(unsigned voices, int ms);
    // While looping, the clip repeats without a gap until the player is stopped; no notice
    // comes at the end of a pass. The flag holds across Open and Close; it is the pad's loop
    // switch.
    void setLooping(bool on);
    bool looping() const { return m_looping; }
    // Fades a sounding playback out over `ms` milliseconds, then stops and rewinds it as Stop
    // followed by Rewind do; the notice follows once the fade is over (nvAborted). A player
    // that does not sound is left as it is. During the fade Mode() stays mpPlaying; a Stop,
    // Rewind, Pause or FadeOut(0) cuts it at once with the engine's short anti-click fade,
    // and a Play cuts it and starts again from the first sample.
    void FadeOut(int ms);
    // True from FadeOut until the fade has ended the playback.
    bool fading() const;

    // The preparation the clip plays with. It holds across Open and Close, and applies to
    // an open clip at once (a sounding playback keeps its in and out points until it ends).
    // Position() and Length() count between the in and out points, from 0 at the in point.
    // Points that do not fit the clip are applied as the engine does (engine.h setWindow).
    void setPreparation(const ClipPreparation& preparation);
    const ClipPreparation& preparation() const { return m_preparation; }

    // Volume 0..1000 of the open clip; ignored when none is open. A player with no open clip
    // reports 1000, the initial volume of a fresh clip.
    void setVolume(int level);
    int volume() const;

signals:
    // The completion notice (OnNotify), once for every accepted Play, Resume or StartRecording.
    void OnNotify(ClipPlayer* sender);
    // The auto-enabled set changed at Open, Close or a notice: the strip redraws from it.
    void redrawFromSet();

private:
    void requireOpen() const;
    qint32 toMs(std::int64_t frames) const;
    std::int64_t toFrames(int ms) const;
    void applyPreparation();
    // Answers the playback that still owes a notice, if any, with `value` (queued), or with
    // how it ended when it is already over. Called before the command that interrupts it.
    void interruptPending(TMPNotifyValues value);
    void engineEnded(std::uint32_t stamp, media::EndKind kind);
    void deliverNotice(TMPNotifyValues value);

    media::Engine& m_engine;
    int m_voice;
    QString m_fileName;
    bool m_opened = false;
    quint16 m_deviceId = 0;
    TMPDevCapsSet m_caps;
    TButtonSet m_autoButtons;
    qint32 m_error = 0;
    TMPNotifyValues m_notifyValue = nvSuccessful;
    qint32 m_frames = 0;
    bool m_paused = false;
    bool m_looping = false;
    int m_volume = 1000;
    ClipPreparation m_preparation;
    // Stamp of the accepted playback whose notice is still owed; 0 when none is.
    std::uint32_t m_pendingStamp = 0;
};

void SetPlayerVolume(ClipPlayer* player, int level);
int GetPlayerVolume(ClipPlayer* player);
