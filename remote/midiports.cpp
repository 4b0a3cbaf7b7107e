#include "midiports.h"

#include "midimapping.h"
#include "nocancel.h"
#include "spscqueue.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <set>

namespace remote {

namespace {

constexpr const char* kName = "cuedeck";
constexpr const char* kJackFeedback = "feedback";
// RtMidi's own queue is unused (a callback takes every message); it still wants a size.
constexpr unsigned kRtMidiQueue = 16;
// Feedback messages waiting for their system: far more than a full state of the board.
constexpr std::size_t kFeedbackQueue = 1024;

void quietJack(const char*) {}

void quietRtMidi(RtMidiError::Type, const std::string&, void*) {}

void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

bool alsaSequencerPresent() {
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

std::string clientOf(const std::string& portName) {
    return portName.substr(0, portName.find(':'));
}

// The kernel's loop-back port (ALSA "Midi Through", and its mirrors on JACK): whatever goes
// out on it comes straight back, so it is never joined.
bool isThrough(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* through : {"midi through", "midi-through", "midi_through"})
        if (name.find(through) != std::string::npos)
            return true;
    return false;
}

// Calls `visit(client, port)` for every port of every client of the ALSA sequencer, until it
// returns false.
template <typename Visit> void forEachAlsaPort(snd_seq_t* seq, Visit visit) {
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0)
            if (!visit(client, port))
                return;
    }
}

} // namespace

std::mutex& jackClientMutex() {
    static std::mutex mutex;
    return mutex;
}

namespace {

struct FeedbackMessage {
    std::uint8_t size = 0;
    std::uint8_t bytes[3] = {};
};

using FeedbackQueue = moodycamel::ReaderWriterQueue<FeedbackMessage>;

} // namespace

struct MidiPorts::Queues {
    FeedbackQueue alsa{kFeedbackQueue};
    FeedbackQueue jack{kFeedbackQueue};
    std::atomic<bool> alsaOpen{false};
    std::atomic<bool> jackOpen{false};
};

// ---- ALSA ---------------------------------------------------------------------------------

struct MidiPorts::Port {
    int lane = 0;
    CommandInbox* inbox = nullptr;
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<RtMidiOut> out;
    // A client of our own that makes the subscriptions (RtMidi connects one port at most),
    // and the addresses of the two "cuedeck" ports.
    snd_seq_t* seq = nullptr;
    snd_seq_addr_t ownIn{}, ownOut{};
    bool ownInKnown = false, ownOutKnown = false;
    struct Joined {
        std::string name;
        snd_seq_addr_t address;
    };
    std::set<std::string> seenOutputs, seenInputs; // present at the last look
    std::vector<Joined> outputs, inputs;           // joined by us, still present

    ~Port() {
        in.reset(); // closes the port and stops its thread: no callback after this
        out.reset();
        if (seq)
            snd_seq_close(seq);
    }

    static void onMessage(double, std::vector<unsigned char>* message, void* user) {
        auto* port = static_cast<Port*>(user);
        if (!message)
            return;
        if (const auto event = midi::parse(message->data(), message->size())) {
            RemoteCommand command = midi::toCommand(*event);
            command.system = static_cast<std::uint8_t>(System::Alsa);
            port->inbox->push(port->lane, command);
        }
    }

