#include "remotecontrol.h"

#include "board.h"
#include "boardview.h"
#include "commandinbox.h"
#include "errors.h"
#include "midiports.h"
#include "setlistslots.h"
#include "settings.h"

#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <lo/lo_lowlevel.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace remote {

namespace {

constexpr int kLanes = 3;
constexpr int kPads = board::kPads;
const QString kFeedbackKey = QStringLiteral("feedback");
const QString kConnectAllKey = QStringLiteral("connectall");

// The pad's state as a panel shows it (the last seconds count as playing).
const char* stateOf(const BoardView& view, int pad) {
    switch (view.state(pad)) {
    case BoardView::PadState::Empty:
        return "empty";
    case BoardView::PadState::Loaded:
        return "stopped";
    case BoardView::PadState::Paused:
        return "paused";
    case BoardView::PadState::Playing:
    case BoardView::PadState::Ending:
        break;
    }
    return view.fading(pad) ? "fading" : "playing";
}

midi::Light lightOf(BoardView::PadState state) {
    switch (state) {
    case BoardView::PadState::Empty:
        return midi::Light::Empty;
    case BoardView::PadState::Loaded:
        return midi::Light::Loaded;
    case BoardView::PadState::Playing:
        return midi::Light::Playing;
    case BoardView::PadState::Ending:
        return midi::Light::Ending;
    case BoardView::PadState::Paused:
        return midi::Light::Paused;
    }
    return midi::Light::Empty;
}

QStringList toStringList(const std::vector<std::string>& names) {
    QStringList list;
    for (const std::string& name : names)
        list << QString::fromStdString(name);
    return list;
}

// Serialises and sends one message; false when it could not be built or sent.
bool sendMessage(OscServer& server, const ReplyAddress& to, const char* path, lo_message m) {
    std::vector<char> bytes(lo_message_length(m, path));
    size_t size = bytes.size();
    const bool ok = !bytes.empty() && lo_message_serialise(m, path, bytes.data(), &size) &&
                    server.send(to, bytes.data(), size);
    lo_message_free(m);
    return ok;
}

} // namespace

QString targetName(const midi::Target& target) {
    switch (target.action) {
    case midi::Action::Play:
        return QStringLiteral("パッド%1 再生").arg(target.pad);
    case midi::Action::Fade:
        return QStringLiteral("パッド%1 フェードアウト").arg(target.pad);
    case midi::Action::Volume:
        return QStringLiteral("パッド%1 音量スライダー").arg(target.pad);
    case midi::Action::StopAll:
        break;
    }
    return QStringLiteral("全停止");
}

QString bindingName(const midi::Binding& binding) {
    const QString kind =
        binding.type == midi::EventType::Note ? QStringLiteral("ノート") : QStringLiteral("CC");
    const QString channel = binding.channel == 0
                                ? QStringLiteral("全チャンネル")
                                : QStringLiteral("チャンネル %1").arg(binding.channel);
    return QStringLiteral("%1 %2 (%3)").arg(kind).arg(binding.number).arg(channel);
}

RemoteControl::RemoteControl(PadModel& board, SetListSlots& setLists, QString dataFolder,
                             QObject* parent)
    : QObject(parent), m_view(new BoardView(board, this)), m_slots(setLists),
      m_dataFolder(std::move(dataFolder)), m_inbox(std::make_unique<CommandInbox>(kLanes)),
      m_osc(std::make_unique<OscServer>(*m_inbox, kOscLane)), m_pushTimer(new QTimer(this)),
      m_feedbackTimer(new QTimer(this)) {
    m_notifier = new QSocketNotifier(m_inbox->wakeDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { drain(); });
    connect(m_view, &BoardView::padChanged, this, &RemoteControl::padChanged);
    m_pushTimer->setInterval(kTimeLeftPushMs);
    connect(m_pushTimer, &QTimer::timeout, this, &RemoteControl::pushTimeLeft);
    m_feedbackTimer->setInterval(kFeedbackTickMs);
    m_feedbackTimer->setTimerType(Qt::PreciseTimer);
    connect(m_feedbackTimer, &QTimer::timeout, this, &RemoteControl::tickFeedback);
    for (int n = 1; n <= kPads; ++n)
        m_feedback.setLight(n, lightOf(m_view->state(n)));
}

