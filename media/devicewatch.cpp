#include "devicewatch.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace media::detail {

namespace {

// How often the device is asked whether it still plays, and how often the engine looks for a
// device again while it runs silent (or on the default for a missing chosen device).
constexpr auto kDeviceCheck = std::chrono::milliseconds(50);
constexpr auto kDeviceRetry = std::chrono::milliseconds(300);
// The longest the watch waits for the output to fade before a switch.
constexpr auto kHoldWait = std::chrono::milliseconds(100);
// This many dropouts within the window make the output's buffer one step deeper.
constexpr std::size_t kDropoutsToDeepen = 3;
constexpr auto kDropoutWindow = std::chrono::seconds(10);

} // namespace

DeviceWatcher::DeviceWatcher(const Engine::Options& options, std::shared_ptr<OutputBackend> backend,
                             Channels& channels, RenderCallback callback, void* user)
    : m_options(options), m_backend(std::move(backend)), m_ch(channels), m_callback(callback),
      m_user(user), m_period(options.periodFrames), m_rate(options.sampleRate),
      m_chosen(options.device) {
    m_state.chosen = options.device;
    m_state.server = m_server = options.server;
    m_state.output = Engine::Output::None;
    m_state.driver = "none";
    m_state.opening = m_opening =
        m_backend && options.output == Engine::Output::Device && options.chosenOnly;
}

DeviceWatcher::~DeviceWatcher() {
    {
        std::lock_guard lock(m_wakeMutex);
        m_quit = true;
    }
    m_wakeCv.notify_all();
    if (m_thread.joinable())
        m_thread.join(); // the watch may reopen the device: it ends first
    if (m_handle)
        m_backend->close(m_handle);
}

void DeviceWatcher::openFirst() {
    if (!m_backend)
        return;
    if (m_opening) {
        // The device thread opens it, at the rate asked for.
    } else if (m_options.output == Engine::Output::Dummy) {
        OutputFormat got;
        const auto h =
            m_backend->openSilent({m_rate, m_options.periodFrames}, false, m_callback, m_user, got);
        if (h)
            install(h, std::string(), true, got);
    } else {
        connect();
    }
    m_rateFixed = true;
}

void DeviceWatcher::start() {
    m_started = true;
    if (m_handle)
        m_backend->start(m_handle);
    if (m_backend && m_options.output == Engine::Output::Device) {
        m_woken = m_opening; // the first open at once
        m_thread = std::thread([this] { run(); });
    }
}

void DeviceWatcher::choose(const std::string& name) {
    {
        std::lock_guard lock(m_infoMutex);
        m_state.chosen = name;
        ++m_choiceSeq;
    }
    {
        std::lock_guard lock(m_wakeMutex);
        m_woken = true;
    }
    m_wakeCv.notify_all();
}

void DeviceWatcher::chooseServer(const std::string& server) {
    {
        std::lock_guard lock(m_infoMutex);
        m_state.server = server;
        ++m_choiceSeq;
    }
    {
        std::lock_guard lock(m_wakeMutex);
        m_woken = true;
    }
    m_wakeCv.notify_all();
}

Engine::DeviceState DeviceWatcher::state() const {
    std::lock_guard lock(m_infoMutex);
    return m_state;
}

int DeviceWatcher::period() const {
    std::lock_guard lock(m_infoMutex);
    return m_period;
}

void DeviceWatcher::run() {
    std::unique_lock lock(m_wakeMutex);
    while (!m_quit) {
        m_wakeCv.wait_for(lock, kDeviceCheck, [this] { return m_quit || m_woken; });
        m_woken = false;
        if (m_quit)
            break;
        lock.unlock();
        watch();
        lock.lock();
    }
    lock.unlock();
    m_backend->threadDone();
}

