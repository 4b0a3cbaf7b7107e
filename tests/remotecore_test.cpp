// The remote inputs' core: what OSC datagrams and MIDI messages turn into, the mapping, the
// inbox between threads, the OSC listener on a real loopback socket and the MIDI input on a
// private JACK server. Random input is the fuzz targets' (fuzz/).

#include "commandinbox.h"
#include "jack_support.h"
#include "midifeedback.h"
#include "midimapping.h"
#include "midiports.h"
#include "nocancel.h"
#include "osc_support.h"
#include "oscdispatch.h"
#include "oscpush.h"
#include "oscserver.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <lo/lo_lowlevel.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace remote;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A message as liblo writes it. `types` lists the arguments: i, f, d, h, s, T, F.
Bytes message(const char* path, const std::string& types = {}, double number = 1) {
    lo_message m = lo_message_new();
    for (char t : types) {
        if (t == 'i')
            lo_message_add_int32(m, static_cast<int>(number));
        else if (t == 'f')
            lo_message_add_float(m, static_cast<float>(number));
        else if (t == 'd')
            lo_message_add_double(m, number);
        else if (t == 'h')
            lo_message_add_int64(m, static_cast<int64_t>(number));
        else if (t == 's')
            lo_message_add_string(m, "1");
        else
            t == 'T' ? lo_message_add_true(m) : lo_message_add_false(m);
    }
    Bytes bytes(lo_message_length(m, path));
    size_t size = bytes.size();
    lo_message_serialise(m, path, bytes.data(), &size);
    lo_message_free(m);
    return bytes;
}

Bytes bundle(const std::vector<Bytes>& elements) {
    Bytes b = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (const Bytes& e : elements) {
        const auto n = static_cast<std::uint32_t>(e.size());
        b.insert(b.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                           std::uint8_t(n)});
        b.insert(b.end(), e.begin(), e.end());
    }
    return b;
}

// The commands of a datagram: the first `size` bytes of `bytes`.
std::vector<RemoteCommand> decode(const Bytes& bytes, std::size_t size = SIZE_MAX) {
    std::vector<RemoteCommand> out;
    osc::decodePacket(bytes.data(), std::min(size, bytes.size()),
                      [&](const RemoteCommand& c) { out.push_back(c); });
    return out;
}

// "play 3", "setlist 10", "status": a command in a few words, for readable expectations.
std::string describe(const std::vector<RemoteCommand>& commands) {
    std::string text;
    for (const RemoteCommand& c : commands) {
        static const char* names[] = {"play", "stop", "fade",      "stopall", "setlist", "status",
                                      "note", "cc",   "subscribe", "release", "cue"};
        text += text.empty() ? "" : ", ";
        text += names[static_cast<int>(c.kind)];
        if (c.kind != CommandKind::StopAll && c.kind != CommandKind::Status)
            text += " " + std::to_string(c.number);
        if (c.kind == CommandKind::PadCue)
            text += c.value ? " on" : " off";
    }
    return text;
}

// Takes what the inbox hands over, waiting on its wake-up descriptor, until `got` holds
// `count` commands or `deadline` passes.
void drainUntil(CommandInbox& inbox, std::vector<RemoteCommand>& got, std::size_t count,
                std::chrono::steady_clock::time_point deadline) {
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd wake{inbox.wakeDescriptor(), POLLIN, 0};
        ::poll(&wake, 1, 100);
        inbox.drain(8, [&](const RemoteCommand& c) { got.push_back(c); });
    }
}

std::optional<midi::Event> midiEvent(std::uint8_t status, std::uint8_t a, std::uint8_t b) {
    const std::uint8_t bytes[3] = {status, a, b};
    return midi::parse(bytes, 3);
}

} // namespace

