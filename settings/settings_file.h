#pragma once

#include "settings/ini_file.h"

#include <cstdint>
#include <string>
#include <vector>

// Section of the tunnel entries; erased and written anew at each save.
inline constexpr const char* ConnectionsSection = "Connections";

// "Connection<k>" followed by the suffix ("Tunnel" or "ComPort").
std::string connectionEntry(int k, const char* suffix);

// <config folder>/Quarnel/ZelvaneTunnel/settings.cfg, where the config folder
// is $XDG_CONFIG_HOME, else $HOME/.config (HOME from the password database
// when unset). Throws when no home folder can be found.
std::string settingsFilePath();
// Another settings file, an absolute path, chosen on the command line before
// anything runs; empty goes back to the default.
void setSettingsFilePath(std::string path);
// True when another settings file than the default was chosen.
bool settingsFileChosen();

// The settings file with its folder created when missing (mode 0700).
TIniFile openSettingsFile();

// True when `text` is well-formed UTF-8 (no overlong forms or surrogates).
bool isUtf8(const std::string& text);

// Creates a folder and its missing parents; false when that failed.
bool forceDirectories(const std::string& path);

// One tunnel as the file stores it.
struct TStoredTunnel {
    int index = 0;         // k of its entries
    std::string tunnelKey; // as typed; may be empty
    int32_t comPort = -1;  // pair number, -1 for none
    // What the reader could not use, each naming the entry; empty when all is
    // well.
    std::vector<std::string> problems;
};

// Every tunnel of the file in the order of its number, also those stored with
// an empty key or with gaps in the numbering, so none is lost at a load.
std::vector<TStoredTunnel> readStoredTunnels(const TIniFile& ini);

// Makes the section "Connections" hold `tunnels`, numbered from 0 in their
// order: the key of each, and its pair number when it has one (>= 0). An entry
// that reads as the value it is given keeps its bytes in the file, so a key
// read by readStoredTunnels is written back exactly as it was stored.
void writeStoredTunnels(TIniFile& ini, const std::vector<TStoredTunnel>& tunnels);
