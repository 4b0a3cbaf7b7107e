#pragma once
// What a private PipeWire says about its own graph cycles, through its profiler: how many cycles
// began before the last one had finished (the server's xruns: the sink got nothing from the
// nodes still busy, a hole in what it plays), which nodes had not finished then, and how often
// the graph's quantum grew (a quantum change costs the sink a quantum of sound as well).

#include <pipewire/extensions/profiler.h>
#include <pipewire/impl-module.h>
#include <pipewire/pipewire.h>
#include <spa/param/profiler.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>

#include <QString>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace e2e {

class GraphProfile {
public:
    struct Counts {
        int xruns = 0;                   // cycles that began while the one before was unfinished
        int quantumRises = 0;            // times the quantum grew
        long quantum = 0;                // frames, in the last cycle
        std::map<std::string, int> late; // per node name: cycles it had not finished
    };

    ~GraphProfile() { stop(); }

    // Listens to the server whose socket is `socket` (an absolute path); false when it does not
    // answer or has no profiler.
    bool start(const QString& socket) {
        static std::once_flag once;
        std::call_once(once, [] { pw_init(nullptr, nullptr); });
        m_loop = pw_thread_loop_new("profile", nullptr);
        if (!m_loop || pw_thread_loop_start(m_loop) != 0)
            return false;
        pw_thread_loop_lock(m_loop);
        m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
        // The profiler's messages are unknown to a client until it loads the module.
        if (m_context &&
            !pw_context_load_module(m_context, PW_EXTENSION_MODULE_PROFILER, nullptr, nullptr))
            m_context = (pw_context_destroy(m_context), nullptr);
        if (m_context)
            m_core = pw_context_connect(
                m_context,
                pw_properties_new(PW_KEY_REMOTE_NAME, socket.toLocal8Bit().constData(), nullptr),
                0);
        if (m_core) {
            m_registry = pw_core_get_registry(m_core, PW_VERSION_REGISTRY, 0);
            static const pw_registry_events events = [] {
                pw_registry_events e{};
                e.version = PW_VERSION_REGISTRY_EVENTS;
                e.global = &GraphProfile::onGlobal;
                return e;
            }();
            pw_registry_add_listener(m_registry, &m_registryHook, &events, this);
        }
        pw_thread_loop_unlock(m_loop);
        // The registry names the profiler at once; wait for it a little.
        for (int i = 0; i < 100 && !bound(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return bound();
    }
    void stop() {
        if (!m_loop)
            return;
        pw_thread_loop_lock(m_loop);
        if (m_profiler)
            pw_proxy_destroy(m_profiler);
        if (m_registry)
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_registry));
        if (m_core)
            pw_core_disconnect(m_core);
        pw_thread_loop_unlock(m_loop);
        pw_thread_loop_stop(m_loop);
        if (m_context)
            pw_context_destroy(m_context);
        pw_thread_loop_destroy(m_loop);
        m_loop = nullptr;
        m_profiler = nullptr;
        m_registry = nullptr;
        m_core = nullptr;
        m_context = nullptr;
    }

    Counts counts() {
        std::lock_guard lock(m_mutex);
        return m_counts;
    }
    // What happened between `before` and `after`, two readings of counts().
    static Counts since(const Counts& before, const Counts& after) {
        Counts d;
        d.xruns = after.xruns - before.xruns;
        d.quantumRises = after.quantumRises - before.quantumRises;
        d.quantum = after.quantum;
        for (const auto& [name, n] : after.late) {
            const auto it = before.late.find(name);
            if (const int m = n - (it == before.late.end() ? 0 : it->second); m > 0)
                d.late[name] = m;
        }
        return d;
    }
    static std::string describe(const Counts& c) {
        std::string s = "quantum " + std::to_string(c.quantum) + ", " + std::to_string(c.xruns) +
                        " server xruns, quantum grew " + std::to_string(c.quantumRises) + " times";
        for (const auto& [name, n] : c.late)
            s += ", " + name + " late " + std::to_string(n);
        return s;
    }

private:
    bool bound() {
        std::lock_guard lock(m_mutex);
        return m_profiler != nullptr;
    }

