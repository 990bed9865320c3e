#pragma once

#include "cloudsim/net.h"
#include "cloudsim/tunnel_table.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace cloudsim {

// What a device reports to the simulator, on the simulator's thread.
struct DeviceEvents {
    std::function<void(const uint8_t* data, size_t size)> received; // bytes from the device
    std::function<void()> connectionChanged;
    std::function<void(const std::string& line)> log;
};

// The remote device at the far end of one tunnel.
class RemoteDevice {
public:
    virtual ~RemoteDevice() = default;
    // Whether the device is on line, as the data source status reports it.
    virtual bool connected() const = 0;
    // Bytes from the tunnel's client for the device.
    virtual void send(const uint8_t* data, size_t size) = 0;
    // Bytes the device has not taken yet; the simulator stops reading the
    // client while there are many.
    virtual size_t pending() const { return 0; }
    // Where a user reaches the device: the pty path or the tcp address.
    virtual std::string address() const { return {}; }
    // Adds the descriptors to watch; readInput false holds back the device's
    // bytes while the client is slow to take them.
    virtual void addPollFds(PollSet&, bool /*readInput*/) {}
    virtual void handlePoll(const PollSet&) {}
};

// Creates the device; a tcp device listens on `host`. Throws
// std::runtime_error when its pty or port cannot be opened.
std::unique_ptr<RemoteDevice> makeDevice(const DeviceSpec& device, const std::string& host,
                                         DeviceEvents events);

} // namespace cloudsim
