#pragma once

#include "base/KernelHandle.h"
#include "http/WsHttpRequest.h"
#include "packet/WsClientInfo.h"

#include <cstdint>
#include <memory>

namespace korvel {

// A session's package download and its install. The body goes to a file of
// its own in the user's temporary folder, so the request's response is that
// file's path; the install extracts that file into a new folder and runs the
// installer its identity file names. When the host names publisher keys in
// the registry, only a package signed by one of them is extracted, and only a
// program inside it is started.
class WsPackageJob {
public:
    WsPackageJob(const WsClientInfo& client, const std::shared_ptr<ConnectionSet>& connections);
    ~WsPackageJob();
    WsPackageJob(const WsPackageJob&) = delete;
    WsPackageJob& operator=(const WsPackageJob&) = delete;

    uint32_t StartDownload(const WsString& url, uint32_t timeoutMs, double& progress,
                           uint8_t& sizeKnown);
    uint32_t CheckDownload(double& progress, uint8_t& sizeKnown, uint32_t timeoutMs);
    void CancelDownload();
    // Tells the download to stop without waiting for it.
    void AbortDownload() { packageRequest_->Cancel(false); }

    // Each call extracts the package anew and starts its installer, then waits for it as
    // CheckInstaller does; the download and the installer share the one wait of timeoutMs. A
    // download that still runs after it gives kStatusPending without touching the package, and
    // the next check starts the install once the download has ended. Before anything is
    // written, an identity file declared larger than 64 KiB gives kStatusInstallFailed and an
    // archive that ZipArchive::ExtractAll refuses gives kStatusExtractFailed; an extraction that
    // fails later removes its folder. The folder is its owner's alone, and the identity file and
    // the program it names are held against writes and deletion until the installer has started.
    uint32_t StartInstaller(uint32_t timeoutMs);
    // The outcome of the last installer started: kStatusPending while it (or the download it
    // waits for) runs, its mapped exit code once it has ended (the extracted folder is then
    // removed), 0 when there is none.
    uint32_t CheckInstaller(uint32_t timeoutMs);

private:
    void ReplacePackageFile();
    void RemovePackageFile();
    WsString PackagePath() const;
    uint32_t ExtractPackage();
    bool ReadInstallerCommand(WsString& command) const;
    bool ProgramInsidePackage(const WsString& command, WsString& program,
                              WsString& commandLine) const;
    bool LaunchInstaller(const WsString& program, const WsString& commandLine);

    // The registry key of the wrapper library's own settings.
    const WsString wrapperlibName_;
    uint32_t installerProcessId_ = 0;
    // An install was asked for while the download still ran.
    bool awaitingDownload_ = false;
    // Ends with a backslash once a package has been extracted.
    WsString extractFolder_;
    // Replaced by each download; shared with waits that a nested call may outlast.
    std::shared_ptr<WsHttpRequest> packageRequest_;
    WsClientInfo client_;
    std::shared_ptr<ConnectionSet> connections_;
    WsString packageFile_;
    // Held so that the installer's process object, with its id and exit code, outlives the
    // installer for every later check.
    ProcessHandle installerProcess_;
    ProcessHandle installerThread_;
};

} // namespace korvel
