// One whole HTTP transaction: send, follow the answer into memory or into a
// file (resuming a partial one), decode gzip, verify a checksum.
#include "archive/Gzip.h"
#include "base/Registry.h"
#include "base/WsStatus.h"
#include "http/FileChecksum.h"
#include "http/HttpLog.h"
#include "http/ResumeValidator.h"
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
// No real answer decodes to this much; a body that would is kept as it came.
constexpr size_t kMaxDecodedBody = 64u << 20;

constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpPartialContent = 206;
constexpr DWORD kHttpRangeNotSatisfiable = 416;

// A decimal number that fits 64 bits, and nothing else.
bool ParseDecimal(const WsString& text, uint64_t& value)
{
    if (text.empty() || text.size() > 20)
        return false;
    value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

// The three numbers of a "bytes A-B/N" Content-Range; false for any other form.
struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t complete = 0;
};
bool ParseByteRange(const WsString& contentRange, ByteRange& range)
{
    const WsString unit = L"bytes ";
    if (!EqualsNoCase(contentRange, unit, unit.size()))
        return false;
    const size_t dash = contentRange.find(L'-', unit.size());
    const size_t slash = contentRange.find(L'/', unit.size());
    if (dash == WsString::npos || slash == WsString::npos || slash < dash)
        return false;
    return ParseDecimal(contentRange.substr(unit.size(), dash - unit.size()), range.first) &&
           ParseDecimal(contentRange.substr(dash + 1, slash - dash - 1), range.last) &&
           ParseDecimal(contentRange.substr(slash + 1), range.complete);
}

// The complete length N of a "bytes */N" (or "bytes A-B/N") Content-Range.
bool ParseCompleteLength(const WsString& contentRange, uint64_t& length)
{
    const size_t slash = contentRange.rfind(L'/');
    return slash != WsString::npos && ParseDecimal(contentRange.substr(slash + 1), length);
}

