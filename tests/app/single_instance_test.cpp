#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <unistd.h>

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "zvone-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    size_t filesLeft() const {
        const auto folder = root_ / "zelvane-tunnel";
        return std::distance(std::filesystem::directory_iterator(folder),
                             std::filesystem::directory_iterator());
    }

    std::filesystem::path root_;
};

TEST_F(SingleInstanceTest, OnePerSettingsFileAndLaterStartsRaiseTheWindow) {
    {
        TSingleInstance running("/home/u/a.cfg");
        ASSERT_TRUE(running.first());
        TSingleInstance again("/home/u/a.cfg");
        EXPECT_FALSE(again.first());
        EXPECT_EQ(again.runningProcess(), getpid());
        // Headless, the running one does not listen.
        EXPECT_FALSE(again.askToRaise());
        TSingleInstance other("/home/u/b.cfg");
        EXPECT_TRUE(other.first());

        // With its window it listens, and a later start asks for it.
        const int fd = running.listen();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(again.askToRaise());
        pollfd ready{fd, POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 20000), 1);
        EXPECT_TRUE(running.takeRaiseRequest());
        EXPECT_FALSE(running.takeRaiseRequest()); // nothing more waits
    }
    // Ended, it leaves nothing behind, and the next start runs.
    EXPECT_EQ(filesLeft(), 0u);
    TSingleInstance next("/home/u/a.cfg");
    EXPECT_TRUE(next.first());
}

} // namespace
