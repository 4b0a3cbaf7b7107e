// A key press heard before the output's queue drains: the output keeps a deep queue against
// dropouts, and a playback that starts is mixed into the part of that queue the server has not
// played yet, which the output then writes again. A stop, a fade or a volume change taken
// there changes the same frames: every voice keeps a trace of what it added to the latest
// frames (apart from its gain and fade-out), so that what it added from the first unplayed
// frame on can be taken back and added again as the command has it, and the voice goes on
// from the end of the queue as if the command had been taken at that frame.
//
// The changes go into the sums the limiter kept of those frames, and the limiter derives their
// gain again from the gain of the last frame played: a voice that falls silent there no longer
// leaves the others lowered, and one that starts there is limited as it would be without a
// queue. Only the frames already played stay as they were: the limiter lowered them in time
// for what it saw coming, which may since have changed.
//
// A ducking pad stopped there lets the others come back from the frame it fell silent at, as
// the ducker would have. One started there lowers them only from the end of the queue on.
#include "mixer.h"

#include <algorithm>

namespace media::detail {

int Mixer::lateCallback(void* mixer, float* late, int frames) {
    return static_cast<Mixer*>(mixer)->lateStart(late, frames);
}

int Mixer::lateStart(float* late, int frames) {
    // Across a device switch the output fades as a whole: nothing starts behind its back, nor
    // in frames that left under the fade.
    if (m_ch.holdRequest.load(std::memory_order_acquire) || m_holding || m_master < 1.0f)
        return 0;
    // Only the latest frames are traced: a playback starts in those.
    const int skip = static_cast<int>(
        std::max<std::int64_t>({0, frames - kMaxLateFrames, m_fullFrom - (m_outFrame - frames)}));
    if (skip >= frames)
        return 0;
    late += static_cast<std::ptrdiff_t>(skip) * 2;
    frames -= skip;
    m_late = late;
    m_lateFrom = m_outFrame - frames;
    m_lateTouched = 0;
    const std::uint32_t before = playingVoices();
    takeCommands();
    if (const std::uint32_t stopped = before & ~playingVoices())
        releaseDuck(stopped);
    m_late = nullptr;
    const int touched = std::max(m_lateTouched, startInQueue(late, frames, nowNs()));
    if (touched == 0)
        return 0;
    // What changed is in the limiter's sums: `late` gets what the frames leave with now less
    // what they left with.
    return m_limiter.again(limiterFrame(m_lateFrom), late);
}

// Mixes the playbacks started since the last mix() from the first queued frame on, into the
// limiter's sums of the `frames` queued frames and, for those not lowered by a ducking voice,
// into the frames written ahead (a lowered one goes on there through the ducker in the next
// mix()). Returns the queued frames touched. Mixes in `late`, silent before and after.
int Mixer::startInQueue(float* late, int frames, std::int64_t blockNs) {
    const int block = static_cast<int>(m_scratch.size() / 2);
    int touched = 0;
    for (int v = 0; v < kVoices; ++v) {
        Voice& r = m_voices[static_cast<std::size_t>(v)];
        if (!r.playing || !r.startAhead || r.sounding)
            continue;
        int done = 0;
        while (done < frames && r.playing) {
            const int n = std::min(block, frames - done);
            const int got = mixPlayback(v, late + static_cast<std::ptrdiff_t>(done) * 2, n, blockNs,
                                        m_lateFrom + done);
            if (!r.sounding)
                break; // its clip is not ready: it starts in a later mix, as without a queue
            done += got;
            if (got < n)
                break; // it ended, or its read-ahead ran dry
        }
        touched = std::max(touched, done);
        if (done == frames && r.playing && !m_ducker.lowers(v)) {
            r.lead = mixPlayback(v, m_limiter.bus(), m_limiter.lookahead(), blockNs, m_outFrame);
            r.startAhead = false;
        }
    }
    for (int i = 0; i < touched; ++i) {
        float* sum = m_limiter.kept(limiterFrame(m_lateFrom + i));
        for (int c = 0; c < 2; ++c) {
            sum[c] += late[2 * i + c];
            late[2 * i + c] = 0.0f;
        }
    }
    return touched;
}

// The voices `stopped` stopped in the output's queue. When they ducked the others, the
// others come back from the frame the last of them fell silent at, in the queue too.
void Mixer::releaseDuck(std::uint32_t stopped) {
    const std::int64_t write = writeFrame();
    std::int64_t from = m_lateFrom;
    for (int v = 0; v < kVoices; ++v) {
        if (!(stopped >> v & 1u) || !m_ducker.ducks(v))
            continue;
        const Trace& t = m_traces[static_cast<std::size_t>(v)];
        for (std::int64_t f = write - 1; f >= from; --f)
            if (t.gainIn[traceSlot(f)] >= 0.0f) {
                from = f + 1;
                break;
            }
    }
    if (from >= write)
        return;
    float* gains = m_lateGains.data();
    const int n = static_cast<int>(write - from);
    if (!m_ducker.release(playingVoices(), m_duckGains[traceSlot(from - 1)], n, gains))
        return;
    for (int v = 0; v < kVoices; ++v) {
        if (m_ducker.ducks(v))
            continue;
        Trace& t = m_traces[static_cast<std::size_t>(v)];
        for (int i = 0; i < n; ++i) {
            const std::size_t k = traceSlot(from + i);
            if (t.gainIn[k] < 0.0f || t.duck[k] <= 0.0f || t.duck[k] == gains[i])
                continue;
            // What the voice added there, at the gain the ducker has now.
            const float ratio = gains[i] / t.duck[k];
            float* q = queued(from + i);
            for (int c = 0; c < 2; ++c) {
                q[c] += t.unit[2 * k + c] * t.scale[k] * (ratio - 1.0f);
                t.unit[2 * k + c] *= ratio;
            }
            t.duck[k] = gains[i];
        }
    }
    for (int i = 0; i < n; ++i)
        m_duckGains[traceSlot(from + i)] = gains[i];
}

// The first output frame a command taken now changes for the playback of `r`, or -1 when it
// takes effect behind the look-ahead (taken by mix(), or without a queue).
std::int64_t Mixer::lateFrame(const Voice& r) const {
    return m_late ? std::max(m_lateFrom, r.settledAt) : -1;
}

// The sum of the output frame `frame` (from the first late frame to the end of the look-ahead)
// before the limiter: as it left for the output's queue, or in the limiter's look-ahead. Marks
// queued frames touched.
float* Mixer::queued(std::int64_t frame) {
    if (frame < m_outFrame) {
        m_lateTouched = std::max(m_lateTouched, static_cast<int>(frame - m_lateFrom) + 1);
        return m_limiter.kept(limiterFrame(frame));
    }
    return m_limiter.bus() + (frame - m_outFrame) * 2;
}

// The voice's fade-out level entering output frame `frame`: the level it was mixed with
// there, or where it stands when it added nothing since.
float Mixer::dimAt(int v, std::int64_t frame) const {
    const Trace& t = m_traces[static_cast<std::size_t>(v)];
    if (frame >= 0)
        for (std::int64_t f = frame; f < writeFrame(); ++f)
            if (t.gainIn[traceSlot(f)] >= 0.0f)
                return t.dimIn[traceSlot(f)];
    return m_voices[static_cast<std::size_t>(v)].dimLevel;
}

// What the voice added from `from` on is no longer its playback's: a later command leaves it.
void Mixer::forget(int v, std::int64_t from) {
    Trace& t = m_traces[static_cast<std::size_t>(v)];
    for (std::int64_t f = std::max(from, m_outFrame - kMaxLateFrames); f < writeFrame(); ++f)
        t.gainIn[traceSlot(f)] = -1.0f;
}

// The playback of `v` is cut. Taken in the output's queue, the short fade starts at the first
// unplayed frame: what the voice added there is faded out as the fade would have it, and the
// rest of the fade, if any, is mixed on from the end of the look-ahead.
void Mixer::interrupt(int v) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    const std::int64_t from = lateFrame(r);
    if (from < 0 || !r.playing || !r.clip || r.needPrime || !r.sounding || r.starved) {
        beginFade(v);
        return;
    }
    Trace& t = m_traces[static_cast<std::size_t>(v)];
    const std::int64_t write = writeFrame();
    const int len = m_fadeOutFrames;
    for (std::int64_t f = from; f < write; ++f) {
        const std::size_t k = traceSlot(f);
        if (t.gainIn[k] < 0.0f)
            continue;
        const std::int64_t j = f - from;
        const float keep =
            j < len ? 1.0f - static_cast<float>(j + 1) / static_cast<float>(len) : 0.0f;
        const float change = t.scale[k] * (keep - 1.0f);
        float* q = queued(f);
        q[0] += t.unit[2 * k] * change;
        q[1] += t.unit[2 * k + 1] * change;
        t.gainIn[k] = -1.0f;
    }
    beginFade(v, static_cast<int>(std::min<std::int64_t>(write - from, len)));
}

