#include "ui/qt_platform.h"

#include "platform/process.h"
#include "platform/thread.h"
#include "ui/window_message.h"

#include <QCoreApplication>
#include <QtGlobal>

namespace {

QtMessageHandler previousHandler = nullptr;

// Without a display (offscreen) every resize of the fixed-size main window
// warns that the platform cannot pass size hints on; nothing is wrong.
void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains("does not support propagateSizeHints"))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

// Synchronized calls of worker threads, run on the interface thread.
TCallQueue* synchronizedCalls = nullptr;

} // namespace

void installQtPlatformHooks() {
    previousHandler = qInstallMessageHandler(quietMessages);
    if (!synchronizedCalls)
        synchronizedCalls = new TCallQueue; // lives as long as the process
    setMainThreadDispatcher(
        [](std::function<void()> call) { synchronizedCalls->post(std::move(call)); });
    setKeepInterfaceAliveCallback([] { QCoreApplication::processEvents(); });
}

void removeQtPlatformHooks() {
    qInstallMessageHandler(previousHandler);
    setMainThreadDispatcher([](std::function<void()>) {});
    if (synchronizedCalls)
        synchronizedCalls->clear();
    setKeepInterfaceAliveCallback(nullptr);
}
