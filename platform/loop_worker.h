#pragma once

#include "platform/event_loop.h"
#include "platform/worker.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

// A relay worker that is a state machine on an event loop instead of a thread:
// it reacts to readiness, wakes and its own deadlines, and holds a reference
// to itself from start until it has finished, so an owner may drop its
// reference right after Terminate().
class TLoopWorker : public TWorker, public std::enable_shared_from_this<TLoopWorker> {
public:
    explicit TLoopWorker(TEventLoop& loop) : loop_(loop) {}

    // Any thread: the loop calls Stopped() soon, unless the worker has ended.
    void Terminate() override;
    bool Finished() const override;
    bool WaitFor(uint32_t timeoutMs) override;

    template <class T, class... Args> friend std::shared_ptr<T> startLoopWorker(Args&&... args);

protected:
    TEventLoop& loop() { return loop_; }
    bool Terminated() const { return terminated_.load(); }
    // On the loop: the worker begins.
    virtual void Started() = 0;
    // On the loop, once, after Terminate(): release everything, report the
    // final state, then call Finish().
    virtual void Stopped() = 0;
    // On the loop: the worker is done; it is freed when its owners let go.
    void Finish();
    // A call for other threads that asks for one run of `woken` on the loop;
    // calls made while one is on its way add nothing. The worker must drop
    // the call before it finishes.
    std::function<void()> coalescedWake(std::function<void()> woken);

private:
    void start();

    TEventLoop& loop_;
    std::shared_ptr<TLoopWorker> self_; // loop thread only
    std::atomic<bool> terminated_{false};
    std::atomic<bool> wakePending_{false};
    mutable std::mutex stateLock_;
    std::condition_variable stateChanged_;
    bool finished_ = false;
};

template <class T, class... Args> std::shared_ptr<T> startLoopWorker(Args&&... args) {
    auto worker = std::make_shared<T>(std::forward<Args>(args)...);
    static_cast<TLoopWorker&>(*worker).start();
    return worker;
}
