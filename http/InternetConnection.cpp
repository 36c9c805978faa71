#include "http/InternetConnection.h"

#include "base/SrwLockGuard.h"
#include "base/WsStatus.h"
#include "http/HttpLog.h"
#include "http/NoticeGate.h"

#include <algorithm>

namespace korvel {

namespace {

constexpr DWORD kOneHourMs = 3600000;
// How long an unload waits for the last notices of closed requests.
constexpr DWORD kLastNoticesMs = 200;
constexpr DWORD kPollMs = 5;

// Retired connections a request still counts on. Never destroyed: its
// entries outlive every session, and the process's exit destroys nothing.
struct RetiredList {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<InternetConnection*> entries;
};

RetiredList& Retired()
{
    static RetiredList* const list = new RetiredList;
    return *list;
}

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value)
{
    WinInet().InternetSetOptionW(handle, option, &value, sizeof value);
}

} // namespace

InternetConnection* InternetConnection::Open(const WsString& agent, const WsString& host,
                                             INTERNET_PORT port)
{
    Sweep();
    auto* opened = new InternetConnection(agent, host, port);
    try {
        opened->root_.Reset(WinInet().InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
                                                    nullptr, nullptr, INTERNET_FLAG_ASYNC));
        if (!opened->root_.IsOpen()) {
            LogError(L"Failed to create the internet session: " + FormatLastError());
            Raise(kStatusInternetOpenFailed);
        }
        // The connection and its requests inherit the callback when they are made.
        WinInet().InternetSetStatusCallbackW(opened->root_.Get(), NoticeGate::Open());
        opened->HandleExpected();
        opened->connection_.Reset(
            WinInet().InternetConnectW(opened->root_.Get(), host.c_str(), port, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, opened->Context()));
        if (!opened->connection_.IsOpen()) {
            const DWORD error = GetLastError();
            opened->HandleNotMade();
            if (error == ERROR_INTERNET_TIMEOUT) {
                LogError(L"Connection timed out.");
                Raise(kStatusConnectTimeout);
            }
            LogError(L"Failed to open the internet connection: " + FormatLastError());
            Raise(kStatusServerUnreachable);
        }
    } catch (...) {
        opened->root_.Close();
        opened->Release();
        throw;
    }
    SetDwordOption(opened->Handle(), INTERNET_OPTION_RECEIVE_TIMEOUT, kOneHourMs);
    SetDwordOption(opened->Handle(), INTERNET_OPTION_SEND_TIMEOUT, kOneHourMs);
    WinInet().InternetSetOptionW(opened->Handle(), INTERNET_OPTION_IGNORE_OFFLINE, nullptr, 0);
    return opened;
}

void InternetConnection::Retire()
{
    // Taken here, on a host's thread, for the closing notice still to come.
    HoldModule(NoticeGate::Reference());
    if (Idle()) {
        Close();
        return;
    }
    const SrwExclusiveLock lock(Retired().lock);
    Retired().entries.push_back(this);
}

// Children before the parent; the owner's reference goes last.
void InternetConnection::Close()
{
    connection_.Close();
    root_.Close();
    Release();
}

void InternetConnection::Sweep()
{
    SweepWith(false);
}

// The module's unload gives a request's last notice a moment, then closes
// every connection: the requests have all been closed by then, and a handle
// left open would stay for the life of the process.
void InternetConnection::SweepAtUnload()
{
    for (DWORD waited = 0; waited < kLastNoticesMs; waited += kPollMs) {
        SweepWith(false);
        {
            const SrwExclusiveLock lock(Retired().lock);
            if (Retired().entries.empty())
                return;
        }
        Sleep(kPollMs);
    }
    SweepWith(true);
}

void InternetConnection::SweepWith(bool unloading)
{
    std::vector<InternetConnection*> idle;
    {
        const SrwExclusiveLock lock(Retired().lock);
        auto& entries = Retired().entries;
        const auto busy = std::partition(entries.begin(), entries.end(),
                                         [](const InternetConnection* c) { return !c->Idle(); });
        idle.assign(unloading ? entries.begin() : busy, entries.end());
        entries.erase(unloading ? entries.begin() : busy, entries.end());
    }
    for (InternetConnection* connection : idle)
        connection->Close();
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
        if (connection->Serves(agent, host, port))
            return *connection;
    connections_.reserve(connections_.size() + 1);
    connections_.push_back(InternetConnection::Open(agent, host, port));
    return *connections_.back();
}

} // namespace korvel