TEST(OscDecode, AddressesNameTheirCommands) {
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/1/play"))), "play 1");
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/8/stop"))), "stop 8");
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/4/fade"))), "fade 4");
    // A cue takes its release too: 0 stops it.
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/3/cue"))), "cue 3 on");
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/3/cue", "f", 1))), "cue 3 on");
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/3/cue", "i", 0))), "cue 3 off");
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/3/cue", "F"))), "cue 3 off");
    EXPECT_TRUE(decode(message("/cuedeck/pad/3/cue", "s")).empty());
    EXPECT_EQ(describe(decode(message("/cuedeck/stopall"))), "stopall");
    EXPECT_EQ(describe(decode(message("/cuedeck/setlist/1"))), "setlist 1");
    EXPECT_EQ(describe(decode(message("/cuedeck/setlist/10"))), "setlist 10");
    EXPECT_EQ(describe(decode(message("/cuedeck/status"))), "status");
    // A subscription starts with no argument or a number, and a 0 ends it.
    for (const auto& [types, number, value] :
         {std::tuple{"", 1, 1}, std::tuple{"i", 1, 1}, std::tuple{"i", 0, 0},
          std::tuple{"f", 9000, 9000}, std::tuple{"i", 80, 1}, std::tuple{"T", 1, 1}}) {
        const auto got = decode(message("/cuedeck/subscribe", types, number));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].kind, CommandKind::Subscribe);
        EXPECT_EQ(got[0].value, value);
    }
    // Out of range, padded, signed, wildcards, other verbs and prefixes: nothing.
    for (const char* path :
         {"/cuedeck/pad/0/play", "/cuedeck/pad/9/play", "/cuedeck/pad/01/play",
          "/cuedeck/pad/-1/play", "/cuedeck/pad/*/play", "/cuedeck/pad/1/play/",
          "/cuedeck/pad/1/pause", "/cuedeck/pad/1", "/cuedeck/pad//play", "/cuedeck/setlist/0",
          "/cuedeck/setlist/11", "/cuedeck/setlist/", "/cuedeck/stopall/x", "/cuedeck/Status",
          "/other/pad/1/play", "/cuedeckpad/1/play", "/"})
        EXPECT_TRUE(decode(message(path)).empty()) << path;
}

TEST(OscDecode, OneNumberPressesUnlessZeroAndOtherArgumentsAreDropped) {
    // A panel button sends 1 when pressed and 0 when released: only the press acts.
    for (const double number : {1.0, -1.0})
        for (const char* types : {"i", "f", "d", "h", "T"})
            EXPECT_EQ(describe(decode(message("/cuedeck/pad/2/play", types, number))), "play 2")
                << types << number;
    EXPECT_EQ(describe(decode(message("/cuedeck/pad/2/play", "f", 0.5))), "play 2");
    // The release lets a hold pad go; other commands' releases do nothing.
    for (const char* types : {"i", "f", "d", "h", "F"}) {
        EXPECT_EQ(describe(decode(message("/cuedeck/pad/2/play", types, 0))), "release 2") << types;
        EXPECT_TRUE(decode(message("/cuedeck/pad/2/fade", types, 0)).empty()) << types;
    }
    EXPECT_TRUE(decode(message("/cuedeck/pad/2/play", "s")).empty());
    EXPECT_TRUE(decode(message("/cuedeck/pad/2/play", "ii")).empty());
    EXPECT_TRUE(decode(message("/cuedeck/setlist/3", "f", std::nan(""))).empty());
    // A status request is answered whatever it carries.
    EXPECT_EQ(describe(decode(message("/cuedeck/status", "s"))), "status");
}

TEST(OscDecode, BundlesActInOrderAndMalformedDatagramsAreDroppedWhole) {
    const Bytes two = bundle({message("/cuedeck/pad/1/play"), message("/cuedeck/unknown"),
                              bundle({message("/cuedeck/setlist/2", "i", 1)})});
    EXPECT_EQ(describe(decode(two)), "play 1, setlist 2");

    Bytes badLength = two;
    badLength[19] += 4; // the first element claims more bytes than follow it correctly
    EXPECT_TRUE(decode(badLength).empty());
    // Cut short in its last element, where what lies past its end would make it whole.
    const Bytes whole = bundle({message("/cuedeck/pad/1/play", "i")});
    EXPECT_TRUE(decode(whole, whole.size() - 4).empty());
    Bytes truncated = message("/cuedeck/pad/1/play", "i");
    truncated.resize(truncated.size() - 4);
    EXPECT_TRUE(decode(truncated).empty());
    EXPECT_TRUE(decode(Bytes{'/', 'c', 'u', 'e'}).empty()); // no terminator
    EXPECT_TRUE(decode(Bytes{}).empty());

    Bytes deep = message("/cuedeck/stopall");
    for (int depth = 0; depth < osc::kMaxBundleDepth; ++depth)
        deep = bundle({deep});
    EXPECT_EQ(describe(decode(deep)), "stopall");
    EXPECT_TRUE(decode(bundle({deep})).empty()) << "one bundle too deep";

    std::vector<Bytes> many(osc::kMaxCommandsPerPacket, message("/cuedeck/stopall"));
    EXPECT_EQ(decode(bundle(many)).size(), size_t(osc::kMaxCommandsPerPacket));
    many.push_back(message("/cuedeck/stopall"));
    EXPECT_TRUE(decode(bundle(many)).empty()) << "too many commands in one datagram";

    Bytes big = message("/cuedeck/pad/1/play");
    big.resize(osc::kMaxPacketBytes + 4, 0);
    EXPECT_TRUE(decode(big).empty());
}