    bool open() {
        try {
            in = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, kName, kRtMidiQueue);
            in->setErrorCallback(quietRtMidi, nullptr);
            in->ignoreTypes(true, true, true); // sysex, clock and active sensing never act
            in->setCallback(&Port::onMessage, this);
            in->openVirtualPort(kName);
        } catch (const RtMidiError&) {
            in.reset();
            return false;
        }
        try {
            out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, kName);
            out->setErrorCallback(quietRtMidi, nullptr);
            out->openVirtualPort(kName);
        } catch (const RtMidiError&) {
            out.reset(); // the input works without it
        }
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            seq = nullptr;
            return true; // the ports are there; applications can still connect to them
        }
        snd_seq_set_client_name(seq, "cuedeck-connect");
        return true;
    }

    // Finds this process's "cuedeck" port that has `capability` (the input takes WRITE, the
    // output READ).
    void findOwn(unsigned capability, snd_seq_addr_t& address, bool& known) {
        if (!seq || known)
            return;
        const int self = snd_seq_client_id(seq);
        forEachAlsaPort(seq, [&](snd_seq_client_info_t* client, const snd_seq_port_info_t* port) {
            // A kernel that does not tell a client's process gives -1: the name must do.
            const int pid = snd_seq_client_info_get_pid(client);
            if (snd_seq_client_info_get_client(client) == self ||
                (pid != ::getpid() && pid != -1) ||
                std::string(snd_seq_client_info_get_name(client)) != kName)
                return true;
            if (std::string(snd_seq_port_info_get_name(port)) != kName ||
                !(snd_seq_port_info_get_capability(port) & capability))
                return true;
            address = *snd_seq_port_info_get_addr(port);
            known = true;
            return false;
        });
    }

    // The ports of other processes that have `wanted`, by "client:port name" with their
    // address: the kernel's clients (devices), or every client with `all`.
    std::vector<Joined> ports(unsigned wanted, bool all) const {
        std::vector<Joined> found;
        forEachAlsaPort(seq, [&](snd_seq_client_info_t* client, const snd_seq_port_info_t* port) {
            const std::string name = snd_seq_client_info_get_name(client);
            // The system client, this process, PipeWire's own bridge clients, Midi Through.
            if (snd_seq_client_info_get_client(client) == SND_SEQ_CLIENT_SYSTEM ||
                snd_seq_client_info_get_pid(client) == ::getpid() ||
                name.rfind("PipeWire", 0) == 0 || isThrough(name))
                return true;
            if (!all && snd_seq_client_info_get_type(client) != SND_SEQ_KERNEL_CLIENT)
                return true;
            const unsigned caps = snd_seq_port_info_get_capability(port);
            if ((caps & wanted) == wanted && !(caps & SND_SEQ_PORT_CAP_NO_EXPORT))
                found.push_back({name + ":" + snd_seq_port_info_get_name(port),
                                 *snd_seq_port_info_get_addr(port)});
            return true;
        });
        return found;
    }

    bool subscribe(const snd_seq_addr_t& sender, const snd_seq_addr_t& dest, bool join) {
        snd_seq_port_subscribe_t* sub = nullptr;
        snd_seq_port_subscribe_alloca(&sub);
        snd_seq_port_subscribe_set_sender(sub, &sender);
        snd_seq_port_subscribe_set_dest(sub, &dest);
        if (!join)
            return snd_seq_unsubscribe_port(seq, sub) >= 0;
        const int result = snd_seq_subscribe_port(seq, sub);
        return result >= 0 || result == -EBUSY; // -EBUSY: connected already
    }

    static std::string keyOf(const Joined& port) {
        return port.name + "@" + std::to_string(port.address.client) + ":" +
               std::to_string(port.address.port);
    }

    // Joins the ports that appeared since the last look, one direction. Returns whether one
    // was joined.
    bool joinNew(unsigned wanted, bool all, bool toOwn, const snd_seq_addr_t& own,
                 std::set<std::string>& seen, std::vector<Joined>& joined) {
        bool any = false;
        std::set<std::string> present;
        for (const Joined& port : ports(wanted, all)) {
            const std::string key = keyOf(port);
            present.insert(key);
            if (seen.count(key))
                continue;
            if (toOwn ? subscribe(port.address, own, true) : subscribe(own, port.address, true)) {
                joined.push_back(port);
                any = true;
            } else {
                present.erase(key); // tried again at the next look
            }
        }
        // A port that went away is forgotten, so that it is joined again on its return.
        std::erase_if(joined, [&](const Joined& port) { return !present.count(keyOf(port)); });
        seen = std::move(present);
        return any;
    }

    // Undoes every subscription made here, so that the next look joins by a new rule.
    void leaveAll() {
        for (const Joined& port : outputs)
            subscribe(port.address, ownIn, false);
        for (const Joined& port : inputs)
            subscribe(ownOut, port.address, false);
        outputs.clear();
        inputs.clear();
        seenOutputs.clear();
        seenInputs.clear();
    }

    // Returns whether the feedback output gained a connection.
    bool look(bool all) {
        if (!seq)
            return false;
        findOwn(SND_SEQ_PORT_CAP_WRITE, ownIn, ownInKnown);
        if (out)
            findOwn(SND_SEQ_PORT_CAP_READ, ownOut, ownOutKnown);
        if (ownInKnown)
            joinNew(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, all, true, ownIn,
                    seenOutputs, outputs);
        return ownOutKnown && joinNew(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, all,
                                      false, ownOut, seenInputs, inputs);
    }

    void send(FeedbackQueue& queue) {
        FeedbackMessage m;
        while (queue.try_dequeue(m)) {
            if (!out)
                continue;
            try {
                out->sendMessage(m.bytes, m.size);
            } catch (const RtMidiError&) {
                // A port that went away mid-send: the message is lost, the next one tries.
            }
        }
    }
};

