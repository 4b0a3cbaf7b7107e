#include "output.h"

#include <SDL.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

namespace media {

namespace {

// SDL's audio subsystem is one per process, shared by every engine in it (tests hold several):
// it is initialised for the first output opened and shut down when the last one closes, so
// that the next open starts from a fresh connection to the sound system (the old one may have
// gone with its server).
std::mutex g_sdlMutex;
int g_sdlUsers = 0;
bool g_sdlInitialised = false;

// libasound prints every failed open to stderr. While the engine runs silent it tries the
// sound system again every few hundred milliseconds; on a machine without a sound card that
// would fill the program's error output with the same lines forever.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

void prepareSdl() {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1"); // else SIGTERM is swallowed
    snd_lib_error_set_handler(&quietAlsa);
}

// True when the machine has a sound card. Without one SDL can open nothing real: the sound
// servers have outputs of their own, and SDL's ALSA driver "initialises" without a card all the
// same, starting a device-watch thread each time, only to fail the open. While the engine runs
// silent it retries every few hundred milliseconds; that churn is skipped.
bool haveSoundCard() {
    int card = -1;
    return snd_card_next(&card) == 0 && card >= 0;
}

bool currentDriverIsDummy() {
    const char* name = SDL_GetCurrentAudioDriver();
    return name && SDL_strcmp(name, "dummy") == 0;
}

// (g_sdlMutex held)
bool initialise(const char* driver) {
    if (g_sdlInitialised) {
        SDL_AudioQuit();
        g_sdlInitialised = false;
    }
    g_sdlInitialised = SDL_AudioInit(driver) == 0;
    return g_sdlInitialised;
}

// (g_sdlMutex held)
void releaseIfUnused() {
    if (g_sdlUsers == 0 && g_sdlInitialised) {
        SDL_AudioQuit();
        g_sdlInitialised = false;
    }
}

struct Target {
    RenderCallback callback;
    void* user;
};

void sdlCallback(void* target, Uint8* stream, int len) {
    auto* t = static_cast<Target*>(target);
    t->callback(t->user, reinterpret_cast<float*>(stream),
                len / static_cast<int>(2 * sizeof(float)));
}

class SdlBackend final : public OutputBackend {
public:
    SdlBackend() {
        std::lock_guard lock(g_sdlMutex);
        prepareSdl();
    }
    ~SdlBackend() override {
        std::vector<Handle> open;
        {
            std::lock_guard lock(m_mutex);
            for (const auto& [handle, device] : m_devices)
                open.push_back(handle);
        }
        for (Handle h : open)
            close(h);
    }

    std::vector<std::string> devices() override {
        std::lock_guard lock(g_sdlMutex);
        std::vector<std::string> names;
        if (!g_sdlInitialised || currentDriverIsDummy())
            return names;
        const int n = SDL_GetNumAudioDevices(0);
        for (int i = 0; i < n; ++i)
            if (const char* name = SDL_GetAudioDeviceName(i, 0))
                names.emplace_back(name);
        return names;
    }

    Handle open(const std::string& name, const OutputFormat& want, bool exactRate,
                RenderCallback callback, void* user, OutputFormat& got) override {
        std::lock_guard lock(g_sdlMutex);
        if (!std::getenv("SDL_AUDIODRIVER") && !haveSoundCard()) {
            m_error = "no sound card";
            return 0;
        }
        if (g_sdlUsers == 0) {
            // A fresh start reaches a sound server that came back, and SDL_AUDIODRIVER is
            // honoured.
            if (!initialise(nullptr)) {
                m_error = SDL_GetError();
                return 0;
            }
        } else if (currentDriverIsDummy()) {
            m_error = "the silent driver holds SDL";
            return 0; // it must be closed first
        }
        const Handle h =
            openLocked(name.empty() ? nullptr : name.c_str(), want, exactRate, callback, user, got);
        if (!h) {
            m_error = SDL_GetError();
            releaseIfUnused();
        }
        return h;
    }

    // Without a sound card SDL opens nothing real, silent driver or not.
    bool silentBlocksOpen() override { return std::getenv("SDL_AUDIODRIVER") || haveSoundCard(); }

