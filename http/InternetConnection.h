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
// The connection handle's context counts the request handles made on it until
// their closing notices. Its owner retires it; it is closed then if no request
// is left, otherwise by a later sweep on a host thread.
class InternetConnection : public HandleContext {
public:
    // Raises kStatusInternetOpenFailed or kStatusServerUnreachable.
    static InternetConnection* Open(const WsString& agent, const WsString& host,
                                    INTERNET_PORT port);

    bool Serves(const WsString& agent, const WsString& host, INTERNET_PORT port) const
    {
        return port == port_ && host == host_ && agent == agent_;
    }
    HINTERNET Handle() const { return connection_.Get(); }

    void RequestExpected() { ++requests_; }
    void RequestClosed() { --requests_; }

    // The owner is done with it.
    void Retire();
    // Closes the retired connections that no request counts on any more.
    static void Sweep();
    // At unload: the same, then, after a bounded wait, every other one.
    static void SweepAtUnload();

private:
    InternetConnection(const WsString& agent, const WsString& host, INTERNET_PORT port)
        : agent_(agent), host_(host), port_(port)
    {
    }
    ~InternetConnection() override = default;

    bool Idle() const { return requests_.load() == 0; }
    void Close();
    static void SweepWith(bool unloading);

    InternetHandle root_;
    InternetHandle connection_;
    std::atomic<long> requests_{0};
    WsString agent_;
    WsString host_;
    INTERNET_PORT port_;
};

// The connections of one session: one per user agent and server, opened on
// first use by whichever transaction needs it, retired with the set.
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
