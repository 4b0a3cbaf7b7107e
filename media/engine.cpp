#include "engine.h"

#include "spscqueue.h"
#include <SDL.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

namespace media {

namespace {

// Read-ahead per voice: about 1.4 s at 48 kHz.
constexpr std::int64_t kRingFrames = 1 << 16;
// Frames the worker decodes into a ring at a time, and the least free room worth a visit.
constexpr std::int64_t kFillChunk = 4096;
constexpr std::int64_t kFillMinRoom = 1024;
// Mixer block: longer device buffers are mixed in pieces of this size.
constexpr int kMaxBlock = 1024;
// Fade of an interrupted playback, and of a start in the middle of a clip (frames at 48 kHz;
// scaled to the output rate).
constexpr double kFadeOutSeconds = 0.005;
constexpr double kFadeInSeconds = 0.003;
constexpr double kGainRampSeconds = 0.005;
constexpr int kMaxFadeFrames = 1024;

constexpr std::size_t kCommandCapacity = 1024;
constexpr std::size_t kRequestCapacity = 256;
constexpr std::size_t kEventCapacity = 256;

// The published state of a voice, one 64-bit word: position (40 bits), ended, playing and
// failed flags and the low 21 bits of the playback stamp.
constexpr std::uint64_t kPosMask = (std::uint64_t{1} << 40) - 1;
constexpr std::uint64_t kEndedBit = std::uint64_t{1} << 40;
constexpr std::uint64_t kPlayingBit = std::uint64_t{1} << 41;
constexpr std::uint64_t kFailedBit = std::uint64_t{1} << 42;
constexpr int kStampShift = 43;
constexpr std::uint32_t kStampMask = (1u << 21) - 1;

std::uint64_t pack(std::uint32_t stamp, bool playing, bool ended, bool failed, std::int64_t pos) {
    return (std::uint64_t{stamp & kStampMask} << kStampShift) | (playing ? kPlayingBit : 0) |
           (ended ? kEndedBit : 0) | (failed ? kFailedBit : 0) |
           (static_cast<std::uint64_t>(pos) & kPosMask);
}
std::uint32_t stampOf(std::uint64_t s) {
    return static_cast<std::uint32_t>(s >> kStampShift);
}
std::int64_t posOf(std::uint64_t s) {
    return static_cast<std::int64_t>(s & kPosMask);
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Command {
    enum Type : std::uint8_t { Load, Unload, Play, Stop, Seek, Gain };
    Type type = Gain;
    std::uint8_t voice = 0;
    bool resume = false; // Play: a playing voice goes on where it is
    std::uint32_t stamp = 0;
    std::int64_t frame = 0;
    float gain = 1.0f;
    Clip* clip = nullptr;
    std::uint64_t seq = 0;
    std::int64_t timeNs = 0;
};

// Asks the worker to fill a voice's ring from `frame` of `clip` (none: let go of the clip).
struct FillRequest {
    std::uint8_t voice = 0;
    Clip* clip = nullptr;
    std::int64_t frame = 0;
    std::uint32_t seq = 0;
    std::uint64_t cmdSeq = 0;
};

struct Event {
    std::uint8_t voice = 0;
    std::uint32_t stamp = 0;
    EndKind kind = EndKind::Finished;
};

// Single-producer (worker) single-consumer (audio) ring of stereo frames. A fill request
// starts a segment at the current write index; the frames before it are stale and the audio
// thread skips them once it sees the segment's sequence number.
struct Ring {
    std::unique_ptr<float[]> data{new float[kRingFrames * 2]()};
    std::atomic<std::uint64_t> writeIndex{0};
    std::atomic<std::uint64_t> readIndex{0};
    std::atomic<std::uint32_t> seq{0};
    std::atomic<std::uint64_t> segStart{0};
    std::atomic<std::int64_t> segFrame{0};
};

// Voice state owned by the audio thread.
struct VoiceRT {
    Clip* clip = nullptr;
    bool playing = false;
    std::int64_t pos = 0;
    std::uint32_t stamp = 0;
    float gain = 1.0f;
    float target = 1.0f;
    int fadeInLeft = 0;
    // The ring segment this voice expects.
    std::uint32_t fillSeq = 0;
    std::int64_t fillFrame = -1;
    bool fillTouched = false;
    bool requestPending = false;
    FillRequest pending;
    bool eventPending = false;
    Event pendingEvent;
    // Tail of an interrupted playback, already faded and scaled, mixed over the next blocks.
    std::array<float, kMaxFadeFrames * 2> fade{};
    std::array<float, kMaxFadeFrames * 2> fadeTmp{};
    int fadeLen = 0;
    int fadePos = 0;
    bool awaitingFirst = false;
    std::int64_t startNs = 0;
    bool dirty = true;
    bool ended = false;  // the playback `stamp` is over: at the end, or by a failure
    bool failed = false; // ... by a device failure
};

// Voice state owned by the control thread.
struct VoiceUI {
    std::shared_ptr<Clip> clip;
    bool playing = false;
    std::uint32_t stamp = 0;
    std::int64_t pos = 0; // the position while stopped; the start of the current playback
};

// Voice state owned by the worker.
struct VoiceWork {
    Clip* clip = nullptr;
    bool done = true;
};

struct Retired {
    std::shared_ptr<Clip> clip;
    int voice;
    std::uint64_t seq;
};

std::mutex g_sdlMutex;
int g_sdlUsers = 0;

} // namespace

struct Engine::Impl {
    Options options;
    // What the engine plays on; changed by the device watchdog after a failure, so the
    // control thread reads it under infoMutex.
    mutable std::mutex infoMutex;
    Output output = Output::None;
    bool fellBack = false;
    std::string driver = "none";
    int rate = 48000; // fixed for the engine's life: clips are converted to it
    int period = 128;
    SDL_AudioDeviceID device = 0; // owned by the constructor, then the worker's watchdog
    bool deviceMixes = false;     // the device's callback runs the mixer, render() must not
    // Device failures: the watchdog counts them, the mixer ends every playback it sees one in.
    std::atomic<std::uint32_t> failures{0};
    std::uint32_t failuresSeen = 0;
    std::chrono::steady_clock::time_point nextDeviceCheck;
    int fadeOutFrames = 240;
    int fadeInFrames = 144;
    float gainStep = 1.0f / 240.0f;

