#pragma once

#include "platform/event_loop.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Error of the serial port component; the message says what failed.
class EComPort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An open serial device: a file descriptor to read and write, plus the
// driver's answer to device-control requests.
class TSerialDevice {
public:
    virtual ~TSerialDevice() = default;
    virtual int fd() const = 0;
    // Device-control request; false when the driver does not handle `code`.
    // `output` arrives sized to the caller's buffer and leaves sized to the
    // bytes returned.
    virtual bool DeviceIoControl(uint32_t code, const std::vector<uint8_t>& input,
                                 std::vector<uint8_t>& output) = 0;
};

// Opens device names it owns (for example the hidden side of a virtual pair,
// "CNCB3"); returns null for names it does not own.
using TSerialDeviceProvider =
    std::function<std::unique_ptr<TSerialDevice>(const std::string& name)>;
// Drivers register their device names here; other names open as a tty path.
void registerSerialDeviceProvider(TSerialDeviceProvider provider);

// Serial port component over a file descriptor. Open runs the overridable
// set-up step and then watches the device on the relay loop, which calls the
// receive hook with the number of bytes waiting; every event is delivered on
// the loop's thread.
class TCustomComPort {
public:
    TCustomComPort();
    virtual ~TCustomComPort(); // closes the port
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    std::string Port; // device name to open

    void Open();  // throws EComPort with a message on failure
    void Close(); // stops the events; never throws
    bool Connected() const { return FConnected.load(); }

    // Called on the loop thread when the device went away (pair removed,
    // adapter unplugged); the port is then disconnected and may be opened
    // again.
    std::function<void()> OnDeviceGone;

    // Writes all bytes, bounded by the default write time-outs; returns the
    // count written.
    int Write(const void* buffer, int count);
    // Writes all bytes without waiting for the device: what it cannot take
    // now follows when it is writable, within the same time-outs as Write.
    // `done` runs once on the loop thread (possibly before this returns) with
    // an empty text, or with what went wrong. One such write at a time;
    // closing the port drops it without calling `done`.
    void WriteLater(std::vector<uint8_t> bytes, std::function<void(const std::string& error)> done);
    bool Writing() const { return pendingDone_ != nullptr; }
    // Discards pending input and/or output.
    void ClearBuffer(bool input, bool output);

    // Bytes waiting to be read, and a read of at most `count` of them.
    int InputCount();
    int Read(void* buffer, int count);

    // The device-control request on the open port (see TSerialDevice).
    bool DeviceIoControl(uint32_t code, const std::vector<uint8_t>& input,
                         std::vector<uint8_t>& output);

protected:
    // The set-up step Open runs once the device is open (before the event
    // thread starts). Throws EComPort to fail the open.
    virtual void SetupPort() {}
    // Receive hook: `count` bytes are waiting. Runs on the loop thread.
    virtual void DoRxChar(int count) { (void)count; }
    // Ring hook. Runs on the loop thread.
    virtual void DoRing() {}

    std::atomic<bool> FConnected{false};

private:
    void deviceEvent(uint32_t events);
    void sampleRing();
    void stopEvents();
    void continueWrite();
    void endWrite(const std::string& error);

    std::unique_ptr<TSerialDevice> device_;
    std::unique_ptr<TLoopWatch> watch_;
    std::unique_ptr<TLoopTimer> ringTimer_;
    int lastLines_ = -1;
    std::mutex openLock_;

    // The write in progress (loop thread).
    std::vector<uint8_t> pending_;
    size_t pendingDoneBytes_ = 0;
    std::function<void(const std::string&)> pendingDone_;
    std::unique_ptr<TLoopTimer> writeTimer_;
};
