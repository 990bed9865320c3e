#pragma once

#include "cloud/codec.h"

#include <cstdint>
#include <string>

constexpr int32_t defaultCloudPort = 12892;

struct TCloudAddress {
    std::string host;
    int32_t port = defaultCloudPort;
};

// The server a tunnel client connects to unless it was redirected: the host
// the program was built for, on port 12892.
//
// Test and diagnostics hook: setCloudServerAddress() moves it for the whole
// process (the test suites use it), and so does the environment variable
// ZELVANE_CLOUD_ADDRESS="host:port", read once at first use (end-to-end runs,
// trying the program against a local cloud server). The settings of a user
// never come from here.
TCloudAddress cloudServerAddress();
void setCloudServerAddress(const std::string& host, int32_t port);

// The 16-byte key that protects the server's first message of a connection.
const TBytes& builtinKey();