// The voice's gain target or fade-out changed: what it added from `from` on is added again
// under them, from the gain and level it entered that frame with, and it goes on from the end
// of the look-ahead with the gain and level reached there (ending there when its fade-out
// ended on the way). Without a queue (`from` < 0) the change takes effect behind the
// look-ahead.
void Mixer::replay(int v, std::int64_t from) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    const std::int64_t write = writeFrame();
    if (from < 0) {
        r.settledAt = std::max(r.settledAt, write);
        return;
    }
    r.settledAt = from;
    Trace& t = m_traces[static_cast<std::size_t>(v)];
    bool started = false;
    bool over = false;
    float g = r.gain;
    float dim = r.dimLevel;
    for (std::int64_t f = from; f < write; ++f) {
        const std::size_t k = traceSlot(f);
        if (t.gainIn[k] < 0.0f)
            continue;
        float scale = 0.0f;
        if (!over) {
            if (!started) {
                g = t.gainIn[k];
                dim = t.dimIn[k];
                started = true;
            }
            t.gainIn[k] = g;
            t.dimIn[k] = dim;
            if (g < r.target)
                g = std::min(r.target, g + m_gainStep);
            else if (g > r.target)
                g = std::max(r.target, g - m_gainStep);
            scale = g;
            if (r.dimStep > 0.0f) {
                dim -= r.dimStep;
                if (dim <= 0.0f) {
                    dim = 0.0f;
                    over = true;
                    scale = 0.0f;
                } else {
                    scale *= r.dimPower ? quarterSine(dim) : dim;
                }
            }
        }
        const float change = scale - t.scale[k];
        float* q = queued(f);
        q[0] += t.unit[2 * k] * change;
        q[1] += t.unit[2 * k + 1] * change;
        t.scale[k] = scale;
        if (over)
            t.gainIn[k] = -1.0f;
    }
    if (!started)
        return;
    r.gain = g;
    r.dimLevel = dim;
    if (over)
        end(v, EndKind::Faded);
}

} // namespace media::detail
