// The output device as an operator meets it: a sound server that goes away and comes back, a
// USB card unplugged and plugged in again, a chosen device missing at start, a switch between
// devices while pads sound (on the stand-in server of engine_fakeserver.h).

#include "engine.h"
#include "engine_fakeserver.h"
#include "engine_support.h"
#include "limiter.h"
#include "wait_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <thread>

using media::EndKind;
using media::Engine;
using namespace testsupport;

namespace {

using testsupport::waitFor;

class EngineDevice : public ::testing::Test {
protected:
    TempDir dir;

    std::unique_ptr<Engine> start(std::shared_ptr<FakeServer> server, const std::string& device) {
        Engine::Options o;
        o.output = Engine::Output::Device;
        o.sampleRate = kRate;
        o.periodFrames = FakeServer::kPeriod;
        o.device = device;
        o.backend = std::move(server);
        return std::make_unique<Engine>(o);
    }
    std::shared_ptr<media::Clip> clip(Engine& e, const std::string& name, long frames) {
        writeWav(dir.file(name), kRate, 2, frames);
        return e.openClip(dir.file(name));
    }
    const std::string jackName = "cuedeck-sockets-" + std::to_string(::getpid());
};

// A unix socket at `path`, as a server leaves it; false when it cannot be made.
bool makeSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool made = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return made;
}

} // namespace

