#include "session/WsPackageJob.h"

#include "archive/ZipArchive.h"
#include "base/DirectoryTree.h"
#include "base/TempPath.h"
#include "base/TextUtils.h"
#include "base/WsStatus.h"
#include "http/ResumeValidator.h"
#include "session/PackageTrust.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace korvel {

namespace {

// How long a submit looks at its new transfer before it reports progress.
constexpr uint32_t kFirstLookMs = 50;

constexpr wchar_t kIdentityFile[] = L"pakord.id";
constexpr wchar_t kIdentitySection[] = L"Volume Id";
constexpr wchar_t kIdentityKey[] = L"ExePath";
// What the identity file reads as when the file, section or key is missing.
constexpr wchar_t kNotFound[] = L"Not Found";
constexpr DWORD kCommandChars = 520;
// GetPrivateProfileStringW reads the whole file into memory; an identity file is a few lines.
constexpr uint64_t kMaxIdentityBytes = 64 * 1024;

// Enough to wait for the installer and read its exit code.
constexpr DWORD kInstallerAccess = SYNCHRONIZE | PROCESS_QUERY_INFORMATION;
constexpr DWORD kExitUserCancelled = 1602;

// What is left of a wait of timeoutMs that began at start; INFINITE stays so.
uint32_t RemainingMs(uint32_t timeoutMs, ULONGLONG start)
{
    if (timeoutMs == INFINITE)
        return INFINITE;
    const ULONGLONG spent = GetTickCount64() - start;
    return spent >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - spent);
}

// The path with "." and ".." resolved and "/" turned into "\\"; empty when it cannot be.
WsString FullPath(const WsString& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return WsString();
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return WsString();
    full.resize(length);
    return WsString(std::move(full));
}

// A file that the library has written, opened so that nobody can write, replace or delete it while
// the handle is open; the platform can still read it and start it as a program.
FileHandle HoldAgainstWrites(const WsString& path)
{
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

uint32_t StatusOfExitCode(DWORD exitCode)
{
    if (exitCode == 0)
        return kStatusSuccess;
    return exitCode == kExitUserCancelled ? kStatusInstallCancelled : kStatusInstallFailed;
}

} // namespace

// The request is made with the job, so a job never exists without one.
WsPackageJob::WsPackageJob(const WsClientInfo& client,
                           const std::shared_ptr<ConnectionSet>& connections)
    : wrapperlibName_(client.wrapperlibName),
      packageRequest_(std::make_shared<WsHttpRequest>(client.swappName, client.swappVersion)),
      client_(client), connections_(connections)
{
    packageRequest_->UseConnections(connections_);
}

WsPackageJob::~WsPackageJob()
{
    packageRequest_.reset();
    RemovePackageFile();
}

uint32_t WsPackageJob::StartDownload(const WsString& url, uint32_t timeoutMs, double& progress,
                                     uint8_t& sizeKnown)
{
    packageRequest_->Reset(true);
    packageRequest_ = std::make_shared<WsHttpRequest>(client_.swappName, client_.swappVersion);
    packageRequest_->UseConnections(connections_);
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
    RemovePackageFile();
    WsString guid = NewGuidText();
    guid.erase(
        std::remove_if(guid.begin(), guid.end(), [](wchar_t c) { return c == L'{' || c == L'}'; }),
        guid.end());
    const WsString folder = TempFolder();
    if (folder.empty() || guid.empty())
        Raise(kStatusFileCreateFailed);
    packageFile_ = folder + L"korvel-" + guid + L".pkg";
}

// The transfer keeps the version of the package beside it; neither is needed
// once the package goes.
void WsPackageJob::RemovePackageFile()
{
    if (packageFile_.empty())
        return;
    DeleteFileW(packageFile_.c_str());
    RemoveResumeValidator(packageFile_);
}

