#include "driver/pair_host.h"

#include "driver/line_settings.h"
#include "driver/pair_store.h"
#include "platform/event_loop.h"
#include "platform/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint8_t reportEscapedChar = 0x00;
constexpr uint8_t reportLineStatus = 0x02;
constexpr uint8_t reportModemStatus = 0x03;
constexpr uint8_t reportBaudRate = 0x10;
constexpr uint8_t reportLineControl = 0x11;

constexpr uint32_t optionLineStatus = 0x00000001;
constexpr uint32_t optionModemStatus = 0x00000002;
constexpr uint32_t optionBaudRate = 0x00000100;
constexpr uint32_t optionLineControl = 0x00000200;
constexpr uint32_t optionImmediateState = 0x01000000;

// Line status of an idle port: transmitter empty.
constexpr uint8_t lineStatusIdle = 0x60;
// Modem status while the user's program has the port open: CTS and DSR.
constexpr uint8_t modemStatusOpened = 0x30;
constexpr uint8_t modemStatusClosed = 0x00;

constexpr char signature[4] = {'c', '0', 'c', '\0'};

// Bytes queued for a hidden side that does not read; beyond this the user's
// program is held back by the pty instead.
constexpr size_t hiddenBacklogLimit = 64 * 1024;
// Taken from the pty at a close, whatever the hidden side's backlog; only a
// program that opens and floods the port at once can reach it.
constexpr size_t closingBacklogLimit = 4 * 1024 * 1024;
constexpr auto attachWaitLimit = std::chrono::seconds(5);

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void appendLe32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

class TPairPty;

// The loop that serves every hosted pair: their ptys, their hidden sides and
// the one inotify instance that watches all of them.
TEventLoop& hostLoop() {
    static auto* loop = new TEventLoop("pair host");
    return *loop;
}

// One inotify instance for every pair: the kernel allows a user only a few
// instances, while watches are plentiful. Pairs register the watch of their
// slave node and of their store folder; the loop hands each event on.
class TPairWatches {
public:
    TPairWatches();
    // Returns the watch descriptor, or -1 with errno set.
    int add(const std::string& path, uint32_t mask, const std::shared_ptr<TPairPty>& pair);
    void remove(int wd, const TPairPty* pair);
    // Hands every event queued so far to its pairs; pair loop only. A pair
    // calls it before taking the user's bytes, so that an open or close
    // the kernel reported before those bytes is seen before them.
    void takePendingEvents();

private:
    void readEvents();
    void finishTouched();

    std::mutex lock_;
    int inotify_ = -1;
    int initError_ = 0;
    std::unique_ptr<TLoopWatch> watch_;
    std::map<int, std::vector<std::weak_ptr<TPairPty>>> listeners_;
    // Pair loop only.
    bool taking_ = false;
    std::vector<std::shared_ptr<TPairPty>> touched_;
};

TPairWatches& pairWatches() {
    static auto* watches = new TPairWatches;
    return *watches;
}

// Every pty this process hosts, by pair store and pair number.
struct THostedPairs {
    std::mutex lock;
    std::map<std::pair<std::string, int>, std::shared_ptr<TPairPty>> ptys;
};

THostedPairs& hosted() {
    // Never destroyed: host threads and the exit handler may use it to the end.
    static auto* pairs = new THostedPairs;
    return *pairs;
}

// One pair: the pty master, a slave descriptor of our own (so the pty never
// hangs up and stale input can be flushed), the watch on the slave node and
// on the store, and the host thread that moves the bytes.
class TPairPty : public std::enable_shared_from_this<TPairPty> {
public:
    TPairPty(int number, std::string storeFile)
        : number_(number), storeFile_(std::move(storeFile)),
          storeFolder_(storeFile_.substr(0, storeFile_.rfind('/'))),
          linkPath_(userFacingPortPath(number)), hiddenName_(hiddenPortName(number)) {}
    ~TPairPty() { closeAll(); }

