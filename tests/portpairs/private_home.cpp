// Gives the whole suite a HOME, state, runtime and temporary folder of its own,
// so the pairs the tests install never touch the user's. Compiled into every
// suite that installs pairs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace {

class PrivateHome : public ::testing::Environment {
public:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "zvtest-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        const std::string runtime = root_ + "/run";
        const std::string temporary = root_ + "/tmp";
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
        setenv("HOME", root_.c_str(), 1);
        setenv("XDG_STATE_HOME", (root_ + "/state").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("TMPDIR", temporary.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

private:
    std::string root_;
};

[[maybe_unused]] ::testing::Environment* const privateHome =
    ::testing::AddGlobalTestEnvironment(new PrivateHome);

} // namespace
