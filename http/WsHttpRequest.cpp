#include "http/WsHttpRequest.h"

#include "base/ProcessState.h"
#include "base/WsStatus.h"
#include "http/UrlEncode.h"

namespace korvel {

namespace {
// How long an unload waits for the notices of a closed chain: WinINet ends a
// call soon after its handle was closed, and the exports' cancel bound
// leaves room for this.
constexpr DWORD kLastNoticesMs = 200;
} // namespace

WsHttpRequest::WsHttpRequest(const WsString& name, const WsString& version, int)
    : session_(std::make_unique<WsHttpSession>()), status_(kStatusNotRunning)
{
    session_->AddUserAgentComponent(name + L" " + version);
}

WsHttpRequest::~WsHttpRequest()
{
    Cancel(true);
    parameters_.clear();
    response_.clear();
}

uint32_t WsHttpRequest::Run(uint32_t timeoutMs, bool silent)
{
    if (worker_)
        Raise(kStatusAlreadyRunning);
    worker_ =
        std::make_unique<Worker>(Job{session_.get(), Url(), postData_, {}, kStatusNotRunning});
    session_->SetSilent(silent);
    session_->PrepareTransaction();
    try {
        if (!worker_->Start(&WsHttpRequest::Execute, timeoutMs)) {
            if (timeoutMs == 0)
                return kStatusPending;
            Cancel(true);
            Raise(kStatusTimeout);
        }
        Join();
        if (IsFailure(status_))
            Raise(static_cast<WsStatus>(status_));
        status_ = kStatusSuccess;
        return kStatusSuccess;
    } catch (WsStatus) {
        Join();
        throw;
    } catch (...) {
        Join();
        Raise(kStatusUnexpected);
    }
}

uint32_t WsHttpRequest::Check(uint32_t timeoutMs)
{
    if (!worker_)
        return kStatusNotRunning;
    if (!worker_->WaitWithMessages(timeoutMs))
        return kStatusPending;
    Join();
    if (IsFailure(status_))
        Raise(static_cast<WsStatus>(status_));
    return kStatusSuccess;
}

void WsHttpRequest::Cancel(bool wait)
{
    if (worker_) {
        session_->Abort();
        if (wait)
            AwaitAbortedWorker();
    }
    status_ = kStatusNotRunning;
}

// An aborted transaction ends at its next wait, so this returns promptly.
void WsHttpRequest::AwaitAbortedWorker()
{
    if (ProcessIsExiting()) {
        // The process's other threads are gone, the worker with them, and
        // nothing it was using can be taken apart safely any more.
        static_cast<void>(worker_.release());
        static_cast<void>(session_.release());
        return;
    }
    worker_->Stop();
    // A transaction that never began has nothing to close; it ends as aborted.
    if (!worker_->HasStarted())
        session_->EndUnstarted();
    Join();
}

void WsHttpRequest::Reset(bool wait)
{
    Cancel(wait);
    discardResult_ = worker_ != nullptr;
    parameters_.clear();
    response_.clear();
}

void WsHttpRequest::AddParameter(const WsString& name, const WsString& value)
{
    parameters_ += L"&" + UrlEncode(name) + L"=" + UrlEncode(value);
}

void WsHttpRequest::AddParameter(const WsString& name, uint32_t value)
{
    AddParameter(name, WsString(std::to_wstring(value)));
}

void WsHttpRequest::SetParentWindow(HWND window)
{
    parentWindow_ = window;
    session_->SetParentWindow(window);
}

WsString WsHttpRequest::Url() const
{
    if (!command_.empty())
        return baseUrl_ + L"?cmd=" + command_ + parameters_;
    if (!parameters_.empty())
        return baseUrl_ + L"?" + parameters_;
    return baseUrl_;
}

void WsHttpRequest::Execute(Job& job)
{
    try {
        job.session->Submit(job.url, job.postData, job.response);
        job.status = kStatusSuccess;
    } catch (WsStatus status) {
        job.status = status;
    } catch (...) {
        job.status = kStatusUnexpected;
    }
}

std::unique_ptr<WorkerTail> WsHttpRequest::TakeTail(Job& job)
{
    return job.session->TakeDeferredClose();
}

void WsHttpRequest::Join()
{
    if (!worker_)
        return;
    worker_->Join();
    // A chain with notices still to come keeps this module loaded until its
    // last notice; the reference is taken here, on the host's thread, since a
    // worker must not wait for the loader. While the module is unloading no
    // reference can keep it, and the notices are waited for instead.
    DWORD_PTR abandoned = session_->TakeAbandonedChain();
    if (abandoned == 0)
        abandoned = worker_->TakeTailResult();
    if (abandoned != 0) {
        if (ModuleIsUnloading())
            AsyncCompletion::AwaitFinished(abandoned, kLastNoticesMs);
        else
            AsyncCompletion::HoldModuleFor(abandoned);
    }
    Job& job = worker_->GetJob();
    status_ = job.status;
    if (!discardResult_)
        response_ = std::move(job.response);
    discardResult_ = false;
    worker_.reset();
}

} // namespace korvel
