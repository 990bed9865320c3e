#pragma once

#include "cloud/codec.h"
#include "model/connection.h"
#include "platform/tcp_client.h"
#include "platform/thread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Timing of the cloud client, in ticks of GetTickCount.
namespace cloudTiming {
constexpr uint32_t readWaitMs = 5;           // how long a pass waits for the server
constexpr uint32_t quietTimeMs = 10;         // queued data goes out after more than this...
constexpr uint32_t longestQueueWaitMs = 200; // ...or once it has waited this long
constexpr uint32_t keepaliveMs = 60000;      // frame written at least this often
constexpr uint32_t inactivityMs = 120000;    // more than this without the server: reconnect
constexpr uint32_t reconnectPauseMs = 3000;  // before reconnecting after a lost connection
constexpr uint32_t connectTimeoutMs = 1000;
constexpr uint32_t learningBoundMs = 15000; // a learning run ends within this
} // namespace cloudTiming

// The worker of a cloud client slot: keeps the connection to the cloud server,
// authorizes with the tunnel key and relays between the server and the other
// slots of the hub. In learning mode it only learns the tunnel description for
// the key and ends.
//
// Start it with startCloudClient or startLearningRun below. A working worker
// runs until Terminate(); a learning worker ends by itself, within
// cloudTiming::learningBoundMs, and leaves its result in the record: success
// is zvlDisconnected with zvlCloseReason_notYetConnected.
class TZelvaneThread : public TThread {
public:
    TZelvaneThread(bool justLearnTunnelInfo, PConnectionInfo record, std::string tunnelKey);
    ~TZelvaneThread() override;

protected:
    void Execute() override;
    // Wakes a read, write or connect in progress.
    void TerminatedSet() override;

private:
    void pass();
    void connectToServer();
    void disconnectFromServer();
    bool isConnected() const;
    void onClientConnected();
    void onClientDisconnected();
    // False when the connection attempt failed.
    bool reconnect();
    void pauseBeforeReconnect();
    void handleControlMessage(const TBytes& payload);
    void sendAuthorizationRequest(const TBytes& hello);
    void handleRedirect(const TBytes& payload);
    void acceptAuthorization(const TBytes& payload);
    void handleChannelMessage(const TBytes& payload);
    void relay(const TBytes& payload);
    void handleDatasourceStatus(const TBytes& payload);
    void idleStep();
    void sendQueued();
    void send(uint8_t type, const TBytes& payload);
    void setStatus(TZvlConnectionStatus status, TZvlCloseReason reason);
    bool learningExpired() const;
    void endLearningAsTimedOut();
    // Called by the socket while it waits: gives up on a stop request, on the
    // learning bound and, once connected, on a silent server.
    void watchWait(bool connected);
    bool redirectValid() const;

    const PConnectionInfo connectionInfo;
    // Replaced only by the worker; TerminatedSet reads it under clientLock.
    std::unique_ptr<TTcpClient> TCPClient;
    std::mutex clientLock;

    std::string defaultServername;
    int32_t defaultPortNumber;
    std::string FinalServerNameWithPort;
    uint32_t finalServerSetAt = 0;
    uint32_t finalServerValidMs = 0;
    const std::string tunnelKey;
    bool wasDisconnected = false;
    const bool justLearnTunnelInfo;

    TBytes currentKey;
    bool authorized = false;
    uint32_t lastServerActivity = 0;
    uint32_t learningStartedAt = 0;
    bool loopEnded = false;
    // When the worker first saw the data that still waits in its queue.
    std::optional<uint32_t> queuedSince;
};

// Starts the working cloud client of `record` (a tunnel slot) with the key.
std::shared_ptr<TWorker> startCloudClient(PConnectionInfo record, std::string tunnelKey);

// Starts a learning run for the key; `finished` is called once, on a worker
// thread, after the result is in `record` (also when the run was stopped).
std::shared_ptr<TWorker> startLearningRun(PConnectionInfo record, std::string tunnelKey,
                                          std::function<void()> finished);