    moodycamel::ReaderWriterQueue<Command> commands{kCommandCapacity};
    moodycamel::ReaderWriterQueue<FillRequest> requests{kRequestCapacity};
    moodycamel::ReaderWriterQueue<Event> events{kEventCapacity};

    std::array<Ring, kVoices> rings;
    std::array<VoiceRT, kVoices> rt;
    std::array<VoiceUI, kVoices> ui;
    std::array<VoiceWork, kVoices> work;
    std::array<std::atomic<std::uint64_t>, kVoices> published{};
    std::array<std::atomic<std::uint64_t>, kVoices> workerAck{};
    std::vector<float> scratch = std::vector<float>(kMaxBlock * 2);

    std::uint64_t nextSeq = 1;
    std::uint32_t nextStamp = 1;
    std::vector<Retired> retired;

    std::atomic<std::uint64_t> underruns{0};
    std::atomic<std::uint64_t> late{0};
    std::atomic<std::int64_t> startLatency{-1};

    // Worker.
    std::thread worker;
    std::counting_semaphore<1> wake{0};
    std::atomic<bool> wakePosted{false};
    std::atomic<bool> quit{false};
    std::mutex idleMutex;
    std::condition_variable idleCv;
    std::uint64_t passesStarted = 0;
    std::uint64_t lastCompleted = 0; // number of the last pass that ran to its end
    std::mutex listenerMutex;
    std::array<Listener, kVoices> listeners;
    std::vector<float> workScratch;

    void openOutput();
    bool openDevice(bool allowRateChange);
    void closeOutput();
    void watchDevice();
    static void sdlCallback(void* self, Uint8* stream, int len);

    // Control thread.
    std::uint64_t send(Command c); // returns the command's sequence number
    void collect();
    std::int64_t currentPos(int v) const;
    bool currentlyPlaying(int v) const;

    // Audio thread.
    void mix(float* out, int frames);
    void processCommands();
    void mixVoice(int v, float* out, int frames, std::int64_t blockNs);
    void beginFade(int v);
    void request(int v, Clip* clip, std::int64_t frame, std::uint64_t cmdSeq);
    void prime(int v, std::uint64_t cmdSeq);
    void skipStale(int v);
    int readStream(int v, std::int64_t pos, float* dst, int frames, bool& underrun);
    void publish(int v);
    void postEvent(int v, const Event& e);
    void wakeWorker();

