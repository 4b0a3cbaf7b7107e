#pragma once
// What a remote trigger asks of the board, as it crosses from the thread that received it to
// the UI thread: a small value of fixed size, so that a queue of them is allocated once and a
// MIDI callback can hand one over without allocating.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace remote {

enum class CommandKind : std::uint8_t {
    PadPlay,     // number = pad 1..8: its key
    PadStop,     // number = pad: the Stop button of its strip
    PadFade,     // number = pad: Shift with its key
    StopAll,     // the stop-all button
    SetList,     // number = slot 1..10
    Status,      // reply to `reply` with the state of every pad
    MidiNote,    // a Note On or Off: channel 1..16, number = note, value = velocity 1..127
                 // (0 for a Note Off)
    MidiControl, // a Control Change: channel 1..16, number = controller, value = 0..127
    Subscribe,   // push every change to `reply` for a while (value 1) or to that port of its
                 // host (value 1024..65535); value 0: stop pushing
    PadRelease,  // number = pad: its key let go (a hold pad fades out)
    PadCue,      // number = pad, value 1: on the monitor output alone; value 0: its cue stops
};

enum class Source : std::uint8_t { Midi, Osc };

// The sender of an OSC request, to answer it.
struct ReplyAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

struct RemoteCommand {
    CommandKind kind = CommandKind::PadPlay;
    Source source = Source::Osc;
    std::uint8_t channel = 0;
    std::uint8_t system = 0; // MIDI: the system it came through (MidiPorts::System)
    std::uint8_t port = 0;   // MIDI: which of that system's inputs (0: the shared one)
    int number = 0;
    int value = 0;
    ReplyAddress reply;
};

} // namespace remote
