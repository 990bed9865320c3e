#pragma once

#include "tunnels/tunnel_controller.h"

#include <functional>
#include <map>
#include <string>
#include <utility>

// Prints what a user without a display needs on standard output: each
// tunnel's virtual port and status texts as they change, the messages, and
// the take-over questions, which it answers with "no": without a user the
// program never takes a channel over from another tunnel.
class TConsolePrinter {
public:
    explicit TConsolePrinter(const TTunnelController& controller) : controller_(controller) {}

    void portChanged(TTunnelId tunnel, const TPortInfo& port);
    void slotStatusChanged(TTunnelId tunnel, TSlotType kind, const TSlotStatus& status);
    void tunnelRemoved(TTunnelId tunnel);
    void error(const std::string& text);
    void question(const std::string& text);

    // Syslog priorities of the lines: when standard output is the journal
    // (a systemd service), each line starts with "<N>" so the journal keeps
    // its level.
    enum Level { Error = 3, Warning = 4, Notice = 5, Info = 6 };
    static void print(const std::string& line, Level level = Info);

private:
    void show(TTunnelId tunnel, const char* what, const std::string& text);

    const TTunnelController& controller_;
    std::map<std::pair<TTunnelId, std::string>, std::string> shown_;
};

// The front of `zelvane-tunnel --headless`: the controller's listener, with
// no Qt object anywhere. A conflict pauses only the tunnel concerned, or with
// `takeOver` takes its channel over without asking.
class THeadlessFront : public TTunnelListener {
public:
    explicit THeadlessFront(bool takeOver = false) : takeOver_(takeOver) {}
    void attach(TTunnelController& controller);

    void tunnelRemoved(TTunnelId tunnel) override;
    void slotStatusChanged(TTunnelId tunnel, TSlotType kind, const TSlotStatus& status) override;
    void portChanged(TTunnelId tunnel, const TPortInfo& port) override;
    void message(const TTunnelMessage& message) override;
    void conflictQuestion(const TConflictQuestion& question) override;

private:
    const bool takeOver_;
    TTunnelController* controller_ = nullptr;
    std::unique_ptr<TConsolePrinter> printer_;
};

// Runs the program headless until SIGINT or SIGTERM; returns the exit status.
int runHeadless(bool takeOver);
