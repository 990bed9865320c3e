#include "platform/tick.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {
std::mutex sourceLock;
std::shared_ptr<const TickSource> currentSource;
std::mutex listenersLock;
std::vector<std::function<void()>>& listeners() {
    static auto* calls = new std::vector<std::function<void()>>;
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
    std::lock_guard guard(sourceLock);
    currentSource = source ? std::make_shared<const TickSource>(std::move(source)) : nullptr;
    tickSourceMoved();
}

void tickSourceMoved() {
    std::lock_guard guard(listenersLock);
    for (const auto& call : listeners())
        call();
}

void onTickSourceMoved(std::function<void()> call) {
    std::lock_guard guard(listenersLock);
    listeners().push_back(std::move(call));
}

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
