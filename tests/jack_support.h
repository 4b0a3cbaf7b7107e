#pragma once
// A private JACK server on the dummy driver for tests (no sound card, no other client), and
// small JACK clients that play notes into a port or record what a port receives.

#include "midiports.h"
#include "nocancel.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace jacktest {

inline bool installed() {
    return std::system("command -v jackd >/dev/null 2>&1") == 0;
}

// The server, named after the test program's path: JACK_DEFAULT_SERVER points every client at
// it. The name stays the same from run to run, because JACK's registry of servers is shared
// by the whole machine and has room for eight: a killed server's entry is taken back only by
// a server of the same name.
class Server {
public:
    Server()
        : m_name("cuedeck-test-" +
                 std::to_string(std::hash<std::string>()(
                                    std::filesystem::read_symlink("/proc/self/exe").string()) %
                                1000000)) {
        ::setenv("JACK_DEFAULT_SERVER", m_name.c_str(), 1);
    }
    ~Server() { stop(SIGTERM); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts jackd and waits until a client can join; false when it does not come up.
    bool start() {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // gone with the test, even if the test aborts
            ::execlp("jackd", "jackd", "--no-realtime", "-n", m_name.c_str(), "-d", "dummy", "-r",
                     "48000", "-p", "256", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::lock_guard lock(remote::jackClientMutex());
            if (jack_client_t* c = jack_client_open("probe", JackNoStartServer, nullptr)) {
                jack_client_close(c);
                return true;
            }
        }
        return false;
    }
    // SIGKILL: the server vanishes as in a crash, without telling its clients.
    void stop(int signal = SIGKILL) {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, signal);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        // A killed server leaves its sockets and semaphores behind: they name the server.
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error))
            if (entry.path().filename().string().find("_" + m_name + "_") != std::string::npos)
                std::filesystem::remove(entry.path(), error);
    }

private:
    std::string m_name;
    pid_t m_pid = -1;
};

// One client "name" with one MIDI port "name:out" or "name:in"; `physical` marks the port as
// hardware, as a sound card's MIDI ports are.
class Client {
public:
    using Clock = std::chrono::steady_clock;
    struct Message {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
    };

    Client(const std::string& name, bool output, bool physical) {
        {
            std::lock_guard lock(remote::jackClientMutex());
            m_client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
        }
        if (!m_client)
            return;
        unsigned long flags = output ? JackPortIsOutput : JackPortIsInput;
        if (physical)
            flags |= JackPortIsPhysical | JackPortIsTerminal;
        m_port =
            jack_port_register(m_client, output ? "out" : "in", JACK_DEFAULT_MIDI_TYPE, flags, 0);
        jack_set_process_callback(m_client, &Client::process, this);
        jack_on_info_shutdown(
            m_client,
            [](jack_status_t, const char*, void* self) {
                static_cast<Client*>(self)->m_dead = true;
            },
            this);
        if (!m_port || jack_activate(m_client) != 0) {
            std::lock_guard lock(remote::jackClientMutex());
            jack_client_close(m_client);
            m_client = nullptr;
        }
    }
    ~Client() {
        // libjack crashes closing a client of a server that was killed, unless the client was
        // told of the end, which it is not always: those of a killed server are left.
        if (m_client && !m_dead) {
            std::lock_guard lock(remote::jackClientMutex());
            jack_client_close(m_client);
        }
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return m_client != nullptr; }
    // The server was killed: the client is not closed (see below).
    void abandon() { m_dead = true; }
    std::string port() const { return m_port ? jack_port_name(m_port) : ""; }
    jack_client_t* client() const { return m_client; }

    // An output plays this Note On every cycle while `sending`.
    void sendNote(int channel, int note, int velocity) {
        m_note = {std::uint8_t(0x90 | (channel - 1)), std::uint8_t(note), std::uint8_t(velocity)};
    }
    std::atomic<bool> sending{false};

    // What an input received so far.
    std::vector<Message> received() const {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    // Held off cancellation as the program's callbacks are (nocancel.h): one that landed in the
    // recorder's allocation would abort the test or leave the allocator locked.
    static int process(jack_nframes_t frames, void* arg) {
        withoutCancel([&] { cycle(static_cast<Client*>(arg), frames); });
        return 0;
    }
    static void cycle(Client* self, jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(self->m_port, frames);
        if (jack_port_flags(self->m_port) & JackPortIsOutput) {
            jack_midi_clear_buffer(buffer);
            if (self->sending)
                jack_midi_event_write(buffer, 0, self->m_note.data(), 3);
            return;
        }
        const auto now = Clock::now();
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        std::lock_guard lock(self->m_mutex); // a test's recorder: no real-time promise
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) == 0)
                self->m_received.push_back({now, {event.buffer, event.buffer + event.size}});
        }
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::atomic<bool> m_dead{false};
    std::array<std::uint8_t, 3> m_note{0x90, 36, 100};
    mutable std::mutex m_mutex;
    std::vector<Message> m_received;
};

} // namespace jacktest
