#pragma once

#include "base/ProcessState.h"
#include "base/RecycledEvent.h"
#include "http/WorkerTail.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace korvel {

// Runs one procedure over a job it owns on a thread of the process's thread
// pool, and lets the starting thread wait for it while that thread's window
// messages keep flowing. The pool signals an auto-reset event once the
// procedure has returned, so a worker that has been waited for runs no code of
// the library any more, and the library may be unloaded.
//
// A procedure may leave a tail (Owner::TakeTail) that must not hold its owner
// up: the worker then signals the owner first and runs the tail after it. An
// owner that goes on hands the tail two references on the module, one for the
// rest of the callback and one for what the tail leaves running; an owner
// that cannot (the module is unloading, or the tail is already done) waits
// for the callback to return and takes the tail's result.
template <class Owner> class CWorkerThread {
public:
    enum ExceptionType {
        kEventNotCreated = 0,
        kThreadNotStarted = 1,
        kAlreadyStarted = 2,
        kNotStarted = 3,
    };
    using Job = typename Owner::Job;
    using Procedure = void (*)(Job& job);

    explicit CWorkerThread(Job job) : job_(std::move(job)) {}
    ~CWorkerThread() { Release(); }
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the procedure and waits up to timeoutMs; true when it has finished.
    bool Start(Procedure procedure, uint32_t timeoutMs)
    {
        if (running_)
            throw kAlreadyStarted;
        tail_ = std::make_shared<Tail>();
        tailResult_ = 0;
        if (!event_.Take(RecycledEvent::Kind::kAutoReset))
            throw kEventNotCreated;
        work_ = CreateThreadpoolWork(&CWorkerThread::Entry, this, nullptr);
        if (work_ == nullptr) {
            Release();
            throw kThreadNotStarted;
        }
        procedure_ = procedure;
        running_ = true;
        SubmitThreadpoolWork(work_);
        return WaitWithMessages(timeoutMs);
    }

    // Dispatches the calling thread's messages while it waits; any input
    // starts the full wait again. True when the procedure has finished.
    bool WaitWithMessages(uint32_t timeoutMs)
    {
        if (!running_)
            throw kNotStarted;
        const HANDLE finished = event_.Get();
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            const DWORD result =
                MsgWaitForMultipleObjects(1, &finished, FALSE, timeoutMs, QS_ALLINPUT);
            if (result == WAIT_TIMEOUT)
                return false;
            if (result == WAIT_OBJECT_0 + 1)
                continue;
            // The wait took the signal: the event goes back unsignalled.
            event_.SetMaySignal(false);
            Settle();
            return true;
        }
    }

    // Ends the worker of a job that has been told to stop: a procedure that
    // has not begun never will, and its callback is taken off the pool's queue
    // (or, if it has just begun, returns at once); one that runs is waited for
    // while messages keep flowing, since it may show a dialog owned by a window
    // of this thread. A new pool thread takes the loader lock before it runs
    // anything, so a worker that has not begun may be stuck behind a
    // FreeLibrary that is waiting for it: it must be cancelled rather than
    // awaited.
    void Stop()
    {
        if (!running_)
            return;
        int queued = kQueued;
        if (state_.compare_exchange_strong(queued, kCancelled)) {
            WaitForThreadpoolWorkCallbacks(work_, TRUE);
            Release();
            return;
        }
        WaitWithMessages(INFINITE);
    }

    // Waits without limit for a procedure that may still run.
    // The event, not the pool's count of running callbacks, says the procedure
    // has returned: taking its signal leaves the event clean for its next owner.
    void Join()
    {
        if (!running_) {
            Release();
            return;
        }
        WaitForSingleObject(event_.Get(), INFINITE);
        event_.SetMaySignal(false);
        Settle();
    }

    // The result of a tail that was waited for, once; 0 when there was none.
    DWORD_PTR TakeTailResult() { return std::exchange(tailResult_, 0); }

    // True once the procedure has begun; a stopped worker may never begin.
    bool HasStarted() const { return state_.load() == kRunning; }

    Job& GetJob() { return job_; }

private:
    static void CALLBACK Entry(PTP_CALLBACK_INSTANCE instance, void* argument, PTP_WORK)
    {
        auto* worker = static_cast<CWorkerThread*>(argument);
        int queued = kQueued;
        if (!worker->state_.compare_exchange_strong(queued, kRunning))
            return;
        // A transaction waits on the network for as long as it takes.
        CallbackMayRunLong(instance);
        worker->procedure_(worker->job_);
        std::unique_ptr<WorkerTail> work = Owner::TakeTail(worker->job_);
        if (!work) {
            SetEventWhenCallbackReturns(instance, worker->event_.Get());
            return;
        }
        const std::shared_ptr<Tail> tail = worker->tail_;
        tail->work = std::move(work);
        // From here on the owner may go on, and this worker with it.
        SetEvent(worker->event_.Get());
        RunTail(instance, *tail);
    }

    // Stages of a tail, in order; the owner may hand it over only while it runs.
    enum TailStage { kTailRunning, kTailHandedOver, kTailDone };
    struct Tail {
        std::unique_ptr<WorkerTail> work;
        std::atomic<int> stage{kTailRunning};
        DWORD_PTR result = 0;
        HMODULE callbackReference = nullptr;
        HMODULE leftReference = nullptr;
    };

    static void RunTail(PTP_CALLBACK_INSTANCE instance, Tail& tail)
    {
        tail.result = tail.work->Run();
        if (tail.stage.exchange(kTailDone) != kTailHandedOver)
            return;
        // The callback's own reference keeps the module until it has returned.
        if (!tail.work->KeepModule(tail.result, tail.leftReference))
            FreeLibrary(tail.leftReference);
        FreeLibraryWhenCallbackReturns(instance, tail.callbackReference);
    }

    // Runs once the procedure's signal was taken. A tail still running is
    // handed its references; otherwise its callback is waited for.
    void Settle()
    {
        if (tail_ && tail_->work && !HandOver(*tail_)) {
            WaitForThreadpoolWorkCallbacks(work_, FALSE);
            tailResult_ = tail_->result;
        }
        tail_.reset();
        Release();
    }

    // References are taken on the owner's thread: the loader's lock, which
    // they need, may be held by a host that waits for this worker.
    static bool HandOver(Tail& tail)
    {
        tail.callbackReference = TakeModuleReference();
        tail.leftReference = TakeModuleReference();
        int running = kTailRunning;
        if (tail.callbackReference != nullptr && tail.leftReference != nullptr &&
            tail.stage.compare_exchange_strong(running, kTailHandedOver))
            return true;
        // The owner's thread runs inside the module, which its host holds.
        if (tail.callbackReference != nullptr)
            FreeLibrary(tail.callbackReference);
        if (tail.leftReference != nullptr)
            FreeLibrary(tail.leftReference);
        return false;
    }

    void Release()
    {
        running_ = false;
        if (work_ != nullptr)
            CloseThreadpoolWork(std::exchange(work_, nullptr));
        event_.GiveBack();
    }

    Job job_;
    RecycledEvent event_;
    PTP_WORK work_ = nullptr;
    bool running_ = false;
    // Queued, then running or cancelled: whichever comes first decides.
    enum State { kQueued, kRunning, kCancelled };
    std::atomic<int> state_{kQueued};
    Procedure procedure_ = nullptr;
    // Shared with the callback, which may outlive this worker once handed over.
    std::shared_ptr<Tail> tail_;
    DWORD_PTR tailResult_ = 0;
};

} // namespace korvel
