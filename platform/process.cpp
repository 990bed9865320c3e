#include "platform/process.h"

#include "platform/text.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::mutex callbackLock;
KeepInterfaceAliveCallback keepAliveCallback;

// How often the interface gets a turn while a program runs.
constexpr int keepAliveIntervalMs = 10;

std::string osErrorText(int code) {
    if (code == 0)
        return "A call to an OS function failed";
    return Format("System Error.  Code: %d.", code) + "\r\n" + std::strerror(code);
}

KeepInterfaceAliveCallback currentCallback() {
    std::lock_guard guard(callbackLock);
    return keepAliveCallback;
}

// Waits for the child to end, giving the interface its turns meanwhile.
void waitForChild(pid_t pid) {
    // A descriptor that turns readable when the child ends (Linux 5.3 on).
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            const int error = errno;
            if (pidFd >= 0)
                ::close(pidFd);
            throw EOSError(error);
        }
        const auto callback = currentCallback();
        if (callback)
            callback();
        if (pidFd >= 0) {
            pollfd ended{pidFd, POLLIN, 0};
            ::poll(&ended, 1, callback ? keepAliveIntervalMs : -1);
        } else {
            ::poll(nullptr, 0, keepAliveIntervalMs); // no pidfd here: look again shortly
        }
    }
    if (pidFd >= 0)
        ::close(pidFd);
}

} // namespace

EOSError::EOSError(int code) : std::runtime_error(osErrorText(code)), code_(code) {}

void setKeepInterfaceAliveCallback(KeepInterfaceAliveCallback callback) {
    std::lock_guard guard(callbackLock);
    keepAliveCallback = std::move(callback);
}

void runElevatedAndWait(HWND, const std::string& fileName, const std::string& parameters) {
    std::vector<std::string> args = splitCommandLine(parameters);
    args.insert(args.begin(), fileName);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const bool searchPath = fileName.find('/') == std::string::npos;
    const int error =
        searchPath ? posix_spawnp(&pid, fileName.c_str(), nullptr, nullptr, argv.data(), environ)
                   : posix_spawn(&pid, fileName.c_str(), nullptr, nullptr, argv.data(), environ);
    if (error != 0)
        throw EOSError(error);
    waitForChild(pid);
}

bool isUserAdmin(int) {
    return geteuid() == 0;
}

std::vector<std::string> splitCommandLine(const std::string& parameters) {
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    size_t i = 0;
    while (i < parameters.size()) {
        const char c = parameters[i];
        if (c == '\\') {
            size_t slashes = 0;
            while (i < parameters.size() && parameters[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < parameters.size() && parameters[i] == '"') {
                // 2n backslashes and a quote: n backslashes, the quote groups;
                // 2n+1: n backslashes and a literal quote.
                current.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    current += '"';
                    ++i;
                }
            } else {
                current.append(slashes, '\\');
            }
            inArgument = true;
            continue;
        }
        if (c == '"') {
            // A doubled quote inside quotes stands for one quote.
            if (quoted && i + 1 < parameters.size() && parameters[i + 1] == '"') {
                current += '"';
                i += 2;
            } else {
                quoted = !quoted;
                ++i;
            }
            inArgument = true;
            continue;
        }
        if ((c == ' ' || c == '\t') && !quoted) {
            if (inArgument)
                args.push_back(current);
            current.clear();
            inArgument = false;
            ++i;
            continue;
        }
        current += c;
        inArgument = true;
        ++i;
    }
    if (inArgument)
        args.push_back(current);
    return args;
}

std::string executableFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    const std::string exe(path, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    return slash == 0 ? "/" : exe.substr(0, slash);
}
