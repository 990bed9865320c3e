#include "cloudsim/simulator.h"

#include "cloud/protocol.h"
#include "cloudsim/devices.h"
#include "cloudsim/settings_text.h"
#include "model/connection.h"
#include "platform/text.h"
#include "platform/tick.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace cloudsim {
namespace {

constexpr int kPollMs = 100;
// How long a refused or redirected client may take to hang up.
constexpr uint32_t kLingerMs = 5000;
constexpr size_t kReadChunk = 64 * 1024;

const char* channelStateName(uint8_t state) {
    static const char* const names[] = {"dcsUnknown", "dcsConnecting", "dcsConnected", "dcsClosed"};
    return state < std::size(names) ? names[state] : "?";
}

const char* closeReasonName(uint8_t reason) {
    static const char* const names[] = {"crUnknown",
                                        "crClosedDueToOpenErrorDueToInterferedTunnel",
                                        "crClosedDueToOpenErrorDueToMultipleInterferedTunnels",
                                        "crClosedDueToOpenError",
                                        "crClosedTemporarilyDueToNeedToBeReopened",
                                        "crClosedDueToInterferedTunnel",
                                        "crClosedDueToLocalChannelClosed",
                                        "crClosedByDevice",
                                        "crClosedDueToWebserverTimeout",
                                        "crClosedDueToOpenErrorDueToBadParameters",
                                        "crClosedDueToConnectionLost"};
    return reason < std::size(names) ? names[reason] : "?";
}

bool sameStatus(const TDatasourceStatus& a, const TDatasourceStatus& b) {
    return a.webserverParams == b.webserverParams && a.connectedToServer == b.connectedToServer &&
           a.channelState == b.channelState && a.closeReason == b.closeReason &&
           a.extendedString == b.extendedString;
}

std::string describeStatus(const TDatasourceStatus& status) {
    return Format("device connected=%d, channel=%s, reason=%s, argument=\"%s\", params=\"%s\"",
                  status.connectedToServer ? 1 : 0, channelStateName(status.channelState),
                  closeReasonName(status.closeReason), ansiToText(status.extendedString).c_str(),
                  ansiToText(status.webserverParams).c_str());
}

} // namespace

struct Simulator::Tunnel {
    TunnelConfig config;
    std::string wireKey; // the key as the client sends it
    TTunnelInfo info;    // texts in Windows-1251
    std::string params;  // Windows-1251
    std::unique_ptr<RemoteDevice> device;
    uint64_t holder = 0; // session that has the channel open; 0 = none
    // Bytes from the device not yet handed to a client, oldest first.
    TBytes held;
};

struct Simulator::Session {
    // Greeting: hello sent, waiting for the authorization request.
    // Closing: refused or redirected; the reply is flushed, then the
    // connection is shut down and whatever still comes is discarded.
    enum class Stage { Greeting, Authorized, Closing };

    uint64_t id = 0;
    Fd fd;
    std::string peer;
    Stage stage = Stage::Greeting;
    TMessageAssembler assembler;
    TBytes out;
    TBytes key; // the connection key sent in the hello
    std::array<uint8_t, challengeSize> challenge{};
    Tunnel* tunnel = nullptr;
    // Channel messages that came before the authorization request (the client
    // sends queued data right after a reconnect); handled once authorized.
    std::vector<TBytes> early;
    size_t earlyBytes = 0;
    // Data that came before this connection's first settings text: after a
    // reconnect the program sends its queue before it repeats the settings.
    bool settingsSeen = false;
    TBytes heldData;
    // Why this client's channel is closed, while it does not hold it.
    uint8_t closeReason = crUnknown;
    std::string closeArgument;
    std::optional<TDatasourceStatus> lastStatus;
    uint32_t lastActivity = 0;
    uint32_t closingSince = 0;
    bool shutDown = false;
    bool dead = false;
    size_t pollSlot = SIZE_MAX;
};

