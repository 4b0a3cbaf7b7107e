// The PulseAudio output, through libpulse's asynchronous API: one stream per open output, kept
// filled to a deep queue by a timer on the loop's thread, so that a busy machine does not make
// it run dry. A key press does not wait for that queue: the new playback is mixed into the part
// of the queue the server has not played yet, and that part is written again over what the
// server holds (a write that seeks back from the write index, so that it lands on exactly the
// frames it was mixed for). Stops, fades and volume changes are applied to that part the same
// way, so that no control waits for the queue either. The server's underflow notices are
// counted; the engine deepens the queue when they repeat. The outputs are the server's sinks,
// named by their descriptions.
#include "output_native.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace media {

namespace {

constexpr int kStride = 2 * sizeof(float);
// The queue kept at the server, in frames, before any deepening, and the deepest it goes. It
// outlasts the stalls of a busy (or virtual) machine, which stop every thread for up to some
// 60-80 ms at times.
constexpr int kQueueFrames = 5760;
constexpr int kMaxQueueFrames = 12288;
// How often the loop's thread tops the queue up and looks for new playbacks.
constexpr pa_usec_t kTickUsec = 500;
// How often it asks the server where it plays. Between two answers the position moves on with
// the clock; asking at every round would load the server's main thread for nothing.
constexpr pa_usec_t kTimingUsec = 4000;
// Frames ahead of the sink's largest latency beyond the frame it plays that a new playback
// starts at: room for the rewrite's way to the server.
constexpr int kLateMarginFrames = 48;
constexpr pa_usec_t kSinkWindowUsec = 500000;
constexpr auto kOpenTimeout = std::chrono::seconds(2);

struct Sink {
    std::string name;
    std::string description;
};

struct PaOutput {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    // Under the loop's lock.
    std::vector<Sink> sinks;
    std::vector<Sink> listing; // a sink listing under way
    bool listed = false;
    std::string target; // the chosen sink's name, "" = the server's default

    RenderCallback callback = nullptr;
    LateStartCallback late = nullptr;
    void* user = nullptr;
    int rate = 48000;
    int period = 128;
    std::atomic<int> queueFrames{kQueueFrames}; // the queue kept at the server
    bool started = false;                       // under the loop's lock
    bool realTime = false;                      // the loop's thread asked for real-time scheduling
    pa_time_event* tick = nullptr;
    bool timingAsked = false; // a timing update is on its way
    pa_usec_t timingAt = 0;   // when the latest one was asked for
    // The loop's thread: the frames written so far (the server's write index), the latest
    // estimates of its read index and of the frame it plays, and a copy of the last `capacity`
    // frames written, by index modulo capacity, for a new playback to be added to.
    std::int64_t written = 0;
    std::int64_t readEstimate = 0;
    std::int64_t playEstimate = 0;
    std::int64_t readReported = 0; // the read index the server reported last
    // The sink's largest latency seen in this window and in the one before.
    std::int64_t sinkNow = 0;
    std::int64_t sinkBefore = 0;
    pa_usec_t sinkSince = 0;
    int capacity = 0;
    std::vector<float> kept;
    std::vector<float> lateMix;
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> dropouts{0};