    // Worker.
    void workerLoop();
    bool fillOnce(int v);
};

// ---------------------------------------------------------------------------------------------
// Output device

void Engine::Impl::openOutput() {
    rate = options.sampleRate;
    period = options.periodFrames;
    output = options.output;
    if (output != Output::None) {
        std::lock_guard lock(g_sdlMutex);
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        openDevice(true);
    }
    fadeOutFrames = std::clamp(static_cast<int>(kFadeOutSeconds * rate), 1, kMaxFadeFrames);
    fadeInFrames = std::max(1, static_cast<int>(kFadeInSeconds * rate));
    gainStep = 1.0f / std::max(1.0f, static_cast<float>(kGainRampSeconds * rate));
}

// Opens the default device of the wanted output (g_sdlMutex held), falling back to SDL's
// dummy driver when no device opens: SDL does not fall back by itself.
bool Engine::Impl::openDevice(bool allowRateChange) {
    SDL_AudioSpec want{};
    want.freq = rate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = static_cast<Uint16>(std::clamp(options.periodFrames, 16, 8192));
    want.callback = &Impl::sdlCallback;
    want.userdata = this;
    SDL_AudioSpec have{};
    const int allow =
        SDL_AUDIO_ALLOW_SAMPLES_CHANGE | (allowRateChange ? SDL_AUDIO_ALLOW_FREQUENCY_CHANGE : 0);
    const Output wanted = options.output;
    bool initialised = g_sdlUsers > 0; // else another engine of this process chose the driver
    if (!initialised)
        initialised = SDL_AudioInit(wanted == Output::Dummy ? "dummy" : nullptr) == 0;
    if (initialised)
        device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, allow);
    bool fell = false;
    if (!device && g_sdlUsers == 0) {
        if (initialised)
            SDL_AudioQuit();
        initialised = SDL_AudioInit("dummy") == 0;
        if (initialised)
            device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, allow);
        fell = wanted == Output::Device;
    }
    std::lock_guard info(infoMutex);
    fellBack = fell;
    if (!device) {
        if (initialised && g_sdlUsers == 0)
            SDL_AudioQuit();
        output = Output::None; // no output at all; the voices stand still
        driver = "none";
        deviceMixes = false;
        return false;
    }
    ++g_sdlUsers;
    const char* name = SDL_GetCurrentAudioDriver();
    driver = name ? name : "";
    output = driver == "dummy" ? Output::Dummy : Output::Device;
    if (allowRateChange)
        rate = have.freq; // only before any clip was converted to it
    period = have.samples;
    deviceMixes = true;
    nextDeviceCheck = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    return true;
}

void Engine::Impl::closeOutput() {
    if (!device)
        return;
    std::lock_guard lock(g_sdlMutex);
    SDL_CloseAudioDevice(device); // waits for a callback in progress
    device = 0;
    if (--g_sdlUsers == 0)
        SDL_AudioQuit();
}

// Runs on the worker a few times a second: a device that SDL has given up on (unplugged, or
// its server gone) ends every playback with a failure, and the engine moves to the default
// device, or to the dummy driver when there is none, so that the board goes on working.
void Engine::Impl::watchDevice() {
    if (!device || std::chrono::steady_clock::now() < nextDeviceCheck)
        return;
    nextDeviceCheck = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    if (SDL_GetAudioDeviceStatus(device) != SDL_AUDIO_STOPPED)
        return;
    failures.fetch_add(1, std::memory_order_release);
    std::lock_guard lock(g_sdlMutex);
    SDL_CloseAudioDevice(device);
    device = 0;
    --g_sdlUsers;
    if (g_sdlUsers == 0)
        SDL_AudioQuit();
    // The clips are converted to the engine's rate: the new device must take it (SDL
    // converts where the hardware cannot).
    if (openDevice(false))
        SDL_PauseAudioDevice(device, 0);
}

