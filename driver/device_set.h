#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One device of the virtual pair driver, as the pair inventory reads it: for
// every pair, in the order pairs were added, the bus device (hardware id
// "root\com0com", PortNum = n), the user-facing end ("com0com\port", location
// "CNCA<n>", PortName = "ttyZV<n>") and the hidden end ("com0com\port",
// location "CNCB<n>").
struct TDriverDevice {
    std::string hardwareId;
    std::string location;
    std::optional<int32_t> portNum;
    std::optional<std::string> portName;
};

// The present devices of the driver for the current user's pair store.
std::vector<TDriverDevice> enumerateDriverDevices();
