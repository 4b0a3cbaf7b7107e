#pragma once
// The OSC listener: a UDP socket and a thread of its own that reads datagrams, drops those of
// senders it does not accept, decodes the rest (oscdispatch.h) and hands their commands to the
// UI thread through the command inbox. The UI thread answers status requests through send().
//
// Out of the box it listens on the loopback address only. Listening on the local network
// (every interface) is the operator's choice; then an allow-list, when not empty, limits the
// senders to the addresses it names. The loopback is always accepted. IPv4. Answers go only
// where answers() says.

#include "commandinbox.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace remote {

struct OscConfig {
    static constexpr std::uint16_t kDefaultPort = 53100;
    bool network = false; // every interface instead of the loopback only
    std::uint16_t port = kDefaultPort;
    std::vector<in_addr_t> allowed; // network byte order; empty = every sender
    bool operator==(const OscConfig&) const = default;
};

class OscServer {
public:
    OscServer(CommandInbox& inbox, int lane);
    ~OscServer();
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    // Stops listening, then listens as `config` says. Returns "" on success, else the reason
    // (the port is taken, ...); the server then does not listen.
    std::string start(const OscConfig& config);
    // Stops the thread and closes the socket; no command is pushed after it returns.
    void stop();
    bool listening() const { return m_fd >= 0; }
    const OscConfig& config() const { return m_config; }
    // The port actually bound (differs from the configured one only for port 0).
    std::uint16_t boundPort() const { return m_boundPort; }

    // Sends one datagram from the listening socket (so the reply comes from the port the
    // sender wrote to). Never blocks; false when not listening or the send failed.
    bool send(const ReplyAddress& to, const void* bytes, std::size_t size);

    // Whether a sender at `address` (network byte order) is accepted under `config`.
    static bool accepts(const OscConfig& config, in_addr_t address);
    // Whether a sender is answered (status replies, pushes): on the loopback, or named by the
    // allow-list while the network is open. Without an allow-list the network's commands act,
    // but nothing goes back: a datagram's sender address can be forged, and an answer would
    // then go to whoever the forger chose.
    static bool answers(const OscConfig& config, in_addr_t address);

    std::size_t datagramsRefused() const { return m_refused.load(std::memory_order_relaxed); }

private:
    void run();

    CommandInbox& m_inbox;
    int m_lane;
    OscConfig m_config;
    int m_fd = -1;
    int m_stopFd = -1;
    std::uint16_t m_boundPort = 0;
    std::thread m_thread;
    std::atomic<std::size_t> m_refused{0};
};

} // namespace remote
