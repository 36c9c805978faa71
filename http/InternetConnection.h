#pragma once

#include "base/WsString.h"
#include "http/HandleContext.h"
#include "http/InternetHandle.h"

#include <atomic>
#include <vector>

namespace korvel {

// The internet root and the connection handle of one user agent and server,
// kept as long as the session that uses them, so that only request handles
// open and close per transaction. A parent is then never closed just after a
// child's call completed: WinINet under Wine unlinks a closing child from its
// parent without a lock, on a thread of its own, and a parent closed on
// another thread at that moment crashes.
//
// A retired connection is closed once no request made on it can still send a
// notice: at once, or by a later sweep on a host's thread, or at unload after
// a short wait.
class InternetConnection {
public:
    // Raises kStatusInternetOpenFailed, kStatusConnectTimeout or kStatusServerUnreachable.
    InternetConnection(const WsString& agent, const WsString& host, INTERNET_PORT port);
    InternetConnection(const InternetConnection&) = delete;
    InternetConnection& operator=(const InternetConnection&) = delete;

    bool Serves(const WsString& agent, const WsString& host, INTERNET_PORT port) const
    {
        return port == port_ && host == host_ && agent == agent_;
    }
    HINTERNET Handle() const { return connection_.Get(); }
    // The parent of every request context made on this connection.
    HandleContext& Context() const { return *context_; }

    // A transaction's own while it runs; free again for the set to lend once
    // given back and no request of it can still send a notice.
    bool Lend();
    void GiveBack() { lent_ = false; }
    // The owner is done with it; it is gone once closed.
    void Retire();
    // Closes the retired connections that no request counts on any more;
    // unloading, waits a moment for the rest, then closes them too: the gate
    // takes their late notices.
    static void Sweep(bool unloading = false);

private:
    ~InternetConnection();
    static bool CloseRetired(bool all);

    InternetHandle root_;
    InternetHandle connection_;
    HandleContext* context_;
    std::atomic<bool> lent_{true};
    WsString agent_;
    WsString host_;
    INTERNET_PORT port_;
};

// The connections of one session. Each serves one request at a time: WinINet
// under Wine also links and unlinks sibling requests without a lock, and a
// cancelled request may be unlinked late, on a thread of WinINet's. A
// transaction borrows a free one for its user agent and server, or a new one
// when all are busy; all are retired with the set.
class ConnectionSet {
public:
    ConnectionSet() = default;
    ~ConnectionSet();
    ConnectionSet(const ConnectionSet&) = delete;
    ConnectionSet& operator=(const ConnectionSet&) = delete;

    InternetConnection& Get(const WsString& agent, const WsString& host, INTERNET_PORT port);

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<InternetConnection*> connections_;
};

} // namespace korvel
