#include "app/command_line.h"
#include "app/console_printer.h"
#include "app/headless_console.h"
#include "app/single_instance.h"
#include "settings/settings_file.h"
#include "ui/main_window.h"
#include "ui/qt_platform.h"
#include "ui/status_icons.h"
#include "ui/traffic_monitor.h"

#include <QApplication>
#include <QSocketNotifier>

#include "zelvane_config.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// A later start of the same user asks for the window: it comes to the front.
void raiseOnLaterStarts(TSingleInstance& instance, TfrmZelvaneTunnel& window) {
    const int fd = instance.listen();
    if (fd < 0)
        return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&instance, &window] {
        if (instance.takeRaiseRequest())
            window.bringToFront();
    });
}

// Another process runs on the same settings file: its window is asked to the
// front, or, when it has none or this start is headless, the start says so.
int alreadyRunning(const TSingleInstance& instance, bool headless) {
    const std::string process = instance.runningProcess() > 0
                                    ? " (process " + std::to_string(instance.runningProcess()) + ")"
                                    : std::string();
    if (!headless && instance.askToRaise()) {
        std::printf("zelvane-tunnel: already running%s; its window was brought to the front\n",
                    process.c_str());
        return 0;
    }
    std::fprintf(stderr, "zelvane-tunnel: already running%s with the settings file %s\n",
                 process.c_str(), settingsFilePath().c_str());
    return 1;
}

// SIGINT and SIGTERM close the main window like its close button, so work
// stops and ports and connections close cleanly.
void closeOnStopSignals(TfrmZelvaneTunnel& window) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        window.close();
    });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    const TCommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!line.error.empty()) {
        std::fprintf(stderr,
                     "zelvane-tunnel: %s\nTry 'zelvane-tunnel --help' for more information.\n",
                     line.error.c_str());
        return 2;
    }
    if (line.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (line.version) {
        std::printf("zelvane-tunnel %s\n", ZELVANE_VERSION_TEXT);
        return 0;
    }
    if (!line.settingsFile.empty()) {
        std::error_code error;
        const auto path = std::filesystem::absolute(line.settingsFile, error);
        if (error) {
            std::fprintf(stderr, "zelvane-tunnel: %s: %s\n", line.settingsFile.c_str(),
                         error.message().c_str());
            return 2;
        }
        setSettingsFilePath(path.string());
    }
    std::error_code ignored;
    TSingleInstance instance(
        std::filesystem::weakly_canonical(settingsFilePath(), ignored).string());
    if (!instance.first())
        return alreadyRunning(instance, line.headless);
    // Headless, no Qt object is ever created.
    if (line.headless)
        return runHeadless(line.takeOver);

    QApplication app(argc, argv);
    QApplication::setApplicationName("Zelvane Tunnel");
    QApplication::setWindowIcon(programIcon());
    // The window may sit in the notification area; the program ends when the
    // main window is closed, not when the last window is.
    QApplication::setQuitOnLastWindowClosed(false);
    installQtPlatformHooks();

    int result;
    {
        TfrmTrafficMonitor frmTrafficMonitor;
        TfrmZelvaneTunnel frmZelvaneTunnel(frmTrafficMonitor);
        QObject::connect(&frmZelvaneTunnel, &TfrmZelvaneTunnel::closed, &app, &QApplication::quit,
                         Qt::QueuedConnection);
        closeOnStopSignals(frmZelvaneTunnel);
        raiseOnLaterStarts(instance, frmZelvaneTunnel);
        std::unique_ptr<THeadlessConsole> console;
        if (THeadlessConsole::needed())
            console = std::make_unique<THeadlessConsole>(frmZelvaneTunnel);
        frmZelvaneTunnel.show();
        result = QApplication::exec();
        frmZelvaneTunnel.FormDestroy();
    }
    removeQtPlatformHooks();
    return result;
}
