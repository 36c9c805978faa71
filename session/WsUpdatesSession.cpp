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

void WsUpdatesSession::QueryCancel() {}

void WsUpdatesSession::QueryResult(std::string& body) const
{
    body.clear();
}

// TODO(#3): the transport and the download requests replace these.
uint32_t WsUpdatesSession::DownloadSubmit(const WsString&, uint32_t, double&, uint8_t&)
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::DownloadCheck(uint32_t, double&, uint8_t&)
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::DownloadCancel()
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::DownloadSubmit2(const WsString&, const WsString&)
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::DownloadCheck2(uint32_t, uint64_t&, uint64_t&)
{
    Raise(kStatusUnexpected);
}

uint32_t WsUpdatesSession::DownloadCancel2()
{
    Raise(kStatusUnexpected);
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
