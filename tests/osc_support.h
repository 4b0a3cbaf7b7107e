#pragma once
// A panel's side of OSC for the remote tests: a UDP socket on the loopback that sends
// datagrams to a port and reads the messages that come back, as liblo decodes them.

#include <lo/lo_lowlevel.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace osctest {

// "/cuedeck/status" without arguments, as a panel sends it.
inline const std::vector<std::uint8_t> kStatusRequest = [] {
    const char bytes[] = "/cuedeck/status\0,\0\0\0";
    return std::vector<std::uint8_t>(bytes, bytes + 20);
}();

// A message: its address, then its type tags and each argument as text.
struct Message {
    std::string address;
    std::vector<std::string> fields;
};

class LoopbackSocket {
public:
    // Bound to a free port of 127.0.0.1, or of `from` (network byte order): a sender on
    // another address of this machine, which reaches the program as one from the network.
    explicit LoopbackSocket(in_addr_t from = htonl(INADDR_LOOPBACK)) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = address(0);
        a.sin_addr.s_addr = from;
        socklen_t length = sizeof a;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            m_port = ntohs(a.sin_port);
    }
    ~LoopbackSocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    // 0 when the socket could not be made.
    std::uint16_t port() const { return m_port; }

    bool sendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const {
        const sockaddr_in to = address(port);
        return ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(bytes.size());
    }

    // The next datagram that arrives within `ms`, read as an OSC message; nothing when none
    // came or it is not one.
    std::optional<Message> receive(int ms) const {
        pollfd in{m_fd, POLLIN, 0};
        if (::poll(&in, 1, ms) != 1)
            return std::nullopt;
        char buffer[1024];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        int result = 0;
        lo_message m = n > 0 ? lo_message_deserialise(buffer, size_t(n), &result) : nullptr;
        if (!m)
            return std::nullopt;
        Message message{buffer, {lo_message_get_types(m)}};
        lo_arg** argv = lo_message_get_argv(m);
        for (std::size_t a = 0; a < message.fields[0].size(); ++a) {
            std::int32_t number = 0; // liblo's arguments are only 4-byte aligned
            std::memcpy(&number, argv[a], sizeof number);
            message.fields.push_back(message.fields[0][a] == 's'
                                         ? std::string(reinterpret_cast<char*>(argv[a]))
                                         : std::to_string(number));
        }
        lo_message_free(m);
        return message;
    }

private:
    static sockaddr_in address(std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    }

    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// A message to `path`, without arguments or with one integer.
inline std::vector<std::uint8_t> message(const std::string& path,
                                         std::optional<std::int32_t> number = {}) {
    std::vector<std::uint8_t> bytes(path.begin(), path.end());
    bytes.resize((bytes.size() / 4 + 1) * 4, 0);
    bytes.insert(bytes.end(), {',', std::uint8_t(number ? 'i' : 0), 0, 0});
    if (number)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(std::uint8_t(std::uint32_t(*number) >> shift));
    return bytes;
}

// An IPv4 address of this machine off the loopback, 0 when it has none.
inline in_addr_t networkAddress() {
    ifaddrs* list = nullptr;
    in_addr_t found = 0;
    if (::getifaddrs(&list) != 0)
        return 0;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
            const in_addr_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            if ((ntohl(a) >> 24) != 127)
                found = a;
        }
    ::freeifaddrs(list);
    return found;
}

// The messages that come back within `ms`, by address, until `count` have come; `between`
// runs between two reads (the program under test may need to run).
template <typename Between>
std::map<std::string, std::vector<std::string>>
replies(const LoopbackSocket& socket, std::size_t count, int ms, Between between) {
    std::map<std::string, std::vector<std::string>> result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (result.size() < count && std::chrono::steady_clock::now() < deadline) {
        between();
        if (auto m = socket.receive(10))
            result[m->address] = m->fields;
    }
    return result;
}

} // namespace osctest
