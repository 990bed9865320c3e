#include "platform/serial_port.h"

#include "platform/text.h"
#include "platform/tick.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::mutex& providersLock() {
    static std::mutex lock;
    return lock;
}

std::vector<TSerialDeviceProvider>& providers() {
    static std::vector<TSerialDeviceProvider> list;
    return list;
}

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// A serial device reached by path: a real UART, a USB adapter or a pty.
class TTtyDevice : public TSerialDevice {
public:
    explicit TTtyDevice(int fd) : fd_(fd) {}
    ~TTtyDevice() override { ::close(fd_); }
    int fd() const override { return fd_; }
    bool DeviceIoControl(uint32_t, const std::vector<uint8_t>&, std::vector<uint8_t>&) override {
        return false;
    }

private:
    int fd_;
};

// The component's defaults: 9600 baud, 8 data bits, no parity, one stop bit,
// no handshaking, raw bytes.
void applyDefaultLineSettings(int fd, const std::string& path) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        throw EComPort(path + " is not a serial port");
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~(CSTOPB | CRTSCTS);
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        throw EComPort(errnoText("Cannot configure " + path, errno));
    // DTR and RTS control disabled: both lines stay low. Ptys have no lines.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
}

std::unique_ptr<TSerialDevice> openTty(const std::string& name) {
    if (name.empty())
        throw EComPort("No serial port name given");
    // A name such as ttyUSB0 or pts/3 means the device under /dev.
    const std::string path = name[0] == '/' ? name : "/dev/" + name;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw EComPort(errnoText("Cannot open " + path, errno));
    auto device = std::make_unique<TTtyDevice>(fd);
    applyDefaultLineSettings(fd, path);
    return device;
}

bool isSocket(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

int modemLines(int fd) {
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) == 0 ? lines : -1;
}

// Write time-outs of the component's defaults: 100 ms per byte plus 1000 ms.
constexpr int writeTotalMultiplierMs = 100;
constexpr int writeTotalConstantMs = 1000;
// How often the modem lines of a device that has them are sampled for a ring.
constexpr int ringPollMs = 50;

} // namespace

void registerSerialDeviceProvider(TSerialDeviceProvider provider) {
    std::lock_guard guard(providersLock());
    providers().push_back(std::move(provider));
}

TCustomComPort::TCustomComPort() = default;

TCustomComPort::~TCustomComPort() {
    Close();
}

void TCustomComPort::Open() {
    std::lock_guard guard(openLock_);
    if (FConnected.load())
        return;
    if (device_) {
        // The device went away under a running watch; start afresh.
        stopEvents();
        device_.reset();
    }

    std::vector<TSerialDeviceProvider> candidates;
    {
        std::lock_guard providersGuard(providersLock());
        candidates = providers();
    }
    std::unique_ptr<TSerialDevice> device;
    for (const auto& provider : candidates) {
        device = provider(Port);
        if (device)
            break;
    }
    if (!device)
        device = openTty(Port);
    device_ = std::move(device);

    try {
        SetupPort();
        FConnected.store(true);
        TEventLoop& loop = TEventLoop::relay();
        const int fd = device_->fd();
        // Only devices with modem lines can ring; those are sampled.
        lastLines_ = modemLines(fd);
        if (lastLines_ >= 0) {
            ringTimer_ = loop.timer([this] { sampleRing(); });
            ringTimer_->setAt(GetTickCount() + ringPollMs);
        }
        // "Bytes arrived" once per arrival (edge-triggered, like a line
        // event), so a hook that leaves bytes unread does not spin the loop.
        loop.watch(watch_, fd, EPOLLIN | EPOLLRDHUP | EPOLLET,
                   [this](uint32_t events) { deviceEvent(events); });
    } catch (const std::exception& error) {
        FConnected.store(false);
        stopEvents();
        device_.reset();
        if (dynamic_cast<const EComPort*>(&error))
            throw;
        throw EComPort(Port + ": " + error.what());
    }
}

void TCustomComPort::Close() {
    std::lock_guard guard(openLock_);
    FConnected.store(false);
    stopEvents();
    device_.reset();
}

void TCustomComPort::stopEvents() {
    // Stopped before they are freed: a call in progress may still use them.
    if (watch_)
        watch_->stop();
    if (ringTimer_)
        ringTimer_->stop();
    if (writeTimer_)
        writeTimer_->stop();
    watch_.reset();
    ringTimer_.reset();
    writeTimer_.reset();
    pending_.clear();
    pendingDone_ = nullptr;
}

