#pragma once
// The output device's policy, on a thread of its own: opens the chosen device, else the
// system default, else the silent driver; notices a device that failed, takes the operator's
// choice, and looks for a device again while the engine runs silent or on a stand-in. Opening
// a device may take long (a sound server that hangs, a USB card waking up): it only ever holds
// up this thread, never the read-ahead or the mixer.

#include "messages.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace media::detail {

class DeviceWatcher {
public:
    // Every output it opens calls `callback` with `user`. Without a backend it opens nothing.
    DeviceWatcher(const Engine::Options& options, std::shared_ptr<OutputBackend> backend,
                  Channels& channels, RenderCallback callback, void* user);
    ~DeviceWatcher(); // the watch ends, then the output closes
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // Opens the first output on the calling thread, stopped. The engine's rate is that
    // output's from then on.
    void openFirst();
    int rate() const { return m_rate; }
    // Starts the first output and, for a sound device, the watch.
    void start();

    void choose(const std::string& name);
    void chooseServer(const std::string& server);
    Engine::DeviceState state() const;
    int period() const;

private:
    void run();
    void watch();
    void connect();
    bool install(OutputBackend::Handle h, const std::string& name, bool silent,
                 const OutputFormat& got);
    void hold();
    void release();
    void lose();
    void publish();
    void log(std::string line);
    void countDropouts(std::chrono::steady_clock::time_point now);
    void keepDropouts();

    const Engine::Options m_options;
    const std::shared_ptr<OutputBackend> m_backend;
    Channels& m_ch;
    const RenderCallback m_callback;
    void* const m_user;

    // What the engine plays on, for the control thread.
    mutable std::mutex m_infoMutex;
    Engine::DeviceState m_state;
    int m_period;
    std::uint64_t m_choiceSeq = 0; // bumped by choose() and chooseServer()

    // The output, owned by the constructing thread until start(), then by the watch.
    int m_rate;
    OutputBackend::Handle m_handle = 0;
    bool m_silentOpen = false; // the open output is the silent driver
    bool m_rateFixed = false;
    bool m_started = false;   // start() has run: every output opened from then on starts at once
    bool m_opening = false;   // the first output is still to be opened by the watch
    std::string m_openName;   // the device open ("" = default)
    bool m_elsewhere = false; // the open output is not on the sound server chosen
    std::string m_chosen;     // the operator's choice, as the watch last took it
    std::string m_server;     // the sound server chosen, as the watch last took it
    std::uint64_t m_choiceSeen = 0;
    std::vector<std::string> m_known; // the sound system's outputs, as last seen
    std::chrono::steady_clock::time_point m_nextAttempt;
    std::uint64_t m_losses = 0;
    // Dropouts of the outputs closed before, those of the open one, and when the latest few
    // came (to deepen the buffer when they repeat).
    std::uint64_t m_dropoutsBefore = 0;
    std::uint64_t m_dropoutsOpen = 0;
    std::vector<std::chrono::steady_clock::time_point> m_recentDropouts;
    int m_deepened = 0;
    // The log's last line about the output's state, and how many tries since said the same.
    std::string m_logged;
    int m_repeats = 0;

    std::mutex m_wakeMutex;
    std::condition_variable m_wakeCv;
    bool m_woken = false;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace media::detail