void Engine::Impl::sdlCallback(void* self, Uint8* stream, int len) {
    auto* d = static_cast<Impl*>(self);
    const int frames = len / static_cast<int>(2 * sizeof(float));
    const std::int64_t t0 = nowNs();
    d->mix(reinterpret_cast<float*>(stream), frames);
    const std::int64_t spent = nowNs() - t0;
    if (spent * d->rate > std::int64_t{1'000'000'000} * frames)
        d->late.fetch_add(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Audio thread

void Engine::Impl::mix(float* out, int frames) {
    const std::int64_t blockNs = nowNs();
    processCommands();
    const std::uint32_t failed = failures.load(std::memory_order_acquire);
    if (failed != failuresSeen) {
        failuresSeen = failed;
        for (int v = 0; v < kVoices; ++v) {
            VoiceRT& r = rt[static_cast<std::size_t>(v)];
            if (!r.playing)
                continue;
            beginFade(v);
            r.playing = false;
            r.ended = true; // over, where it stands
            r.failed = true;
            postEvent(v, Event{static_cast<std::uint8_t>(v), r.stamp, EndKind::Failed});
            prime(v, 0);
            r.dirty = true;
        }
    }
    std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
    for (int v = 0; v < kVoices; ++v)
        skipStale(v);
    for (int done = 0; done < frames;) {
        const int n = std::min(kMaxBlock, frames - done);
        for (int v = 0; v < kVoices; ++v)
            mixVoice(v, out + static_cast<std::ptrdiff_t>(done) * 2, n, blockNs);
        done += n;
    }
    bool wakeNeeded = false;
    for (int v = 0; v < kVoices; ++v) {
        VoiceRT& r = rt[static_cast<std::size_t>(v)];
        if (r.requestPending && requests.try_enqueue(r.pending))
            r.requestPending = false;
        if (r.eventPending && events.try_enqueue(r.pendingEvent))
            r.eventPending = false;
        if (r.dirty || r.playing)
            publish(v);
        wakeNeeded = wakeNeeded || r.playing || r.dirty;
        r.dirty = false;
    }
    if (wakeNeeded)
        wakeWorker();
}

void Engine::Impl::wakeWorker() {
    if (!wakePosted.exchange(true, std::memory_order_acq_rel))
        wake.release();
}

void Engine::Impl::publish(int v) {
    const VoiceRT& r = rt[static_cast<std::size_t>(v)];
    published[static_cast<std::size_t>(v)].store(pack(r.stamp, r.playing, r.ended, r.failed, r.pos),
                                                 std::memory_order_release);
}

void Engine::Impl::postEvent(int v, const Event& e) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    if (r.eventPending) {
        // An older event still waits for room; it is for an older playback, so it goes first
        // when the queue has room, and this one takes its place only if it cannot.
        if (events.try_enqueue(r.pendingEvent))
            r.eventPending = false;
    }
    if (r.eventPending || !events.try_enqueue(e)) {
        r.pendingEvent = e;
        r.eventPending = true;
    }
}

void Engine::Impl::request(int v, Clip* clip, std::int64_t frame, std::uint64_t cmdSeq) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    r.fillSeq++;
    r.fillFrame = frame;
    r.fillTouched = false;
    FillRequest q{static_cast<std::uint8_t>(v), clip, frame, r.fillSeq, cmdSeq};
    // A request that cannot be queued now waits in the voice; a newer one replaces it, which
    // is right: the worker only ever needs the latest for a voice. It carries the commands
    // the replaced one acknowledged, so that their clips are still released.
    if (r.requestPending)
        q.cmdSeq = std::max(q.cmdSeq, r.pending.cmdSeq);
    if (r.requestPending || !requests.try_enqueue(q)) {
        r.pending = q;
        r.requestPending = true;
    }
    r.dirty = true;
}

// Asks for the ring to hold what the next play() from the current position will need.
void Engine::Impl::prime(int v, std::uint64_t cmdSeq) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    if (!r.clip)
        return;
    const std::int64_t head = r.clip->headFrames();
    const std::int64_t len = r.clip->length();
    std::int64_t want = std::max(r.pos, head);
    if (r.pos >= len && r.clip->lengthExact())
        want = head; // a play from the end starts again from the beginning
    if (want == r.fillFrame && !r.fillTouched)
        return;
    request(v, r.clip, want, cmdSeq);
}

void Engine::Impl::skipStale(int v) {
    Ring& ring = rings[static_cast<std::size_t>(v)];
    const VoiceRT& r = rt[static_cast<std::size_t>(v)];
    if (ring.seq.load(std::memory_order_acquire) != r.fillSeq)
        return;
    const std::uint64_t start = ring.segStart.load(std::memory_order_relaxed);
    if (ring.readIndex.load(std::memory_order_relaxed) < start)
        ring.readIndex.store(start, std::memory_order_release);
}

// Copies up to `frames` of the voice's clip at `pos` from the head or the ring.
int Engine::Impl::readStream(int v, std::int64_t pos, float* dst, int frames, bool& underrun) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    Clip* clip = r.clip;
    const std::int64_t head = clip->headFrames();
    const std::int64_t len = clip->length();
    std::int64_t n = std::min<std::int64_t>(frames, len - pos);
    if (n <= 0)
        return 0;
    if (pos < head) {
        n = std::min(n, head - pos);
        std::memcpy(dst, clip->head() + pos * 2, static_cast<std::size_t>(n) * 2 * sizeof(float));
        return static_cast<int>(n);
    }
    Ring& ring = rings[static_cast<std::size_t>(v)];
    if (ring.seq.load(std::memory_order_acquire) != r.fillSeq) {
        underrun = true;
        return 0;
    }
    const std::uint64_t segStart = ring.segStart.load(std::memory_order_relaxed);
    const std::int64_t segFrame = ring.segFrame.load(std::memory_order_relaxed);
    if (pos < segFrame) {
        underrun = true;
        return 0;
    }
    const std::uint64_t idx = segStart + static_cast<std::uint64_t>(pos - segFrame);
    const std::uint64_t written = ring.writeIndex.load(std::memory_order_acquire);
    if (idx < ring.readIndex.load(std::memory_order_relaxed) || idx >= written) {
        underrun = true;
        return 0;
    }
    n = std::min<std::int64_t>(n, static_cast<std::int64_t>(written - idx));
    const std::int64_t at = static_cast<std::int64_t>(idx % kRingFrames);
    const std::int64_t first = std::min(n, kRingFrames - at);
    std::memcpy(dst, ring.data.get() + at * 2, static_cast<std::size_t>(first) * 2 * sizeof(float));
    if (n > first)
        std::memcpy(dst + first * 2, ring.data.get(),
                    static_cast<std::size_t>(n - first) * 2 * sizeof(float));
    ring.readIndex.store(idx + static_cast<std::uint64_t>(n), std::memory_order_release);
    r.fillTouched = true;
    return static_cast<int>(n);
}

