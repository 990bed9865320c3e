// zelvane-cloudsim: a local cloud server for trying Zelvane Tunnel and for its
// end-to-end tests. See --help.

#include "cloudsim/simulator.h"

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

std::atomic<cloudsim::Simulator*> running{nullptr};

void onStopSignal(int) {
    if (cloudsim::Simulator* simulator = running.load())
        simulator->stop();
}

void setStopHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Scripts and tests read the output as it comes, line by line.
void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    try {
        const cloudsim::SimOptions options =
            cloudsim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(cloudsim::usageText().c_str(), stdout);
            return 0;
        }
        cloudsim::Simulator simulator(options, printLine);
        running.store(&simulator);
        setStopHandler(onStopSignal);
        simulator.run();
        setStopHandler(SIG_DFL);
        running.store(nullptr);
    } catch (const cloudsim::ConfigError& error) {
        std::fprintf(stderr, "zelvane-cloudsim: %s\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zelvane-cloudsim: %s\n", error.what());
        return 1;
    }
    return 0;
}
