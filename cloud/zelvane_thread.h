#pragma once

#include "cloud/codec.h"
#include "cloud/packet_io.h"
#include "model/connection.h"
#include "platform/loop_worker.h"
#include "platform/tcp_stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Timing of the cloud client, in ticks of GetTickCount.
namespace cloudTiming {
constexpr uint32_t quietTimeMs = 10;         // queued data goes out after more than this...
constexpr uint32_t longestQueueWaitMs = 200; // ...or once it has waited this long
constexpr uint32_t keepaliveMs = 60000;      // frame written at least this often
constexpr uint32_t inactivityMs = 120000;    // more than this without the server: reconnect
constexpr uint32_t reconnectPauseMs = 3000;  // before reconnecting after a lost connection
constexpr uint32_t connectTimeoutMs = 1000;
constexpr uint32_t learningBoundMs = 15000; // a learning run ends within this
} // namespace cloudTiming

// The cloud client of a tunnel slot: keeps the connection to the cloud server,
// authorizes with the tunnel key and relays between the server and the other
// slots of the hub. In learning mode it only learns the tunnel description for
// the key and ends.
//
// It is a state machine on the relay loop: the server's bytes, a wake from
// another slot that queued data, and its earliest deadline move it on; in
// between it costs nothing. Start it with startCloudClient or startLearningRun
// below. A working client runs until Terminate(); a learning run ends by
// itself, within cloudTiming::learningBoundMs, and leaves its result in the
// record: success is zvlDisconnected with zvlCloseReason_notYetConnected.
class TCloudClient : public TLoopWorker {
public:
    TCloudClient(bool justLearnTunnelInfo, PConnectionInfo record, std::string tunnelKey,
                 std::function<void()> finished = nullptr);
    ~TCloudClient() override;

protected:
    void Started() override;
    void Stopped() override;

private:
    // Does whatever is due now, then sets the timer to the next deadline.
    void step();
    void pass();
    void scheduleNext();
    void handleException(const std::exception& e);
    void postStep();
    void dropStream();
    void end();

    void beginReconnect();
    void beginConnect();
    void connected();
    void connectFailed(const std::string& error);
    void disconnectFromServer();
    bool isConnected() const;
    void onClientConnected();
    void onClientDisconnected();
    void connectedPass();
    void receive();
    void handlePacket(const TPacket& packet);

    void handleControlMessage(const TBytes& payload);
    void sendAuthorizationRequest(const TBytes& hello);
    void handleAuthorizationReply(const TBytes& payload);
    void handleRedirect(const TBytes& payload);
    void acceptAuthorization(uint8_t part, const TBytes& payload);
    void handleChannelMessage(const TBytes& payload);
    void relay(const TBytes& payload);
    void handleDatasourceStatus(const TBytes& payload);
    void idleStep();
    void sendQueued();
    void send(uint8_t type, const TBytes& payload);
    void setStatus(TZvlConnectionStatus status, TZvlCloseReason reason);
    bool learningExpired() const;
    void endLearningAsTimedOut();
    bool redirectValid() const;
    bool serverSilent() const;

    const PConnectionInfo connectionInfo;
    const std::function<void()> finished_;
    std::unique_ptr<TLoopTimer> timer_;
    // Exists from a connection attempt until the client lets it go, also
    // when the attempt failed: letting go is what reports "Disconnected".
    std::unique_ptr<TTcpStream> stream_;
    TBytes input_;
    size_t inputStart_ = 0;
    TPacketReader reader_;
    bool connecting_ = false;
    bool pausing_ = false;
    uint32_t pauseStartedAt_ = 0;
    bool ended_ = false;

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
    // When the client first saw the data that still waits in its queue.
    std::optional<uint32_t> queuedSince;
};

// Starts the working cloud client of `record` (a tunnel slot) with the key.
std::shared_ptr<TWorker> startCloudClient(PConnectionInfo record, std::string tunnelKey);

// Starts a learning run for the key; `finished` is called once, on the relay
// loop's thread, after the result is in `record` (also when the run was stopped).
std::shared_ptr<TWorker> startLearningRun(PConnectionInfo record, std::string tunnelKey,
                                          std::function<void()> finished);