TEST(MidiDecode, NoteOnAndControlChangeActAndNothingElseDoes) {
    const auto note = midiEvent(0x93, 36, 100);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->type, midi::EventType::Note);
    EXPECT_EQ(note->channel, 4);
    EXPECT_EQ(note->number, 36);
    const auto cc = midiEvent(0xbf, 7, 0);
    ASSERT_TRUE(cc);
    EXPECT_EQ(cc->type, midi::EventType::Control);
    EXPECT_EQ(cc->channel, 16);
    // A Note Off, also as a Note On at velocity 0, is the note at velocity 0.
    for (const Bytes& bytes : {Bytes{0x90, 36, 0}, Bytes{0x80, 36, 64}}) {
        const auto off = midi::parse(bytes.data(), bytes.size());
        ASSERT_TRUE(off);
        EXPECT_EQ(off->type, midi::EventType::Note);
        EXPECT_EQ(off->value, 0);
        EXPECT_EQ(midi::fromCommand(midi::toCommand(*off))->value, 0);
    }
    // Pitch bend, song position, a data byte with its top bit set, a message cut short, clock.
    for (const Bytes& bytes : {Bytes{0xe0, 0, 64}, Bytes{0xf2, 1, 1}, Bytes{0x90, 0x80, 1},
                               Bytes{0x90, 36}, Bytes{0xf8}})
        EXPECT_FALSE(midi::parse(bytes.data(), bytes.size()))
            << int(bytes[0]) << " " << bytes.size();
}

TEST(MidiMapping, DefaultNotesPlayPadsAndControllersActOnTheRisePastTheMiddle) {
    midi::Mapping m = midi::Mapping::defaults();
    // Notes 36 to 43 play pads 1 to 8, on any channel.
    for (int channel = 1; channel <= 16; channel += 15) {
        for (int note = 36; note <= 43; ++note) {
            const auto effect = m.effectOf({midi::EventType::Note, channel, note, 90});
            ASSERT_TRUE(effect) << note;
            EXPECT_EQ(effect->target, (midi::Target{midi::Action::Play, note - 35}));
        }
    }
    EXPECT_FALSE(m.effectOf({midi::EventType::Note, 1, 36, 90})->release);
    EXPECT_TRUE(m.effectOf({midi::EventType::Note, 1, 36, 0})->release); // a Note Off
    EXPECT_FALSE(m.effectOf({midi::EventType::Note, 1, 35, 90}));
    EXPECT_FALSE(m.effectOf({midi::EventType::Note, 1, 44, 90}));
    EXPECT_FALSE(m.effectOf({midi::EventType::Control, 1, 36, 127}));
    EXPECT_FALSE(m.bindingOf({midi::Action::StopAll, 0}));

    ASSERT_TRUE(m.bind({midi::Action::Volume, 2}, {midi::EventType::Control, 1, 7}));
    ASSERT_TRUE(m.bind({midi::Action::StopAll, 0}, {midi::EventType::Control, 0, 20}));
    EXPECT_EQ(m.effectOf({midi::EventType::Control, 1, 7, 127})->volume, 1000);
    EXPECT_FALSE(m.effectOf({midi::EventType::Control, 2, 7, 64})) << "another channel";

    auto stopAll = [&](int v) { return m.effectOf({midi::EventType::Control, 3, 20, v}); };
    EXPECT_TRUE(stopAll(127)) << "a first press";
    EXPECT_FALSE(stopAll(127)) << "no release in between";
    EXPECT_FALSE(stopAll(63));
    EXPECT_TRUE(stopAll(64)) << "exactly the middle";
    EXPECT_FALSE(stopAll(110)) << "a knob turned further";
    EXPECT_FALSE(stopAll(0));
    EXPECT_TRUE(stopAll(100));
    // A note cannot move a slider.
    EXPECT_FALSE(m.bind({midi::Action::Volume, 3}, {midi::EventType::Note, 0, 50}));
    // Bindings as the settings file writes them, at the ends of their ranges and past them.
    EXPECT_EQ(m.fromText("cc 127 ch 16"), (midi::Binding{midi::EventType::Control, 16, 127}));
    EXPECT_EQ(m.fromText("note 0 ch 1"), (midi::Binding{midi::EventType::Note, 1, 0}));
    for (const char* bad : {"cc 7 ch 17", "cc 7 ch 0", "note 128 any", "note -1 any"})
        EXPECT_FALSE(m.fromText(bad)) << bad;
}

