#pragma once

#include "cloudsim/tunnel_table.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cloudsim {

constexpr uint16_t kDefaultPort = 12892;

// Where the simulator sends every client that authorizes, and for how long
// the client may use that address.
struct RedirectTarget {
    std::string target; // "host" or "host:port", as the client receives it
    uint16_t validitySeconds = 0;
};

struct SimOptions {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = kDefaultPort; // 0 = any free port
    std::array<uint8_t, 16> key{};      // protects the hello; the program's built-in key
    std::vector<TunnelConfig> tunnels;
    std::optional<RedirectTarget> redirect;
    bool silent = false; // accept connections, never answer
    bool help = false;
};

// The defaults: 127.0.0.1:12892 and the built-in key the program was built with.
SimOptions defaultOptions();

// Reads the arguments after the program name. Throws ConfigError.
SimOptions parseCommandLine(const std::vector<std::string>& args);

std::string usageText();

// 32 hexadecimal digits to 16 bytes. Throws ConfigError.
std::array<uint8_t, 16> parseKey(const std::string& hex);

// "host:port" split at its last colon; the port 0 to 65535. Throws ConfigError.
std::pair<std::string, uint16_t> parseHostPort(const std::string& text, const std::string& what);

} // namespace cloudsim
