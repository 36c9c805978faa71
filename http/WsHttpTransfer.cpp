// One whole HTTP transaction: send, follow the answer into memory or into a
// file (resuming a partial one), decode gzip, verify a checksum.
#include "api/WsStatus.h"
#include "archive/Gzip.h"
#include "base/Registry.h"
#include "http/FileChecksum.h"
#include "http/HttpLog.h"
#include "http/WsHttpSession.h"

#include <cmath>
#include <limits>

namespace korvel {

namespace {

constexpr DWORD kReadBlockBytes = 16384;
constexpr uint64_t k2GiB = 0x80000000ull;
constexpr uint64_t k4GiB = 0x100000000ull;
// A body announced up to this size gets its memory at once; beyond it the
// announcement is not trusted with an allocation and the body grows as read.
constexpr uint64_t kMaxReservedBody = 256ull << 20;

bool FileStartsWithGzipMagic(const WsString& path)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    char magic[2] = {};
    DWORD read = 0;
    return file.IsOpen() && ReadFile(file.Get(), magic, sizeof magic, &read, nullptr) &&
           StartsWithGzipMagic(magic, read);
}

// The start offset of a "bytes A-B/N" Content-Range, if it has one.
bool ParseRangeStart(const WsString& contentRange, uint64_t& start)
{
    const size_t digits = contentRange.find_first_of(L"0123456789");
    const size_t dash = contentRange.find(L'-', digits);
    if (digits == WsString::npos || dash == WsString::npos || digits == dash)
        return false;
    return ParseUInt64(contentRange.substr(digits, dash - digits), start, 0);
}

} // namespace

void WsHttpSession::Submit(const WsString& url, const WsString& postData, std::string& response)
{
    LogLine(L"<WsHttpSession::Submit>");
    try {
        RunTransaction(url, postData, response);
    } catch (WsStatus status) {
        Close(status);
        throw;
    } catch (...) {
        LogError(L"\tSubmit failed for unknown reason.");
        Close(kStatusUnexpected);
        Raise(kStatusUnexpected);
    }
    LogLine(L"</WsHttpSession::Submit>");
}

void WsHttpSession::RunTransaction(const WsString& url, const WsString& postData,
                                   std::string& response)
{
    Close(kStatusTransferStarted);
    // Each transaction counts from 0, so no Range of an earlier one lingers.
    progress_ = WsHttpProgress{};
    progress_.status = kStatusTransferStarted;

    LogLine(L"\t[Submit]: Opening the session...");
    OpenSession();
    response.clear();
    LogLine(L"\t[Submit]: Cracking the URL...");
    WsString host;
    WsString path;
    INTERNET_PORT port = 0;
    if (!CrackUrl(url, host, path, port))
        Raise(kStatusBadUrl);
    LogLine(L"\t[Submit]: Opening the connection...");
    OpenConnection(host, port);
    const uint32_t flags = RequestFlags(url);
    LogLine(L"\t[Submit]: Sending the request...");
    SendUntilAuthenticated(path, postData, flags);
    LogLine(L"\t[Submit]: Getting total data size...");
    const bool lengthKnown = GetTotalDataSize();
    if (streamToFile_) {
        OpenTargetFile();
        if (progress_.bytesReceived != 0)
            PrepareResume(path, flags, lengthKnown);
    }
    LogLine(L"\t[Submit]: Checking the content type...");
    CheckContentType();

    if (!streamToFile_ && progress_.totalBytes <= kMaxReservedBody)
        response.reserve(static_cast<size_t>(progress_.totalBytes));

    lastTickMs_ = startTickMs_ = GetTickCount();
    const bool alreadyComplete =
        progress_.totalBytes != 0 && progress_.bytesReceived >= progress_.totalBytes;
    if (!alreadyComplete) {
        LogLine(L"\tStarting download...");
        ReadBody(response);
        if (!IsAborted())
            DecodeBody(response);
    }
    if (!IsAborted() && streamToFile_)
        FinishFile(url, response);
    Close(IsAborted() ? kStatusTransferIdle : kStatusTransferComplete);
}

void WsHttpSession::SendUntilAuthenticated(const WsString& path, const WsString& postData,
                                           uint32_t flags)
{
    for (;;) {
        if (!postData.empty() || !postFile_.empty())
            SendPostRequest(path, postData, flags);
        else
            SendGetRequest(path, flags);
        if (CheckStatusCode(false) != kStatusProxyAuthRequired)
            return;
        LogLine(L"\t[Submit]: Proxy authentication required...");
        if (!AskForAuthentication())
            Raise(kStatusProxyAuthRequired);
    }
}

