#pragma once

#include "model/connection.h"
#include "platform/loop_worker.h"
#include "serial/c0c_cport.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Worker of a COM-port slot: keeps the slot's port (the hidden side of its
// pair, record->PortName) open until terminated, writes what the other slots
// queued for it once 30 ms passed without new data, and hands received bytes
// and the other side's settings to every other slot of the hub. It is a state
// machine on the relay loop, moved on by the port's events, a wake from
// another slot's queue and its deadlines. Start it with
// startComPortWorker(record); after Terminate() it closes the port, reports
// c0mPOrtClosed and frees itself.
class TComPortWorker : public TLoopWorker {
public:
    explicit TComPortWorker(PConnectionInfo aConnectionInfo);
    ~TComPortWorker() override;

protected:
    void Started() override;
    void Stopped() override;

private:
    // Does what is due now, then sets the timer to the next deadline.
    void step();
    void openPort();
    void writeQueuedBytes();
    void written(const std::vector<uint8_t>& buffer, const std::string& error);
    void cPortRxChar(TC0cCport* Sender, int32_t Count, const std::string& BinaryString);
    void cPortCommunicationPropsChanged(TC0cCport* sender, bool PortOpened, int32_t Speed,
                                        int32_t DataBits, int32_t Parity, int32_t StopBits);

    const PHubInfo hubRef; // null when the slot has no hub
    const PConnectionInfo connectionInfo;
    std::unique_ptr<TC0cCport> cPort;
    std::unique_ptr<TLoopTimer> timer_;
    std::optional<uint32_t> reopenAt_;
    bool stopped_ = false;
};

// Starts the worker of a COM-port slot whose PortName is set.
std::shared_ptr<TWorker> startComPortWorker(PConnectionInfo record);

// Quiet time after the last byte queued by another serial slot before the
// queue is written to the port.
constexpr uint32_t comportWriteQuietMs = 30;
// Pause after a failed open before the next attempt.
constexpr uint32_t comportReopenDelayMs = 2000;

// "PortOpened: True, Speed=9600, DataBits=8, Parity=none, StopBits=1" and the
// like, as the cloud receives it.
std::string portSettingsText(bool PortOpened, int32_t Speed, int32_t DataBits, int32_t Parity,
                             int32_t StopBits);

// "19200 8E1": the framing of a settings text in short, as the slot and the
// log show it.
std::string portFramingText(int32_t Speed, int32_t DataBits, int32_t Parity, int32_t StopBits);