// ---- JACK ---------------------------------------------------------------------------------

struct MidiPorts::JackSide {
    MidiPorts* owner = nullptr;
    CommandInbox* inbox = nullptr;
    FeedbackQueue* feedback = nullptr;
    int lane = 0;
    jack_client_t* client = nullptr;
    jack_port_t* in = nullptr;
    jack_port_t* out = nullptr;
    std::atomic<bool> lost{false};
    // Cycles run, counted by the process callback: a server that dies without telling its
    // clients (the shutdown callback is not always called) shows as cycles that stop.
    std::atomic<std::uint64_t> cycles{0};
    std::uint64_t cyclesSeen = 0;
    int stillLooks = 0;
    static constexpr int kStillLooks = 3;
    // Each output we join gets an input of its own, "cuedeck:<client>/<port>", so that a
    // message tells where it came from; "cuedeck" takes what the operator connects by hand,
    // and the outputs beyond kSources. A slot keeps its port while the client lives.
    static constexpr std::size_t kSources = 16;
    std::array<std::atomic<jack_port_t*>, kSources> sources{};
    std::array<std::string, kSources> sourceNames;
    // Ports present at the last look, those joined by us, and the connections to make again
    // when JACK comes back (kept over the client's loss).
    std::set<std::string> seenOutputs, seenInputs;
    std::vector<std::string> joinedOutputs, joinedInputs;
    std::set<std::string> keepOutputs, keepInputs;
    std::vector<std::string> connected, targets; // the connections now, for the settings page

    ~JackSide() { close(); }

