#include "cloud/zelvane_thread.h"

#include "cloud/cloud_address.h"
#include "cloud/packet_io.h"
#include "cloud/protocol.h"
#include "log/traffic_log.h"
#include "platform/text.h"
#include "platform/tick.h"

#include <zelvane_config.h>

#include <cstdlib>

static_assert(sizeof(ZELVANE_VERSION_TEXT) - 1 <= maxRequestTextLength,
              "the version text must fit the length byte of the authorization request");

namespace {
// The learning run took longer than its bound.
class ELearningTimeout : public std::runtime_error {
public:
    ELearningTimeout()
        : std::runtime_error("No tunnel description within " +
                             std::to_string(cloudTiming::learningBoundMs / 1000) + " s") {}
};

// Whole decimal number, as the port of a server name is given.
int32_t portFromText(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        throw std::runtime_error("'" + text + "' is not a valid port number");
    return static_cast<int32_t>(value);
}

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}
} // namespace

TZelvaneThread::TZelvaneThread(bool justLearn, PConnectionInfo record, std::string key)
    : connectionInfo(std::move(record)), tunnelKey(std::move(key)), justLearnTunnelInfo(justLearn) {
    const TCloudAddress server = cloudServerAddress();
    defaultServername = server.host;
    defaultPortNumber = server.port;
}

TZelvaneThread::~TZelvaneThread() = default;

void TZelvaneThread::TerminatedSet() {
    std::lock_guard guard(clientLock);
    if (TCPClient)
        TCPClient->Shutdown();
}

void TZelvaneThread::setStatus(TZvlConnectionStatus status, TZvlCloseReason reason) {
    connectionInfo->zvlConnectionStatus = status;
    connectionInfo->zvlCloseReason = reason;
}

void TZelvaneThread::Execute() {
    currentKey = TBytes(16, 0);
    authorized = false;
    learningStartedAt = GetTickCount();
    while (!Terminated() && !loopEnded) {
        try {
            pass();
        } catch (const std::exception& e) {
            if (!Terminated())
                logLine(std::string("client: execute exception:") + e.what());
            if (dynamic_cast<const EStreamOutOfStep*>(&e))
                disconnectFromServer();
            if (justLearnTunnelInfo) {
                loopEnded = true;
                if (dynamic_cast<const ELearningTimeout*>(&e))
                    endLearningAsTimedOut();
            }
        }
    }
    if (!justLearnTunnelInfo) {
        setStatus(zvlDisconnected, zvlCloseReason_notYetConnected);
        notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    }
    if (isConnected())
        disconnectFromServer();
    std::lock_guard guard(clientLock);
    TCPClient.reset();
}

void TZelvaneThread::pass() {
    if (!SleepUnlessTerminated(1))
        return;
    if (justLearnTunnelInfo && learningExpired()) {
        endLearningAsTimedOut();
        return;
    }
    if (connectionInfo->waitDialog)
        return;
    if (!isConnected()) {
        if (!reconnect() && justLearnTunnelInfo)
            loopEnded = true;
        return;
    }
    if (TCPClient->InputBufferIsEmpty() && !TCPClient->Readable(cloudTiming::readWaitMs)) {
        idleStep();
        return;
    }
    const TPacket packet = readPacket(connectionInfo.get(), *TCPClient, currentKey);
    switch (packet.type) {
    case ptControl:
        handleControlMessage(packet.payload);
        break;
    case ptKeepAlive:
        lastServerActivity = GetTickCount();
        break;
    case ptChannel:
        handleChannelMessage(packet.payload);
        break;
    default:
        break;
    }
}

bool TZelvaneThread::learningExpired() const {
    return ticksSince(learningStartedAt) > cloudTiming::learningBoundMs;
}

void TZelvaneThread::endLearningAsTimedOut() {
    logConnectionEvent(connectionInfo.get(), ELearningTimeout().what());
    disconnectFromServer();
    setStatus(zvlDisconnected, zvlCloseReason_ConnectionError);
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    loopEnded = true;
}

void TZelvaneThread::watchWait(bool connected) {
    if (Terminated())
        throw ESocketError("Stopped");
    if (justLearnTunnelInfo && learningExpired())
        throw ELearningTimeout();
    if (connected && ticksSince(lastServerActivity) > cloudTiming::inactivityMs)
        throw EStreamOutOfStep("No activity from server it will be reconnected.");
}

