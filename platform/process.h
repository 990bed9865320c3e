#pragma once

#include "platform/messages.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// An operating-system call failed; the message reads
// "System Error.  Code: <n>." CR LF <the system's text for n>.
class EOSError : public std::runtime_error {
public:
    explicit EOSError(int code);
    int code() const { return code_; }

private:
    int code_;
};

// Called again and again while runElevatedAndWait waits for its program, so
// the interface keeps handling events. Empty: the wait simply blocks.
using KeepInterfaceAliveCallback = std::function<void()>;
void setKeepInterfaceAliveCallback(KeepInterfaceAliveCallback callback);

// Starts `fileName` (no shell; a name without '/' is looked up in PATH) with
// `parameters` split like a Windows command line, and returns when it has
// ended. Its exit status is not looked at. The pair store belongs to the
// user, so nothing is elevated; `owner` is accepted for the callers' sake.
// Throws EOSError when the program cannot be started.
void runElevatedAndWait(HWND owner, const std::string& fileName, const std::string& parameters);

// True when the process runs as root. `relativeId` names the group the
// caller asks about (544, the administrators); root is the only such group.
bool isUserAdmin(int relativeId);

// Splits a parameter text as a Windows program would: blanks separate,
// double quotes group and are removed, backslashes escape only quotes.
std::vector<std::string> splitCommandLine(const std::string& parameters);

// Folder of the running program's executable, without a trailing '/'.
std::string executableFolder();
