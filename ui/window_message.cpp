#include "ui/window_message.h"

#include <QCoreApplication>

QEvent::Type TWindowMessageEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TWindowHandle::TWindowHandle(QObject* receiver)
    : handle_(registerMessageReceiver([receiver](uint32_t message) {
          QCoreApplication::postEvent(receiver, new TWindowMessageEvent(message));
      })) {}

TWindowHandle::~TWindowHandle() {
    unregisterMessageReceiver(handle_);
}

uint32_t windowMessageOf(const QEvent* event) {
    if (event->type() != TWindowMessageEvent::eventType())
        return 0;
    return static_cast<const TWindowMessageEvent*>(event)->message();
}