// Captures the next few milliseconds of a playback that is being interrupted, faded to
// silence, so that the interruption does not cut the waveform.
void Engine::Impl::beginFade(int v) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    if (!r.playing || !r.clip)
        return;
    const int len = fadeOutFrames;
    float* buf = r.fadeTmp.data();
    int got = 0;
    bool underrun = false;
    std::int64_t pos = r.pos;
    while (got < len) {
        int n = readStream(v, pos, buf + got * 2, len - got, underrun);
        if (n <= 0)
            break;
        pos += n;
        got += n;
    }
    std::fill(buf + got * 2, buf + len * 2, 0.0f);
    float g = r.gain;
    for (int i = 0; i < len; ++i) {
        if (g < r.target)
            g = std::min(r.target, g + gainStep);
        else if (g > r.target)
            g = std::max(r.target, g - gainStep);
        float ramp = 1.0f - static_cast<float>(i + 1) / static_cast<float>(len);
        if (r.fadeInLeft > i)
            ramp *= 1.0f - static_cast<float>(r.fadeInLeft - i) / static_cast<float>(fadeInFrames);
        buf[2 * i] *= g * ramp;
        buf[2 * i + 1] *= g * ramp;
    }
    // A fade still running from an earlier interruption goes on under the new one.
    const int rest = std::min(r.fadeLen - r.fadePos, len);
    for (int i = 0; i < rest * 2; ++i)
        buf[i] += r.fade[static_cast<std::size_t>(r.fadePos * 2 + i)];
    std::swap(r.fade, r.fadeTmp);
    r.fadeLen = len;
    r.fadePos = 0;
}

void Engine::Impl::processCommands() {
    Command c;
    while (commands.try_dequeue(c)) {
        const int v = c.voice;
        VoiceRT& r = rt[static_cast<std::size_t>(v)];
        r.dirty = true;
        switch (c.type) {
        case Command::Load:
            beginFade(v);
            r.clip = c.clip;
            r.playing = false;
            r.ended = false;
            r.failed = false;
            r.pos = 0;
            r.gain = r.target = c.gain;
            r.fillFrame = -1;
            prime(v, c.seq);
            break;
        case Command::Unload:
            beginFade(v);
            r.clip = nullptr;
            r.playing = false;
            r.ended = false;
            r.failed = false;
            r.pos = 0;
            request(v, nullptr, 0, c.seq);
            break;
        case Command::Play: {
            if (!r.clip)
                break;
            if (r.playing && c.resume) {
                r.stamp = c.stamp;
                break;
            }
            beginFade(v);
            r.pos = std::clamp<std::int64_t>(c.frame, 0, r.clip->length());
            r.playing = true;
            r.ended = false;
            r.failed = false;
            r.stamp = c.stamp;
            r.fadeInLeft = r.pos > 0 ? fadeInFrames : 0;
            r.awaitingFirst = true;
            r.startNs = c.timeNs;
            const std::int64_t want = std::max(r.pos, r.clip->headFrames());
            if (!(want == r.fillFrame && !r.fillTouched))
                request(v, r.clip, want, c.seq);
            break;
        }
        case Command::Stop:
        case Command::Seek:
            beginFade(v);
            r.playing = false;
            r.ended = false;
            r.failed = false;
            if (r.clip) {
                r.pos = std::clamp<std::int64_t>(c.frame, 0, r.clip->length());
                prime(v, c.seq);
            }
            break;
        case Command::Gain:
            r.target = c.gain;
            if (!r.playing)
                r.gain = c.gain; // nothing sounds: no ramp needed
            break;
        }
    }
}