void TCustomComPort::deviceEvent(uint32_t events) {
    if (events & EPOLLOUT)
        continueWrite();
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        const int waiting = InputCount();
        if (waiting > 0) {
            try {
                DoRxChar(waiting);
            } catch (...) {
                // Errors of the hooks are swallowed; the next event is
                // handled normally.
            }
        }
    }
    if (events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) {
        // The device is gone: the owner sees the port disconnected and may
        // open it again.
        FConnected.store(false);
        watch_->stop();
        if (ringTimer_)
            ringTimer_->stop();
        if (OnDeviceGone)
            OnDeviceGone();
    }
}

void TCustomComPort::sampleRing() {
    const int lines = modemLines(device_->fd());
    if (lines >= 0 && (lines & TIOCM_RI) && !(lastLines_ & TIOCM_RI)) {
        try {
            DoRing();
        } catch (...) {
        }
    }
    if (lines >= 0)
        lastLines_ = lines;
    ringTimer_->setAt(GetTickCount() + ringPollMs);
}

void TCustomComPort::WriteLater(std::vector<uint8_t> bytes,
                                std::function<void(const std::string& error)> done) {
    if (!device_ || !FConnected.load()) {
        done("Write to a port that is not open");
        return;
    }
    pending_ = std::move(bytes);
    pendingDoneBytes_ = 0;
    pendingDone_ = std::move(done);
    const auto count = static_cast<uint32_t>(pending_.size());
    writeTimer_ = TEventLoop::relay().timer([this, count] {
        endWrite(Format("Write to %s timed out after %d of %d bytes", Port.c_str(),
                        static_cast<int>(pendingDoneBytes_), static_cast<int>(count)));
    });
    writeTimer_->setAt(GetTickCount() + writeTotalConstantMs + writeTotalMultiplierMs * count);
    continueWrite();
}

void TCustomComPort::continueWrite() {
    if (!pendingDone_)
        return;
    const int fd = device_->fd();
    const bool socket = isSocket(fd);
    while (pendingDoneBytes_ < pending_.size()) {
        const uint8_t* from = pending_.data() + pendingDoneBytes_;
        const size_t left = pending_.size() - pendingDoneBytes_;
        const ssize_t n =
            socket ? ::send(fd, from, left, MSG_NOSIGNAL | MSG_DONTWAIT) : ::write(fd, from, left);
        if (n > 0) {
            pendingDoneBytes_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            endWrite(errnoText("Write to " + Port + " failed", errno));
            return;
        }
        watch_->modify(EPOLLIN | EPOLLRDHUP | EPOLLET | EPOLLOUT);
        return;
    }
    endWrite("");
}

void TCustomComPort::endWrite(const std::string& error) {
    auto done = std::move(pendingDone_);
    pendingDone_ = nullptr;
    pending_.clear();
    writeTimer_.reset();
    if (watch_)
        watch_->modify(EPOLLIN | EPOLLRDHUP | EPOLLET);
    if (done)
        done(error);
}

int TCustomComPort::Write(const void* buffer, int count) {
    if (!device_ || !FConnected.load())
        throw EComPort("Write to a port that is not open");
    if (count <= 0)
        return 0;
    const int fd = device_->fd();
    const bool socket = isSocket(fd);
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(writeTotalConstantMs + int64_t(writeTotalMultiplierMs) * count);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    int done = 0;
    while (done < count) {
        const ssize_t n = socket ? ::send(fd, bytes + done, count - done, MSG_NOSIGNAL)
                                 : ::write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            throw EComPort(errnoText("Write to " + Port + " failed", errno));
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw EComPort(
                Format("Write to %s timed out after %d of %d bytes", Port.c_str(), done, count));
        pollfd wait{fd, POLLOUT, 0};
        ::poll(&wait, 1, static_cast<int>(left.count()));
    }
    return done;
}

void TCustomComPort::ClearBuffer(bool input, bool output) {
    if (!device_ || !(input || output))
        return;
    const int fd = device_->fd();
    if (tcflush(fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) == 0)
        return;
    // Not a tty (the pair driver's stream): what was sent is gone already;
    // pending input is read and discarded.
    if (input) {
        char scrap[4096];
        while (::read(fd, scrap, sizeof scrap) > 0) {
        }
    }
}

int TCustomComPort::InputCount() {
    int count = 0;
    if (!device_ || ioctl(device_->fd(), FIONREAD, &count) != 0)
        return 0;
    return count;
}

int TCustomComPort::Read(void* buffer, int count) {
    if (!device_)
        throw EComPort("Read from a port that is not open");
    if (count <= 0)
        return 0;
    for (;;) {
        const ssize_t n = ::read(device_->fd(), buffer, count);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return 0;
        throw EComPort(errnoText("Read from " + Port + " failed", errno));
    }
}

bool TCustomComPort::DeviceIoControl(uint32_t code, const std::vector<uint8_t>& input,
                                     std::vector<uint8_t>& output) {
    return device_ && device_->DeviceIoControl(code, input, output);
}
