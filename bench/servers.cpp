// Figures of the output through the sound server that runs (a private one, see
// scripts/private-sound-server.sh): what the operator hears, recorded from the sink's monitor
// with parec as it arrives.
//   - key to sound: from play() to the first sounding frame the recorder receives, 12 presses,
//     for every backend that opens, and stop to silence: from stop() to the last sounding frame
//     it receives;
//   - the floor: the same for a click written by a paced client (pacat, 1 ms at a time), and
//     the peer: the same through a GStreamer pulsesink pipeline;
//   - dropouts: near-silent runs inside three 3 s tones, idle and with both cores busy, and
//     the underruns the server reported;
//   - with a soak length, through PipeWire and PulseAudio each: eight voices for that long,
//     both cores busy; holes, underruns, and key to sound and stop to silence of the pad
//     pressed and stopped meanwhile.
// The sink is $CUEDECK_BENCH_SINK ("board" when unset).

#include "engine.h"
#include "output.h"

#include "pipewire_profile.h"
#include "stallwatch.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using media::Engine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 48000;
constexpr float kLoud = 0.02f;
// A hole: this many frames in a row below kLoud inside a sounding 1 kHz tone of amplitude 0.5
// (whose zero crossings stay below it for one frame at most).
constexpr int kHoleFrames = 4;

std::string sink() {
    const char* s = std::getenv("CUEDECK_BENCH_SINK");
    return s && *s ? s : "board";
}

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// A child process with its standard input or output on a pipe.
struct Child {
    pid_t pid = -1;
    int fd = -1;
    // Runs `argv` at the real-time priority the engine's own mixer thread has, where the
    // system grants it, so that the harness's tools do not add delays of their own.
    static Child spawn(std::vector<std::string> argv, bool writeToIt) {
        if (std::system("chrt -f 60 true 2>/dev/null") == 0)
            argv.insert(argv.begin(), {"chrt", "-f", "60"});
        int p[2];
        if (pipe(p) != 0)
            return {};
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(writeToIt ? p[0] : p[1], writeToIt ? 0 : 1);
            close(p[0]);
            close(p[1]);
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(writeToIt ? p[0] : p[1]);
        return Child{pid, writeToIt ? p[1] : p[0]};
    }
    void end() {
        if (fd >= 0)
            close(fd);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        fd = -1;
        pid = -1;
    }
};

