// The JACK output on a private server (jackd's dummy driver): what a pad plays arrives, sample
// for sample, at the port of another client that listens to the program's output.

#include "engine.h"
#include "engine_support.h"
#include "jack_support.h"
#include "wait_support.h"

#include <gtest/gtest.h>

using media::Engine;
using namespace testsupport;

namespace {

// A client "listener" whose input port keeps every sample it receives.
class Listener {
public:
    Listener() {
        std::lock_guard lock(remote::jackClientMutex());
        m_client = jack_client_open("listener", JackNoStartServer, nullptr);
        if (!m_client)
            return;
        m_port = jack_port_register(m_client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(m_client, &Listener::process, this);
        if (!m_port || jack_activate(m_client) != 0) {
            jack_client_close(m_client);
            m_client = nullptr;
        }
    }
    ~Listener() {
        std::lock_guard lock(remote::jackClientMutex());
        if (m_client)
            jack_client_close(m_client);
    }
    bool listenTo(const std::string& port) {
        return m_client && jack_connect(m_client, port.c_str(), jack_port_name(m_port)) == 0;
    }
    // What arrived so far, as stereo frames with the port's samples on both channels.
    std::vector<float> heard() {
        std::lock_guard lock(m_mutex);
        std::vector<float> stereo;
        for (float s : m_samples)
            stereo.insert(stereo.end(), {s, s});
        return stereo;
    }

private:
    static int process(jack_nframes_t frames, void* self) {
        auto* l = static_cast<Listener*>(self);
        const auto* in = static_cast<const float*>(jack_port_get_buffer(l->m_port, frames));
        std::lock_guard lock(l->m_mutex); // a test's recorder: no real-time promise
        l->m_samples.insert(l->m_samples.end(), in, in + frames);
        return 0;
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::mutex m_mutex;
    std::vector<float> m_samples;
};

} // namespace

TEST(JackOutput, APadsSamplesArriveAtAPortThatListensToTheProgram) {
    if (!jacktest::installed())
        GTEST_SKIP() << "jackd is not installed";
    jacktest::Server server;
    ASSERT_TRUE(server.start());
    Engine::Options o;
    o.output = Engine::Output::Device;
    o.server = "jack";
    Engine engine(o);
    ASSERT_EQ(engine.driverName(), "jack");
    Listener listener;
    ASSERT_TRUE(listener.listenTo("cuedeck:out_1"));
    TempDir dir;
    const std::vector<float> clip = writeWav(dir.file("a.wav"), 48000, 2, 24000);
    engine.load(0, engine.openClip(dir.file("a.wav")));
    ASSERT_TRUE(engine.waitIdle(std::chrono::seconds(5)));
    engine.play(0);
    ASSERT_TRUE(waitFor([&] { return !engine.isPlaying(0); }, 10000));
    // The clip's left channel in order, after silence: whole, unless the server reported a
    // dropout (a loaded machine makes the dummy driver skip cycles), and its start in any case.
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the watch counts them
    const std::vector<float> heard = listener.heard();
    const bool dropped = engine.deviceState().dropouts > 0;
    const long at = findStart(heard, clip.data(), dropped ? 2400 : 24000, 0,
                              static_cast<long>(heard.size() / 2));
    ASSERT_GE(at, 0) << "dropouts reported: " << engine.deviceState().dropouts;
    EXPECT_EQ(peakOf(heard, 0, static_cast<std::size_t>(2 * at)), 0.0f);
}
