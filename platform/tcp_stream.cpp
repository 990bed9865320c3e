#include "platform/tcp_stream.h"

#include "platform/tick.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr size_t receiveChunk = 16384;

std::string errnoText(int error) {
    return std::strerror(error);
}
} // namespace

// A name lookup on its helper thread. The loop thread abandons it when the
// connect ends first; the helper then frees what it found.
struct TTcpStream::TLookup {
    std::atomic<bool> abandoned{false};
    TTcpStream* owner = nullptr; // read on the loop thread only
};

TTcpStream::TTcpStream(TEventLoop& loop, THandlers handlers)
    : loop_(loop), handlers_(std::move(handlers)) {}

TTcpStream::~TTcpStream() {
    close();
}

void TTcpStream::connect(const std::string& host, uint16_t port, uint32_t timeoutMs) {
    close();
    target_ = host + ":" + std::to_string(port);
    timeoutMs_ = timeoutMs;
    lastError_ = "no address";
    deadline_ = loop_.timer([this, host] {
        failConnect(lookup_ ? "Could not resolve host name \"" + host + "\": timed out"
                            : "Could not connect to " + target_ + ": timed out after " +
                                  std::to_string(timeoutMs_) + " ms");
    });
    deadline_->setAt(GetTickCount() + timeoutMs);

    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    auto lookup = std::make_shared<TLookup>();
    lookup->owner = this;
    lookup_ = lookup;
    if (result != EAI_NONAME) {
        // A numeric address needs no resolver; the answer still comes from
        // the loop, after this call.
        deliverLookup(loop_, lookup, result, found, host);
        return;
    }
    hints.ai_flags = 0;
    TEventLoop* loop = &loop_;
    std::thread([lookup, loop, host, service, hints] {
        addrinfo* list = nullptr;
        const int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
        deliverLookup(*loop, lookup, r, list, host);
    }).detach();
}

void TTcpStream::deliverLookup(TEventLoop& loop, const std::shared_ptr<TLookup>& lookup, int result,
                               addrinfo* list, const std::string& host) {
    std::shared_ptr<addrinfo> addresses(result == 0 ? list : nullptr, [](addrinfo* l) {
        if (l)
            ::freeaddrinfo(l);
    });
    if (lookup->abandoned)
        return;
    const std::string error = result == 0 ? "" : ::gai_strerror(result);
    loop.post([lookup, addresses, error, host] {
        if (lookup->abandoned)
            return;
        if (!error.empty())
            lookup->owner->failConnect("Could not resolve host name \"" + host + "\": " + error);
        else
            lookup->owner->resolved(addresses);
    });
}

void TTcpStream::resolved(const std::shared_ptr<addrinfo>& addresses) {
    lookup_.reset();
    addresses_ = addresses;
    nextAddress_ = addresses_.get();
    tryNextAddress();
}

void TTcpStream::tryNextAddress() {
    while (nextAddress_) {
        addrinfo* a = nextAddress_;
        nextAddress_ = a->ai_next;
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastError_ = errnoText(errno);
            continue;
        }
        fd_ = fd;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            connectDone();
            return;
        }
        if (errno != EINPROGRESS) {
            lastError_ = errnoText(errno);
            closeSocket();
            continue;
        }
        loop_.watch(watch_, fd_, EPOLLOUT, [this](uint32_t) {
            int error = 0;
            socklen_t size = sizeof(error);
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == 0) {
                connectDone();
                return;
            }
            lastError_ = errnoText(error);
            closeSocket();
            tryNextAddress();
        });
        return;
    }
    failConnect("Could not connect to " + target_ + ": " + lastError_);
}

void TTcpStream::connectDone() {
    deadline_.reset();
    addresses_.reset();
    nextAddress_ = nullptr;
    // Frames are small and answered at once: do not hold them back.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    connected_ = true;
    watch_.reset();
    wantWrite_ = false;
    loop_.watch(watch_, fd_, EPOLLIN | EPOLLRDHUP,
                [this](uint32_t events) { socketEvent(events); });
    handlers_.connected();
}

void TTcpStream::failConnect(const std::string& error) {
    close();
    handlers_.connectFailed(error);
}

void TTcpStream::socketEvent(uint32_t events) {
    if (events & EPOLLOUT) {
        try {
            flush();
        } catch (const ESocketError&) {
            // The read below reports how the connection ended.
            events |= EPOLLIN;
        }
        if (fd_ >= 0 && unsent() == 0)
            handlers_.drained();
    }
    if (fd_ >= 0 && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
        handlers_.readable();
}

void TTcpStream::receive(std::vector<uint8_t>& into) {
    if (!connected())
        throw ESocketError(endedHow_.empty() ? "Not connected" : endedHow_);
    // Bytes that came before the end are handed over first; the end, which
    // keeps the socket readable, is reported by the next call.
    const size_t start = into.size();
    for (;;) {
        const size_t before = into.size();
        into.resize(before + receiveChunk);
        const ssize_t got = ::recv(fd_, into.data() + before, receiveChunk, 0);
        into.resize(before + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got > 0)
            continue;
        if (got == 0 && into.size() > start)
            return;
        if (got == 0) {
            throw ESocketError(ended("Connection closed by the server"));
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || into.size() > start)
            return;
        throw ESocketError(ended("Connection broken: " + errnoText(errno)));
    }
}

void TTcpStream::Write(const uint8_t* data, size_t count) {
    if (!connected())
        throw ESocketError("Not connected");
    output_.insert(output_.end(), data, data + count);
    flush();
}

void TTcpStream::flush() {
    while (unsent() > 0) {
        const ssize_t sent =
            ::send(fd_, output_.data() + outputStart_, unsent(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            outputStart_ += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        throw ESocketError(ended("Connection broken: " + errnoText(errno)));
    }
    if (unsent() == 0) {
        output_.clear();
        outputStart_ = 0;
    }
    updateWatch();
}

void TTcpStream::updateWatch() {
    const bool want = unsent() > 0;
    if (!watch_ || want == wantWrite_)
        return;
    wantWrite_ = want;
    watch_->modify(EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u));
}

void TTcpStream::closeSocket() {
    watch_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    connected_ = false;
    wantWrite_ = false;
    endedHow_.clear();
}

std::string TTcpStream::ended(const std::string& how) {
    // The end keeps the socket ready; nothing more to wait for on it.
    connected_ = false;
    endedHow_ = how;
    if (watch_)
        watch_->stop();
    return how;
}

void TTcpStream::close() {
    if (lookup_) {
        lookup_->abandoned = true;
        lookup_.reset();
    }
    deadline_.reset();
    addresses_.reset();
    nextAddress_ = nullptr;
    closeSocket();
    output_.clear();
    outputStart_ = 0;
}