bool TZelvaneThread::redirectValid() const {
    return ticksSince(finalServerSetAt) < finalServerValidMs;
}

void TZelvaneThread::connectToServer() {
    connectionInfo->zvlConnectionStatus = zvlConnecting;
    {
        std::lock_guard guard(clientLock);
        TCPClient = std::make_unique<TTcpClient>();
        if (Terminated())
            TCPClient->Shutdown();
    }
    TCPClient->setWatch([this] { watchWait(false); });

    const std::string target = !FinalServerNameWithPort.empty() && redirectValid()
                                   ? FinalServerNameWithPort
                                   : defaultServername;
    std::string host = trimmed(target);
    int32_t port = defaultPortNumber;
    if (const size_t colon = target.find(':'); colon != std::string::npos) {
        host = trimmed(target.substr(0, colon));
        port = portFromText(trimmed(target.substr(colon + 1)));
    }
    logConnectionEvent(connectionInfo.get(),
                       "Connecting to: " + host + ":" + std::to_string(port) + "...");
    if (port < 0 || port > 65535)
        throw std::runtime_error("Port " + std::to_string(port) + " is out of range");
    TCPClient->Connect(host, static_cast<uint16_t>(port), cloudTiming::connectTimeoutMs);
    TCPClient->setWatch([this] { watchWait(true); });
    onClientConnected();
}

void TZelvaneThread::onClientConnected() {
    logConnectionEvent(connectionInfo.get(), "Connected");
    connectionInfo->zvlConnectionStatus = zvlConnectedButNotAuthorizedYet;
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
}

void TZelvaneThread::disconnectFromServer() {
    if (!TCPClient)
        return;
    std::unique_ptr<TTcpClient> closing;
    {
        std::lock_guard guard(clientLock);
        closing = std::move(TCPClient);
    }
    closing->Close();
    onClientDisconnected();
}

void TZelvaneThread::onClientDisconnected() {
    logConnectionEvent(connectionInfo.get(), "Disconnected");
    const TZvlConnectionStatus status = connectionInfo->zvlConnectionStatus;
    wasDisconnected =
        !(status == zvlDisconnected &&
          connectionInfo->zvlCloseReason == zvlCloseReason_ReconnectToADifferentServer);
    if (status != zvlDisconnected)
        setStatus(zvlDisconnected, zvlConnectionClosedUnexpectedly);
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
}

bool TZelvaneThread::isConnected() const {
    return TCPClient && TCPClient->Connected();
}

void TZelvaneThread::pauseBeforeReconnect() {
    const uint32_t start = GetTickCount();
    while (ticksSince(start) < cloudTiming::reconnectPauseMs && SleepUnlessTerminated(10)) {
    }
}

bool TZelvaneThread::reconnect() {
    const bool pause = wasDisconnected;
    disconnectFromServer();
    if (pause)
        pauseBeforeReconnect();
    try {
        currentKey = builtinKey();
        if (!Terminated())
            connectToServer();
        lastServerActivity = GetTickCount();
        connectionInfo->LastDataSelfMillis = GetTickCount();
        connectionInfo->datasourceChannelState = dcsUnknown;
        connectionInfo->datasourceCloseReason = crUnknown;
        connectionInfo->datasourceChannelStateExtendedString.set("");
        return true;
    } catch (const std::exception& e) {
        setStatus(zvlDisconnected, zvlCloseReason_ConnectionError);
        notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
        logConnectionEvent(connectionInfo.get(),
                           std::string("execute, connect: could not connect:") + e.what());
        return false;
    }
}

void TZelvaneThread::send(uint8_t type, const TBytes& payload) {
    sendPacket(connectionInfo.get(), *TCPClient, type, payload, currentKey);
}

void TZelvaneThread::handleControlMessage(const TBytes& p) {
    if (p.empty())
        throw EProtocolError("Communication error. Protocol mismatch");
    if (p[0] == ctlHello) {
        sendAuthorizationRequest(p);
    } else if (p[0] == ctlAuthReply) {
        if (p.size() < 2)
            throw EProtocolError("Communication error. Authorization reply too short");
        if (p[1] != authAccepted) {
            connectionInfo->forceTunnelSetup = false;
            setStatus(zvlDisconnected, zvlCloseReason_BadTunnelKey);
            disconnectFromServer();
            throw EProtocolError("Authorization failed");
        }
        if (p.size() < 3)
            throw EProtocolError("Communication error. Authorization reply too short");
        if (p[2] == authRedirect)
            handleRedirect(p);
        else
            acceptAuthorization(p);
    }
}