TEST(MidiMapping, OneMessageNeverDoesTwoThings) {
    midi::Mapping m = midi::Mapping::defaults();
    // Note 36 on channel 10 overlaps pad 1's "any channel": pad 1 loses it.
    ASSERT_TRUE(m.bind({midi::Action::Fade, 5}, {midi::EventType::Note, 10, 36}));
    EXPECT_FALSE(m.bindingOf({midi::Action::Play, 1}));
    EXPECT_EQ(m.effectOf({midi::EventType::Note, 3, 36, 1}), std::nullopt);
    EXPECT_EQ(m.effectOf({midi::EventType::Note, 10, 36, 1})->target,
              (midi::Target{midi::Action::Fade, 5}));
    // The same controller on two channels are two bindings.
    ASSERT_TRUE(m.bind({midi::Action::Volume, 1}, {midi::EventType::Control, 1, 7}));
    ASSERT_TRUE(m.bind({midi::Action::Volume, 2}, {midi::EventType::Control, 2, 7}));
    EXPECT_TRUE(m.bindingOf({midi::Action::Volume, 1}));
    m.unbind({midi::Action::Volume, 1});
    EXPECT_FALSE(m.effectOf({midi::EventType::Control, 1, 7, 5}));
}

TEST(CommandInbox, LanesAreBoundedAndTheBudgetLeavesTheRestForTheNextTurn) {
    CommandInbox inbox(2, 8);
    pollfd wake{inbox.wakeDescriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&wake, 1, 0), 0) << "nothing waits";
    RemoteCommand c;
    int pushed = 0;
    for (int i = 0; i < 20; ++i) {
        c.number = i;
        pushed += inbox.push(0, c) ? 1 : 0;
    }
    EXPECT_LE(pushed, 16); // the queue rounds its capacity up a little, never without bound
    EXPECT_EQ(inbox.dropped(), size_t(20 - pushed));
    c.number = 100;
    EXPECT_TRUE(inbox.push(1, c));
    EXPECT_EQ(::poll(&wake, 1, 0), 1);

    std::vector<int> seen;
    EXPECT_EQ(inbox.drain(3, [&](const RemoteCommand& x) { seen.push_back(x.number); }), 3u);
    EXPECT_EQ(seen, (std::vector<int>{0, 100, 1})) << "lanes taken in turn";
    EXPECT_EQ(::poll(&wake, 1, 0), 1) << "the rest wakes the next turn";
    inbox.drain(100, [&](const RemoteCommand& x) { seen.push_back(x.number); });
    EXPECT_EQ(seen.size(), size_t(pushed + 1));
    EXPECT_EQ(::poll(&wake, 1, 0), 0);
    EXPECT_FALSE(inbox.push(2, c)) << "no such lane";
}

TEST(CommandInbox, ProducerThreadsHandOverEveryCommandInOrder) {
    CommandInbox inbox(2, 64);
    constexpr int kEach = 5000;
    // A consumer that never takes from a lane fails the test in time instead of hanging it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto produce = [&](int lane) {
        for (int i = 0; i < kEach; ++i) {
            RemoteCommand c;
            c.channel = static_cast<std::uint8_t>(lane);
            c.number = i;
            while (!inbox.push(lane, c) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield(); // full: the consumer catches up
        }
    };
    std::thread a(produce, 0), b(produce, 1);
    int next[2] = {0, 0};
    while (next[0] + next[1] < 2 * kEach && std::chrono::steady_clock::now() < deadline) {
        pollfd wake{inbox.wakeDescriptor(), POLLIN, 0};
        ::poll(&wake, 1, 100);
        inbox.drain(32, [&](const RemoteCommand& c) {
            EXPECT_EQ(c.number, next[c.channel]) << "lane " << int(c.channel);
            next[c.channel] = c.number + 1;
        });
    }
    a.join();
    b.join();
    EXPECT_EQ(next[0], kEach);
    EXPECT_EQ(next[1], kEach);
}

