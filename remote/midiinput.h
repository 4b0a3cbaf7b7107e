#pragma once
// The MIDI input: a port named "cuedeck" on every MIDI system that runs (the ALSA sequencer and
// JACK, PipeWire's JACK included), connected to every hardware or application output present
// and to those that appear later. A watcher thread looks at the systems and their ports once a
// second; it never runs on the UI thread, so a slow MIDI system cannot freeze the window. A
// machine without any MIDI system is quiet: no message, no delay.
//
// Messages arrive on each system's own thread (JACK's is its real-time process thread): they
// are parsed there, and the two kinds that can act (Note On, Control Change) cross to the UI
// thread through the command inbox without locking or allocating.
//
// An output that the operator disconnects stays disconnected until it goes away and comes
// back. Under PipeWire or a2jmidid, JACK shows the ALSA devices a second time through a bridge;
// while the ALSA sequencer is open, those bridge ports are left alone, so that a key is not
// heard twice.

#include "commandinbox.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace remote {

class MidiInput {
public:
    enum class System { Alsa, Jack };

    // `lanes`: the inbox lanes of the ALSA and JACK inputs.
    MidiInput(CommandInbox& inbox, int alsaLane, int jackLane);
    // Stops the watcher and closes the ports; no message is pushed after it returns.
    ~MidiInput();
    MidiInput(const MidiInput&) = delete;
    MidiInput& operator=(const MidiInput&) = delete;

    // Starts the watcher. `interval` between two looks at the systems.
    void start(std::chrono::milliseconds interval = std::chrono::milliseconds(1000));

    // What the input has open and connected, for the settings page ("ALSA", "JACK"; and the
    // outputs it connected, as each system names them).
    std::vector<std::string> openSystems() const;
    std::vector<std::string> connectedOutputs() const;

    struct Port; // one system's input, public for its callback

private:
    void watch(std::chrono::milliseconds interval);
    void lookAtSystems();

    CommandInbox& m_inbox;
    int m_lanes[2];
    std::vector<std::unique_ptr<Port>> m_ports; // watcher thread only (and the destructor)
    mutable std::mutex m_infoMutex;
    std::vector<std::string> m_openSystems;
    std::vector<std::string> m_connected;

    std::mutex m_stopMutex;
    std::condition_variable m_stopCondition;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace remote