void TZelvaneThread::sendAuthorizationRequest(const TBytes& p) {
    connectionInfo->anotherTunnelExists = false;
    const THello hello = parseHello(p);
    currentKey = hello.connectionKey;
    TBytes request;
    try {
        request =
            buildAuthorizationRequest({crc16Modbus(hello.challenge.data(), hello.challenge.size()),
                                       textToAnsi(tunnelKey), ZELVANE_VERSION_TEXT});
    } catch (const EProtocolError&) {
        // A key the request cannot carry is refused here, not sent cut short.
        setStatus(zvlDisconnected, zvlCloseReason_BadTunnelKey);
        disconnectFromServer();
        throw;
    }
    send(ptControl, request);
}

void TZelvaneThread::handleRedirect(const TBytes& p) {
    if (p.size() < 6)
        return;
    TPayloadReader reader(p, 3);
    const uint16_t length = reader.u16();
    if (length >= 1 && length <= 299 && reader.remaining() >= length) {
        const std::string name = ansiToText(reader.bytes(length));
        const uint16_t validitySeconds = reader.u16();
        FinalServerNameWithPort = name;
        logConnectionEvent(connectionInfo.get(), "New server: " + name);
        finalServerSetAt = GetTickCount();
        finalServerValidMs = validitySeconds * 1000u;
    }
    setStatus(zvlDisconnected, zvlCloseReason_ReconnectToADifferentServer);
    disconnectFromServer();
}

void TZelvaneThread::acceptAuthorization(const TBytes& p) {
    {
        // The settings text goes out again on this connection.
        std::lock_guard guard(connectionInfo->BytesCriticalSection);
        connectionInfo->latestLocalportSettingsSent = false;
        if (!connectionInfo->latestLocalportSettingsString.empty())
            connectionInfo->HasDataFromOthers = true;
    }
    authorized = true;
    connectionInfo->zvlConnectionStatus = zvlConnectedAndAuthorized;
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    logConnectionEvent(connectionInfo.get(), "Authorization successful");
    if (p[2] == authTunnelInfo) {
        TPayloadReader reader(p, 3);
        connectionInfo->TunnelId = reader.byte();
        connectionInfo->TunnelLocalInterfaceId = reader.byte();
        connectionInfo->TunnelName.set(ansiToText(reader.lenString()));
        connectionInfo->TunnelDesc.set(ansiToText(reader.lenString()));
        connectionInfo->TunnelDefParamsStr.set(ansiToText(reader.lenString()));
        connectionInfo->TunnelParamsDesc.set(ansiToText(reader.lenString()));
    }
    if (justLearnTunnelInfo) {
        setStatus(zvlDisconnected, zvlCloseReason_notYetConnected);
        loopEnded = true;
    }
}

void TZelvaneThread::handleChannelMessage(const TBytes& p) {
    if (!authorized || p.size() < 2)
        return;
    lastServerActivity = GetTickCount();
    if (p[0] != ptChannel)
        return;
    if (p[1] == chData)
        relay(p);
    else if (p[1] == chStatus)
        handleDatasourceStatus(p);
}

void TZelvaneThread::relay(const TBytes& p) {
    if (!connectionInfo->hub())
        return;
    if (p.size() == 2)
        throw EProtocolError("Communication error. Data message without data");
    handToOtherSlots(*connectionInfo, [&p](TConnection& other) {
        other.BytesToSend.insert(other.BytesToSend.end(), p.begin() + 2, p.end());
        other.HasDataFromOthers = true;
    });
}