Simulator::Simulator(SimOptions options, LogSink log)
    : options_(std::move(options)), log_(std::move(log)),
      builtinKey_(options_.key.begin(), options_.key.end()), random_(std::random_device{}()) {
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create the wake-up pipe");
    wakeRead_.reset(wake[0]);
    wakeWrite_.reset(wake[1]);
    listener_ = openListener(options_.listenHost, options_.listenPort);
    port_ = boundPort(listener_.get());

    for (const TunnelConfig& config : options_.tunnels) {
        auto tunnel = std::make_unique<Tunnel>();
        Tunnel* t = tunnel.get();
        t->config = config;
        t->wireKey = textToAnsi(config.key);
        t->info = {config.id,
                   config.localInterfaceId,
                   textToCp1251(config.name),
                   textToCp1251(config.description),
                   textToCp1251(config.params),
                   textToCp1251(config.paramsDescription)};
        t->params = t->info.defParams;
        DeviceEvents events{
            [this, t](const uint8_t* data, size_t size) { deviceReceived(*t, data, size); },
            [this, t] { updateStatuses(*t); },
            [this, t](const std::string& line) {
                this->log("tunnel " + t->config.key + ": " + line);
            }};
        t->device = makeDevice(config.device, options_.listenHost, std::move(events));
        const std::string where = t->device->address();
        const std::string device = config.device.kind == DeviceKind::Pty ? "pty device at " + where
                                   : config.device.kind == DeviceKind::Tcp
                                       ? "tcp device listening on " + where
                                       : "echo device";
        this->log(Format("tunnel %s (id %d, iface %d, name \"%s\"): %s", config.key.c_str(),
                         config.id, config.localInterfaceId, config.name.c_str(), device.c_str()));
        tunnels_.push_back(std::move(tunnel));
    }
    if (tunnels_.empty())
        this->log("no tunnels defined: every tunnel key is refused");
    if (options_.redirect)
        this->log(Format("every client is redirected to %s, valid for %d s",
                         options_.redirect->target.c_str(), options_.redirect->validitySeconds));
    if (options_.silent)
        this->log("silent: connections are accepted and never answered");
    this->log("listening on " + listenAddress());
}

Simulator::~Simulator() {
    stop();
    if (thread_.joinable())
        thread_.join();
}

std::string Simulator::listenAddress() const {
    return options_.listenHost + ":" + std::to_string(port_);
}

std::string Simulator::deviceAddress(const std::string& tunnelKey) const {
    for (const auto& tunnel : tunnels_)
        if (tunnel->config.key == tunnelKey)
            return tunnel->device->address();
    return {};
}

void Simulator::start() {
    thread_ = std::thread([this] { run(); });
}

void Simulator::stop() noexcept {
    stopRequested_.store(true);
    const char byte = 0;
    const ssize_t written = ::write(wakeWrite_.get(), &byte, 1);
    (void)written; // a full pipe already wakes the loop
}

void Simulator::run() {
    while (!stopRequested_.load()) {
        try {
            serveOnce();
        } catch (const std::exception& error) {
            log(std::string("internal error: ") + error.what());
        }
    }
    sessions_.clear();
    for (auto& tunnel : tunnels_)
        tunnel->holder = 0;
    log("stopped");
}

void Simulator::serveOnce() {
    PollSet set;
    const size_t wakeSlot = set.add(wakeRead_.get(), POLLIN);
    const size_t listenSlot = set.add(listener_.get(), POLLIN);
    for (auto& [id, session] : sessions_) {
        short events = session->out.empty() ? 0 : POLLOUT;
        if (readsInput(*session))
            events |= POLLIN;
        else
            session->lastActivity = GetTickCount(); // held back by us, not silent
        session->pollSlot = set.add(session->fd.get(), events);
    }
    for (auto& tunnel : tunnels_) {
        const Session* holder = holderOf(*tunnel);
        tunnel->device->addPollFds(set, !holder || holder->out.size() < kHighWater);
    }

    set.wait(kPollMs);
    if (set.events(wakeSlot) & POLLIN) {
        char drain[64];
        while (::read(wakeRead_.get(), drain, sizeof drain) > 0) {
        }
    }
    if (stopRequested_.load())
        return;
    if (set.events(listenSlot) & POLLIN)
        acceptClients();
    for (auto& [id, session] : sessions_)
        if (!session->dead && session->pollSlot != SIZE_MAX)
            serveSession(*session, set.events(session->pollSlot));
    for (auto& tunnel : tunnels_) {
        tunnel->device->handlePoll(set);
        deliverHeld(*tunnel);
    }

    const uint32_t now = GetTickCount();
    for (auto& [id, session] : sessions_) {
        if (session->dead)
            continue;
        if (session->stage == Session::Stage::Closing) {
            if (now - session->closingSince > kLingerMs)
                drop(*session, "closed");
        } else if (now - session->lastActivity > kClientSilenceMs) {
            drop(*session, "silent for more than 120 s, dropped");
        }
    }
    std::erase_if(sessions_, [](const auto& entry) { return entry.second->dead; });
}

