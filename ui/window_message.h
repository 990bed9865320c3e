#pragma once

#include "platform/messages.h"

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

// Calls queued from any thread and run on the interface thread, one per turn
// of the event loop, in order. The calls wait here, under a lock of our own,
// rather than inside Qt events, so the thread checker sees every hand-over.
class TCallQueue : public QObject {
    Q_OBJECT
public:
    // Any thread.
    void post(std::function<void()> call);
    Q_INVOKABLE void runNext();
    // Drops the calls not yet run.
    void clear();

private:
    std::mutex lock_;
    std::deque<std::function<void()>> calls_;
};

// The window handle of an interface object: messages posted to it from any
// thread reach `handler` on the interface thread, in posting order. Declare it
// as the last member of the object, so the handle is gone before the rest is.
class TWindowHandle {
public:
    explicit TWindowHandle(std::function<void(uint32_t message)> handler);
    ~TWindowHandle();
    TWindowHandle(const TWindowHandle&) = delete;
    TWindowHandle& operator=(const TWindowHandle&) = delete;
    HWND get() const { return handle_; }

private:
    const std::function<void(uint32_t message)> handler_;
    TCallQueue deliveries_;
    HWND handle_;
};