// One command at a time, each pushed just as the consumer has cleared its wake-up: every one
// must make the descriptor readable, or it waits for the next message.
TEST(CommandInbox, EveryCommandWakesTheConsumer) {
    CommandInbox inbox(1, 4);
    constexpr int kCommands = 20000;
    std::atomic<int> handled{0};
    std::thread producer([&] {
        for (int i = 0; i < kCommands; ++i) {
            RemoteCommand c;
            c.number = i;
            inbox.push(0, c);
            while (handled.load() <= i)
                std::this_thread::yield();
        }
    });
    int lost = 0;
    while (handled.load() < kCommands) {
        pollfd wake{inbox.wakeDescriptor(), POLLIN, 0};
        if (::poll(&wake, 1, 2000) == 0)
            ++lost; // a command waited, and nothing said so
        inbox.drain(8, [&](const RemoteCommand&) { handled.fetch_add(1); });
    }
    producer.join();
    EXPECT_EQ(lost, 0);
}

TEST(OscServer, LoopbackDatagramsBecomeCommandsWithTheirSender) {
    CommandInbox inbox(1);
    OscServer server(inbox, 0);
    OscConfig config;
    config.port = 0; // any free port
    ASSERT_EQ(server.start(config), "");
    ASSERT_TRUE(server.listening());
    ASSERT_NE(server.boundPort(), 0);

    const osctest::LoopbackSocket sender;
    Bytes big = message("/cuedeck/stopall");
    big.resize(osc::kMaxPacketBytes + 64, 0);
    sender.sendTo(server.boundPort(), big); // dropped unread
    sender.sendTo(server.boundPort(), Bytes{1, 2, 3, 4});
    sender.sendTo(server.boundPort(), message("/cuedeck/status"));

    std::vector<RemoteCommand> got;
    drainUntil(inbox, got, 1, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    ASSERT_EQ(describe(got), "status");
    EXPECT_EQ(server.datagramsRefused(), 1u) << "the oversized one";

    // The reply goes back to the sender's own port.
    const char reply[] = "/ok\0,\0\0\0";
    ASSERT_TRUE(server.send(got[0].reply, reply, 8));
    const auto back = sender.receive(2000);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->address, "/ok");

    server.stop();
    EXPECT_FALSE(server.listening());
    EXPECT_FALSE(server.send(got[0].reply, reply, 8));

    // A port that is taken: the reason, and no listening.
    OscServer first(inbox, 0), second(inbox, 0);
    ASSERT_EQ(first.start(config), "");
    config.port = first.boundPort();
    EXPECT_NE(second.start(config), "");
    EXPECT_FALSE(second.listening());
}

TEST(OscServer, OffTheLoopbackOnlyWhatTheOperatorAllows) {
    auto addr = [](const char* text) { return ::inet_addr(text); };
    OscConfig config;
    EXPECT_TRUE(OscServer::accepts(config, addr("127.0.0.1")));
    EXPECT_TRUE(OscServer::accepts(config, addr("127.3.2.1")));
    EXPECT_FALSE(OscServer::accepts(config, addr("192.168.1.20")));
    config.network = true;
    EXPECT_TRUE(OscServer::accepts(config, addr("192.168.1.20")));
    config.allowed = {addr("192.168.1.21")};
    EXPECT_FALSE(OscServer::accepts(config, addr("192.168.1.20")));
    EXPECT_TRUE(OscServer::accepts(config, addr("192.168.1.21")));
    EXPECT_TRUE(OscServer::accepts(config, addr("127.0.0.1")));

    // Answers: the loopback always, the network only by name on the allow-list; an open
    // network without a list hears its commands but answers nobody.
    OscConfig open;
    open.network = true;
    EXPECT_TRUE(OscServer::answers(open, addr("127.0.0.1")));
    EXPECT_FALSE(OscServer::answers(open, addr("192.168.1.20")));
    open.allowed = {addr("192.168.1.21")};
    EXPECT_TRUE(OscServer::answers(open, addr("192.168.1.21")));
    EXPECT_FALSE(OscServer::answers(open, addr("192.168.1.20")));
    open.network = false;
    EXPECT_FALSE(OscServer::answers(open, addr("192.168.1.21")));

    // Each sender has its own reply budget; leases run out and there are at most eight.
    const auto t0 = std::chrono::steady_clock::now();
    OscReplyBudget budget;
    int flood = 0;
    for (int i = 0; i < 100; ++i)
        flood += budget.take(addr("127.0.0.2"), t0);
    EXPECT_EQ(flood, OscReplyBudget::kPerSecond);
    EXPECT_TRUE(budget.take(addr("127.0.0.1"), t0)) << "the real panel is still answered";
    EXPECT_TRUE(budget.take(addr("127.0.0.2"), t0 + std::chrono::milliseconds(100)));
    OscSubscribers subscribers;
    auto sender = [](int port) {
        ReplyAddress a;
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in.sin_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&a.address, &in, sizeof in);
        a.length = sizeof in;
        return a;
    };
    for (int port = 1; port <= 9; ++port)
        EXPECT_EQ(subscribers.subscribe(sender(port), sender(port), t0), port <= 8) << port;
    EXPECT_TRUE(subscribers.subscribe(sender(1), sender(1), t0 + std::chrono::seconds(50)))
        << "renewed";
    EXPECT_EQ(subscribers.active(t0 + std::chrono::seconds(61)).size(), 1u);
    EXPECT_TRUE(subscribers.subscribe(sender(9), sender(9000), t0 + std::chrono::seconds(61)));
    subscribers.unsubscribe(sender(1));
    subscribers.unsubscribe(sender(9)); // its pushes went to another port: ended all the same
    EXPECT_TRUE(subscribers.active(t0 + std::chrono::seconds(62)).empty());
}

