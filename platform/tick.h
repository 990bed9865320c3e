#pragma once

#include <cstdint>
#include <functional>

// Millisecond tick counter, 32 bits wide: intervals are unsigned differences,
// so the wrap after about 49 days is harmless.
uint32_t GetTickCount();

// Tests replace the clock; an empty function restores the monotonic clock.
using TickSource = std::function<uint32_t()>;
void setTickSource(TickSource source);
// A test clock calls this after it moved; event loops then look at their
// deadlines again instead of sleeping on real time.
void tickSourceMoved();
// Registers a call made on every move of the clock and every change of its
// source, for event loops; returns its number for removeTickSourceMoved. The
// calls run outside the clock's own lock.
int onTickSourceMoved(std::function<void()> call);
// Removes a call; once this returns, the call is not running and never runs
// again.
void removeTickSourceMoved(int number);

// Milliseconds elapsed from `since` to now, wrap-safe.
inline uint32_t ticksSince(uint32_t since) {
    return GetTickCount() - since;
}

void Sleep(uint32_t milliseconds);