void Simulator::acceptClients() {
    for (;;) {
        std::string peer;
        Fd fd = acceptConnection(listener_.get(), peer);
        if (!fd)
            return;
        if (sessions_.size() >= kMaxClients) {
            log("too many clients: " + peer + " refused");
            continue;
        }
        auto session = std::make_unique<Session>();
        Session& s = *session;
        s.id = nextSessionId_++;
        s.fd = std::move(fd);
        s.peer = peer;
        s.lastActivity = GetTickCount();
        sessions_.emplace(s.id, std::move(session));
        log("client " + peer + " connected");
        if (options_.silent)
            continue;
        THello hello;
        for (uint8_t& b : hello.challenge)
            b = static_cast<uint8_t>(random_());
        hello.connectionKey.resize(connectionKeySize);
        for (uint8_t& b : hello.connectionKey)
            b = static_cast<uint8_t>(random_());
        s.challenge = hello.challenge;
        queueMessage(s, ptControl, buildHello(hello), builtinKey_);
        s.key = hello.connectionKey;
    }
}

bool Simulator::readsInput(const Session& session) const {
    if (session.stage == Session::Stage::Closing)
        return true; // discarded; only the hang-up matters
    if (session.out.size() >= kHighWater)
        return false;
    const Tunnel* tunnel = session.tunnel;
    return !tunnel || tunnel->holder != session.id || tunnel->device->pending() < kHighWater;
}

void Simulator::serveSession(Session& s, short events) {
    if ((events & POLLOUT) && !flushBuffer(s.fd.get(), s.out)) {
        drop(s, "connection lost");
        return;
    }
    if (events & (POLLIN | POLLHUP | POLLERR))
        receive(s);
    // A refused or redirected client has its reply; our side is done.
    if (!s.dead && s.stage == Session::Stage::Closing && s.out.empty() && !s.shutDown) {
        ::shutdown(s.fd.get(), SHUT_WR);
        s.shutDown = true;
    }
}

void Simulator::receive(Session& s) {
    TBytes data;
    const bool open = readAvailable(s.fd.get(), data, kReadChunk);
    if (options_.silent && !data.empty())
        s.lastActivity = GetTickCount();
    if (!options_.silent && s.stage != Session::Stage::Closing) {
        try {
            size_t pos = 0;
            while (pos < data.size() && !s.dead) {
                pos += s.assembler.feed(data.data() + pos, data.size() - pos);
                if (s.assembler.hasMessage())
                    handleMessage(s, s.assembler.takeMessage());
            }
        } catch (const std::exception& error) {
            drop(s, std::string("dropped: ") + error.what());
            return;
        }
    }
    if (!open)
        drop(s, "disconnected");
}

void Simulator::handleMessage(Session& s, const TRawMessage& message) {
    s.lastActivity = GetTickCount();
    switch (message.type) {
    case ptControl:
        if (s.stage != Session::Stage::Greeting)
            throw EProtocolError("a second authorization request");
        authorize(s, messagePayload(message, s.key));
        break;
    case ptKeepAlive:
        queueMessage(s, ptKeepAlive, {});
        log("keepalive from " + s.peer + " answered");
        break;
    case ptChannel:
        if (s.stage == Session::Stage::Authorized) {
            handleChannel(s, messagePayload(message, s.key));
        } else {
            // Sent before the client read the hello, so under the built-in key.
            TBytes payload = messagePayload(message, builtinKey_);
            parseChannelCode(payload);
            s.earlyBytes += payload.size();
            if (s.earlyBytes > kHighWater)
                throw EProtocolError("too much data before the authorization");
            s.early.push_back(std::move(payload));
        }
        break;
    default:
        throw EProtocolError(
            Format("a message of type %d, which the protocol does not use", message.type));
    }
}

