#include "serial/comport_thread.h"

#include "log/traffic_log.h"
#include "platform/text.h"
#include "platform/tick.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace {
// Mark and space have no word of their own in the settings text; they read
// as "none".
const char* parityWord(int32_t Parity) {
    return Parity == 1 ? "odd" : Parity == 2 ? "even" : "none";
}

// One and a half stop bits read as "1".
const char* stopBitsWord(int32_t StopBits) {
    return StopBits == 2 ? "2" : "1";
}
} // namespace

std::string portSettingsText(bool PortOpened, int32_t Speed, int32_t DataBits, int32_t Parity,
                             int32_t StopBits) {
    return Format("PortOpened: %s, Speed=%d, DataBits=%d, Parity=%s, StopBits=%s",
                  PortOpened ? "True" : "False", Speed, DataBits, parityWord(Parity),
                  stopBitsWord(StopBits));
}

std::string portFramingText(int32_t Speed, int32_t DataBits, int32_t Parity, int32_t StopBits) {
    return Format("%d %d%c%s", Speed, DataBits, parityWord(Parity)[0] - 'a' + 'A',
                  stopBitsWord(StopBits));
}

TComPortWorker::TComPortWorker(PConnectionInfo aConnectionInfo)
    : TLoopWorker(TEventLoop::relay()), hubRef(aConnectionInfo ? aConnectionInfo->hub() : nullptr),
      connectionInfo(std::move(aConnectionInfo)) {}

TComPortWorker::~TComPortWorker() = default;

std::shared_ptr<TWorker> startComPortWorker(PConnectionInfo record) {
    return startLoopWorker<TComPortWorker>(std::move(record));
}

void TComPortWorker::Started() {
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
    cPort->OnDeviceGone = [this] { step(); };
    timer_ = loop().timer([this] { step(); });
    {
        // One wake on its way is enough: the step reads the whole queue.
        std::lock_guard guard(connectionInfo->BytesCriticalSection);
        connectionInfo->queueWake = coalescedWake([this] { step(); });
    }
    step();
}

void TComPortWorker::Stopped() {
    stopped_ = true;
    {
        std::lock_guard guard(connectionInfo->BytesCriticalSection);
        connectionInfo->queueWake = nullptr;
    }
    if (timer_)
        timer_->stop();
    if (cPort)
        cPort->Close();
    connectionInfo->comportStatus = c0mPOrtClosed;
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    Finish();
}

void TComPortWorker::step() {
    if (stopped_)
        return;
    try {
        if (!cPort->Connected())
            openPort();
        writeQueuedBytes();
    } catch (const std::exception& e) {
        logConnectionEvent(connectionInfo.get(), std::string("execute exception: ") + e.what());
    }
}

void TComPortWorker::openPort() {
    if (reopenAt_ && static_cast<int32_t>(GetTickCount() - *reopenAt_) < 0) {
        timer_->setAt(*reopenAt_);
        return;
    }
    reopenAt_.reset();
    try {
        cPort->Open();
    } catch (const std::exception& e) {
        connectionInfo->comportStatus = c0mPortOpenError;
        notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
        logConnectionEvent(connectionInfo.get(), std::string("Comport open error: ") + e.what());
        reopenAt_ = GetTickCount() + comportReopenDelayMs;
        timer_->setAt(*reopenAt_);
    }
}

void TComPortWorker::writeQueuedBytes() {
    if (!cPort->Connected() || cPort->Writing() || !connectionInfo->HasDataFromOthers.load())
        return;
    std::vector<uint8_t> buffer;
    {
        // The quiet time is read under the lock too: it is written under it.
        std::lock_guard guard(connectionInfo->BytesCriticalSection);
        if (ticksSince(connectionInfo->LastDataFromOthersMillis) <= comportWriteQuietMs) {
            timer_->setAt(connectionInfo->LastDataFromOthersMillis + comportWriteQuietMs + 1);
            return;
        }
        buffer.swap(connectionInfo->BytesToSend);
        // Another serial slot's settings mean nothing to this port.
        connectionInfo->queuedSettings.clear();
        connectionInfo->HasDataFromOthers = false;
    }
    if (buffer.empty())
        return;
    auto bytes = std::make_shared<std::vector<uint8_t>>(buffer);
    cPort->WriteLater(std::move(buffer),
                      [this, bytes](const std::string& error) { written(*bytes, error); });
}

void TComPortWorker::written(const std::vector<uint8_t>& buffer, const std::string& error) {
    if (!error.empty()) {
        logConnectionEvent(connectionInfo.get(), "execute exception: " + error);
    } else {
        connectionInfo->BytesWritten += static_cast<uint32_t>(buffer.size());
        notifySlot(*connectionInfo, WM_TRAFFIC_TX);
        logConnectionEvent(connectionInfo.get(), "W " + toHex(buffer));
    }
    // What was queued meanwhile goes next; from inside WriteLater it is
    // taken by the step that is running.
    loop().post([this, self = weak_from_this()] {
        if (self.lock())
            step();
    });
}

void TComPortWorker::cPortRxChar(TC0cCport*, int32_t Count, const std::string& BinaryString) {
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

void TComPortWorker::cPortCommunicationPropsChanged(TC0cCport*, bool PortOpened, int32_t Speed,
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
        if (!queueSettingsText(other, text))
            return;
        other.LastDataFromOthersMillis = now;
        other.HasDataFromOthers = true;
        changed = true;
    });
    connectionInfo->LastDataSelfMillis = now;
    if (!changed)
        return;
    logLine("CommunicationPropsChanged: " + text);
    const std::string framing = portFramingText(Speed, DataBits, Parity, StopBits);
    connectionInfo->portFraming.set(framing);
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    // A pseudo-terminal keeps 8 data bits and no parity, whatever the
    // program asked for.
    logConnectionEvent(connectionInfo.get(),
                       "Port framing sent: " + framing +
                           " (data bits and parity of a virtual port are always 8 and none)");
}
