#include "ui/qt_platform.h"

#include "platform/process.h"
#include "platform/thread.h"

#include <QCoreApplication>
#include <QMetaObject>
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

} // namespace

void installQtPlatformHooks() {
    previousHandler = qInstallMessageHandler(quietMessages);
    QCoreApplication* app = QCoreApplication::instance();
    setMainThreadDispatcher([app](std::function<void()> call) {
        QMetaObject::invokeMethod(app, std::move(call), Qt::QueuedConnection);
    });
    setKeepInterfaceAliveCallback([] { QCoreApplication::processEvents(); });
}

void removeQtPlatformHooks() {
    qInstallMessageHandler(previousHandler);
    setMainThreadDispatcher([](std::function<void()>) {});
    setKeepInterfaceAliveCallback(nullptr);
}
