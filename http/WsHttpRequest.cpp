#include "http/WsHttpRequest.h"

#include "api/WsStatus.h"
#include "base/CriticalSection.h"
#include "base/ProcessState.h"
#include "http/UrlEncode.h"

#include <mutex>
#include <vector>

namespace korvel {

namespace {

// How long a cancel waits for an aborted transaction before giving it up.
constexpr uint32_t kAbortGraceMs = 250;

// Keeps the library's code in memory for the rest of the process. A worker
// that was given up on may still be running it when the host unloads the
// library, and waiting for it while the library unloads could wait forever.
void KeepLibraryLoaded()
{
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        HMODULE module = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&KeepLibraryLoaded), &module);
    });
}

// Transactions whose requests gave up on them, kept until they have ended.
class AbandonedRequests {
public:
    using Worker = CWorkerThread<WsHttpRequest>;

    // Never destroyed: a worker may still run when static objects go.
    static AbandonedRequests& Get()
    {
        static AbandonedRequests* const requests = new AbandonedRequests;
        return *requests;
    }

    void Adopt(std::unique_ptr<WsHttpSession> session, std::unique_ptr<Worker> worker)
    {
        KeepLibraryLoaded();
        CriticalSectionLock lock(lock_);
        ReleaseFinished();
        entries_.push_back({std::move(session), std::move(worker)});
    }

private:
    struct Entry {
        std::unique_ptr<WsHttpSession> session;
        std::unique_ptr<Worker> worker;
    };

    void ReleaseFinished()
    {
        for (auto entry = entries_.begin(); entry != entries_.end();) {
            if (entry->worker->Finished()) {
                entry->worker->Join();
                entry = entries_.erase(entry);
            } else {
                ++entry;
            }
        }
    }

    CriticalSection lock_;
    std::vector<Entry> entries_;
};

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
            FinishOrGiveUp();
    }
    status_ = kStatusNotRunning;
}

// An aborted transaction normally ends at once. One that does not (the
// platform could not interrupt it) keeps its session and finishes on its
// own; the request goes on with a new session of the same settings.
void WsHttpRequest::FinishOrGiveUp()
{
    if (!ProcessIsExiting()) {
        bool finished = true;
        try {
            finished = worker_->WaitWithMessages(kAbortGraceMs);
        } catch (...) {
            // Already seen to end: nothing to wait for.
        }
        if (finished) {
            Join();
            return;
        }
    }
    std::unique_ptr<WsHttpSession> fresh = session_->CopySettings();
    AbandonedRequests::Get().Adopt(std::move(session_), std::move(worker_));
    session_ = std::move(fresh);
    discardResult_ = false;
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

void WsHttpRequest::Join()
{
    if (!worker_)
        return;
    worker_->Join();
    Job& job = worker_->GetJob();
    status_ = job.status;
    if (!discardResult_)
        response_ = std::move(job.response);
    discardResult_ = false;
    worker_.reset();
}

} // namespace korvel
