#include "midiinput.h"

#include "midimapping.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace remote {

namespace {

constexpr const char* kName = "cuedeck";
// RtMidi's own queue is unused (a callback takes every message); it still wants a size.
constexpr unsigned kRtMidiQueue = 16;
// A system that is not running is looked for again after this many looks.
constexpr int kLooksBetweenProbes = 3;

void quietJack(const char*) {}

void quietRtMidi(RtMidiError::Type, const std::string&, void*) {}

void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// Whether a JACK server answers, without starting one and without a word on stderr when none
// does. The probe client is closed at once.
bool jackRunning() {
    static const bool silenced = [] {
        jack_set_error_function(quietJack);
        jack_set_info_function(quietJack);
        return true;
    }();
    (void)silenced;
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("cuedeck-probe", JackNoStartServer, &status);
    if (!probe)
        return false;
    jack_client_close(probe);
    return true;
}

bool alsaSequencerPresent() {
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

std::string clientOf(const std::string& portName) {
    return portName.substr(0, portName.find(':'));
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

struct MidiInput::Port {
    System system = System::Alsa;
    int lane = 0;
    CommandInbox* inbox = nullptr;
    std::unique_ptr<RtMidiIn> in;
    std::set<std::string> seen; // outputs present at the last look
    std::vector<std::string> connected;
    // ALSA: a client of our own that makes the subscriptions (RtMidi connects one output
    // per input at most), and the address of the "cuedeck" port.
    snd_seq_t* seq = nullptr;
    snd_seq_addr_t own{};
    bool ownKnown = false;

    ~Port() {
        in.reset(); // closes the port and stops its thread: no callback after this
        if (seq)
            snd_seq_close(seq);
    }

    static void onMessage(double, std::vector<unsigned char>* message, void* user) {
        auto* port = static_cast<Port*>(user);
        if (!message)
            return;
        if (const auto event = midi::parse(message->data(), message->size()))
            port->inbox->push(port->lane, midi::toCommand(*event));
    }

    bool open() {
        const RtMidi::Api api = system == System::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
        try {
            in = std::make_unique<RtMidiIn>(api, kName, kRtMidiQueue);
            in->setErrorCallback(quietRtMidi, nullptr);
            in->ignoreTypes(true, true, true); // sysex, clock and active sensing never act
            in->setCallback(&Port::onMessage, this);
            in->openVirtualPort(kName);
        } catch (const RtMidiError&) {
            in.reset();
            return false;
        }
        if (system == System::Alsa) {
            if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
                seq = nullptr;
                return true; // the port is there; applications can still connect to it
            }
            snd_seq_set_client_name(seq, "cuedeck-connect");
        }
        return true;
    }

    // ALSA: finds the "cuedeck" port of this process.
    void findOwnAlsaPort() {
        if (!seq || ownKnown)
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
                !(snd_seq_port_info_get_capability(port) & SND_SEQ_PORT_CAP_WRITE))
                return true;
            own = *snd_seq_port_info_get_addr(port);
            ownKnown = true;
            return false;
        });
    }

    // ALSA: every output of another process, by "client:port name" with its address.
    std::vector<std::pair<std::string, snd_seq_addr_t>> alsaOutputs() const {
        std::vector<std::pair<std::string, snd_seq_addr_t>> outputs;
        forEachAlsaPort(seq, [&](snd_seq_client_info_t* client, const snd_seq_port_info_t* port) {
            const std::string name = snd_seq_client_info_get_name(client);
            // The system client, this process, and PipeWire's own bridge clients.
            if (snd_seq_client_info_get_client(client) == SND_SEQ_CLIENT_SYSTEM ||
                snd_seq_client_info_get_pid(client) == ::getpid() || name.rfind("PipeWire", 0) == 0)
                return true;
            const unsigned caps = snd_seq_port_info_get_capability(port);
            const unsigned wanted = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
            if ((caps & wanted) == wanted && !(caps & SND_SEQ_PORT_CAP_NO_EXPORT))
                outputs.emplace_back(name + ":" + snd_seq_port_info_get_name(port),
                                     *snd_seq_port_info_get_addr(port));
            return true;
        });
        return outputs;
    }

    bool subscribe(const snd_seq_addr_t& source) {
        snd_seq_port_subscribe_t* sub = nullptr;
        snd_seq_port_subscribe_alloca(&sub);
        snd_seq_port_subscribe_set_sender(sub, &source);
        snd_seq_port_subscribe_set_dest(sub, &own);
        const int result = snd_seq_subscribe_port(seq, sub);
        return result >= 0 || result == -EBUSY; // -EBUSY: connected already
    }

    // Connects the outputs that appeared since the last look. `skipBridges`: leave JACK's
    // mirrors of ALSA devices alone.
    void connectNewOutputs(bool skipBridges) {
        std::set<std::string> present;
        if (system == System::Alsa) {
            findOwnAlsaPort();
            if (!ownKnown)
                return;
            for (const auto& [name, address] : alsaOutputs()) {
                const std::string key = name + "@" + std::to_string(address.client) + ":" +
                                        std::to_string(address.port);
                present.insert(key);
                if (!seen.count(key) && subscribe(address))
                    connected.push_back(name);
            }
        } else {
            const unsigned count = in->getPortCount();
            std::vector<std::string> names;
            for (unsigned i = 0; i < count; ++i)
                names.push_back(in->getPortName(i));
            for (unsigned i = 0; i < names.size(); ++i) {
                const std::string& name = names[i];
                if (name.empty())
                    continue;
                present.insert(name);
                if (seen.count(name))
                    continue;
                const std::string client = clientOf(name);
                if (skipBridges && (client == "Midi-Bridge" || client == "a2j"))
                    continue;
                // The list may have changed since it was read: connect only when the index
                // still names this output.
                if (in->getPortName(i) != name)
                    continue;
                in->openPort(i, kName); // joins the output to the same "cuedeck" port
                connected.push_back(name);
            }
        }
        // An output that went away is forgotten, so that it is connected again on its return.
        std::erase_if(connected, [&](const std::string& name) {
            return std::none_of(present.begin(), present.end(), [&](const std::string& key) {
                return key == name || key.rfind(name + "@", 0) == 0;
            });
        });
        seen = std::move(present);
    }
};