// Every round: notices a failed device, takes the operator's choice, and looks for a device
// again while the engine runs silent or on a stand-in.
void DeviceWatcher::watch() {
    const auto now = std::chrono::steady_clock::now();
    bool attempt = false;
    bool serverChanged = false;
    {
        std::lock_guard lock(m_infoMutex);
        if (m_choiceSeen != m_choiceSeq) {
            m_choiceSeen = m_choiceSeq;
            m_chosen = m_state.chosen;
            serverChanged = m_server != m_state.server;
            m_server = m_state.server;
            attempt = true;
        }
    }
    // Another server: the output moves there even when the device it plays on stays.
    if (serverChanged && m_backend->chooseServer(m_server))
        m_elsewhere = true;
    if (m_handle) {
        if (m_backend->failed(m_handle)) {
            lose();
            attempt = true;
        } else if (!m_silentOpen) {
            countDropouts(now);
            std::vector<std::string> seen = m_backend->devices();
            if (seen != m_known) {
                m_known = std::move(seen);
                publish();
            }
        }
    }
    if (!m_handle) {
        // Without an output the engine waits for one; a chosen-only engine looks at the
        // retry pace, as it would for a device that came back.
        attempt = !m_options.chosenOnly || now >= m_nextAttempt;
    } else if (now >= m_nextAttempt) {
        if (m_silentOpen || m_elsewhere)
            attempt = true;
        else if (!m_chosen.empty() && m_openName != m_chosen &&
                 std::find(m_known.begin(), m_known.end(), m_chosen) != m_known.end())
            attempt = true; // the chosen device is back
    }
    if (attempt) {
        m_nextAttempt = now + kDeviceRetry;
        connect();
    }
}

// Takes the open output's new dropouts; when they repeat, its buffer goes one step deeper.
void DeviceWatcher::countDropouts(std::chrono::steady_clock::time_point now) {
    const std::uint64_t count = m_backend->underruns(m_handle);
    if (count == m_dropoutsOpen)
        return;
    for (std::uint64_t i = m_dropoutsOpen; i < count && i < m_dropoutsOpen + kDropoutsToDeepen; ++i)
        m_recentDropouts.push_back(now);
    m_dropoutsOpen = count;
    std::erase_if(m_recentDropouts, [&](auto t) { return now - t > kDropoutWindow; });
    if (m_recentDropouts.size() >= kDropoutsToDeepen) {
        m_recentDropouts.clear();
        if (const int frames = m_backend->deepen(m_handle); frames > 0) {
            ++m_deepened;
            log("repeated dropouts: the buffer is " + std::to_string(frames) + " frames now");
            std::lock_guard lock(m_infoMutex);
            m_period = frames;
        }
    }
    publish();
}

// The open output's dropouts up to now, before it closes.
void DeviceWatcher::keepDropouts() {
    if (m_handle && !m_silentOpen)
        m_dropoutsOpen = std::max(m_dropoutsOpen, m_backend->underruns(m_handle));
}

// Opens the chosen device, else the system default, else (with nothing open) the silent
// driver; a chosen-only engine tries the chosen device alone. A device that is already open
// stays when it is the best there is.
void DeviceWatcher::connect() {
    std::vector<std::string> names;
    if (!m_chosen.empty())
        names.push_back(m_chosen);
    if (names.empty() || !m_options.chosenOnly)
        names.emplace_back();
    const OutputFormat want{m_rate, m_options.periodFrames};
    std::string why; // every device's answer, for the log
    for (const std::string& name : names) {
        if (m_handle && !m_silentOpen && !m_elsewhere && name == m_openName)
            break; // already playing there
        OutputFormat got;
        OutputBackend::Handle h = m_backend->open(name, want, m_rateFixed, m_callback, m_user, got);
        if (!h && m_handle && m_silentOpen && m_backend->silentBlocksOpen()) {
            // The silent driver holds the sound system: it goes first. Where it does not, it
            // plays on: every server is asked once a look, not twice, which on a busy machine
            // would hold back the look that finds the server back (a PipeWire context alone
            // took up to half a second to find no server under AddressSanitizer).
            hold();
            m_backend->close(m_handle);
            m_handle = 0;
            h = m_backend->open(name, want, m_rateFixed, m_callback, m_user, got);
        }
        if (h) {
            m_opening = false;
            if (install(h, name, false, got)) {
                log("plays on " + m_backend->driver(h) + " " +
                    (name.empty() ? "default" : "\"" + name + "\"") + " at " +
                    std::to_string(got.rate) + " Hz, " + std::to_string(got.period) + " frames");
                return;
            }
            why += (why.empty() ? "" : " / ") + (name.empty() ? "default" : name) + ": " +
                   std::to_string(got.rate) + " Hz, not " + std::to_string(m_rate);
        } else {
            why += (why.empty() ? "" : " / ") + (name.empty() ? "default" : name) + ": " +
                   m_backend->openError();
        }
    }
    if (!m_handle && !m_options.chosenOnly) {
        OutputFormat got;
        const OutputBackend::Handle h =
            m_backend->openSilent(want, m_rateFixed, m_callback, m_user, got);
        if (h)
            install(h, std::string(), true, got);
    }
    if (!why.empty())
        log((m_silentOpen ? "runs silent: " : m_handle ? "stays: " : "no output: ") + why);
    m_opening = false;
    publish();
}

