#include "mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

namespace media::detail {

namespace {

// Mixer block: longer device buffers are mixed in pieces of this size.
constexpr int kMaxBlock = 1024;
// Fade of an interrupted playback, and of a start in the middle of a clip; a voice whose
// read-ahead runs dry fades out and back in over the fade-in time too.
constexpr double kFadeOutSeconds = 0.005;
constexpr double kFadeInSeconds = 0.003;
constexpr double kGainRampSeconds = 0.005;
// The whole output fades over this before a device switch and after it.
constexpr double kMasterRampSeconds = 0.005;
// Frames beyond the block a dry voice waits for before it sounds again, so that it does not
// run dry again at once.
constexpr std::int64_t kResumeMargin = 2048;
// The settings page's test tone.
constexpr double kToneSeconds = 0.6;
constexpr double kToneHz = 1000.0;
constexpr float kToneLevel = 0.25f; // -12 dBFS
constexpr double kToneEdgeSeconds = 0.01;

} // namespace

Mixer::Mixer(Channels& channels, std::array<Ring, kVoices>& rings, int rate)
    : m_ch(channels), m_rings(rings), m_rate(rate),
      m_masterStep(1.0f / std::max(1.0f, static_cast<float>(kMasterRampSeconds * rate))),
      m_fadeOutFrames(std::clamp(static_cast<int>(kFadeOutSeconds * rate), 1, kMaxFadeFrames)),
      m_fadeInFrames(std::max(1, static_cast<int>(kFadeInSeconds * rate))),
      m_gainStep(1.0f / std::max(1.0f, static_cast<float>(kGainRampSeconds * rate))),
      m_limiter(rate, kMaxBlock, kTraceFrames), m_ducker(kMaxBlock + m_limiter.lookahead()),
      m_toneTotal(static_cast<std::int64_t>(kToneSeconds * rate)),
      m_toneEdge(std::max<std::int64_t>(1, static_cast<std::int64_t>(kToneEdgeSeconds * rate))),
      m_toneStep(2.0 * std::numbers::pi * kToneHz / rate), m_scratch(kMaxBlock * 2),
      m_traces(kVoices, Trace(kTraceFrames)), m_duckGains(kTraceFrames, 1.0f),
      m_lateGains(kTraceFrames, 1.0f) {}

void Mixer::callback(void* mixer, float* out, int frames) {
    auto* m = static_cast<Mixer*>(mixer);
    const std::int64_t t0 = nowNs();
    m->mix(out, frames);
    const std::int64_t spent = nowNs() - t0;
    if (spent * m->m_rate > std::int64_t{1'000'000'000} * frames)
        m->m_ch.late.fetch_add(1, std::memory_order_relaxed);
}

// The output device failed: every playback ends where it is heard, keeping its position.
void Mixer::failAll() {
    for (int v = 0; v < kVoices; ++v) {
        if (!m_voices[static_cast<std::size_t>(v)].playing)
            continue;
        beginFade(v);
        end(v, EndKind::Failed);
    }
}

// Takes a device failure, then the control thread's commands, and primes the voices whose
// clip's head became ready.
void Mixer::takeCommands() {
    const std::uint32_t failed = m_ch.failures.load(std::memory_order_acquire);
    if (failed != m_failuresSeen) {
        // Before the commands: a playback started after the failure is not touched.
        m_failuresSeen = failed;
        failAll();
    }
    processCommands();
    for (int v = 0; v < kVoices; ++v) {
        Voice& r = m_voices[static_cast<std::size_t>(v)];
        if (r.needPrime && r.clip && r.clip->headReady()) {
            r.needPrime = false;
            prime(v, 0);
        } else if (r.clip && !r.playing && !r.needPrime && latchHead(r)) {
            prime(v, 0); // the head from a new in point is ready
        }
        m_rings[static_cast<std::size_t>(v)].skipStale(r.fillSeq);
    }
}

void Mixer::mix(float* out, int frames) {
    const std::int64_t blockNs = nowNs();
    // Read first: after a device switch this orders everything the previous device's
    // callbacks did before everything this one does.
    const bool wantHold = m_ch.holdRequest.load(std::memory_order_acquire);
    takeCommands();
    for (int done = 0; done < frames;) {
        const int n = std::min(kMaxBlock, frames - done);
        mixChunk(out + static_cast<std::ptrdiff_t>(done) * 2, n, blockNs, wantHold);
        done += n;
    }
    bool wakeNeeded = false;
    for (int v = 0; v < kVoices; ++v) {
        Voice& r = m_voices[static_cast<std::size_t>(v)];
        if (r.requestPending && m_ch.requests.try_enqueue(r.pending))
            r.requestPending = false;
        if (r.eventPending && m_ch.events.try_enqueue(r.pendingEvent))
            r.eventPending = false;
        if (r.dirty || r.playing)
            publish(v);
        wakeNeeded = wakeNeeded || r.playing || r.dirty;
        r.dirty = false;
    }
    m_ch.limited.store(m_limiter.limitedFrames(), std::memory_order_relaxed);
    if (wakeNeeded)
        m_ch.wakeWorker();
}

void Mixer::mixChunk(float* out, int frames, std::int64_t blockNs, bool wantHold) {
    const int ahead = m_limiter.lookahead();
    // The frames entering the look-ahead hold nothing of any voice yet; while the output holds,
    // nor do those that leave.
    const bool silent = m_holding && wantHold;
    for (Trace& t : m_traces)
        for (int i = silent ? -ahead : 0; i < frames; ++i) {
            t.gainIn[traceSlot(m_outFrame + ahead + i)] = -1.0f;
            t.duck[traceSlot(m_outFrame + ahead + i)] = 0.0f;
        }
    if (m_holding) {
        if (silent) {
            std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
            m_outFrame += frames;
            m_fullFrom = m_outFrame;
            return;
        }
        m_holding = false; // the new device: the output fades in from where it stood
    }
    m_limiter.beginBlock(frames);
    float* bus = m_limiter.bus();
    float* entry = bus + static_cast<std::ptrdiff_t>(ahead) * 2;
    // The voices a ducking voice lowers go through the ducker's bus.
    const bool ducking = m_ducker.begin(playingVoices(), ahead + frames);
    std::uint32_t ducked = 0;
    std::uint32_t startedAhead = 0;
    for (int v = 0; v < kVoices; ++v) {
        Voice& r = m_voices[static_cast<std::size_t>(v)];
        const bool lowered = ducking && !m_ducker.ducks(v);
        ducked |= lowered ? 1u << v : 0u;
        float* to = lowered ? m_ducker.bus() : bus;
        float* toEntry = to + static_cast<std::ptrdiff_t>(ahead) * 2;
        if (r.startAhead && r.playing) {
            // A new playback goes into the frames that leave first: the look-ahead costs a
            // key press nothing.
            const int n = mixPlayback(v, to, ahead, blockNs, m_outFrame);
            startedAhead |= n > 0 ? 1u << v : 0u;
            if (r.sounding || !r.playing) {
                r.startAhead = false;
                r.lead = n;
            }
        }
        mixTail(v, toEntry, frames);
        mixPlayback(v, toEntry, frames, blockNs, m_outFrame + ahead);
        if (r.startAhead && r.sounding) {
            // It could start only behind the look-ahead (the worker caught up meanwhile).
            r.startAhead = false;
            r.lead = ahead;
        }
    }
    if (ducking) {
        m_ducker.apply(bus, ahead, frames);
        traceGains(m_ducker.gains(), ducked & startedAhead, m_outFrame, ahead);
        traceGains(m_ducker.gains() + ahead, ducked, m_outFrame + ahead, frames);
    }
    for (int i = 0; i < frames; ++i)
        m_duckGains[traceSlot(m_outFrame + ahead + i)] =
            ducking ? m_ducker.gains()[ahead + i] : 1.0f;
    mixTone(entry, frames);
    m_limiter.process(out, frames);
    if (wantHold || m_master < 1.0f) {
        for (int i = 0; i < frames; ++i) {
            m_master = wantHold ? std::max(0.0f, m_master - m_masterStep)
                                : std::min(1.0f, m_master + m_masterStep);
            out[2 * i] *= m_master;
            out[2 * i + 1] *= m_master;
            if (m_master < 1.0f)
                m_fullFrom = m_outFrame + i + 1;
        }
        if (wantHold && m_master == 0.0f) {
            m_holding = true;
            m_ch.held.store(true, std::memory_order_release);
        }
    }
    m_outFrame += frames;
}

// The frames [from, from + frames) of the `voices` (a bit per voice) were scaled by `gains`
// on their way into the sum (the ducker's): so is what each voice added to them.
void Mixer::traceGains(const float* gains, std::uint32_t voices, std::int64_t from, int frames) {
    for (int v = 0; v < kVoices; ++v) {
        if (!(voices >> v & 1u))
            continue;
        Trace& t = m_traces[static_cast<std::size_t>(v)];
        for (int i = 0; i < frames; ++i) {
            const auto at = traceSlot(from + i);
            if (t.gainIn[at] < 0.0f)
                continue;
            t.unit[2 * at] *= gains[i];
            t.unit[2 * at + 1] *= gains[i];
            t.duck[at] = gains[i];
        }
    }
}

// The position being heard: the mixed position less the frames still in the look-ahead.
std::int64_t Mixer::heardPos(const Voice& r) const {
    if (!r.playing)
        return r.pos;
    std::int64_t pos = r.pos - r.lead;
    if (pos < 0) {
        const std::int64_t len = r.clip ? winLen(r) : 0;
        pos = r.loop && len > 0 ? pos + len : 0;
    }
    return std::max<std::int64_t>(pos, 0);
}

void Mixer::publish(int v) {
    const Voice& r = m_voices[static_cast<std::size_t>(v)];
    m_ch.published[static_cast<std::size_t>(v)].store(
        pack(r.stamp, r.playing, r.ended, r.failed, r.faded, heardPos(r)),
        std::memory_order_release);
}

void Mixer::postEvent(int v, const Event& e) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    if (r.eventPending) {
        // An older event still waits for room; it is for an older playback, so it goes first
        // when the queue has room, and this one takes its place only if it cannot.
        if (m_ch.events.try_enqueue(r.pendingEvent))
            r.eventPending = false;
    }
    if (r.eventPending || !m_ch.events.try_enqueue(e)) {
        r.pendingEvent = e;
        r.eventPending = true;
    }
}

// Captures the next few milliseconds of a playback that is being interrupted, faded to
// silence, so that the interruption does not cut the waveform. `skip`: frames of the fade
// that already lie in the output's queue.
void Mixer::beginFade(int v, int skip) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    if (!r.playing || !r.clip || r.needPrime || !r.sounding || r.starved)
        return;
    const int len = m_fadeOutFrames - std::clamp(skip, 0, m_fadeOutFrames);
    // A fade still running from an earlier interruption goes on under the new one.
    const int rest = r.fadeLen - r.fadePos;
    if (len == 0)
        return; // the fade is over in the queue; what remains of an earlier one goes on
    const int total = std::max(len, rest);
    float* buf = r.fadeTmp.data();
    int got = 0;
    std::int64_t pos = r.pos;
    std::int64_t passOffset = r.passOffset;
    const std::int64_t window = winLen(r);
    while (got < len) {
        if (pos >= window && r.loop && endKnown(r) && window > 0) {
            passOffset += nextPass(r);
            pos = 0;
        }
        const int n = readStream(v, pos, passOffset, buf + got * 2, len - got);
        if (n <= 0)
            break;
        pos += n;
        got += n;
    }
    std::fill(buf + got * 2, buf + total * 2, 0.0f);
    float g = r.gain;
    float dim = r.dimLevel;
    float swell = r.swell;
    for (int i = 0; i < len; ++i) {
        if (g < r.target)
            g = std::min(r.target, g + m_gainStep);
        else if (g > r.target)
            g = std::max(r.target, g - m_gainStep);
        dim = std::max(0.0f, dim - r.dimStep);
        swell = std::min(1.0f, swell + r.swellStep);
        float ramp = 1.0f - static_cast<float>(skip + i + 1) / static_cast<float>(m_fadeOutFrames);
        ramp *= (r.dimPower ? quarterSine(dim) : dim) *
                (r.swellStep > 0.0f ? quarterSine(swell) : 1.0f);
        if (r.fadeInLeft > i)
            ramp *=
                1.0f - static_cast<float>(r.fadeInLeft - i) / static_cast<float>(m_fadeInFrames);
        ramp *= r.env.at(r.pos + i, window, !r.laterPass, !r.loop);
        buf[2 * i] *= g * ramp;
        buf[2 * i + 1] *= g * ramp;
    }
    for (int i = 0; i < rest * 2; ++i)
        buf[i] += r.fade[static_cast<std::size_t>(r.fadePos * 2 + i)];
    std::swap(r.fade, r.fadeTmp);
    r.fadeLen = total;
    r.fadePos = 0;
}

void Mixer::processCommands() {
    Command c;
    while (m_ch.commands.try_dequeue(c)) {
        const int v = c.voice;
        Voice& r = m_voices[static_cast<std::size_t>(v)];
        r.dirty = true;
        // The sounding playback is cut with a short fade, at its level in a fade-out.
        if (c.type == Command::Load || c.type == Command::Unload || c.type == Command::Stop ||
            c.type == Command::Seek ||
            (c.type == Command::Play && r.clip && !(r.playing && c.resume)))
            interrupt(v);
        // Anything but a volume change, a loop switch, a duck or another fade ends a fade-out.
        if (c.type != Command::Gain && c.type != Command::Loop && c.type != Command::Fade &&
            c.type != Command::Tone && c.type != Command::Duck && c.type != Command::Window &&
            c.type != Command::Fades && c.type != Command::TrimGain) {
            r.dimLevel = 1.0f;
            r.dimStep = 0.0f;
            r.dimPower = false;
            r.swell = 1.0f;
            r.swellStep = 0.0f;
        }
        switch (c.type) {
        case Command::Load:
            r.clip = c.clip;
            r.playing = false;
            r.ended = r.failed = r.faded = false;
            r.pos = 0;
            r.lead = 0;
            r.volume = r.gain = r.target = c.gain;
            r.trim = 1.0f;
            r.wantIn = r.wantOut = r.winIn = r.winOut = 0;
            r.wantHead = r.extraHead = nullptr;
            r.env = Envelope{};
            r.loop = false;
            m_ch.loopFlags[static_cast<std::size_t>(v)].store(false, std::memory_order_release);
            r.fillFrame = -1;
            r.needPrime = false;
            prime(v, c.seq);
            break;
        case Command::Unload:
            r.clip = nullptr;
            r.playing = false;
            r.ended = r.failed = r.faded = false;
            r.pos = 0;
            r.lead = 0;
            r.needPrime = false;
            request(v, nullptr, 0, c.seq);
            break;
        case Command::Play: {
            if (!r.clip)
                break;
            if (r.playing && c.resume) {
                r.stamp = c.stamp;
                break;
            }
            r.playing = false;
            applyWindow(r);
            latchHead(r);
            r.pos = std::clamp<std::int64_t>(c.frame, 0, winLen(r));
            r.laterPass = false;
            r.playing = true;
            r.ended = r.failed = r.faded = false;
            r.stamp = c.stamp;
            r.fadeInLeft = r.pos > 0 ? m_fadeInFrames : 0;
            r.awaitingFirst = true;
            r.startNs = c.timeNs;
            r.startAhead = true;
            r.lead = 0;
            r.sounding = false;
            r.starved = false;
            r.passOffset = 0;
            // Behind the look-ahead, or in the output's queue when it is taken there.
            r.settledAt = m_late ? m_lateFrom : m_outFrame;
            forget(v, r.settledAt);
            if (r.clip->headReady()) {
                const std::int64_t want = std::max(r.pos, headPart(r, wantsContinuous(r)));
                if (!segmentFits(r, want))
                    request(v, r.clip, want, c.seq);
            }
            if (c.others != 0)
                crossfade(v, c.others, c.span);
            break;
        }
        case Command::Stop:
        case Command::Seek:
            r.playing = false;
            r.ended = r.failed = r.faded = false;
            r.lead = 0;
            r.startAhead = false;
            if (r.clip) {
                applyWindow(r);
                r.pos = std::clamp<std::int64_t>(c.frame, 0, winLen(r));
                prime(v, c.seq);
            }
            break;
        case Command::Gain:
        case Command::Window:
        case Command::Fades:
        case Command::TrimGain:
            handlePreparation(r, c);
            if ((c.type == Command::Gain || c.type == Command::TrimGain) && r.playing)
                replay(v, lateFrame(r)); // the ramp to the new gain starts there
            if (c.type == Command::Window && r.clip && !r.playing) {
                // A stopped voice stands at the new in point. The new segment acknowledges
                // the command, so that the head it replaced may go.
                r.pos = 0;
                r.fillFrame = -1;
                prime(v, c.seq);
            }
            break;
        case Command::Loop:
            r.loop = c.flag;
            m_ch.loopFlags[static_cast<std::size_t>(v)].store(c.flag, std::memory_order_release);
            break;
        case Command::Fade:
            if (!r.playing)
                break;
            if (c.frame <= 0 || !r.sounding) {
                interrupt(v);
                end(v, EndKind::Faded);
            } else {
                // A shorter fade during a fade speeds it up from where it is.
                const std::int64_t from = lateFrame(r);
                r.dimStep = std::max(r.dimStep, dimAt(v, from) / static_cast<float>(c.frame));
                replay(v, from);
            }
            break;
        case Command::Tone:
            m_toneLeft = m_toneTotal;
            m_tonePhase = 0.0;
            break;
        case Command::Duck:
            m_ducker.set(v, c.flag, c.gain, c.frame, c.span);
            break;
        }
    }
}

// The new playback of voice `v` replaces the sounding voices of `others`: they fade out over
// `frames` along a quarter cosine while it swells in along a quarter sine, so that the two
// keep the power of one. The new one starts where the fades start: behind the look-ahead, or
// in the output's queue when the command is taken there.
void Mixer::crossfade(int v, std::uint8_t others, std::int64_t frames) {
    const float step = 1.0f / static_cast<float>(std::max<std::int64_t>(1, frames));
    bool any = false;
    for (int o = 0; o < kVoices; ++o) {
        Voice& q = m_voices[static_cast<std::size_t>(o)];
        if (o == v || !(others >> o & 1u) || !q.playing)
            continue;
        q.dirty = true;
        if (!q.sounding) {
            interrupt(o);
            end(o, EndKind::Faded);
            continue;
        }
        const std::int64_t from = lateFrame(q);
        if (q.dimStep == 0.0f) {
            q.dimPower = true;
            q.dimStep = step;
        } else {
            q.dimStep = std::max(q.dimStep, dimAt(o, from) * step); // already fading: hurried
        }
        replay(o, from);
        any = true;
    }
    if (!any)
        return;
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    r.swell = 0.0f;
    r.swellStep = step;
    if (m_late)
        return; // it starts in the output's queue, where the others' fades start
    r.startAhead = false;
    r.lead = m_limiter.lookahead();
    r.settledAt = writeFrame();
}

// Adds `frames` frames of `src` to `out` at the voice's gain, ramps, fade-in and fade-out,
// and keeps what it added in the voice's trace, from output frame `at` on. Returns the frames
// added: fewer when a fade-out ends on the way.
int Mixer::addVoice(int v, const float* src, float* out, int frames, std::int64_t at) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    Trace& t = m_traces[static_cast<std::size_t>(v)];
    const std::int64_t window = winLen(r);
    const bool rising = !r.laterPass;
    const bool falling = !r.loop;
    if (r.gain == r.target && r.fadeInLeft == 0 && r.dimStep == 0.0f && r.swellStep == 0.0f &&
        r.env.flat(r.pos, frames, window, rising, falling)) {
        const float g = r.gain;
        if (g == 1.0f) {
            for (int i = 0; i < frames * 2; ++i)
                out[i] += src[i];
        } else {
            for (int i = 0; i < frames * 2; ++i)
                out[i] += src[i] * g;
        }
        for (int i = 0; i < frames; ++i) {
            const auto k = traceSlot(at + i);
            t.unit[2 * k] = src[2 * i];
            t.unit[2 * k + 1] = src[2 * i + 1];
            t.scale[k] = g;
            t.gainIn[k] = g;
            t.dimIn[k] = r.dimLevel;
        }
        return frames;
    }
    for (int i = 0; i < frames; ++i) {
        const auto k = traceSlot(at + i);
        t.gainIn[k] = r.gain;
        t.dimIn[k] = r.dimLevel;
        if (r.gain < r.target)
            r.gain = std::min(r.target, r.gain + m_gainStep);
        else if (r.gain > r.target)
            r.gain = std::max(r.target, r.gain - m_gainStep);
        // The voice's trace keeps the gain and fade-out apart from the rest.
        float g = r.gain;
        float scale = r.gain;
        float rest = 1.0f;
        if (r.fadeInLeft > 0) {
            const float in =
                1.0f - static_cast<float>(r.fadeInLeft) / static_cast<float>(m_fadeInFrames);
            g *= in;
            rest *= in;
            --r.fadeInLeft;
        }
        if (r.dimStep > 0.0f) {
            r.dimLevel -= r.dimStep;
            if (r.dimLevel <= 0.0f) {
                r.dimLevel = 0.0f;
                t.gainIn[k] = -1.0f;
                return i + 1; // this frame is silent: the fade is over
            }
            const float dim = r.dimPower ? quarterSine(r.dimLevel) : r.dimLevel;
            g *= dim;
            scale *= dim;
        }
        if (r.swellStep > 0.0f) {
            r.swell = std::min(1.0f, r.swell + r.swellStep);
            if (r.swell >= 1.0f)
                r.swellStep = 0.0f;
            const float swell = quarterSine(r.swell);
            g *= swell;
            rest *= swell;
        }
        const float env = r.env.at(r.pos + i, window, rising, falling);
        g *= env;
        rest *= env;
        out[2 * i] += src[2 * i] * g;
        out[2 * i + 1] += src[2 * i + 1] * g;
        t.unit[2 * k] = src[2 * i] * rest;
        t.unit[2 * k + 1] = src[2 * i + 1] * rest;
        t.scale[k] = scale;
    }
    return frames;
}

