#pragma once

#include <string>
#include <vector>

// What the command line of zelvane-tunnel asks for.
struct TCommandLine {
    bool help = false;
    bool version = false;
    bool headless = false;
    bool takeOver = false;    // headless: take a conflicting channel over without asking
    std::string settingsFile; // empty: the default settings file
    std::string error;        // set when the command line is wrong
};

// Reads the arguments after the program name.
TCommandLine parseCommandLine(const std::vector<std::string>& args);

// The text of --help.
std::string usageText();