// Makes `h` the output: the old one fades out and closes, the new one starts and fades in.
bool DeviceWatcher::install(OutputBackend::Handle h, const std::string& name, bool silent,
                            const OutputFormat& got) {
    if (!m_rateFixed) {
        m_rate = got.rate; // only before any clip was converted to it
        m_rateFixed = true;
    } else if (got.rate != m_rate) {
        m_backend->close(h); // a backend that ignored the rate it was given
        return false;
    }
    if (m_handle) {
        hold();
        keepDropouts();
        m_backend->close(m_handle);
    }
    m_dropoutsBefore += m_dropoutsOpen;
    m_dropoutsOpen = 0;
    m_recentDropouts.clear();
    m_handle = h;
    m_silentOpen = silent;
    m_openName = name;
    m_elsewhere = false;
    if (!silent)
        m_known = m_backend->devices();
    {
        std::lock_guard lock(m_infoMutex);
        m_period = got.period;
    }
    publish();
    release();
    if (m_started)
        m_backend->start(h);
    return true;
}

// Fades the output out and waits (briefly) until the mixer stands still.
void DeviceWatcher::hold() {
    if (!m_handle || !m_started || m_backend->failed(m_handle))
        return;
    m_ch.holdRequest.store(true, std::memory_order_release);
    const auto until = std::chrono::steady_clock::now() + kHoldWait;
    while (!m_ch.held.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void DeviceWatcher::release() {
    m_ch.held.store(false, std::memory_order_relaxed);
    m_ch.holdRequest.store(false, std::memory_order_release);
}

// The device failed: every playback ends with a failure, and the device goes.
void DeviceWatcher::lose() {
    log("lost " + m_backend->driver(m_handle) + " " +
        (m_openName.empty() ? "default" : "\"" + m_openName + "\""));
    m_ch.failures.fetch_add(1, std::memory_order_release);
    keepDropouts();
    m_backend->close(m_handle);
    m_handle = 0;
    m_silentOpen = false;
    ++m_losses;
    publish();
}

void DeviceWatcher::publish() {
    std::lock_guard lock(m_infoMutex);
    Engine::DeviceState& s = m_state;
    s.output = m_handle == 0 ? Engine::Output::None
                             : (m_silentOpen ? Engine::Output::Dummy : Engine::Output::Device);
    s.device = m_handle && !m_silentOpen ? m_openName : std::string();
    s.opening = m_opening;
    s.chosenMissing = m_options.output == Engine::Output::Device && !s.chosen.empty() &&
                      !m_opening && m_choiceSeen == m_choiceSeq &&
                      (s.output != Engine::Output::Device || m_openName != s.chosen);
    s.driver = m_handle ? m_backend->driver(m_handle) : std::string("none");
    s.devices = m_known;
    s.losses = m_losses;
    s.dropouts = m_dropoutsBefore + m_dropoutsOpen;
    s.deepened = m_deepened;
}

// Writes `line` to stderr, once: a try that ends as the one before is counted, and the count
// goes with the next line that differs.
void DeviceWatcher::log(std::string line) {
    if (m_options.logName.empty())
        return;
    if (line == m_logged) {
        ++m_repeats;
        return;
    }
    m_logged = line;
    if (m_repeats > 0)
        line += " (the line before held for " + std::to_string(m_repeats) + " more tries)";
    m_repeats = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::fprintf(stderr, "cuedeck %02d:%02d:%02d.%03ld %s output: %s\n", local.tm_hour,
                 local.tm_min, local.tm_sec, now.tv_nsec / 1000000, m_options.logName.c_str(),
                 line.c_str());
}

} // namespace media::detail