    ~PaOutput() {
        if (!loop)
            return;
        pa_threaded_mainloop_lock(loop);
        if (tick)
            pa_threaded_mainloop_get_api(loop)->time_free(tick);
        if (stream) {
            pa_stream_set_underflow_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    // The open's connection, sink list and stream share one timeout: a server that answers
    // slowly costs an open 2 s, not 2 s at each step.
    const std::chrono::steady_clock::time_point until =
        std::chrono::steady_clock::now() + kOpenTimeout;

    // (locked) Waits for `done`, a failure or the open timeout.
    template <typename Done> bool waitFor(Done done) {
        while (!done() && !failed.load(std::memory_order_acquire)) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            pa_threaded_mainloop_unlock(loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            pa_threaded_mainloop_lock(loop);
        }
        return done();
    }
};

void onContextState(pa_context* c, void* data) {
    auto* o = static_cast<PaOutput*>(data);
    const pa_context_state_t s = pa_context_get_state(c);
    if (s == PA_CONTEXT_FAILED || s == PA_CONTEXT_TERMINATED)
        o->failed.store(true, std::memory_order_release);
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* o = static_cast<PaOutput*>(data);
    if (eol) {
        o->sinks = std::move(o->listing);
        o->listing.clear();
        o->listed = true;
        return;
    }
    if (info)
        o->listing.push_back(
            Sink{info->name ? info->name : "", info->description ? info->description : info->name});
}

void list(PaOutput& o) {
    o.listing.clear();
    if (pa_operation* op = pa_context_get_sink_info_list(o.context, &onSink, &o))
        pa_operation_unref(op);
}

void onSubscribe(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* data) {
    list(*static_cast<PaOutput*>(data)); // a sink came or went
}

void onStreamState(pa_stream* s, void* data) {
    auto* o = static_cast<PaOutput*>(data);
    const pa_stream_state_t st = pa_stream_get_state(s);
    if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED)
        o->failed.store(true, std::memory_order_release); // also a chosen sink unplugged
}

void onUnderflow(pa_stream*, void* data) {
    static_cast<PaOutput*>(data)->dropouts.fetch_add(1, std::memory_order_relaxed);
}

void onTiming(pa_stream*, int, void* data) {
    static_cast<PaOutput*>(data)->timingAsked = false;
}

// The frame the server reads next from the stream's queue, and (in `o.playEstimate`) the frame
// it plays: its latest report, moved on by the time since while it plays. Neither is ever
// behind an earlier estimate.
std::int64_t readIndex(PaOutput& o) {
    const pa_timing_info* t = pa_stream_get_timing_info(o.stream);
    if (t && !t->read_index_corrupt) {
        // It reads on past the write index only when the server says so: a server that runs
        // dry stops, and a guess beyond the written end would leave a gap in the queue.
        const std::int64_t reported = t->read_index / kStride;
        o.readReported = reported;
        const std::int64_t sink = static_cast<std::int64_t>(t->sink_usec) * o.rate / 1000000;
        const std::int64_t moved =
            t->playing ? static_cast<std::int64_t>(pa_timeval_age(&t->timestamp)) * o.rate / 1000000
                       : 0;
        o.readEstimate =
            std::max(o.readEstimate, std::max(reported, std::min(reported + moved, o.written)));
        // The frame heard is the one read less the sink's latency at the report, as the
        // server's own playback time counts it.
        o.playEstimate = std::max(o.playEstimate, std::min(reported - sink + moved, o.written));
        // The sink takes the queue in blocks of up to its latency: the read index may be that
        // far ahead of the frame played. Its latency changes with the streams it serves, so
        // the largest of the last half second or so counts.
        const pa_usec_t now = pa_rtclock_now();
        if (now - o.sinkSince > kSinkWindowUsec) {
            o.sinkBefore = o.sinkNow;
            o.sinkNow = 0;
            o.sinkSince = now;
        }
        o.sinkNow = std::max(o.sinkNow, sink);
    }
    if (const pa_usec_t now = pa_rtclock_now(); !o.timingAsked && now - o.timingAt >= kTimingUsec) {
        if (pa_operation* op = pa_stream_update_timing_info(o.stream, &onTiming, &o)) {
            o.timingAsked = true;
            o.timingAt = now;
            pa_operation_unref(op);
        }
    }
    return o.readEstimate;
}

// The last `frames` frames written, with the playbacks that start in them and the commands
// taken there, are written again: a write that seeks back from the write index lands on the
// same frames at the server.
void rewrite(PaOutput& o, int frames) {
    float* mix = o.lateMix.data();
    std::fill(mix, mix + static_cast<std::ptrdiff_t>(frames) * 2, 0.0f);
    if (o.late(o.user, mix, frames) <= 0)
        return;
    const std::int64_t from = o.written - frames;
    for (int i = 0; i < frames; ++i) {
        float* k = o.kept.data() + ((from + i) % o.capacity) * 2;
        for (int c = 0; c < 2; ++c) {
            // The limiter has passed what was queued; the sum stays a sample.
            mix[2 * i + c] = std::clamp(mix[2 * i + c] + k[c], -1.0f, 1.0f);
            k[c] = mix[2 * i + c];
        }
    }
    pa_stream_write(o.stream, mix, static_cast<std::size_t>(frames) * kStride, nullptr,
                    -static_cast<std::int64_t>(frames) * kStride, PA_SEEK_RELATIVE);
}

// Looks for new playbacks, then tops the server's queue up to its depth, a period at a time.
void fill(PaOutput& o) {
    if (!o.started || pa_stream_get_state(o.stream) != PA_STREAM_READY)
        return;
    if (!o.realTime && pa_threaded_mainloop_in_thread(o.loop)) {
        o.realTime = true;
        raiseToRealTime(); // the loop's thread runs the mixer
    }
    std::int64_t queued = o.written - readIndex(o);
    // A new playback starts where the server reads next at the latest: past the frame it
    // plays by the sink's latency, and by the rewrite's way there.
    const std::int64_t lateFrom =
        std::max(o.playEstimate + std::max(o.sinkNow, o.sinkBefore), o.readReported) +
        kLateMarginFrames;
    if (o.late && o.written > lateFrom)
        rewrite(o, static_cast<int>(std::min<std::int64_t>(
                       o.written - lateFrom, std::min(o.capacity - o.period, kMaxLateFrames))));
    std::int64_t skip = 0;
    if (queued < 0) {
        // The server ran dry and read on past what was written: the next frames go where
        // it reads now, not into the past, where they would be dropped.
        skip = -queued;
        queued = 0;
    }
    const int depth = o.queueFrames.load(std::memory_order_relaxed);
    while (queued < depth) {
        float* out = o.kept.data() + ((o.written + skip) % o.capacity) * 2;
        o.callback(o.user, out, o.period);
        if (pa_stream_write(o.stream, out, static_cast<std::size_t>(o.period) * kStride, nullptr,
                            skip * kStride, PA_SEEK_RELATIVE) < 0)
            return;
        o.written += skip + o.period;
        queued += o.period;
        skip = 0;
    }
}

void onTick(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* data) {
    auto* o = static_cast<PaOutput*>(data);
    fill(*o);
    pa_context_rttime_restart(o->context, e, pa_rtclock_now() + kTickUsec);
}

pa_buffer_attr attrFor(std::uint32_t queueBytes, std::uint32_t periodBytes) {
    pa_buffer_attr a{};
    a.maxlength = static_cast<std::uint32_t>(-1);
    a.tlength = queueBytes;
    a.prebuf = periodBytes;
    a.minreq = periodBytes;
    a.fragsize = static_cast<std::uint32_t>(-1);
    return a;
}

// (locked) Why `what` did not get ready: the server's error, or the state it stayed in.
std::string whyNot(PaOutput& o, const char* what, int state) {
    if (o.failed.load(std::memory_order_acquire))
        return std::string(what) + ": " + pa_strerror(pa_context_errno(o.context));
    return std::string(what) + ": still in state " + std::to_string(state) + " at the timeout";
}

std::unique_ptr<PaOutput> connect(std::string& why) {
    auto o = std::make_unique<PaOutput>();
    o->loop = pa_threaded_mainloop_new();
    if (!o->loop)
        return nullptr;
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "cuedeck");
    o->context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(o->loop), "cuedeck", props);
    pa_proplist_free(props);
    if (!o->context)
        return nullptr;
    pa_context_set_state_callback(o->context, &onContextState, o.get());
    if (pa_context_connect(o->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        why = pa_strerror(pa_context_errno(o->context));
        return nullptr;
    }
    if (pa_threaded_mainloop_start(o->loop) < 0)
        return nullptr;
    pa_threaded_mainloop_lock(o->loop);
    bool ok = o->waitFor([&] { return pa_context_get_state(o->context) == PA_CONTEXT_READY; });
    if (!ok)
        why = whyNot(*o, "connection", pa_context_get_state(o->context));
    if (ok) {
        pa_context_set_subscribe_callback(o->context, &onSubscribe, o.get());
        if (pa_operation* op =
                pa_context_subscribe(o->context, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr))
            pa_operation_unref(op);
        list(*o);
        ok = o->waitFor([&] { return o->listed; });
        if (!ok)
            why = whyNot(*o, "sink list", pa_context_get_state(o->context));
    }
    pa_threaded_mainloop_unlock(o->loop);
    return ok ? std::move(o) : nullptr;
}

class PulseBackend final : public detail::NativeBackend<PaOutput> {
public:
    PulseBackend() : NativeBackend("pulseaudio") {}

