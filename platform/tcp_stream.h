#pragma once

#include "platform/event_loop.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct addrinfo;

// A failed or closed connection; the message says what happened.
class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where frames are written.
class TByteSink {
public:
    virtual ~TByteSink() = default;
    // Takes all bytes, writing what can go now; throws ESocketError when the
    // connection fails.
    virtual void Write(const uint8_t* data, size_t count) = 0;
};

// A TCP connection served by an event loop: it connects without blocking
// (a host name is resolved on a short-lived helper thread), keeps what the
// socket cannot take yet and writes it when the socket is writable, and tells
// its owner when bytes or the end of the connection arrived. Every call, and
// every handler, on the loop thread.
class TTcpStream : public TByteSink {
public:
    struct THandlers {
        std::function<void()> connected;
        std::function<void(const std::string& error)> connectFailed;
        // Bytes or the end of the connection wait: call receive().
        std::function<void()> readable;
        // Everything written has left for the socket.
        std::function<void()> drained;
    };

    TTcpStream(TEventLoop& loop, THandlers handlers);
    ~TTcpStream() override;
    TTcpStream(const TTcpStream&) = delete;
    TTcpStream& operator=(const TTcpStream&) = delete;

    // Starts connecting; within `timeoutMs` ticks one of connected or
    // connectFailed follows (the latter with the reason), never before this
    // call has returned.
    void connect(const std::string& host, uint16_t port, uint32_t timeoutMs);
    bool connected() const { return fd_ >= 0 && connected_; }

    // Appends what arrived to `into`; throws ESocketError when the peer has
    // closed or the connection broke.
    void receive(std::vector<uint8_t>& into);
    // Writes what the socket takes now and keeps the rest; throws
    // ESocketError when the connection broke.
    void Write(const uint8_t* data, size_t count) override;
    // Bytes written but not yet taken by the socket.
    size_t unsent() const { return output_.size() - outputStart_; }

    void close();

private:
    struct TLookup;
    // Hands a lookup's answer to its stream on the loop (any thread), unless
    // the stream gave it up meanwhile.
    static void deliverLookup(TEventLoop& loop, const std::shared_ptr<TLookup>& lookup, int result,
                              addrinfo* list, const std::string& host);
    void resolved(const std::shared_ptr<addrinfo>& addresses);
    void tryNextAddress();
    void connectDone();
    void failConnect(const std::string& error);
    void socketEvent(uint32_t events);
    void flush();
    void updateWatch();
    void closeSocket();
    // Marks the connection ended and returns `how`.
    std::string ended(const std::string& how);

    TEventLoop& loop_;
    const THandlers handlers_;
    int fd_ = -1;
    bool connected_ = false;
    bool wantWrite_ = false;
    std::unique_ptr<TLoopWatch> watch_;
    std::unique_ptr<TLoopTimer> deadline_;
    std::shared_ptr<TLookup> lookup_;
    std::shared_ptr<addrinfo> addresses_;
    addrinfo* nextAddress_ = nullptr;
    std::string target_;
    std::string lastError_;
    std::string endedHow_;
    uint32_t timeoutMs_ = 0;
    std::vector<uint8_t> output_;
    size_t outputStart_ = 0;
};
