#pragma once

#include <functional>
#include <string>
#include <thread>

// Calls `onChange` whenever a pair is added to or removed from the current
// user's pair store. The callback runs on the watch's own thread; the
// destructor stops that thread and waits for it.
class TDeviceWatch {
public:
    explicit TDeviceWatch(std::function<void()> onChange);
    ~TDeviceWatch();
    TDeviceWatch(const TDeviceWatch&) = delete;
    TDeviceWatch& operator=(const TDeviceWatch&) = delete;

private:
    void run();
    bool armWatch();

    std::function<void()> onChange_;
    std::string folder_;
    int inotifyFd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
};