// parec on the sink's monitor: every frame it delivers, and when the first frame louder than
// kLoud on the left channel after a given time arrived.
class Recorder {
public:
    Recorder() {
        m_child = Child::spawn({"parec", "-d", sink() + ".monitor", "--raw", "--format=float32le",
                                "--rate=48000", "--channels=2", "--latency-msec=1"},
                               false);
        m_thread = std::thread([this] { run(); });
    }
    ~Recorder() {
        m_quit = true;
        m_child.end();
        m_thread.join();
    }
    bool ok() const { return m_child.pid > 0; }
    // When sound first arrived after `t0` (within 500 ms); a negative value when none did.
    double soundAfter(Clock::time_point t0) {
        const auto until = t0 + std::chrono::milliseconds(500);
        while (Clock::now() < until) {
            {
                std::lock_guard lock(m_mutex);
                if (m_loudAt > t0)
                    return msBetween(t0, m_loudAt);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return -1.0;
    }
    // When the last loud frame after `t0` arrived, once 100 ms have passed without one (within
    // 500 ms); 0 when none arrived after `t0`, a negative value when the sound did not stop.
    double silenceAfter(Clock::time_point t0) {
        const auto until = t0 + std::chrono::milliseconds(500);
        while (Clock::now() < until) {
            {
                std::lock_guard lock(m_mutex);
                if (Clock::now() - std::max(m_lastLoud, t0) > std::chrono::milliseconds(100))
                    return m_lastLoud > t0 ? msBetween(t0, m_lastLoud) : 0.0;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return -1.0;
    }
    // Frames received so far.
    std::size_t frames() {
        std::lock_guard lock(m_mutex);
        return m_dropped + m_samples.size() / 2;
    }
    // The frames received from `frame` on (those still kept), and lets every kept frame go.
    std::vector<float> take(std::size_t frame) {
        std::lock_guard lock(m_mutex);
        const std::size_t skip = 2 * (std::max(frame, m_dropped) - m_dropped);
        std::vector<float> out(m_samples.begin() +
                                   static_cast<std::ptrdiff_t>(std::min(skip, m_samples.size())),
                               m_samples.end());
        m_dropped += m_samples.size() / 2;
        m_samples.clear();
        return out;
    }

private:
    void run() {
        media::raiseToRealTime(); // a busy machine delays the arrival times, not the sound
        float buf[256];
        std::size_t have = 0; // bytes in buf
        while (!m_quit) {
            const ssize_t n =
                read(m_child.fd, reinterpret_cast<char*>(buf) + have, sizeof buf - have);
            if (n <= 0)
                return;
            const auto now = Clock::now();
            have += static_cast<std::size_t>(n);
            const std::size_t samples = have / sizeof(float);
            std::lock_guard lock(m_mutex);
            for (std::size_t i = 0; i < samples; ++i) {
                // The left channel: the soak's other voices sound on the right one.
                const bool loud = m_count++ % 2 == 0 && std::fabs(buf[i]) > kLoud;
                m_samples.push_back(buf[i]);
                if (loud && m_loudAt < m_quietFrom)
                    m_loudAt = now;
                if (loud)
                    m_lastLoud = now;
            }
            if (now - m_lastLoud > std::chrono::milliseconds(20))
                m_quietFrom = now; // the next loud frame is a new sound
            have -= samples * sizeof(float);
            std::memmove(buf, buf + samples, have);
        }
    }

    Child m_child;
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<float> m_samples;
    std::size_t m_dropped = 0; // frames let go
    std::size_t m_count = 0;   // samples received
    Clock::time_point m_loudAt{}, m_lastLoud{}, m_quietFrom{Clock::now()};
};

struct Busy {
    std::vector<pid_t> pids;
    explicit Busy(bool on) {
        for (unsigned i = 0; on && i < std::max(2u, std::thread::hardware_concurrency()); ++i)
            if (const pid_t p = fork(); p == 0) {
                for (std::atomic<unsigned long> x{0};;)
                    x.fetch_add(1, std::memory_order_relaxed);
            } else if (p > 0) {
                pids.push_back(p);
            }
    }
    ~Busy() {
        for (pid_t p : pids) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
    }
};

// A 1 kHz tone at half scale on both channels, or on one alone.
void writeTone(const std::string& path, double seconds, bool left = true, bool right = true) {
    std::vector<float> s(static_cast<std::size_t>(seconds * kRate) * 2);
    for (std::size_t i = 0; i < s.size() / 2; ++i) {
        const float x = 0.5f * static_cast<float>(
                                   std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / kRate));
        s[2 * i] = left ? x : 0.0f;
        s[2 * i + 1] = right ? x : 0.0f;
    }
    // A bare WAV header for 32-bit float stereo.
    FILE* f = std::fopen(path.c_str(), "wb");
    const std::uint32_t data = static_cast<std::uint32_t>(s.size() * 4);
    auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, f); };
    std::fwrite("RIFF", 1, 4, f);
    u32(36 + data);
    std::fwrite("WAVEfmt ", 1, 8, f);
    u32(16);
    u16(3);
    u16(2);
    u32(kRate);
    u32(kRate * 8);
    u16(8);
    u16(32);
    std::fwrite("data", 1, 4, f);
    u32(data);
    std::fwrite(s.data(), 4, s.size(), f);
    std::fclose(f);
}

double median(std::vector<double> v) {
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The median and largest of the figures measured (the negative ones were not), and how many.
struct Spread {
    double median = -1.0, max = -1.0;
    std::size_t count = 0;
};
Spread spread(const std::vector<double>& all) {
    std::vector<double> v;
    for (double x : all)
        if (x >= 0)
            v.push_back(x);
    return {median(v), v.empty() ? -1.0 : *std::max_element(v.begin(), v.end()), v.size()};
}

// Near-silent runs inside the sounding part of `rec` (stereo): their count and total length.
std::pair<int, double> holes(const std::vector<float>& rec) {
    std::size_t first = SIZE_MAX, last = 0;
    for (std::size_t i = 0; i < rec.size() / 2; ++i)
        if (std::fabs(rec[2 * i]) > kLoud) {
            first = std::min(first, i);
            last = i;
        }
    int count = 0;
    std::size_t quiet = 0, total = 0;
    for (std::size_t i = first; first != SIZE_MAX && i <= last; ++i) {
        if (std::fabs(rec[2 * i]) <= kLoud) {
            ++quiet;
            continue;
        }
        if (quiet >= kHoleFrames) {
            ++count;
            total += quiet;
        }
        quiet = 0;
    }
    return {count, 1000.0 * static_cast<double>(total) / kRate};
}

// Frames of the clip's start missing from the sound that begins in `rec`: the offset into the
// tone that matches the recording's first 48 sounding frames best, less the tone's first frame
// (which is 0); 0 when the press is heard from its start. The tone repeats every 48 frames, so
// a loss is seen modulo 1 ms. -1 when no sound begins.
int framesLost(const std::vector<float>& rec) {
    std::size_t onset = 0;
    while (onset < rec.size() / 2 && std::fabs(rec[2 * onset + 1]) < 1e-4f)
        ++onset;
    if (onset + 48 >= rec.size() / 2)
        return -1;
    int best = -1;
    double bestError = 1e9;
    for (int d = 0; d < 48; ++d) {
        double error = 0.0;
        for (int i = 0; i < 48; ++i) {
            const double x = 0.5 * std::sin(2.0 * M_PI * 1000.0 * (d + i) / kRate);
            error += std::fabs(rec[2 * (onset + static_cast<std::size_t>(i)) + 1] - x);
        }
        if (error < bestError) {
            bestError = error;
            best = d;
        }
    }
    return best < 0 ? -1 : (best + 47) % 48;
}

// Returns the median key to sound, or a negative value when no output opens.
double keyToSound(const char* who, Recorder& rec, const std::string& server,
                  const std::string& clip) {
    Engine::Options o;
    o.output = Engine::Output::Device;
    o.server = server;
    Engine engine(o);
    if (!engine.hasSoundDevice() || engine.driverName() == "dummy") {
        std::printf("# %s: no output opens\n", who);
        return -1.0;
    }
    engine.load(0, engine.openClip(clip));
    engine.waitIdle(std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> lat, quiet;
    int lost = 0;
    for (int i = 0; i < 12; ++i) {
        const std::size_t from = rec.frames();
        const auto t0 = Clock::now();
        engine.restart(0);
        lat.push_back(rec.soundAfter(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        lost = std::max(lost, framesLost(rec.take(from)));
        const auto t1 = Clock::now();
        engine.stop(0);
        quiet.push_back(rec.silenceAfter(t1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 37 * i % 60));
    }
    const Spread stops = spread(quiet);
    std::printf("stop-to-silence %-23s driver %-10s median %6.1f ms  max %6.1f ms  (%zu/12)\n", who,
                engine.driverName().c_str(), stops.median, stops.max, stops.count);
    std::vector<double> heard;
    for (double l : lat)
        if (l >= 0)
            heard.push_back(l);
    std::printf("key-to-sound %-26s driver %-10s median %6.1f ms  max %6.1f ms  (%zu/12 heard, "
                "at most %d frames of the start lost)\n",
                who, engine.driverName().c_str(), median(heard),
                heard.empty() ? -1.0 : *std::max_element(heard.begin(), heard.end()), heard.size(),
                lost);
    for (bool busy : {false, true}) {
        Busy load(busy);
        int count = 0;
        double ms = 0.0;
        for (int i = 0; i < 3; ++i) {
            engine.seek(0, 0);
            const std::size_t from = rec.frames();
            engine.play(0);
            while (engine.isPlaying(0))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const auto [n, len] = holes(rec.take(from));
            count += n;
            ms += len;
        }
        std::printf("dropouts %-30s %s: %d holes, %.1f ms of silence in three 3 s tones; server "
                    "underruns %llu, buffer deepened %d times (period now %d), read-ahead "
                    "underruns %llu\n",
                    who, busy ? "busy" : "idle", count, ms,
                    static_cast<unsigned long long>(engine.deviceState().dropouts),
                    engine.deviceState().deepened, engine.periodFrames(),
                    static_cast<unsigned long long>(engine.underruns()));
    }
    return median(heard);
}

double pacedWriter(const char* who, Recorder& rec, Child& c);

// A click written by a paced client (1 ms of silence at a time, then 1 ms of full level) into
// `argv`'s standard input, 12 times; returns the median from the click's write to its sound.
double pacedClicks(const char* who, Recorder& rec, const std::vector<std::string>& argv) {
    Child c = Child::spawn(argv, true);
    if (c.pid <= 0)
        return -1.0;
    double result = -1.0;
    std::thread([&] { result = pacedWriter(who, rec, c); }).join();
    return result;
}

double pacedWriter(const char* who, Recorder& rec, Child& c) {
    media::raiseToRealTime(); // paced as the engine's mixer is
    signal(SIGPIPE, SIG_IGN);
    std::vector<float> quiet(96, 0.0f), click(96, 0.5f);
    std::vector<double> lat;
    // Nothing is written until the client has connected: what it would queue meanwhile would
    // stay queued, as every later write keeps pace with the clock.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    auto next = Clock::now();
    const auto started = next;
    int clicks = 0;
    Clock::time_point clickAt{};
    while (clicks < 12 && msBetween(started, Clock::now()) < 20000) {
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
        const double sinceStart = msBetween(started, next);
        const bool due = sinceStart > 1000 + clicks * 400.0 && clickAt == Clock::time_point{};
        if (due)
            clickAt = Clock::now();
        if (write(c.fd, (due ? click : quiet).data(), 96 * sizeof(float)) < 0)
            break;
        if (!due && clickAt != Clock::time_point{} && msBetween(clickAt, Clock::now()) > 250) {
            lat.push_back(rec.soundAfter(clickAt));
            clickAt = {};
            ++clicks;
        }
    }
    c.end();
    std::vector<double> heard;
    for (double l : lat)
        if (l >= 0)
            heard.push_back(l);
    std::printf("key-to-sound %-26s median %6.1f ms  max %6.1f ms  (%zu/%zu heard)\n", who,
                median(heard), heard.empty() ? -1.0 : *std::max_element(heard.begin(), heard.end()),
                heard.size(), lat.size());
    return heard.size() == lat.size() && !lat.empty() ? median(heard) : -1.0;
}

// The floor of a native PipeWire client: a stream of its own at the quantum the program asks
// for (128 frames), whose process callback writes a click in the first cycle after it is asked
// for one, 12 times: one quantum and the server's block, with no PulseAudio layer (whose
// minimum latency, 256 frames by default, raises pacat's figure). Negative when PipeWire does
// not run.
struct NativeClick {
    pw_thread_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::atomic<bool> click{false};

    static void process(void* data) {
        auto* self = static_cast<NativeClick*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(self->stream);
        if (!b)
            return;
        spa_data& d = b->buffer->datas[0];
        if (!d.data) {
            pw_stream_queue_buffer(self->stream, b);
            return;
        }
        std::uint32_t frames = d.maxsize / (2 * sizeof(float));
        if (b->requested)
            frames = std::min<std::uint32_t>(frames, static_cast<std::uint32_t>(b->requested));
        auto* out = static_cast<float*>(d.data);
        const bool loud = self->click.exchange(false);
        for (std::uint32_t i = 0; i < 2 * frames; ++i)
            out[i] = loud && i < 2 * 48 ? 0.5f : 0.0f;
        d.chunk->offset = 0;
        d.chunk->stride = 2 * sizeof(float);
        d.chunk->size = frames * 2 * sizeof(float);
        pw_stream_queue_buffer(self->stream, b);
    }
    bool open() {
        pw_init(nullptr, nullptr);
        loop = pw_thread_loop_new("floor", nullptr);
        if (!loop || pw_thread_loop_start(loop) != 0)
            return false;
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &NativeClick::process;
            return e;
        }();
        pw_thread_loop_lock(loop);
        stream = pw_stream_new_simple(
            pw_thread_loop_get_loop(loop), "floor",
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                              PW_KEY_NODE_LATENCY, "128/48000", PW_KEY_TARGET_OBJECT,
                              sink().c_str(), nullptr),
            &events, this);
        std::uint8_t buffer[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = kRate;
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const bool ok =
            stream && pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                     PW_STREAM_FLAG_MAP_BUFFERS |
                                                                     PW_STREAM_FLAG_RT_PROCESS),
                                        params, 1) == 0;
        pw_thread_loop_unlock(loop);
        return ok;
    }
    ~NativeClick() {
        if (!loop)
            return;
        pw_thread_loop_lock(loop);
        if (stream)
            pw_stream_destroy(stream);
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
        pw_thread_loop_destroy(loop);
    }
};

double nativeFloor(Recorder& rec) {
    NativeClick c;
    if (!c.open()) {
        std::printf("# floor (pw_stream 128): PipeWire does not run\n");
        return -1.0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    std::vector<double> lat;
    for (int i = 0; i < 12; ++i) {
        const auto t0 = Clock::now();
        c.click = true;
        lat.push_back(rec.soundAfter(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + 37 * i % 60));
    }
    std::vector<double> heard;
    for (double l : lat)
        if (l >= 0)
            heard.push_back(l);
    std::printf("key-to-sound %-26s median %6.1f ms  max %6.1f ms  (%zu/12 heard)\n",
                "floor (pw_stream 128)", median(heard),
                heard.empty() ? -1.0 : *std::max_element(heard.begin(), heard.end()), heard.size());
    return heard.size() == lat.size() ? median(heard) : -1.0;
}

// The soak through `server`: seven voices loop a tone on the right channel while both cores
// are busy; pad 1, a tone on the left channel alone, is pressed every 1.7 s and sounds 1.5 s,
// so that its key to sound and every hole in it show.
int soak(const char* server, Recorder& rec, const std::string& left, const std::string& right,
         int seconds) {
    Busy load(true);
    // Through PipeWire, what the server says of its own cycles meanwhile.
    e2e::GraphProfile graph;
    const char* runtime = std::getenv("PIPEWIRE_RUNTIME_DIR");
    const bool profiled =
        runtime && graph.start(QString::fromLocal8Bit(runtime) + QStringLiteral("/pipewire-0"));
    Engine::Options o;
    o.output = Engine::Output::Device;
    o.server = server;
    Engine engine(o);
    if (!engine.hasSoundDevice() || engine.driverName() != server) {
        std::printf("# soak %s: no output opens\n", server);
        return 0;
    }
    engine.load(0, engine.openClip(left));
    for (int v = 1; v < 8; ++v) {
        engine.load(v, engine.openClip(right));
        engine.setLooping(v, true);
        engine.setGain(v, 0.1f);
        engine.play(v);
    }
    engine.waitIdle(std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The machine's own stalls meanwhile, which stop the server and the program alike.
    e2e::StallWatch stalls;
    std::vector<double> lat, quiet;
    int n = 0;
    double ms = 0.0;
    for (const auto until = Clock::now() + std::chrono::seconds(seconds); Clock::now() < until;) {
        const std::size_t from = rec.frames();
        const auto t0 = Clock::now();
        engine.restart(0);
        lat.push_back(rec.soundAfter(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto [count, len] = holes(rec.take(from));
        n += count;
        ms += len;
        const auto t1 = Clock::now();
        engine.stop(0);
        quiet.push_back(rec.silenceAfter(t1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const Spread stops = spread(quiet);
    std::vector<double> heard;
    for (double l : lat)
        if (l >= 0)
            heard.push_back(l);
    const auto state = engine.deviceState();
    std::printf(
        "soak %-8s %d s, 8 voices, both cores busy: %d holes (%.1f ms), machine stalls of "
        "10 ms or more %d, server underruns %llu, read-ahead underruns %llu, late "
        "callbacks %llu, buffer deepened %d times (period now %d, as the server runs it); key "
        "to sound median %.1f ms, max %.1f ms (%zu/%zu heard); stop to silence median %.1f ms, "
        "max %.1f ms (%zu/%zu)\n",
        server, seconds, n, ms, stalls.count(), static_cast<unsigned long long>(state.dropouts),
        static_cast<unsigned long long>(engine.underruns()),
        static_cast<unsigned long long>(engine.lateCallbacks()), state.deepened,
        engine.periodFrames(), median(heard),
        heard.empty() ? -1.0 : *std::max_element(heard.begin(), heard.end()), heard.size(),
        lat.size(), stops.median, stops.max, stops.count, quiet.size());
    if (profiled)
        std::printf("soak %-8s the PipeWire server meanwhile: %s\n", server,
                    e2e::GraphProfile::describe(graph.counts()).c_str());
    // Through PulseAudio every press is heard within 8 ms, half of them within 4 ms; half the
    // stops fall silent as soon but for their 5 ms fade, and none waits for the queue.
    const bool prompt = std::strcmp(server, "pulseaudio") != 0 ||
                        (!heard.empty() && median(heard) <= 4.0 &&
                         *std::max_element(heard.begin(), heard.end()) <= 8.0 &&
                         stops.count == quiet.size() && stops.median <= 9.0 && stops.max <= 40.0);
    return n == 0 && state.dropouts == 0 && heard.size() == lat.size() && prompt ? 0 : 1;
}

// How the thread that takes the PulseAudio clients' writes off $PULSE_SERVER's socket is
// scheduled: the main thread of the server that listens there (PulseAudio, pipewire-pulse).
// At normal priority a busy machine keeps it from a core for hundreds of ms while the sink
// plays on, and the underruns counted below are the harness's (scripts/private-sound-server.sh
// raises it).
void describeRelay() {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server || std::strncmp(server, "unix:", 5) != 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, server + 5, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ucred peer{};
    socklen_t size = sizeof peer;
    sched_param param{};
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
        sched_getparam(peer.pid, &param) == 0)
        std::printf("# the sound server's main thread (pid %d): %s %d\n", peer.pid,
                    param.sched_priority > 0 ? "real-time, priority" : "normal priority, nice",
                    param.sched_priority > 0 ? param.sched_priority
                                             : getpriority(PRIO_PROCESS, peer.pid));
    if (fd >= 0)
        close(fd);
}

// The servers asked for in $CUEDECK_BENCH_SERVERS (e.g. "pipewire,sdl"; all when unset).
bool wanted(const char* server) {
    const char* only = std::getenv("CUEDECK_BENCH_SERVERS");
    return !only || std::string(",").append(only).append(",").find(std::string(",") + server +
                                                                   ",") != std::string::npos;
}

} // namespace

int serverFigures(const std::string& folder, int soakSeconds) {
    Recorder rec;
    for (int i = 0; i < 30 && rec.ok() && rec.frames() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!rec.ok() || rec.frames() == 0) {
        std::printf("# no sound server to record from (sink %s)\n", sink().c_str());
        return 1;
    }
    describeRelay();
    const std::string tone = folder + "/tone3s.wav";
    writeTone(tone, 3.0);
    pacedClicks("floor (pacat 2 ms)", rec,
                {"pacat", "-d", sink(), "--raw", "--format=float32le", "--rate=48000",
                 "--channels=2", "--latency-msec=2"});
    pacedClicks("peer (gst pulsesink)", rec,
                {"gst-launch-1.0", "-q", "fdsrc", "fd=0", "!", "rawaudioparse", "pcm-format=f32le",
                 "sample-rate=48000", "num-channels=2", "!", "pulsesink", "device=" + sink()});
    const double floor = nativeFloor(rec);
    for (const char* server : {"pipewire", "pulseaudio", "jack", "sdl"}) {
        if (!wanted(server))
            continue;
        const double ms = keyToSound(server, rec, server, tone);
        if (std::string(server) == "pipewire" && ms >= 0 && floor >= 0)
            std::printf("key-to-sound pipewire above the native floor by %.1f ms (target 2 ms "
                        "at most)\n",
                        ms - floor);
    }
    if (soakSeconds <= 0)
        return 0;
    const std::string right = folder + "/right3s.wav";
    const std::string left = folder + "/left3s.wav";
    writeTone(right, 3.0, false);
    writeTone(left, 3.0, true, false);
    int failures = 0;
    for (const char* server : {"pipewire", "pulseaudio"})
        if (wanted(server))
            failures += soak(server, rec, left, right, soakSeconds);
    return failures == 0 ? 0 : 1;
}
