#include "engine.h"

#include "devicewatch.h"
#include "envelope.h"
#include "messages.h"
#include "mixer.h"
#include "preparer.h"
#include "readahead.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace media {

using namespace detail;

namespace {

// Voice state owned by the control thread.
struct VoiceUI {
    std::shared_ptr<Clip> clip;
    bool playing = false;
    bool fading = false;
    std::uint32_t stamp = 0;
    std::int64_t pos = 0; // the position while stopped; the start of the current playback
    // The window asked for, the one the current playback started with, and the head
    // prepared for the in point where the clip's own does not start there.
    std::int64_t in = 0;
    std::int64_t out = 0;
    std::int64_t playIn = 0;
    std::int64_t playOut = 0;
    std::shared_ptr<WindowHead> extra;

    Window window(bool ofPlayback) const {
        return clampWindow(ofPlayback ? playIn : in, ofPlayback ? playOut : out,
                           clip ? clip->length() : 0);
    }

    // Stopped at `frame`.
    void rest(std::int64_t frame) {
        playing = false;
        fading = false;
        pos = frame;
    }
};

// A clip replaced on a voice: it lives until the mixer and the worker have both seen the
// command that replaced it.
struct Retired {
    std::shared_ptr<void> clip;
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
    Channels ch;
    // The device watch (and with it every callback) ends first, then the worker; the mixer
    // reads the worker's rings and goes after it.
    std::unique_ptr<ReadAhead> readAhead;
    std::unique_ptr<Mixer> mixer;
    std::unique_ptr<DeviceWatcher> device;
    std::unique_ptr<HeadPreparer> preparer;

    std::array<VoiceUI, kVoices> ui;
    std::uint64_t nextSeq = 1;
    std::uint32_t nextStamp = 1;
    std::vector<Retired> retired;

    // The frames the output's last callback mixed (audio thread; 0 before the first).
    std::atomic<int> cycleFrames{0};

    static void deviceCallback(void* self, float* out, int frames) {
        auto* impl = static_cast<Impl*>(self);
        impl->cycleFrames.store(frames, std::memory_order_relaxed);
        Mixer::callback(impl->mixer.get(), out, frames);
    }

    static int lateCallback(void* self, float* late, int frames) {
        Mixer* mixer = static_cast<Impl*>(self)->mixer.get();
        return mixer ? Mixer::lateCallback(mixer, late, frames) : 0;
    }

    // The control state of `voice` when it holds a clip, else null.
    VoiceUI* withClip(int voice) {
        if (voice < 0 || voice >= kVoices)
            return nullptr;
        VoiceUI& u = ui[static_cast<std::size_t>(voice)];
        return u.clip ? &u : nullptr;
    }
    // Sends the mixer a command of `type` for `voice`, as `fill` completes it; returns the
    // command's sequence number.
    template <typename Fill> std::uint64_t send(Command::Type type, int voice, Fill fill) {
        Command c;
        c.type = type;
        c.voice = static_cast<std::uint8_t>(voice);
        fill(c);
        c.seq = nextSeq++;
        // The producer side may allocate when the mixer has fallen far behind (or, without a
        // device, nobody renders); the mixer side never does.
        ch.commands.enqueue(c);
        return c.seq;
    }
    std::uint64_t send(Command::Type type, int voice) {
        return send(type, voice, [](Command&) {});
    }

    std::uint32_t newStamp();
    void collect();
    std::int64_t currentPos(int v) const;
    bool currentlyPlaying(int v) const;
    void hurry(int v);
    std::uint32_t start(int v, std::int64_t frame, bool resume, std::uint8_t others = 0,
                        std::int64_t span = 0);
    std::shared_ptr<WindowHead> prepareWindowHead(const std::string& path, std::int64_t start);
    void forgetWindow(int v, std::uint64_t seq);
};

// A head from `start` for a voice whose clip's own head starts elsewhere: a second decoder of
// the same file makes it on the pool, so that neither this thread nor the worker waits.
std::shared_ptr<WindowHead> Engine::Impl::prepareWindowHead(const std::string& path,
                                                            std::int64_t start) {
    auto head = std::make_shared<WindowHead>();
    head->start = start;
    auto task = [weak = std::weak_ptr<WindowHead>(head), path, start,
                 rate = device->rate()]() noexcept {
        const std::shared_ptr<WindowHead> h = weak.lock();
        if (!h)
            return; // replaced before its turn came
        try {
            std::shared_ptr<Clip> clip = Clip::openDeferred(path, rate);
            clip->setHeadStart(start);
            clip->prepareHead();
            h->clip = std::move(clip);
        } catch (...) {
            // The file went away or changed: no head, the voice streams from the in point.
        }
        h->ready.store(true, std::memory_order_release);
    };
    if (options.prepareOnOpen)
        task();
    else
        preparer->submitTask(head.get(), std::move(task));
    return head;
}

// A new clip (or none) on voice `v`: its window starts as the whole clip.
void Engine::Impl::forgetWindow(int v, std::uint64_t seq) {
    VoiceUI& u = ui[static_cast<std::size_t>(v)];
    if (u.extra)
        retired.push_back({std::move(u.extra), v, seq});
    u.in = u.out = u.playIn = u.playOut = 0;
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
        return ch.workerAck[static_cast<std::size_t>(r.voice)].load(std::memory_order_acquire) >=
               r.seq;
    });
}