// What the lights are sent: each profile's values for the five states, the Launchpad's
// flashing switched on before its full state, the generic profile blinking by itself, a
// moved binding turned off, and no more than 20 messages a second for one pad however
// fast it changes, the last state always arriving.
TEST(MidiFeedback, ProfilesLightTheBoundNotesWithinTheirBudget) {
    using Clock = std::chrono::steady_clock;
    using midi::Light;
    std::vector<std::vector<int>> sent;
    const auto record = [&](const std::uint8_t* b, std::size_t n) {
        sent.emplace_back(b, b + n);
        return true;
    };
    const Light lights[] = {Light::Empty, Light::Loaded, Light::Playing, Light::Ending,
                            Light::Paused};
    const std::pair<midi::Profile, std::vector<int>> profiles[] = {
        {midi::Profile::Generic, {0, 0, 127, 127, 127}},
        {midi::Profile::ApcMini, {0, 5, 1, 4, 6}},
        {midi::Profile::Launchpad, {12, 63, 60, 11, 59}},
    };
    auto t = Clock::now();
    for (const auto& [profile, values] : profiles) {
        midi::Feedback feedback;
        feedback.setMapping(midi::Mapping::defaults());
        feedback.setProfile(profile);
        for (int n = 1; n <= 5; ++n)
            feedback.setLight(n, lights[n - 1]);
        sent.clear();
        feedback.tick(t, record);
        std::vector<std::vector<int>> expected;
        if (profile == midi::Profile::Launchpad)
            expected.push_back({0xB0, 0, 0x28});
        for (int n = 1; n <= 8; ++n)
            expected.push_back({0x90, 35 + n, n <= 5 ? values[n - 1] : values[0]});
        EXPECT_EQ(sent, expected) << midi::profileKey(profile);
        sent.clear();
        feedback.tick(t += std::chrono::milliseconds(600), record);
        if (profile == midi::Profile::Generic) // the last seconds and the pause blink off
            EXPECT_EQ(sent, (std::vector<std::vector<int>>{{0x90, 39, 0}, {0x90, 40, 0}}));
        else
            EXPECT_TRUE(sent.empty());
    }

    midi::Feedback feedback;
    feedback.setProfile(midi::Profile::ApcMini);
    midi::Mapping mapping = midi::Mapping::defaults();
    feedback.setMapping(mapping);
    feedback.tick(t, record);
    sent.clear();
    for (int i = 0; i < 100; ++i) { // a pad pressed a hundred times within a second
        feedback.setLight(1, i % 2 ? Light::Playing : Light::Loaded);
        feedback.tick(t += std::chrono::milliseconds(9), record);
    }
    EXPECT_EQ(sent.size(), 19u) << "with the full state's message, 20 in that second";
    feedback.setLight(1, Light::Ending);
    feedback.tick(t += std::chrono::milliseconds(200), record);
    EXPECT_EQ(sent.back(), (std::vector<int>{0x90, 36, 4})) << "the latest state, once allowed";
    ASSERT_TRUE(mapping.bind({midi::Action::Play, 1}, {midi::EventType::Control, 2, 64}));
    feedback.setMapping(mapping);
    sent.clear();
    feedback.tick(t += std::chrono::milliseconds(500), record);
    EXPECT_EQ(sent, (std::vector<std::vector<int>>{{0x90, 36, 0}, {0xB1, 64, 4}}));
    sent.clear();
    feedback.tick(t += std::chrono::milliseconds(500), record);
    EXPECT_EQ(sent.size(), 8u) << "the whole state again after two seconds";
}

