#pragma once

#include "platform/messages.h"

#include <QEvent>

class QObject;

// A platform window message delivered to a Qt object on the interface thread.
class TWindowMessageEvent : public QEvent {
public:
    explicit TWindowMessageEvent(uint32_t message) : QEvent(eventType()), message_(message) {}
    uint32_t message() const { return message_; }
    static QEvent::Type eventType();

private:
    uint32_t message_;
};

// The window handle of a Qt object: messages posted to it from any thread are
// queued as TWindowMessageEvent for the object. Declare it as a member of the
// object, so the handle is gone before the object is.
class TWindowHandle {
public:
    explicit TWindowHandle(QObject* receiver);
    ~TWindowHandle();
    TWindowHandle(const TWindowHandle&) = delete;
    TWindowHandle& operator=(const TWindowHandle&) = delete;
    HWND get() const { return handle_; }

private:
    HWND handle_;
};

// The message an event carries, or 0 for any other event.
uint32_t windowMessageOf(const QEvent* event);