// The target for writing, from byte 0, alongside programs that hold it open
// for reading and writing.
FileHandle OpenSharedForWriting(const WsString& path)
{
    return FileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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
    // The record is replaced whole: a host reading it meanwhile never sees a
    // state of 0, which would read as a finished transfer.
    WsHttpProgress fresh;
    fresh.status = kStatusTransferStarted;
    progress_ = fresh;
    partialSize_ = 0;
    filePlan_ = FilePlan::kRewrite;
    truncatePending_ = false;
    heldValidator_.clear();
    answerValidator_.clear();
    validatorPending_ = false;

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
    bool lengthKnown = filePlan_ == FilePlan::kHeld || GetTotalDataSize();
    // A continuation's end is known from its range, with or without a length.
    if (filePlan_ == FilePlan::kAppend) {
        progress_.totalBytes = rangeCompleteLength_;
        lengthKnown = true;
    }
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
        heldValidator_ = ReadResumeValidator(targetFile_);
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
// start of the body (a 206 that continues the file exactly), the whole body
// already (a 416 naming the file's size as the length, or, for a file without
// a validator, a 200 of that length), or nothing of it (anything else). In the
// last case the body is written from byte 0, and only a 200 brings that body:
// a refused, misplaced or inconsistent range is asked for again without a
// Range header. An answer that names another version than the file's is never
// taken as a part of it. Other statuses are left to the status mapping.
WsHttpSession::RangeOutcome WsHttpSession::PlanFromRangedAnswer()
{
    const DWORD status = HttpStatus();
    WsString header;
    uint64_t value = 0;
    switch (status) {
    case kHttpPartialContent:
        if (AnswerIsHeldVersion() && ContinuesFile()) {
            filePlan_ = FilePlan::kAppend;
            return RangeOutcome::kProceed;
        }
        LogLine(L"\t[Submit]: The range does not continue the file, so create new file.");
        break;
    case kHttpRangeNotSatisfiable:
        if (AnswerIsHeldVersion() && QueryHeader(HTTP_QUERY_CONTENT_RANGE, header) &&
            ParseCompleteLength(header, value) && value == partialSize_) {
            HoldCompleteFile();
            return RangeOutcome::kFileComplete;
        }
        LogLine(L"\t[Submit]: File is longer than the response, so create new file.");
        break;
    case kHttpOk:
        // With a validator, a 200 is the server's answer to a changed file.
        if (heldValidator_.empty() && QueryHeader(HTTP_QUERY_CONTENT_LENGTH, header) &&
            ParseDecimal(header, value) && value == partialSize_) {
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
    CloseRequest();
    return RangeOutcome::kAskAgain;
}

// A 206 continues the file only when it starts at the file's end and runs to
// the body's last byte, and its length says the same: a shorter range or one
// past the end would leave a file that looks whole and is not.
bool WsHttpSession::ContinuesFile()
{
    WsString header;
    ByteRange range;
    if (!QueryHeader(HTTP_QUERY_CONTENT_RANGE, header) || !ParseByteRange(header, range))
        return false;
    if (range.first != partialSize_ || range.last < range.first || range.last != range.complete - 1)
        return false;
    uint64_t length = 0;
    if (QueryHeader(HTTP_QUERY_CONTENT_LENGTH, header) &&
        (!ParseDecimal(header, length) || length != range.last - range.first + 1))
        return false;
    rangeCompleteLength_ = range.complete;
    return true;
}

// True unless the answer names a version other than the one the file was
// written from: the same kind of validator is compared, an ETag with an ETag
// and a date with a date. An answer that names none cannot be told apart.
bool WsHttpSession::AnswerIsHeldVersion()
{
    if (heldValidator_.empty())
        return true;
    const bool isTag = heldValidator_.front() == L'"';
    WsString named;
    if (!QueryHeader(isTag ? HTTP_QUERY_ETAG : HTTP_QUERY_LAST_MODIFIED, named))
        return true;
    return named == heldValidator_;
}

// What an If-Range can name of the answer's version: its ETag when it is a
// strong one (a weak one may not be used there), else its Last-Modified date.
WsString WsHttpSession::AnswerValidator()
{
    WsString validator;
    if (QueryHeader(HTTP_QUERY_ETAG, validator) && !validator.empty() && validator.front() == L'"')
        return validator;
    if (QueryHeader(HTTP_QUERY_LAST_MODIFIED, validator))
        return validator;
    return WsString();
}

// The file's record of its version changes only when the file itself does:
// with the first byte of the new answer, or at its end for an empty one.
void WsHttpSession::RecordAnswerValidator()
{
    validatorPending_ = false;
    RaiseUnlessWritten(WriteResumeValidator(targetFile_, answerValidator_, *reserve_));
}

// A block the file did not take whole ends the transfer; what it holds
// before that block stays for a resume.
void WsHttpSession::RaiseUnlessWritten(WriteOutcome outcome)
{
    if (outcome == WriteOutcome::kWritten)
        return;
    if (outcome == WriteOutcome::kVolumeFull) {
        LogError(L"\t[Submit]: The volume keeps its reserve; the download stops.");
        Raise(kStatusDiskFull);
    }
    LogError(L"\t[Submit]: Could not write the target file: " + FormatLastError());
    Raise(kStatusFileCreateFailed);
}

void WsHttpSession::HoldCompleteFile()
{
    LogLine(L"\t[Submit]: File is already complete.");
    filePlan_ = FilePlan::kHeld;
    validatorPending_ = false;
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
    if (filePlan_ != FilePlan::kHeld) {
        answerValidator_ = AnswerValidator();
        // A continuation that names no version is still of the file's own.
        if (answerValidator_.empty() && filePlan_ == FilePlan::kAppend)
            answerValidator_ = heldValidator_;
        validatorPending_ = true;
    }
    if (!HasEnoughDiskSpace(targetFile_, existing))
        Raise(kStatusDiskFull);
    reserve_.emplace(targetFile_);
}

bool WsHttpSession::QueryHeader(DWORD query, WsString& value)
{
    DWORD size = 0;
    std::wstring buffer;
    // The header may grow between two queries of a live request; a few tries suffice.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (WinInet().HttpQueryInfoW(request_.Get(), query,
                                     buffer.empty() ? nullptr : buffer.data(), &size, nullptr)) {
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
    // Text too long for 64 bits reads as the largest number; no real body is that long.
    if (length == std::numeric_limits<uint64_t>::max() ||
        length > std::numeric_limits<uint64_t>::max() - progress_.bytesReceived) {
        LogError(L"The announced length cannot be held: " + text);
        Raise(kStatusServerUnreachable);
    }
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
        WinInet().HttpQueryInfoW(request_.Get(), HTTP_QUERY_CONTENT_TYPE, type, &size, nullptr);
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
    char* block = nullptr;
    while ((error = ReadAvailable(block = chain_->ReadBuffer(blockBytes), blockBytes, read)) ==
               ERROR_SUCCESS &&
           read != 0) {
        progress_.status = kStatusTransferReceiving;
        progress_.bytesReceived += read;
        StoreBlock(block, read, response);
        AccountBlock(read, startReceived);
        if (read == blockBytes && blockBytes < kReadBlockBytes)
            blockBytes *= 2;
    }
    lastError_ = error;
    CheckReadOutcome(lengthKnown, progress_.bytesReceived - startReceived);
}

// Takes what has arrived, up to size bytes, and waits (for data or the abort)
// only when nothing has. A read told not to wait for data that goes pending
// fills nothing when it completes: the next read takes what arrived. Its
// record and buffer are the chain's, which outlives any call an abort leaves
// pending. read is 0 at the end of the body.
DWORD WsHttpSession::ReadAvailable(char* block, DWORD size, DWORD& read)
{
    read = 0;
    for (;;) {
        if (IsAborted()) {
            SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
            return ERROR_INTERNET_OPERATION_CANCELLED;
        }
        INTERNET_BUFFERSA& record = chain_->ReadRecord();
        record = {};
        record.dwStructSize = sizeof record;
        record.lpvBuffer = block;
        record.dwBufferLength = size;
        BOOL atOnce = FALSE;
        const DWORD outcome = AwaitCall([this, &record, &atOnce] {
            atOnce = WinInet().InternetReadFileExA(request_.Get(), &record, IRF_ASYNC | IRF_NO_WAIT,
                                                   chain_->Context());
            return atOnce;
        });
        if (outcome != ERROR_SUCCESS)
            return outcome;
        if (atOnce) {
            read = record.dwBufferLength;
            return ERROR_SUCCESS;
        }
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
    if (validatorPending_)
        RecordAnswerValidator();
    if (file_.IsOpen())
        RaiseUnlessWritten(reserve_->Write(file_.Get(), block, size));
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
    const bool cutShort = progress_.bytesReceived < progress_.totalBytes ||
                          (lengthKnown && progress_.bytesReceived > progress_.totalBytes);
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
    const GunzipResult result = GunzipBuffer(response, decoded, kMaxDecodedBody);
    if (result == GunzipResult::kTooLarge) {
        LogError(L"Response data size too large to uncompress.");
        return;
    }
    if (result != GunzipResult::kDecoded)
        Raise(kStatusReceiveFailed);
    response.assign(decoded.c_str());
}

// The received file is replaced by the decoded one only when that is whole;
// an abort stops the decoding between blocks, the volume's reserve at a
// block it would not take. Bytes that were not decoded are no part of any
// file: left on disk at their full length, they would later pass for a whole
// file, so they go.
void WsHttpSession::DecodeFile()
{
    file_.Close();
    validatorPending_ = false;
    const WsString decodedFile = targetFile_ + L".temp";
    const GunzipResult result =
        GunzipFile(targetFile_, decodedFile, [this] { return !IsAborted(); });
    if (result != GunzipResult::kDecoded) {
        DeleteFileW(decodedFile.c_str());
        ClearTarget();
        if (IsAborted())
            return;
        if (result == GunzipResult::kVolumeFull) {
            LogError(L"\t[Submit]: The decoded body would take the volume's reserve.");
            Raise(kStatusDiskFull);
        }
        Raise(result == GunzipResult::kFileFailed ? kStatusFileCreateFailed : kStatusReceiveFailed);
    }
    // The validator named the encoded bytes; the file now holds others.
    RemoveResumeValidator(targetFile_);
    const WriteOutcome replaced =
        MoveFileExW(decodedFile.c_str(), targetFile_.c_str(), MOVEFILE_REPLACE_EXISTING)
            ? WriteOutcome::kWritten
            : CopyInto(decodedFile, targetFile_);
    DeleteFileW(decodedFile.c_str());
    if (replaced != WriteOutcome::kWritten) {
        LogError(L"The target could not take the decoded body: " + FormatLastError());
        ClearTarget();
        Raise(replaced == WriteOutcome::kVolumeFull ? kStatusDiskFull : kStatusFileCreateFailed);
    }
}

// A target that another program holds open may refuse to be replaced and
// still let others write it: the decoded bytes are then written into it.
WriteOutcome WsHttpSession::CopyInto(const WsString& source, const WsString& target)
{
    FileHandle from(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FileHandle to = OpenSharedForWriting(target);
    if (!from.IsOpen() || !to.IsOpen())
        return WriteOutcome::kFailed;
    VolumeReserve reserve(target);
    char* block = chain_->ReadBuffer(kReadBlockBytes);
    DWORD read = 0;
    // Every pass reads at least one byte or returns, so the source's end ends the loop.
    while (ReadFile(from.Get(), block, kReadBlockBytes, &read, nullptr)) {
        if (read == 0)
            return SetEndOfFile(to.Get()) ? WriteOutcome::kWritten : WriteOutcome::kFailed;
        const WriteOutcome outcome = reserve.Write(to.Get(), block, read);
        if (outcome != WriteOutcome::kWritten)
            return outcome;
    }
    return WriteOutcome::kFailed;
}

// Empties the target, and removes it where it may be removed.
void WsHttpSession::ClearTarget()
{
    RemoveResumeValidator(targetFile_);
    if (!DeleteFileW(targetFile_.c_str()))
        SetEndOfFile(OpenSharedForWriting(targetFile_).Get());
}

void WsHttpSession::FinishFile(const WsString& url, std::string& response)
{
    // A complete body of no bytes still replaces what the file held.
    if (truncatePending_)
        TruncateHeldBytes();
    if (validatorPending_)
        RecordAnswerValidator();
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
    WinInet().DeleteUrlCacheEntryW(url.c_str());
    ToNarrow(targetFile_.c_str(), response);
}

} // namespace korvel
