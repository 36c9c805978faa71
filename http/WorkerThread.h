#pragma once

#include <windows.h>

#include <process.h>

#include <atomic>
#include <cstdint>

namespace korvel {

// Runs one procedure on a C run-time thread over a job it owns, and lets the
// starting thread wait for it while that thread's window messages keep
// flowing. The thread marks itself finished and signals an auto-reset event
// as its last acts; the thread handle is the run time's and is never waited
// on. The job is whatever the owner's procedure needs, so that a worker the
// owner gives up on can finish on its own.
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
    ~CWorkerThread() { CloseEvent(); }
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread and waits up to timeoutMs; true when it has finished.
    bool Start(Procedure procedure, uint32_t timeoutMs)
    {
        if (thread_ != kNoThread)
            throw kAlreadyStarted;
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (event_ == nullptr)
            throw kEventNotCreated;
        procedure_ = procedure;
        thread_ = _beginthread(&CWorkerThread::Entry, 0, this);
        if (thread_ == kNoThread) {
            CloseEvent();
            throw kThreadNotStarted;
        }
        return WaitWithMessages(timeoutMs);
    }

    // Dispatches the calling thread's messages while it waits; any input
    // starts the full wait again. True when the thread has finished.
    bool WaitWithMessages(uint32_t timeoutMs)
    {
        if (thread_ == kNoThread)
            throw kNotStarted;
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            const DWORD result =
                MsgWaitForMultipleObjects(1, &event_, FALSE, timeoutMs, QS_ALLINPUT);
            if (result == WAIT_TIMEOUT)
                return false;
            if (result == WAIT_OBJECT_0 + 1)
                continue;
            thread_ = kNoThread;
            CloseEvent();
            return true;
        }
    }

    // Waits without limit for a thread that may still run.
    void Join()
    {
        if (thread_ != kNoThread)
            WaitForSingleObject(event_, INFINITE);
        thread_ = kNoThread;
        CloseEvent();
    }

    bool Finished() const { return finished_; }
    Job& GetJob() { return job_; }

private:
    static constexpr uintptr_t kNoThread = static_cast<uintptr_t>(-1);

    static void __cdecl Entry(void* argument)
    {
        auto* worker = static_cast<CWorkerThread*>(argument);
        worker->procedure_(worker->job_);
        worker->finished_ = true;
        // The last touch: once signalled, the worker may be deleted.
        SetEvent(worker->event_);
    }

    void CloseEvent()
    {
        if (event_ != nullptr) {
            CloseHandle(event_);
            event_ = nullptr;
        }
    }

    Job job_;
    HANDLE event_ = nullptr;
    uintptr_t thread_ = kNoThread;
    Procedure procedure_ = nullptr;
    std::atomic<bool> finished_{false};
};

} // namespace korvel
