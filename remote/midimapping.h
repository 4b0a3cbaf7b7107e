#pragma once
// MIDI messages and what they do on the board.
//
// Three kinds of message act: a Note On, a Note Off (also a Note On with velocity 0), which
// lets a hold pad's play go, and a Control Change. Every other message (clock, sysex, pitch
// bend, ...) does nothing.
//
// The mapping binds a note or a controller, on one channel or on any, to one target: a pad's
// play (its key), a pad's fade, a pad's volume slider, or stop-all. Out of the box, notes 36 to
// 43 on any channel play pads 1 to 8, the layout of the common eight-pad controllers. A
// controller bound to a volume slider moves it over its whole range (0..127 to 0..1000); a
// controller bound to anything else acts when it rises to 64 or above (a button sends 127 when
// pressed and 0 when released), so that a knob turned past the middle acts once; bound to a
// pad's play, its fall below 64 lets the play go, as a Note Off does.

#include "board.h"
#include "remotecommand.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace remote::midi {

constexpr int kPads = board::kPads;

enum class EventType : std::uint8_t { Note, Control };

struct Event {
    EventType type = EventType::Note;
    int channel = 1; // 1..16
    int number = 0;  // note or controller, 0..127
    int value = 0;   // velocity 1..127 (0: a Note Off), or controller value 0..127
};

// The message in `bytes` (one complete message, as the MIDI systems deliver them) as an event
// that can act; nothing for every other message and for malformed bytes.
std::optional<Event> parse(const std::uint8_t* bytes, std::size_t size);

// An event as it crosses to the UI thread, and back.
RemoteCommand toCommand(const Event& event);
std::optional<Event> fromCommand(const RemoteCommand& command);

// What a binding listens to. channel 0 = any channel.
struct Binding {
    EventType type = EventType::Note;
    int channel = 0;
    int number = 0;
    bool operator==(const Binding&) const = default;
    bool matches(const Event& event) const;
};

enum class Action : std::uint8_t { Play, Fade, Volume, StopAll };

struct Target {
    Action action = Action::Play;
    int pad = 0; // 1..8; 0 for StopAll
    bool operator==(const Target&) const = default;
};

// What an event does: a board command, or a slider position.
struct Effect {
    Target target;
    int volume = -1;      // 0..1000 for Action::Volume
    bool release = false; // Action::Play: the note or button let go
};

class Mapping {
public:
    static constexpr int kTargets = 3 * kPads + 1; // play, fade, volume of each pad; stop-all

    // The mapping out of the box.
    static Mapping defaults();
    // No binding at all.
    Mapping() = default;

    // Binds `binding` to `target`, taking it from any target that had it: one message never
    // does two things. A volume slider takes only controllers; false (and nothing changes)
    // for a note offered to one.
    bool bind(const Target& target, const Binding& binding);
    void unbind(const Target& target);
    std::optional<Binding> bindingOf(const Target& target) const;

    // What `event` does now. Controllers remember their last value here, to act on the rise
    // past the middle.
    std::optional<Effect> effectOf(const Event& event);

    // Every target in the order the settings show them: pad 1 play, fade, volume, pad 2 ...,
    // stop-all.
    static Target targetAt(int index);
    static int indexOf(const Target& target);

    // The text a binding is kept as, and read back: "note 36 any", "cc 7 ch 1". Nothing for
    // a text that names no binding.
    static std::string toText(const Binding& binding);
    static std::optional<Binding> fromText(const std::string& text);
    // The key a target is kept under: "pad1.play", "pad1.fade", "pad1.volume", "stopall".
    static std::string keyOf(const Target& target);

    bool operator==(const Mapping& other) const { return m_bindings == other.m_bindings; }

private:
    std::array<std::optional<Binding>, kTargets> m_bindings{};
    std::array<std::array<std::int8_t, 128>, 16> m_lastControl = [] {
        std::array<std::array<std::int8_t, 128>, 16> a{};
        for (auto& channel : a)
            channel.fill(-1);
        return a;
    }();
};

} // namespace remote::midi