MidiInput::MidiInput(CommandInbox& inbox, int alsaLane, int jackLane)
    : m_inbox(inbox), m_lanes{alsaLane, jackLane} {}

MidiInput::~MidiInput() {
    {
        std::lock_guard lock(m_stopMutex);
        m_stop = true;
    }
    m_stopCondition.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_ports.clear();
}

void MidiInput::start(std::chrono::milliseconds interval) {
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this, interval] { watch(interval); });
}

std::vector<std::string> MidiInput::openSystems() const {
    std::lock_guard lock(m_infoMutex);
    return m_openSystems;
}

std::vector<std::string> MidiInput::connectedOutputs() const {
    std::lock_guard lock(m_infoMutex);
    return m_connected;
}

void MidiInput::watch(std::chrono::milliseconds interval) {
    // ALSA prints its own complaints on stderr; a machine without a sequencer is normal here.
    snd_lib_error_set_handler(quietAlsa);
    int look = 0;
    for (;;) {
        if (look % kLooksBetweenProbes == 0) {
            for (System system : {System::Alsa, System::Jack}) {
                const bool open = std::any_of(m_ports.begin(), m_ports.end(),
                                              [&](const auto& p) { return p->system == system; });
                if (open)
                    continue;
                const bool running =
                    system == System::Alsa ? alsaSequencerPresent() : jackRunning();
                if (!running)
                    continue;
                auto port = std::make_unique<Port>();
                port->system = system;
                port->lane = m_lanes[system == System::Alsa ? 0 : 1];
                port->inbox = &m_inbox;
                if (port->open())
                    m_ports.push_back(std::move(port));
            }
        }
        ++look;
        lookAtSystems();

        std::unique_lock lock(m_stopMutex);
        if (m_stopCondition.wait_for(lock, interval, [this] { return m_stop; }))
            return;
    }
}

void MidiInput::lookAtSystems() {
    const bool alsaOpen = std::any_of(m_ports.begin(), m_ports.end(),
                                      [](const auto& p) { return p->system == System::Alsa; });
    std::vector<std::string> systems;
    std::vector<std::string> connected;
    for (const auto& port : m_ports) {
        try {
            port->connectNewOutputs(alsaOpen);
        } catch (const RtMidiError&) {
            // A system that went away mid-look: the next look tries again.
        }
        systems.push_back(port->system == System::Alsa ? "ALSA" : "JACK");
        for (const std::string& name : port->connected)
            connected.push_back(systems.back() + ": " + name);
    }
    std::lock_guard lock(m_infoMutex);
    m_openSystems = std::move(systems);
    m_connected = std::move(connected);
}

} // namespace remote
