#include "cloud/cloud_address.h"

#include "platform/text.h"

#include <zelvane_config.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

namespace {
std::mutex addressLock;
bool environmentRead = false;
std::optional<TCloudAddress> overrideAddress;

// "host:port" or "host"; nullopt when the port is not a number in range.
std::optional<TCloudAddress> parseAddress(const std::string& text) {
    TCloudAddress address;
    const size_t colon = text.rfind(':');
    address.host = trimmed(text.substr(0, colon));
    if (colon != std::string::npos) {
        const std::string port = trimmed(text.substr(colon + 1));
        char* end = nullptr;
        const long value = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value < 1 || value > 65535)
            return std::nullopt;
        address.port = static_cast<int32_t>(value);
    }
    if (address.host.empty())
        return std::nullopt;
    return address;
}

void readEnvironmentOnce() {
    if (environmentRead)
        return;
    environmentRead = true;
    const char* value = std::getenv("ZELVANE_CLOUD_ADDRESS");
    if (!value || !*value)
        return;
    overrideAddress = parseAddress(value);
    if (!overrideAddress)
        std::fprintf(stderr, "ZELVANE_CLOUD_ADDRESS=\"%s\" is not host:port; ignored\n", value);
}
} // namespace

TCloudAddress cloudServerAddress() {
    std::lock_guard guard(addressLock);
    readEnvironmentOnce();
    if (overrideAddress)
        return *overrideAddress;
    return {ZELVANE_CLOUD_SERVER, defaultCloudPort};
}

void setCloudServerAddress(const std::string& host, int32_t port) {
    std::lock_guard guard(addressLock);
    environmentRead = true;
    overrideAddress = TCloudAddress{host, port};
}

const TBytes& builtinKey() {
    static const TBytes key = [] {
        const std::string hex = ZELVANE_BUILTIN_KEY;
        TBytes bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        return bytes;
    }();
    return key;
}