uint32_t WsPackageJob::StartInstaller(uint32_t timeoutMs)
{
    // The package is there only once its download has been joined. A running
    // download is waited for, within the call's wait, and joined (a failed one
    // fails the install with its status); one that still runs after the wait
    // is waited for again by the next check.
    const ULONGLONG start = GetTickCount64();
    awaitingDownload_ = false;
    if (packageRequest_->IsRunning() && packageRequest_->Check(timeoutMs) == kStatusPending) {
        awaitingDownload_ = true;
        return kStatusPending;
    }
    // With publisher keys the package is held against writes and deletion from its check until
    // its installer has started, so the bytes extracted are the bytes checked.
    const std::optional<WsString> keys = PackageTrust::ReadKeysSetting(wrapperlibName_);
    FileHandle held;
    if (keys) {
        held = FileHandle(CreateFileW(PackagePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!held.IsOpen())
            return kStatusExtractFailed;
        if (PackageTrust(*keys).Check(held.Get()) != PackageTrust::Verdict::kTrusted)
            return kStatusPackageNotTrusted;
    }
    const uint32_t status = ExtractPackage();
    if (status != kStatusSuccess)
        return status;
    // The identity file and the program it names stay as extracted until the installer has
    // started: a process that rewrites them in the meantime gets a sharing violation.
    FileHandle identity = HoldAgainstWrites(extractFolder_ + kIdentityFile);
    WsString command;
    if (!identity.IsOpen() || !ReadInstallerCommand(command))
        return kStatusInstallFailed;
    WsString program;
    WsString quotedLine;
    const bool inside = ProgramInsidePackage(command, program, quotedLine);
    if (keys && !inside)
        return kStatusPackageNotTrusted;
    FileHandle installer = inside ? HoldAgainstWrites(program) : FileHandle();
    if (keys && !installer.IsOpen())
        return kStatusInstallFailed;
    // Without keys the command names the program relative to the package root and is not
    // quoted: a blank in the folder's path splits it. The program held is then the one that the
    // command's first word names, when it is there.
    const bool launched = keys ? LaunchInstaller(program, quotedLine)
                               : LaunchInstaller(WsString(), extractFolder_ + command);
    // Once started, the installer may change its own files, and its folder goes when it ends.
    identity.Close();
    installer.Close();
    if (!launched)
        return kStatusInstallFailed;
    return CheckInstaller(RemainingMs(timeoutMs, start));
}

// The process is opened by its id on each call, so every check sees the installer started last;
// the handle the job holds keeps that id and the exit code valid.
uint32_t WsPackageJob::CheckInstaller(uint32_t timeoutMs)
{
    if (awaitingDownload_)
        return StartInstaller(timeoutMs);
    if (installerProcessId_ == 0)
        return kStatusSuccess;
    const ProcessHandle process(OpenProcess(kInstallerAccess, FALSE, installerProcessId_));
    if (!process.IsOpen())
        return kStatusSuccess;
    if (WaitForSingleObject(process.Get(), timeoutMs) == WAIT_TIMEOUT)
        return kStatusPending;
    DWORD exitCode = 0;
    GetExitCodeProcess(process.Get(), &exitCode);
    // A folder that cannot go (a file still open) does not change the installer's outcome.
    RemoveDirectoryTree(extractFolder_);
    return StatusOfExitCode(exitCode);
}

// The response names the package file in the ANSI code page, which cannot spell every folder
// name; the job has the file's own wide name. An empty response means no package has arrived.
WsString WsPackageJob::PackagePath() const
{
    if (packageRequest_->GetResponse().empty())
        return WsString();
    return packageFile_;
}

// Every extraction gets a folder of its own, even when an earlier installer still runs in its
// folder. A failed extraction leaves nothing behind.
uint32_t WsPackageJob::ExtractPackage()
{
    ZipArchive archive;
    if (!archive.Open(PackagePath()))
        return kStatusExtractFailed;
    if (archive.DeclaredSize(kIdentityFile).value_or(0) > kMaxIdentityBytes)
        return kStatusInstallFailed;
    const WsString temp = TempFolder();
    const WsString guid = NewGuidText();
    if (temp.empty() || guid.empty())
        return kStatusExtractFailed;
    extractFolder_ = temp + guid + L"\\";
    if (archive.ExtractAll(extractFolder_))
        return kStatusSuccess;
    RemoveDirectoryTree(extractFolder_);
    return kStatusExtractFailed;
}

bool WsPackageJob::ReadInstallerCommand(WsString& command) const
{
    wchar_t text[kCommandChars] = {};
    GetPrivateProfileStringW(kIdentitySection, kIdentityKey, kNotFound, text, kCommandChars,
                             (extractFolder_ + kIdentityFile).c_str());
    command = text;
    return !EqualsNoCase(command, kNotFound);
}

// The program is the command's first word, or its quoted start, resolved below the extraction
// folder; the command line then names it quoted by its full path, so that the platform neither
// splits it at a blank nor looks for it anywhere else.
bool WsPackageJob::ProgramInsidePackage(const WsString& command, WsString& program,
                                        WsString& commandLine) const
{
    const bool quoted = !command.empty() && command.front() == L'"';
    const size_t end = quoted ? command.find(L'"', 1) : command.find_first_of(L" \t");
    if (quoted && end == WsString::npos)
        return false;
    const WsString name = quoted ? command.substr(1, end - 1) : command.substr(0, end);
    const WsString rest = end == WsString::npos ? WsString() : command.substr(end + quoted);
    if (name.empty() || name.find(L':') != WsString::npos)
        return false;
    const WsString folder = FullPath(extractFolder_);
    program = FullPath(extractFolder_ + name);
    if (folder.empty() || program.size() <= folder.size() ||
        !EqualsNoCase(program, folder, folder.size()))
        return false;
    commandLine = L"\"" + program + L"\"" + rest;
    return true;
}

bool WsPackageJob::LaunchInstaller(const WsString& program, const WsString& commandLine)
{
    // CreateProcessW may write into the command line.
    WsString line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(program.empty() ? nullptr : program.c_str(), line.data(), nullptr, nullptr,
                        FALSE, 0, nullptr, nullptr, &startup, &created))
        return false;
    installerProcess_ = ProcessHandle(created.hProcess);
    installerThread_ = ProcessHandle(created.hThread);
    installerProcessId_ = created.dwProcessId;
    return true;
}

} // namespace korvel
