// The backend the program uses: the sound servers in order of preference, asked at every open,
// so that a server that starts, stops or comes back after a restart is found again; SDL's
// silent driver while none answers.
#include "output.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>

#include <pthread.h>
#include <sched.h>

namespace media {

namespace {

// Below the sound servers' own threads (88 for PipeWire's), above everything else.
constexpr int kRealTimePriority = 70;
// A server that takes this long to answer an open has the time in the log.
constexpr auto kSlowOpen = std::chrono::milliseconds(200);

class ServerChoice final : public OutputBackend {
public:
    ServerChoice(std::vector<std::pair<std::string, std::shared_ptr<OutputBackend>>> servers,
                 std::shared_ptr<OutputBackend> silent, std::string choice)
        : m_servers(std::move(servers)), m_silent(std::move(silent)), m_choice(std::move(choice)) {}

    bool chooseServer(const std::string& server) override {
        std::lock_guard lock(m_mutex);
        m_choice = server;
        return true;
    }

    std::vector<std::string> devices() override {
        OutputBackend* b = nullptr;
        {
            std::lock_guard lock(m_mutex);
            b = m_latest;
        }
        return b ? b->devices() : std::vector<std::string>{};
    }

    Handle open(const std::string& name, const OutputFormat& want, bool exactRate,
                RenderCallback callback, void* user, OutputFormat& got) override {
        std::string choice;
        {
            std::lock_guard lock(m_mutex);
            choice = m_choice;
        }
        bool any = choice.empty() || choice == "auto" ||
                   std::none_of(m_servers.begin(), m_servers.end(),
                                [&](const auto& s) { return s.first == choice; });
        // An SDL driver named in the environment (SDL_AUDIODRIVER=disk, alsa, ...) is a choice
        // of SDL made outside the program.
        if (any && std::getenv("SDL_AUDIODRIVER")) {
            any = false;
            choice = "sdl";
        }
        m_error.clear();
        for (const auto& [serverName, server] : m_servers) {
            if (!any && serverName != choice)
                continue;
            const auto began = std::chrono::steady_clock::now();
            if (const Handle h = server->open(name, want, exactRate, callback, user, got)) {
                std::lock_guard lock(m_mutex);
                m_latest = server.get();
                return add(server.get(), h);
            }
            // Every server's answer, so that the log tells why the output is not where it
            // was expected.
            const auto spent = std::chrono::steady_clock::now() - began;
            const std::string why = server->openError();
            m_error +=
                (m_error.empty() ? "" : "; ") + serverName + ": " + (why.empty() ? "no" : why);
            if (spent >= kSlowOpen)
                m_error +=
                    " (" +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::milliseconds>(spent).count()) +
                    " ms)";
        }
        return 0;
    }
    Handle openSilent(const OutputFormat& want, bool exactRate, RenderCallback callback, void* user,
                      OutputFormat& got) override {
        const Handle h = m_silent->openSilent(want, exactRate, callback, user, got);
        m_error = h ? std::string() : m_silent->openError();
        std::lock_guard lock(m_mutex);
        return h ? add(m_silent.get(), h) : 0;
    }
    std::string openError() override { return m_error; }
    bool silentBlocksOpen() override { return m_silent->silentBlocksOpen(); }

    void start(Handle h) override {
        if (auto [b, inner] = find(h); b)
            b->start(inner);
    }
    bool failed(Handle h) override {
        auto [b, inner] = find(h);
        return !b || b->failed(inner);
    }
    void close(Handle h) override {
        auto [b, inner] = find(h);
        if (!b)
            return;
        b->close(inner);
        std::lock_guard lock(m_mutex);
        m_open.erase(h);
        if (m_latest == b &&
            std::none_of(m_open.begin(), m_open.end(),
                         [backend = b](const auto& o) { return o.second.first == backend; }))
            m_latest = nullptr;
    }
    std::string driver(Handle h) override {
        auto [b, inner] = find(h);
        return b ? b->driver(inner) : std::string();
    }
    void setLateStart(LateStartCallback late) override {
        for (const auto& server : m_servers)
            server.second->setLateStart(late);
    }
    void threadDone() override {
        for (const auto& server : m_servers)
            server.second->threadDone();
        m_silent->threadDone();
    }
    std::uint64_t underruns(Handle h) override {
        auto [b, inner] = find(h);
        return b ? b->underruns(inner) : 0;
    }
    int deepen(Handle h) override {
        auto [b, inner] = find(h);
        return b ? b->deepen(inner) : 0;
    }

private:
    // (m_mutex held)
    Handle add(OutputBackend* b, Handle inner) {
        const Handle h = m_next++;
        m_open[h] = {b, inner};
        return h;
    }
    std::pair<OutputBackend*, Handle> find(Handle h) {
        std::lock_guard lock(m_mutex);
        auto it = m_open.find(h);
        return it == m_open.end() ? std::pair<OutputBackend*, Handle>{nullptr, 0} : it->second;
    }

    // By preference.
    const std::vector<std::pair<std::string, std::shared_ptr<OutputBackend>>> m_servers;
    const std::shared_ptr<OutputBackend> m_silent;
    std::mutex m_mutex; // guards what follows
    std::string m_choice;
    std::map<Handle, std::pair<OutputBackend*, Handle>> m_open;
    OutputBackend* m_latest = nullptr; // the server of the latest output that opened
    Handle m_next = 1;
    std::string m_error; // why the last open failed (the opening thread's)
};

} // namespace

void raiseToRealTime() {
    // A thread the server's library has made real-time already (PipeWire's data thread gets
    // its clients' priority, 88, as every other node of the graph) keeps it: at ours it would
    // wait behind every other node's thread and come late to its cycles.
    int policy = SCHED_OTHER;
    sched_param current{};
    if (pthread_getschedparam(pthread_self(), &policy, &current) == 0 &&
        ((policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO ||
         (policy & ~SCHED_RESET_ON_FORK) == SCHED_RR) &&
        current.sched_priority >= kRealTimePriority)
        return;
    sched_param param{};
    param.sched_priority = std::min(kRealTimePriority, sched_get_priority_max(SCHED_FIFO));
    pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
}

std::shared_ptr<OutputBackend> makeOutputBackend(const std::string& server) {
    std::shared_ptr<OutputBackend> sdl = makeSdlBackend();
    std::vector<std::pair<std::string, std::shared_ptr<OutputBackend>>> servers{
        {"pipewire", makePipeWireBackend()},
        {"pulseaudio", makePulseBackend()},
        {"jack", makeJackBackend()},
        {"sdl", sdl}};
    return std::make_shared<ServerChoice>(std::move(servers), std::move(sdl), server);
}

} // namespace media
