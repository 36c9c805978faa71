#include "base/WsLog.h"

#include "base/Registry.h"
#include "base/SrwLockGuard.h"

#include <cstdint>
#include <cwchar>
#include <memory>
#include <utility>

namespace korvel {

namespace {

const wchar_t* const LogHeader = L"WsHttp Library";
const wchar_t* const LogPathValueName = L"vostrellogging";

// The log is first acquired by constructors of static objects while the library loads, so this
// state must be ready before any dynamic initialisation: all three are constant-initialised and
// trivially destructible, so nothing of them runs at a process exit and they stay valid for the
// library's teardown at unload. Writers of lines hold the lock shared; creating and destroying
// the log hold it exclusively. Once the process exits, its other threads are gone and may have
// left the locks of the log held: calls made then, from the teardown of modules unloaded after
// this one, neither wait nor write.
SRWLOCK processLogLock = SRWLOCK_INIT;
WsLog* processLog = nullptr;
std::uint32_t processLogUsers = 0;

// Two-digit fields with fixed separators; a field group that cannot be printed stays empty.
WsString FormatTwoDigitFields(const wchar_t* format, unsigned first, unsigned second,
                              unsigned third)
{
    wchar_t buffer[16];
    const int length = _snwprintf(buffer, 16, format, first, second, third);
    if (length < 0 || length >= 16) {
        return WsString();
    }
    return WsString(buffer, static_cast<std::size_t>(length));
}

// Month first and a 24-hour clock whatever the user's locale settings say, so that every log
// reads the same.
WsString LocalTimeStamp()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    const WsString date =
        FormatTwoDigitFields(L"%02u/%02u/%02u", now.wMonth, now.wDay, now.wYear % 100u);
    const WsString time =
        FormatTwoDigitFields(L"%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
    return date + L" " + time;
}

std::unique_ptr<WsLog> CreateLogIfConfigured()
{
    const WsString& key = InternalTestingKeyPath();
    if (!RegistryKeyExists(key) || !RegistryValueExists(key, LogPathValueName)) {
        return nullptr;
    }
    WsString path;
    if (!ReadRegistryString(key, LogPathValueName, path)) {
        return nullptr;
    }
    auto log = std::make_unique<WsLog>(path);
    log->SetTimestamps(true);
    log->SetEnabled(true);
    log->SetSummary(true);
    log->OpenWithHeader(LogHeader, true);
    return log;
}

} // namespace

WsLog::WsLog(const WsString& path) : FileWriter(path)
{
}

void WsLog::OpenWithHeader(const WsString& header, bool append)
{
    Open(append);
    WriteText(header);
    WriteSeparator();
}

void WsLog::Close()
{
    if (summary_) {
        WriteSummary();
    }
    FileWriter::Close();
}

void WsLog::WriteLine(const WsString& message)
{
    if (timestamps_) {
        WriteText(L"[" + LocalTimeStamp() + L"]: " + message);
    } else {
        WriteText(message);
    }
}

void WsLog::WriteError(const WsString& message)
{
    WriteLine(L"**ERROR: " + message);
    const SrwExclusiveLock lock(errorsLock_);
    errors_.push_back(message);
}

void WsLog::WriteSeparator()
{
    WriteText(std::wstring(48, L'-'));
}

void WsLog::WriteSummary()
{
    WriteSeparator();
    WriteLine(L"***SUMMARY***");
    {
        const SrwExclusiveLock lock(errorsLock_);
        for (const WsString& error : errors_) {
            WriteLine(L"\t" + error);
        }
    }
    WriteSeparator();
}

void AcquireLog()
{
    const SrwExclusiveLock lock(processLogLock);
    if (processLog == nullptr) {
        processLog = CreateLogIfConfigured().release();
    }
    ++processLogUsers;
}

void ReleaseLog()
{
    const SrwExclusiveLock lock(processLogLock);
    // A release without a matching acquire must not wrap the count around.
    if (processLogUsers == 0) {
        return;
    }
    --processLogUsers;
    if (processLogUsers == 0 && processLog != nullptr) {
        const std::unique_ptr<WsLog> log(std::exchange(processLog, nullptr));
        log->Close();
    }
}

void LogLine(const WsString& message)
{
    const SrwSharedLock lock(processLogLock);
    if (processLog != nullptr && processLog->IsEnabled()) {
        processLog->WriteLine(message);
    }
}

void LogError(const WsString& message)
{
    const SrwSharedLock lock(processLogLock);
    if (processLog != nullptr && processLog->IsEnabled()) {
        processLog->WriteError(message);
    }
}

bool IsLogging()
{
    const SrwSharedLock lock(processLogLock);
    return processLog != nullptr && processLog->IsEnabled();
}

} // namespace korvel
