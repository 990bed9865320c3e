#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

// The event loop of the thread that owns a tunnel controller. Other threads
// hand calls over through post(); the calls wait in a locked queue, so the
// thread checker sees every hand-over. A front runs the loop itself (run) or
// pumps it from its own event loop (runPending, with a wake-up hook and the
// time of the next timer).
class TControllerLoop {
public:
    TControllerLoop();
    ~TControllerLoop();
    TControllerLoop(const TControllerLoop&) = delete;
    TControllerLoop& operator=(const TControllerLoop&) = delete;

    // Any thread: queues `call` to run on the loop's thread, in posting order.
    void post(std::function<void()> call);
    // Any thread: called after every post and timer change, so a foreign
    // event loop can schedule runPending. Runs under the loop's lock: it must
    // only queue, never block or call the loop.
    void setWakeup(std::function<void()> wakeup);

    // Loop thread: (re)starts the single-shot timer `id`, due `delayMs` ticks
    // of GetTickCount from now.
    void startTimer(int id, uint32_t delayMs, std::function<void()> call);
    void stopTimer(int id);
    bool timerActive(int id) const;
    // Ticks until the next timer is due (0 when due), or -1 without timers.
    int64_t msUntilNextTimer() const;

    // Loop thread: runs the calls queued so far and the timers that are due;
    // returns how many ran. Does nothing when called from inside a call.
    size_t runPending();
    // Loop thread: runs until quit(), waiting for posts and timers.
    void run();
    // Any thread.
    void quit();

private:
    void wake();

    mutable std::mutex lock_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> calls_;
    std::function<void()> wakeup_;
    bool quit_ = false;
    // A test moved the tick clock: the timers are looked at again.
    bool clockMoved_ = false;
    int clockListener_ = 0;
    bool running_ = false; // loop thread only

    struct Timer {
        uint32_t start = 0;
        uint32_t delay = 0;
        std::function<void()> call;
    };
    std::map<int, Timer> timers_; // loop thread only
};
