#include "cloud/zelvane_thread.h"

#include "cloud/cloud_address.h"
#include "cloud/packet_io.h"
#include "cloud/protocol.h"
#include "log/traffic_log.h"
#include "platform/text.h"
#include "platform/tick.h"

#include <zelvane_config.h>

#include <algorithm>
#include <cstdlib>

static_assert(sizeof(ZELVANE_VERSION_TEXT) - 1 <= maxRequestTextLength,
              "the version text must fit the length byte of the authorization request");

namespace {
// What a learning run that took longer than its bound logs.
std::string learningTimeoutText() {
    return "No tunnel description within " + std::to_string(cloudTiming::learningBoundMs / 1000) +
           " s";
}

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

TCloudClient::TCloudClient(bool justLearn, PConnectionInfo record, std::string key,
                           std::function<void()> finished)
    : TLoopWorker(TEventLoop::relay()), connectionInfo(std::move(record)),
      finished_(std::move(finished)), tunnelKey(std::move(key)), justLearnTunnelInfo(justLearn) {
    const TCloudAddress server = cloudServerAddress();
    defaultServername = server.host;
    defaultPortNumber = server.port;
}

TCloudClient::~TCloudClient() = default;

void TCloudClient::setStatus(TZvlConnectionStatus status, TZvlCloseReason reason) {
    connectionInfo->zvlConnectionStatus = status;
    connectionInfo->zvlCloseReason = reason;
}

void TCloudClient::Started() {
    currentKey = TBytes(16, 0);
    authorized = false;
    learningStartedAt = GetTickCount();
    timer_ = loop().timer([this] { step(); });
    {
        // One wake on its way is enough: the step reads the whole queue.
        std::lock_guard guard(connectionInfo->BytesCriticalSection);
        connectionInfo->queueWake = coalescedWake([this] { step(); });
    }
    step();
}

void TCloudClient::step() {
    if (ended_)
        return;
    try {
        pass();
    } catch (const std::exception& e) {
        handleException(e);
    }
    if (!ended_)
        scheduleNext();
}

void TCloudClient::handleException(const std::exception& e) {
    if (!Terminated())
        logLine(std::string("client: execute exception:") + e.what());
    if (dynamic_cast<const EStreamOutOfStep*>(&e))
        disconnectFromServer();
    if (justLearnTunnelInfo) {
        end();
        return;
    }
    // The next pass, at once, sees what the error left.
    postStep();
}

void TCloudClient::postStep() {
    loop().post([this, self = weak_from_this()] {
        if (self.lock())
            step();
    });
}

void TCloudClient::pass() {
    if (justLearnTunnelInfo && learningExpired()) {
        endLearningAsTimedOut();
        end();
        return;
    }
    if (connectionInfo->waitDialog || connecting_)
        return;
    if (pausing_) {
        if (ticksSince(pauseStartedAt_) < cloudTiming::reconnectPauseMs)
            return;
        pausing_ = false;
        beginConnect();
        return;
    }
    if (!isConnected()) {
        beginReconnect();
        return;
    }
    connectedPass();
}

void TCloudClient::scheduleNext() {
    const uint32_t now = GetTickCount();
    std::optional<uint32_t> next;
    const auto consider = [&](uint32_t at) {
        if (!next || static_cast<int32_t>(at - *next) < 0)
            next = at;
    };
    if (justLearnTunnelInfo)
        consider(learningStartedAt + cloudTiming::learningBoundMs + 1);
    if (connectionInfo->waitDialog) {
        // Paused until the user's answer wakes the client.
    } else if (pausing_) {
        consider(pauseStartedAt_ + cloudTiming::reconnectPauseMs);
    } else if (!isConnected()) {
        if (!connecting_)
            consider(now); // lost: the next pass reconnects
    } else {
        consider(lastServerActivity + cloudTiming::inactivityMs + 1);
        if (stream_->unsent() == 0) {
            consider(connectionInfo->LastDataSelfMillis + cloudTiming::keepaliveMs);
            if (authorized && connectionInfo->HasDataFromOthers) {
                TConnection& record = *connectionInfo;
                std::lock_guard guard(record.BytesCriticalSection);
                if (record.BytesToSend.size() >= maxChannelData)
                    consider(now);
                consider(record.LastDataFromOthersMillis + cloudTiming::quietTimeMs + 1);
                consider(queuedSince.value_or(now) + cloudTiming::longestQueueWaitMs);
            }
        }
    }
    if (next)
        timer_->setAt(*next);
    else
        timer_->cancel();
}

void TCloudClient::Stopped() {
    if (!justLearnTunnelInfo) {
        setStatus(zvlDisconnected, zvlCloseReason_notYetConnected);
        notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    }
    if (isConnected())
        disconnectFromServer();
    end();
}

void TCloudClient::end() {
    if (ended_)
        return;
    ended_ = true;
    timer_.reset();
    dropStream();
    {
        std::lock_guard guard(connectionInfo->BytesCriticalSection);
        connectionInfo->queueWake = nullptr;
    }
    if (finished_)
        finished_();
    Finish();
}

bool TCloudClient::learningExpired() const {
    return ticksSince(learningStartedAt) > cloudTiming::learningBoundMs;
}

void TCloudClient::endLearningAsTimedOut() {
    logConnectionEvent(connectionInfo.get(), learningTimeoutText());
    disconnectFromServer();
    setStatus(zvlDisconnected, zvlCloseReason_ConnectionError);
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
}

bool TCloudClient::serverSilent() const {
    return ticksSince(lastServerActivity) > cloudTiming::inactivityMs;
}

bool TCloudClient::redirectValid() const {
    return ticksSince(finalServerSetAt) < finalServerValidMs;
}

void TCloudClient::beginReconnect() {
    const bool pause = wasDisconnected;
    disconnectFromServer();
    if (pause) {
        pausing_ = true;
        pauseStartedAt_ = GetTickCount();
        return;
    }
    beginConnect();
}

void TCloudClient::beginConnect() {
    try {
        currentKey = builtinKey();
        connectionInfo->zvlConnectionStatus = zvlConnecting;
        stream_ = std::make_unique<TTcpStream>(
            loop(),
            TTcpStream::THandlers{[this] { connected(); },
                                  [this](const std::string& error) { connectFailed(error); },
                                  [this] { step(); }, [this] { step(); }});
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
        connecting_ = true;
        stream_->connect(host, static_cast<uint16_t>(port), cloudTiming::connectTimeoutMs);
    } catch (const std::exception& e) {
        connectFailed(e.what());
    }
}

void TCloudClient::connected() {
    connecting_ = false;
    // Each connection authorizes anew; until then nothing of the queue goes
    // out and the server's channel messages are ignored.
    authorized = false;
    input_.clear();
    inputStart_ = 0;
    reader_ = TPacketReader();
    onClientConnected();
    lastServerActivity = GetTickCount();
    connectionInfo->LastDataSelfMillis = GetTickCount();
    connectionInfo->datasourceChannelState = dcsUnknown;
    connectionInfo->datasourceCloseReason = crUnknown;
    connectionInfo->datasourceChannelStateExtendedString.set("");
    step();
}

void TCloudClient::connectFailed(const std::string& error) {
    connecting_ = false;
    setStatus(zvlDisconnected, zvlCloseReason_ConnectionError);
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
    logConnectionEvent(connectionInfo.get(), "execute, connect: could not connect:" + error);
    if (justLearnTunnelInfo) {
        end();
        return;
    }
    // The next pass, at once, tries again as after a lost connection.
    postStep();
}

void TCloudClient::onClientConnected() {
    logConnectionEvent(connectionInfo.get(), "Connected");
    connectionInfo->zvlConnectionStatus = zvlConnectedButNotAuthorizedYet;
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
}

void TCloudClient::disconnectFromServer() {
    if (!stream_)
        return;
    dropStream();
    onClientDisconnected();
}

void TCloudClient::dropStream() {
    connecting_ = false;
    if (!stream_)
        return;
    // Closed now; freed after the call that may be running in it returned.
    stream_->close();
    std::shared_ptr<TTcpStream> closed(std::move(stream_));
    loop().post([closed] {});
}

void TCloudClient::onClientDisconnected() {
    logConnectionEvent(connectionInfo.get(), "Disconnected");
    const TZvlConnectionStatus status = connectionInfo->zvlConnectionStatus;
    wasDisconnected =
        !(status == zvlDisconnected &&
          connectionInfo->zvlCloseReason == zvlCloseReason_ReconnectToADifferentServer);
    if (status != zvlDisconnected)
        setStatus(zvlDisconnected, zvlConnectionClosedUnexpectedly);
    notifySlot(*connectionInfo, WM_CONNECTION_STATUS);
}

bool TCloudClient::isConnected() const {
    return stream_ && stream_->connected();
}

void TCloudClient::connectedPass() {
    receive();
    if (!isConnected() || ended_)
        return;
    // A message read in part waits for its rest; only the server's silence
    // ends that wait, as a broken stream.
    if (reader_.partial() || inputStart_ < input_.size()) {
        if (serverSilent())
            throw EStreamOutOfStep("No activity from server it will be reconnected.");
    }
    // What the socket has not taken yet goes first.
    if (stream_->unsent() == 0)
        idleStep();
}

void TCloudClient::receive() {
    // What the reader took is dropped before more comes in.
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputStart_));
    inputStart_ = 0;
    stream_->receive(input_);
    TPacket packet;
    while (isConnected() && !ended_ &&
           reader_.next(connectionInfo.get(), input_, inputStart_, currentKey, packet))
        handlePacket(packet);
}

