#pragma once

#include <cstdint>
#include <functional>

// Window handles and posted messages. A receiver (a window of the interface,
// or a test) registers and gets a handle; any thread may post to a handle.
using HWND = uint32_t;

constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_DEVICECHANGE = 0x0219;

// Called on the posting thread; must only queue the message, never block.
using MessageReceiver = std::function<void(uint32_t message)>;

HWND registerMessageReceiver(MessageReceiver receiver);
// After this returns the receiver is never called again.
void unregisterMessageReceiver(HWND handle);

// Never blocks on the receiver's thread; a post to handle 0 or to a handle
// whose receiver is gone does nothing.
void PostMessage(HWND handle, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
