#include "driver/pair_store.h"
#include "platform/process.h"
#include "portpairs/ports_handler.h"
#include "portpairs/ports_refresher.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

namespace {

const std::string programsFolder = ZELVANE_BIN_DIR;

std::vector<int32_t> pairIds(const TC0cPortsHandler& inventory) {
    std::vector<int32_t> ids;
    for (const auto& pair : inventory.pairs())
        ids.push_back(pair->PairId);
    return ids;
}

bool temporaryFolderIsEmpty() {
    return std::filesystem::is_empty(std::getenv("TMPDIR"));
}

class PairInstallTest : public ::testing::Test {
protected:
    void SetUp() override { setPairProgramsFolder(programsFolder); }
    void TearDown() override { setPairProgramsFolder(""); }
};

TEST_F(PairInstallTest, AddedPairIsFoundAndRemovedPairIsGone) {
    TC0cPortsHandler inventory;
    const size_t before = inventory.pairs().size();
    const PC0cPair added = inventory.addPair();
    ASSERT_NE(added, nullptr);
    const int32_t id = added->PairId;
    EXPECT_EQ(added->ComHuman, userFacingPortName(id));
    EXPECT_EQ(added->ComHidden, hiddenPortName(id));
    EXPECT_EQ(inventory.pairs().size(), before + 1);
    EXPECT_TRUE(temporaryFolderIsEmpty()) << "the file handed to addCom is left behind";

    ASSERT_NE(TC0cPortsHandler().findPairByPairId(id), nullptr);
    TC0cPortsHandler::UninstallPair(id);
    EXPECT_EQ(TC0cPortsHandler().findPairByPairId(id), nullptr);
}

TEST_F(PairInstallTest, ConcurrentInstallationsGiveDistinctPairs) {
    const std::vector<int> before = installedPairs();
    std::vector<std::thread> installers;
    for (int i = 0; i < 4; ++i)
        installers.emplace_back([] {
            TC0cPortsHandler inventory;
            EXPECT_NE(inventory.addPair(), nullptr);
        });
    for (auto& installer : installers)
        installer.join();
    const std::vector<int> after = installedPairs();
    EXPECT_EQ(after.size(), before.size() + 4);
    EXPECT_EQ(std::set<int>(after.begin(), after.end()).size(), after.size());
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(PairInstallTest, MissingProgramsAreHandledAsTheirCallersExpect) {
    const std::string emptyFolder = std::string(std::getenv("HOME")) + "/no-programs";
    std::filesystem::create_directories(emptyFolder + "/driver");
    setPairProgramsFolder(emptyFolder);
    const int id = addPairToStore();

    // Without setupc nothing is removed and nothing reported.
    EXPECT_NO_THROW(TC0cPortsHandler::UninstallPair(id));
    EXPECT_NE(TC0cPortsHandler().findPairByPairId(id), nullptr);

    // Without addCom the failure reaches the caller and no file is left.
    TC0cPortsHandler inventory;
    const std::vector<int32_t> ids = pairIds(inventory);
    EXPECT_THROW(inventory.addPair(), EOSError);
    EXPECT_EQ(pairIds(inventory), ids);
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST(PortsRefresherTest, SeveralRefreshersDeliverOnTheMainThread) {
    for (int i = 0; i < 2; ++i)
        addPairToStore();
    QueuedDispatcher dispatcher;
    const std::vector<int32_t> expected = pairIds(TC0cPortsHandler());
    const auto mainThread = std::this_thread::get_id();
    std::vector<std::vector<int32_t>> deliveries;
    for (int i = 0; i < 3; ++i)
        startThread<TThreadPortsRefresher>([&](TC0cPortsHandler& pairs) {
            EXPECT_EQ(std::this_thread::get_id(), mainThread);
            deliveries.push_back(pairIds(pairs));
        });
    startThread<TThreadPortsRefresher>(nullptr); // enumerates, delivers nothing
    ASSERT_TRUE(waitUntil([&] {
        dispatcher.pump();
        return runningThreadCount() == 0;
    }));
    ASSERT_EQ(deliveries.size(), 3u);
    for (const auto& delivered : deliveries)
        EXPECT_EQ(delivered, expected);
}

} // namespace