RemoteControl::~RemoteControl() {
    shutdown();
}

QString RemoteControl::midiFile() const {
    return m_dataFolder + QStringLiteral("/conf/midi.ini");
}

QString RemoteControl::settingsFile() const {
    return settings::path(m_dataFolder);
}

void RemoteControl::start(bool midi) {
    m_stopped = false;
    loadMapping();
    OscConfig config;
    try {
        config = readOscConfig(settingsFile());
    } catch (const ECueError& e) {
        emit notice(QStringLiteral("OSC の設定を読めないため、初期設定で受信します: ") +
                    e.message());
    }
    const std::string error = m_osc->start(config);
    m_oscError = QString::fromStdString(error);
    if (!error.empty())
        emit notice(
            QStringLiteral("OSC のポート %1 を開けません: %2").arg(config.port).arg(m_oscError));
    if (midi && !m_midi) {
        m_midi = std::make_unique<MidiPorts>(*m_inbox, kAlsaLane, kJackLane);
        m_midi->setConnectAll(m_connectAll);
        m_midi->start();
    }
    if (m_feedback.profile() != midi::Profile::None)
        m_feedbackTimer->start();
}

void RemoteControl::shutdown() {
    m_stopped = true;
    m_osc->stop();
    m_feedbackTimer->stop();
    m_pushTimer->stop();
    m_midi.reset(); // joins the watcher and closes the ports
    m_learning.reset();
}

// ---- the inbox ----------------------------------------------------------------------------

void RemoteControl::drain() {
    // A command that opens a nested event loop (an error box of a set list load) must not
    // take the next ones inside it: the notifier rests until that command has returned, and
    // then fires again for what is waiting.
    if (m_draining) {
        m_notifier->setEnabled(false);
        return;
    }
    m_draining = true;
    m_inbox->drain(kBudgetPerTurn, [this](const RemoteCommand& command) {
        if (!m_stopped)
            execute(command);
    });
    m_draining = false;
    m_notifier->setEnabled(true);
}

void RemoteControl::execute(const RemoteCommand& command) {
    try {
        switch (command.kind) {
        case CommandKind::MidiNote:
        case CommandKind::MidiControl:
            if (const auto event = midi::fromCommand(command))
                midiEvent(*event, command);
            return;
        case CommandKind::Status:
            if (answerable(command.reply))
                replyStatus(command.reply);
            return;
        case CommandKind::Subscribe:
            subscribe(command);
            return;
        case CommandKind::SetList:
            switchSetList(command.number);
            return;
        case CommandKind::StopAll:
            act({midi::Action::StopAll, 0}, -1);
            return;
        case CommandKind::PadPlay:
            act({midi::Action::Play, command.number}, -1);
            return;
        case CommandKind::PadFade:
            act({midi::Action::Fade, command.number}, -1);
            return;
        case CommandKind::PadRelease:
            m_view->release(command.number);
            return;
        case CommandKind::PadCue:
            if (command.number < 1 || command.number > kPads)
                return;
            if (command.value != 0 &&
                (refuseWhileBusy(QStringLiteral("パッド%1 試聴").arg(command.number)) ||
                 refuseWithoutClip(command.number, QStringLiteral("試聴"))))
                return;
            m_view->cue(command.number, command.value != 0);
            return;
        case CommandKind::PadStop:
            if (command.number < 1 || command.number > kPads)
                return;
            if (refuseWhileBusy(QStringLiteral("パッド%1 停止").arg(command.number)) ||
                refuseWithoutClip(command.number, QStringLiteral("停止")))
                return;
            m_view->stopPad(command.number);
            return;
        }
    } catch (const ECueError& e) {
        emit notice(e.message());
    }
}