    void start();
    std::unique_ptr<TSerialDevice> attach();
    // An event of a watch this pair registered; pair loop only.
    void watchEvent(const inotify_event& event);
    // The events of one read from the watches are in; pair loop only.
    void watchEventsDone();
    void detach(uint64_t generation);
    bool control(uint64_t generation, uint32_t code, const std::vector<uint8_t>& input,
                 std::vector<uint8_t>& output);
    bool removed() {
        std::lock_guard guard(lock_);
        return removed_;
    }
    void unpublish();

private:
    // One round of moving bytes after any event; pair loop only.
    void serve();
    void updateInterest();
    void reconcileHiddenSide();
    void readHiddenSide();
    bool readMaster();
    void userSideChanged(bool open);
    void settingsChanged();
    void flushQueues();
    void drainMaster();
    void tearDown();
    void closeAll();
    void detachLocked(uint64_t generation);
    void signalLocked();
    void appendReportLocked(std::string& out, uint8_t code, const std::string& payload) const;
    std::string stateReportLocked() const;

    const int number_;
    const std::string storeFile_;
    const std::string storeFolder_;
    const std::string linkPath_;
    const std::string hiddenName_;
    std::string slavePath_;

    int master_ = -1;
    int slaveHold_ = -1;
    int slaveWatch_ = -1;
    int storeWatch_ = -1;
    int lockFile_ = -1;
    std::string lockPath_;
    bool lockHeld_ = false; // set once in start()

    // Pair loop only.
    std::unique_ptr<TLoopWatch> masterWatch_;
    std::unique_ptr<TLoopWatch> activeWatch_;
    uint32_t masterInterest_ = 0;
    uint32_t activeInterest_ = 0;
    bool storeChanged_ = false;
    bool tornDown_ = false;
    int activeFd_ = -1;
    uint64_t activeGeneration_ = 0;
    int slaveOpens_ = 0;
    std::string toHidden_;
    std::string toMaster_;

    // Shared with the hidden side's callers, under lock_.
    std::mutex lock_;
    std::condition_variable changed_;
    bool removed_ = false;
    bool attached_ = false;
    uint64_t generation_ = 0;
    uint64_t ackedGeneration_ = 0;
    int pendingFd_ = -1;
    uint8_t escape_ = 0;
    uint32_t options_ = 0;
    bool slaveOpen_ = false;
    TLineSettings settings_;
};

// The hidden side as the serial component holds it: one end of a socket
// pair whose other end the pair loop serves.
class TPairDevice : public TSerialDevice {
public:
    TPairDevice(int fd, std::shared_ptr<TPairPty> pty, uint64_t generation)
        : fd_(fd), pty_(std::move(pty)), generation_(generation) {}
    ~TPairDevice() override {
        pty_->detach(generation_);
        ::close(fd_);
    }
    int fd() const override { return fd_; }
    bool DeviceIoControl(uint32_t code, const std::vector<uint8_t>& input,
                         std::vector<uint8_t>& output) override {
        return pty_->control(generation_, code, input, output);
    }

private:
    int fd_;
    std::shared_ptr<TPairPty> pty_;
    uint64_t generation_;
};

