#include "cloud/cloud_address.h"
#include "cloud/zelvane_thread.h"
#include "cloudsim/simulator.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

using namespace cloudsim;

namespace {

const std::string kOpenSettings =
    "PortOpened: True, Speed=19200, DataBits=8, Parity=none, StopBits=2";

// What a serial worker hands to the other slots of its tunnel.
void queueFromSerialSlot(const TConnection& serial, const std::string& settings,
                         const std::string& data) {
    handToOtherSlots(serial, [&](TConnection& slot) {
        queueSettingsText(slot, settings);
        slot.BytesToSend.insert(slot.BytesToSend.end(), data.begin(), data.end());
        slot.HasDataFromOthers = true;
        slot.LastDataFromOthersMillis = GetTickCount();
    });
}

std::string queuedFor(TConnection& slot) {
    slot.BytesCriticalSection.Acquire();
    const std::string queued(slot.BytesToSend.begin(), slot.BytesToSend.end());
    slot.BytesCriticalSection.Release();
    return queued;
}

struct Tunnel {
    PHubInfo hub = std::make_shared<THubInfo>();
    PConnectionInfo cloud = newSlotRecord(stTCPClient, 0, hub);
    PConnectionInfo serial = newSlotRecord(stComPort, 0, hub);
    std::shared_ptr<TWorker> worker;

    void start() { worker = startCloudClient(cloud, "demo"); }
    ~Tunnel() {
        if (worker) {
            worker->Terminate();
            worker->WaitFor(20000);
        }
    }
};

} // namespace

// The program's own cloud client against the simulator: the two ends of the
// protocol agree.
TEST(ProgramClient, LearnsRelaysAndMeetsTheConflict) {
    SimOptions options = defaultOptions();
    options.listenPort = 0;
    TunnelConfig demo;
    demo.key = "demo";
    demo.name = "Демо";
    options.tunnels = {demo};
    Simulator simulator(options, {});
    simulator.start();
    setCloudServerAddress("127.0.0.1", simulator.port());

    const PConnectionInfo learning = newLearningRecord();
    ASSERT_TRUE(startLearningRun(learning, "demo", nullptr)->WaitFor(20000));
    EXPECT_EQ(learning->zvlConnectionStatus.load(), zvlDisconnected);
    EXPECT_EQ(learning->zvlCloseReason.load(), zvlCloseReason_notYetConnected);
    EXPECT_EQ(learning->TunnelName.get(), "Демо");
    EXPECT_EQ(learning->TunnelLocalInterfaceId.load(), 1);

    Tunnel first;
    first.start();
    queueFromSerialSlot(*first.serial, kOpenSettings, "hello");
    ASSERT_TRUE(waitUntil([&] { return queuedFor(*first.serial) == "hello"; }));
    EXPECT_EQ(first.cloud->datasourceChannelState.load(), dcsConnected);

    Tunnel second;
    second.start();
    queueFromSerialSlot(*second.serial, kOpenSettings, "");
    ASSERT_TRUE(waitUntil([&] { return second.cloud->waitDialog.load(); }));
    EXPECT_EQ(second.cloud->datasourceCloseReason.load(),
              crClosedDueToOpenErrorDueToInterferedTunnel);
    EXPECT_EQ(second.cloud->datasourceChannelStateExtendedString.get().rfind("127.0.0.1:", 0), 0u);
    EXPECT_EQ(second.cloud->zvlCloseReason.load(), zvlCloseReason_Datasource);
}
