#include "settings/settings_file.h"

#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_dir && *entry->pw_dir)
        return entry->pw_dir;
    throw std::runtime_error("Unable to find the home folder for the settings file");
}

// k of an entry named "Connection<k><suffix>", matched without regard to case.
bool entryIndex(const std::string& key, int& k) {
    static const std::string prefix = "connection";
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.rfind(prefix, 0) != 0)
        return false;
    size_t pos = prefix.size();
    size_t digits = pos;
    while (digits < lower.size() && std::isdigit(static_cast<unsigned char>(lower[digits])))
        ++digits;
    if (digits == pos || digits - pos > 9)
        return false;
    const std::string suffix = lower.substr(digits);
    if (suffix != "tunnel" && suffix != "comport")
        return false;
    // The program writes plain numbers, so "Connection01Tunnel" is none of its entries.
    const std::string number = lower.substr(pos, digits - pos);
    if (number.size() > 1 && number[0] == '0')
        return false;
    k = std::stoi(number);
    return true;
}

} // namespace

bool isUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80                   ? 1
                              : lead >= 0xC2 && lead < 0xE0 ? 2
                              : lead >= 0xE0 && lead < 0xF0 ? 3
                              : lead >= 0xF0 && lead < 0xF5 ? 4
                                                            : 0;
        if (length == 0 || text.size() - i < length)
            return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

std::string connectionEntry(int k, const char* suffix) {
    return Format("Connection%d%s", k, suffix);
}

namespace {
std::string chosenSettingsPath; // set at start-up, before any thread
} // namespace

void setSettingsFilePath(std::string path) {
    chosenSettingsPath = std::move(path);
}

bool settingsFileChosen() {
    return !chosenSettingsPath.empty();
}

std::string settingsFilePath() {
    if (!chosenSettingsPath.empty())
        return chosenSettingsPath;
    std::string config;
    // XDG base directories must be absolute; a relative one is ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
        config = xdg;
    else
        config = homeFolder() + "/.config";
    return config + "/Quarnel/ZelvaneTunnel/settings.cfg";
}

bool forceDirectories(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TIniFile openSettingsFile() {
    const std::string path = settingsFilePath();
    // A folder that cannot be created shows up as "Unable to write to" at the
    // first write; reading then finds no file.
    forceDirectories(path.substr(0, path.rfind('/')));
    return TIniFile(path);
}

std::vector<TStoredTunnel> readStoredTunnels(const TIniFile& ini) {
    std::map<int, TStoredTunnel> byIndex;
    for (const auto& key : ini.ReadSection(ConnectionsSection)) {
        int k;
        if (entryIndex(key, k))
            byIndex[k].index = k;
    }
    std::vector<TStoredTunnel> tunnels;
    for (auto& [k, tunnel] : byIndex) {
        const std::string keyEntry = connectionEntry(k, "Tunnel");
        const std::string portEntry = connectionEntry(k, "ComPort");
        tunnel.tunnelKey = ini.ReadString(ConnectionsSection, keyEntry, "");
        if (!isUtf8(tunnel.tunnelKey))
            tunnel.problems.push_back(keyEntry + " is not UTF-8 text");
        const std::string port = ini.ReadString(ConnectionsSection, portEntry, "");
        if (!port.empty() && !parseIniInteger(port, tunnel.comPort))
            tunnel.problems.push_back(portEntry + " is not a pair number");
        tunnels.push_back(tunnel);
    }
    return tunnels;
}

void writeStoredTunnels(TIniFile& ini, const std::vector<TStoredTunnel>& tunnels) {
    std::vector<std::pair<std::string, std::string>> entries;
    int k = 0;
    for (const TStoredTunnel& tunnel : tunnels) {
        entries.emplace_back(connectionEntry(k, "Tunnel"), tunnel.tunnelKey);
        if (tunnel.comPort >= 0) {
            // A number stored in another spelling (0x1F) stays as it is.
            const std::string entry = connectionEntry(k, "ComPort");
            std::string value = ini.ReadString(ConnectionsSection, entry, "");
            int32_t stored;
            if (!parseIniInteger(value, stored) || stored != tunnel.comPort)
                value = std::to_string(tunnel.comPort);
            entries.emplace_back(entry, value);
        }
        ++k;
    }
    ini.ReplaceSection(ConnectionsSection, entries);
}
