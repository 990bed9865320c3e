#include "serial/c0c_cport.h"

#include <algorithm>
#include <vector>

namespace {
// Options the component asks for; the rest of the driver's offer is ignored.
constexpr uint32_t wantedOptions = C0CE_INSERT_ENABLE_LSR | C0CE_INSERT_ENABLE_MST |
                                   C0CE_INSERT_ENABLE_RBR | C0CE_INSERT_ENABLE_RLC |
                                   C0CE_INSERT_IOCTL_GET | C0CE_INSERT_IOCTL_CAPS;
constexpr uint32_t basicOptions = C0CE_INSERT_ENABLE_LSR | C0CE_INSERT_ENABLE_MST;

// Escape character, signature, option mask (little-endian): 9 bytes.
std::vector<uint8_t> insertRequest(uint8_t escapeChar, uint32_t options) {
    std::vector<uint8_t> request(1 + C0CE_SIGNATURE.size() + 4);
    request[0] = escapeChar;
    std::copy(C0CE_SIGNATURE.begin(), C0CE_SIGNATURE.end(), request.begin() + 1);
    for (size_t i = 0; i < 4; ++i)
        request[1 + C0CE_SIGNATURE.size() + i] = static_cast<uint8_t>(options >> (8 * i));
    return request;
}

// Size of the immediate state report the driver returns for `options`.
size_t stateReportSize(uint32_t options) {
    if (!(options & C0CE_INSERT_IOCTL_GET))
        return 0;
    size_t size = 0;
    if (options & C0CE_INSERT_ENABLE_LSR)
        size += 3;
    if (options & C0CE_INSERT_ENABLE_MST)
        size += 3;
    if (options & C0CE_INSERT_ENABLE_RBR)
        size += 6;
    if (options & C0CE_INSERT_ENABLE_RLC)
        size += 5;
    return size;
}
} // namespace

bool TC0cCport::QueryC0cCaps(uint32_t& offeredOptions) {
    std::vector<uint8_t> answer(8);
    if (!DeviceIoControl(IOCTL_SERIAL_LSRMST_INSERT, insertRequest(0, 0xFFFFFFFF), answer))
        return false;
    if (answer.size() < 8 ||
        !std::equal(C0CE_SIGNATURE.begin(), C0CE_SIGNATURE.end(), answer.begin()))
        return false;
    offeredOptions = c0cLittleEndian32(answer.data() + 4);
    return true;
}

void TC0cCport::SetupPort() {
    TCustomComPort::SetupPort();
    uint32_t offered = 0;
    const uint32_t options = QueryC0cCaps(offered) ? offered & wantedOptions : basicOptions;
    const size_t reportSize = stateReportSize(options);
    std::vector<uint8_t> stateReport(reportSize);
    if (!DeviceIoControl(IOCTL_SERIAL_LSRMST_INSERT, insertRequest(c0cEscapeChar, options),
                         stateReport))
        throw EComPort("IOCTL_SERIAL_LSRMST_INSERT");
    InitLsrMstEscape(escape, c0cEscapeChar, this, OnCommunicationPropsChangedEvent, OnRxChar);
    const size_t returned = std::min(stateReport.size(), reportSize);
    ParseLsrMst(escape, stateReport.data(), static_cast<int32_t>(returned));
}

void TC0cCport::DoRxChar(int count) {
    if (count <= 0)
        return;
    std::vector<uint8_t> buffer(static_cast<size_t>(count));
    const int received = Read(buffer.data(), count);
    if (received > 0)
        ParseLsrMst(escape, buffer.data(), received);
}

void TC0cCport::DoRing() {
    DoRxChar(InputCount());
    TCustomComPort::DoRing();
}
