#pragma once

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
// set-up step and starts an event thread that calls the receive hook with the
// number of bytes waiting; every event is delivered directly on that thread.
class TCustomComPort {
public:
    TCustomComPort();
    virtual ~TCustomComPort(); // closes the port
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    std::string Port; // device name to open

    void Open();  // throws EComPort with a message on failure
    void Close(); // stops the event thread; never throws
    bool Connected() const { return FConnected.load(); }

    // Writes all bytes, bounded by the default write time-outs; returns the
    // count written.
    int Write(const void* buffer, int count);
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
    // Receive hook: `count` bytes are waiting. Runs on the event thread.
    virtual void DoRxChar(int count) { (void)count; }
    // Ring hook. Runs on the event thread.
    virtual void DoRing() {}

    std::atomic<bool> FConnected{false};

private:
    void eventLoop();
    void stopEventThread();

    std::unique_ptr<TSerialDevice> device_;
    std::thread eventThread_;
    int wakeFd_ = -1; // wakes the event thread when the port closes
    std::mutex openLock_;
};
