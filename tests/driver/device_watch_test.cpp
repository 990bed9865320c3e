#include "driver/device_watch.h"
#include "driver/pair_store.h"
#include "driver_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ftw.h>

namespace {

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    ::remove(path);
    return 0;
}

TEST(DeviceWatchTest, SignalsPairsAddedAndRemovedAndSurvivesALostFolder) {
    TTempUser user;
    std::atomic<int> changes{0};
    TDeviceWatch watch([&] { ++changes; });

    const int pair = addPairToStore();
    EXPECT_TRUE(waitUntil([&] { return changes >= 1; }));
    removePairFromStore(pair);
    EXPECT_TRUE(waitUntil([&] { return changes >= 2; }));

    nftw(pairStoreFolder().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    EXPECT_TRUE(waitUntil([&] { return changes >= 3; }));
    const int before = changes;
    addPairToStore();
    EXPECT_TRUE(waitUntil([&] { return changes > before; }));
}

} // namespace