bool Engine::Impl::currentlyPlaying(int v) const {
    const VoiceUI& u = ui[static_cast<std::size_t>(v)];
    if (!u.playing)
        return false;
    const std::uint64_t s =
        ch.published[static_cast<std::size_t>(v)].load(std::memory_order_acquire);
    return !(stampOf(s) == (u.stamp & kStampMask) && (s & kEndedBit));
}

std::int64_t Engine::Impl::currentPos(int v) const {
    const VoiceUI& u = ui[static_cast<std::size_t>(v)];
    if (!u.playing)
        return u.pos;
    const std::uint64_t s =
        ch.published[static_cast<std::size_t>(v)].load(std::memory_order_acquire);
    if (stampOf(s) == (u.stamp & kStampMask) && (s & (kPlayingBit | kEndedBit)))
        return posOf(s);
    return u.pos; // the mixer has not started this playback yet
}

// A voice about to play a clip whose head is still waiting for the pool: this thread prepares
// it at once (a few milliseconds for one clip), so that the press sounds in the next block.
// A head from an in point that has just moved is made so too.
void Engine::Impl::hurry(int v) {
    const VoiceUI& u = ui[static_cast<std::size_t>(v)];
    if (u.clip && !u.clip->headReady() && preparer->claim(u.clip.get()))
        u.clip->prepareHead();
    // The same for the head from a new in point that the pool has not begun.
    if (u.extra && !u.extra->ready.load(std::memory_order_acquire))
        if (std::function<void()> task = preparer->claimTask(u.extra.get()))
            task();
}

// A new playback of voice `v` from `frame`; `resume` goes on from the sounding one without a
// fade. Returns the playback's stamp.
std::uint32_t Engine::Impl::start(int v, std::int64_t frame, bool resume, std::uint8_t others,
                                  std::int64_t span) {
    VoiceUI& u = ui[static_cast<std::size_t>(v)];
    const std::uint32_t stamp = newStamp();
    hurry(v);
    if (!resume) {
        u.playIn = u.in;
        u.playOut = u.out;
    }
    send(Command::Play, v, [&](Command& c) {
        c.resume = resume;
        c.others = others;
        c.span = span;
        c.stamp = stamp;
        c.frame = frame;
        c.timeNs = nowNs();
    });
    u.playing = true;
    u.fading = false;
    u.stamp = stamp;
    u.pos = frame;
    return stamp;
}

Engine::Engine(Options options) : d(std::make_unique<Impl>()) {
    d->options = options;
    std::shared_ptr<OutputBackend> backend;
    if (options.output == Output::Device)
        backend = options.backend ? options.backend : makeOutputBackend(options.server);
    else if (options.output == Output::Dummy)
        backend = makeSdlBackend();
    if (backend)
        backend->setLateStart(&Impl::lateCallback);
    d->readAhead = std::make_unique<ReadAhead>(d->ch);
    d->device = std::make_unique<DeviceWatcher>(options, std::move(backend), d->ch,
                                                &Impl::deviceCallback, d.get());
    // The first output fixes the rate the mixer runs at; it starts once the mixer is there.
    d->device->openFirst();
    d->mixer = std::make_unique<Mixer>(d->ch, d->readAhead->rings(), d->device->rate());
    d->preparer = std::make_unique<HeadPreparer>(preparerThreads());
    d->device->start();
}

Engine::~Engine() {
    d->device.reset(); // no callback after this
    d->readAhead.reset();
    d->preparer.reset();
}

