#pragma once

#include "platform/messages.h"
#include "platform/tick.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

// A tick counter the test moves by hand; installed for the lifetime of the
// object.
class ManualClock {
public:
    explicit ManualClock(uint32_t start = 1000);
    ~ManualClock();
    uint32_t now() const { return now_.load(); }
    void advance(uint32_t ms) {
        now_.fetch_add(ms);
        tickSourceMoved();
    }
    void set(uint32_t value) {
        now_.store(value);
        tickSourceMoved();
    }

private:
    std::atomic<uint32_t> now_;
};

// Polls `condition` until it holds or `timeout` passes (generous by default:
// tests must not fail on a loaded machine).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A registered message receiver that records what was posted to it.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    HWND handle() const { return handle_; }
    std::vector<uint32_t> messages() const;
    size_t count(uint32_t message) const;

private:
    HWND handle_;
    mutable std::mutex lock_;
    std::vector<uint32_t> messages_;
};

// Main-thread dispatcher of a test: synchronized calls wait until the test
// pumps them. Installed for the lifetime of the object.
class QueuedDispatcher {
public:
    QueuedDispatcher();
    ~QueuedDispatcher();
    size_t pending() const;
    void pump();

private:
    mutable std::mutex lock_;
    std::deque<std::function<void()>> calls_;
};