void TZelvaneThread::handleDatasourceStatus(const TBytes& p) {
    TConnection& record = *connectionInfo;
    TPayloadReader reader(p, 2);
    const auto statusText = [&reader](TShared<std::string>& field) {
        field.set("");
        const uint16_t length = reader.u16();
        if (length >= 1 && length <= maxStatusTextLength)
            field.set(reader.bytes(length));
    };
    statusText(record.datasourceWebserverParams);
    record.datasourceConnectedToServer = reader.byte() == 1;
    record.datasourceChannelState = static_cast<TDatasourceChannelState>(reader.byte());
    record.datasourceCloseReason = static_cast<TDatasourceCloseReason>(reader.byte());
    statusText(record.datasourceChannelStateExtendedString);

    const TDatasourceCloseReason reason = record.datasourceCloseReason;
    if (record.datasourceChannelState == dcsClosed &&
        (reason == crClosedDueToOpenErrorDueToInterferedTunnel ||
         reason == crClosedDueToOpenErrorDueToMultipleInterferedTunnels ||
         reason == crClosedDueToInterferedTunnel)) {
        // Paused until the slot panel has asked the user whether to take over.
        record.waitDialog = true;
        setStatus(zvlDisconnected, zvlCloseReason_Datasource);
        disconnectFromServer();
    }
    notifySlot(record, WM_CONNECTION_STATUS);
    logConnectionEvent(connectionInfo.get(),
                       Format("ds connected to server: %d, ds channels state: %d; web params: %s",
                              record.datasourceConnectedToServer ? 1 : 0,
                              static_cast<int>(record.datasourceChannelState.load()),
                              ansiToText(record.datasourceWebserverParams.get()).c_str()));
}

void TZelvaneThread::idleStep() {
    if (ticksSince(lastServerActivity) > cloudTiming::inactivityMs) {
        logConnectionEvent(connectionInfo.get(), "No activity from server it will be reconnected.");
        disconnectFromServer();
        return;
    }
    if (authorized && connectionInfo->HasDataFromOthers)
        sendQueued();
    if (ticksSince(connectionInfo->LastDataSelfMillis) >= cloudTiming::keepaliveMs)
        send(ptKeepAlive, {});
}

void TZelvaneThread::sendQueued() {
    TConnection& record = *connectionInfo;
    const uint32_t now = GetTickCount();
    if (!queuedSince)
        queuedSince = now;
    std::vector<TBytes> messages;
    bool stillQueued;
    {
        std::lock_guard guard(record.BytesCriticalSection);
        // Ordinary traffic goes out after a short quiet time, so that a burst
        // travels as one message; a steady stream still goes out regularly.
        const bool due = now - record.LastDataFromOthersMillis > cloudTiming::quietTimeMs ||
                         now - *queuedSince >= cloudTiming::longestQueueWaitMs ||
                         record.BytesToSend.size() >= maxChannelData;
        if (!due)
            return;
        if (!record.latestLocalportSettingsString.empty() && !record.latestLocalportSettingsSent) {
            std::string settings = record.latestLocalportSettingsString;
            if (record.forceTunnelSetup && contains(settings, "PortOpened: True")) {
                record.forceTunnelSetup = false;
                if (!contains(settings, " Force=true"))
                    settings += " Force=true";
            }
            messages.push_back(buildChannelSettings(settings));
            record.latestLocalportSettingsSent = true;
            record.HasDataFromOthers = !record.BytesToSend.empty();
        } else {
            // A batch larger than one message goes out as several, in order.
            const TBytes& queue = record.BytesToSend;
            for (size_t offset = 0; offset < queue.size(); offset += maxChannelData)
                messages.push_back(buildChannelData(
                    queue.data() + offset, std::min(maxChannelData, queue.size() - offset)));
            record.BytesToSend.clear();
            record.HasDataFromOthers = false;
        }
        stillQueued = record.HasDataFromOthers;
    }
    if (!stillQueued)
        queuedSince.reset();
    for (const TBytes& message : messages)
        send(ptChannel, message);
}

namespace {

// A learning run that tells its owner when its result is in the record.
class TLearningRun : public TZelvaneThread {
public:
    TLearningRun(PConnectionInfo record, std::string key, std::function<void()> finished)
        : TZelvaneThread(true, std::move(record), std::move(key)), finished_(std::move(finished)) {}

protected:
    void Execute() override {
        TZelvaneThread::Execute();
        if (finished_)
            finished_();
    }

private:
    const std::function<void()> finished_;
};

} // namespace

std::shared_ptr<TWorker> startCloudClient(PConnectionInfo record, std::string tunnelKey) {
    return startThread<TZelvaneThread>(false, std::move(record), std::move(tunnelKey));
}

std::shared_ptr<TWorker> startLearningRun(PConnectionInfo record, std::string tunnelKey,
                                          std::function<void()> finished) {
    return startThread<TLearningRun>(std::move(record), std::move(tunnelKey), std::move(finished));
}
