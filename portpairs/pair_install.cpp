#include "driver/device_set.h"
#include "platform/process.h"
#include "platform/text.h"
#include "portpairs/ports_handler.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::mutex programsFolderLock;
std::string programsFolderOverride;

std::string programsFolder() {
    {
        std::lock_guard guard(programsFolderLock);
        if (!programsFolderOverride.empty())
            return programsFolderOverride;
    }
    return executableFolder();
}

std::string temporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

// An empty file that only this user can open, created under a name nobody
// could predict or occupy beforehand; removed when it goes out of scope.
class TTemporaryFile {
public:
    TTemporaryFile() {
        std::string name = temporaryFolder() + "/~zvXXXXXX";
        const int fd = mkstemp(name.data());
        if (fd < 0)
            throw std::runtime_error(Format("Не удалось создать временный файл в папке %s: %s",
                                            temporaryFolder().c_str(), std::strerror(errno)));
        ::close(fd);
        path = name;
    }
    ~TTemporaryFile() { ::unlink(path.c_str()); }
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;

    std::string path;
};

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}
} // namespace

void setPairProgramsFolder(const std::string& folder) {
    std::lock_guard guard(programsFolderLock);
    programsFolderOverride = folder;
}

TC0cPortsHandler::TC0cPortsHandler() {
    refreshPairs();
}

void TC0cPortsHandler::refreshPairs() {
    walkDevices(enumerateDriverDevices());
}

PC0cPair TC0cPortsHandler::addPair(int32_t wanted) {
    std::set<int32_t> known;
    for (const auto& pair : pairList)
        known.insert(pair->PairId);
    {
        const TTemporaryFile report;
        std::string arguments = "1 \"" + report.path + "\"";
        if (wanted >= 0)
            arguments += " " + std::to_string(wanted);
        runElevatedAndWait(0, programsFolder() + "/addCom", arguments);
    }
    refreshPairs();
    // The newest pair is the last unknown one in list order.
    for (auto it = pairList.rbegin(); it != pairList.rend(); ++it)
        if (!known.contains((*it)->PairId))
            return it->get();
    return nullptr;
}

void TC0cPortsHandler::UninstallPair(int32_t pairId) {
    const std::string folder = programsFolder() + "/driver";
    const std::string setupc = folder + "/setupc";
    if (isFolder(folder) && isFile(setupc))
        runElevatedAndWait(0, setupc, "remove " + std::to_string(pairId));
}
