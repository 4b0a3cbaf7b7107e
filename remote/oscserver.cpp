#include "oscserver.h"

#include "oscdispatch.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace remote {

namespace {

// Datagrams read in one go before the thread looks at its stop signal again.
constexpr int kReadsPerWake = 256;

} // namespace

OscServer::OscServer(CommandInbox& inbox, int lane) : m_inbox(inbox), m_lane(lane) {}

OscServer::~OscServer() {
    stop();
}

bool OscServer::accepts(const OscConfig& config, in_addr_t address) {
    const std::uint32_t host = ntohl(address);
    if ((host >> 24) == 127)
        return true; // this machine
    if (!config.network)
        return false;
    return config.allowed.empty() ||
           std::find(config.allowed.begin(), config.allowed.end(), address) != config.allowed.end();
}

bool OscServer::answers(const OscConfig& config, in_addr_t address) {
    if ((ntohl(address) >> 24) == 127)
        return true;
    return config.network &&
           std::find(config.allowed.begin(), config.allowed.end(), address) != config.allowed.end();
}

std::string OscServer::start(const OscConfig& config) {
    stop();
    m_config = config;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::strerror(errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config.port);
    address.sin_addr.s_addr = config.network ? htonl(INADDR_ANY) : htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        return reason;
    }
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        m_boundPort = ntohs(address.sin_port);
    m_stopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_stopFd < 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        return reason;
    }
    m_fd = fd;
    m_thread = std::thread([this] { run(); });
    return {};
}

void OscServer::stop() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_stopFd >= 0)
        ::close(m_stopFd);
    m_fd = -1;
    m_stopFd = -1;
    m_boundPort = 0;
}

bool OscServer::send(const ReplyAddress& to, const void* bytes, std::size_t size) {
    if (m_fd < 0 || to.length == 0)
        return false;
    const ssize_t sent = ::sendto(m_fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to.address), to.length);
    return sent == static_cast<ssize_t>(size);
}

void OscServer::run() {
    // One byte more than any accepted datagram, so that a longer one shows as too long.
    alignas(8) std::array<std::uint8_t, osc::kMaxPacketBytes + 1> buffer;
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        for (int i = 0; i < kReadsPerWake; ++i) {
            ReplyAddress from;
            from.length = sizeof from.address;
            const ssize_t n =
                ::recvfrom(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&from.address), &from.length);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                continue; // a pending socket error, cleared by this read
            }
            const auto* sender = reinterpret_cast<const sockaddr_in*>(&from.address);
            if (from.address.ss_family != AF_INET || !accepts(m_config, sender->sin_addr.s_addr) ||
                static_cast<std::size_t>(n) > osc::kMaxPacketBytes) {
                m_refused.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            osc::decodePacket(buffer.data(), static_cast<std::size_t>(n),
                              [&](const RemoteCommand& decoded) {
                                  RemoteCommand command = decoded;
                                  command.reply = from;
                                  m_inbox.push(m_lane, command);
                              });
        }
    }
}

} // namespace remote
