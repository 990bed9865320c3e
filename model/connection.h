#pragma once

#include "platform/lock.h"
#include "platform/messages.h"
#include "platform/worker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Slot kinds; the ordinals are fixed because status tables are indexed by them.
enum TSlotType : uint8_t { stComPort = 0, stTCPServer = 1, stTCPClient = 2 };

enum TZvlConnectionStatus : uint8_t {
    zvlUnknown = 0,
    zvlConnecting = 1,
    zvlConnectedButNotAuthorizedYet = 2,
    zvlConnectedAndAuthorized = 3,
    zvlDisconnected = 4,
};

enum TZvlCloseReason : uint8_t {
    zvlCloseReason_notYetConnected = 0,
    zvlCloseReason_BadTunnelKey = 1,
    zvlCloseReason_ConnectionError = 2,
    zvlCloseReason_Datasource = 3,
    zvlCloseReason_ReconnectToADifferentServer = 4,
    zvlConnectionClosedUnexpectedly = 5,
};

enum TDatasourceChannelState : uint8_t {
    dcsUnknown = 0,
    dcsConnecting = 1,
    dcsConnected = 2,
    dcsClosed = 3,
};

enum TDatasourceCloseReason : uint8_t {
    crUnknown = 0,
    crClosedDueToOpenErrorDueToInterferedTunnel = 1,
    crClosedDueToOpenErrorDueToMultipleInterferedTunnels = 2,
    crClosedDueToOpenError = 3,
    crClosedTemporarilyDueToNeedToBeReopened = 4,
    crClosedDueToInterferedTunnel = 5,
    crClosedDueToLocalChannelClosed = 6,
    crClosedByDevice = 7,
    crClosedDueToWebserverTimeout = 8,
    crClosedDueToOpenErrorDueToBadParameters = 9,
    crClosedDueToConnectionLost = 10,
};

enum TC0mPortStatus : uint8_t {
    c0mPortUnknown = 0,
    c0mPOrtClosed = 1,
    c0mPortOpenError = 2,
    c0mPOrtNotOpenedByApp = 3,
    c0mPortOpened = 4,
};

// Notifications posted by workers and panels to a panel's window handle. They
// carry no data: the receiver re-reads the record.
constexpr uint32_t WM_RELEASE_FRAME = WM_USER + 3;
constexpr uint32_t WM_CONNECTION_STATUS = WM_USER + 4;
constexpr uint32_t WM_TRAFFIC_RX = WM_USER + 6;
constexpr uint32_t WM_TRAFFIC_TX = WM_USER + 7;

