// The connection and request steps of an HTTP session. The transaction that
// strings them together is in WsHttpTransfer.cpp.
#include "http/WsHttpSession.h"

#include "base/Registry.h"
#include "base/SrwLockGuard.h"
#include "base/WsStatus.h"
#include "http/HttpLog.h"
#include "http/NoticeGate.h"

namespace korvel {

namespace {

constexpr uint32_t kSecureFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                  INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                  SECURITY_FLAG_IGNORE_REVOCATION;
constexpr uint32_t kPlainFlags = INTERNET_FLAG_NO_CACHE_WRITE;
constexpr DWORD kPostBlockBytes = 16384;
constexpr DWORD kUrlPartChars = 2084;

// Orders Abort against the chain's coming and going. Constant-initialised
// and without a destructor: nothing of it runs at exit.
SRWLOCK abortLock = SRWLOCK_INIT;

// Settles, once per process and on the thread that starts a transaction,
// what a worker must not do itself: calls that take the loader lock. A worker
// blocked on that lock behind a FreeLibrary that waits for the worker would
// hang the host.
// - WinINet goes on working after a transaction has let go of its handles: it
//   completes operations an abort left pending and sends closing notices. It
//   must therefore stay loaded when this library is unloaded (it would
//   otherwise go with it, as nothing else may use it): once used, it stays
//   for the life of the process.
// - The gate that WinINet's notices pass through is made, or this library
//   pinned where the process refuses code made at run time.
// - WinINet and the libraries below it finish their own set-up on first use,
//   and some of it goes through the loader. Opening a set of handles with a
//   callback and a context, as a transaction's are (which sends nothing),
//   makes that first use here.
void SettleWinInet()
{
    static const bool settled = [] {
        HMODULE module = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"wininet.dll", &module);
        HandleContext* const context = HandleContext::Create();
        InternetHandle internet;
        internet.Reset(WinInet().InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                                               INTERNET_FLAG_ASYNC));
        WinInet().InternetSetStatusCallbackW(internet.Get(), NoticeGate::Open());
        InternetHandle connection;
        context->HandleExpected();
        connection.Reset(WinInet().InternetConnectW(internet.Get(), L"localhost",
                                                    INTERNET_DEFAULT_HTTP_PORT, nullptr, nullptr,
                                                    INTERNET_SERVICE_HTTP, 0, context->Context()));
        if (!connection.IsOpen())
            context->HandleNotMade();
        InternetHandle request;
        context->HandleExpected();
        request.Reset(WinInet().HttpOpenRequestW(connection.Get(), L"GET", L"/", nullptr, nullptr,
                                                 nullptr, INTERNET_FLAG_NO_CACHE_WRITE,
                                                 context->Context()));
        if (!request.IsOpen())
            context->HandleNotMade();
        request.Close();
        connection.Close();
        context->Release();
        return true;
    }();
    static_cast<void>(settled);
}

// The handle's security flags are partly WinINet's own: the revocation bit of
// the request's flags is added to them, never written in their place.
void IgnoreRevocation(const InternetHandle& request, uint32_t flags)
{
    DWORD security = 0;
    DWORD size = sizeof security;
    if (!WinInet().InternetQueryOptionW(request.Get(), INTERNET_OPTION_SECURITY_FLAGS, &security,
                                        &size))
        security = 0;
    request.SetDwordOption(INTERNET_OPTION_SECURITY_FLAGS,
                           security | (flags & SECURITY_FLAG_IGNORE_REVOCATION));
}

// What an answer's HTTP status means for the transaction; 0 lets it go on.
uint32_t StatusForHttpCode(DWORD code)
{
    switch (code) {
    case 200:
    case 206:
        return kStatusSuccess;
    case 300:
    case 500:
        return kStatusServerError;
    case 400:
    case 405:
    case 505:
        return kStatusBadRequest;
    case 401:
    case 403:
    case 410:
    case 502:
    case 503:
    case 504:
        return kStatusServerUnreachable;
    case 404:
        return kStatusNotFound;
    case 407:
        return kStatusProxyAuthRequired;
    case 408:
        return kStatusHttpTimeout;
    default:
        return kStatusUnexpectedHttpStatus;
    }
}

