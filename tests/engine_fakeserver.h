#pragma once
// A stand-in sound server for the engine's device tests: named outputs (the first is the
// default), a silent driver that holds the sound system while open (as SDL's does), and one
// real-time clock thread that calls every started output back once a period and keeps what it
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

class FakeServer final : public media::OutputBackend {
public:
    static constexpr int kRate = 48000;
    static constexpr int kPeriod = 128;

    // The outputs say they play through `driver`.
    explicit FakeServer(std::vector<std::string> outputs, std::string driver = "fake")
        : m_driver(std::move(driver)), m_present(std::move(outputs)) {
        m_clock = std::thread([this] { run(); });
    }
    ~FakeServer() override {
        lock(), m_quit = true;
        m_clock.join();
    }

    // --- the sound system, as the engine sees it
    std::vector<std::string> devices() override {
        auto l = lock();
        return m_up ? m_present : std::vector<std::string>{};
    }
    Handle open(const std::string& name, const media::OutputFormat& want, bool,
                media::RenderCallback cb, void* user, media::OutputFormat& got) override {
        std::chrono::milliseconds delay{0};
        {
            auto l = lock();
            if (auto it = m_openDelay.find(name); it != m_openDelay.end())
                delay = it->second;
        }
        std::this_thread::sleep_for(delay); // a hanging server: the clock plays on meanwhile
        auto l = lock();
        ++m_attempts;
        const bool silentOpen =
            m_silentBlocks && std::any_of(m_outputs.begin(), m_outputs.end(),
                                          [](const auto& o) { return o.second.silent; });
        if (!m_up || silentOpen || m_present.empty() ||
            (!name.empty() &&
             std::find(m_present.begin(), m_present.end(), name) == m_present.end()))
            return 0;
        return add(name.empty() ? m_present.front() : name, false, want, cb, user, got);
    }
    Handle openSilent(const media::OutputFormat& want, bool, media::RenderCallback cb, void* user,
                      media::OutputFormat& got) override {
        auto l = lock();
        ++m_silentOpens;
        return add("", true, want, cb, user, got);
    }
    bool silentBlocksOpen() override { return lock(), m_silentBlocks; }
    void start(Handle h) override { lock(), m_outputs.at(h).started = true; }
    bool failed(Handle h) override {
        auto l = lock();
        auto it = m_outputs.find(h);
        return it == m_outputs.end() || it->second.failed;
    }
    // A callback in progress holds the lock: it finishes first.
    void close(Handle h) override { lock(), m_outputs.erase(h); }
    std::uint64_t underruns(Handle h) override {
        auto l = lock();
        auto it = m_outputs.find(h);
        return it == m_outputs.end() ? 0 : it->second.dropouts;
    }
    int deepen(Handle h) override {
        auto l = lock();
        auto it = m_outputs.find(h);
        return it == m_outputs.end() ? 0 : kPeriod * (it->second.depth *= 2);
    }
    void setLateStart(media::LateStartCallback late) override { lock(), m_late = late; }
    bool chooseServer(const std::string& server) override {
        return lock(), m_server = server, true;
    }
    std::string driver(Handle h) override {
        auto l = lock();
        auto it = m_outputs.find(h);
        return it != m_outputs.end() && it->second.silent ? "dummy" : m_driver;
    }