TEST_F(EngineDevice, AServerThatGoesAndComesBackSoundsAgainWithEveryPadAsItWas) {
    auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers"});
    auto engine = start(server, "");
    EXPECT_TRUE(engine->hasSoundDevice());
    for (int v = 0; v < 3; ++v)
        engine->load(v, clip(*engine, "c" + std::to_string(v) + ".wav", 10 * kRate));
    engine->setGain(1, 0.25f);
    engine->setLooping(2, true);
    EndLog ends;
    ends.attach(*engine, 0);
    engine->play(0);
    ASSERT_TRUE(waitFor([&] { return peakOf(server->played("Speakers")) > 1e-4f; }));

    server->setUp(false);
    // The loss is seen, the playback ends as a failure, and the engine runs silent.
    ASSERT_TRUE(waitFor([&] { return !engine->hasSoundDevice(); }, 10000));
    ASSERT_TRUE(waitFor([&] { return ends.kinds() == std::vector<EndKind>{EndKind::Failed}; }));
    EXPECT_FALSE(engine->isPlaying(0));
    ASSERT_TRUE(waitFor([&] { return server->playing() == "<silent>"; }));
    EXPECT_EQ(engine->output(), Engine::Output::Dummy);
    EXPECT_TRUE(engine->fellBackToDummy());
    EXPECT_EQ(engine->deviceState().losses, 1u);
    // While silent it keeps looking, about every 300 ms rather than flat out.
    const auto since = std::chrono::steady_clock::now();
    const int before = server->attempts();
    ASSERT_TRUE(waitFor([&] { return server->attempts() >= before + 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - since);
    // Each look opens twice: beside the silent driver, then in its place.
    EXPECT_LE(server->attempts() - before, 2 * (waited.count() / 250 + 1));

    const std::size_t heardBefore = server->played("Speakers").size();
    server->setUp(true);
    ASSERT_TRUE(waitFor([&] { return engine->hasSoundDevice(); }, 10000));
    EXPECT_EQ(engine->deviceState().losses, 1u);
    // Every voice kept its clip, its volume and its loop switch.
    for (int v = 0; v < 3; ++v)
        EXPECT_TRUE(engine->loaded(v));
    engine->play(1);
    ASSERT_TRUE(waitFor([&] { return engine->position(1) > 20000; }));
    const float peak = peakOf(server->played("Speakers"), heardBefore);
    EXPECT_GT(peak, 0.1f);
    EXPECT_LT(peak, 0.25f); // a quarter of the clip's 0.75
    engine->seek(2, 10 * kRate - 1000);
    engine->play(2);
    // Looping: past the end it goes on from the start.
    EXPECT_TRUE(waitFor([&] { return engine->isPlaying(2) && engine->position(2) < kRate; }));
}

// On a machine without a sound card SDL's silent driver stands in the way of nothing: while the
// server is away it plays on, and each look asks the server once, instead of closing the silent
// driver and asking again.
TEST_F(EngineDevice, ASilentDriverThatLeavesTheServerFreePlaysOnUntilTheServerIsBack) {
    auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers"});
    server->setSilentBlocks(false);
    auto engine = start(server, "");
    engine->load(0, clip(*engine, "c.wav", 10 * kRate));
    server->setUp(false);
    ASSERT_TRUE(waitFor([&] { return server->playing() == "<silent>"; }, 10000));
    const int before = server->attempts();
    ASSERT_TRUE(waitFor([&] { return server->attempts() >= before + 3; }));
    EXPECT_EQ(server->silentOpens(), 1);

    server->setUp(true);
    ASSERT_TRUE(waitFor([&] { return server->playing() == "Speakers"; }, 10000));
    const std::size_t heardBefore = server->played("Speakers").size();
    engine->play(0);
    ASSERT_TRUE(waitFor([&] { return peakOf(server->played("Speakers"), heardBefore) > 0.1f; }));
    EXPECT_EQ(server->silentOpens(), 1);
}

TEST_F(EngineDevice, APressSoundsInTheQueueTheServerHasNotPlayedAndGoesOnSampleExact) {
    auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers"});
    server->setQueue(512);
    auto engine = start(server, "");
    const std::string path = dir.file("a.wav");
    const std::vector<float> samples = writeWav(path, kRate, 2, kRate);
    engine->load(0, engine->openClip(path));
    ASSERT_TRUE(waitFor([&] { return server->played("Speakers").size() > 4096; }));
    const long queuedAtPress = static_cast<long>(server->played("Speakers").size() / 2);
    engine->play(0);
    ASSERT_TRUE(waitFor([&] { return !engine->isPlaying(0); }, 10000));
    // The clip begins in frames the server held when the key went down, from its first
    // frame, and plays on across the end of the queue without a frame lost or doubled.
    const std::vector<float> out = server->played("Speakers");
    const long at =
        findStart(out, samples.data(), kRate / 2, queuedAtPress - 640, queuedAtPress - 1);
    ASSERT_GE(at, 0);
    EXPECT_EQ(peakOf(out, 0, static_cast<std::size_t>(2 * at)), 0.0f);
}

// With a deep queue at the server, a stop, an Esc fade, a volume change, a restart, a group
// start's cross-fade and a stop of every pad start in the frames the server holds unplayed, sample
// for sample as without a queue (there they start behind the limiter's look-ahead), and go on
// across the queue's end. Where the limiter lowers the sum, what it does is what it does
// without a queue: a pad stopped there leaves the other to recover, one started there never
// takes the sum over the ceiling; a ducking pad stopped there lets the other come back there.
TEST_F(EngineDevice, ControlsTakeEffectInTheQueueTheServerHasNotPlayedAsWithoutOne) {
    const std::string path = dir.file("a.wav");
    const std::vector<float> src = writeWav(path, kRate, 2, 4 * kRate);
    // Two of these go over the ceiling (1.2 on the left), one does not.
    const std::string loud = dir.file("loud.wav");
    {
        SF_INFO info{0, kRate, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
        SNDFILE* f = sf_open(loud.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> level(4 * kRate * 2);
        for (std::size_t i = 0; i < level.size(); ++i)
            level[i] = i % 2 ? 0.3f : 0.6f;
        sf_writef_float(f, level.data(), 4 * kRate);
        sf_close(f);
    }
    const auto at = [&](long frame, int c) {
        return frame < 0 ? 0.0f : src[static_cast<std::size_t>(2 * frame + c)];
    };
    // The gain of the playback `j` frames after the command, as the mixer steps it: a short
    // cut, a 200 ms fade, a volume ramp to half, a 50 ms cross-fade out and in.
    std::vector<float> cut(12000), fade(12000), ramp(12000), out(12000), in(12000), one(12000, 1);
    float level = 1.0f, gain = 1.0f, down = 1.0f, up = 0.0f;
    const auto quarterSine = [](float x) { return std::sin(x * static_cast<float>(M_PI / 2)); };
    for (std::size_t j = 0; j < cut.size(); ++j) {
        cut[j] = j < 240 ? 1.0f - static_cast<float>(j + 1) / 240.0f : 0.0f;
        fade[j] = level = std::max(0.0f, level - 1.0f / 9600.0f);
        ramp[j] = gain = std::max(0.5f, gain - 1.0f / 240.0f);
        out[j] = quarterSine(down = std::max(0.0f, down - 1.0f / 2400.0f));
        in[j] = quarterSine(up = std::min(1.0f, up + 1.0f / 2400.0f));
    }
    struct Case {
        const char* name;
        int pads;
        float gain;
        std::function<void(Engine&)> act;
        const std::vector<float>& shape;
        const std::vector<float>* rising; // a new playback from the first sample
        bool behind;                      // ... where the fade starts, rather than at once
        bool limited = false; // loud pads: heard as without a queue, never over the ceiling
        int ducking = -1;     // ... and this pad ducks the other
    };
    const auto group = [](Engine& e) { e.playReplacing(1, true, 1u, 50); };
    const Case cases[] = {
        {"stop", 1, 1.0f, [](Engine& e) { e.stop(0); }, cut, nullptr, false},
        {"Esc fade", 1, 1.0f, [](Engine& e) { e.fadeOut(0, 200); }, fade, nullptr, false},
        {"volume", 1, 1.0f, [](Engine& e) { e.setGain(0, 0.5f); }, ramp, nullptr, false},
        {"restart", 1, 0.5f, [](Engine& e) { e.restart(0); }, cut, &one, false},
        {"group start", 1, 0.5f, group, out, &in, true},
        {"stop all", 2, 0.5f, [](Engine& e) { e.stop(0), e.stop(1); }, cut, nullptr, false},
        {"limited stop", 2, 1.0f, [](Engine& e) { e.stop(1); }, one, nullptr, false, true},
        {"limited volume", 2, 1.0f, [](Engine& e) { e.setGain(1, 0.25f); }, one, nullptr, false,
         true},
        {"limited start", 1, 1.0f, [](Engine& e) { e.play(1); }, one, &one, false, true},
        {"ducking stop", 2, 0.5f, [](Engine& e) { e.stop(1); }, one, nullptr, false, true, 1},
    };
    // What the loud cases played without a queue, from 1000 frames before the change is heard.
    std::vector<std::vector<float>> unqueued(std::size(cases));
    for (const int queue : {0, 4800}) {
        for (std::size_t n = 0; n < std::size(cases); ++n) {
            const Case& k = cases[n];
            SCOPED_TRACE(std::string(k.name) + ", queue " + std::to_string(queue));
            auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers"});
            server->setQueue(queue);
            auto engine = start(server, "");
            for (int v = 0; v < 2; ++v) {
                engine->load(v, engine->openClip(k.limited ? loud : path));
                engine->setGain(v, k.gain);
            }
            if (k.ducking >= 0)
                engine->setDucking(k.ducking, Engine::Ducking{true, -12, 50, 500});
            ASSERT_TRUE(engine->waitIdle(std::chrono::seconds(5)));
            const auto heard = [&] {
                return static_cast<long>(server->played("Speakers").size() / 2);
            };
            ASSERT_TRUE(waitFor([&] { return heard() > 2 * queue + 1000; }));
            // Both commands go to the mixer in one period; it takes them at the first frame
            // the server has not played.
            const auto together = [&](const std::function<void()>& act) {
                server->pause(true);
                act();
                const long from = heard() - queue;
                server->pause(false);
                return from;
            };
            const long start = together([&] {
                for (int v = 0; v < k.pads; ++v)
                    engine->play(v);
            });
            // A ducking pad started in the queue lowers the others from the queue's end on.
            const long settle = k.ducking >= 0 ? 2 * queue + 6000 : queue + 6000;
            ASSERT_TRUE(waitFor([&] { return heard() > start + settle; }));
            const long command = together([&] { k.act(*engine); });
            const long from = command + (queue > 0 ? 0 : engine->lookaheadFrames());
            ASSERT_TRUE(waitFor([&] { return heard() > from + queue + 11000; }));
            const std::vector<float> played = server->played("Speakers");
            const long again = k.behind ? from : command;
            if (k.limited) {
                const long heardAt = k.rising ? again : from;
                std::vector<float> part(played.begin() + 2 * (heardAt - 1000),
                                        played.begin() + 2 * (heardAt + 11000));
                EXPECT_LE(peakOf(part), media::Limiter::kCeiling * (1.0f + 1e-6f));
                if (k.ducking < 0) {
                    EXPECT_GT(peakOf(part), 0.85f);
                }
                if (queue == 0) {
                    unqueued[n] = std::move(part);
                    continue;
                }
                float worst = 0.0f;
                for (std::size_t i = 0; i < part.size(); ++i)
                    worst = std::max(worst, std::fabs(part[i] - unqueued[n][i]));
                EXPECT_LT(worst, 2e-6f);
                continue;
            }
            float worst = 0.0f;
            for (long f = start - 100; f < from + 11000; ++f) {
                for (int c = 0; c < 2; ++c) {
                    float want = k.pads * k.gain * at(f - start, c) *
                                 (f < from ? 1.0f : k.shape[static_cast<std::size_t>(f - from)]);
                    if (k.rising && f >= again)
                        want += k.gain * at(f - again, c) *
                                (*k.rising)[static_cast<std::size_t>(f - again)];
                    worst = std::max(worst,
                                     std::fabs(played[static_cast<std::size_t>(2 * f + c)] - want));
                }
            }
            EXPECT_LT(worst, 2e-6f);
        }
    }
}

TEST_F(EngineDevice, AMissingChosenDeviceLeavesTheDefaultPlayingUntilItIsPluggedIn) {
    auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers"});
    auto engine = start(server, "USB Audio");
    EXPECT_TRUE(engine->deviceState().chosenMissing);
    EXPECT_EQ(server->playing(), "Speakers");

    // Plugged in: the engine moves to it by itself, and a pad sounds there.
    server->plugIn("USB Audio");
    ASSERT_TRUE(waitFor([&] { return engine->deviceState().device == "USB Audio"; }, 10000));
    EXPECT_FALSE(engine->deviceState().chosenMissing);
    engine->load(0, clip(*engine, "a.wav", 5 * kRate));
    EndLog ends;
    ends.attach(*engine, 0);
    engine->play(0);
    ASSERT_TRUE(waitFor([&] { return peakOf(server->played("USB Audio")) > 1e-4f; }));

    // Unplugged while the pad sounds: the playback fails, the default takes over at once.
    server->unplug("USB Audio");
    ASSERT_TRUE(waitFor([&] { return ends.kinds() == std::vector<EndKind>{EndKind::Failed}; }));
    ASSERT_TRUE(waitFor([&] { return server->playing() == "Speakers"; }));
    EXPECT_TRUE(engine->hasSoundDevice());
    EXPECT_TRUE(engine->deviceState().chosenMissing);
    const std::size_t before = server->played("Speakers").size();
    engine->play(0);
    EXPECT_TRUE(waitFor([&] { return peakOf(server->played("Speakers"), before) > 1e-4f; }));
}

TEST_F(EngineDevice, SwitchingDevicesFadesAcrossAndTheSoundGoesOnWhereItWas) {
    auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers", "Headphones"});
    auto engine = start(server, "");
    const auto src = writeWav(dir.file("long.wav"), kRate, 2, 10 * kRate);
    engine->load(0, engine->openClip(dir.file("long.wav")));
    engine->waitIdle(std::chrono::seconds(5));
    EndLog ends;
    ends.attach(*engine, 0);
    engine->play(0);
    ASSERT_TRUE(waitFor([&] { return engine->position(0) > kRate / 2; }));

    engine->chooseOutputDevice("Headphones");
    ASSERT_TRUE(waitFor([&] { return peakOf(server->played("Headphones")) > 1e-4f; }, 10000));
    ASSERT_TRUE(waitFor([&] { return server->played("Headphones").size() > 2 * kRate / 2; }));
    EXPECT_EQ(engine->deviceState().device, "Headphones");
    EXPECT_TRUE(engine->isPlaying(0));
    EXPECT_TRUE(ends.get().empty());

    // No step: the old output fades out, the new one fades in.
    std::vector<float> joined = server->played("Speakers");
    const std::vector<float> after = server->played("Headphones");
    joined.insert(joined.end(), after.begin(), after.end());
    EXPECT_LT(largestStep(joined), 0.02f);
    // And once faded in, the new output plays the clip's frames in order, from about where the
    // old one left off.
    const long oldFrames = static_cast<long>(server->played("Speakers").size() / 2);
    const long probe = kRate / 4;
    const long found = findStart(src, after.data() + 2 * probe, 1000, 0, 10 * kRate - 1000);
    EXPECT_GT(found, probe);
    EXPECT_LT(found, oldFrames + probe + kRate / 10);
}

TEST_F(EngineDevice, ADeviceThatTakesSecondsToOpenStarvesNoPadOnTheOutputThatPlays) {
    auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers", "Headphones"});
    auto engine = start(server, "");
    // Longer than a voice's read-ahead, on two pads at once.
    const auto src = writeWav(dir.file("long.wav"), kRate, 2, 6 * kRate);
    engine->load(0, engine->openClip(dir.file("long.wav")));
    engine->load(1, engine->openClip(dir.file("long.wav")));
    engine->setGain(1, 0.0f);
    engine->waitIdle(std::chrono::seconds(5));
    engine->play(0);
    engine->play(1);
    ASSERT_TRUE(waitFor([&] { return engine->position(0) > kRate / 4; }));

    server->setOpenDelay("Headphones", std::chrono::milliseconds(2000));
    const auto asked = std::chrono::steady_clock::now();
    engine->chooseOutputDevice("Headphones");
    ASSERT_TRUE(waitFor([&] { return engine->deviceState().device == "Headphones"; }, 10000));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1900));

    // While the new device opened, the old one played every frame of the clip, in order.
    const std::vector<float> heard = server->played("Speakers");
    const long first = findStart(heard, src.data(), 64, 0, static_cast<long>(heard.size() / 2));
    ASSERT_GE(first, 0);
    const long exact = 2 * kRate; // about 0.3 s before the switch, well within the block
    ASSERT_GE(static_cast<long>(heard.size() / 2), first + exact);
    long wrong = 0;
    for (long i = 0; i < 2 * exact; ++i)
        wrong += heard[static_cast<std::size_t>(2 * first + i)] != src[static_cast<std::size_t>(i)];
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(engine->underruns(), 0u);
}

// A monitor engine (chosen device only) on a server whose open hangs: the engine is there at
// once and says it is opening, plays nowhere meanwhile, then sounds on the device once it has
// opened; one that goes while its open still hangs waits for it and leaves nothing playing.
TEST_F(EngineDevice, AMonitorEngineOpensItsDeviceBehindTheCaller) {
    auto server = std::make_shared<FakeServer>(std::vector<std::string>{"Speakers", "Phones"});
    server->setOpenDelay("Phones", std::chrono::milliseconds(700));
    auto monitor = [&] {
        Engine::Options o;
        o.sampleRate = kRate;
        o.periodFrames = FakeServer::kPeriod;
        o.device = "Phones";
        o.chosenOnly = true;
        o.backend = server;
        return std::make_unique<Engine>(o);
    };
    auto engine = monitor();
    EXPECT_TRUE(engine->deviceState().opening);
    EXPECT_TRUE(server->played("Speakers").empty());
    engine->load(0, clip(*engine, "a.wav", kRate));
    ASSERT_TRUE(waitFor([&] { return engine->hasSoundDevice(); }, 10000));
    EXPECT_FALSE(engine->deviceState().opening);
    engine->play(0);
    EXPECT_TRUE(waitFor([&] { return peakOf(server->played("Phones")) > 1e-4f; }));
    EXPECT_TRUE(server->played("Speakers").empty());
    engine.reset();

    engine = monitor();
    engine.reset();
    EXPECT_EQ(server->playing(), "");
}

// A server is asked only where its library would find a socket, or a link to one (as in a
// sandbox); else the log names the paths looked at. "": the rules do not tell, it is asked.
TEST_F(EngineDevice, TheSearchAsksAServerOnlyWhereItsLibraryWouldFindASocket) {
    const std::string d = dir.path().string(), pw = d + "/pipewire-0", s = d + "/stage";
    const std::string jack = "/dev/shm/jack_" + jackName + "_" + std::to_string(::getuid()) + "_0";
    const std::string atPw = "no PipeWire socket at " + pw + " or /run/pipewire/pipewire-0";
    const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
        {{{"XDG_RUNTIME_DIR", d}}, atPw},
        {{{"PIPEWIRE_RUNTIME_DIR", d}, {"XDG_RUNTIME_DIR", "/x"}}, atPw},
        {{{"PIPEWIRE_REMOTE", s}, {"XDG_RUNTIME_DIR", "/x"}}, "no PipeWire socket at " + s},
        {{{"PIPEWIRE_REMOTE", "[\"" + s + "\"]"}}, ""},
        {{{"JACK_DEFAULT_SERVER", jackName}}, "no JACK socket at " + jack},
    };
    if (::access("/run/pipewire/pipewire-0", F_OK) == 0)
        GTEST_SKIP() << "a system-wide PipeWire runs";
    for (const auto& [vars, missing] : cases) {
        const media::Environment env = [&](const char* name) {
            return vars.count(name) ? vars.at(name).c_str() : nullptr;
        };
        const bool forJack = vars.count("JACK_DEFAULT_SERVER");
        const auto sockets = forJack ? media::jackSockets(env) : media::pipeWireSockets(env);
        const std::string path = forJack ? jack : missing.empty() ? s : sockets.paths.front();
        SCOPED_TRACE(path);
        EXPECT_EQ(media::missingSocket(sockets), missing);
        std::ofstream(path) << "a plain file";
        EXPECT_EQ(media::missingSocket(sockets), missing);
        ::unlink(path.c_str());
        ASSERT_TRUE(makeSocket(path + ".real"));
        ASSERT_EQ(::symlink((path + ".real").c_str(), path.c_str()), 0);
        EXPECT_EQ(media::missingSocket(sockets), "");
        ::unlink(path.c_str());
        ::unlink((path + ".real").c_str());
    }
}

// With no sound server at all every server says why, PipeWire and JACK at once (no socket), and
// the engine plays on the silent driver.
TEST_F(EngineDevice, WithNoSoundServerEveryServerSaysWhyAndPadsPlayOnTheSilentDriver) {
    const std::string d = dir.path().string();
    using Vars = std::map<std::string, std::optional<std::string>>;
    Vars vars{{"PIPEWIRE_RUNTIME_DIR", d},       {"PULSE_SERVER", "unix:" + d + "/none"},
              {"JACK_DEFAULT_SERVER", jackName}, {"PIPEWIRE_REMOTE", {}},
              {"JACK_PROMISCUOUS_SERVER", {}},   {"SDL_AUDIODRIVER", {}}};
    const auto swap = [](Vars* vars) { // sets them, keeping the process's own to put back
        for (auto& [name, value] : *vars) {
            const char* old = std::getenv(name.c_str());
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
            value = old ? std::optional<std::string>(old) : std::nullopt;
        }
    };
    swap(&vars);
    const std::unique_ptr<Vars, decltype(swap)> back(&vars, swap);
    auto backend = media::makeOutputBackend("auto");
    media::OutputFormat got;
    if (backend->open(
            "", {kRate, 128}, false, [](void*, float*, int) {}, nullptr, got))
        GTEST_SKIP() << "a sound card or a system-wide server answers";
    EXPECT_THAT(backend->openError(),
                testing::MatchesRegex("pipewire: no PipeWire socket at " + d +
                                      "/pipewire-0 or /run/pipewire/pipewire-0; pulseaudio: .+; "
                                      "jack: no JACK socket at /dev/shm/jack_" +
                                      jackName + "_" + std::to_string(::getuid()) +
                                      "_0; sdl: no sound card.*"));
    Engine engine(Engine::Options{});
    EXPECT_EQ(engine.output(), Engine::Output::Dummy);
    engine.load(0, clip(engine, "a.wav", kRate));
    engine.play(0);
    EXPECT_TRUE(waitFor([&] { return engine.position(0) > kRate / 10; }));
}
