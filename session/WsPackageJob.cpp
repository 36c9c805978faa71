#include "session/WsPackageJob.h"

#include "api/WsStatus.h"
#include "base/TempPath.h"

#include <algorithm>

namespace korvel {

namespace {

// How long a submit looks at its new transfer before it reports progress.
constexpr uint32_t kFirstLookMs = 50;

} // namespace

WsPackageJob::WsPackageJob(const WsClientInfo& client) : client_(client)
{
}

WsPackageJob::~WsPackageJob()
{
    packageRequest_.reset();
    if (!packageFile_.empty())
        DeleteFileW(packageFile_.c_str());
}

uint32_t WsPackageJob::StartDownload(const WsString& url, uint32_t timeoutMs, double& progress,
                                     uint8_t& sizeKnown)
{
    if (packageRequest_)
        packageRequest_->Reset(true);
    else
        packageRequest_ = std::make_unique<WsHttpRequest>(client_.swappName, client_.swappVersion);
    ReplacePackageFile();
    packageRequest_->SetBaseUrl(url);
    packageRequest_->SetStreaming(true, packageFile_);
    packageRequest_->Run(timeoutMs, false);
    return CheckDownload(progress, sizeKnown, kFirstLookMs);
}

uint32_t WsPackageJob::CheckDownload(double& progress, uint8_t& sizeKnown, uint32_t timeoutMs)
{
    const uint32_t status = packageRequest_->Check(timeoutMs);
    WsHttpProgress record;
    packageRequest_->GetProgress(record);
    sizeKnown = 0;
    progress = 0.0;
    if (record.totalBytes == 0)
        return status;
    sizeKnown = 1;
    const double fraction =
        static_cast<double>(record.bytesReceived) / static_cast<double>(record.totalBytes);
    progress = std::clamp(fraction, 0.0, 1.0);
    return status;
}

void WsPackageJob::CancelDownload()
{
    packageRequest_->Reset(true);
}

// Every download gets a new file, so a transfer never resumes a file of
// another URL; the previous package goes.
void WsPackageJob::ReplacePackageFile()
{
    if (!packageFile_.empty())
        DeleteFileW(packageFile_.c_str());
    WsString guid = NewGuidText();
    guid.erase(
        std::remove_if(guid.begin(), guid.end(), [](wchar_t c) { return c == L'{' || c == L'}'; }),
        guid.end());
    const WsString folder = TempFolder();
    if (folder.empty() || guid.empty())
        Raise(kStatusFileCreateFailed);
    packageFile_ = folder + L"korvel-" + guid + L".pkg";
}

} // namespace korvel
