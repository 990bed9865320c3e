#pragma once

#include "platform/serial_port.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// A private HOME with its own state and runtime folders for one test; the
// environment is restored and the folders deleted afterwards.
class TTempUser {
public:
    TTempUser();
    ~TTempUser();
    const std::string& root() const { return root_; }

private:
    std::string root_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

// A serial component that keeps everything it reads.
class TStreamPort : public TCustomComPort {
public:
    explicit TStreamPort(const std::string& name, bool readOnEvent = true);
    ~TStreamPort() override { Close(); }
    // Bytes received and not yet taken by receives().
    std::string received() const;
    // Waits until the next bytes received are exactly `expected` (20 s at
    // most) and takes them.
    bool receives(const std::string& expected);
    // Sends the insert request; returns the answer, or false.
    bool insert(uint8_t escape, uint32_t options, size_t outputSize, std::string& answer);

protected:
    void DoRxChar(int count) override;

private:
    bool readOnEvent_;
    mutable std::mutex lock_;
    std::string received_;
    size_t taken_ = 0;
};

// The user's program: the user-facing side opened by path, set up with
// termios as a serial program would.
class TClientPort {
public:
    explicit TClientPort(const std::string& path);
    ~TClientPort();
    int fd() const { return fd_; }
    void setSpeedAndStopBits(unsigned baudConstant, bool twoStopBits);
    void write(const std::string& bytes);
    // Waits until exactly `expected` has been read (20 s at most).
    bool reads(const std::string& expected);
    void close();

private:
    int fd_;
    std::string received_;
};

std::string bytes(std::initializer_list<int> values);
std::string hex(const std::string& data);
