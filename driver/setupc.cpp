// setupc remove <n>: removes virtual port pair n.
// setupc list: prints the installed pairs, one line each.
#include "driver/pair_store.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

int usage() {
    std::fprintf(stderr, "usage: setupc remove <pair number>\n       setupc list\n");
    return 2;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "setupc: %s\n", message.c_str());
    return 1;
}

bool parseNumber(const std::string& text, int& number) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    number = std::stoi(text);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2 && std::strcmp(argv[1], "list") == 0) {
            const TPairStoreRead store = loadPairStore(pairStoreFile());
            if (!store.problem.empty())
                std::fprintf(stderr, "setupc: the pair list %s could not be read (%s)\n",
                             pairStoreFile().c_str(), store.problem.c_str());
            for (int pair : store.pairs)
                std::printf("%s\n", describePair(pair).c_str());
            return 0;
        }
        if (argc == 3 && std::strcmp(argv[1], "remove") == 0) {
            int pair = 0;
            if (!parseNumber(argv[2], pair))
                return fail(std::string("\"") + argv[2] + "\" is not a pair number");
            std::string setAside;
            const bool removed = removePairFromStore(pair, &setAside);
            if (!setAside.empty())
                std::fprintf(stderr, "setupc: %s\n", setAside.c_str());
            if (!removed)
                return fail("there is no pair " + std::to_string(pair));
            // A program that hosted the pair removes its link itself; this
            // one is left over from a program that ended abruptly.
            const std::string link = userFacingPortPath(pair);
            char target[256];
            if (::readlink(link.c_str(), target, sizeof target) > 0)
                ::unlink(link.c_str());
            return 0;
        }
    } catch (const EPairStore& error) {
        return fail(error.what());
    }
    return usage();
}
