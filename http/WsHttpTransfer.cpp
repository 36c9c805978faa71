// One whole HTTP transaction: send, follow the answer into memory or into a
// file (resuming a partial one), decode gzip, verify a checksum.
#include "archive/Gzip.h"
#include "base/Registry.h"
#include "base/WsStatus.h"
#include "http/FileChecksum.h"
#include "http/HttpLog.h"
#include "http/WsHttpSession.h"

#include <limits>

namespace korvel {

namespace {

// The largest block one read hands over; a read takes what has arrived, up to this.
constexpr DWORD kReadBlockBytes = 1 << 20;
constexpr DWORD kFirstReadBlockBytes = 16 << 10;
constexpr uint64_t k2GiB = 0x80000000ull;
constexpr uint64_t k4GiB = 0x100000000ull;
// A body announced up to this size gets its memory at once; beyond it the
// announcement is not trusted with an allocation and the body grows as read.
constexpr uint64_t kMaxReservedBody = 256ull << 20;

constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpPartialContent = 206;
constexpr DWORD kHttpRangeNotSatisfiable = 416;

// The start offset of a "bytes A-B/N" Content-Range, if it has one.
bool ParseRangeStart(const WsString& contentRange, uint64_t& start)
{
    const size_t digits = contentRange.find_first_of(L"0123456789");
    const size_t dash = contentRange.find(L'-', digits);
    if (digits == WsString::npos || dash == WsString::npos || digits == dash)
        return false;
    return ParseUInt64(contentRange.substr(digits, dash - digits), start, 0);
}

// The complete length N of a "bytes */N" (or "bytes A-B/N") Content-Range.
bool ParseCompleteLength(const WsString& contentRange, uint64_t& length)
{
    const size_t slash = contentRange.rfind(L'/');
    return slash != WsString::npos && ParseUInt64(contentRange.substr(slash + 1), length, 0);
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
    partialSize_ = 0;
    filePlan_ = FilePlan::kRewrite;
    truncatePending_ = false;

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
    if (streamToFile_)
        MeasurePartialFile();
    LogLine(L"\t[Submit]: Sending the request...");
    SendUntilAuthenticated(path, postData, flags);
    LogLine(L"\t[Submit]: Getting total data size...");
    const bool lengthKnown = filePlan_ == FilePlan::kHeld || GetTotalDataSize();
    if (streamToFile_)
        OpenTargetFile();
    LogLine(L"\t[Submit]: Checking the content type...");
    // A file that is already whole takes nothing from the answer.
    if (filePlan_ != FilePlan::kHeld)
        CheckContentType();

    if (!streamToFile_ && progress_.totalBytes <= kMaxReservedBody)
        response.reserve(static_cast<size_t>(progress_.totalBytes));

    lastTickMs_ = startTickMs_ = GetTickCount();
    // Without a length, a continued file tells nothing about how much is left.
    const bool alreadyComplete =
        lengthKnown && progress_.totalBytes != 0 && progress_.bytesReceived >= progress_.totalBytes;
    if (!alreadyComplete) {
        LogLine(L"\tStarting download...");
        ReadBody(response, lengthKnown);
        if (!IsAborted())
            DecodeBody(response);
    }
    if (!IsAborted() && streamToFile_)
        FinishFile(url, response);
    Close(IsAborted() ? kStatusTransferIdle : kStatusTransferComplete);
}

// A partial file makes the request ask for the rest of the body only (Range
// from the file's size); its bytes stay until the answer says what they are.
void WsHttpSession::MeasurePartialFile()
{
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (GetFileAttributesExW(targetFile_.c_str(), GetFileExInfoStandard, &attributes) &&
        (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        partialSize_ =
            (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    progress_.bytesReceived = partialSize_;
    if (partialSize_ != 0) {
        progress_.status = kStatusTransferResuming;
        LogLine(L"\t[Submit]: Resuming download with partial file...");
    }
}

void WsHttpSession::SendUntilAuthenticated(const WsString& path, const WsString& postData,
                                           uint32_t flags)
{
    for (;;) {
        const bool isPost = !postData.empty() || !postFile_.empty();
        const bool ranged = !isPost && streamToFile_ && progress_.bytesReceived > 0;
        if (isPost)
            SendPostRequest(path, postData, flags);
        else
            SendGetRequest(path, flags);
        if (ranged) {
            const RangeOutcome outcome = PlanFromRangedAnswer();
            if (outcome == RangeOutcome::kAskAgain)
                continue;
            if (outcome == RangeOutcome::kFileComplete)
                return;
        }
        if (CheckStatusCode(false) != kStatusProxyAuthRequired)
            return;
        LogLine(L"\t[Submit]: Proxy authentication required...");
        if (!AskForAuthentication())
            Raise(kStatusProxyAuthRequired);
    }
}

// The answer to a ranged GET decides what the partial file's bytes are: the
// start of the body (206 from the file's size), the whole body already (416
// naming the file's size as the length, or a 200 of that length), or nothing
// of it (any other 200, 206 or 416). In the last case the body is written
// from byte 0, and only a 200 brings that body: a refused or misplaced range
// is asked for again without a Range header. Other statuses are left to the
// status mapping.
WsHttpSession::RangeOutcome WsHttpSession::PlanFromRangedAnswer()
{
    const DWORD status = HttpStatus();
    WsString header;
    uint64_t value = 0;
    switch (status) {
    case kHttpPartialContent:
        if (QueryHeader(HTTP_QUERY_CONTENT_RANGE, header) && ParseRangeStart(header, value) &&
            value == partialSize_) {
            filePlan_ = FilePlan::kAppend;
            return RangeOutcome::kProceed;
        }
        LogLine(L"\t[Submit]: The range does not continue the file, so create new file.");
        break;
    case kHttpRangeNotSatisfiable:
        if (QueryHeader(HTTP_QUERY_CONTENT_RANGE, header) && ParseCompleteLength(header, value) &&
            value == partialSize_) {
            HoldCompleteFile();
            return RangeOutcome::kFileComplete;
        }
        LogLine(L"\t[Submit]: File is longer than the response, so create new file.");
        break;
    case kHttpOk:
        if (QueryHeader(HTTP_QUERY_CONTENT_LENGTH, header) && ParseUInt64(header, value, 0) &&
            value == partialSize_) {
            HoldCompleteFile();
            return RangeOutcome::kProceed;
        }
        LogLine(L"\t[Submit]: Resume not available, so create new file.");
        StartFromByteZero();
        return RangeOutcome::kProceed;
    default:
        return RangeOutcome::kProceed;
    }
    StartFromByteZero();
    request_.DetachCallback();
    request_.CloseInBackground();
    return RangeOutcome::kAskAgain;
}

void WsHttpSession::HoldCompleteFile()
{
    LogLine(L"\t[Submit]: File is already complete.");
    filePlan_ = FilePlan::kHeld;
    progress_.bytesReceived = partialSize_;
    progress_.totalBytes = partialSize_;
}

// The counters start again from 0; the file's bytes stay until the first
// byte of the new body arrives.
void WsHttpSession::StartFromByteZero()
{
    filePlan_ = FilePlan::kRewrite;
    progress_.bytesReceived = 0;
}

void WsHttpSession::OpenTargetFile()
{
    LogLine(L"\t[Submit]: Streaming to file enabled.  Creating file...");
    file_ = FileHandle(CreateFileW(targetFile_.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsOpen())
        Raise(kStatusFileCreateFailed);
    // A size that cannot be read counts as an empty file.
    uint64_t existing = 0;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file_.Get(), &size)) {
        existing = static_cast<uint64_t>(size.QuadPart);
        LogLine(L"\t[Submit]: File already exists: " + Decimal(existing));
    }
    if (filePlan_ == FilePlan::kAppend) {
        LARGE_INTEGER end = {};
        end.QuadPart = static_cast<LONGLONG>(partialSize_);
        SetFilePointerEx(file_.Get(), end, nullptr, FILE_BEGIN);
    }
    truncatePending_ = filePlan_ == FilePlan::kRewrite && existing != 0;
    if (!HasEnoughDiskSpace(targetFile_, existing))
        Raise(kStatusDiskFull);
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

// Reads start with a small block and double it whenever a read fills it, up
// to 1 MiB: a small answer costs little memory, a fast one gets large reads.
void WsHttpSession::ReadBody(std::string& response, bool lengthKnown)
{
    const uint64_t startReceived = progress_.bytesReceived;
    DWORD blockBytes = kFirstReadBlockBytes;
    DWORD read = 0;
    DWORD error = ERROR_SUCCESS;
    while ((error = ReadAvailable(ReadBuffer(blockBytes), blockBytes, read)) == ERROR_SUCCESS &&
           read != 0) {
        progress_.status = kStatusTransferReceiving;
        progress_.bytesReceived += read;
        StoreBlock(readBuffer_.get(), read, response);
        AccountBlock(read, startReceived);
        if (read == blockBytes && blockBytes < kReadBlockBytes)
            blockBytes *= 2;
    }
    lastError_ = error;
    answerRead_ = error == ERROR_SUCCESS;
    CheckReadOutcome(lengthKnown, progress_.bytesReceived - startReceived);
}

// The session's read buffer, at least the given size. Left uninitialised: a
// page of it is touched only when data lands there.
char* WsHttpSession::ReadBuffer(DWORD bytes)
{
    if (readBufferBytes_ < bytes) {
        readBuffer_.reset(new char[bytes]);
        readBufferBytes_ = bytes;
    }
    return readBuffer_.get();
}

// Takes what has arrived, up to size bytes, and waits (for data or the abort)
// only when nothing has. The wait is on a read that was told not to wait for
// data: left pending by an abort, it fills nothing of ours, since WinINet hands
// the data to the next read instead. read is 0 at the end of the body.
DWORD WsHttpSession::ReadAvailable(char* block, DWORD size, DWORD& read)
{
    read = 0;
    for (;;) {
        if (IsAborted()) {
            SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
            return ERROR_INTERNET_OPERATION_CANCELLED;
        }
        INTERNET_BUFFERSA buffers = {};
        buffers.dwStructSize = sizeof buffers;
        buffers.lpvBuffer = block;
        buffers.dwBufferLength = size;
        if (InternetReadFileExA(request_.Get(), &buffers, IRF_ASYNC | IRF_NO_WAIT,
                                completion_.Context())) {
            read = buffers.dwBufferLength;
            SetLastError(ERROR_SUCCESS);
            return ERROR_SUCCESS;
        }
        const DWORD outcome = AwaitCall(FALSE);
        if (outcome != ERROR_SUCCESS)
            return outcome;
    }
}

void WsHttpSession::StoreBlock(const char* block, DWORD size, std::string& response)
{
    if (!streamToFile_) {
        response.append(block, size);
        return;
    }
    if (truncatePending_)
        TruncateHeldBytes();
    DWORD written = 0;
    if (file_.IsOpen() && !WriteFile(file_.Get(), block, size, &written, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_DISK_FULL || error == ERROR_DISK_FULL)
            Raise(kStatusDiskFull);
    }
}

// The new body replaces the file's old bytes from byte 0. A file that cannot
// be cut would end as new bytes followed by old ones, so that fails the transfer.
void WsHttpSession::TruncateHeldBytes()
{
    truncatePending_ = false;
    const LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file_.Get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.Get()))
        Raise(kStatusFileCreateFailed);
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

// A read cut short by an abort fails like any other read that failed.
void WsHttpSession::CheckReadOutcome(bool lengthKnown, uint64_t bodyBytes)
{
    if (IsLogging())
        LogLine(L"\tDownload complete.  Time elapsed: " + Decimal(progress_.elapsedMs));
    if (lastError_ != ERROR_INSUFFICIENT_BUFFER) {
        EvaluateInternetErrorCode(lastError_, kStatusServerUnreachable);
        if (lastError_ != ERROR_SUCCESS)
            Raise(kStatusReceiveFailed);
    }
    if (IsAborted())
        return;
    // A connection closed mid-body reads like a normal end: only the announced
    // length tells. Without one, a file answer that brought no byte at all is
    // taken for an answer cut inside its headers, never for an empty file.
    const bool cutShort = progress_.bytesReceived < progress_.totalBytes;
    const bool nothingUnannounced = streamToFile_ && !lengthKnown && bodyBytes == 0;
    if (cutShort || nothingUnannounced) {
        LogError(L"\tConnection error detected.  Response is incomplete.");
        Raise(kStatusServerUnreachable);
    }
}

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
        DecodeFile();
        return;
    }
    if (response.size() > std::numeric_limits<uint32_t>::max()) {
        LogError(L"Response data size too large to uncompress.");
        return;
    }
    std::string decoded;
    if (!GunzipBuffer(response, decoded))
        Raise(kStatusReceiveFailed);
    response.assign(decoded.c_str());
}

// The received file stays as it is unless the decoded one is whole; an abort
// stops the decoding between blocks.
void WsHttpSession::DecodeFile()
{
    file_.Close();
    const WsString decodedFile = targetFile_ + L".temp";
    if (!GunzipFile(targetFile_, decodedFile, [this] { return !IsAborted(); })) {
        DeleteFileW(decodedFile.c_str());
        if (IsAborted())
            return;
        Raise(kStatusReceiveFailed);
    }
    MoveFileExW(decodedFile.c_str(), targetFile_.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void WsHttpSession::FinishFile(const WsString& url, std::string& response)
{
    // A complete body of no bytes still replaces what the file held.
    if (truncatePending_)
        TruncateHeldBytes();
    if (!expectedChecksum_.empty()) {
        file_.Close();
        progress_.bytesVerified = 0;
        progress_.status = kStatusTransferVerifying;
        const WsString digest = ComputeFileChecksum(targetFile_, progress_.bytesVerified,
                                                    [this] { return !IsAborted(); });
        if (IsAborted())
            return;
        if (digest != expectedChecksum_)
            Raise(kStatusChecksumMismatch);
    }
    DeleteUrlCacheEntryW(url.c_str());
    ToNarrow(targetFile_.c_str(), response);
}

} // namespace korvel