void Simulator::authorize(Session& s, const TBytes& payload) {
    const TAuthorizationRequest request = parseAuthorizationRequest(payload);
    if (request.challengeCrc != crc16Modbus(s.challenge.data(), s.challenge.size()))
        throw EProtocolError("the authorization does not answer the challenge "
                             "(does the client use another key?)");
    log(Format("authorization from %s: tunnel key \"%s\", version %s", s.peer.c_str(),
               ansiToText(request.tunnelKey).c_str(), ansiToText(request.versionText).c_str()));
    if (options_.redirect) {
        queueMessage(
            s, ptControl,
            buildAuthRedirect(options_.redirect->target, options_.redirect->validitySeconds));
        log(Format("redirected %s to %s, valid for %d s", s.peer.c_str(),
                   options_.redirect->target.c_str(), options_.redirect->validitySeconds));
        startClosing(s);
        return;
    }
    Tunnel* tunnel = nullptr;
    for (auto& t : tunnels_)
        if (t->wireKey == request.tunnelKey)
            tunnel = t.get();
    if (!tunnel) {
        queueMessage(s, ptControl, buildAuthRefused());
        log("refused " + s.peer + ": unknown tunnel key \"" + ansiToText(request.tunnelKey) + "\"");
        startClosing(s);
        return;
    }
    queueMessage(s, ptControl, buildAuthTunnelInfo(tunnel->info));
    s.stage = Session::Stage::Authorized;
    s.tunnel = tunnel;
    log("accepted " + s.peer + " for tunnel " + tunnel->config.key);
    updateStatuses(*tunnel);
    const std::vector<TBytes> early = std::move(s.early);
    s.early.clear();
    for (const TBytes& message : early)
        if (!s.dead)
            handleChannel(s, message);
}

void Simulator::handleChannel(Session& s, const TBytes& payload) {
    if (parseChannelCode(payload) == chStatus) {
        handleSettings(s, std::string(payload.begin() + 2, payload.end()));
        return;
    }
    Tunnel& tunnel = *s.tunnel;
    const size_t size = payload.size() - 2;
    if (size == 0)
        return;
    if (tunnel.holder == s.id)
        tunnel.device->send(payload.data() + 2, size);
    else if (!s.settingsSeen && s.heldData.size() + size <= kHighWater)
        s.heldData.insert(s.heldData.end(), payload.begin() + 2, payload.end());
    else
        dropData(s, size);
}

void Simulator::dropData(const Session& s, size_t size) {
    log(Format("%zu bytes from %s dropped: it has not opened the channel of tunnel %s", size,
               s.peer.c_str(), s.tunnel->config.key.c_str()));
}

void Simulator::handleSettings(Session& s, const std::string& text) {
    log("settings from " + s.peer + ": " + ansiToText(text));
    Tunnel& tunnel = *s.tunnel;
    const auto [opened, force] = parseSettingsText(text);
    Session* holder = holderOf(tunnel);
    if (!opened) {
        if (holder == &s) {
            tunnel.holder = 0;
            log("channel of tunnel " + tunnel.config.key + " closed by " + s.peer);
        }
        s.closeReason = crClosedDueToLocalChannelClosed;
        s.closeArgument.clear();
    } else if (!holder || holder == &s || force) {
        if (holder && holder != &s) {
            holder->closeReason = crClosedDueToInterferedTunnel;
            holder->closeArgument = s.peer;
            log("channel of tunnel " + tunnel.config.key + " taken over by " + s.peer + " from " +
                holder->peer);
        } else if (!holder) {
            log("channel of tunnel " + tunnel.config.key + " opened by " + s.peer);
        }
        tunnel.holder = s.id;
        s.closeReason = crUnknown;
        s.closeArgument.clear();
    } else {
        s.closeReason = crClosedDueToOpenErrorDueToInterferedTunnel;
        s.closeArgument = holder->peer;
        log("channel of tunnel " + tunnel.config.key + " refused to " + s.peer + ": " +
            holder->peer + " has it open");
    }
    updateStatuses(tunnel);
    deliverHeld(tunnel);
    s.settingsSeen = true;
    const TBytes held = std::move(s.heldData);
    s.heldData.clear();
    if (held.empty())
        return;
    if (tunnel.holder == s.id)
        tunnel.device->send(held.data(), held.size());
    else
        dropData(s, held.size());
}

