#pragma once

#include "driver/device_set.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One virtual port pair.
struct TC0cPair {
    std::string ComHuman;  // port name of the user-facing side, e.g. "ttyZV3"; may be empty
    std::string ComHidden; // device the slot worker opens, e.g. "CNCB3"; may be empty
    int32_t PairId = 0;
};
// Valid while its inventory lives and is not rebuilt; copy what you keep.
using PC0cPair = TC0cPair*;

// A snapshot of the installed pairs, in the order the driver lists their
// devices. One inventory is used by one thread at a time; separate
// inventories may be built on several threads at once.
class TC0cPortsHandler {
public:
    // Enumerates the driver's devices. Throws when a device carries a
    // malformed location or pair number.
    TC0cPortsHandler();
    // Builds the inventory from the given devices, as the enumeration does.
    explicit TC0cPortsHandler(const std::vector<TDriverDevice>& devices);
    TC0cPortsHandler(const TC0cPortsHandler&) = delete;
    TC0cPortsHandler& operator=(const TC0cPortsHandler&) = delete;

    // The first pair numbered pairId, or null.
    PC0cPair findPairByPairId(int32_t pairId) const;
    // The pair numbered pairId, appended with empty names when missing.
    PC0cPair pairForId(int32_t pairId);
    const std::vector<std::unique_ptr<TC0cPair>>& pairs() const { return pairList; }

    // Installs one pair with the addCom program beside the executable and
    // rebuilds the inventory (every PC0cPair taken before is invalid). The
    // pair gets number `wanted` when that is given (>= 0) and free. Returns
    // the new pair, or null when none showed up. Keeps the interface alive
    // while it waits; throws when the program cannot be started.
    PC0cPair addPair(int32_t wanted = -1);
    // Removes pair pairId with driver/setupc beside the executable; does
    // nothing when that program is missing. Throws when it cannot be started.
    static void UninstallPair(int32_t pairId);

private:
    void refreshPairs();
    void walkDevices(const std::vector<TDriverDevice>& devices);

    std::vector<std::unique_ptr<TC0cPair>> pairList;
};

// Folder that holds addCom and driver/setupc: the executable's folder unless
// set here (the tests point it at the build's program folder).
void setPairProgramsFolder(const std::string& folder);

// Receives a fresh inventory on the interface thread; it may only be read
// during the call.
using TReceiveComportPairs = std::function<void(TC0cPortsHandler& pairs)>;
