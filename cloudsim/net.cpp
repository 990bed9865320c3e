#include "cloudsim/net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace cloudsim {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

Fd openListener(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0)
        throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(resolved));
    std::string failure = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        Fd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) {
            failure = std::strerror(errno);
            continue;
        }
        const int on = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) == 0 &&
            ::listen(fd.get(), SOMAXCONN) == 0) {
            freeaddrinfo(found);
            return fd;
        }
        failure = std::strerror(errno);
    }
    freeaddrinfo(found);
    throw std::runtime_error("cannot listen on " + host + ":" + service + ": " + failure);
}

uint16_t boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

Fd acceptConnection(int listener, std::string& peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    Fd fd(::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                    SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd)
        return fd;
    const int on = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    } else {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
        port = ntohs(in4->sin_port);
    }
    peer = std::string(host) + ":" + std::to_string(port);
    return fd;
}

namespace {
// Sockets are written with send() so that a vanished peer gives an error, not
// SIGPIPE; a pseudo-terminal is not a socket and takes write().
ssize_t writeSome(int fd, const uint8_t* data, size_t size) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == ENOTSOCK)
        return ::write(fd, data, size);
    return n;
}
} // namespace

bool flushBuffer(int fd, std::vector<uint8_t>& buffer) {
    size_t written = 0;
    bool alive = true;
    while (written < buffer.size()) {
        const ssize_t n = writeSome(fd, buffer.data() + written, buffer.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            alive = errno == EAGAIN || errno == EWOULDBLOCK;
            break;
        }
        written += static_cast<size_t>(n);
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(written));
    return alive;
}

bool readAvailable(int fd, std::vector<uint8_t>& data, size_t limit) {
    uint8_t chunk[16384];
    while (data.size() < limit) {
        const size_t want = std::min(sizeof chunk, limit - data.size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n > 0) {
            data.insert(data.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return false;
    }
    return true;
}

size_t PollSet::add(int fd, short events) {
    fds_.push_back(pollfd{fd, events, 0});
    return fds_.size() - 1;
}

short PollSet::events(size_t slot) const {
    return slot < fds_.size() ? fds_[slot].revents : 0;
}

void PollSet::wait(int timeoutMs) {
    if (::poll(fds_.data(), fds_.size(), timeoutMs) < 0)
        for (pollfd& p : fds_)
            p.revents = 0;
}

void PollSet::clear() {
    fds_.clear();
}

} // namespace cloudsim
