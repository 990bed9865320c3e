#include "ui/window_message.h"

#include <QMetaObject>

void TCallQueue::post(std::function<void()> call) {
    {
        std::lock_guard guard(lock_);
        calls_.push_back(std::move(call));
    }
    QMetaObject::invokeMethod(this, "runNext", Qt::QueuedConnection);
}

void TCallQueue::runNext() {
    std::function<void()> call;
    {
        std::lock_guard guard(lock_);
        if (calls_.empty())
            return;
        call = std::move(calls_.front());
        calls_.pop_front();
    }
    call();
}

void TCallQueue::clear() {
    std::lock_guard guard(lock_);
    calls_.clear();
}

TWindowHandle::TWindowHandle(std::function<void(uint32_t message)> handler)
    : handler_(std::move(handler)), handle_(registerMessageReceiver([this](uint32_t message) {
          deliveries_.post([this, message] { handler_(message); });
      })) {}

TWindowHandle::~TWindowHandle() {
    // No post arrives after this returns; the deliveries still queued go with
    // the queue.
    unregisterMessageReceiver(handle_);
}
