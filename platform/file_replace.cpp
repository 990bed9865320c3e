#include "platform/file_replace.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* temporaryPrefix = ".replace.";

int writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

int replaceFileContents(const std::string& path, const std::string& contents) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string temporary = folder + "/" + temporaryPrefix + "XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777);
    int error = writeAll(fd, contents);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temporary.c_str());
    return error;
}

std::vector<std::string> removeStrayReplacements(const std::string& folder) {
    std::vector<std::string> removed;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return removed;
    const size_t prefixLength = std::strlen(temporaryPrefix);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        // mkostemp puts exactly six characters after the prefix.
        if (name.size() != prefixLength + 6 || name.compare(0, prefixLength, temporaryPrefix) != 0)
            continue;
        const std::string path = folder + "/" + name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid() && ::unlink(path.c_str()) == 0)
            removed.push_back(name);
    }
    ::closedir(dir);
    return removed;
}