FileHandle OpenForReading(const WsString& path)
{
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

WsHttpSession::WsHttpSession() : connections_(std::make_shared<ConnectionSet>())
{
    progress_.status = kStatusTransferIdle;
    AcquireLog();
    LogLine(L"<WsHttpSession::WsHttpSession>");
}

WsHttpSession::~WsHttpSession()
{
    Close(kStatusTransferIdle);
    LogLine(L"</WsHttpSession::~WsHttpSession>");
    ReleaseLog();
}

bool WsHttpSession::IsSecureUrl(const WsString& url)
{
    return FindNoCase(url, L"https://") != WsString::npos;
}

uint32_t WsHttpSession::RequestFlags(const WsString& url)
{
    return IsSecureUrl(url) ? kSecureFlags : kPlainFlags;
}

WsString WsHttpSession::UserAgent() const
{
    WsString agent = L"QdWebServiceClient (vostrel 19.0.0;";
    for (const WsString& component : userAgentComponents_)
        agent += component + L";";
    return agent + L")";
}

void WsHttpSession::AddUserAgentComponent(const WsString& token)
{
    if (!token.empty())
        userAgentComponents_.push_back(token);
}

void WsHttpSession::SetStreamToFile(bool enable, const WsString& file, const WsString& checksum)
{
    LogLine(L"<WsHttpSession::SetStreamToFile>");
    streamToFile_ = enable;
    targetFile_ = file;
    expectedChecksum_ = checksum;
    if (enable) {
        LogLine(L"\tEnabled: Yes");
        LogLine(L"\tTarget file: " + file);
        LogLine(L"\tChecksum: " + checksum);
    } else {
        LogLine(L"\tEnabled: No");
    }
    LogLine(L"</WsHttpSession::SetStreamToFile>");
}

void WsHttpSession::SetStreamToFile(bool enable, const WsString& file)
{
    SetStreamToFile(enable, file, EmptyWsString());
}

void WsHttpSession::SetStreamToFile(bool enable)
{
    SetStreamToFile(enable, EmptyWsString(), EmptyWsString());
}

// Only the host and the path are asked for, so the query stays in the path.
bool WsHttpSession::CrackUrl(const WsString& url, WsString& host, WsString& path,
                             INTERNET_PORT& port)
{
    LogLine(L"<WsHttpSession::CrackUrl>");
    LogLine(L"\tURL: " + url);
    std::wstring hostBuffer(kUrlPartChars, L'\0');
    std::wstring pathBuffer(kUrlPartChars, L'\0');
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = hostBuffer.data();
    parts.dwHostNameLength = kUrlPartChars;
    parts.lpszUrlPath = pathBuffer.data();
    parts.dwUrlPathLength = kUrlPartChars;
    const bool cracked = WinInet().InternetCrackUrlW(url.c_str(), 0, 0, &parts);
    if (!cracked) {
        LogError(L"Failed to crack the URL: " + FormatLastError());
    } else {
        host.assign(hostBuffer.c_str(), parts.dwHostNameLength);
        LogLine(L"\tCracked host: " + host);
        path.assign(pathBuffer.c_str(), parts.dwUrlPathLength);
        LogLine(L"\tCracked URL: " + path);
        port = parts.nPort;
        LogLine(L"\tCracked port: " + Decimal(port));
    }
    LogLine(L"</WsHttpSession::CrackUrl>");
    return cracked;
}

// The internet root is the session's, opened with its first connection.
void WsHttpSession::OpenSession()
{
    LogLine(L"<WsHttpSession::OpenSession>");
    agent_ = UserAgent();
    LogLine(L"\tUserAgent: " + agent_);
    LogLine(L"</WsHttpSession::OpenSession>");
}

// The session's connection to the server, and a new context for the
// transaction's requests.
void WsHttpSession::OpenConnection(const WsString& host, INTERNET_PORT port)
{
    LogLine(L"<WsHttpSession::OpenConnection>");
    if (IsLogging()) {
        LogLine(L"\tHost: " + host);
        LogLine(L"\tPort: " + Decimal(port));
    }
    InternetConnection& connection = connections_->Get(agent_, host, port);
    HandleContext* chain = nullptr;
    try {
        chain = HandleContext::Create(&connection.Context());
    } catch (...) {
        connection.GiveBack();
        throw;
    }
    connection_ = &connection;
    {
        const SrwExclusiveLock lock(abortLock);
        chain_ = chain;
        if (aborted_)
            chain_->Interrupt();
    }
    LogLine(L"</WsHttpSession::OpenConnection>");
}

// Replaces the current request with a new one of the transaction's context;
// false when WinINet could not make it.
bool WsHttpSession::MakeRequest(const wchar_t* verb, const WsString& path, uint32_t flags)
{
    CloseRequest();
    chain_->HandleExpected();
    request_.Reset(WinInet().HttpOpenRequestW(connection_->Handle(), verb, path.c_str(), nullptr,
                                              nullptr, nullptr, flags, chain_->Context()));
    if (!request_.IsOpen())
        chain_->HandleNotMade();
    return request_.IsOpen();
}

void WsHttpSession::OpenRequest(const wchar_t* verb, const WsString& path, uint32_t flags)
{
    if (!MakeRequest(verb, path, flags)) {
        LogError(L"Could not open the request: " + FormatLastError());
        Raise(kStatusRequestOpenFailed);
    }
    // Some WinINet implementations take the time-outs only from the request
    // handle; the hour then bounds a stalled answer there too.
    request_.SetTransferTimeouts();
}

void WsHttpSession::AddRequestHeaders()
{
    const HINTERNET request = request_.Get();
    if (useCompression_ &&
        !WinInet().HttpAddRequestHeadersW(request, L"Accept-Encoding: gzip\r\n", DWORD(-1),
                                          HTTP_ADDREQ_FLAG_ADD_IF_NEW))
        LogError(L"Could not set encoding: " + FormatLastError());
    if (acceptTypes_ != 0) {
        if ((acceptTypes_ & kAcceptXml) == 0) {
            LogError(L"No Accept type set. Is an enum value not being handled?");
        } else if (!WinInet().HttpAddRequestHeadersW(request, L"Accept: application/xml\r\n",
                                                     DWORD(-1), HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
            LogError(L"Could not set Accept: " + FormatLastError());
        }
    }
    if (!apiKey_.empty()) {
        const WsString header = L"X-QD-API-KEY: " + apiKey_ + L"\r\n";
        if (!WinInet().HttpAddRequestHeadersW(request, header.c_str(), DWORD(-1), 0))
            LogError(L"Could not set API key: " + FormatLastError());
    }
    if (!bearerToken_.empty()) {
        const WsString header = L"Authorization: Bearer " + bearerToken_ + L"\r\n";
        if (!WinInet().HttpAddRequestHeadersW(request, header.c_str(), DWORD(-1), 0))
            LogError(L"Could not set token: " + FormatLastError());
    }
}

// A file written from an answer that named its version asks for the rest of
// that version only: If-Range makes the server send the whole body instead
// when its file has changed since.
void WsHttpSession::AddRangeHeader()
{
    LogLine(L"\tDetected partial file.  Requesting a data range in the header.");
    const WsString range = L"Range:bytes=" + std::to_wstring(progress_.bytesReceived) + L"-\r\n";
    WinInet().HttpAddRequestHeadersW(request_.Get(), range.c_str(), DWORD(-1),
                                     HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    if (heldValidator_.empty())
        return;
    LogLine(L"\tIf-Range: " + heldValidator_);
    const WsString ifRange = L"If-Range: " + heldValidator_ + L"\r\n";
    WinInet().HttpAddRequestHeadersW(request_.Get(), ifRange.c_str(), DWORD(-1),
                                     HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
}

void WsHttpSession::SendGetRequest(const WsString& path, uint32_t flags)
{
    LogLine(L"<WsHttpSession::SendGetRequest>");
    if (IsLogging()) {
        LogLine(L"\tURL: " + path);
        LogLine(L"\tFlags: " + Hex(flags));
    }
    OpenRequest(L"GET", path, flags);
    AddRequestHeaders();
    if (streamToFile_ && progress_.bytesReceived > 0)
        AddRangeHeader();
    const SendCall send = [this] {
        return WinInet().HttpSendRequestW(request_.Get(), nullptr, 0, nullptr, 0);
    };
    if (SendAndAwait(send) != ERROR_SUCCESS)
        RetryFailedSend(false, send, flags);
    LogLine(L"</WsHttpSession::SendGetRequest>");
}

// A text body goes out with the request line and headers in one call, so an
// abort can never leave a request without its body on a connection that
// WinINet might hand to the next request.
void WsHttpSession::SendPostRequest(const WsString& path, const WsString& postData, uint32_t flags)
{
    LogLine(L"<WsHttpSession::SendPostRequest>");
    if (IsLogging()) {
        LogLine(L"\tURL: " + path);
        LogLine(L"\tFlags: " + Hex(flags));
        LogLine(L"\t***POST DATA***");
        LogLine(postData);
    }
    OpenRequest(L"POST", path, flags);
    AddRequestHeaders();
    if (!postFile_.empty()) {
        SendPostFile(flags);
    } else {
        // The text's UTF-16 code units as they lie in memory, without a
        // terminator, held by the chain until the send has completed.
        const char* const bytes = reinterpret_cast<const char*>(postData.data());
        std::vector<char>& body = chain_->Body();
        body.assign(bytes, bytes + postData.size() * sizeof(wchar_t));
        const SendCall send = [this, &body] {
            return WinInet().HttpSendRequestW(request_.Get(), nullptr, 0, body.data(),
                                              static_cast<DWORD>(body.size()));
        };
        if (SendAndAwait(send) != ERROR_SUCCESS && !AnsweredWithProxyDemand(path, flags))
            RetryFailedSend(true, send, flags);
    }
    LogLine(L"</WsHttpSession::SendPostRequest>");
}

// A proxy that wants credentials may answer a POST before it has read the
// body and then close the connection with the body unread, which resets it:
// the send fails, and the answer is usually lost with the connection, since a
// reset discards what the client had not read yet. What the proxy said is
// taken from the request if it was read in time, and otherwise asked again
// with a HEAD of the same URL, which has no body to be cut off. A demand for
// credentials leaves its answer in the request, as if the POST had been
// answered with it; any other outcome leaves the send's failure as it was,
// with its error code as the last error.
bool WsHttpSession::AnsweredWithProxyDemand(const WsString& path, uint32_t flags)
{
    const DWORD error = GetLastError();
    const bool cut =
        error == ERROR_INTERNET_CONNECTION_ABORTED || error == ERROR_INTERNET_CONNECTION_RESET;
    const bool demanded = cut && !IsAborted() &&
                          (HttpStatus() == HTTP_STATUS_PROXY_AUTH_REQ ||
                           HeadStatus(path, flags) == HTTP_STATUS_PROXY_AUTH_REQ);
    if (demanded)
        LogLine(L"\tThe connection was cut while the request was sent: " + Hex(error) +
                L"; the proxy demands credentials.");
    SetLastError(error);
    return demanded;
}

// The HTTP status of a HEAD of the path, in place of the current request; 0
// when there is none.
DWORD WsHttpSession::HeadStatus(const WsString& path, uint32_t flags)
{
    CloseRequest();
    chain_->HandleExpected();
    request_.Reset(WinInet().HttpOpenRequestW(connection_->Handle(), L"HEAD", path.c_str(), nullptr,
                                              nullptr, nullptr, flags, chain_->Context()));
    if (!request_.IsOpen()) {
        chain_->HandleNotMade();
        return 0;
    }
    AddRequestHeaders();
    const SendCall send = [this] {
        return WinInet().HttpSendRequestW(request_.Get(), nullptr, 0, nullptr, 0);
    };
    if (SendAndAwait(send) != ERROR_SUCCESS)
        return 0;
    return HttpStatus();
}

// A file body is streamed: the request goes out with its length, then the
// file in blocks, then the request is ended.
void WsHttpSession::SendPostFile(uint32_t flags)
{
    INTERNET_BUFFERSW& buffers = chain_->SendRecord();
    buffers = {};
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = PostFileLength();
    const SendCall send = [this, &buffers] {
        return WinInet().HttpSendRequestExW(request_.Get(), &buffers, nullptr, 0,
                                            chain_->Context());
    };
    if (SendAndAwait(send) != ERROR_SUCCESS)
        RetryFailedSend(true, send, flags);
    try {
        LogLine(L"\tCalling InternetWriteFile");
        WritePostFile();
        LogLine(L"\tInternetWriteFile complete, calling HttpEndRequest");
        const DWORD ended = AwaitCall([this] {
            return WinInet().HttpEndRequestW(request_.Get(), nullptr, 0, chain_->Context());
        });
        if (ended != ERROR_SUCCESS) {
            LogLine(L"HttpEndRequest failed: " + FormatLastError());
            // The end may still be pending: nothing more is asked of the request.
            if (IsAborted())
                Raise(kStatusSendFailed);
        }
        LogLine(L"\tHttpEndRequest complete");
    } catch (WsStatus status) {
        // A server that refused the body usually said why in its status; an
        // aborted request may still have a call pending and is asked nothing.
        if (!IsAborted())
            CheckStatusCode(true);
        throw;
    }
}

DWORD WsHttpSession::PostFileLength() const
{
    FileHandle file = OpenForReading(postFile_);
    LARGE_INTEGER size = {};
    if (!file.IsOpen() || !GetFileSizeEx(file.Get(), &size)) {
        LogError(L"Failed to determine file size: " + FormatLastError());
        Raise(kStatusPostFileFailed);
    }
    return static_cast<DWORD>(size.QuadPart & 0xFFFFFFFF);
}

void WsHttpSession::WritePostFile()
{
    FileHandle file = OpenForReading(postFile_);
    if (!file.IsOpen())
        return;
    std::vector<char> block(kPostBlockBytes);
    DWORD read = 0;
    std::vector<char>& bytes = chain_->Body();
    while (ReadFile(file.Get(), block.data(), kPostBlockBytes, &read, nullptr) && read != 0) {
        // Held by the chain until the write has completed.
        bytes.assign(block.data(), block.data() + read);
        const auto write = [this, &bytes, read] {
            return WinInet().InternetWriteFile(request_.Get(), bytes.data(), read,
                                               &chain_->WrittenCount());
        };
        if (IsAborted() || AwaitCall(write) != ERROR_SUCCESS) {
            LogError(L"Failed to post the request data to the server: " + FormatLastError());
            Raise(kStatusPostFileFailed);
        }
    }
    // Sent in full: the next transaction does not post the file again.
    SetPostFile(EmptyWsString());
}

// After an abort nothing more is sent: a cancel that comes before the send
// leaves the server without a request.
DWORD WsHttpSession::SendAndAwait(const SendCall& send)
{
    if (IsAborted()) {
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return ERROR_INTERNET_OPERATION_CANCELLED;
    }
    return AwaitCall(send);
}

DWORD WsHttpSession::AwaitCall(const SendCall& call)
{
    return chain_->Await(call);
}

void WsHttpSession::RetryFailedSend(bool isPost, const SendCall& send, uint32_t flags)
{
    for (int retries = 0;; ++retries) {
        lastError_ = GetLastError();
        LogError(L"Failed to send the request: " + Hex(lastError_));
        switch (lastError_) {
        case ERROR_INTERNET_TIMEOUT:
            Raise(kStatusConnectTimeout);
        case ERROR_INTERNET_NAME_NOT_RESOLVED:
        case ERROR_INTERNET_CANNOT_CONNECT:
        case ERROR_INTERNET_CONNECTION_ABORTED:
        case ERROR_INTERNET_CONNECTION_RESET:
            Raise(kStatusServerUnreachable);
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
            Raise(kStatusCertDateInvalid);
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
            Raise(kStatusCertNameInvalid);
        case ERROR_INTERNET_SEC_CERT_NO_REV:
        case ERROR_INTERNET_SEC_CERT_REV_FAILED:
            break;
        case ERROR_HTTP_INVALID_HEADER:
            Raise(IsInternetExplorer8OrLater() ? kStatusSendFailed : kStatusTooLargeForBrowser8);
        default:
            Raise(isPost ? kStatusSendFailed : kStatusServerUnreachable);
        }
        // A revocation check that cannot be done is retried once without it.
        if (retries >= 1)
            Raise(kStatusRetryFailed);
        IgnoreRevocation(request_, flags);
        if (SendAndAwait(send) == ERROR_SUCCESS)
            return;
    }
}

// The answer's HTTP status; 0 (with the query's error as the last error) when
// it cannot be read.
DWORD WsHttpSession::HttpStatus()
{
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!WinInet().HttpQueryInfoW(request_.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                  &code, &size, nullptr))
        return 0;
    return code;
}

uint32_t WsHttpSession::CheckStatusCode(bool afterPostFailure)
{
    LogLine(L"<WsHttpSession::CheckStatusCode>");
    const DWORD code = HttpStatus();
    if (code == 0) {
        LogError(L"Failed to check the status code: " + FormatLastError());
        Raise(kStatusUnexpectedHttpStatus);
    }
    if (IsLogging())
        LogLine(L"\tStatus Code: " + Decimal(code));
    const uint32_t status = StatusForHttpCode(code);
    // Outside the recovery of a failed POST, a proxy's demand is answered by
    // asking the user, unless the session must stay silent.
    const bool mayAskUser = status == kStatusProxyAuthRequired && !afterPostFailure && !silent_;
    if (status != kStatusSuccess && !mayAskUser)
        Raise(static_cast<WsStatus>(status));
    LogLine(L"</WsHttpSession::CheckStatusCode>");
    return status;
}

bool WsHttpSession::AskForAuthentication()
{
    LogLine(L"<WsHttpSession::AskForAuthentication>");
    const HWND owner = parentWindow_ != nullptr ? parentWindow_ : GetDesktopWindow();
    const DWORD result = WinInet().InternetErrorDlg(owner, request_.Get(), 407,
                                                    FLAGS_ERROR_UI_FILTER_FOR_ERRORS |
                                                        FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                                        FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                                    nullptr);
    LogLine(L"\tAuthentication result: " + Hex(result));
    LogLine(L"</WsHttpSession::AskForAuthentication>");
    return result == ERROR_INTERNET_FORCE_RETRY;
}

void WsHttpSession::EvaluateInternetErrorCode(uint32_t error, uint32_t status)
{
    LogLine(L"<WsHttpSession::EvaluateInternetErrorCode>");
    LogLine(L"\tError Code: " + Decimal(error));
    if (error >= INTERNET_ERROR_BASE + 1 && error <= INTERNET_ERROR_BASE + 174)
        Raise(static_cast<WsStatus>(status));
    LogLine(L"</WsHttpSession::EvaluateInternetErrorCode>");
}

void WsHttpSession::Abort()
{
    LogLine(L"<WsHttpSession::Abort>");
    {
        const SrwExclusiveLock lock(abortLock);
        aborted_ = true;
        if (chain_ != nullptr)
            chain_->Interrupt();
    }
    LogLine(L"</WsHttpSession::Abort>");
}

void WsHttpSession::PrepareTransaction()
{
    SettleWinInet();
    InternetConnection::Sweep();
    aborted_ = false;
    progress_ = WsHttpProgress{};
    progress_.status = kStatusTransferStarted;
}

bool WsHttpSession::IsAborted() const
{
    return aborted_.load();
}

void WsHttpSession::Close(uint32_t status)
{
    LogLine(L"<WsHttpSession::Close>");
    lastError_ = 0;
    if (IsLogging())
        LogLine(L"\tStatus: " + Hex(status));
    file_.Close();
    if (chain_ != nullptr)
        EndChain();
    progress_.status = status;
    LogLine(L"</WsHttpSession::Close>");
}

// Closes a request, then lets go of its context: whoever holds it last.
struct WsHttpSession::EndingRequest {
    EndingRequest(InternetHandle&& handle, HandleContext* context)
        : request(std::move(handle)), chain(context)
    {
    }
    ~EndingRequest()
    {
        request.Close();
        chain->Release();
    }
    InternetHandle request;
    HandleContext* chain;
};

// A request is closed once no call of it is awaited; its context lives on
// until the request's closing notice.
void WsHttpSession::CloseRequest()
{
    request_.Close();
}

// The transaction lets go of its request and its context. An aborted request
// may hold an answer WinINet has not read to its end, and closing it can read
// the rest first; so it is closed after the owner has stopped waiting, by
// the worker, which owns it from here.
void WsHttpSession::EndChain()
{
    HandleContext* chain = nullptr;
    {
        const SrwExclusiveLock lock(abortLock);
        chain = std::exchange(chain_, nullptr);
    }
    std::exchange(connection_, nullptr)->GiveBack();
    auto ending = std::make_shared<EndingRequest>(std::move(request_), chain);
    if (aborted_ && ending->request.IsOpen())
        deferredClose_ = [ending]() mutable { ending.reset(); };
}

} // namespace korvel
