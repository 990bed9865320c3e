#include "platform/messages.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace {
std::shared_mutex registryLock;
std::unordered_map<HWND, MessageReceiver> receivers;
HWND lastHandle = 0;
} // namespace

HWND registerMessageReceiver(MessageReceiver receiver) {
    std::unique_lock guard(registryLock);
    do {
        ++lastHandle;
    } while (lastHandle == 0 || receivers.count(lastHandle) != 0);
    receivers.emplace(lastHandle, std::move(receiver));
    return lastHandle;
}

void unregisterMessageReceiver(HWND handle) {
    std::unique_lock guard(registryLock);
    receivers.erase(handle);
}

void PostMessage(HWND handle, uint32_t message, uintptr_t, intptr_t) {
    if (handle == 0)
        return;
    // Receivers only queue, so holding the shared lock while calling one is
    // brief; it guarantees no call after unregisterMessageReceiver returns.
    std::shared_lock guard(registryLock);
    auto it = receivers.find(handle);
    if (it != receivers.end())
        it->second(message);
}
