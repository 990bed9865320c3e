#include "portpairs/ports_refresher.h"

#include <exception>

TThreadPortsRefresher::TThreadPortsRefresher(TReceiveComportPairs callBack)
    : fCallBack(std::move(callBack)) {}

void TThreadPortsRefresher::Execute() {
    try {
        fc0cPortsHandler = std::make_unique<TC0cPortsHandler>();
    } catch (const std::exception&) {
        // A malformed device set: nothing to show, the next refresh tries again.
        return;
    }
    Synchronize([this] { deliverPairs(); });
    fc0cPortsHandler.reset();
}

void TThreadPortsRefresher::deliverPairs() {
    if (fCallBack)
        fCallBack(*fc0cPortsHandler);
}
