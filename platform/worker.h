#pragma once

#include <cstdint>

// A relay worker as its owner sees it: started by its subsystem's start
// function, asked to stop, then finished. Owners never learn how a worker
// runs (a thread of its own or a share of an event loop).
class TWorker {
public:
    TWorker() = default;
    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;
    virtual ~TWorker() = default;

    // Asks the worker to stop and returns at once; the worker reports its
    // final state through its record.
    virtual void Terminate() = 0;
    virtual bool Finished() const = 0;
    // Waits until the worker has finished; false when the time ran out.
    virtual bool WaitFor(uint32_t timeoutMs) = 0;
};
