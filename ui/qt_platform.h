#pragma once

// Connects the platform layer to the Qt event loop: synchronized calls of
// worker threads run on the interface thread, and waits for helper programs
// keep the interface processing events. Call once the application object
// exists.
void installQtPlatformHooks();
// After the event loop has ended: synchronized calls are no longer run (their
// threads give up when told to stop) and waits process no events.
void removeQtPlatformHooks();
