#include "driver_fixtures.h"

#include "platform/text.h"
#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    ::remove(path);
    return 0;
}

} // namespace

TTempUser::TTempUser() {
    char pattern[] = "/tmp/zelvane-driver-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("cannot create a temporary folder");
    root_ = pattern;
    const std::pair<const char*, std::string> variables[] = {
        {"HOME", root_ + "/home"},
        {"XDG_STATE_HOME", root_ + "/state"},
        {"XDG_RUNTIME_DIR", root_ + "/run"},
        {"XDG_CONFIG_HOME", root_ + "/config"},
    };
    for (const auto& [name, value] : variables) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? old : std::string("\x01"));
        ::mkdir(value.c_str(), 0700);
        setenv(name, value.c_str(), 1);
    }
}

TTempUser::~TTempUser() {
    for (const auto& [name, value] : saved_) {
        if (value == "\x01")
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
    }
    nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

TStreamPort::TStreamPort(const std::string& name, bool readOnEvent) : readOnEvent_(readOnEvent) {
    Port = name;
}

std::string TStreamPort::received() const {
    std::lock_guard guard(lock_);
    return received_.substr(taken_);
}

bool TStreamPort::receives(const std::string& expected) {
    waitUntil([&] { return received().size() >= expected.size(); });
    std::lock_guard guard(lock_);
    const bool same = received_.compare(taken_, expected.size(), expected) == 0;
    taken_ = std::min(received_.size(), taken_ + expected.size());
    return same;
}

bool TStreamPort::insert(uint8_t escape, uint32_t options, size_t outputSize, std::string& answer) {
    std::vector<uint8_t> input = {escape, 'c', '0', 'c', 0};
    for (int i = 0; i < 4; ++i)
        input.push_back(static_cast<uint8_t>(options >> (8 * i)));
    std::vector<uint8_t> output(outputSize);
    if (!DeviceIoControl(0x1B007C, input, output))
        return false;
    answer.assign(output.begin(), output.end());
    return true;
}

void TStreamPort::DoRxChar(int count) {
    if (!readOnEvent_)
        return;
    std::string chunk(static_cast<size_t>(count), '\0');
    chunk.resize(static_cast<size_t>(Read(chunk.data(), count)));
    std::lock_guard guard(lock_);
    received_ += chunk;
}

TClientPort::TClientPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + path);
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
}

TClientPort::~TClientPort() {
    close();
}

void TClientPort::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TClientPort::setSpeedAndStopBits(unsigned baudConstant, bool twoStopBits) {
    termios settings{};
    tcgetattr(fd_, &settings);
    cfsetspeed(&settings, baudConstant);
    if (twoStopBits)
        settings.c_cflag |= CSTOPB;
    else
        settings.c_cflag &= ~CSTOPB;
    if (tcsetattr(fd_, TCSANOW, &settings) != 0)
        throw std::runtime_error("tcsetattr failed");
}

void TClientPort::write(const std::string& data) {
    size_t done = 0;
    const bool finished = waitUntil([&] {
        const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        return done == data.size();
    });
    if (!finished)
        throw std::runtime_error("the client's write is blocked");
}

bool TClientPort::reads(const std::string& expected) {
    waitUntil([&] {
        char buffer[4096];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0)
            received_.append(buffer, static_cast<size_t>(n));
        return received_.size() >= expected.size();
    });
    const bool same = received_ == expected;
    received_.clear();
    return same;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values)
        out += static_cast<char>(value);
    return out;
}

std::string hex(const std::string& data) {
    return toHex(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}
