#pragma once

#include "platform/thread.h"
#include "portpairs/ports_handler.h"

#include <memory>

// Builds a pair inventory on a thread of its own, hands it to the callback on
// the main thread (through the main-thread dispatcher) and ends, releasing
// the inventory. Start with startThread<TThreadPortsRefresher>(callBack);
// several may run at once. A failed enumeration delivers nothing.
class TThreadPortsRefresher : public TThread {
public:
    explicit TThreadPortsRefresher(TReceiveComportPairs callBack);

protected:
    void Execute() override;

private:
    void deliverPairs();

    std::unique_ptr<TC0cPortsHandler> fc0cPortsHandler;
    const TReceiveComportPairs fCallBack;
};
