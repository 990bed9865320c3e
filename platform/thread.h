#pragma once

#include "platform/worker.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// Runs a function on the main (interface) thread. The interface installs one
// that queues the call into its event loop; tests install their own. Without a
// dispatcher a synchronized call runs on the calling thread.
using MainThreadDispatcher = std::function<void(std::function<void()>)>;
void setMainThreadDispatcher(MainThreadDispatcher dispatcher);

// Base of every worker thread. A thread is created and started by
// startThread<T>(...); while Execute runs, the thread holds a reference to its
// own object, so an owner may drop its reference right after Terminate() and
// the object is freed when Execute has returned.
class TThread : public TWorker, public std::enable_shared_from_this<TThread> {
public:
    TThread() = default;

    // Asks the thread to stop: Terminated() turns true, interruptible sleeps
    // wake, and TerminatedSet() lets the worker close what it blocks on.
    void Terminate() override;
    bool Terminated() const { return terminated_.load(); }

    // Waits until Execute has returned; false when the time ran out.
    bool WaitFor(uint32_t timeoutMs) override;
    bool Finished() const override;

    template <class T, class... Args> friend std::shared_ptr<T> startThread(Args&&... args);

protected:
    virtual void Execute() = 0;
    // Called on the terminating thread right after the flag is set.
    virtual void TerminatedSet() {}

    // Sleeps up to `ms`; returns false at once when the thread is told to stop.
    bool SleepUnlessTerminated(uint32_t ms);

    // Runs `call` on the main thread and waits until it has run. Returns false
    // without running it when the thread is told to stop first.
    bool Synchronize(const std::function<void()>& call);

private:
    void start();

    std::atomic<bool> terminated_{false};
    mutable std::mutex stateLock_;
    std::condition_variable stateChanged_;
    bool finished_ = false;
};

template <class T, class... Args> std::shared_ptr<T> startThread(Args&&... args) {
    auto thread = std::make_shared<T>(std::forward<Args>(args)...);
    static_cast<TThread&>(*thread).start();
    return thread;
}

// Number of workers still running: threads whose Execute has not yet
// returned and event-loop workers that have not finished.
int runningThreadCount();
// Waits until every worker has finished; false when the time ran out.
bool waitForAllThreads(uint32_t timeoutMs);
// Event-loop workers count themselves in and out with these.
void relayWorkerStarted();
void relayWorkerFinished();
