// The PipeWire output: one pw_stream per open output, whose process callback runs the mixer on
// PipeWire's real-time data thread and asks the graph for a small quantum (node.latency). The
// outputs are the graph's Audio/Sink nodes, named by their descriptions as the registry
// reports them.
#include "output_native.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

namespace media {

namespace {

constexpr int kStride = 2 * sizeof(float);
// How long an open waits for the server's answers.
constexpr int kOpenTimeoutSeconds = 2;

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

struct Sink {
    std::string nodeName;
    std::string description;
};

// One connection to the server with its registry and (once opened) its stream. Fields the
// data thread reads are set before the stream starts, or atomic.
struct PwOutput {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook streamListener{};
    // Under the thread loop's lock.
    std::map<std::uint32_t, Sink> sinks;
    int syncSeq = -1;
    bool synced = false;
    std::uint32_t targetId = SPA_ID_INVALID;
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;

    RenderCallback callback = nullptr;
    void* user = nullptr;
    int rate = 48000;
    int latency = 128;
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> dropouts{0};
    // Data thread: the graph clock at the last cycle, and the frames that cycle asked for.
    bool realTime = false; // the data thread asked for real-time scheduling
    std::uint64_t lastTicks = 0;
    std::uint64_t lastFrames = 0;

    ~PwOutput() {
        if (!loop)
            return;
        pw_thread_loop_lock(loop);
        if (stream)
            pw_stream_destroy(stream); // a process call in progress finishes first
        if (registry)
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        if (core)
            pw_core_disconnect(core);
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
        if (context)
            pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
    }
};

void onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* o = static_cast<PwOutput*>(data);
    if (id == PW_ID_CORE && seq == o->syncSeq) {
        o->synced = true;
        pw_thread_loop_signal(o->loop, false);
    }
}

void onCoreError(void* data, std::uint32_t id, int, int res, const char*) {
    auto* o = static_cast<PwOutput*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) { // the server went away
        o->failed.store(true, std::memory_order_release);
        pw_thread_loop_signal(o->loop, false);
    }
}

const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = &onCoreDone;
    e.error = &onCoreError;
    return e;
}();

void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
              const spa_dict* props) {
    auto* o = static_cast<PwOutput*>(data);
    if (!props || std::string_view(type) != PW_TYPE_INTERFACE_Node)
        return;
    const char* cls = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (!cls || std::string_view(cls) != "Audio/Sink")
        return;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    const char* desc = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
    if (!desc)
        desc = spa_dict_lookup(props, PW_KEY_NODE_NICK);
    if (!name)
        return;
    o->sinks[id] = Sink{name, desc ? desc : name};
}

void onGlobalRemove(void* data, std::uint32_t id) {
    auto* o = static_cast<PwOutput*>(data);
    o->sinks.erase(id);
    if (id == o->targetId) // the chosen output was unplugged
        o->failed.store(true, std::memory_order_release);
}

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = &onGlobal;
    e.global_remove = &onGlobalRemove;
    return e;
}();

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* o = static_cast<PwOutput*>(data);
    o->state = state;
    if (state == PW_STREAM_STATE_ERROR)
        o->failed.store(true, std::memory_order_release);
    pw_thread_loop_signal(o->loop, false);
}

// The data thread: one graph cycle.
void onProcess(void* data) {
    auto* o = static_cast<PwOutput*>(data);
    if (!o->realTime) {
        o->realTime = true;
        raiseToRealTime(); // this thread runs the mixer from now on
    }
    pw_buffer* b = pw_stream_dequeue_buffer(o->stream);
    if (!b) {
        o->dropouts.fetch_add(1, std::memory_order_relaxed); // no buffer to fill: a hole
        return;
    }
    spa_data& d = b->buffer->datas[0];
    if (!d.data) {
        pw_stream_queue_buffer(o->stream, b);
        return;
    }
    std::uint32_t frames = d.maxsize / kStride;
    if (b->requested)
        frames = std::min<std::uint32_t>(frames, static_cast<std::uint32_t>(b->requested));
    // The graph's clock moves by the previous cycle's length; more means a cycle was missed.
    pw_time t{};
    if (pw_stream_get_time_n(o->stream, &t, sizeof t) == 0 && t.rate.denom) {
        const std::uint64_t expected =
            o->lastFrames * t.rate.denom / static_cast<std::uint64_t>(o->rate);
        if (o->lastFrames && t.ticks > o->lastTicks + expected + expected / 2)
            o->dropouts.fetch_add(1, std::memory_order_relaxed);
        o->lastTicks = t.ticks;
        o->lastFrames = frames;
    }
    o->callback(o->user, static_cast<float*>(d.data), static_cast<int>(frames));
    d.chunk->offset = 0;
    d.chunk->stride = kStride;
    d.chunk->size = frames * kStride;
    pw_stream_queue_buffer(o->stream, b);
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &onStateChanged;
    e.process = &onProcess;
    return e;
}();

// (loop locked) Waits for `done` or a failure, at most the open timeout.
template <typename Done> bool waitFor(PwOutput& o, Done done) {
    while (!done() && !o.failed.load(std::memory_order_acquire))
        if (pw_thread_loop_timed_wait(o.loop, kOpenTimeoutSeconds) != 0)
            return done();
    return done();
}

