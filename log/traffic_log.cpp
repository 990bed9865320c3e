#include "log/traffic_log.h"

#include "model/connection.h"
#include "platform/text.h"

#include <chrono>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

std::atomic<bool> LoggingEnabled{false};
std::atomic<HWND> MonitorWindowHandle{0};

namespace {
std::mutex LogLock;
std::deque<std::string> LogQueue;

constexpr size_t memoLineLimit = 1000;
constexpr size_t memoLinesCut = 101;
} // namespace

std::string logTimeStamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
}

void logLine(const std::string& text) {
    if (!LoggingEnabled.load(std::memory_order_relaxed))
        return;
    try {
        std::lock_guard guard(LogLock);
        LogQueue.push_back(logTimeStamp() + ": " + text);
        PostMessage(MonitorWindowHandle.load(), WM_LOG_ADDED);
    } catch (...) {
        std::this_thread::yield();
    }
}

void logConnectionEvent(const TConnection* connection, const std::string& text) {
    if (!LoggingEnabled.load(std::memory_order_relaxed))
        return;
    std::string line;
    try {
        std::string prefix;
        if (connection) {
            if (const PHubInfo hub = connection->hub())
                prefix = "Tunnel " + std::to_string(hub->hubId.load());
            if (connection->SlotType == stComPort)
                prefix += " port " + connection->PortName.get();
            else if (connection->SlotType == stTCPClient)
                prefix += " tunnel ";
            prefix += " ";
        }
        line = prefix + text;
    } catch (const std::exception& e) {
        line = text + " + Exception:" + e.what();
    }
    logLine(line);
}

std::string takeLogQueue() {
    std::string joined;
    {
        std::lock_guard guard(LogLock);
        for (size_t i = 0; i < LogQueue.size(); ++i) {
            if (i > 0)
                joined += "\r\n";
            joined += LogQueue[i];
        }
        LogQueue.clear();
    }
    return trimmed(joined);
}

size_t appendLogBatch(std::vector<std::string>& lines, const std::string& batch) {
    size_t removed = 0;
    if (lines.size() > memoLineLimit) {
        removed = memoLinesCut;
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(removed));
    }
    size_t start = 0;
    while (true) {
        const size_t end = batch.find("\r\n", start);
        lines.push_back(batch.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    return removed;
}