// A JACK callback's thread cancelled midway, as jack_client_close cancels a client's process
// thread that runs late on a busy machine (libjack's threads take cancellation at any
// instruction): the callback runs to its end, the thread ends right there, and the program
// goes on.
TEST(MidiInput, AJackCallbackCancelledMidwayRunsToItsEndAndItsThreadEndsThere) {
    struct Run {
        std::atomic<int> stage{0};
        bool callbackDone = false;
        bool ranOn = false;
    } run;
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        auto* r = static_cast<Run*>(arg);
        pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
        withoutCancel([&] {
            r->stage = 1;
            while (r->stage.load() != 2) {
            }
            r->callbackDone = true;
        });
        r->ranOn = true;
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, nullptr, body, &run), 0);
    while (run.stage.load() != 1)
        std::this_thread::yield();
    ASSERT_EQ(pthread_cancel(thread), 0); // held off: marked for the callback's end
    run.stage = 2;
    void* result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_TRUE(run.callbackDone);
    EXPECT_FALSE(run.ranOn);
}

// The MIDI input on a private JACK server: a program's output that appears after the input
// started is left alone until the operator connects it, its Note On then crosses from JACK's
// process thread to the inbox, and so does its Note Off, its clock does not, and nothing arrives
// after the input is gone.
TEST(MidiInput, JackSenderIsConnectedAndItsNotesReachTheInbox) {
    if (!jacktest::installed())
        GTEST_SKIP() << "jackd (jackd2) is not installed";
    jacktest::Server server;
    ASSERT_TRUE(server.start()) << "the JACK server did not come up";
    jack_client_t* sender = jack_client_open("sender", JackNoStartServer, nullptr);
    ASSERT_NE(sender, nullptr);

    static jack_port_t* out = nullptr;
    static std::atomic<bool> sending{false};
    CommandInbox inbox(2);
    std::vector<RemoteCommand> got;
    {
        MidiPorts input(inbox, 0, 1);
        input.start(std::chrono::milliseconds(100));
        while (input.openSystems().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        out = jack_port_register(sender, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(
            sender,
            [](jack_nframes_t frames, void*) {
                void* buffer = jack_port_get_buffer(out, frames);
                jack_midi_clear_buffer(buffer);
                if (sending.load()) {
                    const jack_midi_data_t on[3] = {0x92, 40, 90}, off[3] = {0x82, 40, 0},
                                           clock[1] = {0xf8};
                    jack_midi_event_write(buffer, 0, on, 3);
                    jack_midi_event_write(buffer, 1, clock, 1);
                    jack_midi_event_write(buffer, 2, off, 3);
                }
                return 0;
            },
            nullptr);
        jack_activate(sender);
        // A program's port, not a device's: looked at and left alone.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(input.connectedOutputs(), std::vector<std::string>{});
        ASSERT_EQ(jack_connect(sender, "sender:out", "cuedeck:cuedeck"), 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (input.connectedOutputs().empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(input.connectedOutputs(), std::vector<std::string>{"JACK: sender:out"});
        EXPECT_EQ(input.openSystems(), std::vector<std::string>{"JACK"});
        // One Note On, clock and Note Off every JACK cycle until three Note Ons are in: on a
        // busy machine a cycle that runs late (an xrun) loses its events, which no receiver can
        // mend, so the count sent is not the count to expect.
        sending = true;
        drainUntil(inbox, got, 3, deadline);
        sending = false;
    }
    ASSERT_GE(got.size(), 3u);
    for (const RemoteCommand& c : got) {
        EXPECT_EQ(c.kind, CommandKind::MidiNote);
        EXPECT_EQ(c.channel, 3);
        EXPECT_EQ(c.number, 40);
        EXPECT_TRUE(c.value == 90 || c.value == 0) << c.value; // Note On and Note Off
    }
    // What was sent before the input went may still wait; nothing sent after it arrives.
    inbox.drain(CommandInbox::kLaneCapacity * 2, [](const RemoteCommand&) {});
    sending = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sending = false;
    jack_client_close(sender);
    pollfd wake{inbox.wakeDescriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&wake, 1, 0), 0) << "nothing after the input is gone";
}

// Devices and programs on JACK: a hardware output is joined and a program's is not until
// everything is asked for; the feedback reaches a device's input; after the server is killed
// and started again, the ports return with the connections they had and a note acts again
// within 3 s.
TEST(MidiInput, JackJoinsDevicesFeedsTheirLightsAndReturnsAfterARestart) {
    if (!jacktest::installed())
        GTEST_SKIP() << "jackd (jackd2) is not installed";
    using Clock = std::chrono::steady_clock;
    using Names = std::vector<std::string>;
    jacktest::Server server;
    ASSERT_TRUE(server.start()) << "the JACK server did not come up";
    CommandInbox inbox(2);
    MidiPorts ports(inbox, 0, 1); // at its own pace: a look every half second
    ports.start();
    auto waitFor = [](const std::function<bool()>& done, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!done() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    };
    // Notes of one number in the inbox within `ms`.
    // Whether notes of one number arrive within `ms`, and where they came from.
    std::string from;
    auto notesArrive = [&](int number, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < deadline) {
            std::vector<RemoteCommand> got;
            drainUntil(inbox, got, 1, deadline);
            for (const RemoteCommand& c : got)
                if (c.number == number) {
                    from = ports.sourceName(c);
                    return true;
                }
        }
        return false;
    };
    Clock::time_point restarted;
    const Names joined = {"JACK: device:out", "JACK: daw:out"};
    for (int round = 0; round < 2; ++round) {
        if (round == 1) { // the clients of the first round closed, the server comes back
            ASSERT_TRUE(server.start());
            restarted = Clock::now();
        }
        jacktest::Client device("device", true, true), daw("daw", true, false),
            lights("lights", false, true), through("Midi Through", true, true);
        ASSERT_TRUE(device.ok() && daw.ok() && lights.ok() && through.ok());
        device.sendNote(1, 41, 100);
        daw.sendNote(10, 36, 100); // the drum track's kick: pad 1's default note
        daw.sending = device.sending = true;
        if (round == 0) {
            ASSERT_TRUE(waitFor([&] { return !ports.connectedOutputs().empty(); }, 10000));
            std::this_thread::sleep_for(std::chrono::milliseconds(600)); // one more look
            EXPECT_EQ(ports.connectedOutputs(), Names{"JACK: device:out"});
            EXPECT_FALSE(notesArrive(36, 300)) << "a program's drum notes fire no pad";
            ports.setConnectAll(true);
            ASSERT_TRUE(waitFor([&] { return ports.connectedOutputs().size() == 2; }, 2000));
        } else {
            // Everything that was joined comes back with the server within 3 s.
            EXPECT_TRUE(waitFor([&] { return ports.connectedOutputs().size() == 2; }, 3000));
            EXPECT_TRUE(notesArrive(36, 3000));
            std::printf(
                "[ figure ] JACK back and a note through: %lld ms after the restart\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - restarted)
                        .count()));
        }
        EXPECT_EQ(ports.connectedOutputs(), joined);
        EXPECT_TRUE(notesArrive(41, 2000));
        EXPECT_EQ(from, "JACK: device:out") << "learn names the port";
        EXPECT_TRUE(notesArrive(36, 2000));
        EXPECT_EQ(from, "JACK: daw:out");
        EXPECT_TRUE(
            waitFor([&] { return ports.feedbackTargets() == Names{"JACK: lights:in"}; }, 1500));

        // The feedback reaches the device's input within a JACK cycle or two. A cycle that
        // runs late on a busy machine (an xrun) loses what it carried: then it goes again.
        const std::uint8_t green[3] = {0x90, 36, 1};
        auto sent = Clock::now();
        for (int i = 0; i < 20 && lights.received().empty(); ++i) {
            sent = Clock::now();
            ASSERT_TRUE(ports.sendFeedback(green, 3));
            waitFor([&] { return !lights.received().empty(); }, 100);
        }
        ASSERT_FALSE(lights.received().empty());
        const auto heard = lights.received().back();
        EXPECT_EQ(heard.bytes, std::vector<std::uint8_t>(green, green + 3));
        std::printf(
            "[ figure ] feedback queued to heard: %lld us\n",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::microseconds>(heard.at - sent).count()));
        if (round == 0) {
            server.stop(); // as in a crash
            EXPECT_TRUE(waitFor([&] { return ports.openSystems().empty(); }, 3000));
            for (jacktest::Client* c : {&device, &daw, &lights, &through})
                c->abandon();
        }
    }
}
