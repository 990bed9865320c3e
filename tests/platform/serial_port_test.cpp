#include "platform/serial_port.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Keeps what it reads and how many events delivered it.
class TRecordingPort : public TCustomComPort {
public:
    ~TRecordingPort() override { Close(); }
    std::string received() {
        std::lock_guard guard(lock_);
        return received_;
    }
    std::atomic<int> eventsDuringSetup{-1};

protected:
    void SetupPort() override { eventsDuringSetup = events_.load(); }
    void DoRxChar(int count) override {
        ++events_;
        std::string chunk(static_cast<size_t>(count), '\0');
        chunk.resize(static_cast<size_t>(Read(chunk.data(), count)));
        std::lock_guard guard(lock_);
        received_ += chunk;
    }

private:
    std::atomic<int> events_{0};
    std::mutex lock_;
    std::string received_;
};

// A pty whose master the test holds; the component opens the slave.
struct TPty {
    int master = -1;
    std::string slave;
    TPty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0)
            throw std::runtime_error("no pty");
        slave = name;
    }
    ~TPty() { closeMaster(); }
    void closeMaster() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    std::string read(size_t count) {
        std::string data;
        while (data.size() < count) {
            char buffer[256];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            data.append(buffer, static_cast<size_t>(n));
        }
        return data;
    }
};

TEST(SerialPortTest, OpensATtyWithTheDefaultSettingsAndMovesBytes) {
    TPty pty;
    TRecordingPort port;
    port.Port = pty.slave.substr(5); // "pts/N": a bare name lives under /dev
    port.Open();
    ASSERT_TRUE(port.Connected());

    termios settings{};
    ASSERT_EQ(0, tcgetattr(pty.master, &settings));
    EXPECT_EQ(speed_t(B9600), cfgetospeed(&settings));
    EXPECT_EQ(tcflag_t(CS8), settings.c_cflag & CSIZE);
    EXPECT_FALSE(settings.c_cflag & (CSTOPB | PARENB | CRTSCTS));
    EXPECT_FALSE(settings.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(settings.c_oflag & OPOST);

    ASSERT_EQ(6, ::write(pty.master, "hello\n", 6));
    EXPECT_TRUE(waitUntil([&] { return port.received() == "hello\n"; }));
    EXPECT_EQ(3, port.Write("abc", 3));
    EXPECT_EQ("abc", pty.read(3));

    std::vector<uint8_t> output(8);
    EXPECT_FALSE(port.DeviceIoControl(0x1B007C, {0x61}, output));
    port.Close();
    EXPECT_FALSE(port.Connected());
}

TEST(SerialPortTest, OpenFailuresSayWhatWentWrong) {
    const std::string file = "/tmp/zelvane-serial-test-" + std::to_string(getpid());
    std::ofstream(file) << "not a port";
    const struct {
        std::string port;
        std::string message;
    } cases[] = {
        {"/nonexistent/ttyS9", "Cannot open /nonexistent/ttyS9: No such file or directory"},
        {file, file + " is not a serial port"},
        {"", "No serial port name given"},
    };
    for (const auto& c : cases) {
        TRecordingPort port;
        port.Port = c.port;
        try {
            port.Open();
            ADD_FAILURE() << c.port << " opened";
        } catch (const EComPort& error) {
            EXPECT_EQ(c.message, error.what());
        }
        EXPECT_FALSE(port.Connected());
    }
    unlink(file.c_str());
}

TEST(SerialPortTest, APortWhoseDeviceGoesAwayTurnsDisconnected) {
    TPty pty;
    TRecordingPort port;
    port.Port = pty.slave;
    port.Open();
    pty.closeMaster();
    EXPECT_TRUE(waitUntil([&] { return !port.Connected(); }));
    EXPECT_THROW(port.Open(), EComPort);
}

// Owns the names "LOOP<n>": a socket pair whose far end the test keeps, and
// which echoes device-control requests.
class TLoopDevice : public TSerialDevice {
public:
    explicit TLoopDevice(int fd) : fd_(fd) {}
    ~TLoopDevice() override { ::close(fd_); }
    int fd() const override { return fd_; }
    bool DeviceIoControl(uint32_t, const std::vector<uint8_t>& input,
                         std::vector<uint8_t>& output) override {
        output = input;
        return true;
    }

private:
    int fd_;
};

int loopFarEnd = -1;

TEST(SerialPortTest, ADeviceProviderOwnsItsNamesAndDataWaitsForTheSetUp) {
    registerSerialDeviceProvider([](const std::string& name) -> std::unique_ptr<TSerialDevice> {
        if (name.rfind("LOOP", 0) != 0)
            return nullptr;
        int ends[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends);
        loopFarEnd = ends[1];
        // Waiting before the port is set up.
        [[maybe_unused]] auto written = ::write(loopFarEnd, "early", 5);
        return std::make_unique<TLoopDevice>(ends[0]);
    });
    TRecordingPort port;
    port.Port = "LOOP1";
    port.Open();
    EXPECT_EQ(0, port.eventsDuringSetup) << "no event before the set-up step has run";
    EXPECT_TRUE(waitUntil([&] { return port.received() == "early"; }));
    ASSERT_EQ(4, ::write(loopFarEnd, "late", 4));
    EXPECT_TRUE(waitUntil([&] { return port.received() == "earlylate"; }));

    std::vector<uint8_t> output;
    EXPECT_TRUE(port.DeviceIoControl(1, {1, 2, 3}, output));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), output);

    // Closing the far end is the device going away.
    ::close(loopFarEnd);
    EXPECT_TRUE(waitUntil([&] { return !port.Connected(); }));

    TRecordingPort other;
    other.Port = "/nonexistent/LOOP1"; // not the provider's: opened as a path
    EXPECT_THROW(other.Open(), EComPort);
}

TEST(SerialPortTest, AWriteNobodyTakesTimesOutAfterTheDefaultTimeOuts) {
    // "FULL<n>": a device whose far end never reads and whose way there is full.
    static int farEnd = -1;
    registerSerialDeviceProvider([](const std::string& name) -> std::unique_ptr<TSerialDevice> {
        if (name.rfind("FULL", 0) != 0)
            return nullptr;
        int ends[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends);
        const std::string block(4096, 'x');
        while (::send(ends[0], block.data(), block.size(), MSG_NOSIGNAL) > 0) {
        }
        farEnd = ends[1];
        return std::make_unique<TLoopDevice>(ends[0]);
    });
    TRecordingPort port;
    port.Port = "FULL1";
    port.Open();
    const auto start = std::chrono::steady_clock::now();
    try {
        port.Write("yy", 2);
        ADD_FAILURE() << "the write went through";
    } catch (const EComPort& error) {
        EXPECT_EQ(std::string("Write to FULL1 timed out after 0 of 2 bytes"), error.what());
    }
    // 1000 ms plus 100 ms per byte.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
    port.Close();
    ::close(farEnd);
}

} // namespace
