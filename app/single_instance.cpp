#include "app/single_instance.h"

#include "driver/pair_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool fillAddress(sockaddr_un& address, const std::string& path) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

TSingleInstance::TSingleInstance(const std::string& settingsFile) {
    std::string folder;
    try {
        folder = runtimeFolder();
        ensurePrivateFolder(folder);
    } catch (const std::exception&) {
        return; // without a private folder the start is not held back
    }
    char name[40];
    std::snprintf(name, sizeof name, "/instance-%016zx", std::hash<std::string>{}(settingsFile));
    lockPath_ = folder + name + ".lock";
    socketPath_ = folder + name + ".sock";
    // A holder that ends removes the file: a lock taken on a removed file is
    // taken again on the new one.
    for (int attempt = 0; attempt < 3 && !tryLock(); ++attempt) {
    }
}

bool TSingleInstance::tryLock() {
    const int fd = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true; // nothing to hold: the start goes on
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[24] = {};
        const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
        long pid = 0;
        if (got > 0 && std::sscanf(text, "%ld", &pid) == 1 && pid > 0)
            running_ = static_cast<pid_t>(pid);
        ::close(fd);
        heldBack_ = true;
        return true;
    }
    struct stat held {
    }, named{};
    if (::fstat(fd, &held) != 0 || ::stat(lockPath_.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
        ::close(fd);
        return false;
    }
    // Without the process id a later start just cannot name this one.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    lockFd_ = fd;
    return true;
}

TSingleInstance::~TSingleInstance() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    if (lockFd_ >= 0) {
        ::unlink(lockPath_.c_str());
        ::close(lockFd_);
    }
}

int TSingleInstance::listen() {
    sockaddr_un address;
    if (lockFd_ < 0 || listenFd_ >= 0 || !fillAddress(address, socketPath_))
        return listenFd_;
    // A socket left by a program that did not end cleanly; the lock says
    // nobody uses it.
    ::unlink(socketPath_.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    listenFd_ = fd;
    return fd;
}

bool TSingleInstance::takeRaiseRequest() {
    const int peer = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0)
        return false;
    // The folder is private already; the peer's user is checked all the same.
    ucred credentials{};
    socklen_t size = sizeof credentials;
    const bool sameUser = ::getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
                          credentials.uid == ::getuid();
    ::close(peer);
    return sameUser;
}

bool TSingleInstance::askToRaise() const {
    sockaddr_un address;
    if (first() || socketPath_.empty() || !fillAddress(address, socketPath_))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // A Unix socket connects at once or fails at once.
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}
