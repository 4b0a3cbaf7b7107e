#pragma once
// What the engine publishes of one pad's playback, as the board and its views read it.

#include <QtGlobal>

#include <cstdint>

// A pad's playback as the board read it from the player's published position.
struct PadTimes {
    enum class State : std::uint8_t {
        Empty,   // no clip open
        Ready,   // open, not sounding
        Playing, // sounding (also while it fades out)
        Paused
    };
    State state = State::Empty;
    qint32 position = 0; // ms from the start of the clip (of the current pass while looping)
    qint32 length = 0;   // ms
    bool looping = false;
    bool fading = false;
    bool cue = false; // the monitor output's playback, which the audience does not hear

    qint32 left() const { return length > position ? length - position : 0; }
    bool operator==(const PadTimes&) const = default;
};
