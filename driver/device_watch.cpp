#include "driver/device_watch.h"

#include "driver/pair_store.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Events that change the list: the store replaced, written or deleted.
constexpr uint32_t storeEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;

bool concernsStore(const inotify_event& event) {
    if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW))
        return true;
    return event.len > 0 && std::strcmp(event.name, "pairs") == 0;
}

} // namespace

TDeviceWatch::TDeviceWatch(std::function<void()> onChange) : onChange_(std::move(onChange)) {
    try {
        folder_ = pairStoreFolder();
    } catch (const EPairStore&) {
        return; // no home folder: there is no store to watch
    }
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotifyFd_ < 0 || stopFd_ < 0 || !armWatch())
        return; // without a watch, pairs changed by others go unnoticed until the next refresh
    thread_ = std::thread([this] { run(); });
}

TDeviceWatch::~TDeviceWatch() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (inotifyFd_ >= 0)
        ::close(inotifyFd_);
    if (stopFd_ >= 0)
        ::close(stopFd_);
}

// Watches the store's folder, creating it when it does not exist yet.
bool TDeviceWatch::armWatch() {
    try {
        ensurePrivateFolder(folder_);
    } catch (const EPairStore&) {
        return false;
    }
    return inotify_add_watch(inotifyFd_, folder_.c_str(), storeEvents) >= 0;
}

void TDeviceWatch::run() {
    for (;;) {
        pollfd waits[2] = {{stopFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR)
            return;
        if (waits[0].revents)
            return;
        if (!waits[1].revents)
            continue;
        alignas(inotify_event) char buffer[4096];
        const ssize_t n = ::read(inotifyFd_, buffer, sizeof buffer);
        bool changed = false;
        bool folderGone = false;
        for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            changed = changed || concernsStore(*event);
            folderGone = folderGone || (event->mask & IN_IGNORED);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        // A deleted folder ends its watch; the next addCom creates it again.
        if (folderGone && !armWatch())
            return;
        if (changed) {
            try {
                onChange_();
            } catch (...) {
                // The receiver reports its own errors.
            }
        }
    }
}