bool RemoteControl::refuseWhileBusy(const QString& what) {
    if (!m_busy || !m_busy())
        return false;
    emit notice(QStringLiteral("ダイアログが開いているため、リモートからの「%1」を受け付けません")
                    .arg(what));
    return true;
}

bool RemoteControl::refuseWithoutClip(int pad, const QString& what) {
    if (m_view->loaded(pad))
        return false;
    emit notice(QStringLiteral("パッド%1 にはクリップが開かれていないため、リモートからの「%2」を"
                               "受け付けません")
                    .arg(pad)
                    .arg(what));
    return true;
}

void RemoteControl::act(const midi::Target& target, int volume) {
    const int pad = target.pad;
    if (target.action != midi::Action::StopAll && (pad < 1 || pad > kPads))
        return;
    if (refuseWhileBusy(targetName(target)))
        return;
    switch (target.action) {
    case midi::Action::Play:
        if (!refuseWithoutClip(pad, QStringLiteral("再生")))
            m_view->press(pad);
        break;
    case midi::Action::Fade:
        m_view->fade(pad);
        break;
    case midi::Action::Volume:
        m_view->setVolume(pad, std::clamp(volume, 0, 1000));
        break;
    case midi::Action::StopAll:
        m_view->stopAll();
        break;
    }
}

void RemoteControl::switchSetList(int slot) {
    if (slot < 1 || slot > SetListSlots::kSlots)
        return;
    if (refuseWhileBusy(QStringLiteral("セットリスト%1").arg(slot)))
        return;
    if (m_slots.SetListModified()) {
        emit notice(QStringLiteral("SETLIST%1 に保存されていない変更があるため、リモートからの"
                                   "SET LIST%2 への切り替えを受け付けませんでした")
                        .arg(m_slots.CurrentSetList())
                        .arg(slot));
        return;
    }
    m_slots.selectSlot(slot); // unchanged: no question; a read error comes back as a notice
}

bool RemoteControl::answerable(const ReplyAddress& to) const {
    return OscServer::answers(m_osc->config(), senderAddress(to));
}

void RemoteControl::sendPadStatus(const ReplyAddress& to, int n) {
    const QByteArray caption = m_view->caption(n).toUtf8();
    lo_message m = lo_message_new();
    lo_message_add_string(m, stateOf(*m_view, n));
    lo_message_add_string(m, caption.constData());
    lo_message_add_int32(m, m_view->timeLeftMs(n));
    const QByteArray path = QStringLiteral("/cuedeck/pad/%1/status").arg(n).toLatin1();
    sendMessage(*m_osc, to, path.constData(), m);
}

void RemoteControl::replyStatus(const ReplyAddress& to) {
    if (!m_replies.take(senderAddress(to), std::chrono::steady_clock::now()))
        return; // a flood of requests from this sender: the surplus goes unanswered

    // One message per pad, "/cuedeck/pad/N/status" state caption msLeft, then the set list.
    for (int n = 1; n <= kPads; ++n)
        sendPadStatus(to, n);
    lo_message m = lo_message_new();
    lo_message_add_int32(m, m_slots.currentSlot());
    sendMessage(*m_osc, to, "/cuedeck/setlist", m);
}

void RemoteControl::subscribe(const RemoteCommand& command) {
    const auto now = std::chrono::steady_clock::now();
    if (!answerable(command.reply))
        return;
    if (command.value == 0) {
        m_subscribers.unsubscribe(command.reply);
        return;
    }
    if (!m_replies.take(senderAddress(command.reply), now))
        return;
    // Panels that listen on a port of their own (not the one they send from) name it; the
    // pushes still go only to the sender's host.
    ReplyAddress target = command.reply;
    if (command.value >= 1024 && command.value <= 65535) {
        sockaddr_in in{};
        std::memcpy(&in, &target.address, sizeof in);
        in.sin_port = htons(static_cast<std::uint16_t>(command.value));
        std::memcpy(&target.address, &in, sizeof in);
    }
    // The answer tells the lease in seconds, 0 when every place is taken; a new subscriber
    // then gets the whole state at once.
    const bool ok = m_subscribers.subscribe(command.reply, target, now);
    lo_message m = lo_message_new();
    lo_message_add_int32(m, ok ? static_cast<int>(OscSubscribers::kLease.count()) : 0);
    sendMessage(*m_osc, target, "/cuedeck/subscribed", m);
    if (!ok)
        return;
    for (int n = 1; n <= kPads; ++n)
        sendPadStatus(target, n);
    updatePushTimer();
}

