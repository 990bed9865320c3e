#include "cloudsim/options.h"

#include "cloud/cloud_address.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <tuple>

namespace cloudsim {
namespace {

bool allDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

uint16_t parsePort(const std::string& text, const std::string& what) {
    const std::string port = trimmed(text);
    if (!allDigits(port) || port.size() > 5 || std::stoi(port) > 65535)
        throw ConfigError(what + ": the port must be a number from 0 to 65535, not \"" + text +
                          "\"");
    return static_cast<uint16_t>(std::stoi(port));
}

RedirectTarget parseRedirect(const std::string& text) {
    const std::string what = "--redirect " + text;
    const size_t comma = text.rfind(',');
    if (comma == std::string::npos)
        throw ConfigError(what + ": expected HOST:PORT,SECONDS");
    RedirectTarget redirect;
    redirect.target = trimmed(text.substr(0, comma));
    if (redirect.target.find(':') != std::string::npos)
        parseHostPort(redirect.target, what);
    // The client accepts a server name of 1 to 299 bytes.
    if (redirect.target.empty() || redirect.target.size() > 299)
        throw ConfigError(what + ": the target must be 1 to 299 characters");
    const std::string seconds = trimmed(text.substr(comma + 1));
    if (!allDigits(seconds) || seconds.size() > 5 || std::stoi(seconds) > 65535)
        throw ConfigError(what + ": the validity must be 0 to 65535 seconds");
    redirect.validitySeconds = static_cast<uint16_t>(std::stoi(seconds));
    return redirect;
}

} // namespace

std::pair<std::string, uint16_t> parseHostPort(const std::string& text, const std::string& what) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        throw ConfigError(what + ": expected HOST:PORT");
    const std::string host = trimmed(text.substr(0, colon));
    if (host.empty())
        throw ConfigError(what + ": the host is missing");
    return {host, parsePort(text.substr(colon + 1), what)};
}

std::array<uint8_t, 16> parseKey(const std::string& hex) {
    if (hex.size() != 32 ||
        !std::all_of(hex.begin(), hex.end(), [](unsigned char c) { return std::isxdigit(c); }))
        throw ConfigError("the key must be 32 hexadecimal digits, not \"" + hex + "\"");
    std::array<uint8_t, 16> key{};
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return key;
}

SimOptions defaultOptions() {
    SimOptions options;
    const TBytes& key = builtinKey();
    std::copy(key.begin(), key.end(), options.key.begin());
    return options;
}

SimOptions parseCommandLine(const std::vector<std::string>& args) {
    SimOptions options = defaultOptions();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw ConfigError(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--listen") {
            std::tie(options.listenHost, options.listenPort) = parseHostPort(value(), arg);
        } else if (arg == "--key") {
            options.key = parseKey(value());
        } else if (arg == "--tunnels") {
            addTunnels(options.tunnels, readTunnelFile(value()));
        } else if (arg == "--tunnel") {
            addTunnels(options.tunnels, {parseTunnelOption(value())});
        } else if (arg == "--redirect") {
            options.redirect = parseRedirect(value());
        } else if (arg == "--silent") {
            options.silent = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else {
            throw ConfigError("unknown option \"" + arg + "\" (see --help)");
        }
    }
    return options;
}

std::string usageText() {
    return R"(Usage: zelvane-cloudsim [options]
A local cloud server for Zelvane Tunnel: it answers the program's connection,
knows a table of tunnels and plays the remote device of each.

  --listen HOST:PORT   address to listen on (default 127.0.0.1:12892; port 0 =
                       any free port). The bound address is printed as
                       "listening on HOST:PORT".
  --key HEX32          key of the first message, 32 hexadecimal digits
                       (default: the key the program was built with)
  --tunnels FILE       tunnel table: one [tunnel key] section per tunnel with
                       id, iface, name, description, params, paramsDescription
                       and device entries
  --tunnel FIELDS      one tunnel, e.g. key=demo,id=1,iface=1,name=Demo,device=echo
                       (may be repeated)
  --redirect HOST:PORT,SECONDS
                       send every client that authorizes to another server,
                       valid for SECONDS
  --silent             accept connections but never answer
  --help               this text

Devices: echo (sends back what it receives), pty (a pseudo-terminal whose path
is printed, for a serial program) or tcp:PORT (a port where a remote device
connects and exchanges raw bytes; 0 = any free port, printed).
Unknown tunnel keys are refused. SIGINT or SIGTERM stops the server.
)";
}

} // namespace cloudsim
