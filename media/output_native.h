#pragma once
// What the native outputs (PipeWire, PulseAudio, JACK) share: the table of the outputs open,
// by handle, and the answers that only read an output's flags. `Output` has the atomics
// `failed` (the output stopped for good) and `dropouts` (the server's underrun notices).

#include "output.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace media::detail {

template <typename Output> class NativeBackend : public OutputBackend {
public:
    explicit NativeBackend(std::string driver) : m_driver(std::move(driver)) {}

    Handle openSilent(const OutputFormat&, bool, RenderCallback, void*, OutputFormat&) override {
        return 0; // the silent driver is SDL's
    }
    bool failed(Handle h) override {
        Output* o = find(h);
        return !o || o->failed.load(std::memory_order_acquire);
    }
    void close(Handle h) override {
        std::unique_ptr<Output> o; // closes once the table's lock is released
        std::lock_guard lock(m_mutex);
        auto it = m_outputs.find(h);
        if (it == m_outputs.end())
            return;
        o = std::move(it->second);
        m_outputs.erase(it);
    }
    std::string driver(Handle h) override { return find(h) ? m_driver : std::string(); }
    std::uint64_t underruns(Handle h) override {
        Output* o = find(h);
        return o ? o->dropouts.load(std::memory_order_relaxed) : 0;
    }

protected:
    Handle add(std::unique_ptr<Output> o) {
        std::lock_guard lock(m_mutex);
        const Handle h = m_next++;
        m_outputs[h] = std::move(o);
        return h;
    }
    Output* find(Handle h) {
        std::lock_guard lock(m_mutex);
        auto it = m_outputs.find(h);
        return it == m_outputs.end() ? nullptr : it->second.get();
    }
    // Calls `f` with the output opened last, under the table's lock; not at all while none is
    // open.
    template <typename F> void withLatest(F f) {
        std::lock_guard lock(m_mutex);
        if (!m_outputs.empty())
            f(*m_outputs.rbegin()->second);
    }

private:
    const std::string m_driver;
    std::mutex m_mutex; // guards m_outputs and m_next
    std::map<Handle, std::unique_ptr<Output>> m_outputs;
    Handle m_next = 1;
};

} // namespace media::detail
