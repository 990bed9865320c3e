#pragma once

#include "platform/serial_port.h"
#include "serial/lsr_mst_escape.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

// Serial port component for the hidden side of a virtual pair: asks the
// driver for in-band reports when it opens, and splits the received stream
// into data (OnRxChar) and the other side's settings
// (OnCommunicationPropsChangedEvent). Both handlers must be set before Open.
class TC0cCport : public TCustomComPort {
public:
    // Stops the event thread before the handlers and the decoder go.
    ~TC0cCport() override { Close(); }

    TC0cRxCharEvent OnRxChar;
    TCommunicationPropsChangedEvent OnCommunicationPropsChangedEvent;

    // Asks the open port's driver which report options it offers.
    bool QueryC0cCaps(uint32_t& offeredOptions);

protected:
    void SetupPort() override;
    void DoRxChar(int count) override;
    void DoRing() override;

private:
    LsrMstEscape escape;
};
