#pragma once

#include "base/KernelHandle.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace korvel {

// Runs one transaction on a thread of the process's pool and lets host threads
// wait for its outcome while their window messages flow; any number of waits,
// nested ones included, may watch it at once. What the transaction leaves to
// do once its outcome is known (closing the handles of an aborted request,
// which WinINet may first read to its end) runs on the worker after the
// outcome is signalled, so no waiting host pays for it.
//
// Every worker is listed from Start until its pool callback has returned, and
// EndAll, run by the module's unload, ends them all: one that never began is
// taken off the pool's queue (a new pool thread needs the loader lock the
// unload holds), one that runs is waited for, aborted as it is by then.
class TransferWorker {
public:
    // The transaction; it returns what is left to do after its outcome, if anything.
    using Procedure = std::function<std::function<void()>()>;

    // Raises kStatusUnexpected when the pool cannot take it.
    static std::shared_ptr<TransferWorker> Start(Procedure procedure);
    ~TransferWorker();
    TransferWorker(const TransferWorker&) = delete;
    TransferWorker& operator=(const TransferWorker&) = delete;

    // True once the outcome is known, waiting up to timeoutMs. The thread's
    // messages are dispatched first and while it waits; any input starts the
    // full wait again.
    bool Wait(uint32_t timeoutMs);
    bool Finished() const { return state_.load() >= kEnded; }
    // False for a worker EndAll took off the queue: its procedure never ran.
    bool Began() const { return state_.load() != kCancelled; }

    // Takes a worker that has not begun off the pool's queue; its outcome is
    // then known at once.
    void Dequeue();
    static void EndAll();

private:
    explicit TransferWorker(Procedure procedure);
    static void CALLBACK Entry(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WORK work);
    static void ReapReturned();

    // In order: a worker only moves forward. Ended is the outcome known, and
    // Returned the callback's last step.
    enum State { kQueued, kRunning, kEnded, kReturned, kCancelled };
    Procedure procedure_;
    KernelHandle finished_;
    PTP_WORK work_ = nullptr;
    std::atomic<int> state_{kQueued};
};

} // namespace korvel
