#include "driver/device_set.h"
#include "driver/pair_store.h"
#include "driver_fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PairStoreTest : public ::testing::Test {
protected:
    TTempUser user;
};

TEST_F(PairStoreTest, FoldersFollowTheXdgVariablesElseHomeAndTmp) {
    const std::string tmpFolder = "/tmp/zelvane-tunnel-" + std::to_string(geteuid());
    const struct {
        const char* state;
        const char* runtime;
        std::string storeFolder;
        std::string portPath;
    } cases[] = {
        {"/s", "/r", "/s/zelvane-tunnel", "/r/zelvane-tunnel/ttyZV3"},
        {nullptr, nullptr, "/h/.local/state/zelvane-tunnel", tmpFolder + "/ttyZV3"},
        // Relative values are not valid XDG folders and count as unset.
        {"s", "r", "/h/.local/state/zelvane-tunnel", tmpFolder + "/ttyZV3"},
    };
    for (const auto& c : cases) {
        setenv("HOME", "/h", 1);
        c.state ? setenv("XDG_STATE_HOME", c.state, 1) : unsetenv("XDG_STATE_HOME");
        c.runtime ? setenv("XDG_RUNTIME_DIR", c.runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(c.storeFolder, pairStoreFolder());
        EXPECT_EQ(c.storeFolder + "/pairs", pairStoreFile());
        EXPECT_EQ(c.portPath, userFacingPortPath(3));
    }
}

TEST_F(PairStoreTest, ReadsPairsInStoreOrderAndSkipsWhatIsNotAPairNumber) {
    const std::string file = user.root() + "/pairs";
    std::ofstream(file) << "3\n  1 \nfoo\n-2\n3\n\n1234567890\n0";
    EXPECT_EQ((std::vector<int>{3, 1, 0}), readPairStore(file));
    EXPECT_TRUE(readPairStore(user.root() + "/missing").empty());
}

TEST_F(PairStoreTest, AddTakesTheLowestFreeNumberAndTheDeviceSetFollowsStoreOrder) {
    EXPECT_EQ(0, addPairToStore());
    EXPECT_EQ(1, addPairToStore());
    EXPECT_EQ(2, addPairToStore());
    EXPECT_TRUE(removePairFromStore(1));
    EXPECT_FALSE(removePairFromStore(1));
    EXPECT_EQ(1, addPairToStore());
    ASSERT_EQ((std::vector<int>{0, 2, 1}), installedPairs());

    const auto devices = enumerateDriverDevices();
    ASSERT_EQ(9u, devices.size());
    const TDriverDevice& bus = devices[3];
    EXPECT_EQ("root\\com0com", bus.hardwareId);
    EXPECT_EQ(2, bus.portNum);
    EXPECT_FALSE(bus.portName);
    const TDriverDevice& userEnd = devices[4];
    EXPECT_EQ("com0com\\port", userEnd.hardwareId);
    EXPECT_EQ("CNCA2", userEnd.location);
    EXPECT_FALSE(userEnd.portNum);
    EXPECT_EQ("ttyZV2", userEnd.portName);
    const TDriverDevice& hiddenEnd = devices[5];
    EXPECT_EQ("com0com\\port", hiddenEnd.hardwareId);
    EXPECT_EQ("CNCB2", hiddenEnd.location);
    EXPECT_FALSE(hiddenEnd.portNum);
    EXPECT_FALSE(hiddenEnd.portName);
    EXPECT_EQ("CNCA1", devices[7].location);
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A store that cannot be used is named, kept under another name, and replaced
// by one with the pairs that could be read; a change then goes on.
TEST_F(PairStoreTest, AWantedNumberIsTakenWhenFreeElseTheLowestFree) {
    EXPECT_EQ(7, addPairToStore(nullptr, 7));
    EXPECT_EQ(0, addPairToStore(nullptr, 7));
    EXPECT_EQ(1, addPairToStore());
    EXPECT_EQ((std::vector<int>{7, 0, 1}), installedPairs());
}

TEST_F(PairStoreTest, OneInstanceHoldsTheStoreAtATime) {
    auto first = std::make_unique<TSoleInstanceLock>();
    EXPECT_TRUE(first->sole());
    EXPECT_FALSE(TSoleInstanceLock().sole());
    first.reset();
    EXPECT_TRUE(TSoleInstanceLock().sole());
}

TEST_F(PairStoreTest, UnreadableStoresAreSetAsideNotTakenForEmpty) {
    const std::string file = pairStoreFile();
    const std::string aside = file + ".unreadable.1";
    const std::string binary("3\n\0\xFF\x80\n1\n", 9);
    const std::string huge = "2\n" + std::string(1 << 20, '7') + "\n";
    const struct {
        const char* name;
        std::string content; // empty: a folder in place of the file
        std::vector<int> kept;
        std::string problem;
    } cases[] = {
        {"binary bytes", binary, {3, 1}, "1 lines are not pair numbers"},
        {"a folder", "", {}, "a folder stands in its place"},
        {"over 1 MB", huge, {2}, "longer than 1 MB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ensurePrivateFolder(pairStoreFolder());
        if (c.content.empty())
            ASSERT_EQ(0, mkdir(file.c_str(), 0700));
        else
            std::ofstream(file, std::ios::binary) << c.content;
        const TPairStoreRead read = loadPairStore(file);
        EXPECT_EQ(c.kept, read.pairs);
        EXPECT_EQ(c.problem, read.problem);

        std::string setAside;
        const int added = addPairToStore(&setAside);
        EXPECT_EQ("The pair list " + file + " could not be read (" + c.problem +
                      "); it is kept as " + aside,
                  setAside);
        std::vector<int> expected = c.kept;
        expected.push_back(added);
        EXPECT_EQ(expected, installedPairs());
        EXPECT_TRUE(loadPairStore(file).problem.empty());
        if (c.content.empty())
            EXPECT_TRUE(std::filesystem::is_directory(aside));
        else
            EXPECT_TRUE(fileBytes(aside) == c.content);
        EXPECT_EQ("", setAsideUnreadablePairStore());
        std::filesystem::remove_all(aside);
        std::filesystem::remove(file);
    }
}

TEST_F(PairStoreTest, PrivateFolderIsCreatedTightenedOrRefused) {
    const std::string folder = user.root() + "/a/b";
    struct stat info {};
    ensurePrivateFolder(folder);
    ASSERT_EQ(0, lstat(folder.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    chmod(folder.c_str(), 0755);
    ensurePrivateFolder(folder);
    ASSERT_EQ(0, lstat(folder.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);

    const std::string planted = user.root() + "/planted";
    ASSERT_EQ(0, symlink(folder.c_str(), planted.c_str()));
    EXPECT_THROW(ensurePrivateFolder(planted), EPairStore);
    if (geteuid() == 0) {
        const std::string foreign = user.root() + "/foreign";
        ensurePrivateFolder(foreign);
        ASSERT_EQ(0, chown(foreign.c_str(), 65534, 65534));
        try {
            ensurePrivateFolder(foreign);
            ADD_FAILURE() << "a folder of another user was accepted";
        } catch (const EPairStore& error) {
            EXPECT_EQ("The folder " + foreign + " belongs to another user", error.what());
        }
    }
}

} // namespace
