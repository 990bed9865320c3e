#pragma once

#include <mutex>

// A plain mutual-exclusion lock with the Acquire/Release vocabulary of the
// program; it also satisfies BasicLockable for std::lock_guard.
class TCriticalSection {
public:
    void Acquire() { mutex_.lock(); }
    void Release() { mutex_.unlock(); }
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};