// Others may read the growing file, and delete it: a transfer left to end
// on its own must not keep its file from being removed.
void WsHttpSession::OpenTargetHandle()
{
    file_ = FileHandle(CreateFileW(targetFile_.c_str(), FILE_WRITE_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsOpen())
        Raise(kStatusFileCreateFailed);
}

void WsHttpSession::OpenTargetFile()
{
    LogLine(L"\t[Submit]: Streaming to file enabled.  Creating file...");
    OpenTargetHandle();
    // A size that cannot be read counts as an empty file.
    uint64_t existing = 0;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file_.Get(), &size)) {
        existing = static_cast<uint64_t>(size.QuadPart);
        LogLine(L"\t[Submit]: File already exists: " + Decimal(existing));
        progress_.bytesReceived = existing;
        SetFilePointer(file_.Get(), 0, nullptr, FILE_END);
    }
    if (!HasEnoughDiskSpace(targetFile_, existing))
        Raise(kStatusDiskFull);
}

void WsHttpSession::RecreateTargetFile()
{
    file_.Close();
    DeleteFileW(targetFile_.c_str());
    OpenTargetHandle();
    progress_.bytesReceived = 0;
}

// A partial file is continued only where the server's answer provably
// continues it; in every other case the file is written again from byte 0.
void WsHttpSession::PrepareResume(const WsString& path, uint32_t flags, bool lengthKnown)
{
    if (!lengthKnown) {
        LogLine(L"\t[Submit]: Resume not available, so create new file.");
        RecreateTargetFile();
        return;
    }
    if (progress_.bytesReceived > progress_.totalBytes) {
        // Longer than the whole answer: not a part of it. The first answer,
        // still unread, is the whole body.
        LogLine(L"\t[Submit]: File is longer than the response, so create new file.");
        RecreateTargetFile();
        return;
    }
    if (progress_.bytesReceived == progress_.totalBytes)
        return;
    progress_.status = kStatusTransferResuming;
    LogLine(L"\t[Submit]: Resuming download with partial file...");
    ResubmitGetRequest(path, flags);

    DWORD code = 0;
    DWORD size = sizeof code;
    HttpQueryInfoW(request_.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                   nullptr);
    if (code == 200) {
        LogLine(L"\t[Submit]: The server ignored the range, so create new file.");
        RecreateTargetFile();
        GetTotalDataSize();
        return;
    }
    if (code != 206)
        Raise(kStatusProxyAuthRequired);
    WsString contentRange;
    uint64_t start = 0;
    if (!QueryHeader(HTTP_QUERY_CONTENT_RANGE, contentRange) ||
        !ParseRangeStart(contentRange, start) || start != progress_.bytesReceived) {
        LogLine(L"\t[Submit]: The range does not continue the file, so create new file.");
        RecreateTargetFile();
        RestartWholeBody(path, flags);
    }
}

void WsHttpSession::ResubmitGetRequest(const WsString& path, uint32_t flags)
{
    LogLine(L"<WsHttpSession::ResubmitGetRequest>");
    request_.Close();
    SendGetRequest(path, flags);
    CheckStatusCode(false);
    GetTotalDataSize();
    LogLine(L"</WsHttpSession::ResubmitGetRequest>");
}

// Asks again without a range: bytesReceived is 0, so no Range header goes out.
void WsHttpSession::RestartWholeBody(const WsString& path, uint32_t flags)
{
    request_.Close();
    SendGetRequest(path, flags);
    if (CheckStatusCode(false) != kStatusSuccess)
        Raise(kStatusProxyAuthRequired);
    GetTotalDataSize();
}

bool WsHttpSession::QueryHeader(DWORD query, WsString& value)
{
    DWORD size = 0;
    std::wstring buffer;
    // The header may grow between two queries of a live request; a few tries suffice.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (HttpQueryInfoW(request_.Get(), query, buffer.empty() ? nullptr : buffer.data(), &size,
                           nullptr)) {
            value.assign(buffer.c_str(), size / sizeof(wchar_t));
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return false;
        buffer.assign(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    }
    return false;
}

bool WsHttpSession::GetTotalDataSize()
{
    WsString text;
    uint64_t length = 0;
    const bool known = QueryHeader(HTTP_QUERY_CONTENT_LENGTH, text);
    if (known)
        ParseUInt64(text, length, 0);
    progress_.totalBytes = progress_.bytesReceived + length;
    if (IsLogging())
        LogLine(known ? L"Total data size: " + Decimal(length)
                      : WsString(L"Data size is unknown."));
    if (length >= k4GiB && !IsInternetExplorer8OrLater())
        Raise(kStatusTooLargeForBrowser8);
    if (length >= k2GiB && !IsInternetExplorer7OrLater())
        Raise(kStatusTooLargeForBrowser7);
    return known;
}

void WsHttpSession::CheckContentType()
{
    if (!streamToFile_)
        return;
    wchar_t type[260] = {};
    DWORD size = sizeof type;
    const bool found =
        HttpQueryInfoW(request_.Get(), HTTP_QUERY_CONTENT_TYPE, type, &size, nullptr);
    if (found && IsLogging())
        LogLine(WsString(L"\tContent Type: ") + type);
    if (!found || type[0] == L'\0') {
        LogError(L"Invalid content type.");
        Raise(kStatusBadContentType);
    }
}

