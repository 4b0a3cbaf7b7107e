// The mixer's side of a pad's preparation: the window of the clip a playback plays, the head
// it takes from memory there, the fades and the pad's gain.
#include "mixer.h"

#include <algorithm>

namespace media::detail {

Window Mixer::window(const Voice& r) const {
    return r.clip ? clampWindow(r.winIn, r.winOut, r.clip->length()) : Window{};
}

// Where the window ends is known: the clip's length is exact, or the out point lies before
// the estimate of a clip whose length settles only at its end.
bool Mixer::endKnown(const Voice& r) const {
    return r.clip->lengthExact() || window(r).out < r.clip->length();
}

// The window asked for applies: the voice does not play.
void Mixer::applyWindow(Voice& r) {
    if (r.winIn == r.wantIn && r.winOut == r.wantOut && r.extraHead == r.wantHead)
        return;
    r.winIn = r.wantIn;
    r.winOut = r.wantOut;
    r.extraHead = r.wantHead;
    r.fillFrame = -1; // the ring's frames count from the old in point
    latchHead(r);
}

// Takes the head that starts at the window's in point: the clip's own, or the one prepared
// for the in point, once ready; none while neither is (the voice streams from the ring).
// True when it changed.
bool Mixer::latchHead(Voice& r) {
    if (!r.clip)
        return false;
    const Window w = window(r);
    const Clip* head = nullptr;
    if (r.clip->headReady() && r.clip->headStart() == w.in)
        head = r.clip;
    else if (const Clip* other = r.extraHead ? r.extraHead->usable() : nullptr;
             other && other->headStart() == w.in)
        head = other;
    const float* data = head ? head->head() : nullptr;
    const std::int64_t frames = head ? std::min(head->headFrames(), w.length()) : 0;
    if (data == r.headData && frames == r.headLen)
        return false;
    r.headData = data;
    r.headLen = frames;
    r.fillFrame = -1; // a loop's later passes skip the head: the ring's frames no longer fit
    return true;
}

void Mixer::handlePreparation(Voice& r, const Command& c) {
    switch (c.type) {
    case Command::Window:
        r.wantIn = c.frame;
        r.wantOut = c.until;
        r.wantHead = c.head;
        if (!r.playing)
            applyWindow(r);
        return;
    case Command::Fades:
        r.env.fadeIn = std::max<std::int64_t>(c.frame, 0);
        r.env.fadeOut = std::max<std::int64_t>(c.until, 0);
        return;
    case Command::TrimGain:
        r.trim = c.gain;
        break;
    default:
        r.volume = c.gain;
        break;
    }
    r.target = r.volume * r.trim;
    if (!r.playing)
        r.gain = r.target; // nothing sounds: no ramp needed
}

} // namespace media::detail