void TPairPty::start() {
    const std::string folder = runtimeFolder();
    try {
        ensurePrivateFolder(folder);
    } catch (const EPairStore& error) {
        throw EComPort(hiddenName_ + ": " + error.what());
    }
    // One program at a time hosts a pair. The host that lets go removes the
    // lock file, so a lock taken on a file that is no longer at its path is
    // taken again on the file that is.
    lockPath_ = linkPath_ + ".lock";
    // A host of this process that is still tearing the pair down after its
    // removal lets go within moments; another program's host does not.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!lockHeld_) {
        if (lockFile_ < 0) {
            lockFile_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (lockFile_ < 0)
                throw EComPort(errnoText(hiddenName_ + ": cannot open " + lockPath_, errno));
        }
        if (flock(lockFile_, LOCK_EX | LOCK_NB) == 0) {
            struct stat held {
            }, atPath{};
            if (fstat(lockFile_, &held) == 0 && ::lstat(lockPath_.c_str(), &atPath) == 0 &&
                held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino) {
                lockHeld_ = true;
                break;
            }
            closeFd(lockFile_);
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            throw EComPort(hiddenName_ + ": pair " + std::to_string(number_) +
                           " is in use by another program");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
        throw EComPort(errnoText(hiddenName_ + ": cannot create a pseudo-terminal", errno));
    slavePath_ = name;
    bool notices = false;
    const int one = 1;
    if (!setFreshPortSettings(master_) || ioctl(master_, TIOCPKT, &one) != 0 ||
        !readLineSettings(master_, settings_, notices))
        throw EComPort(errnoText(hiddenName_ + ": cannot set up the pseudo-terminal", errno));
    slaveHold_ = ioctl(master_, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveHold_ < 0)
        throw EComPort(errnoText(hiddenName_ + ": cannot open the pseudo-terminal", errno));

    // Watched from here on, every open and close of the slave is the user's.
    slaveWatch_ = pairWatches().add(slavePath_, IN_OPEN | IN_CLOSE, shared_from_this());
    storeWatch_ = pairWatches().add(storeFolder_,
                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                        IN_DELETE_SELF | IN_MOVE_SELF,
                                    shared_from_this());
    if (slaveWatch_ < 0 || storeWatch_ < 0)
        throw EComPort(errnoText(hiddenName_ + ": cannot watch the pseudo-terminal", errno));

    // Publish the slave: a link made beside the old one and renamed over it.
    const std::string temp =
        linkPath_ + ".new" + std::to_string(getpid()) + "-" + std::to_string(master_);
    ::unlink(temp.c_str());
    if (::symlink(slavePath_.c_str(), temp.c_str()) != 0 ||
        ::rename(temp.c_str(), linkPath_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw EComPort(errnoText(hiddenName_ + ": cannot create " + linkPath_, error));
    }
    hostLoop().post([self = shared_from_this()] {
        hostLoop().watch(self->masterWatch_, self->master_, 0,
                         [self = self.get()](uint32_t) { self->serve(); });
        self->serve();
    });
}

std::unique_ptr<TSerialDevice> TPairPty::attach() {
    std::unique_lock guard(lock_);
    if (removed_)
        throw EComPort(hiddenName_ + ": the pair was removed");
    if (attached_)
        throw EComPort(hiddenName_ + ": the port is already open");
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
        throw EComPort(errnoText(hiddenName_ + ": cannot open the port", errno));
    attached_ = true;
    escape_ = 0;
    options_ = 0;
    const uint64_t generation = ++generation_;
    pendingFd_ = ends[1];
    signalLocked();
    // The host takes the new side over and drops what the user's program
    // wrote before this open.
    const bool taken = changed_.wait_for(
        guard, attachWaitLimit, [&] { return removed_ || ackedGeneration_ >= generation; });
    if (!taken || removed_) {
        detachLocked(generation);
        ::close(ends[0]);
        throw EComPort(hiddenName_ +
                       (removed_ ? ": the pair was removed" : ": the pair host does not answer"));
    }
    return std::make_unique<TPairDevice>(ends[0], shared_from_this(), generation);
}

void TPairPty::detach(uint64_t generation) {
    std::lock_guard guard(lock_);
    detachLocked(generation);
}

void TPairPty::detachLocked(uint64_t generation) {
    if (removed_ || generation != generation_)
        return;
    closeFd(pendingFd_); // not taken over by the host yet
    attached_ = false;
    escape_ = 0;
    options_ = 0;
    ++generation_;
    signalLocked();
}

void TPairPty::signalLocked() {
    if (removed_)
        return;
    hostLoop().post([self = shared_from_this()] { self->serve(); });
}

void TPairPty::appendReportLocked(std::string& out, uint8_t code,
                                  const std::string& payload) const {
    out += static_cast<char>(escape_);
    out += static_cast<char>(code);
    out += payload;
}

std::string TPairPty::stateReportLocked() const {
    std::string report;
    if (options_ & optionLineStatus)
        appendReportLocked(report, reportLineStatus, std::string(1, char(lineStatusIdle)));
    if (options_ & optionModemStatus)
        appendReportLocked(
            report, reportModemStatus,
            std::string(1, char(slaveOpen_ ? modemStatusOpened : modemStatusClosed)));
    if (options_ & optionBaudRate) {
        std::string rate;
        appendLe32(rate, settings_.baudRate);
        appendReportLocked(report, reportBaudRate, rate);
    }
    if (options_ & optionLineControl)
        appendReportLocked(
            report, reportLineControl,
            {char(settings_.byteSize), char(settings_.parity), char(settings_.stopBits)});
    return report;
}

bool TPairPty::control(uint64_t generation, uint32_t code, const std::vector<uint8_t>& input,
                       std::vector<uint8_t>& output) {
    if (code != pairInsertRequest || input.size() != 9 ||
        std::memcmp(input.data() + 1, signature, sizeof signature) != 0)
        return false;
    const uint32_t mask = uint32_t(input[5]) | uint32_t(input[6]) << 8 | uint32_t(input[7]) << 16 |
                          uint32_t(input[8]) << 24;
    std::lock_guard guard(lock_);
    if (removed_ || generation != generation_)
        return false;
    if (mask & pairCapabilityQuery) {
        if (output.size() < 8)
            return false;
        std::string answer(signature, sizeof signature);
        appendLe32(answer, pairOfferedOptions);
        output.assign(answer.begin(), answer.end());
        return true;
    }
    const uint8_t oldEscape = escape_;
    const uint32_t oldOptions = options_;
    escape_ = input[0];
    options_ = mask & pairOfferedOptions;
    std::string report;
    if (escape_ != 0 && (options_ & optionImmediateState))
        report = stateReportLocked();
    if (report.size() > output.size()) {
        // The caller's buffer cannot take the state: refuse, change nothing.
        escape_ = oldEscape;
        options_ = oldOptions;
        return false;
    }
    output.assign(report.begin(), report.end());
    return true;
}

void TPairPty::unpublish() {
    char target[256];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath_)
        ::unlink(linkPath_.c_str());
    // Removed while still held, so no other host can hold it at that moment.
    if (lockHeld_)
        ::unlink(lockPath_.c_str());
}

void TPairPty::serve() {
    if (tornDown_)
        return;
    reconcileHiddenSide();
    // The hidden side's bytes before the watches: what it wrote before the
    // user's program opened the port is dropped, never delivered late.
    if (activeFd_ >= 0 && toMaster_.empty())
        readHiddenSide();
    if (activeFd_ < 0 || toHidden_.size() < hiddenBacklogLimit)
        readMaster();
    flushQueues();
    updateInterest();
}

void TPairPty::updateInterest() {
    const bool forwarding = activeFd_ >= 0;
    const uint32_t master = (!forwarding || toHidden_.size() < hiddenBacklogLimit ? EPOLLIN : 0u) |
                            (toMaster_.empty() ? 0u : EPOLLOUT);
    if (masterWatch_ && master != masterInterest_) {
        masterWatch_->modify(master);
        masterInterest_ = master;
    }
    if (!forwarding)
        return;
    const uint32_t active =
        (toMaster_.empty() ? EPOLLIN : 0u) | (toHidden_.empty() ? 0u : EPOLLOUT);
    if (!activeWatch_) {
        hostLoop().watch(activeWatch_, activeFd_, active, [this](uint32_t) { serve(); });
        activeInterest_ = active;
    } else if (active != activeInterest_) {
        activeWatch_->modify(active);
        activeInterest_ = active;
    }
}

void TPairPty::reconcileHiddenSide() {
    int fd;
    uint64_t generation;
    {
        std::lock_guard guard(lock_);
        if (generation_ == activeGeneration_)
            return;
        generation = generation_;
        fd = pendingFd_;
        pendingFd_ = -1;
    }
    activeWatch_.reset();
    closeFd(activeFd_);
    activeFd_ = fd;
    activeGeneration_ = generation;
    toHidden_.clear();
    toMaster_.clear();
    if (activeFd_ >= 0)
        drainMaster();
    {
        std::lock_guard guard(lock_);
        ackedGeneration_ = generation;
    }
    changed_.notify_all();
}

// Reads until nothing is left: a read that finds nothing first waits for the
// bytes the kernel still has on their way, so everything written before this
// call is gone afterwards.
void TPairPty::drainMaster() {
    char scrap[4096];
    for (;;) {
        const ssize_t n = ::read(master_, scrap, sizeof scrap);
        if (n > 0) {
            if (scrap[0] != 0 && (scrap[0] & TIOCPKT_IOCTL))
                settingsChanged();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;
    }
}

void TPairPty::readHiddenSide() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(activeFd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            activeWatch_.reset();
            closeFd(activeFd_); // the component let go of its side
            toHidden_.clear();
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (slaveOpens_ > 0) {
            toMaster_.append(buffer, static_cast<size_t>(n));
            return; // one chunk at a time; the pty sets the pace
        }
        // Nobody on the user's side: dropped, as on an unplugged cable.
    }
}

// Takes one packet from the user's side; false when there was none.
bool TPairPty::readMaster() {
    pairWatches().takePendingEvents();
    if (tornDown_)
        return false;
    char buffer[4097];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    if (buffer[0] != 0) {
        // Packet mode status byte; a settings change of the slave sets this bit.
        if (buffer[0] & TIOCPKT_IOCTL)
            settingsChanged();
        return true;
    }
    if (activeFd_ < 0)
        return true; // no hidden side open: dropped
    std::lock_guard guard(lock_);
    for (ssize_t i = 1; i < n; ++i) {
        toHidden_ += buffer[i];
        if (escape_ != 0 && static_cast<uint8_t>(buffer[i]) == escape_)
            toHidden_ += static_cast<char>(reportEscapedChar);
    }
    return true;
}

void TPairPty::settingsChanged() {
    TLineSettings now;
    bool notices = true;
    if (!readLineSettings(master_, now, notices))
        return;
    // A program that cleared the notice flag gets it back; the notice this
    // causes finds nothing changed.
    if (!notices)
        restoreChangeNotices(master_);
    std::lock_guard guard(lock_);
    if (now == settings_)
        return;
    const TLineSettings before = settings_;
    settings_ = now;
    if (escape_ == 0 || activeFd_ < 0 || activeGeneration_ != generation_)
        return;
    if ((options_ & optionBaudRate) && now.baudRate != before.baudRate) {
        std::string rate;
        appendLe32(rate, now.baudRate);
        appendReportLocked(toHidden_, reportBaudRate, rate);
    }
    if ((options_ & optionLineControl) &&
        (now.byteSize != before.byteSize || now.parity != before.parity ||
         now.stopBits != before.stopBits))
        appendReportLocked(toHidden_, reportLineControl,
                           {char(now.byteSize), char(now.parity), char(now.stopBits)});
}

void TPairPty::watchEvent(const inotify_event& event) {
    if (tornDown_)
        return;
    if (event.wd == slaveWatch_) {
        // The hidden side's bytes before the open or close: what it wrote
        // before the user's program opened the port is dropped.
        if (activeFd_ >= 0)
            readHiddenSide();
        // Each close and reopen counts, however quickly they follow.
        if ((event.mask & IN_OPEN) && ++slaveOpens_ == 1)
            userSideChanged(true);
        if ((event.mask & IN_CLOSE) && slaveOpens_ > 0 && --slaveOpens_ == 0) {
            // What the program wrote before it closed goes ahead of the close
            // report; the bytes are still in the pty, bounded by its buffer.
            while (toHidden_.size() < closingBacklogLimit && readMaster()) {
            }
            userSideChanged(false);
        }
    } else if (event.wd == storeWatch_) {
        storeChanged_ = storeChanged_ || !(event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) ||
                        (event.len > 0 && std::strcmp(event.name, "pairs") == 0);
    }
}

void TPairPty::watchEventsDone() {
    if (tornDown_)
        return;
    if (storeChanged_) {
        storeChanged_ = false;
        const auto pairs = readPairStore(storeFile_);
        if (std::find(pairs.begin(), pairs.end(), number_) == pairs.end()) {
            tearDown();
            return;
        }
    }
    serve();
}

void TPairPty::userSideChanged(bool open) {
    std::lock_guard guard(lock_);
    slaveOpen_ = open;
    // The user's program starts and ends with nothing stale to read.
    tcflush(slaveHold_, TCIFLUSH);
    if (!open)
        toMaster_.clear();
    if (escape_ != 0 && activeFd_ >= 0 && activeGeneration_ == generation_ &&
        (options_ & optionModemStatus))
        appendReportLocked(toHidden_, reportModemStatus,
                           std::string(1, char(open ? modemStatusOpened : modemStatusClosed)));
}

void TPairPty::flushQueues() {
    while (!toMaster_.empty()) {
        const ssize_t n = ::write(master_, toMaster_.data(), toMaster_.size());
        if (n <= 0)
            break;
        toMaster_.erase(0, static_cast<size_t>(n));
    }
    while (activeFd_ >= 0 && !toHidden_.empty()) {
        const ssize_t n =
            ::send(activeFd_, toHidden_.data(), toHidden_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            activeWatch_.reset();
            closeFd(activeFd_);
            toHidden_.clear();
        }
        if (n <= 0)
            break;
        toHidden_.erase(0, static_cast<size_t>(n));
    }
}

// The pair was removed: the hidden side sees its stream end, the user's
// program loses its port, and the link goes.
void TPairPty::tearDown() {
    tornDown_ = true;
    masterWatch_.reset();
    activeWatch_.reset();
    {
        std::lock_guard guard(lock_);
        removed_ = true;
        closeFd(pendingFd_);
    }
    changed_.notify_all();
    unpublish();
    closeAll();
    std::lock_guard guard(hosted().lock);
    const auto entry = hosted().ptys.find({storeFile_, number_});
    if (entry != hosted().ptys.end() && entry->second.get() == this)
        hosted().ptys.erase(entry);
}

void TPairPty::closeAll() {
    pairWatches().remove(slaveWatch_, this);
    pairWatches().remove(storeWatch_, this);
    slaveWatch_ = storeWatch_ = -1;
    closeFd(activeFd_);
    closeFd(pendingFd_);
    closeFd(slaveHold_);
    closeFd(master_);
    closeFd(lockFile_);
}

TPairWatches::TPairWatches() {
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) {
        initError_ = errno;
        return;
    }
    hostLoop().watch(watch_, inotify_, EPOLLIN, [this](uint32_t) { readEvents(); });
}

