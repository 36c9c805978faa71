#pragma once

#include "http/WsHttpRequest.h"
#include "session/WsClientInfo.h"

#include <cstdint>
#include <memory>

namespace korvel {

// A session's package download. The body goes to a file of its own in the
// user's temporary folder, so the request's response is that file's path.
class WsPackageJob {
public:
    explicit WsPackageJob(const WsClientInfo& client);
    ~WsPackageJob();
    WsPackageJob(const WsPackageJob&) = delete;
    WsPackageJob& operator=(const WsPackageJob&) = delete;

    uint32_t StartDownload(const WsString& url, uint32_t timeoutMs, double& progress,
                           uint8_t& sizeKnown);
    uint32_t CheckDownload(double& progress, uint8_t& sizeKnown, uint32_t timeoutMs);
    void CancelDownload();

private:
    void ReplacePackageFile();

    std::unique_ptr<WsHttpRequest> packageRequest_;
    WsClientInfo client_;
    WsString packageFile_;
};

} // namespace korvel
