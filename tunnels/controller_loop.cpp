#include "tunnels/controller_loop.h"

#include "platform/tick.h"

#include <chrono>

TControllerLoop::TControllerLoop() {
    clockListener_ = onTickSourceMoved([this] {
        {
            std::lock_guard guard(lock_);
            clockMoved_ = true;
        }
        posted_.notify_one();
        wake();
    });
}

TControllerLoop::~TControllerLoop() {
    removeTickSourceMoved(clockListener_);
}

void TControllerLoop::post(std::function<void()> call) {
    {
        std::lock_guard guard(lock_);
        calls_.push_back(std::move(call));
    }
    posted_.notify_one();
    wake();
}

void TControllerLoop::setWakeup(std::function<void()> wakeup) {
    std::lock_guard guard(lock_);
    wakeup_ = std::move(wakeup);
}

void TControllerLoop::wake() {
    // Called under the lock, so no call reaches a front after it removed
    // its hook.
    std::lock_guard guard(lock_);
    if (wakeup_)
        wakeup_();
}

void TControllerLoop::startTimer(int id, uint32_t delayMs, std::function<void()> call) {
    timers_[id] = Timer{GetTickCount(), delayMs, std::move(call)};
    wake();
}

void TControllerLoop::stopTimer(int id) {
    timers_.erase(id);
}

bool TControllerLoop::timerActive(int id) const {
    return timers_.count(id) != 0;
}

int64_t TControllerLoop::msUntilNextTimer() const {
    int64_t next = -1;
    for (const auto& [id, timer] : timers_) {
        const uint32_t elapsed = ticksSince(timer.start);
        const int64_t left = elapsed >= timer.delay ? 0 : timer.delay - elapsed;
        if (next < 0 || left < next)
            next = left;
    }
    return next;
}

size_t TControllerLoop::runPending() {
    // A call that waits with a nested loop of a front (installing a pair)
    // must not run the next calls inside itself.
    if (running_)
        return 0;
    running_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{running_};
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard guard(lock_);
        calls.swap(calls_);
    }
    size_t ran = calls.size();
    for (auto& call : calls)
        call();
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (ticksSince(it->second.start) < it->second.delay) {
            ++it;
            continue;
        }
        const std::function<void()> call = std::move(it->second.call);
        timers_.erase(it);
        call();
        ++ran;
        it = timers_.begin(); // the call may have changed the timers
    }
    // Calls queued while a nested pump was refused still need a turn.
    bool left;
    {
        std::lock_guard guard(lock_);
        left = !calls_.empty();
    }
    if (left)
        wake();
    return ran;
}

void TControllerLoop::run() {
    for (;;) {
        runPending();
        std::unique_lock guard(lock_);
        if (quit_) {
            quit_ = false;
            return;
        }
        if (!calls_.empty())
            continue;
        // Sleeps until a call, the next timer, or a move of a test's clock.
        const int64_t next = msUntilNextTimer();
        const auto woken = [this] { return quit_ || !calls_.empty() || clockMoved_; };
        if (next < 0)
            posted_.wait(guard, woken);
        else
            posted_.wait_for(guard, std::chrono::milliseconds(next), woken);
        clockMoved_ = false;
    }
}

void TControllerLoop::quit() {
    {
        std::lock_guard guard(lock_);
        quit_ = true;
    }
    posted_.notify_one();
    wake();
}