    void read(jack_port_t* port, std::uint8_t index, jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(port, frames);
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0)
                continue;
            if (const auto parsed = midi::parse(event.buffer, event.size)) {
                RemoteCommand command = midi::toCommand(*parsed);
                command.system = static_cast<std::uint8_t>(System::Jack);
                command.port = index;
                inbox->push(lane, command);
            }
        }
    }

    // The inbox's push and the feedback queue's pop must not be cut off halfway.
    static int process(jack_nframes_t frames, void* arg) {
        withoutCancel([&] {
            auto* self = static_cast<JackSide*>(arg);
            self->cycles.fetch_add(1, std::memory_order_relaxed);
            self->read(self->in, 0, frames);
            for (std::size_t i = 0; i < kSources; ++i)
                if (jack_port_t* port = self->sources[i].load(std::memory_order_acquire))
                    self->read(port, static_cast<std::uint8_t>(i + 1), frames);
            void* outBuffer = jack_port_get_buffer(self->out, frames);
            jack_midi_clear_buffer(outBuffer);
            // What does not fit into this cycle's buffer waits for the next one.
            while (const FeedbackMessage* m = self->feedback->peek()) {
                if (jack_midi_event_write(outBuffer, 0, m->bytes, m->size) != 0)
                    break;
                self->feedback->pop();
            }
        });
        return 0;
    }

    static void shutdown(jack_status_t, const char*, void* arg) {
        withoutCancel([&] {
            auto* self = static_cast<JackSide*>(arg);
            self->lost = true;
            self->owner->wake();
        });
    }

    bool open() {
        {
            std::lock_guard lock(jackClientMutex());
            client = jack_client_open(kName, JackNoStartServer, nullptr);
        }
        if (!client)
            return false;
        in = jack_port_register(client, kName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        out =
            jack_port_register(client, kJackFeedback, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (!in || !out || jack_set_process_callback(client, &JackSide::process, this) != 0) {
            close();
            return false;
        }
        jack_on_info_shutdown(client, &JackSide::shutdown, this);
        lost = false;
        cycles = 0;
        cyclesSeen = 0;
        stillLooks = 0;
        // Nobody reads the queue while no client runs: what waited there is out of date.
        FeedbackMessage stale;
        while (feedback->try_dequeue(stale)) {
        }
        seenOutputs.clear();
        seenInputs.clear();
        joinedOutputs.clear();
        joinedInputs.clear();
        if (jack_activate(client) != 0) {
            close();
            return false;
        }
        return true;
    }

    void close() {
        if (client) {
            std::lock_guard lock(jackClientMutex());
            jack_client_close(client); // also after a shutdown: frees what the client holds
        }
        client = nullptr;
        in = out = nullptr;
        for (std::size_t i = 0; i < kSources; ++i) {
            sources[i] = nullptr;
            sourceNames[i].clear();
        }
        connected.clear();
        targets.clear();
    }

    // The input that the output `name` is joined to: its own (made now with `make`), or the
    // shared one when all slots are taken.
    jack_port_t* inputFor(const std::string& name, bool make) {
        std::size_t free = kSources;
        for (std::size_t i = 0; i < kSources; ++i) {
            if (sources[i] && sourceNames[i] == name)
                return sources[i];
            if (!sources[i] && free == kSources)
                free = i;
        }
        if (!make || free == kSources)
            return in;
        std::string shortName = name;
        std::replace(shortName.begin(), shortName.end(), ':', '/');
        const std::size_t room = static_cast<std::size_t>(jack_port_name_size()) - 1 -
                                 std::strlen(jack_get_client_name(client)) - 1;
        if (shortName.size() > room)
            shortName.resize(room);
        jack_port_t* port = jack_port_register(client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                               JackPortIsInput, 0);
        if (!port)
            return in;
        sourceNames[free] = name;
        sources[free].store(port, std::memory_order_release);
        return port;
    }

    std::vector<jack_port_t*> inputs() const {
        std::vector<jack_port_t*> ports{in};
        for (const auto& port : sources)
            if (port)
                ports.push_back(port);
        return ports;
    }

    std::vector<std::string> portNames(unsigned long flags) const {
        std::vector<std::string> names;
        if (const char** list = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags)) {
            for (const char** p = list; *p; ++p)
                names.emplace_back(*p);
            jack_free(list);
        }
        return names;
    }

    std::vector<std::string> connectionsOf(jack_port_t* port) const {
        std::vector<std::string> names;
        if (const char** list = jack_port_get_connections(port)) {
            for (const char** p = list; *p; ++p)
                names.emplace_back(*p);
            jack_free(list);
        }
        return names;
    }

    // Joins one direction: `flags` selects the other side's ports (outputs go to the inputs,
    // the feedback output goes to inputs).
    void joinNew(unsigned long flags, bool all, bool skipBridges, std::set<std::string>& seen,
                 std::vector<std::string>& joined, std::set<std::string>& keep,
                 std::vector<std::string>& now) {
        const bool toOwn = flags & JackPortIsOutput;
        std::set<std::string> present;
        for (const std::string& name : portNames(flags)) {
            jack_port_t* port = jack_port_by_name(client, name.c_str());
            if (!port || jack_port_is_mine(client, port) || isThrough(name))
                continue;
            const std::string owner = clientOf(name);
            if (skipBridges && (owner == "Midi-Bridge" || owner == "a2j"))
                continue;
            present.insert(name);
            if (seen.count(name))
                continue;
            const bool hardware = jack_port_flags(port) & JackPortIsPhysical;
            if (!keep.count(name) && !hardware && !all)
                continue;
            const int result =
                toOwn ? jack_connect(client, name.c_str(), jack_port_name(inputFor(name, true)))
                      : jack_connect(client, jack_port_name(out), name.c_str());
            if (result == 0 || result == EEXIST)
                joined.push_back(name);
            else // a port seen before its client runs cannot be connected yet: the next look
                present.erase(name);
        }
        std::erase_if(joined, [&](const std::string& name) { return !present.count(name); });
        seen = std::move(present);
        // What is connected now, by us or by the operator, is what comes back after a loss;
        // a kept port that is absent for now stays kept.
        now.clear();
        for (jack_port_t* own : toOwn ? inputs() : std::vector<jack_port_t*>{out})
            for (const std::string& name : connectionsOf(own))
                if (std::find(now.begin(), now.end(), name) == now.end())
                    now.push_back(name);
        std::set<std::string> next(now.begin(), now.end());
        for (const std::string& name : keep)
            if (!seen.count(name))
                next.insert(name);
        keep = std::move(next);
    }

    void leaveAll() {
        if (!client)
            return;
        for (const std::string& name : joinedOutputs)
            jack_disconnect(client, name.c_str(), jack_port_name(inputFor(name, false)));
        for (const std::string& name : joinedInputs)
            jack_disconnect(client, jack_port_name(out), name.c_str());
        for (const std::string& name : joinedOutputs)
            keepOutputs.erase(name);
        for (const std::string& name : joinedInputs)
            keepInputs.erase(name);
        joinedOutputs.clear();
        joinedInputs.clear();
        seenOutputs.clear();
        seenInputs.clear();
    }

    // Returns whether the feedback output gained a connection.
    bool look(bool all, bool skipBridges) {
        if (!client)
            return false;
        const std::uint64_t now = cycles.load(std::memory_order_relaxed);
        stillLooks = now == cyclesSeen ? stillLooks + 1 : 0;
        cyclesSeen = now;
        if (stillLooks >= kStillLooks) {
            lost = true; // closed and tried again at the next look
            return false;
        }
        const std::vector<std::string> before = targets;
        joinNew(JackPortIsOutput, all, skipBridges, seenOutputs, joinedOutputs, keepOutputs,
                connected);
        joinNew(JackPortIsInput, all, skipBridges, seenInputs, joinedInputs, keepInputs, targets);
        return std::any_of(targets.begin(), targets.end(), [&](const std::string& name) {
            return std::find(before.begin(), before.end(), name) == before.end();
        });
    }
};