    Handle openSilent(const OutputFormat& want, bool exactRate, RenderCallback callback, void* user,
                      OutputFormat& got) override {
        std::lock_guard lock(g_sdlMutex);
        // With other outputs of this process open, their driver stays (tests only).
        if (g_sdlUsers == 0 && !initialise("dummy")) {
            m_error = SDL_GetError();
            return 0;
        }
        const Handle h = openLocked(nullptr, want, exactRate, callback, user, got);
        if (!h) {
            m_error = SDL_GetError();
            releaseIfUnused();
        }
        return h;
    }
    std::string openError() override {
        std::lock_guard lock(g_sdlMutex);
        return m_error;
    }

    void start(Handle handle) override {
        std::lock_guard lock(g_sdlMutex);
        if (const SDL_AudioDeviceID id = deviceOf(handle))
            SDL_PauseAudioDevice(id, 0);
    }

    bool failed(Handle handle) override {
        std::lock_guard lock(g_sdlMutex);
        const SDL_AudioDeviceID id = deviceOf(handle);
        return id == 0 || SDL_GetAudioDeviceStatus(id) == SDL_AUDIO_STOPPED;
    }

    void close(Handle handle) override {
        std::lock_guard lock(g_sdlMutex);
        std::unique_ptr<Target> target;
        SDL_AudioDeviceID id = 0;
        {
            std::lock_guard own(m_mutex);
            auto it = m_devices.find(handle);
            if (it == m_devices.end())
                return;
            id = it->second.id;
            target = std::move(it->second.target);
            m_devices.erase(it);
        }
        SDL_CloseAudioDevice(id); // waits for a callback in progress
        --g_sdlUsers;
        releaseIfUnused();
    }

    void threadDone() override {
        // SDL keeps its error text per thread, and frees it only for its own threads.
        SDL_TLSCleanup();
    }

    std::string driver(Handle handle) override {
        std::lock_guard lock(m_mutex);
        auto it = m_devices.find(handle);
        return it == m_devices.end() ? std::string() : it->second.driver;
    }

private:
    struct Device {
        SDL_AudioDeviceID id = 0;
        std::string driver;
        std::unique_ptr<Target> target;
    };

    // (g_sdlMutex held)
    Handle openLocked(const char* name, const OutputFormat& want, bool exactRate,
                      RenderCallback callback, void* user, OutputFormat& got) {
        auto target = std::make_unique<Target>(Target{callback, user});
        SDL_AudioSpec asked{};
        asked.freq = want.rate;
        asked.format = AUDIO_F32SYS;
        asked.channels = 2;
        asked.samples = static_cast<Uint16>(std::clamp(want.period, 16, 8192));
        asked.callback = &sdlCallback;
        asked.userdata = target.get();
        SDL_AudioSpec have{};
        const int allow =
            SDL_AUDIO_ALLOW_SAMPLES_CHANGE | (exactRate ? 0 : SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
        const SDL_AudioDeviceID id = SDL_OpenAudioDevice(name, 0, &asked, &have, allow);
        if (id == 0)
            return 0;
        ++g_sdlUsers;
        got.rate = have.freq;
        got.period = have.samples;
        const char* driver = SDL_GetCurrentAudioDriver();
        std::lock_guard own(m_mutex);
        const Handle handle = m_next++;
        m_devices[handle] = Device{id, driver ? driver : "", std::move(target)};
        return handle;
    }

    SDL_AudioDeviceID deviceOf(Handle handle) {
        std::lock_guard lock(m_mutex);
        auto it = m_devices.find(handle);
        return it == m_devices.end() ? 0 : it->second.id;
    }

    std::mutex m_mutex; // guards m_devices (g_sdlMutex is taken first where both are)
    std::map<Handle, Device> m_devices;
    Handle m_next = 1;
    std::string m_error; // why the last open failed (under g_sdlMutex)
};

} // namespace

std::shared_ptr<OutputBackend> makeSdlBackend() {
    return std::make_shared<SdlBackend>();
}

} // namespace media