void RemoteControl::padChanged(int pad) {
    m_feedback.setLight(pad, lightOf(m_view->state(pad)));
    tickFeedback();
    const auto& subscribers = m_subscribers.active(std::chrono::steady_clock::now());
    for (const ReplyAddress& to : subscribers)
        if (answerable(to)) // the allow-list may have changed since
            sendPadStatus(to, pad);
    // A pad that starts or stops on the monitor output: "/cuedeck/pad/N/cue" 1 or 0.
    const bool cueing = m_view->cueing(pad);
    if (pad >= 1 && pad <= kPads && cueing != m_cuePushed[size_t(pad - 1)]) {
        m_cuePushed[size_t(pad - 1)] = cueing;
        const QByteArray path = QStringLiteral("/cuedeck/pad/%1/cue").arg(pad).toLatin1();
        for (const ReplyAddress& to : subscribers) {
            if (!answerable(to))
                continue;
            lo_message m = lo_message_new();
            lo_message_add_int32(m, cueing ? 1 : 0);
            sendMessage(*m_osc, to, path.constData(), m);
        }
    }
    updatePushTimer();
}

void RemoteControl::updatePushTimer() {
    bool sounding = false;
    for (int n = 1; n <= kPads; ++n)
        sounding = sounding || m_view->sounding(n);
    if (!sounding || m_subscribers.active(std::chrono::steady_clock::now()).empty())
        m_pushTimer->stop();
    else if (!m_pushTimer->isActive())
        m_pushTimer->start();
}

void RemoteControl::pushTimeLeft() {
    updatePushTimer();
    for (const ReplyAddress& to : m_subscribers.active(std::chrono::steady_clock::now())) {
        if (!answerable(to))
            continue;
        for (int n = 1; n <= kPads; ++n) {
            if (!m_view->sounding(n))
                continue;
            lo_message m = lo_message_new();
            lo_message_add_int32(m, m_view->timeLeftMs(n));
            const QByteArray path = QStringLiteral("/cuedeck/pad/%1/left").arg(n).toLatin1();
            sendMessage(*m_osc, to, path.constData(), m);
        }
    }
}

void RemoteControl::tickFeedback() {
    if (!m_midi || m_feedback.profile() == midi::Profile::None)
        return;
    const unsigned connections = m_midi->feedbackConnections();
    if (connections != m_feedbackConnections) {
        m_feedbackConnections = connections;
        m_feedback.resendAll();
    }
    m_feedback.tick(std::chrono::steady_clock::now(),
                    [this](const std::uint8_t* bytes, std::size_t size) {
                        return m_midi->sendFeedback(bytes, size);
                    });
}

// ---- MIDI ---------------------------------------------------------------------------------

void RemoteControl::midiEvent(const midi::Event& event, const RemoteCommand& command) {
    if (m_learning) {
        const midi::Target target = *m_learning;
        if (target.action == midi::Action::Volume && event.type != midi::EventType::Control)
            return; // a slider follows controllers only: wait for one
        if (event.type == midi::EventType::Note && event.value == 0)
            return; // the note of a press let go: learned from its Note On
        midi::Binding binding{event.type, event.channel, event.number};
        midi::Mapping next = m_mapping;
        next.bind(target, binding);
        m_learning.reset();
        try {
            setMapping(next);
        } catch (const ECueError& e) {
            emit notice(e.message());
            return;
        }
        const QString from =
            m_midi ? QString::fromStdString(m_midi->sourceName(command)) : QStringLiteral("MIDI");
        emit notice(QStringLiteral("%1 に %2 を割り当てました (%3 から)")
                        .arg(targetName(target), bindingName(binding), from));
        emit learned(target, binding);
        return;
    }
    if (const auto effect = m_mapping.effectOf(event)) {
        // A release always reaches its pad, also while a dialog is open: a hold pad pressed
        // before never stays sounding.
        if (effect->release)
            m_view->release(effect->target.pad);
        else
            act(effect->target, effect->volume);
    }
}