    // (thread loop)
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict*) {
        auto* self = static_cast<GraphProfile*>(data);
        if (std::string_view(type) != PW_TYPE_INTERFACE_Profiler || self->m_profiler)
            return;
        auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(
            self->m_registry, id, PW_TYPE_INTERFACE_Profiler, PW_VERSION_PROFILER, 0));
        if (!proxy)
            return;
        static const pw_profiler_events events = [] {
            pw_profiler_events e{};
            e.version = PW_VERSION_PROFILER_EVENTS;
            e.profile = &GraphProfile::onProfile;
            return e;
        }();
        pw_proxy_add_object_listener(proxy, &self->m_profilerHook, &events, self);
        std::lock_guard lock(self->m_mutex);
        self->m_profiler = proxy;
    }

    // (thread loop) One object per cycle of each driver: its xrun count, its clock and the
    // state of every node when the cycle ended (finished, 3, unless the next one came first).
    static void onProfile(void* data, const spa_pod* pod) {
        auto* self = static_cast<GraphProfile*>(data);
        std::lock_guard lock(self->m_mutex);
        const void* body = SPA_POD_BODY_CONST(pod);
        const std::uint32_t size = SPA_POD_BODY_SIZE(pod);
        for (auto* o = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, o);
             o = static_cast<const spa_pod*>(spa_pod_next(o))) {
            if (!spa_pod_is_object_type(o, SPA_TYPE_OBJECT_Profiler))
                continue;
            bool unfinished = false, counted = false;
            const spa_pod_prop* p;
            SPA_POD_OBJECT_FOREACH(reinterpret_cast<const spa_pod_object*>(o), p) {
                if (p->key == SPA_PROFILER_info) {
                    int64_t counter = 0;
                    float load[3];
                    int xruns = 0;
                    if (spa_pod_parse_struct(&p->value, SPA_POD_Long(&counter),
                                             SPA_POD_Float(&load[0]), SPA_POD_Float(&load[1]),
                                             SPA_POD_Float(&load[2]), SPA_POD_Int(&xruns)) >= 0) {
                        counted = self->m_driverXruns >= 0 && xruns > self->m_driverXruns;
                        if (counted)
                            self->m_counts.xruns += xruns - self->m_driverXruns;
                        self->m_driverXruns = xruns;
                    }
                } else if (p->key == SPA_PROFILER_clock) {
                    int32_t flags = 0, id = 0;
                    const char* name = nullptr;
                    int64_t nsec = 0, position = 0, duration = 0;
                    spa_fraction rate{};
                    if (spa_pod_parse_struct(&p->value, SPA_POD_Int(&flags), SPA_POD_Int(&id),
                                             SPA_POD_String(&name), SPA_POD_Long(&nsec),
                                             SPA_POD_Fraction(&rate), SPA_POD_Long(&position),
                                             SPA_POD_Long(&duration)) >= 0) {
                        if (self->m_quantum > 0 && duration > self->m_quantum)
                            ++self->m_counts.quantumRises;
                        self->m_quantum = duration;
                        self->m_counts.quantum = static_cast<long>(duration);
                    }
                } else if (p->key == SPA_PROFILER_followerBlock) {
                    int32_t id = 0, status = 0;
                    const char* name = nullptr;
                    int64_t prev = 0, signal = 0, awake = 0, finish = 0;
                    if (spa_pod_parse_struct(&p->value, SPA_POD_Int(&id), SPA_POD_String(&name),
                                             SPA_POD_Long(&prev), SPA_POD_Long(&signal),
                                             SPA_POD_Long(&awake), SPA_POD_Long(&finish),
                                             SPA_POD_Int(&status)) >= 0 &&
                        status != 3 && name) {
                        // Not woken in time (1), or woken and still running (2).
                        ++self->m_counts
                              .late[std::string(name) + (status == 2 ? " (running)" : "")];
                        unfinished = true;
                    }
                }
            }
            // The driver's own xrun count is not kept by every server version; a node that had
            // not finished is the same fact.
            if (unfinished && !counted)
                ++self->m_counts.xruns;
        }
    }

    pw_thread_loop* m_loop = nullptr;
    pw_context* m_context = nullptr;
    pw_core* m_core = nullptr;
    pw_registry* m_registry = nullptr;
    pw_proxy* m_profiler = nullptr;
    spa_hook m_registryHook{};
    spa_hook m_profilerHook{};
    std::mutex m_mutex; // guards what follows and m_profiler
    Counts m_counts;
    int m_driverXruns = -1;
    int64_t m_quantum = 0;
};

} // namespace e2e
