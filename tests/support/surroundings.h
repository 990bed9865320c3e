#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Keys the test cloud knows: tunnels that need a local port, one that needs
// none, and one whose local interface this program does not support.
inline const std::string goodKey = "good-key";
inline const std::string goodKey2 = "good-key-2";
inline const std::string goodKey3 = "good-key-3";
inline const std::string goodKey4 = "good-key-4";
inline const std::string portlessKey = "portless-key";
inline const std::string futureKey = "future-key";

// The process-wide surroundings of the lifecycle tests: a temporary HOME with
// its XDG folders, the pair programs of this build and the local cloud server
// in-process on a free loopback port.
void setUpTestSurroundings();
void startTestCloud();
void tearDownTestSurroundings();
std::filesystem::path settingsPath();
// Port of the test cloud on 127.0.0.1.
uint16_t testCloudPort();
// True once the cloud server logged a line holding `text`.
bool cloudLogged(const std::string& text);
// Removes every installed pair with the real setupc.
void removeAllPairs();

void writeSettings(const std::string& text);
std::string settingsText();

// A cloud that takes the connection and says nothing: a learning run waits.
// The program talks to it while it exists.
class SilentCloud {
public:
    SilentCloud();
    ~SilentCloud();
    // Waits for the client, then closes it and the listener: the client's
    // next attempt fails.
    void hangUp();

private:
    int listener_ = -1;
};

// The path of a pair's user-facing port once it is there: it appears when
// the slot's worker opens the hidden side. Throws when it never does.
std::string userPortOnceThere(int pair);