// A text shared between a worker and the interface: read and written whole
// under its own small lock.
template <class T> class TShared {
public:
    T get() const {
        std::lock_guard guard(lock_);
        return value_;
    }
    void set(T value) {
        std::lock_guard guard(lock_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex lock_;
    T value_{};
};

// A settings text waiting in a slot's queue at a point of its byte queue: it
// goes out after the first `atByte` bytes of BytesToSend and before the rest.
struct TQueuedSettings {
    size_t atByte = 0;
    std::string text; // 8-bit
};

struct THubInfo;
struct TConnection;
using PHubInfo = std::shared_ptr<THubInfo>;
using PConnectionInfo = std::shared_ptr<TConnection>;

// The record one slot's panel and worker share. Status fields and counters are
// written by one thread each and only displayed, so they are atomics; the queue
// fields are guarded by BytesCriticalSection.
struct TConnection {
    // State of the remote data source, from the server's status message.
    std::atomic<bool> datasourceConnectedToServer{false};
    TShared<std::string> datasourceWebserverParams; // 8-bit
    std::atomic<TDatasourceChannelState> datasourceChannelState{dcsUnknown};
    std::atomic<TDatasourceCloseReason> datasourceCloseReason{crUnknown};
    TShared<std::string> datasourceChannelStateExtendedString; // 8-bit

    std::atomic<TZvlConnectionStatus> zvlConnectionStatus{zvlUnknown};
    std::atomic<TZvlCloseReason> zvlCloseReason{zvlCloseReason_notYetConnected};
    std::atomic<TC0mPortStatus> comportStatus{c0mPortUnknown};

    TSlotType SlotType = stComPort; // set at creation, never changed
    std::atomic<HWND> FrameHandle{0};
    // The hub that lists this record; empty for a learning record. The hub
    // owns its slots, so a slot only observes its hub.
    std::weak_ptr<THubInfo> pHubInfo;

    // Device name a COM-port slot opens (the hidden side of its pair).
    TShared<std::string> PortName;
    // COM-port slot: the framing last sent on for the user's program, as
    // "19200 8N1"; empty until a program's settings were sent.
    TShared<std::string> portFraming;

    // Queue fields, guarded by BytesCriticalSection.
    // The newest settings text handed to the slot (8-bit). While
    // latestLocalportSettingsSent is false, the text in effect at the head of
    // the queue goes out (again) before anything queued.
    std::string latestLocalportSettingsString;
    bool latestLocalportSettingsSent = false;
    // Settings texts in the order they came, each at its place among the
    // bytes; queueSettingsText keeps them.
    std::vector<TQueuedSettings> queuedSettings;
    // The text in effect before the first of queuedSettings.
    std::string settingsBeforeQueued;
    uint32_t LastDataFromOthersMillis = 0;
    std::atomic<bool> HasDataFromOthers{false};
    std::vector<uint8_t> BytesToSend;
    TCriticalSection BytesCriticalSection;
    // Set by the slot's worker while it runs, under BytesCriticalSection;
    // called under that lock whenever something was queued for the slot.
    std::function<void()> queueWake;

    // Dialog flags shared by the cloud worker and the slot panel.
    std::atomic<bool> forceTunnelSetup{false};
    std::atomic<bool> waitDialog{false};
    std::atomic<bool> dialogPresentNow{false};
    std::atomic<bool> anotherTunnelExists{false};

    // Workers while work runs, else null; touched by the interface thread only.
    std::shared_ptr<TWorker> cportThread;
    std::shared_ptr<TWorker> tcpClientThread;

    std::atomic<uint32_t> LastDataSelfMillis{0};
    std::atomic<int32_t> ReadPacketNum{0};
    std::atomic<int32_t> WritePacketNum{0};
    std::atomic<uint32_t> BytesRead{0};
    std::atomic<uint32_t> BytesWritten{0};

    // Tunnel description learnt from the cloud server.
    std::atomic<uint8_t> TunnelId{0};
    std::atomic<int32_t> TunnelLocalInterfaceId{0};
    TShared<std::string> TunnelName;
    TShared<std::string> TunnelDesc;
    TShared<std::string> TunnelDefParamsStr;
    TShared<std::string> TunnelParamsDesc;

    PHubInfo hub() const { return pHubInfo.lock(); }
};

// The record of one tunnel. Its slot list is changed by the interface thread
// and read by workers, so both go through the list lock; workers work on a
// snapshot and never see a list half changed.
struct THubInfo {
    std::atomic<int32_t> hubId{0};
    std::atomic<HWND> frameHandle{0};

    std::vector<PConnectionInfo> connections() const;
    void addConnection(const PConnectionInfo& connection);
    // Removes the record, keeping the order of the others.
    void removeConnection(const TConnection* connection);

private:
    mutable std::mutex connectionsLock_;
    std::vector<PConnectionInfo> Connections;
};

// A zero-filled slot record listed at the end of hub's slots.
PConnectionInfo newSlotRecord(TSlotType slotType, HWND frameHandle, const PHubInfo& hub);
// A record for one learning run of the cloud client: no hub, no window.
PConnectionInfo newLearningRecord();

// Hands something to every other slot of the producer's hub: takes their
// locks in list order, lets `store` fill each, then releases them in the same
// order. A producer without a hub hands nothing on.
void handToOtherSlots(const TConnection& producer, const std::function<void(TConnection&)>& store);

// Queues a settings text behind the bytes queued so far; under the slot's
// BytesCriticalSection. A text that follows the previous one with no byte in
// between replaces it. False when the text is the one already in effect.
bool queueSettingsText(TConnection& slot, const std::string& text);

// The settings text in effect at the head of the slot's queue; under its lock.
const std::string& settingsAtQueueHead(const TConnection& slot);

// Tells the slot's worker that its queue changed; call under the slot's
// BytesCriticalSection after changing it.
void wakeSlotWorker(const TConnection& connection);

// Posts a notification to the slot's panel (nothing happens for handle 0).
void notifySlot(const TConnection& connection, uint32_t message);

// The process-wide list of tunnel records, in creation order.
class THubList {
public:
    void add(const PHubInfo& hub);
    void removeByFrameHandle(HWND frameHandle);
    std::vector<PHubInfo> hubs() const;
    // The hub whose slot list holds `connection`, or null.
    PHubInfo hubListing(const TConnection* connection) const;
    void clear();

private:
    mutable std::mutex lock_;
    std::vector<PHubInfo> hubs_;
};

extern THubList hubList;