    std::vector<std::string> devices() override {
        std::vector<std::string> names;
        withLatest([&](PaOutput& o) {
            pa_threaded_mainloop_lock(o.loop);
            for (const Sink& s : o.sinks)
                names.push_back(s.description);
            pa_threaded_mainloop_unlock(o.loop);
        });
        return names;
    }

    Handle open(const std::string& name, const OutputFormat& want, bool, RenderCallback callback,
                void* user, OutputFormat& got) override {
        m_error.clear();
        std::unique_ptr<PaOutput> o = connect(m_error);
        if (!o)
            return 0;
        o->callback = callback;
        o->late = m_late.load(std::memory_order_relaxed);
        o->user = user;
        o->rate = want.rate;
        o->period = std::clamp(want.period, 32, 2048);
        o->capacity = (kMaxQueueFrames / o->period + 2) * o->period;
        o->kept.assign(static_cast<std::size_t>(o->capacity) * 2, 0.0f);
        o->lateMix.assign(static_cast<std::size_t>(o->capacity) * 2, 0.0f);
        pa_threaded_mainloop_lock(o->loop);
        bool ok = true;
        if (!name.empty()) {
            auto it = std::find_if(o->sinks.begin(), o->sinks.end(),
                                   [&](const Sink& s) { return s.description == name; });
            ok = it != o->sinks.end();
            if (ok)
                o->target = it->name;
            else
                m_error = "no sink " + name;
        }
        if (ok && !(ok = makeStream(*o)))
            m_error =
                o->stream ? whyNot(*o, "stream", pa_stream_get_state(o->stream)) : "no stream";
        pa_threaded_mainloop_unlock(o->loop);
        if (!ok)
            return 0;
        got.rate = want.rate; // the server converts when its own rate differs
        got.period = o->period;
        return add(std::move(o));
    }