Engine::Output Engine::output() const {
    return d->device->state().output;
}
bool Engine::hasSoundDevice() const {
    return output() == Output::Device;
}
bool Engine::fellBackToDummy() const {
    return d->options.output == Output::Device && output() != Output::Device;
}
std::string Engine::driverName() const {
    return d->device->state().driver;
}
int Engine::sampleRate() const {
    return d->device->rate();
}
int Engine::periodFrames() const {
    // PipeWire runs every stream at the graph's quantum, which follows the smallest request of
    // all its clients: a deeper request of ours may change nothing heard. Its callback mixes
    // one quantum each cycle, so that is the period.
    const DeviceState state = d->device->state();
    if (state.output == Output::Device && state.driver == "pipewire")
        if (const int frames = d->cycleFrames.load(std::memory_order_relaxed); frames > 0)
            return frames;
    return d->device->period();
}

Engine::DeviceState Engine::deviceState() const {
    return d->device->state();
}

void Engine::chooseOutputDevice(const std::string& name) {
    d->device->choose(name);
}

void Engine::chooseOutputServer(const std::string& server) {
    d->device->chooseServer(server);
}

void Engine::playTestTone() {
    d->send(Command::Tone, 0);
}

void Engine::render(float* out, int frames) {
    if (output() != Output::None) {
        std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
        return; // the device's callback mixes; a second mixer thread would race it
    }
    d->mixer->mix(out, frames);
}

std::shared_ptr<Clip> Engine::openClip(const std::string& path, std::int64_t headFrom) const {
    std::shared_ptr<Clip> clip = Clip::openDeferred(path, sampleRate());
    // A head from an in point past the end would be empty: the window leaves such a point out.
    clip->setHeadStart(clampWindow(headFrom, 0, clip->length()).in);
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
    const std::uint64_t seq = d->send(Command::Load, voice, [&](Command& c) {
        c.clip = clip.get();
        c.gain = 1.0f;
    });
    // The replaced clip lives until the mixer and the worker have both seen this command.
    if (u.clip)
        d->retired.push_back({std::move(u.clip), voice, seq});
    d->forgetWindow(voice, seq);
    u.clip = std::move(clip);
    u.rest(0);
}

void Engine::unload(int voice) {
    VoiceUI* u = d->withClip(voice);
    if (!u)
        return;
    d->collect();
    const std::uint64_t seq = d->send(Command::Unload, voice);
    d->retired.push_back({std::move(u->clip), voice, seq});
    d->forgetWindow(voice, seq);
    u->clip.reset();
    u->rest(0);
}

std::uint32_t Engine::play(int voice) {
    VoiceUI* u = d->withClip(voice);
    if (!u)
        return 0;
    const bool playing = d->currentlyPlaying(voice);
    if (playing && u->fading)
        return restart(voice);
    return d->start(voice, d->currentPos(voice), playing);
}

std::uint32_t Engine::restart(int voice) {
    return loaded(voice) ? d->start(voice, 0, false) : 0;
}

void Engine::stop(int voice) {
    VoiceUI* u = d->withClip(voice);
    if (!u)
        return;
    std::int64_t pos = d->currentPos(voice);
    if (d->currentlyPlaying(voice)) {
        // The playback's window gives way to the one asked for since: the voice stands on
        // the same frame of the clip, where the new window holds it.
        const Window from = u->window(true), to = u->window(false);
        pos = std::clamp<std::int64_t>(from.in + pos - to.in, 0, to.length());
    }
    d->send(Command::Stop, voice, [&](Command& c) { c.frame = pos; });
    u->rest(pos);
}

void Engine::seek(int voice, std::int64_t frame) {
    VoiceUI* u = d->withClip(voice);
    if (!u)
        return;
    frame = std::clamp<std::int64_t>(frame, 0, u->window(false).length());
    d->send(Command::Seek, voice, [&](Command& c) { c.frame = frame; });
    u->rest(frame);
}

void Engine::setGain(int voice, float gain) {
    if (voice >= 0 && voice < kVoices)
        d->send(Command::Gain, voice, [&](Command& c) { c.gain = std::clamp(gain, 0.0f, 1.0f); });
}

void Engine::setLooping(int voice, bool on) {
    if (voice >= 0 && voice < kVoices)
        d->send(Command::Loop, voice, [&](Command& c) { c.flag = on; });
}

