#include "platform/thread.h"

#include <chrono>
#include <thread>

namespace {
std::mutex dispatcherLock;
MainThreadDispatcher currentDispatcher;

// Detached workers may still finish while the process exits, so the
// bookkeeping they touch last is never destroyed.
struct RunningThreads {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
};
RunningThreads& running() {
    static auto* threads = new RunningThreads;
    return *threads;
}

constexpr auto terminationPollInterval = std::chrono::milliseconds(20);
} // namespace

void setMainThreadDispatcher(MainThreadDispatcher dispatcher) {
    std::lock_guard guard(dispatcherLock);
    currentDispatcher = std::move(dispatcher);
}

void TThread::start() {
    {
        std::lock_guard guard(running().lock);
        ++running().count;
    }
    std::thread([self = shared_from_this()]() mutable {
        try {
            self->Execute();
        } catch (...) {
            // A worker reports its errors through its record; nothing escapes.
        }
        {
            std::lock_guard guard(self->stateLock_);
            self->finished_ = true;
            self->stateChanged_.notify_all();
        }
        self.reset();
        std::lock_guard guard(running().lock);
        --running().count;
        running().changed.notify_all();
    }).detach();
}

void TThread::Terminate() {
    {
        std::lock_guard guard(stateLock_);
        terminated_.store(true);
    }
    stateChanged_.notify_all();
    TerminatedSet();
}

bool TThread::Finished() const {
    std::lock_guard guard(stateLock_);
    return finished_;
}

bool TThread::WaitFor(uint32_t timeoutMs) {
    std::unique_lock guard(stateLock_);
    return stateChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [this] { return finished_; });
}

bool TThread::SleepUnlessTerminated(uint32_t ms) {
    std::unique_lock guard(stateLock_);
    return !stateChanged_.wait_for(guard, std::chrono::milliseconds(ms),
                                   [this] { return terminated_.load(); });
}

bool TThread::Synchronize(const std::function<void()>& call) {
    MainThreadDispatcher dispatcher;
    {
        std::lock_guard guard(dispatcherLock);
        dispatcher = currentDispatcher;
    }
    if (!dispatcher) {
        call();
        return true;
    }
    // Shared with the queued call, which may run after this thread gave up.
    struct Handoff {
        std::mutex lock;
        std::condition_variable done;
        bool ran = false;
        bool cancelled = false;
        std::function<void()> call;
    };
    auto handoff = std::make_shared<Handoff>();
    handoff->call = call;
    dispatcher([handoff] {
        std::lock_guard guard(handoff->lock);
        if (handoff->cancelled)
            return;
        handoff->call();
        handoff->ran = true;
        handoff->done.notify_all();
    });
    std::unique_lock guard(handoff->lock);
    while (!handoff->ran) {
        if (Terminated()) {
            handoff->cancelled = true;
            return false;
        }
        handoff->done.wait_for(guard, terminationPollInterval);
    }
    return true;
}

void relayWorkerStarted() {
    std::lock_guard guard(running().lock);
    ++running().count;
}

void relayWorkerFinished() {
    std::lock_guard guard(running().lock);
    --running().count;
    running().changed.notify_all();
}

int runningThreadCount() {
    std::lock_guard guard(running().lock);
    return running().count;
}

bool waitForAllThreads(uint32_t timeoutMs) {
    std::unique_lock guard(running().lock);
    return running().changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                      [] { return running().count == 0; });
}
