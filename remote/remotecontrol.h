#pragma once
// Remote triggers on the UI thread: the MIDI input and the OSC listener hand their commands
// over through the command inbox, and this object carries them out on the board exactly as
// the keys and buttons do, through the pad model's and the set list slots' own commands. It
// also keeps the MIDI mapping and feedback settings ("conf/midi.ini") and the OSC settings
// ("osc/..." in "conf/settings.ini"), and runs MIDI learn.
//
// It also talks back: each pad's state goes to the controller's lights through the MIDI
// feedback output (midifeedback.h), and to the OSC panels that subscribed (every change, and
// the time left four times a second while a pad sounds). It reads the board only through the
// board view.
//
// What each command does:
//   play      the pad's key (its play button; nothing while the button is disabled)
//   stop      the Stop button of the pad's strip: the clip stops where it is, and the next
//             play goes on from there, as after the button
//   fade      the pad's fade-out, as Shift with its key
//   volume    the slider moves as if the user moved it: the level reaches the clip and the
//             set list counts as changed
//   stop-all  the stop-all button
//   set list  the slot button, but never a question: while the board has unsaved changes
//             the switch is refused, and a notice says why
// A pad whose clip is not open ignores play and stop with a notice instead of the error box,
// so that no remote message can leave a box in front of the operator. While a dialog holds the
// window (a question, a file dialog), the keys do nothing, and remote commands are refused
// with a notice too; the settings dialog and MIDI learn are not counted as such dialogs.

#include "midifeedback.h"
#include "midimapping.h"
#include "oscpush.h"
#include "oscserver.h"

#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class PadModel;
class QSocketNotifier;
class QTimer;
class SetListSlots;

namespace remote {

class BoardView;
class CommandInbox;
class MidiPorts;

class RemoteControl : public QObject {
    Q_OBJECT
public:
    // Commands taken per turn of the event loop; the rest wait for the next turn.
    static constexpr std::size_t kBudgetPerTurn = 32;
    // How often the lights are looked at (changes go out at once, blinks and what waited
    // for its budget at these ticks), and the time left pushed to OSC subscribers.
    static constexpr int kFeedbackTickMs = 20;
    static constexpr int kTimeLeftPushMs = 250;

    RemoteControl(PadModel& board, SetListSlots& setLists, QString dataFolder,
                  QObject* parent = nullptr);
    ~RemoteControl() override;

    // Reads the mapping and the OSC settings, starts listening for OSC and starts the MIDI
    // input (`midi` false: no MIDI, for tests that bring their own). A file that cannot be
    // read or an OSC port that cannot be opened gives a notice; nothing stops the program.
    void start(bool midi = true);
    // Stops both inputs; nothing reaches the board afterwards. The window's close calls it.
    void shutdown();

    // While it returns true, board commands are refused (see above).
    void setBusyCheck(std::function<bool()> busy) { m_busy = std::move(busy); }

    QString midiFile() const;     // DataFolder + "/conf/midi.ini"
    QString settingsFile() const; // DataFolder + "/conf/settings.ini"

    // The MIDI mapping. setMapping and resetMapping save it at once; they throw EInOutError
    // when the file cannot be written, and the mapping in use then stays as it was.
    const midi::Mapping& mapping() const { return m_mapping; }
    void setMapping(const midi::Mapping& mapping);
    void resetMapping();

    // The feedback profile and whether software MIDI ports are joined too, kept in the MIDI
    // file. Both throw EInOutError when the file cannot be written (nothing changes then).
    midi::Profile feedbackProfile() const { return m_feedback.profile(); }
    void setFeedbackProfile(midi::Profile profile);
    bool connectAllMidi() const { return m_connectAll; }
    void setConnectAllMidi(bool all);

    // MIDI learn: the next Note On or Control Change received is bound to `target` and saved
    // (a volume slider takes only a controller: a note is ignored while learning one). The
    // notice names the port it came through.
    void learn(const midi::Target& target);
    void cancelLearn();
    std::optional<midi::Target> learning() const { return m_learning; }

    // The OSC settings in use, and new ones: saved to the settings file, then listened with.
    // Returns "" or the reason the port could not be opened; throws EInOutError when the
    // settings cannot be saved (nothing changes then).
    OscConfig oscConfig() const { return m_osc->config(); }
    QString applyOscConfig(const OscConfig& config);
    bool oscListening() const { return m_osc->listening(); }
    std::uint16_t oscPort() const { return m_osc->boundPort(); } // 0 when not listening
    QString oscState() const;                                    // one line for the settings page
    static OscConfig readOscConfig(const QString& settingsFile); // defaults when missing
    // "192.168.1.20, 10.0.0.5" to addresses; nothing when an entry is not an IPv4 address.
    static std::optional<std::vector<in_addr_t>> parseAllowList(const QString& text);
    static QString allowListText(const std::vector<in_addr_t>& addresses);

    // What the MIDI ports have open, for the settings page: the systems, the outputs joined to
    // the input, the inputs the feedback goes to.
    QStringList midiSystems() const;
    QStringList midiOutputs() const;
    QStringList midiFeedbackTargets() const;
    BoardView& view() { return *m_view; }

    // Carries out one command as if it had just arrived.
    void execute(const RemoteCommand& command);
    CommandInbox& inbox() { return *m_inbox; }

    // Inbox lanes.
    static constexpr int kAlsaLane = 0;
    static constexpr int kJackLane = 1;
    static constexpr int kOscLane = 2;

signals:
    // A short text for the status bar: a refused command, a failed start, a learned binding.
    void notice(const QString& text);
    void learned(const remote::midi::Target& target, const remote::midi::Binding& binding);
    void mappingChanged();

private:
    void drain();
    void midiEvent(const midi::Event& event, const RemoteCommand& command);
    void act(const midi::Target& target, int volume);
    bool refuseWhileBusy(const QString& what);
    bool refuseWithoutClip(int pad, const QString& what);
    void switchSetList(int slot);
    bool answerable(const ReplyAddress& to) const;
    void replyStatus(const ReplyAddress& to);
    void sendPadStatus(const ReplyAddress& to, int pad);
    void subscribe(const RemoteCommand& command);
    void padChanged(int pad);
    void pushTimeLeft();
    void updatePushTimer();
    void tickFeedback();
    void loadMapping();
    void saveMapping(const midi::Mapping& mapping) const;
    void saveMidiValue(const QString& key, const QString& value);

    BoardView* m_view;
    SetListSlots& m_slots;
    QString m_dataFolder;
    std::unique_ptr<CommandInbox> m_inbox;
    std::unique_ptr<OscServer> m_osc;
    std::unique_ptr<MidiPorts> m_midi;
    QSocketNotifier* m_notifier = nullptr;
    std::function<bool()> m_busy;
    midi::Mapping m_mapping = midi::Mapping::defaults();
    std::optional<midi::Target> m_learning;
    QString m_oscError;
    bool m_draining = false;
    bool m_stopped = false;
    OscReplyBudget m_replies;
    OscSubscribers m_subscribers;
    QTimer* m_pushTimer;
    std::array<bool, 8> m_cuePushed{}; // the cue state each pad's subscribers were told
    midi::Feedback m_feedback;
    QTimer* m_feedbackTimer;
    unsigned m_feedbackConnections = 0;
    bool m_connectAll = false;
};

// "パッド3 再生", "全停止": a target as the settings page and the notices name it.
QString targetName(const midi::Target& target);
// "ノート 36 (全チャンネル)", "CC 7 (チャンネル 1)".
QString bindingName(const midi::Binding& binding);

} // namespace remote
