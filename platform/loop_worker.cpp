#include "platform/loop_worker.h"

#include "platform/thread.h"

#include <chrono>

void TLoopWorker::start() {
    relayWorkerStarted();
    loop_.post([self = shared_from_this()] {
        self->self_ = self;
        if (self->Terminated())
            self->Stopped();
        else
            self->Started();
    });
}

void TLoopWorker::Terminate() {
    if (terminated_.exchange(true))
        return;
    loop_.post([self = shared_from_this()] {
        // A worker not started yet stops when its start runs.
        if (self->self_ && !self->Finished())
            self->Stopped();
    });
}

void TLoopWorker::Finish() {
    if (!self_)
        return;
    // The worker may be deep in one of its calls: it lives until the loop is
    // past that call, even when its owners let go at once.
    loop_.post([keep = std::move(self_)] {});
    {
        std::lock_guard guard(stateLock_);
        finished_ = true;
    }
    stateChanged_.notify_all();
    relayWorkerFinished();
}

bool TLoopWorker::Finished() const {
    std::lock_guard guard(stateLock_);
    return finished_;
}

bool TLoopWorker::WaitFor(uint32_t timeoutMs) {
    std::unique_lock guard(stateLock_);
    return stateChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [this] { return finished_; });
}

std::function<void()> TLoopWorker::coalescedWake(std::function<void()> woken) {
    std::weak_ptr<TLoopWorker> self = weak_from_this();
    return [this, self, woken = std::move(woken)] {
        if (wakePending_.exchange(true))
            return;
        loop_.post([this, self, woken] {
            if (!self.lock())
                return;
            wakePending_ = false;
            woken();
        });
    };
}
