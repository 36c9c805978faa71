#include "http/WsHttpRequest.h"

#include "base/WsStatus.h"
#include "http/UrlEncode.h"

namespace korvel {

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
    job_ = std::make_shared<Job>(Job{session_.get(), Url(), postData_, {}, kStatusNotRunning});
    session_->SetSilent(silent);
    session_->PrepareTransaction();
    worker_ = TransferWorker::Start([job = job_] { return Execute(*job); });
    if (!Await(timeoutMs)) {
        if (timeoutMs == 0)
            return kStatusPending;
        Cancel(true);
        Raise(kStatusTimeout);
    }
    return Outcome();
}

uint32_t WsHttpRequest::Check(uint32_t timeoutMs)
{
    if (!worker_)
        return kStatusNotRunning;
    if (!Await(timeoutMs))
        return kStatusPending;
    return Outcome();
}

// The outcome of a finished transaction: success, or its failure raised. Only
// the outermost wait joins the worker.
uint32_t WsHttpRequest::Outcome()
{
    uint32_t status = job_->status;
    if (waits_ == 0) {
        Join();
        status = status_;
    }
    if (IsFailure(status))
        Raise(static_cast<WsStatus>(status));
    if (waits_ == 0)
        status_ = kStatusSuccess;
    return kStatusSuccess;
}

void WsHttpRequest::Cancel(bool wait)
{
    if (worker_) {
        session_->Abort();
        // A worker that has not begun never will: the pool may be slow to
        // start it on a busy machine.
        worker_->Dequeue();
        // An aborted transaction ends at its next wait, so this returns
        // promptly. One that has ended is not waited for: the module's unload
        // ends every transaction first and must dispatch no message.
        if (wait && (worker_->Finished() || Await(INFINITE)) && waits_ == 0)
            Join();
    }
    status_ = kStatusNotRunning;
}

void WsHttpRequest::Reset(bool wait)
{
    Cancel(wait);
    discardResult_ = worker_ != nullptr;
    parameters_.clear();
    response_.clear();
}

// A message dispatched by the wait may drop the owner's last reference to
// this request; the wait keeps it until it returns.
bool WsHttpRequest::Await(uint32_t timeoutMs)
{
    const std::shared_ptr<WsHttpRequest> keep = weak_from_this().lock();
    const std::shared_ptr<TransferWorker> worker = worker_;
    ++waits_;
    const bool finished = worker->Wait(timeoutMs);
    --waits_;
    return finished;
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

std::function<void()> WsHttpRequest::Execute(Job& job)
{
    try {
        job.session->Submit(job.url, job.postData, job.response);
        job.status = kStatusSuccess;
    } catch (WsStatus status) {
        job.status = status;
    } catch (...) {
        job.status = kStatusUnexpected;
    }
    return job.session->TakeDeferredClose();
}

void WsHttpRequest::Join()
{
    if (!worker_ || !worker_->Finished())
        return;
    // A transaction that never began has nothing to close; it ends as aborted.
    if (!worker_->Began())
        session_->EndUnstarted();
    status_ = job_->status;
    if (!discardResult_)
        response_ = std::move(job_->response);
    discardResult_ = false;
    worker_.reset();
    job_.reset();
}

} // namespace korvel
