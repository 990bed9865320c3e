#include "driver/pair_store.h"
#include "driver_fixtures.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string binFolder = ZELVANE_BIN_DIR;

struct TRun {
    int status;
    std::string errors; // what the program wrote to standard error
    std::string output;
};

TRun runProgram(const std::string& commandLine) {
    TRun run{-1, "", ""};
    const std::string errorsFile = "/tmp/zelvane-driver-test-stderr-" + std::to_string(getpid());
    FILE* pipe = popen((binFolder + "/" + commandLine + " 2>" + errorsFile).c_str(), "r");
    if (!pipe)
        return run;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream errors;
    errors << std::ifstream(errorsFile).rdbuf();
    run.errors = errors.str();
    unlink(errorsFile.c_str());
    return run;
}

std::string readFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

class ProgramsTest : public ::testing::Test {
protected:
    TTempUser user;
};

TEST_F(ProgramsTest, AddComAddsOnePairAndWritesALineAboutIt) {
    const std::string file = user.root() + "/~added.tmp";
    runElevatedAndWait(0, binFolder + "/addCom", "1 \"" + file + "\"");
    EXPECT_EQ((std::vector<int>{0}), installedPairs());
    EXPECT_EQ(describePair(0) + "\n", readFile(file));
}

TEST_F(ProgramsTest, ConcurrentAddComRunsGetDistinctNumbers) {
    constexpr int runs = 8;
    std::vector<std::thread> threads;
    for (int i = 0; i < runs; ++i)
        threads.emplace_back([&, i] {
            runElevatedAndWait(0, binFolder + "/addCom",
                               "1 \"" + user.root() + "/out" + std::to_string(i) + "\"");
        });
    for (auto& thread : threads)
        thread.join();

    std::vector<int> pairs = installedPairs();
    std::sort(pairs.begin(), pairs.end());
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}), pairs);
    std::set<std::string> lines;
    for (int i = 0; i < runs; ++i)
        lines.insert(readFile(user.root() + "/out" + std::to_string(i)));
    EXPECT_EQ(size_t(runs), lines.size());
}

TEST_F(ProgramsTest, SetupcListsAndRemovesPairs) {
    for (int i = 0; i < 3; ++i)
        addPairToStore();
    const TRun list = runProgram("driver/setupc list");
    EXPECT_EQ(0, list.status);
    EXPECT_EQ(describePair(0) + "\n" + describePair(1) + "\n" + describePair(2) + "\n",
              list.output);

    // A link left behind by a program that ended abruptly goes with its pair.
    ensurePrivateFolder(runtimeFolder());
    ASSERT_EQ(0, symlink("/dev/pts/999", userFacingPortPath(1).c_str()));
    const TRun remove = runProgram("driver/setupc remove 1");
    EXPECT_EQ(0, remove.status) << remove.errors;
    EXPECT_EQ((std::vector<int>{0, 2}), installedPairs());
    struct stat info {};
    EXPECT_NE(0, lstat(userFacingPortPath(1).c_str(), &info));
}

TEST_F(ProgramsTest, ErrorsGoToStandardErrorWithAFailureStatus) {
    addPairToStore();
    const struct {
        std::string commandLine;
        int status;
        std::string errors;
    } cases[] = {
        {"driver/setupc remove 7", 1, "setupc: there is no pair 7\n"},
        {"driver/setupc remove x", 1, "setupc: \"x\" is not a pair number\n"},
        {"driver/setupc", 2, "usage: setupc remove <pair number>\n       setupc list\n"},
        {"addCom 0 out", 1,
         "addCom: the count of pairs must be a number from 1 to 64, not \"0\"\n"},
        {"addCom 1 " + user.root(), 1,
         "addCom: cannot write " + user.root() + ": Is a directory\n"},
    };
    for (const auto& c : cases) {
        const TRun run = runProgram(c.commandLine);
        EXPECT_EQ(c.status, run.status) << c.commandLine;
        EXPECT_EQ(c.errors, run.errors) << c.commandLine;
        EXPECT_EQ("", run.output) << c.commandLine;
    }
    EXPECT_EQ((std::vector<int>{0}), installedPairs());
}

} // namespace
