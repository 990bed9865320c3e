// addCom <count> <file> [<number>]: adds <count> virtual port pairs, each with
// the lowest free number (the first with <number> when that is free), and
// writes one line about each into <file>.
#include "driver/pair_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int maxPairsPerRun = 64;

int fail(const std::string& message) {
    std::fprintf(stderr, "addCom: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: addCom <count> <file> [<number>]\n");
        return 2;
    }
    const std::string countText = argv[1];
    char* end = nullptr;
    const long count = std::strtol(countText.c_str(), &end, 10);
    if (countText.empty() || *end != '\0' || count < 1 || count > maxPairsPerRun)
        return fail("the count of pairs must be a number from 1 to " +
                    std::to_string(maxPairsPerRun) + ", not \"" + countText + "\"");

    long wanted = -1;
    if (argc == 4) {
        const std::string numberText = argv[3];
        wanted = std::strtol(numberText.c_str(), &end, 10);
        if (numberText.empty() || numberText.size() > 9 || *end != '\0' || wanted < 0)
            return fail("the pair number must be a number from 0, not \"" + numberText + "\"");
    }

    // The caller created the file for us (privately); it is only written to.
    const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0)
        return fail(std::string("cannot write ") + argv[2] + ": " + std::strerror(errno));
    int status = 0;
    for (long i = 0; i < count; ++i) {
        try {
            std::string setAside;
            const std::string line =
                describePair(addPairToStore(&setAside, i == 0 ? static_cast<int>(wanted) : -1)) +
                "\n";
            if (!setAside.empty())
                std::fprintf(stderr, "addCom: %s\n", setAside.c_str());
            if (::write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                status = fail(std::string("cannot write ") + argv[2] + ": " + std::strerror(errno));
        } catch (const EPairStore& error) {
            status = fail(error.what());
            break;
        }
    }
    ::close(out);
    return status;
}
