#include "driver/device_set.h"

#include "driver/pair_store.h"

std::vector<TDriverDevice> enumerateDriverDevices() {
    std::vector<TDriverDevice> devices;
    for (int pair : installedPairs()) {
        const std::string number = std::to_string(pair);
        devices.push_back({"root\\com0com", "", pair, std::nullopt});
        devices.push_back(
            {"com0com\\port", "CNCA" + number, std::nullopt, userFacingPortName(pair)});
        devices.push_back({"com0com\\port", "CNCB" + number, std::nullopt, std::nullopt});
    }
    return devices;
}
