#include "http/TransferWorker.h"

#include "base/SrwLockGuard.h"
#include "base/WsStatus.h"

#include <algorithm>
#include <vector>

namespace korvel {

namespace {

// The workers whose callbacks may not have returned. Never destroyed: the
// process's exit destroys nothing.
struct WorkerList {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<std::shared_ptr<TransferWorker>> entries;
};

WorkerList& Workers()
{
    static WorkerList* const list = new WorkerList;
    return *list;
}

} // namespace

TransferWorker::TransferWorker(Procedure procedure)
    : procedure_(std::move(procedure)), finished_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

TransferWorker::~TransferWorker()
{
    if (work_ != nullptr)
        CloseThreadpoolWork(work_);
}

std::shared_ptr<TransferWorker> TransferWorker::Start(Procedure procedure)
{
    ReapReturned();
    std::shared_ptr<TransferWorker> worker(new TransferWorker(std::move(procedure)));
    if (!worker->finished_.IsOpen())
        Raise(kStatusUnexpected);
    worker->work_ = CreateThreadpoolWork(&TransferWorker::Entry, worker.get(), nullptr);
    if (worker->work_ == nullptr)
        Raise(kStatusUnexpected);
    {
        const SrwExclusiveLock lock(Workers().lock);
        Workers().entries.push_back(worker);
    }
    SubmitThreadpoolWork(worker->work_);
    return worker;
}

void CALLBACK TransferWorker::Entry(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WORK)
{
    auto* worker = static_cast<TransferWorker*>(context);
    int queued = kQueued;
    if (!worker->state_.compare_exchange_strong(queued, kRunning))
        return;
    // A transaction waits on the network for as long as it takes.
    CallbackMayRunLong(instance);
    std::function<void()> tail;
    try {
        tail = worker->procedure_();
    } catch (...) {
    }
    worker->state_ = kEnded;
    SetEvent(worker->finished_.Get());
    if (tail)
        tail();
    // The list frees the worker only after this callback has returned.
    worker->state_ = kReturned;
}

bool TransferWorker::Wait(uint32_t timeoutMs)
{
    const HANDLE finished = finished_.Get();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        const DWORD result = MsgWaitForMultipleObjects(1, &finished, FALSE, timeoutMs, QS_ALLINPUT);
        if (result == WAIT_TIMEOUT)
            return false;
        // The event, or a wait that failed and would fail again.
        if (result != WAIT_OBJECT_0 + 1)
            return true;
    }
}

void TransferWorker::Dequeue()
{
    int queued = kQueued;
    if (!state_.compare_exchange_strong(queued, kCancelled))
        return;
    WaitForThreadpoolWorkCallbacks(work_, TRUE);
    SetEvent(finished_.Get());
}

void TransferWorker::ReapReturned()
{
    std::vector<std::shared_ptr<TransferWorker>> returned;
    {
        const SrwExclusiveLock lock(Workers().lock);
        auto& entries = Workers().entries;
        const auto done = std::partition(entries.begin(), entries.end(), [](const auto& worker) {
            return worker->state_.load() < kReturned;
        });
        returned.assign(done, entries.end());
        entries.erase(done, entries.end());
    }
    // Only the callback's last instructions can still run, or the callback
    // of a worker taken off the queue, which returns at once.
    for (const auto& worker : returned)
        WaitForThreadpoolWorkCallbacks(worker->work_, FALSE);
}

void TransferWorker::EndAll()
{
    std::vector<std::shared_ptr<TransferWorker>> all;
    {
        const SrwExclusiveLock lock(Workers().lock);
        all.swap(Workers().entries);
    }
    // One that runs has been told to stop and is waited for, with what it
    // closes after its outcome.
    for (const auto& worker : all) {
        worker->Dequeue();
        WaitForThreadpoolWorkCallbacks(worker->work_, FALSE);
    }
}

} // namespace korvel
