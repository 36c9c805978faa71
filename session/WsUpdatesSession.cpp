#include "session/WsUpdatesSession.h"

#include "base/WsLog.h"

namespace korvel {

WsUpdatesSession::WsUpdatesSession(const WsClientInfo& client, const WsString& locale,
                                   uint32_t flags)
    : client_(client), locale_(locale), flags_(flags)
{
    AcquireLog();
    LogLine(L"<WsUpdatesSession::WsUpdatesSession>");
}

WsUpdatesSession::~WsUpdatesSession()
{
    if (downloadRequest_) {
        downloadRequest_->Reset(true);
        downloadRequest_.reset();
    }
    packageJob_.reset();
    LogLine(L"</WsUpdatesSession::~WsUpdatesSession>");
    ReleaseLog();
}

// TODO(#4): the query model and its pipeline request replace the operations
// below up to ServerPing; until then they are unavailable and say so.
void WsUpdatesSession::QueryOpenGroup(uint32_t)
{
    Raise(kStatusUnexpected);
}

void WsUpdatesSession::QueryCloseGroup()
{
    Raise(kStatusUnexpected);
}

void WsUpdatesSession::QueryAddTerm(const WsString&, const WsString&)
{
    Raise(kStatusUnexpected);
}

void WsUpdatesSession::QueryAddText(const WsString&, const WsString&, uint32_t)
{
    Raise(kStatusUnexpected);
}

void WsUpdatesSession::QueryReset()
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::QuerySubmit(uint32_t, uint32_t)
{
    Raise(kStatusUnexpected);
}

void WsUpdatesSession::QueryStatus(uint32_t&)
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::ServerPing(uint32_t, WsString&)
{
    Raise(kStatusUnexpected);
}

// Without a query request there is nothing to poll, cancel or read.
uint32_t WsUpdatesSession::QueryCheck(uint32_t)
{
    LogLine(L"<WsUpdatesSession::QueryCheck>");
    LogLine(L"</WsUpdatesSession::QueryCheck>");
    return kStatusNotRunning;
}

void WsUpdatesSession::QueryCancel()
{
}

void WsUpdatesSession::QueryResult(std::string& body) const
{
    body.clear();
}

uint32_t WsUpdatesSession::DownloadSubmit(const WsString& url, uint32_t timeoutMs, double& progress,
                                          uint8_t& sizeKnown)
{
    if (!packageJob_)
        packageJob_ = std::make_unique<WsPackageJob>(client_);
    return packageJob_->StartDownload(url, timeoutMs, progress, sizeKnown);
}

uint32_t WsUpdatesSession::DownloadCheck(uint32_t timeoutMs, double& progress, uint8_t& sizeKnown)
{
    if (!packageJob_)
        return kStatusSuccess;
    return packageJob_->CheckDownload(progress, sizeKnown, timeoutMs);
}

uint32_t WsUpdatesSession::DownloadCancel()
{
    if (packageJob_)
        packageJob_->CancelDownload();
    return kStatusSuccess;
}

uint32_t WsUpdatesSession::DownloadSubmit2(const WsString& url, const WsString& targetFile)
{
    if (downloadRequest_) {
        downloadRequest_->Reset(true);
        downloadRequest_.reset();
    }
    downloadRequest_ = std::make_unique<WsHttpRequest>(client_.swappName, client_.swappVersion);
    downloadRequest_->SetBaseUrl(url);
    downloadRequest_->SetStreaming(true, targetFile);
    return downloadRequest_->Run(0, false);
}

// Reports the transfer's own state and never joins its worker, so a failure
// shows only as the returned state.
uint32_t WsUpdatesSession::DownloadCheck2(uint32_t, uint64_t& bytesReceived, uint64_t& bytesTotal)
{
    if (!downloadRequest_)
        return kStatusSuccess;
    WsHttpProgress progress;
    downloadRequest_->GetProgress(progress);
    bytesReceived = progress.bytesReceived;
    bytesTotal = progress.totalBytes;
    return progress.status;
}

uint32_t WsUpdatesSession::DownloadCancel2()
{
    if (downloadRequest_)
        downloadRequest_->Reset(false);
    return kStatusSuccess;
}

// TODO(#5): package extraction and the installer replace these.
uint32_t WsUpdatesSession::InstallSubmit(uint32_t)
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::InstallCheck(uint32_t)
{
    Raise(kStatusUnexpected);
}

} // namespace korvel
