#include "portpairs/ports_handler.h"

#include "platform/text.h"

#include <charconv>
#include <stdexcept>

namespace {
// Device properties are read into 40-byte buffers: at most 39 bytes of text.
constexpr size_t propertyTextLimit = 39;
// A port name is read into 40 bytes of UTF-16: 19 units and the zero.
constexpr size_t portNameUnitLimit = 19;

std::string upToZero(const std::string& value) {
    return value.substr(0, value.find('\0'));
}

std::string propertyText(const std::string& value) {
    return upToZero(value.substr(0, propertyTextLimit));
}

size_t utf16Units(const std::string& utf8) {
    size_t units = 0;
    for (const char c : utf8) {
        const auto b = static_cast<uint8_t>(c);
        if ((b & 0xC0) != 0x80)
            units += b >= 0xF0 ? 2 : 1;
    }
    return units;
}

// A name that does not fit the buffer is not read at all.
std::string portNameText(const std::optional<std::string>& value) {
    if (!value || utf16Units(*value) > portNameUnitLimit)
        return {};
    return upToZero(*value);
}

// The pair number of a location such as "CNCA12": the text from its fifth
// character on.
int32_t locationPairId(const std::string& location) {
    const std::string text = trimmed(location.size() > 4 ? location.substr(4, 255) : "");
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+')
        ++first;
    int32_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (first == last || error != std::errc() || end != last)
        throw std::invalid_argument("'" + text + "' is not a valid integer value");
    return value;
}
} // namespace

TC0cPortsHandler::TC0cPortsHandler(const std::vector<TDriverDevice>& devices) {
    walkDevices(devices);
}

PC0cPair TC0cPortsHandler::findPairByPairId(int32_t pairId) const {
    for (const auto& pair : pairList)
        if (pair->PairId == pairId)
            return pair.get();
    return nullptr;
}

PC0cPair TC0cPortsHandler::pairForId(int32_t pairId) {
    if (const PC0cPair pair = findPairByPairId(pairId))
        return pair;
    auto pair = std::make_unique<TC0cPair>();
    pair->PairId = pairId;
    pairList.push_back(std::move(pair));
    return pairList.back().get();
}

void TC0cPortsHandler::walkDevices(const std::vector<TDriverDevice>& devices) {
    pairList.clear();
    for (const TDriverDevice& device : devices) {
        const std::string hardwareId = propertyText(device.hardwareId);
        if (hardwareId.find("root\\com0com") == std::string::npos &&
            hardwareId.find("com0com\\port") == std::string::npos)
            continue;
        const std::string location = propertyText(device.location);

        if (device.portNum) {
            // The bus device of a pair names its hidden side.
            if (*device.portNum < 0)
                throw std::range_error("Range check error");
            pairForId(*device.portNum)->ComHidden = "CNCB" + std::to_string(*device.portNum);
            continue;
        }

        const std::string portName = portNameText(device.portName);
        if (location.find("CNC") == std::string::npos)
            continue;
        const PC0cPair pair = pairForId(locationPairId(location));
        if (location.find("CNCA") != std::string::npos)
            pair->ComHuman = portName;
        if (location.find("CNCB") != std::string::npos && pair->ComHidden.empty())
            pair->ComHidden = trimmed(location);
    }
}