void Engine::Impl::mixVoice(int v, float* out, int frames, std::int64_t blockNs) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    if (r.fadePos < r.fadeLen) {
        const int n = std::min(frames, r.fadeLen - r.fadePos);
        const float* f = r.fade.data() + r.fadePos * 2;
        for (int i = 0; i < n * 2; ++i)
            out[i] += f[i];
        r.fadePos += n;
    }
    if (!r.playing)
        return;
    float* buf = scratch.data();
    int produced = 0;
    while (produced < frames) {
        const std::int64_t len = r.clip->length();
        if (r.pos >= len) {
            if (!r.clip->lengthExact()) {
                underruns.fetch_add(1, std::memory_order_relaxed);
                break; // the decoder has not found the end yet
            }
            r.playing = false;
            r.ended = true;
            r.failed = false;
            r.pos = len;
            postEvent(v, Event{static_cast<std::uint8_t>(v), r.stamp, EndKind::Finished});
            prime(v, 0);
            r.dirty = true;
            break;
        }
        bool underrun = false;
        const int n = readStream(v, r.pos, buf, frames - produced, underrun);
        if (n <= 0) {
            if (underrun)
                underruns.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        float* o = out + produced * 2;
        if (r.gain == r.target && r.fadeInLeft == 0) {
            const float g = r.gain;
            if (g == 1.0f) {
                for (int i = 0; i < n * 2; ++i)
                    o[i] += buf[i];
            } else {
                for (int i = 0; i < n * 2; ++i)
                    o[i] += buf[i] * g;
            }
        } else {
            for (int i = 0; i < n; ++i) {
                if (r.gain < r.target)
                    r.gain = std::min(r.target, r.gain + gainStep);
                else if (r.gain > r.target)
                    r.gain = std::max(r.target, r.gain - gainStep);
                float g = r.gain;
                if (r.fadeInLeft > 0) {
                    g *= 1.0f - static_cast<float>(r.fadeInLeft) / static_cast<float>(fadeInFrames);
                    --r.fadeInLeft;
                }
                o[2 * i] += buf[2 * i] * g;
                o[2 * i + 1] += buf[2 * i + 1] * g;
            }
        }
        if (r.awaitingFirst) {
            r.awaitingFirst = false;
            startLatency.store(blockNs - r.startNs, std::memory_order_relaxed);
        }
        r.pos += n;
        produced += n;
    }
}

// ---------------------------------------------------------------------------------------------
// Worker

void Engine::Impl::workerLoop() {
    workScratch.resize(kFillChunk * 2);
    while (!quit.load(std::memory_order_acquire)) {
        (void)wake.try_acquire_for(std::chrono::milliseconds(20));
        wakePosted.store(false, std::memory_order_release);
        std::uint64_t pass;
        {
            std::lock_guard lock(idleMutex);
            pass = ++passesStarted;
        }
        bool progress = true;
        while (progress && !quit.load(std::memory_order_acquire)) {
            progress = false;
            FillRequest q;
            while (requests.try_dequeue(q)) {
                VoiceWork& w = work[q.voice];
                Ring& ring = rings[q.voice];
                w.clip = q.clip;
                w.done = q.clip == nullptr;
                if (q.clip)
                    q.clip->seek(q.frame);
                ring.segStart.store(ring.writeIndex.load(std::memory_order_relaxed),
                                    std::memory_order_relaxed);
                ring.segFrame.store(q.frame, std::memory_order_relaxed);
                ring.seq.store(q.seq, std::memory_order_release);
                std::uint64_t prev = workerAck[q.voice].load(std::memory_order_relaxed);
                if (q.cmdSeq > prev)
                    workerAck[q.voice].store(q.cmdSeq, std::memory_order_release);
                progress = true;
            }
            Event e;
            while (events.try_dequeue(e)) {
                std::lock_guard lock(listenerMutex);
                if (listeners[e.voice]) {
                    try {
                        listeners[e.voice](e.stamp, e.kind);
                    } catch (...) {
                        // A listener that fails loses this event; the worker goes on.
                    }
                }
            }
            watchDevice();
            // One chunk per voice per round, so that no voice waits behind a long fill.
            for (int v = 0; v < kVoices; ++v)
                progress = fillOnce(v) || progress;
        }
        {
            std::lock_guard lock(idleMutex);
            lastCompleted = pass;
        }
        idleCv.notify_all();
    }
}

