#include "session/WsUpdatesSession.h"

#include "base/WsLog.h"

namespace korvel {

WsUpdatesSession::WsUpdatesSession(const WsClientInfo& client, const WsString& locale,
                                   uint32_t flags)
    : connections_(std::make_shared<ConnectionSet>()), client_(client), locale_(locale),
      flags_(flags)
{
    AcquireLog();
    LogLine(L"<WsUpdatesSession::WsUpdatesSession>");
    QueryReset();
}

WsUpdatesSession::~WsUpdatesSession()
{
    AbortTransfers();
    if (queryRequest_) {
        queryRequest_->Reset(true);
        queryRequest_.reset();
    }
    if (downloadRequest_) {
        downloadRequest_->Reset(true);
        downloadRequest_.reset();
    }
    packageJob_.reset();
    LogLine(L"</WsUpdatesSession::~WsUpdatesSession>");
    ReleaseLog();
}

void WsUpdatesSession::AbortTransfers()
{
    if (queryRequest_)
        queryRequest_->Cancel(false);
    if (downloadRequest_)
        downloadRequest_->Cancel(false);
    if (packageJob_)
        packageJob_->AbortDownload();
}

void WsUpdatesSession::QueryOpenGroup(uint32_t groupType)
{
    query_.OpenGroup(groupType);
}

void WsUpdatesSession::QueryCloseGroup()
{
    query_.CloseGroup();
}

void WsUpdatesSession::QueryAddTerm(const WsString& field, const WsString& value)
{
    query_.AddTerm(field, value);
}

void WsUpdatesSession::QueryAddText(const WsString& field, const WsString& value,
                                    uint32_t compareType)
{
    query_.AddText(field, value, compareType);
}

void WsUpdatesSession::QueryReset()
{
    query_.Reset();
}

// Every submit replaces the request, so results always belong to the latest.
uint32_t WsUpdatesSession::QuerySubmit(uint32_t maxHits, uint32_t timeoutMs)
{
    LogLine(L"<WsUpdatesSession::QuerySubmit>");
    const WsPacket packet(WsPacketHeader(client_, locale_), L"contentQuery", &query_);
    QueryCancel();
    queryRequest_ = std::make_shared<WsPipelineRequest>(client_, L"ContentCmd:Query", packet, true);
    queryRequest_->UseConnections(connections_);
    queryRequest_->AddParameter(L"MaxHits", maxHits);
    const uint32_t status = queryRequest_->Run(timeoutMs, Silent());
    LogLine(L"</WsUpdatesSession::QuerySubmit>");
    return status;
}

uint32_t WsUpdatesSession::QueryCheck(uint32_t timeoutMs)
{
    LogLine(L"<WsUpdatesSession::QueryCheck>");
    const uint32_t status = queryRequest_ ? queryRequest_->Check(timeoutMs) : kStatusNotRunning;
    LogLine(L"</WsUpdatesSession::QueryCheck>");
    return status;
}

void WsUpdatesSession::QueryCancel()
{
    if (queryRequest_) {
        queryRequest_->Reset(true);
        queryRequest_.reset();
    }
}

// The body as received, up to its first zero byte.
void WsUpdatesSession::QueryResult(std::string& body) const
{
    if (queryRequest_)
        body.assign(queryRequest_->GetResponse().c_str());
    else
        body.clear();
}

// Without a request there is no body to read a status from.
void WsUpdatesSession::QueryStatus(uint32_t& serverStatus)
{
    if (!queryRequest_)
        Raise(kStatusXmlNoRoot);
    serverStatus = static_cast<uint32_t>(queryRequest_->GetResponsePacket().Header().StatusCode());
}

uint32_t WsUpdatesSession::ServerPing(uint32_t timeoutMs, WsString& serverDate)
{
    if (!queryRequest_) {
        queryRequest_ = std::make_shared<WsPipelineRequest>(client_, true);
        queryRequest_->UseConnections(connections_);
    }
    if (parentWindow_ != 0)
        queryRequest_->SetParentWindow(reinterpret_cast<HWND>(parentWindow_));
    const WsString invocation = L"InvocationType=" + std::to_wstring(InvocationType());
    return queryRequest_->PingServer(timeoutMs, Silent(), invocation, serverDate);
}

uint32_t WsUpdatesSession::DownloadSubmit(const WsString& url, uint32_t timeoutMs, double& progress,
                                          uint8_t& sizeKnown)
{
    if (!packageJob_)
        packageJob_ = std::make_unique<WsPackageJob>(client_, connections_);
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
    downloadRequest_ = std::make_shared<WsHttpRequest>(client_.swappName, client_.swappVersion);
    downloadRequest_->UseConnections(connections_);
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

uint32_t WsUpdatesSession::InstallSubmit(uint32_t timeoutMs)
{
    if (!packageJob_)
        return kStatusSuccess;
    return packageJob_->StartInstaller(timeoutMs);
}

uint32_t WsUpdatesSession::InstallCheck(uint32_t timeoutMs)
{
    if (!packageJob_)
        return kStatusSuccess;
    return packageJob_->CheckInstaller(timeoutMs);
}

} // namespace korvel