void Engine::setWindow(int voice, std::int64_t inFrame, std::int64_t outFrame) {
    VoiceUI* u = d->withClip(voice);
    if (!u)
        return;
    inFrame = std::max<std::int64_t>(inFrame, 0);
    outFrame = std::max<std::int64_t>(outFrame, 0);
    if (inFrame == u->in && outFrame == u->out)
        return;
    d->collect();
    const std::int64_t start = clampWindow(inFrame, outFrame, u->clip->length()).in;
    std::shared_ptr<WindowHead> head;
    if (start != u->clip->headStart())
        head = u->extra && u->extra->start == start ? u->extra
                                                    : d->prepareWindowHead(u->clip->path(), start);
    const std::uint64_t seq = d->send(Command::Window, voice, [&](Command& c) {
        c.frame = inFrame;
        c.until = outFrame;
        c.head = head.get();
    });
    if (u->extra && u->extra != head)
        d->retired.push_back({std::move(u->extra), voice, seq});
    u->extra = std::move(head);
    u->in = inFrame;
    u->out = outFrame;
    if (!d->currentlyPlaying(voice))
        u->rest(0); // a stopped voice stands at the new in point
}

void Engine::setFades(int voice, std::int64_t inFrames, std::int64_t outFrames) {
    if (voice >= 0 && voice < kVoices)
        d->send(Command::Fades, voice, [&](Command& c) {
            c.frame = std::max<std::int64_t>(inFrames, 0);
            c.until = std::max<std::int64_t>(outFrames, 0);
        });
}

void Engine::setTrimGain(int voice, float gain) {
    if (voice >= 0 && voice < kVoices)
        d->send(Command::TrimGain, voice, [&](Command& c) {
            c.gain = std::isnan(gain) ? 0.0f : std::clamp(gain, 0.0f, 4.0f);
        });
}

void Engine::fadeOut(int voice, int ms) {
    VoiceUI* u = d->withClip(voice);
    if (!u || !d->currentlyPlaying(voice))
        return;
    d->send(Command::Fade, voice, [&](Command& c) {
        c.frame = static_cast<std::int64_t>(std::max(ms, 0)) * sampleRate() / 1000;
    });
    u->fading = true;
}

std::uint32_t Engine::playReplacing(int voice, bool fromStart, unsigned others, int ms) {
    VoiceUI* u = d->withClip(voice);
    if (!u)
        return 0;
    std::uint8_t sounding = 0;
    for (int o = 0; o < kVoices; ++o) {
        if (o == voice || !(others >> o & 1u) || !d->currentlyPlaying(o))
            continue;
        sounding |= static_cast<std::uint8_t>(1u << o);
        d->ui[static_cast<std::size_t>(o)].fading = true;
    }
    std::int64_t frame = 0;
    if (!fromStart && !d->currentlyPlaying(voice)) {
        frame = d->currentPos(voice);
        if (frame >= u->clip->length())
            frame = 0;
    }
    const std::int64_t span = static_cast<std::int64_t>(std::max(ms, 1)) * sampleRate() / 1000;
    return d->start(voice, frame, false, sounding, sounding ? span : 0);
}

void Engine::setDucking(int voice, const Ducking& ducking) {
    if (voice < 0 || voice >= kVoices)
        return;
    const int rate = sampleRate();
    d->send(Command::Duck, voice, [&](Command& c) {
        c.flag = ducking.on && ducking.levelDb < 0;
        c.gain = std::pow(10.0f, static_cast<float>(std::min(ducking.levelDb, 0)) / 20.0f);
        c.frame = static_cast<std::int64_t>(std::max(ducking.attackMs, 0)) * rate / 1000;
        c.span = static_cast<std::int64_t>(std::max(ducking.releaseMs, 0)) * rate / 1000;
    });
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
        d->ch.published[static_cast<std::size_t>(voice)].load(std::memory_order_acquire);
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
    return d->ui[static_cast<std::size_t>(voice)].window(d->currentlyPlaying(voice)).length();
}

void Engine::setListener(int voice, Listener listener) {
    if (voice >= 0 && voice < kVoices)
        d->readAhead->setListener(voice, std::move(listener));
}

std::uint64_t Engine::underruns() const {
    return d->ch.underruns.load(std::memory_order_relaxed);
}
std::uint64_t Engine::lateCallbacks() const {
    return d->ch.late.load(std::memory_order_relaxed);
}
std::int64_t Engine::lastStartLatencyNs() const {
    return d->ch.startLatency.load(std::memory_order_relaxed);
}
std::uint64_t Engine::limitedFrames() const {
    return d->ch.limited.load(std::memory_order_relaxed);
}
int Engine::lookaheadFrames() const {
    return d->mixer->lookahead();
}

bool Engine::waitIdle(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    if (!d->preparer->waitIdle(timeout))
        return false;
    return d->readAhead->waitIdle(until);
}

void Engine::reportDeviceFailure() {
    d->ch.failures.fetch_add(1, std::memory_order_release);
}

} // namespace media
