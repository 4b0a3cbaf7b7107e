// The voice's stream: what it asks the worker to read ahead into its ring, and how it takes
// its clip from the head in memory and the ring, across a loop's passes.
#include "mixer.h"

#include <algorithm>
#include <cstring>

namespace media::detail {

namespace {

// Frames at the end of a clip that the rate converter's filter spans into what follows.
constexpr std::int64_t kSeamFrames = 1024;

} // namespace

void Mixer::request(int v, Clip* clip, std::int64_t frame, std::uint64_t cmdSeq) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    r.fillSeq++;
    r.fillFrame = frame;
    r.fillTouched = false;
    r.continuous = clip && frame != kNoFill && wantsContinuous(r);
    FillRequest q{static_cast<std::uint8_t>(v), clip, frame, r.fillSeq, cmdSeq, r.continuous};
    if (clip) {
        const Window w = window(r);
        q.in = w.in;
        q.out = w.out < clip->length() ? w.out : 0; // 0: on to the end, also as it grows
        q.headFrames = r.headLen;
    }
    // A request that cannot be queued now waits in the voice; a newer one replaces it, which
    // is right: the worker only ever needs the latest for a voice. It carries the commands
    // the replaced one acknowledged, so that their clips are still released.
    if (r.requestPending)
        q.cmdSeq = std::max(q.cmdSeq, r.pending.cmdSeq);
    if (r.requestPending || !m_ch.requests.try_enqueue(q)) {
        r.pending = q;
        r.requestPending = true;
    }
    r.dirty = true;
}

// Asks for the ring to hold what the next play() from the current position will need.
void Mixer::prime(int v, std::uint64_t cmdSeq) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    if (!r.clip)
        return;
    if (!r.clip->headReady()) {
        r.needPrime = true;
        if (cmdSeq != 0)
            request(v, r.clip, kNoFill, cmdSeq); // acknowledges the command all the same
        return;
    }
    latchHead(r);
    const std::int64_t head = headPart(r, wantsContinuous(r));
    const std::int64_t len = winLen(r);
    std::int64_t want = std::max(r.pos, head);
    if (r.pos >= len && endKnown(r))
        want = head; // a play from the end starts again from the beginning
    if (segmentFits(r, want))
        return;
    request(v, r.clip, want, cmdSeq);
}

// A looping voice through the rate converter hears the clip repeated and converted in one go.
bool Mixer::wantsContinuous(const Voice& r) const {
    return r.loop && r.clip && r.clip->converts() && endKnown(r);
}

// The segment asked for last starts at `want`, is untouched and has the kind the voice needs.
bool Mixer::segmentFits(const Voice& r, std::int64_t want) const {
    return want == r.fillFrame && !r.fillTouched && r.continuous == wantsContinuous(r);
}

// Ring frames a finished pass took: the whole pass in a continuous segment, else the part
// after the head.
std::int64_t Mixer::nextPass(const Voice& r) const {
    const std::int64_t len = winLen(r);
    return r.continuous ? len : len - std::min(len, r.headLen);
}

// The part of the head a playback takes from memory. A loop through the converter whose head
// holds the whole clip leaves the last frames to the ring, where the clip's end leads into its
// start again: the head, converted alone, rings out into silence there.
std::int64_t Mixer::headPart(const Voice& r, bool continuous) const {
    const std::int64_t head = r.headLen;
    const std::int64_t len = winLen(r);
    return continuous && head >= len ? std::max<std::int64_t>(0, len - kSeamFrames) : head;
}

// Frame `pos` of the pass at `passOffset` comes from the head in memory.
bool Mixer::fromHead(const Voice& r, std::int64_t pos, std::int64_t passOffset) const {
    return pos < headPart(r, r.continuous) && !(r.continuous && passOffset > 0);
}

// Frames of the voice's clip ready at `pos`, without a gap, from the head and the ring (up to
// the clip's end).
std::int64_t Mixer::available(int v, std::int64_t pos, std::int64_t passOffset) const {
    const Voice& r = m_voices[static_cast<std::size_t>(v)];
    const std::int64_t len = winLen(r);
    if (pos >= len)
        return 0;
    const std::int64_t head = headPart(r, r.continuous);
    std::int64_t got = 0;
    if (fromHead(r, pos, passOffset)) {
        got = std::min(head, len) - pos;
        pos = head;
        if (pos >= len)
            return got;
    }
    if (r.fillFrame < 0)
        return got;
    std::uint64_t index = 0;
    const std::int64_t held =
        m_rings[static_cast<std::size_t>(v)].readable(r.fillSeq, pos, passOffset, index);
    return got + std::min(held, len - pos);
}

// Copies up to `frames` of the voice's clip at `pos` from the head or the ring.
int Mixer::readStream(int v, std::int64_t pos, std::int64_t passOffset, float* dst, int frames) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    const std::int64_t head = headPart(r, r.continuous);
    const std::int64_t len = winLen(r);
    std::int64_t n = std::min<std::int64_t>(frames, len - pos);
    if (n <= 0)
        return 0;
    if (fromHead(r, pos, passOffset)) {
        n = std::min(n, head - pos);
        std::memcpy(dst, r.headData + pos * 2, static_cast<std::size_t>(n) * 2 * sizeof(float));
        return static_cast<int>(n);
    }
    if (r.fillFrame < 0)
        return 0;
    Ring& ring = m_rings[static_cast<std::size_t>(v)];
    std::uint64_t index = 0;
    n = std::min(n, ring.readable(r.fillSeq, pos, passOffset, index));
    if (n <= 0)
        return 0;
    ring.take(index, dst, n);
    r.fillTouched = true;
    return static_cast<int>(n);
}

} // namespace media::detail
