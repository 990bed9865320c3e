#include "cloud_test_server.h"

#include "cloud/cloud_address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int msUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
} // namespace

TServerConnection::~TServerConnection() {
    close();
}

void TServerConnection::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TServerConnection::sendRaw(const TBytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            throw std::runtime_error("test server: send failed");
        done += static_cast<size_t>(sent);
    }
}

void TServerConnection::send(uint8_t type, const TBytes& payload) {
    for (const TBytes& frame : buildMessageFrames(type, payload, key))
        sendRaw(frame);
}

THello TServerConnection::sendHello() {
    THello hello;
    hello.challenge = {'1', '2', '3', '4', '5', '6', '7', '8'};
    hello.connectionKey = TBytes(16);
    for (size_t i = 0; i < 16; ++i)
        hello.connectionKey[i] = static_cast<uint8_t>(0xA0 + i);
    key = builtinKey();
    send(ptControl, buildHello(hello));
    key = hello.connectionKey;
    return hello;
}

bool TServerConnection::receive(std::chrono::steady_clock::time_point deadline) {
    if (peerClosed_)
        return false;
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, msUntil(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    uint8_t buffer[8192];
    const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (got <= 0) {
        peerClosed_ = true;
        return false;
    }
    pending_.insert(pending_.end(), buffer, buffer + got);
    return true;
}

std::optional<TPacket> TServerConnection::tryRead(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const size_t used = assembler_.feed(pending_.data(), pending_.size());
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
        if (assembler_.hasMessage()) {
            const TRawMessage message = assembler_.takeMessage();
            lastHeader_ = message.lastHeader;
            ++messagesRead_;
            return TPacket{message.type, messagePayload(message, key)};
        }
        if (!receive(deadline))
            return std::nullopt;
    }
}

std::optional<TPacket>
TServerConnection::tryReadSkippingKeepalives(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto packet = tryRead(std::chrono::milliseconds(msUntil(deadline)));
        if (!packet || packet->type != ptKeepAlive)
            return packet;
    }
}

TAuthorizationRequest TServerConnection::handshake(const TBytes& reply) {
    sendHello();
    const auto request = tryRead();
    if (!request || request->type != ptControl)
        throw std::runtime_error("test server: no authorization request");
    send(ptControl, reply);
    return parseAuthorizationRequest(request->payload);
}

TBytes TServerConnection::readRaw(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.size() < count && receive(deadline)) {
    }
    const size_t take = std::min(count, pending_.size());
    TBytes out(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
    return out;
}

bool TServerConnection::waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!peerClosed_) {
        pending_.clear();
        if (!receive(deadline) && !peerClosed_)
            return false;
    }
    return true;
}

TTestListener::TTestListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd_, SOMAXCONN) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("test server: cannot listen on loopback");
    port_ = ntohs(address.sin_port);
}

TTestListener::~TTestListener() {
    ::close(fd_);
}

std::unique_ptr<TServerConnection> TTestListener::accept(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return nullptr;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? nullptr : std::make_unique<TServerConnection>(fd);
}
