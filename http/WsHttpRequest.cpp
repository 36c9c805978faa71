#include "http/WsHttpRequest.h"

#include "api/WsStatus.h"
#include "base/ProcessState.h"
#include "http/UrlEncode.h"

namespace korvel {

WsHttpRequest::WsHttpRequest(const WsString& name, const WsString& version, int)
    : status_(kStatusNotRunning)
{
    session_.AddUserAgentComponent(name + L" " + version);
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
    worker_ = std::make_unique<Worker>(this);
    session_.SetSilent(silent);
    session_.PrepareTransaction();
    try {
        if (!worker_->Start(&WsHttpRequest::ThreadProc, timeoutMs)) {
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
        session_.Abort();
        if (wait && ProcessIsExiting()) {
            // The worker thread is already gone and will never signal.
            worker_.release();
        } else if (wait) {
            try {
                worker_->WaitWithMessages(INFINITE);
            } catch (...) {
                // A worker that has already been seen to end needs no wait.
            }
            Join();
        }
    }
    status_ = kStatusNotRunning;
}

void WsHttpRequest::Reset(bool wait)
{
    Cancel(wait);
    if (worker_) {
        clearWhenJoined_ = true;
        return;
    }
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
    session_.SetParentWindow(window);
}

WsString WsHttpRequest::Url() const
{
    if (!command_.empty())
        return baseUrl_ + L"?cmd=" + command_ + parameters_;
    if (!parameters_.empty())
        return baseUrl_ + L"?" + parameters_;
    return baseUrl_;
}

void WsHttpRequest::ThreadProc(WsHttpRequest* request, Worker* worker)
{
    try {
        request->session_.Submit(request->Url(), request->postData_, request->response_);
        request->status_ = kStatusSuccess;
    } catch (WsStatus status) {
        request->status_ = status;
    } catch (...) {
        request->status_ = kStatusUnexpected;
    }
    worker->Signal();
}

void WsHttpRequest::Join()
{
    if (!worker_)
        return;
    worker_->Join();
    worker_.reset();
    if (clearWhenJoined_) {
        clearWhenJoined_ = false;
        parameters_.clear();
        response_.clear();
    }
}

} // namespace korvel