void Mixer::mixTail(int v, float* out, int frames) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    if (r.fadePos >= r.fadeLen)
        return;
    const int n = std::min(frames, r.fadeLen - r.fadePos);
    const float* f = r.fade.data() + r.fadePos * 2;
    for (int i = 0; i < n * 2; ++i)
        out[i] += f[i];
    r.fadePos += n;
}

// The playback `stamp` is over: at the end of its clip (the voice stands at the end), by a
// fade-out (it stands at the start) or by a device failure (it stands where it was heard).
void Mixer::end(int v, EndKind kind) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    const std::int64_t heard = heardPos(r);
    r.playing = false;
    applyWindow(r); // a window asked for during the playback applies from here
    const std::int64_t len = winLen(r);
    r.pos = kind == EndKind::Finished ? len : kind == EndKind::Faded ? 0 : std::min(heard, len);
    r.ended = true;
    r.failed = kind == EndKind::Failed;
    r.faded = kind == EndKind::Faded;
    r.lead = 0;
    r.startAhead = false;
    r.dimLevel = 1.0f;
    r.dimStep = 0.0f;
    r.dimPower = false;
    postEvent(v, Event{static_cast<std::uint8_t>(v), r.stamp, kind});
    prime(v, 0);
    r.dirty = true;
}

