#pragma once
// The MIDI ports: on every MIDI system that runs (the ALSA sequencer and JACK, PipeWire's JACK
// included) an input "cuedeck" that the controllers' outputs are joined to, and an output that
// carries the pads' states back to their lights (ALSA: the port "cuedeck" of a second client
// "cuedeck"; JACK: "cuedeck:feedback"). On JACK each joined output gets an input of its own
// beside "cuedeck:cuedeck" ("cuedeck:system/midi_capture_1"), so that learn can name it. A watcher
// thread looks at the systems and their ports every half second; it never runs on the UI thread, so
// a slow MIDI system cannot freeze the window. A machine without any MIDI system is quiet: no
// message, no delay.
//
// What is joined by default: hardware only. On ALSA that is the kernel's clients (the ports of
// a device), on JACK the physical ports; a program's ports are left alone, so that a DAW or a
// MIDI file player on the show machine does not fire pads with its drum notes. connectAll
// joins software ports too. "Midi Through" and this program's own ports are never joined: they
// would send the feedback straight back in. The feedback output goes to the devices' inputs by
// the same rule.
//
// An output that the operator disconnects stays disconnected until it goes away and comes
// back; one that the operator connects is kept. Under PipeWire or a2jmidid, JACK shows the ALSA
// devices a second time through a bridge; while the ALSA sequencer is open, those bridge ports
// are left alone, so that a key is not heard twice.
//
// When JACK goes away (the server or PipeWire restarts), its shutdown callback wakes the
// watcher, which closes the client and tries JACK again at every look until it answers; the
// input and the feedback output then come back with the connections they had. A server that
// vanishes without calling the callback is noticed when its cycles stop for three looks.
//
// Incoming messages are parsed on each system's own thread (JACK's is its real-time process
// thread), and the two kinds that can act (Note On, Control Change) cross to the UI thread
// through the command inbox without locking or allocating. Feedback goes the other way through
// one lock-free queue per system: JACK's process thread writes it out at its next cycle, the
// watcher thread sends it to ALSA.

#include "commandinbox.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace remote {

// libjack does not open or close two clients of one process at the same time safely: every
// jack_client_open and jack_client_close of this process holds this lock.
std::mutex& jackClientMutex();

class MidiPorts {
public:
    enum class System { Alsa, Jack };
    static constexpr std::chrono::milliseconds kLookInterval{500};

    // `lanes`: the inbox lanes of the ALSA and JACK inputs.
    MidiPorts(CommandInbox& inbox, int alsaLane, int jackLane);
    // Stops the watcher and closes the ports; no message is pushed after it returns.
    ~MidiPorts();
    MidiPorts(const MidiPorts&) = delete;
    MidiPorts& operator=(const MidiPorts&) = delete;

    // Starts the watcher. `interval` between two looks at the systems.
    void start(std::chrono::milliseconds interval = kLookInterval);

    // Joins software ports too (see above); applied at the next look, to ports that appear from
    // then on and to those present that were left alone.
    void setConnectAll(bool all);
    bool connectAll() const { return m_connectAll.load(); }

    // Queues one short message (1..3 bytes) for the feedback output of every open system. UI
    // thread only; never blocks. False when no output is open or its queue is full.
    bool sendFeedback(const std::uint8_t* bytes, std::size_t size);
    // Counts up each time a feedback output gains a connection (a controller plugged in, a
    // server back): the sender then sends the whole state again.
    unsigned feedbackConnections() const { return m_feedbackGeneration.load(); }

    // What the ports have open and connected, for the settings page ("ALSA", "JACK"; the
    // outputs joined to the input and the inputs the feedback goes to, as each system names
    // them, after the system: "JACK: system:midi_capture_1").
    std::vector<std::string> openSystems() const;
    std::vector<std::string> connectedOutputs() const;
    std::vector<std::string> feedbackTargets() const;
    // Where a command from the input came from, for learn: "JACK: system:midi_capture_1".
    // On JACK each joined output has an input of its own; what reaches the shared one (the
    // operator's own connections) and ALSA's one input name every output joined there
    // ("ALSA: a:out / b:out"); the system alone when none is.
    std::string sourceName(const RemoteCommand& command) const;

    struct Port;     // one ALSA input and output, public for its callback
    struct JackSide; // the JACK client, public for its callbacks

private:
    void watch(std::chrono::milliseconds interval);
    void openSystemsMissing();
    void lookAtSystems();
    void wake();

    CommandInbox& m_inbox;
    int m_lanes[2];
    std::atomic<bool> m_connectAll{false};
    std::atomic<unsigned> m_feedbackGeneration{0};
    std::unique_ptr<Port> m_alsa;     // watcher thread only (and the destructor)
    std::unique_ptr<JackSide> m_jack; // the object lives as long as this; its client comes and goes
    struct Queues;
    std::unique_ptr<Queues> m_queues;

    mutable std::mutex m_infoMutex;
    std::vector<std::string> m_openSystems;
    std::vector<std::string> m_connected;
    std::vector<std::string> m_targets;
    std::vector<std::string> m_sources; // JACK: the output joined to each own input

    std::mutex m_stopMutex;
    std::condition_variable m_stopCondition;
    bool m_stop = false;
    bool m_woken = false;
    std::thread m_thread;
};

} // namespace remote