int TPairWatches::add(const std::string& path, uint32_t mask,
                      const std::shared_ptr<TPairPty>& pair) {
    std::lock_guard guard(lock_);
    if (inotify_ < 0) {
        errno = initError_;
        return -1;
    }
    // A folder several pairs watch has one descriptor; the mask is the same.
    const int wd = inotify_add_watch(inotify_, path.c_str(), mask);
    if (wd >= 0)
        listeners_[wd].push_back(pair);
    return wd;
}

void TPairWatches::remove(int wd, const TPairPty* pair) {
    if (wd < 0)
        return;
    std::lock_guard guard(lock_);
    const auto found = listeners_.find(wd);
    if (found == listeners_.end())
        return;
    std::erase_if(found->second, [pair](const std::weak_ptr<TPairPty>& listener) {
        const auto alive = listener.lock();
        return !alive || alive.get() == pair;
    });
    if (found->second.empty()) {
        inotify_rm_watch(inotify_, wd);
        listeners_.erase(found);
    }
}

void TPairWatches::readEvents() {
    takePendingEvents();
    finishTouched();
}

void TPairWatches::takePendingEvents() {
    // A pair that reads its pty while handling an event asks again: the
    // events still unread wait for the outer call.
    if (taking_ || inotify_ < 0)
        return;
    taking_ = true;
    alignas(inotify_event) char buffer[4096];
    const size_t touchedBefore = touched_.size();
    for (;;) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            std::vector<std::shared_ptr<TPairPty>> pairs;
            {
                std::lock_guard guard(lock_);
                const auto found = listeners_.find(event->wd);
                if (found == listeners_.end())
                    continue;
                for (const auto& listener : found->second)
                    if (auto pair = listener.lock())
                        pairs.push_back(std::move(pair));
            }
            for (const auto& pair : pairs) {
                pair->watchEvent(*event);
                if (std::find(touched_.begin(), touched_.end(), pair) == touched_.end())
                    touched_.push_back(pair);
            }
        }
    }
    taking_ = false;
    // Taken while a pair was serving: the rest of the work follows that.
    if (touched_.size() > touchedBefore)
        hostLoop().post([this] { finishTouched(); });
}

