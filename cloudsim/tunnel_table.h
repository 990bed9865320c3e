#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace cloudsim {

// A mistake in the simulator's command line or tunnel table, worded for the
// person who wrote it.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The remote device at the far end of a tunnel.
enum class DeviceKind { Echo, Pty, Tcp };

struct DeviceSpec {
    DeviceKind kind = DeviceKind::Echo;
    uint16_t port = 0; // Tcp only; 0 = any free port
};

// "echo", "pty" or "tcp:PORT".
DeviceSpec parseDeviceSpec(const std::string& text);

// One tunnel the simulated cloud knows. Texts are UTF-8; they travel as
// Windows-1251.
struct TunnelConfig {
    std::string key;
    uint8_t id = 1;
    uint8_t localInterfaceId = 1; // 1 = the tunnel needs a local serial port
    std::string name;
    std::string description;
    std::string params;            // default parameters, also sent in every status
    std::string paramsDescription; // what the parameters mean
    DeviceSpec device;
};

// Sets one field by its table name (key, id, iface, name, description, params,
// paramsDescription, device; case-insensitive). `where` prefixes errors.
void setTunnelField(TunnelConfig& tunnel, const std::string& field, const std::string& value,
                    const std::string& where);

// "key=demo,id=1,iface=1,name=Demo,device=echo": the fields of one tunnel as
// comma-separated assignments (values cannot contain commas; use a file then).
TunnelConfig parseTunnelOption(const std::string& fields);

// An INI text: one section per tunnel, named by its key, with the fields above
// as entries. Lines starting with ';' or '#' are comments.
std::vector<TunnelConfig> parseTunnelTable(const std::string& text, const std::string& origin);
std::vector<TunnelConfig> readTunnelFile(const std::string& path);

// Adds `more` to `table`, refusing a key that is already there.
void addTunnels(std::vector<TunnelConfig>& table, const std::vector<TunnelConfig>& more);

// UTF-8 to the Windows-1251 bytes the client decodes; refuses characters that
// code page lacks.
std::string textToCp1251(const std::string& text);

} // namespace cloudsim