// ---- the watcher --------------------------------------------------------------------------

MidiPorts::MidiPorts(CommandInbox& inbox, int alsaLane, int jackLane)
    : m_inbox(inbox), m_lanes{alsaLane, jackLane}, m_queues(std::make_unique<Queues>()) {}

MidiPorts::~MidiPorts() {
    {
        std::lock_guard lock(m_stopMutex);
        m_stop = true;
    }
    m_stopCondition.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_alsa.reset();
    m_jack.reset();
}

void MidiPorts::start(std::chrono::milliseconds interval) {
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this, interval] { watch(interval); });
}

void MidiPorts::setConnectAll(bool all) {
    if (m_connectAll.exchange(all) != all)
        wake();
}

bool MidiPorts::sendFeedback(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0 || size > 3)
        return false;
    FeedbackMessage m;
    m.size = static_cast<std::uint8_t>(size);
    std::memcpy(m.bytes, bytes, size);
    bool queued = false;
    if (m_queues->jackOpen.load())
        queued = m_queues->jack.try_enqueue(m) || queued;
    if (m_queues->alsaOpen.load() && m_queues->alsa.try_enqueue(m)) {
        queued = true;
        wake(); // the watcher sends to ALSA
    }
    return queued;
}

std::vector<std::string> MidiPorts::openSystems() const {
    std::lock_guard lock(m_infoMutex);
    return m_openSystems;
}

std::vector<std::string> MidiPorts::connectedOutputs() const {
    std::lock_guard lock(m_infoMutex);
    return m_connected;
}

std::vector<std::string> MidiPorts::feedbackTargets() const {
    std::lock_guard lock(m_infoMutex);
    return m_targets;
}

