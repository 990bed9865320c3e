#include "serial/comport_thread.h"

#include "log/traffic_log.h"
#include "platform/text.h"
#include "platform/tick.h"

#include <algorithm>
#include <exception>
#include <vector>

std::string portSettingsText(bool PortOpened, int32_t Speed, int32_t DataBits, int32_t Parity,
                             int32_t StopBits) {
    // Mark and space have no word of their own here; they read as "none".
    const char* parity = Parity == 1 ? "odd" : Parity == 2 ? "even" : "none";
    // One and a half stop bits read as "1".
    const char* stopBits = StopBits == 2 ? "2" : "1";
    return Format("PortOpened: %s, Speed=%d, DataBits=%d, Parity=%s, StopBits=%s",
                  PortOpened ? "True" : "False", Speed, DataBits, parity, stopBits);
}

TComPortThread::TComPortThread(PConnectionInfo aConnectionInfo)
    : hubRef(aConnectionInfo ? aConnectionInfo->hub() : nullptr),
      connectionInfo(std::move(aConnectionInfo)) {}

TComPortThread::~TComPortThread() = default;

std::shared_ptr<TWorker> startComPortWorker(PConnectionInfo record) {
    return startThread<TComPortThread>(std::move(record));
}

void TComPortThread::Execute() {
    cPort = std::make_unique<TC0cCport>();
    cPort->Port = connectionInfo->PortName.get();
    cPort->OnCommunicationPropsChangedEvent = [this](TC0cCport* sender, bool PortOpened,
                                                     int32_t Speed, int32_t DataBits,
                                                     int32_t Parity, int32_t StopBits) {
        cPortCommunicationPropsChanged(sender, PortOpened, Speed, DataBits, Parity, StopBits);
    };
    cPort->OnRxChar = [this](TC0cCport* Sender, int32_t Count, const std::string& BinaryString) {
        cPortRxChar(Sender, Count, BinaryString);
    };

    try {
        while (!Terminated()) {
            try {
                runPass();
            } catch (const std::exception& e) {
                logConnectionEvent(connectionInfo.get(),
                                   std::string("execute exception: ") + e.what());
            }
        }
    } catch (...) {
        // Whatever ends the loop, the port is closed and the panel told below.
    }
    cPort->Close();
    connectionInfo->comportStatus = c0mPOrtClosed;
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
}

void TComPortThread::runPass() {
    if (!cPort->Connected()) {
        try {
            cPort->Open();
        } catch (const std::exception& e) {
            connectionInfo->comportStatus = c0mPortOpenError;
            notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
            logConnectionEvent(connectionInfo.get(),
                               std::string("Comport open error: ") + e.what());
            SleepUnlessTerminated(comportReopenDelayMs);
        }
    }
    SleepUnlessTerminated(1);
    writeQueuedBytes();
}

void TComPortThread::writeQueuedBytes() {
    if (!cPort->Connected() || !connectionInfo->HasDataFromOthers.load())
        return;
    std::vector<uint8_t> buffer;
    {
        // The quiet time is read under the lock too: it is written under it.
        std::lock_guard guard(connectionInfo->BytesCriticalSection);
        if (ticksSince(connectionInfo->LastDataFromOthersMillis) <= comportWriteQuietMs)
            return;
        buffer.swap(connectionInfo->BytesToSend);
        connectionInfo->HasDataFromOthers = false;
    }
    if (buffer.empty())
        return;
    cPort->Write(buffer.data(), static_cast<int>(buffer.size()));
    connectionInfo->BytesWritten += static_cast<uint32_t>(buffer.size());
    notifySlot(*connectionInfo, WM_TRAFFIC_TX);
    logConnectionEvent(connectionInfo.get(), "W " + toHex(buffer));
}

void TComPortThread::cPortRxChar(TC0cCport*, int32_t Count, const std::string& BinaryString) {
    if (!hubRef) {
        cPort->ClearBuffer(true, true);
        return;
    }
    if (Count <= 0)
        return;
    const size_t size = std::min(static_cast<size_t>(Count), BinaryString.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(BinaryString.data());
    connectionInfo->BytesRead += static_cast<uint32_t>(Count);
    notifySlot(*connectionInfo, WM_TRAFFIC_RX);
    const uint32_t now = GetTickCount();
    handToOtherSlots(*connectionInfo, [&](TConnection& other) {
        other.BytesToSend.insert(other.BytesToSend.end(), bytes, bytes + size);
        other.LastDataFromOthersMillis = now;
        other.HasDataFromOthers = true;
    });
    connectionInfo->LastDataSelfMillis = now;
    logConnectionEvent(connectionInfo.get(), "R " + toHex(bytes, size));
}

void TComPortThread::cPortCommunicationPropsChanged(TC0cCport*, bool PortOpened, int32_t Speed,
                                                    int32_t DataBits, int32_t Parity,
                                                    int32_t StopBits) {
    if (!hubRef)
        return;
    connectionInfo->comportStatus = PortOpened ? c0mPortOpened : c0mPOrtNotOpenedByApp;
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    const std::string text = portSettingsText(PortOpened, Speed, DataBits, Parity, StopBits);
    connectionInfo->BytesRead += static_cast<uint32_t>(text.size());
    notifySlot(*connectionInfo, WM_TRAFFIC_RX);
    const uint32_t now = GetTickCount();
    bool changed = false;
    handToOtherSlots(*connectionInfo, [&](TConnection& other) {
        if (other.latestLocalportSettingsString == text)
            return;
        other.latestLocalportSettingsString = text;
        other.latestLocalportSettingsSent = false;
        other.LastDataFromOthersMillis = now;
        other.HasDataFromOthers = true;
        changed = true;
    });
    connectionInfo->LastDataSelfMillis = now;
    if (changed)
        logLine("CommunicationPropsChanged: " + text);
}
