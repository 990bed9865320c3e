#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class TEventLoop;

namespace eventloop {
// A callback registered with a loop. The loop runs it under `lock`, so whoever
// stops it from another thread waits out a call in progress; the loop thread
// itself may stop it from inside the call.
struct TSource {
    std::recursive_mutex lock;
    bool active = true;
    std::function<void(uint32_t events)> call;
};
} // namespace eventloop

// Readiness of one descriptor, delivered on the loop thread as epoll event
// bits. Stopping (or destroying) it from any thread guarantees no further
// call once it returns.
class TLoopWatch {
public:
    ~TLoopWatch() { stop(); }
    TLoopWatch(const TLoopWatch&) = delete;
    TLoopWatch& operator=(const TLoopWatch&) = delete;
    // Changes the events watched for.
    void modify(uint32_t events);
    void stop();

private:
    friend class TEventLoop;
    TLoopWatch(TEventLoop& loop, int fd, uint64_t id, std::shared_ptr<eventloop::TSource> source)
        : loop_(loop), fd_(fd), id_(id), source_(std::move(source)) {}
    TEventLoop& loop_;
    const int fd_;
    const uint64_t id_;
    const std::shared_ptr<eventloop::TSource> source_;
};

// A deadline on the tick clock (GetTickCount); it fires once on the loop
// thread when the clock has reached it. Any thread may set or cancel it.
class TLoopTimer {
public:
    ~TLoopTimer() { stop(); }
    TLoopTimer(const TLoopTimer&) = delete;
    TLoopTimer& operator=(const TLoopTimer&) = delete;
    void setAt(uint32_t tick);
    void cancel();
    // Cancels and guarantees no further call once it returns.
    void stop();

private:
    friend class TEventLoop;
    TLoopTimer(TEventLoop& loop, uint64_t id, std::shared_ptr<eventloop::TSource> source)
        : loop_(loop), id_(id), source_(std::move(source)) {}
    TEventLoop& loop_;
    const uint64_t id_;
    const std::shared_ptr<eventloop::TSource> source_;
};

// One thread that waits in epoll for descriptors, deadlines on the tick clock,
// and calls posted from other threads. While nothing is ready and no deadline
// is due it sleeps; a test that moves its injected clock wakes it
// (tickSourceMoved), so deadlines follow the test clock without real waits.
class TEventLoop {
public:
    explicit TEventLoop(std::string name);
    // Loops are process-wide and live to the end of the process.
    ~TEventLoop() = delete;
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    // The loop every relay worker runs on.
    static TEventLoop& relay();

    // Watches `fd` and stores the watch in `into` before the first call can
    // run, so the call may use it from any thread's start.
    void watch(std::unique_ptr<TLoopWatch>& into, int fd, uint32_t events,
               std::function<void(uint32_t events)> call);
    std::unique_ptr<TLoopTimer> timer(std::function<void()> call);
    // Runs `call` on the loop thread soon; any thread.
    void post(std::function<void()> call);
    bool inLoopThread() const { return std::this_thread::get_id() == threadId_.load(); }

    // Watch events and timer firings delivered so far: the loop's wake-ups
    // for work, not counting posted calls and clock moves.
    uint64_t dispatches() const { return dispatches_.load(); }
    // Waits until the loop has run a whole pass (due timers included) after
    // this call; false when `timeoutMs` of real time passed first.
    bool settle(uint32_t timeoutMs);

private:
    friend class TLoopWatch;
    friend class TLoopTimer;
    struct TTimerEntry {
        std::shared_ptr<eventloop::TSource> source;
        bool armed = false;
        uint32_t deadline = 0;
    };

    void run();
    void wake();
    void runDueTimers();
    // Milliseconds epoll may sleep: until the earliest deadline, or -1.
    int sleepMs();
    void dispatch(uint64_t id, uint32_t events);
    void removeWatch(int fd, uint64_t id);
    void setTimer(uint64_t id, bool armed, uint32_t deadline);
    void removeTimer(uint64_t id);
    static void call(eventloop::TSource& source, uint32_t events);

    const std::string name_;
    int epoll_ = -1;
    int wake_ = -1;
    std::atomic<std::thread::id> threadId_;
    std::atomic<uint64_t> dispatches_{0};

    std::mutex lock_;
    uint64_t nextId_ = 1;
    std::unordered_map<uint64_t, std::shared_ptr<eventloop::TSource>> watches_;
    std::unordered_map<uint64_t, TTimerEntry> timers_;
    std::vector<std::function<void()>> posted_;
};