std::string MidiPorts::sourceName(const RemoteCommand& command) const {
    const bool jack = command.system == static_cast<int>(System::Jack);
    const std::string system = jack ? "JACK" : "ALSA";
    std::lock_guard lock(m_infoMutex);
    if (jack && command.port > 0 && command.port <= m_sources.size() &&
        !m_sources[command.port - 1].empty())
        return system + ": " + m_sources[command.port - 1];
    std::string names;
    for (const std::string& entry : m_connected) {
        if (entry.rfind(system + ": ", 0) != 0)
            continue;
        names += names.empty() ? ": " : " / ";
        names += entry.substr(system.size() + 2);
    }
    return system + names;
}

void MidiPorts::wake() {
    {
        std::lock_guard lock(m_stopMutex);
        m_woken = true;
    }
    m_stopCondition.notify_all();
}

void MidiPorts::openSystemsMissing() {
    if (!m_alsa && alsaSequencerPresent()) {
        auto port = std::make_unique<Port>();
        port->lane = m_lanes[0];
        port->inbox = &m_inbox;
        if (port->open()) {
            m_alsa = std::move(port);
            m_queues->alsaOpen = m_alsa->out != nullptr;
        }
    }
    if (!m_jack) {
        m_jack = std::make_unique<JackSide>();
        m_jack->owner = this;
        m_jack->inbox = &m_inbox;
        m_jack->feedback = &m_queues->jack;
        m_jack->lane = m_lanes[1];
    }
    if (m_jack->client && m_jack->lost) {
        m_queues->jackOpen = false;
        m_jack->close();
    }
    // While no client exists, every look tries JACK again: after a restart of the server or
    // of PipeWire the ports return within a look or two.
    if (!m_jack->client && m_jack->open())
        m_queues->jackOpen = true;
}

void MidiPorts::watch(std::chrono::milliseconds interval) {
    // ALSA and JACK print their own complaints on stderr; a machine without them is normal.
    snd_lib_error_set_handler(quietAlsa);
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    auto nextLook = std::chrono::steady_clock::now();
    bool all = m_connectAll.load();
    for (;;) {
        const bool lost = m_jack && m_jack->lost;
        const bool changed = m_connectAll.load() != all;
        if (std::chrono::steady_clock::now() >= nextLook || lost || changed) {
            if (changed) {
                all = !all;
                if (m_alsa)
                    m_alsa->leaveAll();
                if (m_jack)
                    m_jack->leaveAll();
            }
            openSystemsMissing();
            lookAtSystems();
            nextLook = std::chrono::steady_clock::now() + interval;
        }
        if (m_alsa)
            m_alsa->send(m_queues->alsa);

        std::unique_lock lock(m_stopMutex);
        m_stopCondition.wait_until(lock, nextLook, [this] { return m_stop || m_woken; });
        if (m_stop)
            return;
        m_woken = false;
    }
}

void MidiPorts::lookAtSystems() {
    const bool all = m_connectAll.load();
    bool gained = false;
    std::vector<std::string> systems, connected, targets;
    if (m_alsa) {
        try {
            gained = m_alsa->look(all) || gained;
        } catch (const RtMidiError&) {
            // A system that went away mid-look: the next look tries again.
        }
        systems.push_back("ALSA");
        for (const Port::Joined& port : m_alsa->outputs)
            connected.push_back("ALSA: " + port.name);
        for (const Port::Joined& port : m_alsa->inputs)
            targets.push_back("ALSA: " + port.name);
    }
    std::vector<std::string> sources;
    if (m_jack && m_jack->client) {
        gained = m_jack->look(all, m_alsa != nullptr) || gained;
        sources.assign(m_jack->sourceNames.begin(), m_jack->sourceNames.end());
        systems.push_back("JACK");
        for (const std::string& name : m_jack->connected)
            connected.push_back("JACK: " + name);
        for (const std::string& name : m_jack->targets)
            targets.push_back("JACK: " + name);
    }
    if (gained)
        ++m_feedbackGeneration;
    std::lock_guard lock(m_infoMutex);
    m_openSystems = std::move(systems);
    m_connected = std::move(connected);
    m_targets = std::move(targets);
    m_sources = std::move(sources);
}

} // namespace remote
