#include "platform/event_loop.h"

#include "platform/tick.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
constexpr int maxEventsPerWait = 64;
} // namespace

TEventLoop& TEventLoop::relay() {
    static auto* loop = new TEventLoop("relay");
    return *loop;
}

TEventLoop::TEventLoop(std::string name) : name_(std::move(name)) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0)
        throw std::runtime_error("Cannot start the " + name_ + " loop: " + std::strerror(errno));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0; // id 0 is the wake descriptor
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    onTickSourceMoved([this] { wake(); });
    std::thread thread([this] { run(); });
    threadId_ = thread.get_id();
    thread.detach();
}

void TEventLoop::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
}

void TEventLoop::watch(std::unique_ptr<TLoopWatch>& into, int fd, uint32_t events,
                       std::function<void(uint32_t)> call) {
    auto source = std::make_shared<eventloop::TSource>();
    source->call = std::move(call);
    std::lock_guard hold(source->lock); // no call before `into` is set
    uint64_t id;
    {
        std::lock_guard guard(lock_);
        id = nextId_++;
        watches_[id] = source;
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int error = errno;
        std::lock_guard guard(lock_);
        watches_.erase(id);
        throw std::runtime_error("Cannot watch a descriptor: " + std::string(std::strerror(error)));
    }
    into.reset(new TLoopWatch(*this, fd, id, source));
}

std::unique_ptr<TLoopTimer> TEventLoop::timer(std::function<void()> call) {
    auto source = std::make_shared<eventloop::TSource>();
    source->call = [call = std::move(call)](uint32_t) { call(); };
    uint64_t id;
    {
        std::lock_guard guard(lock_);
        id = nextId_++;
        timers_[id].source = source;
    }
    return std::unique_ptr<TLoopTimer>(new TLoopTimer(*this, id, std::move(source)));
}

void TEventLoop::post(std::function<void()> call) {
    {
        std::lock_guard guard(lock_);
        posted_.push_back(std::move(call));
    }
    wake();
}

bool TEventLoop::settle(uint32_t timeoutMs) {
    struct Marker {
        std::mutex lock;
        std::condition_variable done;
        bool passed = false;
    };
    auto marker = std::make_shared<Marker>();
    // The second call runs in the pass after the one that ran the first, so
    // the timers of a whole pass have run by then.
    post([this, marker] {
        post([marker] {
            std::lock_guard guard(marker->lock);
            marker->passed = true;
            marker->done.notify_all();
        });
    });
    std::unique_lock guard(marker->lock);
    return marker->done.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return marker->passed; });
}

void TEventLoop::call(eventloop::TSource& source, uint32_t events) {
    std::lock_guard guard(source.lock);
    if (!source.active)
        return;
    try {
        source.call(events);
    } catch (...) {
        // A worker reports its errors through its record; the loop goes on.
    }
}

void TEventLoop::dispatch(uint64_t id, uint32_t events) {
    std::shared_ptr<eventloop::TSource> source;
    {
        std::lock_guard guard(lock_);
        const auto found = watches_.find(id);
        if (found == watches_.end())
            return;
        source = found->second;
    }
    dispatches_.fetch_add(1);
    call(*source, events);
}

void TEventLoop::runDueTimers() {
    std::vector<std::shared_ptr<eventloop::TSource>> due;
    {
        const uint32_t now = GetTickCount();
        std::lock_guard guard(lock_);
        for (auto& [id, entry] : timers_) {
            if (entry.armed && static_cast<int32_t>(now - entry.deadline) >= 0) {
                entry.armed = false;
                due.push_back(entry.source);
            }
        }
    }
    for (const auto& source : due) {
        dispatches_.fetch_add(1);
        call(*source, 0);
    }
}

int TEventLoop::sleepMs() {
    const uint32_t now = GetTickCount();
    std::lock_guard guard(lock_);
    if (!posted_.empty())
        return 0;
    int64_t earliest = -1;
    for (const auto& [id, entry] : timers_) {
        if (!entry.armed)
            continue;
        const int64_t left = std::max<int32_t>(0, static_cast<int32_t>(entry.deadline - now));
        if (earliest < 0 || left < earliest)
            earliest = left;
    }
    return static_cast<int>(std::min<int64_t>(earliest, INT_MAX));
}

void TEventLoop::run() {
    for (;;) {
        runDueTimers();
        epoll_event events[maxEventsPerWait];
        const int ready = epoll_wait(epoll_, events, maxEventsPerWait, sleepMs());
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.u64 == 0) {
                uint64_t count;
                [[maybe_unused]] auto got = ::read(wake_, &count, sizeof count);
                continue;
            }
            dispatch(events[i].data.u64, events[i].events);
        }
        std::vector<std::function<void()>> calls;
        {
            std::lock_guard guard(lock_);
            calls.swap(posted_);
        }
        for (auto& posted : calls) {
            try {
                posted();
            } catch (...) {
            }
        }
    }
}

void TEventLoop::removeWatch(int fd, uint64_t id) {
    {
        std::lock_guard guard(lock_);
        watches_.erase(id);
    }
    // The descriptor may be closed already, which removed it from the set.
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void TEventLoop::setTimer(uint64_t id, bool armed, uint32_t deadline) {
    {
        std::lock_guard guard(lock_);
        const auto found = timers_.find(id);
        if (found == timers_.end())
            return;
        found->second.armed = armed;
        found->second.deadline = deadline;
    }
    // The loop thread computes its sleep after every pass; others wake it.
    if (armed && !inLoopThread())
        wake();
}

void TEventLoop::removeTimer(uint64_t id) {
    std::lock_guard guard(lock_);
    timers_.erase(id);
}

void TLoopWatch::modify(uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = id_;
    epoll_ctl(loop_.epoll_, EPOLL_CTL_MOD, fd_, &event);
}

void TLoopWatch::stop() {
    {
        std::lock_guard guard(source_->lock);
        if (!source_->active)
            return;
        source_->active = false;
    }
    loop_.removeWatch(fd_, id_);
}

void TLoopTimer::setAt(uint32_t tick) {
    loop_.setTimer(id_, true, tick);
}

void TLoopTimer::cancel() {
    loop_.setTimer(id_, false, 0);
}

void TLoopTimer::stop() {
    {
        std::lock_guard guard(source_->lock);
        if (!source_->active)
            return;
        source_->active = false;
    }
    loop_.removeTimer(id_);
}
