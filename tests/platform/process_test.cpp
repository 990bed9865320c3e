#include "platform/process.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A scratch folder with a shell script in it.
class ProcessTest : public ::testing::Test {
protected:
    std::string folder;
    void SetUp() override {
        char pattern[] = "/tmp/zelvane-process-test-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        folder = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }
    std::string script(const std::string& name, const std::string& body, mode_t mode = 0755) {
        const std::string path = folder + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), mode);
        return path;
    }
    std::string read(const std::string& name) {
        std::stringstream text;
        text << std::ifstream(folder + "/" + name).rdbuf();
        return text.str();
    }
};

TEST(SplitCommandLineTest, SplitsAsAWindowsProgramWould) {
    const struct {
        std::string text;
        std::vector<std::string> args;
    } cases[] = {
        {"1 \"/tmp/a b/~1.tmp\"", {"1", "/tmp/a b/~1.tmp"}},
        {"  a\tb  ", {"a", "b"}},
        {"", {}},
        {"\"\"", {""}},
        {"a\"b c\"d", {"ab cd"}},
        {"a\\\\b", {"a\\\\b"}},
        {"\"a\\\"b\"", {"a\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"remove 12", {"remove", "12"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.args, splitCommandLine(c.text)) << c.text;
}

TEST_F(ProcessTest, RunsTheProgramWithoutAShellAndWaitsForIt) {
    const std::string program =
        script("print args", "out=$1; shift\nfor a; do printf '[%s]' \"$a\"; done > \"$out\"\n");
    runElevatedAndWait(0, program, "\"" + folder + "/out\" \"a b\" c\\\"d $HOME '' *");
    EXPECT_EQ("[a b][c\"d][$HOME][''][*]", read("out"));
}

TEST_F(ProcessTest, TheInterfaceStaysAliveWhileTheProgramRuns) {
    // The program ends only once the keep-alive callback has run.
    const std::string program = script(
        "wait", "i=0\nwhile [ ! -e \"$1/alive\" ] && [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); "
                "done\n[ -e \"$1/alive\" ] && echo seen > \"$1/out\"\n");
    std::atomic<int> calls{0};
    setKeepInterfaceAliveCallback([&] {
        if (calls++ == 0)
            std::ofstream(folder + "/alive") << "";
    });
    runElevatedAndWait(0, program, "\"" + folder + "\"");
    setKeepInterfaceAliveCallback(nullptr);
    EXPECT_EQ("seen\n", read("out"));
    EXPECT_GE(calls, 1);
}

TEST_F(ProcessTest, AFailedStartRaisesTheSystemError) {
    const struct {
        std::string program;
        int code;
    } cases[] = {
        {folder + "/missing", ENOENT},
        {"zelvane-no-such-program", ENOENT},
        {script("not executable", "exit 0\n", 0644), EACCES},
    };
    for (const auto& c : cases) {
        try {
            runElevatedAndWait(0, c.program, "");
            ADD_FAILURE() << c.program << " started";
        } catch (const EOSError& error) {
            EXPECT_EQ(c.code, error.code());
            EXPECT_EQ(Format("System Error.  Code: %d.", c.code) + "\r\n" + std::strerror(c.code),
                      error.what());
        }
    }
}

TEST(ProcessInfoTest, AdminMeansRootAndTheExecutableFolderHoldsThisProgram) {
    EXPECT_EQ(geteuid() == 0, isUserAdmin(544));
    EXPECT_EQ(0, access((executableFolder() + "/platform_tests").c_str(), X_OK));
}

} // namespace
