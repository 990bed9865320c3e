#include "platform/tcp_client.h"

#include "platform/text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr int waitSliceMs = 20;
constexpr size_t receiveChunk = 16384;
constexpr uint32_t noTimeout = UINT32_MAX;

std::string errnoText(int error) {
    return std::strerror(error);
}

using SteadyClock = std::chrono::steady_clock;

int remainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
} // namespace

TTcpClient::~TTcpClient() {
    Close();
}

void TTcpClient::checkStopped() const {
    if (stopped_.load())
        throw ESocketError("Connection closed");
}

bool TTcpClient::waitFor(Wait what, uint32_t timeoutMs) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        checkStopped();
        int slice = waitSliceMs;
        if (timeoutMs != noTimeout)
            slice = std::min(slice, remainingMs(deadline));
        pollfd p{fd_, static_cast<short>(what == Wait::readable ? POLLIN : POLLOUT), 0};
        const int ready = ::poll(&p, 1, slice);
        if (ready < 0 && errno != EINTR)
            fail("Waiting on the connection failed: " + errnoText(errno));
        if (ready > 0)
            return true;
        if (timeoutMs != noTimeout && remainingMs(deadline) == 0)
            return false;
        if (watch_)
            watch_();
    }
}

void TTcpClient::fail(const std::string& what) {
    broken_ = true;
    throw ESocketError(what);
}

std::shared_ptr<addrinfo> TTcpClient::resolve(const std::string& host, uint16_t port,
                                              std::chrono::steady_clock::time_point deadline) {
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    int result = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (result == EAI_NONAME) {
        // A host name may take the resolver long: ask it on a helper thread
        // and wait only as long as the connect may take. An abandoned helper
        // finishes on its own and frees what it found.
        struct Lookup {
            std::mutex lock;
            std::condition_variable done;
            bool finished = false;
            bool abandoned = false;
            int result = 0;
            addrinfo* found = nullptr;
        };
        auto lookup = std::make_shared<Lookup>();
        hints.ai_flags = 0;
        std::thread([lookup, host, service, hints] {
            addrinfo* list = nullptr;
            const int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
            std::lock_guard guard(lookup->lock);
            if (lookup->abandoned) {
                if (r == 0)
                    ::freeaddrinfo(list);
            } else {
                lookup->result = r;
                lookup->found = list;
            }
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
        std::unique_lock guard(lookup->lock);
        while (!lookup->finished) {
            lookup->done.wait_for(guard, std::chrono::milliseconds(waitSliceMs));
            if (lookup->finished)
                break;
            const bool late = remainingMs(deadline) == 0;
            if (late || stopped_.load()) {
                lookup->abandoned = true;
                checkStopped();
                throw ESocketError("Could not resolve host name \"" + host + "\": timed out");
            }
            if (watch_) {
                guard.unlock();
                try {
                    watch_();
                } catch (...) {
                    guard.lock();
                    lookup->abandoned = true;
                    if (lookup->finished && lookup->result == 0)
                        ::freeaddrinfo(lookup->found);
                    throw;
                }
                guard.lock();
            }
        }
        result = lookup->result;
        found = lookup->found;
    }
    if (result != 0)
        throw ESocketError("Could not resolve host name \"" + host +
                           "\": " + ::gai_strerror(result));
    return std::shared_ptr<addrinfo>(found, ::freeaddrinfo);
}

void TTcpClient::Connect(const std::string& host, uint16_t port, uint32_t timeoutMs) {
    Close();
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string target = host + ":" + std::to_string(port);

    const std::shared_ptr<addrinfo> found = resolve(host, port, deadline);
    std::string lastError = "no address";
    for (addrinfo* a = found.get(); a; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastError = errnoText(errno);
            continue;
        }
        {
            std::lock_guard guard(fdLock_);
            fd_ = fd;
        }
        try {
            if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
                if (errno != EINPROGRESS)
                    throw ESocketError(errnoText(errno));
                const int left = remainingMs(deadline);
                if (left == 0 || !waitFor(Wait::writable, static_cast<uint32_t>(left)))
                    throw ESocketError("timed out after " + std::to_string(timeoutMs) + " ms");
                int error = 0;
                socklen_t size = sizeof(error);
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                if (error != 0)
                    throw ESocketError(errnoText(error));
            }
            // Frames are small and answered at once: do not hold them back.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            broken_ = false;
            return;
        } catch (const ESocketError& e) {
            lastError = e.what();
            Close();
            if (stopped_.load())
                break;
        }
    }
    throw ESocketError("Could not connect to " + target + ": " + lastError);
}

void TTcpClient::fillBuffer() {
    waitFor(Wait::readable, noTimeout);
    buffer_.resize(receiveChunk);
    bufferStart_ = 0;
    while (true) {
        const ssize_t got = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
        if (got > 0) {
            buffer_.resize(static_cast<size_t>(got));
            return;
        }
        buffer_.clear();
        if (got == 0) {
            checkStopped();
            fail("Connection closed by the server");
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(Wait::readable, noTimeout);
            buffer_.resize(receiveChunk);
            continue;
        }
        checkStopped();
        fail("Connection broken: " + errnoText(errno));
    }
}

void TTcpClient::ReadBytes(uint8_t* out, size_t count) {
    if (fd_ < 0)
        throw ESocketError("Not connected");
    while (count > 0) {
        if (InputBufferIsEmpty())
            fillBuffer();
        const size_t take = std::min(count, buffer_.size() - bufferStart_);
        std::memcpy(out, buffer_.data() + bufferStart_, take);
        bufferStart_ += take;
        out += take;
        count -= take;
    }
}

void TTcpClient::Write(const uint8_t* data, size_t count) {
    if (fd_ < 0)
        throw ESocketError("Not connected");
    while (count > 0) {
        checkStopped();
        const ssize_t sent = ::send(fd_, data, count, MSG_NOSIGNAL);
        if (sent >= 0) {
            data += sent;
            count -= static_cast<size_t>(sent);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(Wait::writable, noTimeout);
            continue;
        }
        checkStopped();
        fail("Connection broken: " + errnoText(errno));
    }
}

bool TTcpClient::Readable(uint32_t timeoutMs) {
    if (!InputBufferIsEmpty())
        return true;
    if (fd_ < 0)
        return false;
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, static_cast<int>(std::min<uint32_t>(timeoutMs, INT_MAX)));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void TTcpClient::Close() {
    std::lock_guard guard(fdLock_);
    buffer_.clear();
    bufferStart_ = 0;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TTcpClient::Shutdown() {
    std::lock_guard guard(fdLock_);
    stopped_ = true;
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}