void TCloudClient::handlePacket(const TPacket& packet) {
    checkServerMessageType(packet.type);
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
    }
}

void TCloudClient::send(uint8_t type, const TBytes& payload) {
    sendPacket(connectionInfo.get(), *stream_, type, payload, currentKey);
}

void TCloudClient::handleControlMessage(const TBytes& p) {
    if (parseControlCode(p) == ctlHello)
        sendAuthorizationRequest(p);
    else
        handleAuthorizationReply(p);
}

void TCloudClient::handleAuthorizationReply(const TBytes& p) {
    const TAuthReply reply = parseAuthReply(p);
    if (!reply.accepted) {
        connectionInfo->forceTunnelSetup = false;
        setStatus(zvlDisconnected, zvlCloseReason_BadTunnelKey);
        disconnectFromServer();
        throw EProtocolError("Authorization failed");
    }
    if (reply.part == authRedirect)
        handleRedirect(p);
    else
        acceptAuthorization(reply.part, p);
}

void TCloudClient::sendAuthorizationRequest(const TBytes& p) {
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

void TCloudClient::handleRedirect(const TBytes& p) {
    const TRedirect redirect = parseRedirect(p);
    if (redirect.ignored)
        return;
    if (!redirect.serverName.empty()) {
        const std::string name = ansiToText(redirect.serverName);
        FinalServerNameWithPort = name;
        logConnectionEvent(connectionInfo.get(), "New server: " + name);
        finalServerSetAt = GetTickCount();
        finalServerValidMs = redirect.validitySeconds * 1000u;
    }
    setStatus(zvlDisconnected, zvlCloseReason_ReconnectToADifferentServer);
    disconnectFromServer();
}

void TCloudClient::acceptAuthorization(uint8_t part, const TBytes& p) {
    // Read whole before anything changes: a description cut short is refused.
    std::optional<TTunnelInfo> info;
    if (part == authTunnelInfo)
        info = parseTunnelInfo(p);
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
    if (info) {
        connectionInfo->TunnelId = info->tunnelId;
        connectionInfo->TunnelLocalInterfaceId = info->localInterfaceId;
        connectionInfo->TunnelName.set(ansiToText(info->name));
        connectionInfo->TunnelDesc.set(ansiToText(info->desc));
        connectionInfo->TunnelDefParamsStr.set(ansiToText(info->defParams));
        connectionInfo->TunnelParamsDesc.set(ansiToText(info->paramsDesc));
    }
    if (justLearnTunnelInfo) {
        setStatus(zvlDisconnected, zvlCloseReason_notYetConnected);
        disconnectFromServer();
        end();
    }
}

void TCloudClient::handleChannelMessage(const TBytes& p) {
    if (!authorized)
        return;
    const uint8_t code = parseChannelCode(p);
    lastServerActivity = GetTickCount();
    if (code == chData)
        relay(p);
    else
        handleDatasourceStatus(p);
}

void TCloudClient::relay(const TBytes& p) {
    if (!connectionInfo->hub())
        return;
    const TBytes data = parseChannelData(p);
    handToOtherSlots(*connectionInfo, [&data](TConnection& other) {
        other.BytesToSend.insert(other.BytesToSend.end(), data.begin(), data.end());
        other.HasDataFromOthers = true;
    });
}

void TCloudClient::handleDatasourceStatus(const TBytes& p) {
    TConnection& record = *connectionInfo;
    const TDatasourceStatus status = parseDatasourceStatus(p);
    record.datasourceWebserverParams.set(status.webserverParams);
    record.datasourceConnectedToServer = status.connectedToServer;
    record.datasourceChannelState = static_cast<TDatasourceChannelState>(status.channelState);
    record.datasourceCloseReason = static_cast<TDatasourceCloseReason>(status.closeReason);
    record.datasourceChannelStateExtendedString.set(status.extendedString);

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

void TCloudClient::idleStep() {
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

void TCloudClient::sendQueued() {
    TConnection& record = *connectionInfo;
    const uint32_t now = GetTickCount();
    if (!queuedSince)
        queuedSince = now;
    std::vector<TBytes> messages;
    {
        std::lock_guard guard(record.BytesCriticalSection);
        // Ordinary traffic goes out after a short quiet time, so that a burst
        // travels as one message; a steady stream still goes out regularly.
        const bool due = now - record.LastDataFromOthersMillis > cloudTiming::quietTimeMs ||
                         now - *queuedSince >= cloudTiming::longestQueueWaitMs ||
                         record.BytesToSend.size() >= maxChannelData;
        if (!due)
            return;
        const auto addSettings = [&](std::string settings) {
            if (record.forceTunnelSetup && contains(settings, "PortOpened: True")) {
                record.forceTunnelSetup = false;
                if (!contains(settings, " Force=true"))
                    settings += " Force=true";
            }
            messages.push_back(buildChannelSettings(settings));
        };
        // A batch larger than one message goes out as several, in order.
        const TBytes& queue = record.BytesToSend;
        const auto addData = [&](size_t from, size_t to) {
            for (size_t offset = from; offset < to; offset += maxChannelData)
                messages.push_back(
                    buildChannelData(queue.data() + offset, std::min(maxChannelData, to - offset)));
        };
        // Settings and bytes go out in the order they came: the cloud drops
        // data of a port it was not told is open.
        if (!record.latestLocalportSettingsSent) {
            record.latestLocalportSettingsSent = true;
            const std::string& head = settingsAtQueueHead(record);
            if (!head.empty() &&
                (record.queuedSettings.empty() || record.queuedSettings.front().atByte > 0))
                addSettings(head);
        }
        size_t sentBytes = 0;
        for (const TQueuedSettings& settings : record.queuedSettings) {
            const size_t at = std::min(settings.atByte, queue.size());
            addData(sentBytes, at);
            addSettings(settings.text);
            sentBytes = at;
        }
        addData(sentBytes, queue.size());
        record.BytesToSend.clear();
        record.queuedSettings.clear();
        record.HasDataFromOthers = false;
    }
    queuedSince.reset();
    for (const TBytes& message : messages)
        send(ptChannel, message);
}

std::shared_ptr<TWorker> startCloudClient(PConnectionInfo record, std::string tunnelKey) {
    return startLoopWorker<TCloudClient>(false, std::move(record), std::move(tunnelKey));
}

std::shared_ptr<TWorker> startLearningRun(PConnectionInfo record, std::string tunnelKey,
                                          std::function<void()> finished) {
    return startLoopWorker<TCloudClient>(true, std::move(record), std::move(tunnelKey),
                                         std::move(finished));
}