    // --- the test's side
    // The server goes away (every output fails) or comes back.
    void setUp(bool up) {
        auto l = lock();
        m_up = up;
        for (auto& [h, o] : m_outputs)
            o.failed = o.failed || (!up && !o.silent);
    }
    void unplug(const std::string& name) {
        auto l = lock();
        std::erase(m_present, name);
        for (auto& [h, o] : m_outputs)
            o.failed = o.failed || o.name == name;
    }
    void plugIn(const std::string& name) { lock(), m_present.push_back(name); }
    // The clock calls the outputs back with `frames` frames a cycle from now on, whatever they
    // asked or deepened to (a graph whose cycle another client sets).
    void setCycle(int frames) { lock(), m_cycle = frames; }
    // Opening `name` takes this long from now on.
    void setOpenDelay(const std::string& name, std::chrono::milliseconds delay) {
        lock(), m_openDelay[name] = delay;
    }
    int attempts() { return lock(), m_attempts; }
    int silentOpens() { return lock(), m_silentOpens; }
    // The silent driver leaves the outputs free (as SDL's does on a machine without a card).
    void setSilentBlocks(bool blocks) { lock(), m_silentBlocks = blocks; }
    // The output that plays reports `n` dropouts.
    void dropOut(int n) {
        auto l = lock();
        for (auto& [h, o] : m_outputs)
            o.dropouts += o.started && !o.failed && !o.silent ? n : 0;
    }
    // The server holds the last `frames` frames it took unplayed, and lets the engine start new
    // playbacks in them (as the PulseAudio output does).
    void setQueue(int frames) { lock(), m_queue = frames; }
    // While paused the clock calls nobody back (none is under way once this returns): commands
    // given meanwhile are all taken by the next period, where the played log stands now.
    void pause(bool on) { lock(), m_paused = on; }
    // The sound server the engine chose last ("" = none yet).
    std::string server() { return lock(), m_server; }
    // Everything the output `name` played so far (interleaved stereo), over all its opens.
    std::vector<float> played(const std::string& name) { return lock(), m_played[name]; }
    // The output that plays now ("" = none, "<silent>" = the silent driver).
    std::string playing() {
        auto l = lock();
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
        std::uint64_t dropouts = 0;
        int depth = 1;
    };

    // Held to the end of the full expression that takes it: `lock(), x = y;`.
    std::lock_guard<std::mutex> lock() { return std::lock_guard<std::mutex>(m_mutex); }

    Handle add(const std::string& name, bool silent, const media::OutputFormat& want,
               media::RenderCallback cb, void* user, media::OutputFormat& got) {
        got = want;
        m_outputs[m_next] = Output{name, silent, false, false, cb, user};
        return m_next++;
    }

    void run() {
        std::vector<float> block;
        auto next = std::chrono::steady_clock::now();
        for (int cycle = kPeriod;;) {
            next += std::chrono::microseconds(1'000'000LL * cycle / kRate);
            std::this_thread::sleep_until(next);
            auto l = lock();
            if (m_quit)
                return;
            if (m_paused)
                continue;
            cycle = m_cycle;
            block.resize(2 * static_cast<std::size_t>(cycle));
            for (auto& [h, o] : m_outputs) {
                if (!o.started || o.failed)
                    continue;
                auto& log = m_played[o.silent ? "<silent>" : o.name];
                if (m_late && m_queue > 0 && log.size() >= 2 * std::size_t(m_queue)) {
                    std::vector<float> late(2 * std::size_t(m_queue), 0.0f);
                    if (m_late(o.user, late.data(), m_queue) > 0)
                        for (std::size_t i = 0; i < late.size(); ++i)
                            log[log.size() - late.size() + i] += late[i];
                }
                o.callback(o.user, block.data(), cycle);
                log.insert(log.end(), block.begin(), block.end());
            }
        }
    }

    std::mutex m_mutex;
    bool m_up = true;
    bool m_quit = false;
    bool m_paused = false;
    int m_attempts = 0;
    int m_silentOpens = 0;
    bool m_silentBlocks = true;
    std::string m_server;
    const std::string m_driver;
    std::vector<std::string> m_present;
    std::map<Handle, Output> m_outputs;
    std::map<std::string, std::vector<float>> m_played;
    std::map<std::string, std::chrono::milliseconds> m_openDelay;
    media::LateStartCallback m_late = nullptr;
    int m_queue = 0;
    int m_cycle = kPeriod;
    Handle m_next = 1;
    std::thread m_clock;
};

} // namespace testsupport
