#include "engine.h"

#include "limiter.h"
#include "preparer.h"
#include "spscqueue.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <numbers>
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
// Fade of an interrupted playback, and of a start in the middle of a clip; a voice whose
// read-ahead runs dry fades out and back in over the fade-in time too.
constexpr double kFadeOutSeconds = 0.005;
constexpr double kFadeInSeconds = 0.003;
constexpr double kGainRampSeconds = 0.005;
constexpr int kMaxFadeFrames = 1024;
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

// The device watch: how often a device is asked whether it still plays, and how often the
// engine looks for a device again while it runs silent (or on the default for a missing
// chosen device).
constexpr auto kDeviceCheck = std::chrono::milliseconds(50);
constexpr auto kDeviceRetry = std::chrono::milliseconds(300);
// The longest the worker waits for the output to fade before a switch.
constexpr auto kHoldWait = std::chrono::milliseconds(100);

constexpr std::size_t kCommandCapacity = 1024;
constexpr std::size_t kRequestCapacity = 256;
constexpr std::size_t kEventCapacity = 256;

// The published state of a voice, one 64-bit word: position (39 bits), ended, playing,
// failed and faded flags and the low 21 bits of the playback stamp.
constexpr std::uint64_t kPosMask = (std::uint64_t{1} << 39) - 1;
constexpr std::uint64_t kEndedBit = std::uint64_t{1} << 39;
constexpr std::uint64_t kPlayingBit = std::uint64_t{1} << 40;
constexpr std::uint64_t kFailedBit = std::uint64_t{1} << 41;
constexpr std::uint64_t kFadedBit = std::uint64_t{1} << 42;
constexpr int kStampShift = 43;
constexpr std::uint32_t kStampMask = (1u << 21) - 1;

// A fill request that only hands the worker a clip whose head is not ready yet.
constexpr std::int64_t kNoFill = -1;

std::uint64_t pack(std::uint32_t stamp, bool playing, bool ended, bool failed, bool faded,
                   std::int64_t pos) {
    return (std::uint64_t{stamp & kStampMask} << kStampShift) | (playing ? kPlayingBit : 0) |
           (ended ? kEndedBit : 0) | (failed ? kFailedBit : 0) | (faded ? kFadedBit : 0) |
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
    enum Type : std::uint8_t { Load, Unload, Play, Stop, Seek, Gain, Loop, Fade, Tone };
    Type type = Gain;
    std::uint8_t voice = 0;
    bool resume = false; // Play: a playing voice goes on where it is
    bool flag = false;   // Loop: on
    std::uint32_t stamp = 0;
    std::int64_t frame = 0; // Play, Stop, Seek: the position; Fade: its length
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
// thread skips them once it sees the segment's sequence number. A looping voice's segment
// goes on past the clip's end with the part after the head, pass after pass.
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
    std::int64_t pos = 0; // the next frame the voice mixes (ahead of what is heard by `lead`)
    std::uint32_t stamp = 0;
    float gain = 1.0f;
    float target = 1.0f;
    int fadeInLeft = 0;
    bool loop = false;
    bool needPrime = false;  // the clip's head is not ready: no fill asked, no playing yet
    bool startAhead = false; // the playback has not sounded yet: it starts in the look-ahead
    int lead = 0;            // frames mixed ahead of the output
    bool sounding = false;   // the playback has produced sound
    bool starved = false;    // its read-ahead ran dry: silent until the worker caught up
    // Ring frames of the passes a looping playback has finished in its current segment.
    std::int64_t passOffset = 0;
    // A fade-out command's envelope: the level falls by dimStep per frame; at 0 it ends.
    float dimLevel = 1.0f;
    float dimStep = 0.0f;
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
    bool ended = false;  // the playback `stamp` is over: at the end, by a failure or a fade
    bool failed = false; // ... by a device failure
    bool faded = false;  // ... by a fade-out
};

// Voice state owned by the control thread.
struct VoiceUI {
    std::shared_ptr<Clip> clip;
    bool playing = false;
    bool fading = false;
    std::uint32_t stamp = 0;
    std::int64_t pos = 0; // the position while stopped; the start of the current playback

    // Stopped at `frame`.
    void rest(std::int64_t frame) {
        playing = false;
        fading = false;
        pos = frame;
    }
};

// Voice state owned by the worker.
struct VoiceWork {
    Clip* clip = nullptr;
    bool done = true;
    bool atEnd = false; // done because the clip ended: a looping voice goes on from its start
};

struct Retired {
    std::shared_ptr<Clip> clip;
    int voice;
    std::uint64_t seq;
};

int preparerThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 2u, 4u));
}

} // namespace

struct Engine::Impl {
    Options options;
    std::shared_ptr<OutputBackend> backend;
    // What the engine plays on, for the control thread; the worker changes it.
    mutable std::mutex infoMutex;
    DeviceState state;
    int period = 128;
    std::uint64_t choiceSeq = 0; // bumped by chooseOutputDevice()
    int rate = 48000;            // fixed once the first device is open: clips are converted to it

