#pragma once

#include "platform/messages.h"

#include <atomic>
#include <string>
#include <vector>

struct TConnection;

constexpr uint32_t WM_LOG_ADDED = WM_USER + 20;

// Lines are kept only while the traffic monitor is shown; otherwise a log call
// costs one test of this flag.
extern std::atomic<bool> LoggingEnabled;
// The monitor window that is told about new lines.
extern std::atomic<HWND> MonitorWindowHandle;

// Time-stamps and queues one line. Any thread; never throws.
void logLine(const std::string& text);
// Logs a line about one slot, prefixed with its tunnel and port. Any thread;
// never throws. `connection` may be null.
void logConnectionEvent(const TConnection* connection, const std::string& text);

// "YYYY-MM-DD hh:nn:ss.zzz " in local time.
std::string logTimeStamp();

// Takes every queued line as one text (lines joined by CR LF), trimmed of
// blanks and control characters at both ends, and empties the queue.
std::string takeLogQueue();

// Adds one batch to the monitor's lines: when more than 1000 lines are shown,
// the first 101 go first; then every CR LF separated line of the batch follows.
// Returns the number of lines removed from the top.
size_t appendLogBatch(std::vector<std::string>& lines, const std::string& batch);
