#include "platform/tick.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {
std::mutex sourceLock;
std::shared_ptr<const TickSource> currentSource;
std::mutex listenersLock;
int lastListener = 0;
std::map<int, std::function<void()>>& listeners() {
    static auto* calls = new std::map<int, std::function<void()>>;
    return *calls;
}

uint32_t monotonicTicks() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}
} // namespace

uint32_t GetTickCount() {
    std::shared_ptr<const TickSource> source;
    {
        std::lock_guard guard(sourceLock);
        source = currentSource;
    }
    return source ? (*source)() : monotonicTicks();
}

void setTickSource(TickSource source) {
    {
        std::lock_guard guard(sourceLock);
        currentSource = source ? std::make_shared<const TickSource>(std::move(source)) : nullptr;
    }
    // Outside the source's lock: a loop's call may read the clock under a
    // lock of its own.
    tickSourceMoved();
}

void tickSourceMoved() {
    std::lock_guard guard(listenersLock);
    for (const auto& [number, call] : listeners())
        call();
}

int onTickSourceMoved(std::function<void()> call) {
    std::lock_guard guard(listenersLock);
    listeners().emplace(++lastListener, std::move(call));
    return lastListener;
}

void removeTickSourceMoved(int number) {
    std::lock_guard guard(listenersLock);
    listeners().erase(number);
}

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
