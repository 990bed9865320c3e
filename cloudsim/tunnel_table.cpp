#include "cloudsim/tunnel_table.h"

#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace cloudsim {
namespace {

// The data source status carries the parameter text with a length the client
// accepts only up to 299; the other texts are kept to a readable size.
constexpr size_t kMaxParamsBytes = 299;
constexpr size_t kMaxTextBytes = 1000;
constexpr size_t kMaxKeyBytes = 255;

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

uint8_t parseByte(const std::string& value, const std::string& what) {
    const std::string text = trimmed(value);
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        throw ConfigError(what + " must be a number from 0 to 255, not \"" + value + "\"");
    const int number = std::stoi(text);
    if (number > 255)
        throw ConfigError(what + " must be a number from 0 to 255, not \"" + value + "\"");
    return static_cast<uint8_t>(number);
}

void checkText(const std::string& text, size_t limit, const std::string& what) {
    const std::string bytes = textToCp1251(text);
    if (bytes.size() > limit)
        throw ConfigError(what + " is longer than " + std::to_string(limit) + " bytes");
}

void validateTunnel(const TunnelConfig& tunnel, const std::string& where) {
    if (tunnel.key.empty())
        throw ConfigError(where + ": the tunnel key is empty");
    // The client sends the low 8 bits of each character and one length byte.
    if (textToAnsi(tunnel.key).size() > kMaxKeyBytes)
        throw ConfigError(where + ": the tunnel key is longer than 255 characters");
    try {
        checkText(tunnel.name, kMaxTextBytes, "name");
        checkText(tunnel.description, kMaxTextBytes, "description");
        checkText(tunnel.params, kMaxParamsBytes, "params");
        checkText(tunnel.paramsDescription, kMaxTextBytes, "paramsDescription");
    } catch (const ConfigError& error) {
        throw ConfigError(where + ": " + error.what());
    }
}

// A lookup from the UTF-8 form of each Windows-1251 byte back to the byte.
const std::map<std::string, char>& cp1251Bytes() {
    static const std::map<std::string, char> table = [] {
        std::map<std::string, char> bytes;
        for (int b = 0x80; b <= 0xFF; ++b) {
            const std::string one(1, static_cast<char>(b));
            bytes.emplace(ansiToText(one), one[0]);
        }
        return bytes;
    }();
    return table;
}

size_t utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

} // namespace

DeviceSpec parseDeviceSpec(const std::string& text) {
    const std::string value = lowered(trimmed(text));
    if (value == "echo")
        return {DeviceKind::Echo, 0};
    if (value == "pty")
        return {DeviceKind::Pty, 0};
    if (value.rfind("tcp:", 0) == 0) {
        const std::string port = value.substr(4);
        if (!port.empty() && port.size() <= 5 &&
            std::all_of(port.begin(), port.end(),
                        [](unsigned char c) { return std::isdigit(c); })) {
            const int number = std::stoi(port);
            if (number <= 65535)
                return {DeviceKind::Tcp, static_cast<uint16_t>(number)};
        }
    }
    throw ConfigError("device must be echo, pty or tcp:PORT (PORT 0 to 65535), not \"" + text +
                      "\"");
}

void setTunnelField(TunnelConfig& tunnel, const std::string& field, const std::string& value,
                    const std::string& where) {
    const std::string name = lowered(trimmed(field));
    try {
        if (name == "key")
            tunnel.key = trimmed(value);
        else if (name == "id")
            tunnel.id = parseByte(value, "id");
        else if (name == "iface")
            tunnel.localInterfaceId = parseByte(value, "iface");
        else if (name == "name")
            tunnel.name = value;
        else if (name == "description")
            tunnel.description = value;
        else if (name == "params")
            tunnel.params = value;
        else if (name == "paramsdescription")
            tunnel.paramsDescription = value;
        else if (name == "device")
            tunnel.device = parseDeviceSpec(value);
        else
            throw ConfigError("unknown field \"" + trimmed(field) +
                              "\" (known: key, id, iface, name, description, params, "
                              "paramsDescription, device)");
    } catch (const ConfigError& error) {
        throw ConfigError(where + ": " + error.what());
    }
}

TunnelConfig parseTunnelOption(const std::string& fields) {
    const std::string where = "--tunnel " + fields;
    TunnelConfig tunnel;
    std::stringstream parts(fields);
    std::string part;
    while (std::getline(parts, part, ',')) {
        const size_t equals = part.find('=');
        if (equals == std::string::npos)
            throw ConfigError(where + ": \"" + part + "\" is not of the form field=value");
        setTunnelField(tunnel, part.substr(0, equals), part.substr(equals + 1), where);
    }
    if (tunnel.name.empty())
        tunnel.name = tunnel.key;
    validateTunnel(tunnel, where);
    return tunnel;
}

std::vector<TunnelConfig> parseTunnelTable(const std::string& text, const std::string& origin) {
    std::vector<TunnelConfig> table;
    std::vector<size_t> sectionLines;
    std::stringstream lines(text);
    std::string raw;
    size_t lineNumber = 0;
    while (std::getline(lines, raw)) {
        ++lineNumber;
        const std::string where = origin + ":" + std::to_string(lineNumber);
        const std::string line = trimmed(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                throw ConfigError(where + ": a section name must end with ']'");
            TunnelConfig tunnel;
            tunnel.key = trimmed(line.substr(1, line.size() - 2));
            tunnel.name = tunnel.key;
            table.push_back(tunnel);
            sectionLines.push_back(lineNumber);
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            throw ConfigError(where + ": expected field=value or [tunnel key]");
        if (table.empty())
            throw ConfigError(where + ": a field before the first [tunnel key] section");
        if (lowered(trimmed(line.substr(0, equals))) == "key")
            throw ConfigError(where + ": the key is the section name, not a field");
        setTunnelField(table.back(), line.substr(0, equals), trimmed(line.substr(equals + 1)),
                       where);
    }
    std::vector<TunnelConfig> checked;
    for (size_t i = 0; i < table.size(); ++i) {
        validateTunnel(table[i], origin + ":" + std::to_string(sectionLines[i]));
        addTunnels(checked, {table[i]});
    }
    return checked;
}

std::vector<TunnelConfig> readTunnelFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw ConfigError("cannot read the tunnel table " + path);
    std::stringstream text;
    text << file.rdbuf();
    return parseTunnelTable(text.str(), path);
}

void addTunnels(std::vector<TunnelConfig>& table, const std::vector<TunnelConfig>& more) {
    for (const TunnelConfig& tunnel : more) {
        const bool known = std::any_of(table.begin(), table.end(),
                                       [&](const TunnelConfig& t) { return t.key == tunnel.key; });
        if (known)
            throw ConfigError("tunnel key \"" + tunnel.key + "\" is defined twice");
        table.push_back(tunnel);
    }
}

std::string textToCp1251(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const auto lead = static_cast<unsigned char>(text[pos]);
        if (lead < 0x80) {
            out += text[pos++];
            continue;
        }
        const std::string sequence = text.substr(pos, utf8SequenceLength(lead));
        const auto found = cp1251Bytes().find(sequence);
        if (found == cp1251Bytes().end())
            throw ConfigError("\"" + text + "\" has characters outside Windows-1251");
        out += found->second;
        pos += sequence.size();
    }
    return out;
}

} // namespace cloudsim
