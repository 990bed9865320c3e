#include "cloudsim/devices.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace cloudsim {
namespace {

// Bytes taken from a device in one turn of the loop.
constexpr size_t kReadChunk = 64 * 1024;

class EchoDevice : public RemoteDevice {
public:
    explicit EchoDevice(DeviceEvents events) : events_(std::move(events)) {}
    bool connected() const override { return true; }
    void send(const uint8_t* data, size_t size) override { events_.received(data, size); }

private:
    DeviceEvents events_;
};

// A pseudo-terminal: a serial program opens its path and is the device. The
// simulator keeps the terminal side open itself, so the terminal survives the
// program closing it and keeps its raw settings.
class PtyDevice : public RemoteDevice {
public:
    explicit PtyDevice(DeviceEvents events) : events_(std::move(events)) {
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        char name[128] = {};
        if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0 ||
            ptsname_r(master_.get(), name, sizeof name) != 0)
            throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") +
                                     std::strerror(errno));
        path_ = name;
        terminal_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios raw{};
        if (!terminal_ || tcgetattr(terminal_.get(), &raw) != 0)
            throw std::runtime_error("cannot open " + path_ + ": " + std::strerror(errno));
        cfmakeraw(&raw);
        tcsetattr(terminal_.get(), TCSANOW, &raw);
    }

    bool connected() const override { return true; }
    void send(const uint8_t* data, size_t size) override {
        out_.insert(out_.end(), data, data + size);
        flush();
    }
    size_t pending() const override { return out_.size(); }
    std::string address() const override { return path_; }

    void addPollFds(PollSet& set, bool readInput) override {
        slot_ = set.add(master_.get(), static_cast<short>((readInput ? POLLIN : 0) |
                                                          (out_.empty() ? 0 : POLLOUT)));
    }

    void handlePoll(const PollSet& set) override {
        const short events = set.events(slot_);
        if (events & POLLOUT)
            flush();
        if (events & POLLIN) {
            std::vector<uint8_t> data;
            readAvailable(master_.get(), data, kReadChunk);
            if (!data.empty())
                events_.received(data.data(), data.size());
        }
    }

private:
    void flush() {
        if (!flushBuffer(master_.get(), out_)) {
            events_.log("pty " + path_ + ": write failed (" + std::strerror(errno) + "), " +
                        std::to_string(out_.size()) + " bytes dropped");
            out_.clear();
        }
    }

    DeviceEvents events_;
    Fd master_;
    Fd terminal_;
    std::string path_;
    std::vector<uint8_t> out_;
    size_t slot_ = 0;
};

// A listening port where one remote device connects, like a field modem
// dialling in; a new connection replaces the old one, which may be dead.
class TcpDevice : public RemoteDevice {
public:
    TcpDevice(const std::string& host, uint16_t port, DeviceEvents events)
        : events_(std::move(events)), listener_(openListener(host, port)),
          address_(host + ":" + std::to_string(boundPort(listener_.get()))) {}

    bool connected() const override { return static_cast<bool>(connection_); }
    void send(const uint8_t* data, size_t size) override {
        if (!connection_) {
            events_.log("no device connected on " + address_ + ", " + std::to_string(size) +
                        " bytes dropped");
            return;
        }
        out_.insert(out_.end(), data, data + size);
        if (!flushBuffer(connection_.get(), out_))
            drop("write failed");
    }
    size_t pending() const override { return out_.size(); }
    std::string address() const override { return address_; }

    void addPollFds(PollSet& set, bool readInput) override {
        listenerSlot_ = set.add(listener_.get(), POLLIN);
        if (connection_)
            connectionSlot_ =
                set.add(connection_.get(), static_cast<short>((readInput ? POLLIN : 0) |
                                                              (out_.empty() ? 0 : POLLOUT)));
    }

    void handlePoll(const PollSet& set) override {
        if (connection_) {
            const short events = set.events(connectionSlot_);
            if ((events & POLLOUT) && !flushBuffer(connection_.get(), out_))
                drop("write failed");
            else if (events & (POLLIN | POLLHUP | POLLERR))
                receive();
        }
        if (set.events(listenerSlot_) & POLLIN)
            acceptDevice();
    }

private:
    void receive() {
        std::vector<uint8_t> data;
        const bool open = readAvailable(connection_.get(), data, kReadChunk);
        if (!data.empty())
            events_.received(data.data(), data.size());
        if (!open)
            drop("disconnected");
    }

    void acceptDevice() {
        std::string peer;
        Fd incoming = acceptConnection(listener_.get(), peer);
        if (!incoming)
            return;
        if (connection_) {
            events_.log("device " + peer_ + " replaced by " + peer);
            connection_.reset();
            out_.clear();
        } else {
            events_.log("device " + peer + " connected on " + address_);
        }
        connection_ = std::move(incoming);
        peer_ = peer;
        events_.connectionChanged();
    }

    void drop(const std::string& why) {
        events_.log("device " + peer_ + " " + why);
        connection_.reset();
        out_.clear();
        events_.connectionChanged();
    }

    DeviceEvents events_;
    Fd listener_;
    std::string address_;
    Fd connection_;
    std::string peer_;
    std::vector<uint8_t> out_;
    size_t listenerSlot_ = 0;
    size_t connectionSlot_ = 0;
};

} // namespace

std::unique_ptr<RemoteDevice> makeDevice(const DeviceSpec& device, const std::string& host,
                                         DeviceEvents events) {
    switch (device.kind) {
    case DeviceKind::Pty:
        return std::make_unique<PtyDevice>(std::move(events));
    case DeviceKind::Tcp:
        return std::make_unique<TcpDevice>(host, device.port, std::move(events));
    case DeviceKind::Echo:
        break;
    }
    return std::make_unique<EchoDevice>(std::move(events));
}

} // namespace cloudsim
