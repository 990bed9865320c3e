#pragma once

#include <string>
#include <sys/types.h>

// One running program per user and settings file. The first start holds a
// lock in the user's runtime folder (beside the virtual ports); with its
// window it also listens on a Unix socket there, and a later start of the
// same user connects to it to bring that window to the front. Starts with
// another settings file do not meet: two gateways of one user can run side
// by side.
class TSingleInstance {
public:
    // Takes the lock of `settingsFile` when nobody holds it.
    explicit TSingleInstance(const std::string& settingsFile);
    // Releases the lock and removes the socket and lock files.
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // False when another process holds the lock (true also when the lock
    // could not be made at all: the start is not held back then).
    bool first() const { return !heldBack_; }
    // Not first: the process that runs (0 when it could not be told).
    pid_t runningProcess() const { return running_; }

    // First: listens for later starts. Returns the socket to watch for
    // reading, or -1 when it could not listen.
    int listen();
    // The watched socket is readable: takes the waiting start. True when it
    // came from this user, which asks for the window.
    bool takeRaiseRequest();
    // Not first: asks the running program to bring its window to the front.
    // False when it does not listen (it runs headless).
    bool askToRaise() const;

private:
    bool tryLock();

    std::string lockPath_;
    std::string socketPath_;
    int lockFd_ = -1;
    bool heldBack_ = false;
    int listenFd_ = -1;
    pid_t running_ = 0;
};
