#include "support/test_support.h"

#include "platform/thread.h"

#include <algorithm>
#include <thread>

ManualClock::ManualClock(uint32_t start) : now_(start) {
    setTickSource([this] { return now_.load(); });
}

ManualClock::~ManualClock() {
    setTickSource(nullptr);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

MessageRecorder::MessageRecorder() {
    handle_ = registerMessageReceiver([this](uint32_t message) {
        std::lock_guard guard(lock_);
        messages_.push_back(message);
    });
}

MessageRecorder::~MessageRecorder() {
    unregisterMessageReceiver(handle_);
}

std::vector<uint32_t> MessageRecorder::messages() const {
    std::lock_guard guard(lock_);
    return messages_;
}

size_t MessageRecorder::count(uint32_t message) const {
    std::lock_guard guard(lock_);
    return static_cast<size_t>(std::count(messages_.begin(), messages_.end(), message));
}

QueuedDispatcher::QueuedDispatcher() {
    setMainThreadDispatcher([this](std::function<void()> call) {
        std::lock_guard guard(lock_);
        calls_.push_back(std::move(call));
    });
}

QueuedDispatcher::~QueuedDispatcher() {
    setMainThreadDispatcher(nullptr);
}

size_t QueuedDispatcher::pending() const {
    std::lock_guard guard(lock_);
    return calls_.size();
}

void QueuedDispatcher::pump() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard guard(lock_);
        calls.swap(calls_);
    }
    for (auto& call : calls)
        call();
}