    void start(Handle h) override {
        if (PaOutput* o = find(h)) {
            pa_threaded_mainloop_lock(o->loop);
            o->started = true;
            fill(*o);
            o->tick = pa_context_rttime_new(o->context, pa_rtclock_now() + kTickUsec, &onTick, o);
            if (pa_operation* op = pa_stream_cork(o->stream, 0, nullptr, nullptr))
                pa_operation_unref(op);
            pa_threaded_mainloop_unlock(o->loop);
        }
    }
    int deepen(Handle h) override {
        PaOutput* o = find(h);
        if (!o || o->queueFrames.load() >= kMaxQueueFrames)
            return 0;
        // The timer writes more from its next round on; a deeper queue costs a key press or a
        // stop nothing, since both take effect in it.
        const int frames = std::min(kMaxQueueFrames, 2 * o->queueFrames.load());
        o->queueFrames.store(frames);
        return frames;
    }
    void setLateStart(LateStartCallback late) override { m_late.store(late); }
    std::string openError() override { return m_error; }

private:
    // (locked)
    static bool makeStream(PaOutput& o) {
        pa_sample_spec format{};
        format.format = PA_SAMPLE_FLOAT32NE;
        format.rate = static_cast<std::uint32_t>(o.rate);
        format.channels = 2;
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
        o.stream = pa_stream_new_with_proplist(o.context, "cuedeck", &format, nullptr, props);
        pa_proplist_free(props);
        if (!o.stream)
            return false;
        pa_stream_set_state_callback(o.stream, &onStreamState, &o);
        pa_stream_set_underflow_callback(o.stream, &onUnderflow, &o);
        const auto periodBytes = static_cast<std::uint32_t>(o.period * kStride);
        const pa_buffer_attr a =
            attrFor(static_cast<std::uint32_t>(o.queueFrames.load() * kStride), periodBytes);
        // A chosen sink that goes ends the stream instead of moving it to another.
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_EARLY_REQUESTS |
                                           (o.target.empty() ? 0 : PA_STREAM_DONT_MOVE));
        if (pa_stream_connect_playback(o.stream, o.target.empty() ? nullptr : o.target.c_str(), &a,
                                       flags, nullptr, nullptr) < 0)
            return false;
        return o.waitFor([&] { return pa_stream_get_state(o.stream) == PA_STREAM_READY; });
    }

    std::atomic<LateStartCallback> m_late{nullptr};
    std::string m_error; // why the last open failed
};

} // namespace

std::shared_ptr<OutputBackend> makePulseBackend() {
    return std::make_shared<PulseBackend>();
}

} // namespace media
