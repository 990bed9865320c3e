#pragma once

#include "cloud/codec.h"
#include "cloudsim/net.h"
#include "cloudsim/options.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace cloudsim {

// Limits that keep one client from holding the server or its memory.
constexpr uint32_t kClientSilenceMs = 120000; // a client silent longer is dropped
constexpr size_t kHighWater = 256 * 1024;     // stop reading a source while this much waits
constexpr size_t kMaxBuffered = 1024 * 1024;  // a client that lets more pile up is dropped
constexpr size_t kMaxClients = 256;
// What a tunnel's device sends while no client has the channel open waits for
// the next one, up to this much; beyond it the oldest bytes go.
constexpr size_t kHeldForAbsentClient = 1024 * 1024;

// The local cloud server: one thread serves every client with poll(). It
// greets each connection, checks the tunnel key against its table, relays the
// channel between the client that holds a tunnel and the tunnel's remote
// device, reports the data source status on every change and settles
// conflicts between clients of one tunnel.
class Simulator {
public:
    using LogSink = std::function<void(const std::string& line)>;

    // Binds the listening socket and opens every tunnel's device; throws
    // std::runtime_error saying what failed. Lines about what it does go to
    // `log`, on the serving thread.
    Simulator(SimOptions options, LogSink log);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    uint16_t port() const { return port_; }
    // "HOST:PORT" as bound.
    std::string listenAddress() const;
    // The pty path or tcp address of a tunnel's device; empty for echo or an
    // unknown key.
    std::string deviceAddress(const std::string& tunnelKey) const;

    // Serves until stop().
    void run();
    // Serves on a thread of its own until stop() or destruction.
    void start();
    // Any thread, also a signal handler.
    void stop() noexcept;

private:
    struct Session;
    struct Tunnel;

    void serveOnce();
    void acceptClients();
    void serveSession(Session& session, short events);
    void receive(Session& session);
    void handleMessage(Session& session, const TRawMessage& message);
    void authorize(Session& session, const TBytes& payload);
    void handleChannel(Session& session, const TBytes& payload);
    void handleSettings(Session& session, const std::string& text);
    void dropData(const Session& session, size_t size);
    void deviceReceived(Tunnel& tunnel, const uint8_t* data, size_t size);
    void deliverHeld(Tunnel& tunnel);
    void updateStatuses(Tunnel& tunnel);
    void queueMessage(Session& session, uint8_t type, const TBytes& payload, const TBytes& key);
    void queueMessage(Session& session, uint8_t type, const TBytes& payload);
    void startClosing(Session& session);
    void drop(Session& session, const std::string& why);
    bool readsInput(const Session& session) const;
    Session* holderOf(const Tunnel& tunnel);
    void log(const std::string& line) const;

    SimOptions options_;
    LogSink log_;
    TBytes builtinKey_;
    std::vector<std::unique_ptr<Tunnel>> tunnels_;
    std::map<uint64_t, std::unique_ptr<Session>> sessions_;
    uint64_t nextSessionId_ = 1;
    std::mt19937_64 random_;
    Fd listener_;
    uint16_t port_ = 0;
    Fd wakeRead_;
    Fd wakeWrite_;
    std::atomic<bool> stopRequested_{false};
    std::thread thread_;
};

} // namespace cloudsim
