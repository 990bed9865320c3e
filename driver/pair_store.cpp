#include "driver/pair_store.h"

#include "platform/file_replace.h"

#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* storeName = "pairs";
// The file is a handful of short lines; anything longer is not ours.
constexpr size_t maxStoreSize = 1 << 20;
// A store update takes milliseconds; a lock held longer belongs to a hung run.
constexpr auto lockWaitLimit = std::chrono::seconds(10);

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// An XDG variable counts only when it holds an absolute path.
std::string xdgFolder(const char* variable) {
    const char* value = std::getenv(variable);
    return value && value[0] == '/' ? std::string(value) : std::string();
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    const passwd* entry = getpwuid(geteuid());
    if (entry && entry->pw_dir)
        return entry->pw_dir;
    throw EPairStore("Cannot find the home folder of the current user");
}

// A line with its blanks trimmed.
bool parsePairNumber(const std::string& text, int& number) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    number = std::stoi(text);
    return true;
}

// Holds the store's advisory lock; waits a bounded time for another run.
class TStoreLock {
public:
    explicit TStoreLock(const std::string& folder) {
        const std::string path = folder + "/pairs.lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            throw EPairStore(errnoText("Cannot open " + path, errno));
        const auto deadline = std::chrono::steady_clock::now() + lockWaitLimit;
        while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() >= deadline) {
                ::close(fd_);
                throw EPairStore("The pair list " + folder + "/" + storeName +
                                 " is locked by another program");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~TStoreLock() { ::close(fd_); }
    TStoreLock(const TStoreLock&) = delete;
    TStoreLock& operator=(const TStoreLock&) = delete;

private:
    int fd_;
};

// Replaces the store with `pairs` at once: readers see the old list or the
// new one, never a part.
void writePairStore(const std::string& folder, const std::vector<int>& pairs) {
    std::string text;
    for (int pair : pairs)
        text += std::to_string(pair) + "\n";
    if (const int error = replaceFileContents(folder + "/" + storeName, text))
        throw EPairStore(errnoText("Cannot write the pair list in " + folder, error));
}

} // namespace

std::string pairStoreFolder() {
    std::string base = xdgFolder("XDG_STATE_HOME");
    if (base.empty())
        base = homeFolder() + "/.local/state";
    return base + "/zelvane-tunnel";
}

std::string pairStoreFile() {
    return pairStoreFolder() + "/" + storeName;
}

TPairList parsePairList(const std::string& text) {
    TPairList list;
    std::set<int> seen;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = trimmed(text.substr(start, end - start));
        int number = 0;
        if (parsePairNumber(line, number)) {
            if (seen.insert(number).second)
                list.pairs.push_back(number);
        } else if (!line.empty()) {
            ++list.badLines;
        }
        start = end + 1;
    }
    return list;
}

TPairStoreRead loadPairStore(const std::string& file) {
    TPairStoreRead result;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT)
            result.problem = std::strerror(errno);
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        result.problem = S_ISDIR(info.st_mode) ? "a folder stands in its place" : "not a file";
        return result;
    }
    std::string text;
    char buffer[4096];
    while (text.size() <= maxStoreSize) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result.problem = std::strerror(errno);
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (text.size() > maxStoreSize) {
        result.problem = "longer than 1 MB";
        text.resize(maxStoreSize);
    }
    TPairList list = parsePairList(text);
    result.pairs = std::move(list.pairs);
    if (result.problem.empty() && list.badLines > 0)
        result.problem = std::to_string(list.badLines) + " lines are not pair numbers";
    return result;
}

std::vector<int> readPairStore(const std::string& file) {
    return loadPairStore(file).pairs;
}

std::vector<int> installedPairs() {
    return readPairStore(pairStoreFile());
}