// A connection with the registry read through once; null when no server answers.
std::unique_ptr<PwOutput> connect(std::string& why) {
    initOnce();
    auto o = std::make_unique<PwOutput>();
    o->loop = pw_thread_loop_new("cuedeck-pipewire", nullptr);
    if (!o->loop)
        return nullptr;
    if (pw_thread_loop_start(o->loop) != 0) {
        pw_thread_loop_destroy(o->loop);
        o->loop = nullptr;
        return nullptr;
    }
    pw_thread_loop_lock(o->loop);
    // The real-time client configuration, as PipeWire's own players use: its data thread runs
    // at the graph's priority from its start, level with the other nodes it shares cycles with.
    // Later PipeWire releases fold it into the plain one and may not ship it: then the plain one.
    o->context =
        pw_context_new(pw_thread_loop_get_loop(o->loop),
                       pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!o->context)
        o->context = pw_context_new(pw_thread_loop_get_loop(o->loop), nullptr, 0);
    if (o->context)
        o->core = pw_context_connect(o->context, nullptr, 0);
    bool ok = o->core != nullptr;
    why = ok ? "" : "no server";
    if (ok) {
        pw_core_add_listener(o->core, &o->coreListener, &kCoreEvents, o.get());
        o->registry = pw_core_get_registry(o->core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(o->registry, &o->registryListener, &kRegistryEvents, o.get());
        o->syncSeq = pw_core_sync(o->core, PW_ID_CORE, 0);
        ok = waitFor(*o, [&] { return o->synced; });
        if (!ok)
            why = o->failed.load() ? "the server failed" : "no answer in 2 s";
    }
    pw_thread_loop_unlock(o->loop);
    return ok ? std::move(o) : nullptr;
}

class PipeWireBackend final : public detail::NativeBackend<PwOutput> {
public:
    PipeWireBackend() : NativeBackend("pipewire") {}

    std::vector<std::string> devices() override {
        std::vector<std::string> names;
        withLatest([&](PwOutput& o) {
            pw_thread_loop_lock(o.loop);
            for (const auto& [id, sink] : o.sinks)
                names.push_back(sink.description);
            pw_thread_loop_unlock(o.loop);
        });
        return names;
    }

    Handle open(const std::string& name, const OutputFormat& want, bool, RenderCallback callback,
                void* user, OutputFormat& got) override {
        // No socket, no server: a context would only find that out, at great cost.
        m_error = missingSocket(pipeWireSockets([](const char* n) { return std::getenv(n); }));
        if (!m_error.empty())
            return 0;
        std::unique_ptr<PwOutput> o = connect(m_error);
        if (!o)
            return 0;
        o->callback = callback;
        o->user = user;
        o->rate = want.rate;
        o->latency = std::clamp(want.period, 32, 8192);
        pw_thread_loop_lock(o->loop);
        std::string target;
        for (const auto& [id, sink] : o->sinks)
            if (!name.empty() && sink.description == name) {
                target = sink.nodeName;
                o->targetId = id;
            }
        bool ok = name.empty() || !target.empty();
        if (!ok)
            m_error = "no sink " + name;
        else if (!(ok = makeStream(*o, target)))
            m_error = "the stream did not get ready";
        pw_thread_loop_unlock(o->loop);
        if (!ok)
            return 0;
        got.rate = want.rate; // the graph converts when its own rate differs
        got.period = o->latency;
        return add(std::move(o));
    }

    void start(Handle h) override {
        if (PwOutput* o = find(h)) {
            pw_thread_loop_lock(o->loop);
            pw_stream_set_active(o->stream, true);
            pw_thread_loop_unlock(o->loop);
        }
    }
    int deepen(Handle h) override {
        PwOutput* o = find(h);
        if (!o || o->latency >= 2048)
            return 0;
        pw_thread_loop_lock(o->loop);
        o->latency *= 2;
        const std::string latency = std::to_string(o->latency) + "/" + std::to_string(o->rate);
        const spa_dict_item item = SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str());
        const spa_dict dict = SPA_DICT_INIT(&item, 1);
        pw_stream_update_properties(o->stream, &dict);
        pw_thread_loop_unlock(o->loop);
        return o->latency;
    }

    std::string openError() override { return m_error; }

private:
    // (loop locked)
    static bool makeStream(PwOutput& o, const std::string& target) {
        const std::string latency = std::to_string(o.latency) + "/" + std::to_string(o.rate);
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Production", PW_KEY_NODE_NAME, "cuedeck", PW_KEY_APP_NAME, "cuedeck",
            PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
        if (!target.empty())
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.c_str());
        o.stream = pw_stream_new(o.core, "cuedeck", props);
        if (!o.stream)
            return false;
        pw_stream_add_listener(o.stream, &o.streamListener, &kStreamEvents, &o);
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = static_cast<std::uint32_t>(o.rate);
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
        const auto flags =
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_INACTIVE);
        if (pw_stream_connect(o.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) != 0)
            return false;
        waitFor(o, [&] {
            return o.state == PW_STREAM_STATE_PAUSED || o.state == PW_STREAM_STATE_STREAMING;
        });
        return !o.failed.load(std::memory_order_acquire);
    }

    std::string m_error; // why the last open failed
};

} // namespace

std::shared_ptr<OutputBackend> makePipeWireBackend() {
    return std::make_shared<PipeWireBackend>();
}

} // namespace media