void TPairWatches::finishTouched() {
    std::vector<std::shared_ptr<TPairPty>> touched;
    touched.swap(touched_);
    for (const auto& pair : touched)
        pair->watchEventsDone();
}

void unpublishAtExit() {
    std::lock_guard guard(hosted().lock);
    for (auto& [key, pty] : hosted().ptys)
        pty->unpublish();
}

std::shared_ptr<TPairPty> hostedPty(const std::string& storeFile, int number) {
    // The shared watch is set up before the list is locked: its events take
    // the list's lock.
    pairWatches();
    std::lock_guard guard(hosted().lock);
    auto& slot = hosted().ptys[{storeFile, number}];
    if (slot && !slot->removed())
        return slot;
    auto pty = std::make_shared<TPairPty>(number, storeFile);
    try {
        pty->start();
    } catch (...) {
        if (!slot)
            hosted().ptys.erase({storeFile, number});
        throw;
    }
    static std::once_flag exitHandler;
    std::call_once(exitHandler, [] { std::atexit(unpublishAtExit); });
    slot = pty;
    return pty;
}

bool parseHiddenName(const std::string& name, int& number) {
    if (name.size() < 5 || name.size() > 13 || name.compare(0, 4, "CNCB") != 0 ||
        !std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    number = std::stoi(name.substr(4));
    return true;
}

std::unique_ptr<TSerialDevice> openHiddenSide(const std::string& name) {
    int number = 0;
    if (!parseHiddenName(name, number))
        return nullptr;
    std::string storeFile;
    try {
        storeFile = pairStoreFile();
    } catch (const EPairStore& error) {
        throw EComPort(name + ": " + error.what());
    }
    const auto pairs = readPairStore(storeFile);
    if (std::find(pairs.begin(), pairs.end(), number) == pairs.end())
        throw EComPort(name + ": virtual port pair " + std::to_string(number) +
                       " is not installed");
    return hostedPty(storeFile, number)->attach();
}

const bool providerRegistered = [] {
    registerSerialDeviceProvider(openHiddenSide);
    return true;
}();

} // namespace

// Referenced by the driver library's link options so that every program that
// links the library gets the provider registered above.
extern "C" void zelvanePairHostLinked() {}
