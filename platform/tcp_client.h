#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

struct addrinfo;

// A failed or closed connection; the message says what happened.
class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where frames are written: a connection of either kind.
class TByteSink {
public:
    virtual ~TByteSink() = default;
    // Writes all bytes, or keeps what cannot go yet; throws ESocketError when
    // the connection fails.
    virtual void Write(const uint8_t* data, size_t count) = 0;
};

// Called at least every 20 ms while a connect, read or write waits. It throws
// to give up the wait, which is how a caller bounds waits by its own rules.
using TIoWatch = std::function<void()>;

// A blocking TCP client over POSIX sockets. One thread uses it; Shutdown() may
// come from any other thread and wakes whatever that thread waits in. A client
// that was shut down stays so: a new connection takes a new client.
class TTcpClient : public TByteSink {
public:
    TTcpClient() = default;
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;
    ~TTcpClient() override;

    void setWatch(TIoWatch watch) { watch_ = std::move(watch); }

    // Resolves `host` and connects within `timeoutMs` in all; throws
    // ESocketError when it cannot.
    void Connect(const std::string& host, uint16_t port, uint32_t timeoutMs);
    // True from a successful connect until the connection is closed, broken or
    // ended by the peer.
    bool Connected() const { return fd_ >= 0 && !broken_; }

    // Reads exactly `count` bytes; throws ESocketError when the connection
    // ends first.
    void ReadBytes(uint8_t* buffer, size_t count);
    // Writes all bytes; throws ESocketError when the connection fails.
    void Write(const uint8_t* data, size_t count) override;
    // No received bytes are waiting in the client's own buffer.
    bool InputBufferIsEmpty() const { return bufferStart_ == buffer_.size(); }
    // Waits up to `timeoutMs` for bytes; true when bytes are there or the
    // connection has ended (a read then reports how).
    bool Readable(uint32_t timeoutMs);

    // Drops unread input and closes the socket. Owner thread only.
    void Close();
    // Any thread: ends the connection so that a blocked call returns at once.
    void Shutdown();

private:
    enum class Wait { readable, writable };
    // Waits in slices for the socket, calling the watch between slices; false
    // when `timeoutMs` passed first (UINT32_MAX waits without a bound).
    bool waitFor(Wait what, uint32_t timeoutMs);
    // Addresses of `host`; a lookup that outlasts `deadline` gives up.
    std::shared_ptr<addrinfo> resolve(const std::string& host, uint16_t port,
                                      std::chrono::steady_clock::time_point deadline);
    void fillBuffer();
    [[noreturn]] void fail(const std::string& what);
    void checkStopped() const;

    int fd_ = -1;
    bool broken_ = false;
    std::atomic<bool> stopped_{false};
    mutable std::mutex fdLock_; // between Close on the owner and Shutdown elsewhere
    std::vector<uint8_t> buffer_;
    size_t bufferStart_ = 0;
    TIoWatch watch_;
};