bool Engine::Impl::fillOnce(int v) {
    VoiceWork& w = work[static_cast<std::size_t>(v)];
    if (!w.clip || w.done)
        return false;
    Ring& ring = rings[static_cast<std::size_t>(v)];
    const std::uint64_t wi = ring.writeIndex.load(std::memory_order_relaxed);
    const std::uint64_t ri = ring.readIndex.load(std::memory_order_acquire);
    const std::int64_t room = kRingFrames - static_cast<std::int64_t>(wi - ri);
    if (room < kFillMinRoom)
        return false;
    const std::int64_t n = std::min(room, kFillChunk);
    const std::int64_t at = static_cast<std::int64_t>(wi % kRingFrames);
    const std::int64_t first = std::min(n, kRingFrames - at);
    std::int64_t got = w.clip->read(ring.data.get() + at * 2, first);
    if (got == first && n > first)
        got += w.clip->read(ring.data.get(), n - first);
    if (got < n)
        w.done = true; // the end of the clip
    if (got > 0)
        ring.writeIndex.store(wi + static_cast<std::uint64_t>(got), std::memory_order_release);
    return got > 0;
}

// ---------------------------------------------------------------------------------------------
// Control thread

std::uint64_t Engine::Impl::send(Command c) {
    c.seq = nextSeq++;
    // The producer side may allocate when the mixer has fallen far behind (or, without a
    // device, nobody renders); the mixer side never does.
    commands.enqueue(c);
    return c.seq;
}

void Engine::Impl::collect() {
    std::erase_if(retired, [this](const Retired& r) {
        return workerAck[static_cast<std::size_t>(r.voice)].load(std::memory_order_acquire) >=
               r.seq;
    });
}

bool Engine::Impl::currentlyPlaying(int v) const {
    const VoiceUI& u = ui[static_cast<std::size_t>(v)];
    if (!u.playing)
        return false;
    const std::uint64_t s = published[static_cast<std::size_t>(v)].load(std::memory_order_acquire);
    return !(stampOf(s) == (u.stamp & kStampMask) && (s & kEndedBit));
}

std::int64_t Engine::Impl::currentPos(int v) const {
    const VoiceUI& u = ui[static_cast<std::size_t>(v)];
    if (!u.playing)
        return u.pos;
    const std::uint64_t s = published[static_cast<std::size_t>(v)].load(std::memory_order_acquire);
    if (stampOf(s) == (u.stamp & kStampMask) && (s & (kPlayingBit | kEndedBit)))
        return posOf(s);
    return u.pos; // the mixer has not started this playback yet
}

Engine::Engine(Options options) : d(std::make_unique<Impl>()) {
    d->options = options;
    d->openOutput();
    if (d->device)
        SDL_PauseAudioDevice(d->device, 0);
    d->worker = std::thread([this] { d->workerLoop(); });
}

Engine::~Engine() {
    d->quit.store(true, std::memory_order_release);
    d->wake.release();
    d->worker.join(); // the worker may reopen the device: stop it first
    d->closeOutput();
}

Engine::Output Engine::output() const {
    std::lock_guard lock(d->infoMutex);
    return d->output;
}
bool Engine::hasSoundDevice() const {
    return output() == Output::Device;
}
bool Engine::fellBackToDummy() const {
    std::lock_guard lock(d->infoMutex);
    return d->fellBack;
}
std::string Engine::driverName() const {
    std::lock_guard lock(d->infoMutex);
    return d->driver;
}
int Engine::sampleRate() const {
    return d->rate;
}
int Engine::periodFrames() const {
    std::lock_guard lock(d->infoMutex);
    return d->period;
}

void Engine::render(float* out, int frames) {
    bool deviceMixes;
    {
        std::lock_guard lock(d->infoMutex);
        deviceMixes = d->deviceMixes;
    }
    if (deviceMixes) {
        std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
        return; // the device's callback mixes; a second mixer thread would race it
    }
    d->mix(out, frames);
}

std::shared_ptr<Clip> Engine::openClip(const std::string& path) const {
    return Clip::open(path, d->rate);
}

void Engine::load(int voice, std::shared_ptr<Clip> clip) {
    if (voice < 0 || voice >= kVoices || !clip)
        return;
    d->collect();
    VoiceUI& u = d->ui[static_cast<std::size_t>(voice)];
    Command c;
    c.type = Command::Load;
    c.voice = static_cast<std::uint8_t>(voice);
    c.clip = clip.get();
    c.gain = 1.0f;
    const std::uint64_t seq = d->send(c);
    // The replaced clip lives until the mixer and the worker have both seen this command.
    if (u.clip)
        d->retired.push_back({std::move(u.clip), voice, seq});
    u.clip = std::move(clip);
    u.playing = false;
    u.pos = 0;
}

void Engine::unload(int voice) {
    if (voice < 0 || voice >= kVoices)
        return;
    d->collect();
    VoiceUI& u = d->ui[static_cast<std::size_t>(voice)];
    if (!u.clip)
        return;
    Command c;
    c.type = Command::Unload;
    c.voice = static_cast<std::uint8_t>(voice);
    d->retired.push_back({std::move(u.clip), voice, d->send(c)});
    u.clip.reset();
    u.playing = false;
    u.pos = 0;
}

