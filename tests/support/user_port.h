#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The user's own program on the user-facing side of a pair.
class UserPort {
public:
    explicit UserPort(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd_, 0) << path << ": " << std::strerror(errno);
        termios settings{};
        tcgetattr(fd_, &settings);
        cfmakeraw(&settings);
        EXPECT_EQ(tcsetattr(fd_, TCSANOW, &settings), 0);
    }
    ~UserPort() { close(); }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void setLine(speed_t speed, bool twoStopBits) {
        termios settings{};
        ASSERT_EQ(tcgetattr(fd_, &settings), 0);
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
        if (twoStopBits)
            settings.c_cflag |= CSTOPB;
        else
            settings.c_cflag &= ~CSTOPB;
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &settings), 0);
    }

    // Writes everything; a port nobody drains would make this fail, not hang.
    bool write(const Bytes& bytes) {
        size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pollfd wait{fd_, POLLOUT, 0};
            ::poll(&wait, 1, 100);
        }
        return true;
    }

    Bytes read(size_t count) {
        Bytes bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd wait{fd_, POLLIN, 0};
            if (::poll(&wait, 1, 100) <= 0)
                continue;
            uint8_t buffer[256];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n > 0)
                bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

    // Bytes written but not yet taken by the pair's host.
    int unsent() const {
        int count = 0;
        ioctl(fd_, TIOCOUTQ, &count);
        return count;
    }

private:
    int fd_ = -1;
};
