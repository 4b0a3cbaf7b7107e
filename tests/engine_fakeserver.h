#pragma once
// A stand-in sound server for the engine's device tests: named outputs (the first is its
// default), a silent driver that holds the sound system while open (as SDL's does), and one
// real-time clock that calls every started output back once a period and keeps what it
// played. The test takes the server away, brings it back, and plugs outputs in and out.

#include "output.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A sound server with named outputs (one of them its default) and a silent driver. Started
// outputs are called back every period on one clock thread, as a sound server would.
class FakeServer final : public media::OutputBackend {
public:
    static constexpr int kRate = 48000;
    static constexpr int kPeriod = 128;

    explicit FakeServer(std::vector<std::string> outputs) : m_present(std::move(outputs)) {
        m_clock = std::thread([this] { run(); });
    }
    ~FakeServer() override {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_clock.join();
    }

    // --- the sound system, as the engine sees it
    std::vector<std::string> devices() override {
        std::lock_guard lock(m_mutex);
        return m_up ? m_present : std::vector<std::string>{};
    }
    Handle open(const std::string& name, const media::OutputFormat& want, bool,
                media::RenderCallback cb, void* user, media::OutputFormat& got) override {
        std::lock_guard lock(m_mutex);
        ++m_attempts;
        const bool silentOpen = std::any_of(m_outputs.begin(), m_outputs.end(),
                                            [](const auto& o) { return o.second.silent; });
        if (!m_up || silentOpen || m_present.empty())
            return 0;
        if (!name.empty() && std::find(m_present.begin(), m_present.end(), name) == m_present.end())
            return 0;
        return add(name.empty() ? m_present.front() : name, false, want, cb, user, got);
    }
    Handle openSilent(const media::OutputFormat& want, bool, media::RenderCallback cb, void* user,
                      media::OutputFormat& got) override {
        std::lock_guard lock(m_mutex);
        return add("", true, want, cb, user, got);
    }
    void start(Handle h) override {
        std::lock_guard lock(m_mutex);
        m_outputs.at(h).started = true;
    }
    bool failed(Handle h) override {
        std::lock_guard lock(m_mutex);
        auto it = m_outputs.find(h);
        return it == m_outputs.end() || it->second.failed;
    }
    void close(Handle h) override {
        std::lock_guard lock(m_mutex); // a callback in progress holds it: it finishes first
        m_outputs.erase(h);
    }
    std::string driver(Handle h) override {
        std::lock_guard lock(m_mutex);
        auto it = m_outputs.find(h);
        return it != m_outputs.end() && it->second.silent ? "dummy" : "fake";
    }

    // --- the test's side
    // The server goes away (every output fails) or comes back.
    void setUp(bool up) {
        std::lock_guard lock(m_mutex);
        m_up = up;
        if (!up)
            for (auto& [h, o] : m_outputs)
                o.failed = o.failed || !o.silent;
    }
    void unplug(const std::string& name) {
        std::lock_guard lock(m_mutex);
        std::erase(m_present, name);
        for (auto& [h, o] : m_outputs)
            o.failed = o.failed || o.name == name;
    }
    void plugIn(const std::string& name) {
        std::lock_guard lock(m_mutex);
        m_present.push_back(name);
    }
    int attempts() {
        std::lock_guard lock(m_mutex);
        return m_attempts;
    }
    // Everything the output `name` played so far (interleaved stereo), over all its opens.
    std::vector<float> played(const std::string& name) {
        std::lock_guard lock(m_mutex);
        return m_played[name];
    }
    // The output that plays now ("" = none, "<silent>" = the silent driver).
    std::string playing() {
        std::lock_guard lock(m_mutex);
        for (const auto& [h, o] : m_outputs)
            if (o.started && !o.failed)
                return o.silent ? "<silent>" : o.name;
        return "";
    }

private:
    struct Output {
        std::string name;
        bool silent = false;
        bool started = false;
        bool failed = false;
        media::RenderCallback callback = nullptr;
        void* user = nullptr;
    };

    Handle add(const std::string& name, bool silent, const media::OutputFormat& want,
               media::RenderCallback cb, void* user, media::OutputFormat& got) {
        got = want;
        const Handle h = m_next++;
        m_outputs[h] = Output{name, silent, false, false, cb, user};
        return h;
    }

    void run() {
        std::vector<float> block(kPeriod * 2);
        auto next = std::chrono::steady_clock::now();
        for (;;) {
            next += std::chrono::microseconds(1'000'000LL * kPeriod / kRate);
            std::this_thread::sleep_until(next);
            std::lock_guard lock(m_mutex);
            if (m_quit)
                return;
            for (auto& [h, o] : m_outputs) {
                if (!o.started || o.failed)
                    continue;
                o.callback(o.user, block.data(), kPeriod);
                auto& log = m_played[o.silent ? "<silent>" : o.name];
                log.insert(log.end(), block.begin(), block.end());
            }
        }
    }

    std::mutex m_mutex;
    bool m_up = true;
    bool m_quit = false;
    int m_attempts = 0;
    std::vector<std::string> m_present;
    std::map<Handle, Output> m_outputs;
    std::map<std::string, std::vector<float>> m_played;
    Handle m_next = 1;
    std::thread m_clock;
};

} // namespace testsupport
