#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <vector>

namespace cloudsim {

// An owned file descriptor, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A non-blocking listening TCP socket on host:port (port 0 = any free one).
// Throws std::runtime_error saying what failed.
Fd openListener(const std::string& host, uint16_t port);
uint16_t boundPort(int fd);

// Accepts one pending connection as a non-blocking socket; an empty Fd when
// none is waiting. `peer` receives "ip:port".
Fd acceptConnection(int listener, std::string& peer);

// The bytes written from the front of `buffer` are removed. Returns false
// when the descriptor failed (the peer is gone).
bool flushBuffer(int fd, std::vector<uint8_t>& buffer);

// Reads what is waiting, at most `limit` bytes. Returns false at end of
// stream or on an error; `data` then holds what came before.
bool readAvailable(int fd, std::vector<uint8_t>& data, size_t limit);

// The descriptors of one poll call: each user adds its descriptors and later
// reads the events by the slot number it got.
class PollSet {
public:
    size_t add(int fd, short events);
    short events(size_t slot) const;
    // Waits up to timeoutMs; interrupted waits count as no events.
    void wait(int timeoutMs);
    void clear();

private:
    std::vector<pollfd> fds_;
};

} // namespace cloudsim