void Simulator::deviceReceived(Tunnel& tunnel, const uint8_t* data, size_t size) {
    // Through the held bytes, so that what waited goes out first.
    if (!holderOf(tunnel) && tunnel.held.empty())
        log(Format("tunnel %s: no client has the channel open: bytes from the device are held "
                   "for the next one, %zu at most",
                   tunnel.config.key.c_str(), kHeldForAbsentClient));
    tunnel.held.insert(tunnel.held.end(), data, data + size);
    if (tunnel.held.size() > kHeldForAbsentClient) {
        const size_t excess = tunnel.held.size() - kHeldForAbsentClient;
        tunnel.held.erase(tunnel.held.begin(),
                          tunnel.held.begin() + static_cast<std::ptrdiff_t>(excess));
        log(Format("tunnel %s: %zu oldest bytes from the device dropped: more than %zu wait "
                   "for a client",
                   tunnel.config.key.c_str(), excess, kHeldForAbsentClient));
    }
    deliverHeld(tunnel);
}

void Simulator::deliverHeld(Tunnel& tunnel) {
    size_t offset = 0;
    // In pieces while the client takes them, so its send buffer stays small.
    for (Session* holder = holderOf(tunnel);
         holder && offset < tunnel.held.size() && holder->out.size() < kHighWater;
         holder = holderOf(tunnel)) {
        const size_t size = std::min(maxChannelData, tunnel.held.size() - offset);
        queueMessage(*holder, ptChannel, buildChannelData(tunnel.held.data() + offset, size));
        offset += size;
    }
    tunnel.held.erase(tunnel.held.begin(),
                      tunnel.held.begin() + static_cast<std::ptrdiff_t>(offset));
}

void Simulator::updateStatuses(Tunnel& tunnel) {
    const bool connected = tunnel.device->connected();
    for (auto& [id, session] : sessions_) {
        Session& s = *session;
        if (s.dead || s.tunnel != &tunnel || s.stage != Session::Stage::Authorized)
            continue;
        TDatasourceStatus status;
        status.webserverParams = tunnel.params;
        status.connectedToServer = connected;
        if (tunnel.holder == s.id) {
            status.channelState = connected ? dcsConnected : dcsConnecting;
        } else if (s.closeReason != crUnknown) {
            status.channelState = dcsClosed;
            status.closeReason = s.closeReason;
            status.extendedString = s.closeArgument;
        }
        if (s.lastStatus && sameStatus(*s.lastStatus, status))
            continue;
        s.lastStatus = status;
        queueMessage(s, ptChannel, buildDatasourceStatus(status));
        log("status to " + s.peer + ": " + describeStatus(status));
    }
}

void Simulator::queueMessage(Session& s, uint8_t type, const TBytes& payload, const TBytes& key) {
    if (s.dead)
        return;
    for (const TBytes& frame : buildMessageFrames(type, payload, key))
        s.out.insert(s.out.end(), frame.begin(), frame.end());
    if (!flushBuffer(s.fd.get(), s.out))
        drop(s, "connection lost");
    else if (s.out.size() > kMaxBuffered)
        drop(s, "does not read what it is sent, dropped");
}

void Simulator::queueMessage(Session& s, uint8_t type, const TBytes& payload) {
    queueMessage(s, type, payload, s.key);
}

void Simulator::startClosing(Session& s) {
    s.stage = Session::Stage::Closing;
    s.closingSince = GetTickCount();
    if (!s.early.empty())
        log(Format("%zu messages that %s sent before its authorization discarded", s.early.size(),
                   s.peer.c_str()));
    s.early.clear();
}

void Simulator::drop(Session& s, const std::string& why) {
    if (s.dead)
        return;
    log("client " + s.peer + " " + why);
    s.dead = true;
    s.fd.reset();
    if (s.tunnel && s.tunnel->holder == s.id) {
        s.tunnel->holder = 0;
        log("channel of tunnel " + s.tunnel->config.key + " closed: its client is gone");
    }
}

Simulator::Session* Simulator::holderOf(const Tunnel& tunnel) {
    if (tunnel.holder == 0)
        return nullptr;
    const auto found = sessions_.find(tunnel.holder);
    return found == sessions_.end() || found->second->dead ? nullptr : found->second.get();
}

void Simulator::log(const std::string& line) const {
    if (log_)
        log_(line);
}

} // namespace cloudsim
