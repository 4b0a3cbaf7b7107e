#pragma once
// A pad's preparation as the mixer applies it: the window of the clip a playback plays, and
// the envelope over that window (fade-in from the in point, fade-out ending at the out point,
// and the pad's gain). Positions here count from the in point.

#include <algorithm>
#include <cstdint>

namespace media::detail {

// The part of a clip a playback plays, in clip frames: [in, out).
struct Window {
    std::int64_t in = 0;
    std::int64_t out = 0;
    std::int64_t length() const { return out - in; }
};

// The window the pad asks for (`out` 0 = the clip's end) as it applies to a clip `length`
// frames long. An in point at or past the end is left out (the clip plays from its start:
// a shorter file than the one the pad was prepared with still sounds); an out point past
// the end, or not after the in point, stands for the end.
inline Window clampWindow(std::int64_t in, std::int64_t out, std::int64_t length) {
    length = std::max<std::int64_t>(length, 0);
    if (in < 0 || in >= length)
        in = 0;
    if (out <= in || out > length)
        out = length;
    return {in, out};
}

// Fade lengths in frames. The fades are straight
// lines in amplitude: the fade-in rises from 0 at the in point to full after `fadeIn` frames;
// the fade-out falls so that the frame at the out point would be 0. Where the two overlap (a
// window shorter than both) their gains multiply.
struct Envelope {
    std::int64_t fadeIn = 0;
    std::int64_t fadeOut = 0;

    // The fade gain at position `pos` of a window `length` frames long; `rising`: the
    // fade-in applies (the first pass of a playback), `falling`: the fade-out does (the
    // playback ends at the out point rather than looping).
    float at(std::int64_t pos, std::int64_t length, bool rising, bool falling) const {
        float g = 1.0f;
        if (rising && pos < fadeIn)
            g = static_cast<float>(std::max<std::int64_t>(pos, 0)) / static_cast<float>(fadeIn);
        const std::int64_t left = length - pos;
        if (falling && left < fadeOut)
            g *= static_cast<float>(std::max<std::int64_t>(left, 0)) / static_cast<float>(fadeOut);
        return g;
    }
    // True when no fade touches [pos, pos + frames).
    bool flat(std::int64_t pos, std::int64_t frames, std::int64_t length, bool rising,
              bool falling) const {
        return !(rising && pos < fadeIn) && !(falling && length - (pos + frames) < fadeOut);
    }
};

} // namespace media::detail
