#pragma once

#include "http/WsHttpRequest.h"
#include "packet/WsClientInfo.h"
#include "packet/WsContentQuery.h"
#include "packet/WsPipelineRequest.h"
#include "session/WsContentCatalog.h"
#include "session/WsPackageJob.h"
#include "session/WsUpdateEntry.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

// What one session id stands for: the caller's identity, the query under
// construction with its request, the result catalog, and the download and
// install state.
class WsUpdatesSession {
public:
    using Catalog = WsContentCatalog<WsUpdateEntry>;

    WsUpdatesSession(const WsClientInfo& client, const WsString& locale, uint32_t flags);
    ~WsUpdatesSession();
    // Tells every transfer of the session to stop, without waiting: closing
    // several sessions or transfers then waits for all of them at once.
    void AbortTransfers();
    WsUpdatesSession(const WsUpdatesSession&) = delete;
    WsUpdatesSession& operator=(const WsUpdatesSession&) = delete;

    // Query building.
    void QueryOpenGroup(uint32_t groupType);
    void QueryCloseGroup();
    void QueryAddTerm(const WsString& field, const WsString& value);
    void QueryAddText(const WsString& field, const WsString& value, uint32_t compareType);
    void QueryReset();

    // Query execution and results.
    uint32_t QuerySubmit(uint32_t maxHits, uint32_t timeoutMs);
    uint32_t QueryCheck(uint32_t timeoutMs);
    void QueryCancel();
    void QueryResult(std::string& body) const;
    void QueryStatus(uint32_t& serverStatus);
    uint32_t QueryGetHitCount() const { return catalog_.Count(); }
    const Catalog& GetCatalog() const { return catalog_; }

    uint32_t ServerPing(uint32_t timeoutMs, WsString& serverDate);
    void SetParentWindow(uint64_t window) { parentWindow_ = window; }

    // Downloads.
    uint32_t DownloadSubmit(const WsString& url, uint32_t timeoutMs, double& progress,
                            uint8_t& sizeKnown);
    uint32_t DownloadCheck(uint32_t timeoutMs, double& progress, uint8_t& sizeKnown);
    uint32_t DownloadCancel();
    uint32_t DownloadSubmit2(const WsString& url, const WsString& targetFile);
    uint32_t DownloadCheck2(uint32_t timeoutMs, uint64_t& bytesReceived, uint64_t& bytesTotal);
    uint32_t DownloadCancel2();

    // Install.
    uint32_t InstallSubmit(uint32_t timeoutMs);
    uint32_t InstallCheck(uint32_t timeoutMs);
    uint32_t InstallCancel() { return kStatusSuccess; }

    const WsClientInfo& Client() const { return client_; }
    const WsString& Locale() const { return locale_; }
    bool Silent() const { return (flags_ & 1) != 0; }
    uint32_t InvocationType() const { return (flags_ >> 1) & 7; }
    uint64_t ParentWindow() const { return parentWindow_; }

private:
    // Requests are shared with the waits inside them: a window message that a
    // wait dispatches may replace or close them.
    std::shared_ptr<ConnectionSet> connections_;
    std::shared_ptr<WsPipelineRequest> queryRequest_;
    WsContentQuery query_;
    Catalog catalog_;
    std::shared_ptr<WsHttpRequest> downloadRequest_;
    std::unique_ptr<WsPackageJob> packageJob_;
    WsClientInfo client_;
    WsString locale_;
    uint32_t flags_;
    uint64_t parentWindow_ = 0;
};

} // namespace korvel