void RemoteControl::setFeedbackProfile(midi::Profile profile) {
    saveMidiValue(kFeedbackKey, QString::fromStdString(midi::profileKey(profile)));
    if (profile == midi::Profile::None && m_midi) {
        // The lights go dark rather than keep showing a state that no longer follows.
        midi::Feedback off = m_feedback;
        for (int n = 1; n <= kPads; ++n)
            off.setLight(n, midi::Light::Empty);
        off.tick(std::chrono::steady_clock::now(),
                 [this](const std::uint8_t* bytes, std::size_t size) {
                     return m_midi->sendFeedback(bytes, size);
                 });
    }
    m_feedback.setProfile(profile);
    if (profile == midi::Profile::None)
        m_feedbackTimer->stop();
    else if (!m_stopped)
        m_feedbackTimer->start();
}

void RemoteControl::setConnectAllMidi(bool all) {
    saveMidiValue(kConnectAllKey, all ? QStringLiteral("1") : QStringLiteral("0"));
    m_connectAll = all;
    if (m_midi)
        m_midi->setConnectAll(all);
}

void RemoteControl::saveMidiValue(const QString& key, const QString& value) {
    settings::update(midiFile(), [&](SettingsFile& file) { file.setValue(key, value); });
}

void RemoteControl::learn(const midi::Target& target) {
    m_learning = target;
}

void RemoteControl::cancelLearn() {
    m_learning.reset();
}

void RemoteControl::loadMapping() {
    midi::Mapping mapping = midi::Mapping::defaults();
    SettingsFile file(midiFile());
    try {
        file.load();
    } catch (const ECueError& e) {
        emit notice(QStringLiteral("MIDI 割り当てを読めないため、初期設定を使います: ") +
                    e.message());
        m_mapping = mapping;
        return;
    }
    QStringList unreadable;
    for (int i = 0; i < midi::Mapping::kTargets; ++i) {
        const midi::Target target = midi::Mapping::targetAt(i);
        const QString key = QString::fromStdString(midi::Mapping::keyOf(target));
        if (!file.contains(key))
            continue;
        const QString text = file.value(key).trimmed();
        if (text.isEmpty()) {
            mapping.unbind(target);
            continue;
        }
        const auto binding = midi::Mapping::fromText(text.toStdString());
        if (!binding || !mapping.bind(target, *binding))
            unreadable << key;
    }
    const QString profileText = file.value(kFeedbackKey).trimmed();
    const auto profile = profileText.isEmpty() ? std::optional(midi::Profile::None)
                                               : midi::profileFromKey(profileText.toStdString());
    if (!profile)
        unreadable << kFeedbackKey;
    m_feedback.setProfile(profile.value_or(midi::Profile::None));
    m_connectAll = file.boolValue(kConnectAllKey, false);
    if (!unreadable.isEmpty())
        emit notice(QStringLiteral("MIDI 割り当てファイルの読めない行を無視しました: ") +
                    unreadable.join(QStringLiteral(", ")));
    m_mapping = mapping;
    m_feedback.setMapping(m_mapping);
}

void RemoteControl::saveMapping(const midi::Mapping& mapping) const {
    // The feedback keys of the same file are kept.
    settings::update(midiFile(), [&](SettingsFile& file) {
        for (int i = 0; i < midi::Mapping::kTargets; ++i) {
            const midi::Target target = midi::Mapping::targetAt(i);
            const auto binding = mapping.bindingOf(target);
            file.setValue(QString::fromStdString(midi::Mapping::keyOf(target)),
                          binding ? QString::fromStdString(midi::Mapping::toText(*binding))
                                  : QString());
        }
    });
}