// Mixes up to `frames` frames of the voice's playback into `out`, whose first frame is output
// frame `at`; returns how many it mixed.
int Mixer::mixPlayback(int v, float* out, int frames, std::int64_t blockNs, std::int64_t at) {
    Voice& r = m_voices[static_cast<std::size_t>(v)];
    if (!r.playing || r.needPrime)
        return 0;
    float* buf = m_scratch.data();
    int produced = 0;
    while (produced < frames && r.playing) {
        const std::int64_t len = winLen(r);
        const bool exact = endKnown(r);
        if (r.pos >= len && exact) {
            if (r.loop && len > 0) {
                // The next pass follows in the same block: the head from memory, then the
                // ring, where the worker went on after the out point.
                r.passOffset += nextPass(r);
                r.pos = 0;
                r.laterPass = true;
                continue;
            }
            end(v, EndKind::Finished);
            break;
        }
        const int want = frames - produced;
        const std::int64_t ready = available(v, r.pos, r.passOffset);
        const std::int64_t rest =
            exact ? len - r.pos : std::numeric_limits<std::int64_t>::max() / 2;
        const std::int64_t margin = r.starved ? kResumeMargin : m_fadeInFrames;
        if (ready < std::min<std::int64_t>(rest, want + margin)) {
            if (!r.sounding || r.starved)
                break; // waits, silent, for the worker
            // The read-ahead runs dry: what there is fades out, and the voice waits.
            const int n = readStream(v, r.pos, r.passOffset, buf,
                                     static_cast<int>(std::min<std::int64_t>(ready, want)));
            const int fade = std::min(n, m_fadeInFrames);
            for (int i = n - fade; i < n; ++i) {
                const float ramp = static_cast<float>(n - i) / static_cast<float>(fade + 1);
                buf[2 * i] *= ramp;
                buf[2 * i + 1] *= ramp;
            }
            const int added = addVoice(v, buf, out + produced * 2, n, at + produced);
            r.pos += added;
            produced += added;
            r.starved = true;
            m_ch.underruns.fetch_add(1, std::memory_order_relaxed);
            if (added < n)
                end(v, EndKind::Faded);
            break;
        }
        if (r.starved) {
            r.starved = false;
            r.fadeInLeft = m_fadeInFrames;
        }
        const int n = readStream(v, r.pos, r.passOffset, buf,
                                 static_cast<int>(std::min<std::int64_t>(want, ready)));
        if (n <= 0)
            break;
        const int added = addVoice(v, buf, out + produced * 2, n, at + produced);
        if (!r.sounding) {
            r.sounding = true;
            if (r.awaitingFirst) {
                r.awaitingFirst = false;
                m_ch.startLatency.store(blockNs - r.startNs, std::memory_order_relaxed);
            }
        }
        r.pos += added;
        produced += added;
        if (added < n) {
            end(v, EndKind::Faded);
            break;
        }
    }
    return produced;
}

void Mixer::mixTone(float* out, int frames) {
    for (int i = 0; i < frames && m_toneLeft > 0; ++i, --m_toneLeft) {
        const std::int64_t done = m_toneTotal - m_toneLeft;
        float level = kToneLevel;
        if (done < m_toneEdge)
            level *= static_cast<float>(done) / static_cast<float>(m_toneEdge);
        else if (m_toneLeft < m_toneEdge)
            level *= static_cast<float>(m_toneLeft) / static_cast<float>(m_toneEdge);
        const float s = level * static_cast<float>(std::sin(m_tonePhase));
        m_tonePhase += m_toneStep;
        if (m_tonePhase > 2.0 * std::numbers::pi)
            m_tonePhase -= 2.0 * std::numbers::pi;
        out[2 * i] += s;
        out[2 * i + 1] += s;
    }
}

} // namespace media::detail
