#include "platform/tick.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace {
std::mutex sourceLock;
std::shared_ptr<const TickSource> currentSource;

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
}

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