void RemoteControl::setMapping(const midi::Mapping& mapping) {
    saveMapping(mapping);
    m_mapping = mapping;
    m_feedback.setMapping(m_mapping);
    tickFeedback();
    emit mappingChanged();
}

void RemoteControl::resetMapping() {
    setMapping(midi::Mapping::defaults());
}

QStringList RemoteControl::midiSystems() const {
    return m_midi ? toStringList(m_midi->openSystems()) : QStringList();
}

QStringList RemoteControl::midiOutputs() const {
    return m_midi ? toStringList(m_midi->connectedOutputs()) : QStringList();
}

QStringList RemoteControl::midiFeedbackTargets() const {
    return m_midi ? toStringList(m_midi->feedbackTargets()) : QStringList();
}

// ---- OSC settings -------------------------------------------------------------------------

std::optional<std::vector<in_addr_t>> RemoteControl::parseAllowList(const QString& text) {
    std::vector<in_addr_t> addresses;
    const QStringList entries =
        text.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    for (const QString& entry : entries) {
        in_addr address{};
        if (::inet_pton(AF_INET, entry.toLatin1().constData(), &address) != 1)
            return std::nullopt;
        if (std::find(addresses.begin(), addresses.end(), address.s_addr) == addresses.end())
            addresses.push_back(address.s_addr);
    }
    return addresses;
}

QString RemoteControl::allowListText(const std::vector<in_addr_t>& addresses) {
    QStringList list;
    for (in_addr_t a : addresses) {
        char text[INET_ADDRSTRLEN] = {};
        in_addr address{};
        address.s_addr = a;
        if (::inet_ntop(AF_INET, &address, text, sizeof text))
            list << QString::fromLatin1(text);
    }
    return list.join(QStringLiteral(", "));
}

OscConfig RemoteControl::readOscConfig(const QString& path) {
    const SettingsFile file = settings::read(path);
    OscConfig config;
    config.network = file.boolValue(settings::kOscNetwork, false);
    const int port = file.intValue(settings::kOscPort, OscConfig::kDefaultPort);
    if (port >= 0 && port <= 65535) // 0: any free port (not offered by the page)
        config.port = static_cast<std::uint16_t>(port);
    if (const auto allowed = parseAllowList(file.value(settings::kOscAllow)))
        config.allowed = *allowed;
    else
        config.network = false; // an allow-list that cannot be read must not open the network
    return config;
}

QString RemoteControl::applyOscConfig(const OscConfig& config) {
    settings::update(settingsFile(), [&](SettingsFile& file) {
        file.setValue(settings::kOscNetwork, config.network);
        file.setValue(settings::kOscPort, static_cast<int>(config.port));
        file.setValue(settings::kOscAllow, allowListText(config.allowed));
    });
    m_oscError = QString::fromStdString(m_osc->start(config));
    if (!m_oscError.isEmpty())
        emit notice(
            QStringLiteral("OSC のポート %1 を開けません: %2").arg(config.port).arg(m_oscError));
    return m_oscError;
}

QString RemoteControl::oscState() const {
    const OscConfig& config = m_osc->config();
    if (!m_osc->listening())
        return QStringLiteral("受信していません (ポート %1: %2)")
            .arg(config.port)
            .arg(m_oscError.isEmpty() ? QStringLiteral("停止中") : m_oscError);
    const QString where = config.network ? QStringLiteral("すべてのネットワーク")
                                         : QStringLiteral("このコンピューター (127.0.0.1)");
    QString text = QStringLiteral("%1 のポート %2 で受信中").arg(where).arg(m_osc->boundPort());
    if (config.network && !config.allowed.empty())
        text += QStringLiteral(" (送信元を限定)");
    return text;
}

} // namespace remote
