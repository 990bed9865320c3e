#include "app/console_printer.h"

#include "platform/thread.h"
#include "ui/status_texts.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// True when standard output is the stream the journal gave this service: the
// journal names it in JOURNAL_STREAM as "device:inode".
bool stdoutIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat out {};
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == device && out.st_ino == inode;
}

} // namespace

void TConsolePrinter::print(const std::string& line, Level level) {
    static const bool journal = stdoutIsJournal();
    const std::string prefix = journal ? "<" + std::to_string(level) + ">" : std::string();
    std::fputs((prefix + line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void TConsolePrinter::show(TTunnelId tunnel, const char* what, const std::string& text) {
    // Tunnels are numbered from the top, as work numbers them.
    const size_t number = controller_.position(tunnel);
    std::string& shown = shown_[{tunnel, what}];
    if (number == 0 || text.empty() || shown == text)
        return;
    shown = text;
    print("Tunnel " + std::to_string(number) + " " + what + ": " + text);
}

void TConsolePrinter::portChanged(TTunnelId tunnel, const TPortInfo& port) {
    show(tunnel, "port", portText(port));
}

void TConsolePrinter::slotStatusChanged(TTunnelId tunnel, TSlotType kind,
                                        const TSlotStatus& status) {
    if (kind == stComPort || kind == stTCPClient)
        show(tunnel, kind == stComPort ? "port status" : "cloud status",
             slotStatusText(kind, status).text);
}

void TConsolePrinter::tunnelRemoved(TTunnelId tunnel) {
    std::erase_if(shown_, [tunnel](const auto& entry) { return entry.first.first == tunnel; });
}

void TConsolePrinter::error(const std::string& text) {
    print("Error: " + text, Error);
}

void TConsolePrinter::question(const std::string& text) {
    print("Question: " + text, Warning);
    print("Answered: Cancel (no one to ask without a display)", Warning);
}

void THeadlessFront::attach(TTunnelController& controller) {
    controller_ = &controller;
    printer_ = std::make_unique<TConsolePrinter>(controller);
}

void THeadlessFront::tunnelRemoved(TTunnelId tunnel) {
    printer_->tunnelRemoved(tunnel);
}

void THeadlessFront::slotStatusChanged(TTunnelId tunnel, TSlotType kind,
                                       const TSlotStatus& status) {
    printer_->slotStatusChanged(tunnel, kind, status);
}

void THeadlessFront::portChanged(TTunnelId tunnel, const TPortInfo& port) {
    printer_->portChanged(tunnel, port);
}

void THeadlessFront::message(const TTunnelMessage& message) {
    printer_->error(messageText(message));
}

void THeadlessFront::conflictQuestion(const TConflictQuestion& question) {
    if (takeOver_) {
        TConsolePrinter::print("Tunnel " + std::to_string(question.number) +
                                   ": taking the channel over (--take-over)",
                               TConsolePrinter::Notice);
        controller_->answerConflict(question.tunnel, TConflictAnswer::TakeOver);
        return;
    }
    controller_->answerConflict(question.tunnel, TConflictAnswer::PauseTunnel);
    TConsolePrinter::print(tunnelPausedText(question), TConsolePrinter::Warning);
}

int runHeadless(bool takeOver) {
    // SIGINT and SIGTERM are taken by one thread of ours, so every worker
    // started later inherits the blocked mask and the loop ends cleanly.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    TControllerLoop loop;
    std::thread signalWaiter([&loop, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        loop.quit();
    });
    // Synchronized calls of workers run on this thread, in the loop.
    setMainThreadDispatcher([&loop](std::function<void()> call) { loop.post(std::move(call)); });
    {
        THeadlessFront front(takeOver);
        TTunnelController controller(loop, front);
        front.attach(controller);
        controller.load();
        loop.run();
        // The controller stops work and waits for its workers as it goes.
    }
    setMainThreadDispatcher(nullptr);
    signalWaiter.join();
    return 0;
}