namespace {

// Under the store lock: the pairs of the store, an unreadable one set aside.
std::vector<int> lockedPairs(const std::string& folder, std::string* setAside) {
    const std::string file = folder + "/" + storeName;
    TPairStoreRead store = loadPairStore(file);
    if (store.problem.empty())
        return store.pairs;
    std::string aside;
    for (int n = 1;; ++n) {
        aside = file + ".unreadable." + std::to_string(n);
        struct stat info {};
        if (::lstat(aside.c_str(), &info) != 0)
            break;
    }
    if (::rename(file.c_str(), aside.c_str()) != 0)
        throw EPairStore(errnoText("Cannot set aside the unreadable pair list " + file, errno));
    writePairStore(folder, store.pairs);
    const std::string line = "The pair list " + file + " could not be read (" + store.problem +
                             "); it is kept as " + aside;
    if (setAside)
        *setAside = line;
    return store.pairs;
}

} // namespace

std::string setAsideUnreadablePairStore() {
    const std::string folder = pairStoreFolder();
    ensurePrivateFolder(folder);
    TStoreLock lock(folder);
    std::string line;
    lockedPairs(folder, &line);
    return line;
}

int addPairToStore(std::string* setAside, int wanted) {
    const std::string folder = pairStoreFolder();
    ensurePrivateFolder(folder);
    TStoreLock lock(folder);
    std::vector<int> pairs = lockedPairs(folder, setAside);
    const std::set<int> used(pairs.begin(), pairs.end());
    int number = wanted >= 0 && !used.count(wanted) ? wanted : 0;
    while (used.count(number))
        ++number;
    pairs.push_back(number);
    writePairStore(folder, pairs);
    return number;
}

bool removePairFromStore(int pairNumber, std::string* setAside) {
    const std::string folder = pairStoreFolder();
    ensurePrivateFolder(folder);
    TStoreLock lock(folder);
    std::vector<int> pairs = lockedPairs(folder, setAside);
    const auto found = std::find(pairs.begin(), pairs.end(), pairNumber);
    if (found == pairs.end())
        return false;
    pairs.erase(found);
    writePairStore(folder, pairs);
    return true;
}

TSoleInstanceLock::TSoleInstanceLock() {
    try {
        ensurePrivateFolder(pairStoreFolder());
    } catch (const EPairStore&) {
        return;
    }
    fd_ = ::open(lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TSoleInstanceLock::~TSoleInstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string TSoleInstanceLock::lockFile() {
    return pairStoreFolder() + "/instance.lock";
}

void markPairStoreShared() {
    const std::string folder = pairStoreFolder();
    ensurePrivateFolder(folder);
    const std::string mark = folder + "/pairs.shared";
    const int fd = ::open(mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw EPairStore(errnoText("Cannot create " + mark, errno));
    ::close(fd);
}

bool pairStoreShared() {
    struct stat info {};
    return ::lstat((pairStoreFolder() + "/pairs.shared").c_str(), &info) == 0;
}

std::string runtimeFolder() {
    const std::string base = xdgFolder("XDG_RUNTIME_DIR");
    if (!base.empty())
        return base + "/zelvane-tunnel";
    return "/tmp/zelvane-tunnel-" + std::to_string(geteuid());
}

std::string userFacingPortName(int pairNumber) {
    return "ttyZV" + std::to_string(pairNumber);
}

std::string userFacingPortPath(int pairNumber) {
    return runtimeFolder() + "/" + userFacingPortName(pairNumber);
}

std::string hiddenPortName(int pairNumber) {
    return "CNCB" + std::to_string(pairNumber);
}

std::string describePair(int pairNumber) {
    return Format("pair %d: %s <-> %s", pairNumber, userFacingPortPath(pairNumber).c_str(),
                  hiddenPortName(pairNumber).c_str());
}

void ensurePrivateFolder(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw EPairStore(errnoText("Cannot create the folder " + path, errno));
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        throw EPairStore(errnoText("Cannot use the folder " + path, errno));
    if (!S_ISDIR(info.st_mode))
        throw EPairStore(path + " is not a folder");
    if (info.st_uid != geteuid())
        throw EPairStore("The folder " + path + " belongs to another user");
    if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0)
        throw EPairStore(errnoText("Cannot make the folder " + path + " private", errno));
}
