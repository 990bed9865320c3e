#pragma once

// The server end of the cloud connection for the client tests: a loopback
// listener on an ephemeral port and accepted connections spoken to with the
// project's own codec.

#include "cloud/codec.h"
#include "cloud/packet_io.h"
#include "cloud/protocol.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

using namespace std::chrono_literals;

class TServerConnection {
public:
    explicit TServerConnection(int fd) : fd_(fd) {}
    ~TServerConnection();
    TServerConnection(const TServerConnection&) = delete;
    TServerConnection& operator=(const TServerConnection&) = delete;

    // Key of the next messages each way: the built-in key until the hello.
    TBytes key;

    void sendRaw(const TBytes& bytes);
    void send(uint8_t type, const TBytes& payload);
    // Sends the hello and switches to its connection key.
    THello sendHello();
    // The next whole message, decrypted; nullopt when none came in time or
    // the client closed the connection.
    std::optional<TPacket> tryRead(std::chrono::milliseconds timeout = 20s);
    // As tryRead, skipping keepalives.
    std::optional<TPacket> tryReadSkippingKeepalives(std::chrono::milliseconds timeout = 20s);
    // Header bytes of the last frame read.
    std::array<uint8_t, 2> lastHeader() const { return lastHeader_; }
    // Hello, the client's request, then `reply`; returns the request.
    TAuthorizationRequest handshake(const TBytes& reply);
    // True once the client has closed the connection; whatever it still sent
    // is skipped.
    bool waitClosed(std::chrono::milliseconds timeout = 20s);
    // The next `count` raw bytes, fewer when they did not come in time.
    TBytes readRaw(size_t count, std::chrono::milliseconds timeout = 20s);
    // Number of messages read so far, keepalives included.
    size_t messagesRead() const { return messagesRead_; }
    void close();

private:
    // Reads into `pending_`; false on time-out or when the peer closed.
    bool receive(std::chrono::steady_clock::time_point deadline);

    int fd_;
    TBytes pending_;
    TMessageAssembler assembler_;
    std::array<uint8_t, 2> lastHeader_{};
    size_t messagesRead_ = 0;
    bool peerClosed_ = false;
};

class TTestListener {
public:
    TTestListener();
    ~TTestListener();
    uint16_t port() const { return port_; }
    // The next connection, or null when none came in time.
    std::unique_ptr<TServerConnection> accept(std::chrono::milliseconds timeout = 20s);

private:
    int fd_;
    uint16_t port_;
};