std::uint32_t Engine::play(int voice) {
    if (voice < 0 || voice >= kVoices)
        return 0;
    VoiceUI& u = d->ui[static_cast<std::size_t>(voice)];
    if (!u.clip)
        return 0;
    const bool playing = d->currentlyPlaying(voice);
    const std::int64_t pos = d->currentPos(voice);
    std::uint32_t stamp = d->nextStamp;
    d->nextStamp = (d->nextStamp + 1) & kStampMask;
    if (d->nextStamp == 0)
        d->nextStamp = 1;
    Command c;
    c.type = Command::Play;
    c.voice = static_cast<std::uint8_t>(voice);
    c.resume = playing;
    c.stamp = stamp;
    c.frame = pos;
    c.timeNs = nowNs();
    d->send(c);
    u.playing = true;
    u.stamp = stamp;
    u.pos = pos;
    return stamp;
}

void Engine::stop(int voice) {
    if (voice < 0 || voice >= kVoices)
        return;
    VoiceUI& u = d->ui[static_cast<std::size_t>(voice)];
    if (!u.clip)
        return;
    const std::int64_t pos = d->currentPos(voice);
    Command c;
    c.type = Command::Stop;
    c.voice = static_cast<std::uint8_t>(voice);
    c.frame = pos;
    d->send(c);
    u.playing = false;
    u.pos = pos;
}

void Engine::seek(int voice, std::int64_t frame) {
    if (voice < 0 || voice >= kVoices)
        return;
    VoiceUI& u = d->ui[static_cast<std::size_t>(voice)];
    if (!u.clip)
        return;
    frame = std::clamp<std::int64_t>(frame, 0, u.clip->length());
    Command c;
    c.type = Command::Seek;
    c.voice = static_cast<std::uint8_t>(voice);
    c.frame = frame;
    d->send(c);
    u.playing = false;
    u.pos = frame;
}

void Engine::setGain(int voice, float gain) {
    if (voice < 0 || voice >= kVoices)
        return;
    Command c;
    c.type = Command::Gain;
    c.voice = static_cast<std::uint8_t>(voice);
    c.gain = std::clamp(gain, 0.0f, 1.0f);
    d->send(c);
}

bool Engine::loaded(int voice) const {
    return voice >= 0 && voice < kVoices && d->ui[static_cast<std::size_t>(voice)].clip;
}

std::optional<EndKind> Engine::endedAs(int voice) const {
    if (!loaded(voice))
        return std::nullopt;
    const VoiceUI& u = d->ui[static_cast<std::size_t>(voice)];
    const std::uint64_t s =
        d->published[static_cast<std::size_t>(voice)].load(std::memory_order_acquire);
    if (!u.playing || stampOf(s) != (u.stamp & kStampMask) || !(s & kEndedBit))
        return std::nullopt;
    return (s & kFailedBit) ? EndKind::Failed : EndKind::Finished;
}

bool Engine::isPlaying(int voice) const {
    return loaded(voice) && d->currentlyPlaying(voice);
}

std::int64_t Engine::position(int voice) const {
    if (!loaded(voice))
        return 0;
    return std::min(d->currentPos(voice), length(voice));
}

std::int64_t Engine::length(int voice) const {
    if (!loaded(voice))
        return 0;
    return d->ui[static_cast<std::size_t>(voice)].clip->length();
}

void Engine::setListener(int voice, Listener listener) {
    if (voice < 0 || voice >= kVoices)
        return;
    std::lock_guard lock(d->listenerMutex);
    d->listeners[static_cast<std::size_t>(voice)] = std::move(listener);
}

std::uint64_t Engine::underruns() const {
    return d->underruns.load(std::memory_order_relaxed);
}
std::uint64_t Engine::lateCallbacks() const {
    return d->late.load(std::memory_order_relaxed);
}
std::int64_t Engine::lastStartLatencyNs() const {
    return d->startLatency.load(std::memory_order_relaxed);
}

bool Engine::waitIdle(std::chrono::milliseconds timeout) {
    // A pass that starts after this call and runs to its end has seen everything queued
    // before it, and ends only when no ring can take more.
    std::unique_lock lock(d->idleMutex);
    const std::uint64_t before = d->passesStarted;
    lock.unlock();
    d->wakeWorker();
    lock.lock();
    return d->idleCv.wait_for(lock, timeout, [&] { return d->lastCompleted > before; });
}

void Engine::reportDeviceFailure() {
    d->failures.fetch_add(1, std::memory_order_release);
}

std::size_t Engine::ringBytes() const {
    return static_cast<std::size_t>(kVoices) * kRingFrames * 2 * sizeof(float);
}

} // namespace media