    // The output device, owned by the constructor, then by the worker.
    OutputBackend::Handle handle = 0;
    bool silentOpen = false; // the open output is the silent driver
    bool rateFixed = false;
    bool startOutputs = false; // the constructor starts the first output itself
    std::string openName;      // the device open ("" = default)
    std::string chosen;        // the operator's choice, as the worker last took it
    std::uint64_t choiceSeen = 0;
    std::vector<std::string> known; // the sound system's outputs, as last seen
    std::chrono::steady_clock::time_point nextCheck;
    std::chrono::steady_clock::time_point nextAttempt;
    std::uint64_t losses = 0;

    // Device failures: the watchdog counts them, the mixer ends every playback it sees one in.
    std::atomic<std::uint32_t> failures{0};
    std::uint32_t failuresSeen = 0;
    // A device switch: the worker asks the mixer to fade the output out and stand still
    // (holdRequest); the mixer says when it does (held).
    std::atomic<bool> holdRequest{false};
    std::atomic<bool> held{false};
    bool holding = false; // audio thread: voices stand still, the output is silent
    float master = 1.0f;  // audio thread: the output's fade for switches
    float masterStep = 1.0f / 240.0f;
    int fadeOutFrames = 240;
    int fadeInFrames = 144;
    float gainStep = 1.0f / 240.0f;
    std::unique_ptr<Limiter> limiter;
    // Test tone (audio thread).
    std::int64_t toneLeft = 0;
    std::int64_t toneTotal = 1;
    std::int64_t toneEdge = 1;
    double tonePhase = 0.0;
    double toneStep = 0.0;

    moodycamel::ReaderWriterQueue<Command> commands{kCommandCapacity};
    moodycamel::ReaderWriterQueue<FillRequest> requests{kRequestCapacity};
    moodycamel::ReaderWriterQueue<Event> events{kEventCapacity};

    std::array<Ring, kVoices> rings;
    std::array<VoiceRT, kVoices> rt;
    std::array<VoiceUI, kVoices> ui;
    std::array<VoiceWork, kVoices> work;
    std::array<std::atomic<std::uint64_t>, kVoices> published{};
    std::array<std::atomic<std::uint64_t>, kVoices> workerAck{};
    std::array<std::atomic<bool>, kVoices> loopFlags{};
    std::vector<float> scratch = std::vector<float>(kMaxBlock * 2);

    std::uint64_t nextSeq = 1;
    std::uint32_t nextStamp = 1;
    std::vector<Retired> retired;

    std::atomic<std::uint64_t> underruns{0};
    std::atomic<std::uint64_t> late{0};
    std::atomic<std::int64_t> startLatency{-1};
    std::atomic<std::uint64_t> limited{0};

    std::unique_ptr<HeadPreparer> preparer;

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

    // Output device (constructor, then worker).
    void connect();
    bool install(OutputBackend::Handle h, const std::string& name, bool silent,
                 const OutputFormat& got);
    void hold();
    void release();
    void lose();
    void publishDevice();
    void watchDevice();
    static void deviceCallback(void* self, float* out, int frames);

    // Control thread.
    std::uint64_t send(Command c); // returns the command's sequence number
    std::uint32_t newStamp();
    void collect();
    std::int64_t currentPos(int v) const;
    bool currentlyPlaying(int v) const;
    void hurry(int v);
    std::uint32_t start(int v, std::int64_t frame, bool resume);

    // Audio thread.
    void mix(float* out, int frames);
    void mixChunk(float* out, int frames, std::int64_t blockNs, bool wantHold);
    void processCommands();
    void mixTail(int v, float* out, int frames);
    int mixPlayback(int v, float* out, int frames, std::int64_t blockNs);
    int addVoice(VoiceRT& r, const float* src, float* out, int frames);
    void mixTone(float* out, int frames);
    void beginFade(int v);
    void finish(int v);
    void endByFade(int v);
    std::int64_t heardPos(const VoiceRT& r) const;
    void request(int v, Clip* clip, std::int64_t frame, std::uint64_t cmdSeq);
    void prime(int v, std::uint64_t cmdSeq);
    void skipStale(int v);
    std::int64_t available(int v, std::int64_t pos, std::int64_t passOffset) const;
    int readStream(int v, std::int64_t pos, std::int64_t passOffset, float* dst, int frames);
    void publish(int v);
    void postEvent(int v, const Event& e);
    void wakeWorker();

    // Worker.
    void workerLoop();
    bool fillOnce(int v);
};

// ---------------------------------------------------------------------------------------------
// Output device

