// The PulseAudio output, through libpulse's asynchronous API: one stream per open output,
// filled from the server's write requests straight into the server's memory, with a queue
// that the output keeps a few periods long. The server's underflow notices are counted; the
// engine deepens the queue when they repeat. The outputs are the server's sinks, named by
// their descriptions.
#include "output.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace media {

namespace {

constexpr int kStride = 2 * sizeof(float);
// The queue asked of the server, in periods, before any deepening.
constexpr int kQueuePeriods = 3;
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
    std::uint32_t queueBytes = 0;

    RenderCallback callback = nullptr;
    void* user = nullptr;
    bool started = false;  // under the loop's lock
    bool realTime = false; // the loop's thread asked for real-time scheduling
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> underflows{0};

    ~PaOutput() {
        if (!loop)
            return;
        pa_threaded_mainloop_lock(loop);
        if (stream) {
            pa_stream_set_write_callback(stream, nullptr, nullptr);
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

    // (locked) Waits for `done`, a failure or the open timeout.
    template <typename Done> bool waitFor(Done done) {
        const auto until = std::chrono::steady_clock::now() + kOpenTimeout;
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
    static_cast<PaOutput*>(data)->underflows.fetch_add(1, std::memory_order_relaxed);
}

// The server asks for `bytes`: the mixer writes them into the server's own memory.
void onWrite(pa_stream* s, std::size_t bytes, void* data) {
    auto* o = static_cast<PaOutput*>(data);
    if (!o->started)
        return; // the server fills a corked stream's queue; nothing is mixed before start()
    if (!o->realTime && pa_threaded_mainloop_in_thread(o->loop)) {
        o->realTime = true;
        raiseToRealTime(); // the loop's thread runs the mixer
    }
    while (bytes >= kStride) {
        void* buf = nullptr;
        std::size_t n = bytes;
        if (pa_stream_begin_write(s, &buf, &n) < 0 || !buf || n < kStride)
            return;
        n -= n % kStride;
        o->callback(o->user, static_cast<float*>(buf), static_cast<int>(n / kStride));
        if (pa_stream_write(s, buf, n, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        bytes -= std::min(bytes, n);
    }
}

pa_buffer_attr attrFor(std::uint32_t queueBytes, std::uint32_t periodBytes) {
    pa_buffer_attr a{};
    a.maxlength = static_cast<std::uint32_t>(-1);
    a.tlength = queueBytes;
    a.prebuf = static_cast<std::uint32_t>(-1);
    a.minreq = periodBytes;
    a.fragsize = static_cast<std::uint32_t>(-1);
    return a;
}

std::unique_ptr<PaOutput> connect() {
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
    if (pa_context_connect(o->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(o->loop) < 0)
        return nullptr;
    pa_threaded_mainloop_lock(o->loop);
    bool ok = o->waitFor([&] { return pa_context_get_state(o->context) == PA_CONTEXT_READY; });
    if (ok) {
        pa_context_set_subscribe_callback(o->context, &onSubscribe, o.get());
        if (pa_operation* op =
                pa_context_subscribe(o->context, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr))
            pa_operation_unref(op);
        list(*o);
        ok = o->waitFor([&] { return o->listed; });
    }
    pa_threaded_mainloop_unlock(o->loop);
    return ok ? std::move(o) : nullptr;
}

class PulseBackend final : public OutputBackend {
public:
    std::vector<std::string> devices() override {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> names;
        if (m_outputs.empty())
            return names;
        PaOutput& o = *m_outputs.rbegin()->second;
        pa_threaded_mainloop_lock(o.loop);
        for (const Sink& s : o.sinks)
            names.push_back(s.description);
        pa_threaded_mainloop_unlock(o.loop);
        return names;
    }

    Handle open(const std::string& name, const OutputFormat& want, bool, RenderCallback callback,
                void* user, OutputFormat& got) override {
        std::unique_ptr<PaOutput> o = connect();
        if (!o)
            return 0;
        o->callback = callback;
        o->user = user;
        pa_threaded_mainloop_lock(o->loop);
        bool ok = true;
        if (!name.empty()) {
            auto it = std::find_if(o->sinks.begin(), o->sinks.end(),
                                   [&](const Sink& s) { return s.description == name; });
            ok = it != o->sinks.end();
            if (ok)
                o->target = it->name;
        }
        const std::uint32_t period = static_cast<std::uint32_t>(std::clamp(want.period, 32, 8192));
        if (ok)
            ok = makeStream(*o, want.rate, period);
        pa_threaded_mainloop_unlock(o->loop);
        if (!ok)
            return 0;
        got.rate = want.rate; // the server converts when its own rate differs
        got.period = static_cast<int>(period);
        std::lock_guard lock(m_mutex);
        const Handle h = m_next++;
        m_outputs[h] = std::move(o);
        return h;
    }

    Handle openSilent(const OutputFormat&, bool, RenderCallback, void*, OutputFormat&) override {
        return 0; // the silent driver is SDL's
    }

    void start(Handle h) override {
        if (PaOutput* o = find(h)) {
            pa_threaded_mainloop_lock(o->loop);
            o->started = true;
            if (const std::size_t n = pa_stream_writable_size(o->stream);
                n != static_cast<std::size_t>(-1) && n > 0)
                onWrite(o->stream, n, o);
            if (pa_operation* op = pa_stream_cork(o->stream, 0, nullptr, nullptr))
                pa_operation_unref(op);
            pa_threaded_mainloop_unlock(o->loop);
        }
    }
    bool failed(Handle h) override {
        PaOutput* o = find(h);
        return !o || o->failed.load(std::memory_order_acquire);
    }
    void close(Handle h) override {
        std::unique_ptr<PaOutput> o;
        std::lock_guard lock(m_mutex);
        auto it = m_outputs.find(h);
        if (it == m_outputs.end())
            return;
        o = std::move(it->second);
        m_outputs.erase(it);
    }
    std::string driver(Handle h) override { return find(h) ? "pulseaudio" : ""; }
    std::uint64_t underruns(Handle h) override {
        PaOutput* o = find(h);
        return o ? o->underflows.load(std::memory_order_relaxed) : 0;
    }
    int deepen(Handle h) override {
        PaOutput* o = find(h);
        if (!o || o->queueBytes >= 8192 * kStride)
            return 0;
        pa_threaded_mainloop_lock(o->loop);
        o->queueBytes *= 2;
        const pa_buffer_attr* now = pa_stream_get_buffer_attr(o->stream);
        const pa_buffer_attr a = attrFor(o->queueBytes, now ? now->minreq : o->queueBytes / 4);
        if (pa_operation* op = pa_stream_set_buffer_attr(o->stream, &a, nullptr, nullptr))
            pa_operation_unref(op);
        pa_threaded_mainloop_unlock(o->loop);
        return static_cast<int>(o->queueBytes / kStride);
    }

private:
    // (locked)
    static bool makeStream(PaOutput& o, int rate, std::uint32_t period) {
        pa_sample_spec format{};
        format.format = PA_SAMPLE_FLOAT32NE;
        format.rate = static_cast<std::uint32_t>(rate);
        format.channels = 2;
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
        o.stream = pa_stream_new_with_proplist(o.context, "cuedeck", &format, nullptr, props);
        pa_proplist_free(props);
        if (!o.stream)
            return false;
        pa_stream_set_state_callback(o.stream, &onStreamState, &o);
        pa_stream_set_write_callback(o.stream, &onWrite, &o);
        pa_stream_set_underflow_callback(o.stream, &onUnderflow, &o);
        o.queueBytes = period * kQueuePeriods * kStride;
        const pa_buffer_attr a = attrFor(o.queueBytes, period * kStride);
        // A chosen sink that goes ends the stream instead of moving it to another.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
            PA_STREAM_INTERPOLATE_TIMING | (o.target.empty() ? 0 : PA_STREAM_DONT_MOVE));
        if (pa_stream_connect_playback(o.stream, o.target.empty() ? nullptr : o.target.c_str(), &a,
                                       flags, nullptr, nullptr) < 0)
            return false;
        return o.waitFor([&] { return pa_stream_get_state(o.stream) == PA_STREAM_READY; });
    }

    PaOutput* find(Handle h) {
        std::lock_guard lock(m_mutex);
        auto it = m_outputs.find(h);
        return it == m_outputs.end() ? nullptr : it->second.get();
    }

    std::mutex m_mutex; // guards m_outputs
    std::map<Handle, std::unique_ptr<PaOutput>> m_outputs;
    Handle m_next = 1;
};

} // namespace

std::shared_ptr<OutputBackend> makePulseBackend() {
    return std::make_shared<PulseBackend>();
}

} // namespace media