void WsHttpSession::GetContentEncoding(WsString& encoding)
{
    if (!QueryHeader(HTTP_QUERY_CONTENT_ENCODING, encoding))
        encoding.clear();
}

void WsHttpSession::ReadBody(std::string& response)
{
    const uint64_t startReceived = progress_.bytesReceived;
    char block[kReadBlockBytes];
    for (;;) {
        DWORD read = 0;
        // Only this read's outcome may decide how the transfer ended.
        SetLastError(ERROR_SUCCESS);
        if (!InternetReadFile(request_.Get(), block, sizeof block, &read) || read == 0)
            break;
        progress_.status = kStatusTransferReceiving;
        progress_.bytesReceived += read;
        if (streamToFile_) {
            DWORD written = 0;
            if (file_.IsOpen() && !WriteFile(file_.Get(), block, read, &written, nullptr)) {
                const DWORD error = GetLastError();
                if (error == ERROR_HANDLE_DISK_FULL || error == ERROR_DISK_FULL)
                    Raise(kStatusDiskFull);
            }
        } else {
            response.append(block, read);
        }
        AccountBlock(read, startReceived);
    }
    lastError_ = GetLastError();
    // An aborted read ends the transaction quietly, whatever the read reported.
    if (!IsAborted())
        CheckReadOutcome();
}

void WsHttpSession::AccountBlock(uint32_t bytes, uint64_t startReceived)
{
    const uint32_t now = GetTickCount();
    const uint32_t sinceLast = now - lastTickMs_;
    lastTickMs_ = now;
    progress_.elapsedMs += sinceLast;
    progress_.currentRate = static_cast<double>(bytes) / (sinceLast == 0 ? 1 : sinceLast);
    const double seconds = (now - startTickMs_) / 1000.0;
    progress_.averageRate = static_cast<double>(progress_.bytesReceived - startReceived) / seconds;
    // Nothing is left to estimate while the total is unknown or reached.
    if (progress_.totalBytes <= progress_.bytesReceived) {
        progress_.secondsRemaining = 0;
        return;
    }
    const double remaining =
        static_cast<double>(progress_.totalBytes - progress_.bytesReceived) / progress_.averageRate;
    progress_.secondsRemaining = remaining >= std::numeric_limits<uint32_t>::max()
                                     ? std::numeric_limits<uint32_t>::max()
                                     : static_cast<uint32_t>(remaining);
}

void WsHttpSession::CheckReadOutcome()
{
    if (IsLogging())
        LogLine(L"\tDownload complete.  Time elapsed: " + Decimal(progress_.elapsedMs));
    if (lastError_ != ERROR_INSUFFICIENT_BUFFER) {
        EvaluateInternetErrorCode(lastError_, kStatusServerUnreachable);
        if (lastError_ != ERROR_SUCCESS)
            Raise(kStatusReceiveFailed);
    }
    // A connection closed mid-body reads like a normal end: only the
    // announced length tells.
    if (progress_.bytesReceived < progress_.totalBytes) {
        LogError(L"\tConnection error detected.  Response is incomplete.");
        Raise(kStatusServerUnreachable);
    }
}

// A body is decoded only when it really is gzip: the platform may already
// have decoded it while still naming the encoding.
void WsHttpSession::DecodeBody(std::string& response)
{
    WsString encoding;
    GetContentEncoding(encoding);
    if (encoding.empty())
        return;
    if (!EqualsNoCase(encoding, L"gzip")) {
        LogError(L"Unsupported content encoding on response: " + encoding);
        return;
    }
    if (streamToFile_) {
        file_.Close();
        if (!FileStartsWithGzipMagic(targetFile_))
            return;
        // The received file stays as it is unless the decoded one is whole.
        const WsString decodedFile = targetFile_ + L".temp";
        if (!GunzipFile(targetFile_, decodedFile)) {
            DeleteFileW(decodedFile.c_str());
            Raise(kStatusReceiveFailed);
        }
        MoveFileExW(decodedFile.c_str(), targetFile_.c_str(), MOVEFILE_REPLACE_EXISTING);
        return;
    }
    if (response.size() > std::numeric_limits<uint32_t>::max()) {
        LogError(L"Response data size too large to uncompress.");
        return;
    }
    if (!StartsWithGzipMagic(response.data(), response.size()))
        return;
    std::string decoded;
    if (!GunzipBuffer(response, decoded))
        Raise(kStatusReceiveFailed);
    response.assign(decoded.c_str());
}

void WsHttpSession::FinishFile(const WsString& url, std::string& response)
{
    if (!expectedChecksum_.empty()) {
        file_.Close();
        progress_.bytesVerified = 0;
        progress_.status = kStatusTransferVerifying;
        if (ComputeFileChecksum(targetFile_, progress_.bytesVerified) != expectedChecksum_)
            Raise(kStatusChecksumMismatch);
    }
    DeleteUrlCacheEntryW(url.c_str());
    ToNarrow(targetFile_.c_str(), response);
}

} // namespace korvel