void Engine::Impl::deviceCallback(void* self, float* out, int frames) {
    auto* d = static_cast<Impl*>(self);
    const std::int64_t t0 = nowNs();
    d->mix(out, frames);
    const std::int64_t spent = nowNs() - t0;
    if (spent * d->rate > std::int64_t{1'000'000'000} * frames)
        d->late.fetch_add(1, std::memory_order_relaxed);
}

// Opens the chosen device, else the system default, else (with nothing open) the silent
// driver. A device that is already open stays when it is the best there is.
void Engine::Impl::connect() {
    std::vector<std::string> names;
    if (!chosen.empty())
        names.push_back(chosen);
    names.emplace_back();
    const OutputFormat want{rate, options.periodFrames};
    for (const std::string& name : names) {
        if (handle && !silentOpen && name == openName)
            break; // already playing there
        OutputFormat got;
        OutputBackend::Handle h =
            backend->open(name, want, rateFixed, &Impl::deviceCallback, this, got);
        if (!h && handle && silentOpen) {
            // The silent driver holds the sound system: it goes first.
            hold();
            backend->close(handle);
            handle = 0;
            h = backend->open(name, want, rateFixed, &Impl::deviceCallback, this, got);
        }
        if (h && install(h, name, false, got))
            return;
    }
    if (!handle) {
        OutputFormat got;
        const OutputBackend::Handle h =
            backend->openSilent(want, rateFixed, &Impl::deviceCallback, this, got);
        if (h)
            install(h, std::string(), true, got);
    }
    publishDevice();
}

// Makes `h` the output: the old one fades out and closes, the new one starts and fades in.
bool Engine::Impl::install(OutputBackend::Handle h, const std::string& name, bool silent,
                           const OutputFormat& got) {
    if (!rateFixed) {
        rate = got.rate; // only before any clip was converted to it
        rateFixed = true;
    } else if (got.rate != rate) {
        backend->close(h); // a backend that ignored the rate it was given
        return false;
    }
    if (handle) {
        hold();
        backend->close(handle);
    }
    handle = h;
    silentOpen = silent;
    openName = name;
    nextCheck = std::chrono::steady_clock::now() + kDeviceCheck;
    if (!silent)
        known = backend->devices();
    {
        std::lock_guard lock(infoMutex);
        period = got.period;
    }
    publishDevice();
    release();
    if (startOutputs)
        backend->start(h);
    return true;
}

// Fades the output out and waits (briefly) until the mixer stands still.
void Engine::Impl::hold() {
    if (!handle || !startOutputs || backend->failed(handle))
        return;
    holdRequest.store(true, std::memory_order_release);
    const auto until = std::chrono::steady_clock::now() + kHoldWait;
    while (!held.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Engine::Impl::release() {
    held.store(false, std::memory_order_relaxed);
    holdRequest.store(false, std::memory_order_release);
}

// The device failed: every playback ends with a failure, and the device goes.
void Engine::Impl::lose() {
    failures.fetch_add(1, std::memory_order_release);
    backend->close(handle);
    handle = 0;
    silentOpen = false;
    ++losses;
    publishDevice();
}

void Engine::Impl::publishDevice() {
    std::lock_guard lock(infoMutex);
    state.output = handle == 0 ? Output::None : (silentOpen ? Output::Dummy : Output::Device);
    state.device = handle && !silentOpen ? openName : std::string();
    state.chosenMissing = options.output == Output::Device && !state.chosen.empty() &&
                          choiceSeen == choiceSeq &&
                          (state.output != Output::Device || openName != state.chosen);
    state.driver = handle ? backend->driver(handle) : std::string("none");
    state.devices = known;
    state.losses = losses;
}

// Runs on the worker at every round: notices a failed device, takes the operator's choice,
// and looks for a device again while the engine runs silent or on a stand-in.
void Engine::Impl::watchDevice() {
    if (!backend || options.output == Output::Dummy)
        return;
    const auto now = std::chrono::steady_clock::now();
    bool attempt = false;
    {
        std::lock_guard lock(infoMutex);
        if (choiceSeen != choiceSeq) {
            choiceSeen = choiceSeq;
            chosen = state.chosen;
            attempt = true;
        }
    }
    if (handle && now >= nextCheck) {
        nextCheck = now + kDeviceCheck;
        if (backend->failed(handle)) {
            lose();
            attempt = true;
        } else if (!silentOpen) {
            std::vector<std::string> seen = backend->devices();
            if (seen != known) {
                known = std::move(seen);
                publishDevice();
            }
        }
    }
    if (!handle) {
        attempt = true;
    } else if (now >= nextAttempt) {
        if (silentOpen)
            attempt = true;
        else if (!chosen.empty() && openName != chosen &&
                 std::find(known.begin(), known.end(), chosen) != known.end())
            attempt = true; // the chosen device is back
    }
    if (attempt) {
        nextAttempt = now + kDeviceRetry;
        connect();
    }
}

// ---------------------------------------------------------------------------------------------
// Audio thread

void Engine::Impl::mix(float* out, int frames) {
    const std::int64_t blockNs = nowNs();
    // Read first: after a device switch this orders everything the previous device's
    // callbacks did before everything this one does.
    const bool wantHold = holdRequest.load(std::memory_order_acquire);
    const std::uint32_t failed = failures.load(std::memory_order_acquire);
    if (failed != failuresSeen) {
        // Before the commands: a playback started after the failure is not touched.
        failuresSeen = failed;
        for (int v = 0; v < kVoices; ++v) {
            VoiceRT& r = rt[static_cast<std::size_t>(v)];
            if (!r.playing)
                continue;
            beginFade(v);
            r.pos = heardPos(r); // over, where it stands
            r.playing = false;
            r.ended = true;
            r.failed = true;
            r.faded = false;
            r.lead = 0;
            postEvent(v, Event{static_cast<std::uint8_t>(v), r.stamp, EndKind::Failed});
            prime(v, 0);
            r.dirty = true;
        }
    }
    processCommands();
    for (int v = 0; v < kVoices; ++v) {
        VoiceRT& r = rt[static_cast<std::size_t>(v)];
        if (r.needPrime && r.clip && r.clip->headReady()) {
            r.needPrime = false;
            prime(v, 0);
        }
        skipStale(v);
    }
    for (int done = 0; done < frames;) {
        const int n = std::min(kMaxBlock, frames - done);
        mixChunk(out + static_cast<std::ptrdiff_t>(done) * 2, n, blockNs, wantHold);
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
    limited.store(limiter->limitedFrames(), std::memory_order_relaxed);
    if (wakeNeeded)
        wakeWorker();
}

void Engine::Impl::mixChunk(float* out, int frames, std::int64_t blockNs, bool wantHold) {
    if (holding) {
        if (wantHold) {
            std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
            return;
        }
        holding = false; // the new device: the output fades in from where it stood
    }
    limiter->beginBlock(frames);
    float* bus = limiter->bus();
    const int ahead = limiter->lookahead();
    float* entry = bus + static_cast<std::ptrdiff_t>(ahead) * 2;
    for (int v = 0; v < kVoices; ++v) {
        VoiceRT& r = rt[static_cast<std::size_t>(v)];
        if (r.startAhead && r.playing) {
            // A new playback goes into the frames that leave first: the look-ahead costs a
            // key press nothing.
            const int n = mixPlayback(v, bus, ahead, blockNs);
            if (r.sounding || !r.playing) {
                r.startAhead = false;
                r.lead = n;
            }
        }
        mixTail(v, entry, frames);
        mixPlayback(v, entry, frames, blockNs);
        if (r.startAhead && r.sounding) {
            // It could start only behind the look-ahead (the worker caught up meanwhile).
            r.startAhead = false;
            r.lead = ahead;
        }
    }
    mixTone(entry, frames);
    limiter->process(out, frames);
    if (wantHold || master < 1.0f) {
        for (int i = 0; i < frames; ++i) {
            master = wantHold ? std::max(0.0f, master - masterStep)
                              : std::min(1.0f, master + masterStep);
            out[2 * i] *= master;
            out[2 * i + 1] *= master;
        }
        if (wantHold && master == 0.0f) {
            holding = true;
            held.store(true, std::memory_order_release);
        }
    }
}

void Engine::Impl::wakeWorker() {
    if (!wakePosted.exchange(true, std::memory_order_acq_rel))
        wake.release();
}

// The position being heard: the mixed position less the frames still in the look-ahead.
std::int64_t Engine::Impl::heardPos(const VoiceRT& r) const {
    if (!r.playing)
        return r.pos;
    std::int64_t pos = r.pos - r.lead;
    if (pos < 0) {
        const std::int64_t len = r.clip ? r.clip->length() : 0;
        pos = r.loop && len > 0 ? pos + len : 0;
    }
    return std::max<std::int64_t>(pos, 0);
}

void Engine::Impl::publish(int v) {
    const VoiceRT& r = rt[static_cast<std::size_t>(v)];
    published[static_cast<std::size_t>(v)].store(
        pack(r.stamp, r.playing, r.ended, r.failed, r.faded, heardPos(r)),
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
    if (!r.clip->headReady()) {
        r.needPrime = true;
        if (cmdSeq != 0)
            request(v, r.clip, kNoFill, cmdSeq); // acknowledges the command all the same
        return;
    }
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

// Frames of the voice's clip ready at `pos`, without a gap, from the head and the ring (up to
// the clip's end).
std::int64_t Engine::Impl::available(int v, std::int64_t pos, std::int64_t passOffset) const {
    const VoiceRT& r = rt[static_cast<std::size_t>(v)];
    const Clip* clip = r.clip;
    const std::int64_t len = clip->length();
    if (pos >= len)
        return 0;
    const std::int64_t head = clip->headFrames();
    std::int64_t got = 0;
    if (pos < head) {
        got = std::min(head, len) - pos;
        pos = head;
        if (pos >= len)
            return got;
    }
    const Ring& ring = rings[static_cast<std::size_t>(v)];
    if (ring.seq.load(std::memory_order_acquire) != r.fillSeq || r.fillFrame < 0)
        return got;
    // A looping segment holds its first pass from segFrame, then the part after the head
    // for every further pass.
    const std::int64_t offset = pos - ring.segFrame.load(std::memory_order_relaxed) + passOffset;
    if (offset < 0)
        return got;
    const std::uint64_t idx =
        ring.segStart.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(offset);
    const std::uint64_t written = ring.writeIndex.load(std::memory_order_acquire);
    if (idx < ring.readIndex.load(std::memory_order_relaxed) || idx >= written)
        return got;
    return got + std::min<std::int64_t>(static_cast<std::int64_t>(written - idx), len - pos);
}

// Copies up to `frames` of the voice's clip at `pos` from the head or the ring.
int Engine::Impl::readStream(int v, std::int64_t pos, std::int64_t passOffset, float* dst,
                             int frames) {
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
    if (ring.seq.load(std::memory_order_acquire) != r.fillSeq || r.fillFrame < 0)
        return 0;
    const std::int64_t offset = pos - ring.segFrame.load(std::memory_order_relaxed) + passOffset;
    if (offset < 0)
        return 0;
    const std::uint64_t idx =
        ring.segStart.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(offset);
    const std::uint64_t written = ring.writeIndex.load(std::memory_order_acquire);
    if (idx < ring.readIndex.load(std::memory_order_relaxed) || idx >= written)
        return 0;
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
    if (!r.playing || !r.clip || r.needPrime || !r.sounding || r.starved)
        return;
    const int len = fadeOutFrames;
    float* buf = r.fadeTmp.data();
    int got = 0;
    std::int64_t pos = r.pos;
    std::int64_t passOffset = r.passOffset;
    while (got < len) {
        if (pos >= r.clip->length() && r.loop && r.clip->lengthExact() && r.clip->length() > 0) {
            passOffset += r.clip->length() - r.clip->headFrames();
            pos = 0;
        }
        const int n = readStream(v, pos, passOffset, buf + got * 2, len - got);
        if (n <= 0)
            break;
        pos += n;
        got += n;
    }
    std::fill(buf + got * 2, buf + len * 2, 0.0f);
    float g = r.gain;
    float dim = r.dimLevel;
    for (int i = 0; i < len; ++i) {
        if (g < r.target)
            g = std::min(r.target, g + gainStep);
        else if (g > r.target)
            g = std::max(r.target, g - gainStep);
        dim = std::max(0.0f, dim - r.dimStep);
        float ramp = 1.0f - static_cast<float>(i + 1) / static_cast<float>(len);
        if (r.fadeInLeft > i)
            ramp *= 1.0f - static_cast<float>(r.fadeInLeft - i) / static_cast<float>(fadeInFrames);
        buf[2 * i] *= g * ramp * dim;
        buf[2 * i + 1] *= g * ramp * dim;
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
        // Anything but a volume change, a loop switch or another fade ends a fade-out.
        if (c.type != Command::Gain && c.type != Command::Loop && c.type != Command::Fade &&
            c.type != Command::Tone) {
            r.dimLevel = 1.0f;
            r.dimStep = 0.0f;
        }
        switch (c.type) {
        case Command::Load:
            beginFade(v);
            r.clip = c.clip;
            r.playing = false;
            r.ended = r.failed = r.faded = false;
            r.pos = 0;
            r.lead = 0;
            r.gain = r.target = c.gain;
            r.loop = false;
            loopFlags[static_cast<std::size_t>(v)].store(false, std::memory_order_release);
            r.fillFrame = -1;
            r.needPrime = false;
            prime(v, c.seq);
            break;
        case Command::Unload:
            beginFade(v);
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
            beginFade(v);
            r.pos = std::clamp<std::int64_t>(c.frame, 0, r.clip->length());
            r.playing = true;
            r.ended = r.failed = r.faded = false;
            r.stamp = c.stamp;
            r.fadeInLeft = r.pos > 0 ? fadeInFrames : 0;
            r.awaitingFirst = true;
            r.startNs = c.timeNs;
            r.startAhead = true;
            r.lead = 0;
            r.sounding = false;
            r.starved = false;
            r.passOffset = 0;
            if (r.clip->headReady()) {
                const std::int64_t want = std::max(r.pos, r.clip->headFrames());
                if (!(want == r.fillFrame && !r.fillTouched))
                    request(v, r.clip, want, c.seq);
            }
            break;
        }
        case Command::Stop:
        case Command::Seek:
            beginFade(v);
            r.playing = false;
            r.ended = r.failed = r.faded = false;
            r.lead = 0;
            r.startAhead = false;
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
        case Command::Loop:
            r.loop = c.flag;
            loopFlags[static_cast<std::size_t>(v)].store(c.flag, std::memory_order_release);
            break;
        case Command::Fade:
            if (!r.playing)
                break;
            if (c.frame <= 0 || !r.sounding) {
                beginFade(v);
                endByFade(v);
            } else {
                // A shorter fade during a fade speeds it up from where it is.
                r.dimStep = std::max(r.dimStep, r.dimLevel / static_cast<float>(c.frame));
            }
            break;
        case Command::Tone:
            toneLeft = toneTotal;
            tonePhase = 0.0;
            break;
        }
    }
}

// Adds `frames` frames of `src` to `out` at the voice's gain, ramps, fade-in and fade-out.
// Returns the frames added: fewer when a fade-out ends on the way.
int Engine::Impl::addVoice(VoiceRT& r, const float* src, float* out, int frames) {
    if (r.gain == r.target && r.fadeInLeft == 0 && r.dimStep == 0.0f) {
        const float g = r.gain;
        if (g == 1.0f) {
            for (int i = 0; i < frames * 2; ++i)
                out[i] += src[i];
        } else {
            for (int i = 0; i < frames * 2; ++i)
                out[i] += src[i] * g;
        }
        return frames;
    }
    for (int i = 0; i < frames; ++i) {
        if (r.gain < r.target)
            r.gain = std::min(r.target, r.gain + gainStep);
        else if (r.gain > r.target)
            r.gain = std::max(r.target, r.gain - gainStep);
        float g = r.gain;
        if (r.fadeInLeft > 0) {
            g *= 1.0f - static_cast<float>(r.fadeInLeft) / static_cast<float>(fadeInFrames);
            --r.fadeInLeft;
        }
        if (r.dimStep > 0.0f) {
            r.dimLevel -= r.dimStep;
            if (r.dimLevel <= 0.0f) {
                r.dimLevel = 0.0f;
                return i + 1; // this frame is silent: the fade is over
            }
            g *= r.dimLevel;
        }
        out[2 * i] += src[2 * i] * g;
        out[2 * i + 1] += src[2 * i + 1] * g;
    }
    return frames;
}

void Engine::Impl::mixTail(int v, float* out, int frames) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    if (r.fadePos >= r.fadeLen)
        return;
    const int n = std::min(frames, r.fadeLen - r.fadePos);
    const float* f = r.fade.data() + r.fadePos * 2;
    for (int i = 0; i < n * 2; ++i)
        out[i] += f[i];
    r.fadePos += n;
}

// The playback reached the end of its clip.
void Engine::Impl::finish(int v) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    r.playing = false;
    r.ended = true;
    r.failed = r.faded = false;
    r.pos = r.clip->length();
    r.lead = 0;
    postEvent(v, Event{static_cast<std::uint8_t>(v), r.stamp, EndKind::Finished});
    prime(v, 0);
    r.dirty = true;
}

// A fade-out is over: the playback ends, stopped at the start.
void Engine::Impl::endByFade(int v) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    r.playing = false;
    r.ended = true;
    r.faded = true;
    r.failed = false;
    r.pos = 0;
    r.lead = 0;
    r.startAhead = false;
    r.dimLevel = 1.0f;
    r.dimStep = 0.0f;
    postEvent(v, Event{static_cast<std::uint8_t>(v), r.stamp, EndKind::Faded});
    prime(v, 0);
    r.dirty = true;
}

// Mixes up to `frames` frames of the voice's playback into `out`; returns how many it mixed.
int Engine::Impl::mixPlayback(int v, float* out, int frames, std::int64_t blockNs) {
    VoiceRT& r = rt[static_cast<std::size_t>(v)];
    if (!r.playing || r.needPrime)
        return 0;
    float* buf = scratch.data();
    int produced = 0;
    while (produced < frames && r.playing) {
        Clip* clip = r.clip;
        const std::int64_t len = clip->length();
        const bool exact = clip->lengthExact();
        if (r.pos >= len && exact) {
            if (r.loop && len > 0) {
                // The next pass follows in the same block: the head from memory, then the
                // ring, where the worker went on after the clip's end.
                r.passOffset += len - std::min(len, clip->headFrames());
                r.pos = 0;
                continue;
            }
            finish(v);
            break;
        }
        const int want = frames - produced;
        const std::int64_t ready = available(v, r.pos, r.passOffset);
        const std::int64_t rest =
            exact ? len - r.pos : std::numeric_limits<std::int64_t>::max() / 2;
        const std::int64_t margin = r.starved ? kResumeMargin : fadeInFrames;
        if (ready < std::min<std::int64_t>(rest, want + margin)) {
            if (!r.sounding || r.starved)
                break; // waits, silent, for the worker
            // The read-ahead runs dry: what there is fades out, and the voice waits.
            const int n = readStream(v, r.pos, r.passOffset, buf,
                                     static_cast<int>(std::min<std::int64_t>(ready, want)));
            const int fade = std::min(n, fadeInFrames);
            for (int i = n - fade; i < n; ++i) {
                const float ramp = static_cast<float>(n - i) / static_cast<float>(fade + 1);
                buf[2 * i] *= ramp;
                buf[2 * i + 1] *= ramp;
            }
            const int added = addVoice(r, buf, out + produced * 2, n);
            r.pos += added;
            produced += added;
            r.starved = true;
            underruns.fetch_add(1, std::memory_order_relaxed);
            if (added < n)
                endByFade(v);
            break;
        }
        if (r.starved) {
            r.starved = false;
            r.fadeInLeft = fadeInFrames;
        }
        const int n = readStream(v, r.pos, r.passOffset, buf,
                                 static_cast<int>(std::min<std::int64_t>(want, ready)));
        if (n <= 0)
            break;
        const int added = addVoice(r, buf, out + produced * 2, n);
        if (!r.sounding) {
            r.sounding = true;
            if (r.awaitingFirst) {
                r.awaitingFirst = false;
                startLatency.store(blockNs - r.startNs, std::memory_order_relaxed);
            }
        }
        r.pos += added;
        produced += added;
        if (added < n) {
            endByFade(v);
            break;
        }
    }
    return produced;
}

void Engine::Impl::mixTone(float* out, int frames) {
    for (int i = 0; i < frames && toneLeft > 0; ++i, --toneLeft) {
        const std::int64_t done = toneTotal - toneLeft;
        float level = kToneLevel;
        if (done < toneEdge)
            level *= static_cast<float>(done) / static_cast<float>(toneEdge);
        else if (toneLeft < toneEdge)
            level *= static_cast<float>(toneLeft) / static_cast<float>(toneEdge);
        const float s = level * static_cast<float>(std::sin(tonePhase));
        tonePhase += toneStep;
        if (tonePhase > 2.0 * std::numbers::pi)
            tonePhase -= 2.0 * std::numbers::pi;
        out[2 * i] += s;
        out[2 * i + 1] += s;
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
                w.done = q.clip == nullptr || q.frame == kNoFill;
                w.atEnd = false;
                if (!w.done)
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
    if (backend)
        backend->threadDone();
}

bool Engine::Impl::fillOnce(int v) {
    VoiceWork& w = work[static_cast<std::size_t>(v)];
    if (!w.clip)
        return false;
    if (w.done) {
        // A looping voice's segment goes on with the next pass. The decoder starts again from
        // the beginning and drops the head, so that what follows the head is the very signal
        // the head was made with, also through the rate converter.
        if (!w.atEnd || !loopFlags[static_cast<std::size_t>(v)].load(std::memory_order_acquire))
            return false;
        Clip* clip = w.clip;
        const std::int64_t head = clip->headFrames();
        if (head >= clip->length())
            return false; // the head holds the whole clip
        clip->seek(0);
        for (std::int64_t skipped = 0; skipped < head;) {
            const std::int64_t n =
                clip->read(workScratch.data(), std::min(kFillChunk, head - skipped));
            if (n <= 0)
                break;
            skipped += n;
        }
        w.done = false;
        w.atEnd = false;
    }
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
    if (got < n) {
        w.done = true; // the end of the clip
        w.atEnd = true;
    }
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

std::uint32_t Engine::Impl::newStamp() {
    const std::uint32_t stamp = nextStamp;
    nextStamp = (nextStamp + 1) & kStampMask;
    if (nextStamp == 0)
        nextStamp = 1;
    return stamp;
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

// A voice about to play a clip whose head is still waiting for the pool: this thread prepares
// it at once (a few milliseconds for one clip), so that the press sounds in the next block.
void Engine::Impl::hurry(int v) {
    const VoiceUI& u = ui[static_cast<std::size_t>(v)];
    if (u.clip && !u.clip->headReady() && preparer->claim(u.clip.get()))
        u.clip->prepareHead();
}

// A new playback of voice `v` from `frame`; `resume` goes on from the sounding one without a
// fade. Returns the playback's stamp.
std::uint32_t Engine::Impl::start(int v, std::int64_t frame, bool resume) {
    VoiceUI& u = ui[static_cast<std::size_t>(v)];
    const std::uint32_t stamp = newStamp();
    Command c;
    c.type = Command::Play;
    c.voice = static_cast<std::uint8_t>(v);
    c.resume = resume;
    c.stamp = stamp;
    c.frame = frame;
    c.timeNs = nowNs();
    hurry(v);
    send(c);
    u.playing = true;
    u.fading = false;
    u.stamp = stamp;
    u.pos = frame;
    return stamp;
}

Engine::Engine(Options options) : d(std::make_unique<Impl>()) {
    d->options = options;
    d->rate = options.sampleRate;
    d->period = options.periodFrames;
    d->chosen = options.device;
    d->state.chosen = options.device;
    d->state.output = Output::None;
    d->state.driver = "none";
    if (options.output == Output::Device)
        d->backend = options.backend ? options.backend : makeSdlBackend();
    else if (options.output == Output::Dummy)
        d->backend = makeSdlBackend();
    if (d->backend) {
        if (options.output == Output::Dummy) {
            OutputFormat got;
            const auto h = d->backend->openSilent({d->rate, options.periodFrames}, false,
                                                  &Impl::deviceCallback, d.get(), got);
            if (h)
                d->install(h, std::string(), true, got);
        } else {
            d->connect();
        }
    }
    d->rateFixed = true;
    const int rate = d->rate;
    d->fadeOutFrames = std::clamp(static_cast<int>(kFadeOutSeconds * rate), 1, kMaxFadeFrames);
    d->fadeInFrames = std::max(1, static_cast<int>(kFadeInSeconds * rate));
    d->gainStep = 1.0f / std::max(1.0f, static_cast<float>(kGainRampSeconds * rate));
    d->masterStep = 1.0f / std::max(1.0f, static_cast<float>(kMasterRampSeconds * rate));
    d->limiter = std::make_unique<Limiter>(rate, kMaxBlock);
    d->toneTotal = static_cast<std::int64_t>(kToneSeconds * rate);
    d->toneEdge = std::max<std::int64_t>(1, static_cast<std::int64_t>(kToneEdgeSeconds * rate));
    d->toneStep = 2.0 * std::numbers::pi * kToneHz / rate;
    d->preparer = std::make_unique<HeadPreparer>(preparerThreads());
    d->startOutputs = true;
    if (d->handle)
        d->backend->start(d->handle);
    d->worker = std::thread([this] { d->workerLoop(); });
}

Engine::~Engine() {
    d->quit.store(true, std::memory_order_release);
    d->wake.release();
    d->worker.join(); // the worker may reopen the device: stop it first
    if (d->handle)
        d->backend->close(d->handle);
    d->handle = 0;
    d->preparer.reset();
}

Engine::Output Engine::output() const {
    std::lock_guard lock(d->infoMutex);
    return d->state.output;
}
bool Engine::hasSoundDevice() const {
    return output() == Output::Device;
}
bool Engine::fellBackToDummy() const {
    return d->options.output == Output::Device && output() != Output::Device;
}
std::string Engine::driverName() const {
    std::lock_guard lock(d->infoMutex);
    return d->state.driver;
}
int Engine::sampleRate() const {
    return d->rate;
}
int Engine::periodFrames() const {
    std::lock_guard lock(d->infoMutex);
    return d->period;
}

Engine::DeviceState Engine::deviceState() const {
    std::lock_guard lock(d->infoMutex);
    return d->state;
}

void Engine::chooseOutputDevice(const std::string& name) {
    {
        std::lock_guard lock(d->infoMutex);
        d->state.chosen = name;
        ++d->choiceSeq;
    }
    d->wakeWorker();
}

void Engine::playTestTone() {
    Command c;
    c.type = Command::Tone;
    d->send(c);
}

void Engine::render(float* out, int frames) {
    if (output() != Output::None) {
        std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
        return; // the device's callback mixes; a second mixer thread would race it
    }
    d->mix(out, frames);
}

std::shared_ptr<Clip> Engine::openClip(const std::string& path) const {
    std::shared_ptr<Clip> clip = Clip::openDeferred(path, d->rate);
    if (d->options.prepareOnOpen)
        clip->prepareHead();
    else
        d->preparer->submit(clip);
    return clip;
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
    u.rest(0);
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
    u.rest(0);
}

std::uint32_t Engine::play(int voice) {
    if (voice < 0 || voice >= kVoices)
        return 0;
    VoiceUI& u = d->ui[static_cast<std::size_t>(voice)];
    if (!u.clip)
        return 0;
    const bool playing = d->currentlyPlaying(voice);
    if (playing && u.fading)
        return restart(voice);
    return d->start(voice, d->currentPos(voice), playing);
}

std::uint32_t Engine::restart(int voice) {
    return loaded(voice) ? d->start(voice, 0, false) : 0;
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
    u.rest(pos);
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
    u.rest(frame);
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

void Engine::setLooping(int voice, bool on) {
    if (voice < 0 || voice >= kVoices)
        return;
    Command c;
    c.type = Command::Loop;
    c.voice = static_cast<std::uint8_t>(voice);
    c.flag = on;
    d->send(c);
}

void Engine::fadeOut(int voice, int ms) {
    if (!loaded(voice) || !d->currentlyPlaying(voice))
        return;
    Command c;
    c.type = Command::Fade;
    c.voice = static_cast<std::uint8_t>(voice);
    c.frame = static_cast<std::int64_t>(std::max(ms, 0)) * d->rate / 1000;
    d->send(c);
    d->ui[static_cast<std::size_t>(voice)].fading = true;
}

bool Engine::fading(int voice) const {
    return loaded(voice) && d->ui[static_cast<std::size_t>(voice)].fading &&
           d->currentlyPlaying(voice);
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
    if (s & kFailedBit)
        return EndKind::Failed;
    return (s & kFadedBit) ? EndKind::Faded : EndKind::Finished;
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
std::uint64_t Engine::limitedFrames() const {
    return d->limited.load(std::memory_order_relaxed);
}
int Engine::lookaheadFrames() const {
    return d->limiter->lookahead();
}

bool Engine::waitIdle(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    if (!d->preparer->waitIdle(timeout))
        return false;
    // A pass that starts after this call and runs to its end has seen everything queued
    // before it, and ends only when no ring can take more.
    std::unique_lock lock(d->idleMutex);
    const std::uint64_t before = d->passesStarted;
    lock.unlock();
    d->wakeWorker();
    lock.lock();
    return d->idleCv.wait_until(lock, until, [&] { return d->lastCompleted > before; });
}

void Engine::reportDeviceFailure() {
    d->failures.fetch_add(1, std::memory_order_release);
}

std::size_t Engine::ringBytes() const {
    return static_cast<std::size_t>(kVoices) * kRingFrames * 2 * sizeof(float);
}

} // namespace media
