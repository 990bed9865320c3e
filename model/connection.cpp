#include "model/connection.h"

#include <algorithm>

THubList hubList;

std::vector<PConnectionInfo> THubInfo::connections() const {
    std::lock_guard guard(connectionsLock_);
    return Connections;
}

void THubInfo::addConnection(const PConnectionInfo& connection) {
    std::lock_guard guard(connectionsLock_);
    if (std::find(Connections.begin(), Connections.end(), connection) == Connections.end())
        Connections.push_back(connection);
}

void THubInfo::removeConnection(const TConnection* connection) {
    std::lock_guard guard(connectionsLock_);
    std::erase_if(Connections,
                  [connection](const PConnectionInfo& c) { return c.get() == connection; });
}

PConnectionInfo newSlotRecord(TSlotType slotType, HWND frameHandle, const PHubInfo& hub) {
    auto record = std::make_shared<TConnection>();
    record->FrameHandle = frameHandle;
    record->SlotType = slotType;
    record->pHubInfo = hub;
    if (hub)
        hub->addConnection(record);
    return record;
}

PConnectionInfo newLearningRecord() {
    auto record = std::make_shared<TConnection>();
    record->SlotType = stTCPClient;
    return record;
}

void handToOtherSlots(const TConnection& producer, const std::function<void(TConnection&)>& store) {
    const PHubInfo hub = producer.hub();
    if (!hub)
        return;
    std::vector<PConnectionInfo> others = hub->connections();
    std::erase_if(others, [&producer](const PConnectionInfo& c) { return c.get() == &producer; });
    for (auto& other : others)
        other->BytesCriticalSection.Acquire();
    for (auto& other : others) {
        store(*other);
        wakeSlotWorker(*other);
    }
    for (auto& other : others)
        other->BytesCriticalSection.Release();
}

bool queueSettingsText(TConnection& slot, const std::string& text) {
    if (text == slot.latestLocalportSettingsString)
        return false;
    auto& queued = slot.queuedSettings;
    if (queued.empty())
        slot.settingsBeforeQueued = slot.latestLocalportSettingsString;
    if (!queued.empty() && queued.back().atByte == slot.BytesToSend.size()) {
        queued.back().text = text;
        // Changed and changed back with no byte in between: nothing to tell.
        const std::string& before =
            queued.size() > 1 ? queued[queued.size() - 2].text : slot.settingsBeforeQueued;
        if (text == before)
            queued.pop_back();
    } else {
        queued.push_back({slot.BytesToSend.size(), text});
    }
    slot.latestLocalportSettingsString = text;
    return true;
}

const std::string& settingsAtQueueHead(const TConnection& slot) {
    return slot.queuedSettings.empty() ? slot.latestLocalportSettingsString
                                       : slot.settingsBeforeQueued;
}

void wakeSlotWorker(const TConnection& connection) {
    if (connection.queueWake)
        connection.queueWake();
}

void notifySlot(const TConnection& connection, uint32_t message) {
    PostMessage(connection.FrameHandle.load(), message);
}

void THubList::add(const PHubInfo& hub) {
    std::lock_guard guard(lock_);
    hubs_.push_back(hub);
}

void THubList::removeByFrameHandle(HWND frameHandle) {
    std::lock_guard guard(lock_);
    std::erase_if(hubs_,
                  [frameHandle](const PHubInfo& h) { return h->frameHandle == frameHandle; });
}

std::vector<PHubInfo> THubList::hubs() const {
    std::lock_guard guard(lock_);
    return hubs_;
}

PHubInfo THubList::hubListing(const TConnection* connection) const {
    for (const auto& hub : hubs()) {
        for (const auto& c : hub->connections())
            if (c.get() == connection)
                return hub;
    }
    return nullptr;
}

void THubList::clear() {
    std::lock_guard guard(lock_);
    hubs_.clear();
}
