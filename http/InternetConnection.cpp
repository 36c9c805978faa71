#include "http/InternetConnection.h"

#include "base/SrwLockGuard.h"
#include "base/WsStatus.h"
#include "http/HttpLog.h"
#include "http/NoticeGate.h"

#include <algorithm>

namespace korvel {

namespace {

// How long an unload waits for the last notices of closed requests.
constexpr DWORD kLastNoticesMs = 50;
constexpr DWORD kPollMs = 5;

// Retired connections a request still counts on. Never destroyed: the
// process's exit destroys nothing.
struct RetiredList {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<InternetConnection*> entries;
};

RetiredList& Retired()
{
    static RetiredList* const list = new RetiredList;
    return *list;
}

} // namespace

InternetConnection::InternetConnection(const WsString& agent, const WsString& host,
                                       INTERNET_PORT port)
    : context_(HandleContext::Create()), agent_(agent), host_(host), port_(port)
{
    root_.Reset(WinInet().InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                        nullptr, INTERNET_FLAG_ASYNC));
    if (root_.IsOpen()) {
        // The connection and its requests inherit the callback when they are made.
        WinInet().InternetSetStatusCallbackW(root_.Get(), NoticeGate::Open());
        context_->HandleExpected();
        connection_.Reset(WinInet().InternetConnectW(root_.Get(), host.c_str(), port, nullptr,
                                                     nullptr, INTERNET_SERVICE_HTTP, 0,
                                                     context_->Context()));
    }
    if (!connection_.IsOpen()) {
        const DWORD error = GetLastError();
        if (root_.IsOpen())
            context_->HandleNotMade();
        context_->Release();
        if (!root_.IsOpen()) {
            LogError(L"Failed to create the internet session: " + FormatLastError());
            Raise(kStatusInternetOpenFailed);
        }
        if (error == ERROR_INTERNET_TIMEOUT) {
            LogError(L"Connection timed out.");
            Raise(kStatusConnectTimeout);
        }
        LogError(L"Failed to open the internet connection: " + FormatLastError());
        Raise(kStatusServerUnreachable);
    }
    connection_.SetTransferTimeouts();
    WinInet().InternetSetOptionW(Handle(), INTERNET_OPTION_IGNORE_OFFLINE, nullptr, 0);
}

// Children before the parent; the context goes with the connection's closing notice.
InternetConnection::~InternetConnection()
{
    connection_.Close();
    root_.Close();
    context_->Release();
}

bool InternetConnection::Lend()
{
    if (lent_ || context_->HasChildHandles())
        return false;
    lent_ = true;
    return true;
}

void InternetConnection::Retire()
{
    if (!context_->HasChildHandles()) {
        delete this;
        return;
    }
    const SrwExclusiveLock lock(Retired().lock);
    Retired().entries.push_back(this);
}

void InternetConnection::Sweep(bool unloading)
{
    if (!unloading) {
        CloseRetired(false);
        return;
    }
    for (DWORD waited = 0; waited < kLastNoticesMs && !CloseRetired(false); waited += kPollMs)
        Sleep(kPollMs);
    CloseRetired(true);
}

// Closes the retired connections no request counts on, or all of them; true
// when none is left.
bool InternetConnection::CloseRetired(bool all)
{
    std::vector<InternetConnection*> closing;
    bool noneLeft = false;
    {
        const SrwExclusiveLock lock(Retired().lock);
        auto& entries = Retired().entries;
        const auto idle = all ? entries.begin()
                              : std::partition(entries.begin(), entries.end(),
                                               [](const InternetConnection* connection) {
                                                   return connection->context_->HasChildHandles();
                                               });
        closing.assign(idle, entries.end());
        entries.erase(idle, entries.end());
        noneLeft = entries.empty();
    }
    for (InternetConnection* connection : closing)
        delete connection;
    return noneLeft;
}

ConnectionSet::~ConnectionSet()
{
    for (InternetConnection* connection : connections_)
        connection->Retire();
}

InternetConnection& ConnectionSet::Get(const WsString& agent, const WsString& host,
                                       INTERNET_PORT port)
{
    const SrwExclusiveLock lock(lock_);
    for (InternetConnection* connection : connections_)
        if (connection->Serves(agent, host, port) && connection->Lend())
            return *connection;
    connections_.reserve(connections_.size() + 1);
    connections_.push_back(new InternetConnection(agent, host, port));
    return *connections_.back();
}

} // namespace korvel
