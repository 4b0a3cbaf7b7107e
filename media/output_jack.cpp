// The JACK output, for studios (and PipeWire's JACK side): a client with two output ports whose
// process callback runs the mixer on JACK's real-time thread. The outputs are the clients that
// own physical playback ports ("system"); the ports connect to the chosen one's first two.
// JACK's xrun notices are counted. The rate is the server's.
#include "nocancel.h"
#include "output_native.h"

#include <jack/jack.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

namespace media {

namespace {

constexpr int kMaxFrames = 8192;

struct JackOutput {
    jack_client_t* client = nullptr;
    jack_port_t* ports[2] = {nullptr, nullptr};
    std::string target; // the client whose playback ports take ours ("" = the physical ones)
    RenderCallback callback = nullptr;
    void* user = nullptr;
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> dropouts{0};
    std::unique_ptr<float[]> mix{new float[kMaxFrames * 2]()};

    ~JackOutput() {
        if (client)
            jack_client_close(client); // a process call in progress ends first
    }
};

int onProcess(jack_nframes_t frames, void* data) {
    // The mixer runs through here: never unwound by a cancellation.
    withoutCancel([&] {
        auto* o = static_cast<JackOutput*>(data);
        auto* left = static_cast<float*>(jack_port_get_buffer(o->ports[0], frames));
        auto* right = static_cast<float*>(jack_port_get_buffer(o->ports[1], frames));
        for (jack_nframes_t done = 0; done < frames;) {
            const jack_nframes_t n = std::min<jack_nframes_t>(frames - done, kMaxFrames);
            o->callback(o->user, o->mix.get(), static_cast<int>(n));
            for (jack_nframes_t i = 0; i < n; ++i) {
                left[done + i] = o->mix[2 * i];
                right[done + i] = o->mix[2 * i + 1];
            }
            done += n;
        }
    });
    return 0;
}

int onXrun(void* data) {
    static_cast<JackOutput*>(data)->dropouts.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void onShutdown(jack_status_t, const char*, void* data) {
    static_cast<JackOutput*>(data)->failed.store(true, std::memory_order_release);
}

// The clients that own physical playback ports, and their ports.
std::map<std::string, std::vector<std::string>> playbackPorts(jack_client_t* client) {
    std::map<std::string, std::vector<std::string>> byClient;
    if (const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsPhysical | JackPortIsInput)) {
        for (const char** p = ports; *p; ++p) {
            const std::string port = *p;
            byClient[port.substr(0, port.find(':'))].push_back(port);
        }
        jack_free(ports);
    }
    return byClient;
}

// Where the libjack the program runs with finds its server: jackd2's socket, or PipeWire's for
// PipeWire's libjack (which exports a call of its own), or nowhere known for any other.
ServerSockets serverSockets() {
    const Environment env = [](const char* n) { return std::getenv(n); };
    if (dlsym(RTLD_DEFAULT, "jack_get_video_image_size"))
        return pipeWireSockets(env);
    if (std::string_view(jack_get_version_string()).starts_with("1.9."))
        return jackSockets(env);
    return {"JACK", {}, false};
}

class JackBackend final : public detail::NativeBackend<JackOutput> {
public:
    JackBackend() : NativeBackend("jack") {}

    std::vector<std::string> devices() override {
        std::vector<std::string> names;
        withLatest([&](JackOutput& o) {
            for (const auto& [name, ports] : playbackPorts(o.client))
                names.push_back(name);
        });
        return names;
    }

    Handle open(const std::string& name, const OutputFormat& want, bool exactRate,
                RenderCallback callback, void* user, OutputFormat& got) override {
        // libjack reports a server that is not running on stderr, at every try.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        m_error = missingSocket(serverSockets());
        if (!m_error.empty())
            return 0;
        auto o = std::make_unique<JackOutput>();
        jack_status_t status{};
        o->client = jack_client_open("cuedeck", JackNoStartServer, &status);
        m_error = "no server";
        if (!o->client)
            return 0;
        const int rate = static_cast<int>(jack_get_sample_rate(o->client));
        const auto ports = playbackPorts(o->client);
        m_error = "runs at " + std::to_string(rate) + " Hz";
        if (exactRate && rate != want.rate)
            return 0;
        m_error = "no client " + name;
        if (!name.empty() && !ports.count(name))
            return 0;
        m_error = "no ports";
        o->target = name;
        o->callback = callback;
        o->user = user;
        o->ports[0] =
            jack_port_register(o->client, "out_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        o->ports[1] =
            jack_port_register(o->client, "out_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (!o->ports[0] || !o->ports[1])
            return 0;
        jack_set_process_callback(o->client, &onProcess, o.get());
        jack_set_xrun_callback(o->client, &onXrun, o.get());
        jack_on_info_shutdown(o->client, &onShutdown, o.get());
        got.rate = rate;
        got.period = static_cast<int>(jack_get_buffer_size(o->client));
        return add(std::move(o));
    }

    void start(Handle h) override {
        JackOutput* o = find(h);
        if (!o || jack_activate(o->client) != 0)
            return;
        const auto ports = playbackPorts(o->client);
        auto it = o->target.empty() ? ports.begin() : ports.find(o->target);
        if (it == ports.end())
            return;
        for (std::size_t i = 0; i < 2 && i < it->second.size(); ++i)
            jack_connect(o->client, jack_port_name(o->ports[i]), it->second[i].c_str());
    }
    bool failed(Handle h) override {
        if (NativeBackend::failed(h))
            return true;
        // A chosen client that went.
        JackOutput* o = find(h);
        return o && !o->target.empty() && !playbackPorts(o->client).count(o->target);
    }
    std::string openError() override { return m_error; }

private:
    std::string m_error; // why the last open failed
};

} // namespace

std::shared_ptr<OutputBackend> makeJackBackend() {
    return std::make_shared<JackBackend>();
}

} // namespace media
