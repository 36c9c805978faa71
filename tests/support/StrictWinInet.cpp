#include "tests/support/StrictWinInet.h"
#include "tests/support/ImportPatch.h"

#include <wininet.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <utility>

namespace korvel::test {

namespace {

// What a success carries in dwError: that field means something on failure only.
constexpr DWORD kSuccessNoise = 0x0BADF00D;

// Microsoft's page says a callback cannot be changed while calls or notices
// of its handle are pending, and leaves open how WinINet shows it: with
// INTERNET_INVALID_STATUS_CALLBACK, or with the previous callback, which then
// goes on being called until HANDLE_CLOSING.
bool RefusesChange()
{
    static const bool refuses = [] {
        char value[16] = {};
        GetEnvironmentVariableA("KORVEL_STRICT_REMOVAL", value, sizeof value);
        if (*value != '\0' && std::strcmp(value, "accept") != 0 &&
            std::strcmp(value, "refuse") != 0)
            std::abort();
        return std::strcmp(value, "refuse") == 0;
    }();
    return refuses;
}

// Seeded anew in every run and thread, so that runs take different paths.
int Random(int low, int high)
{
    thread_local std::mt19937 random = [] {
        LARGE_INTEGER now = {};
        QueryPerformanceCounter(&now);
        return std::mt19937(static_cast<unsigned>(now.QuadPart ^ GetCurrentThreadId()));
    }();
    return std::uniform_int_distribution<int>(low, high)(random);
}

// A notice with its lpvStatusInformation; no bytes stand for NULL.
struct Notice {
    DWORD status;
    std::string information;
};

template <class T> Notice With(DWORD status, const T& value)
{
    return {status, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}

Notice Text(DWORD status, const std::wstring& text)
{
    return {status, std::string(reinterpret_cast<const char*>(text.c_str()),
                                (text.size() + 1) * sizeof(wchar_t))};
}

// The server's SOCKADDR_IN (AF_INET, the port in network order, 127.0.0.1):
// the layer serves local tests.
Notice Address(DWORD status, INTERNET_PORT port)
{
    const BYTE address[16] = {2, 0, BYTE(port >> 8), BYTE(port), 127, 0, 0, 1};
    return With(status, address);
}

enum class State { kRunning, kReady, kDelivering, kDone };

struct Image {
    ULONG_PTR begin;
    ULONG_PTR end;
    bool unloaded;
};

struct Handle;

// A call that may go asynchronous. The real call works on the layer's own
// copies; the caller's memory is watched until the completion.
struct Op {
    Handle* handle = nullptr;
    std::function<BOOL(HINTERNET)> call;
    // Into the caller's memory at the completion, whatever its outcome.
    std::function<void(bool succeeded)> results;
    std::vector<std::pair<const void*, std::string>> watched;
    std::vector<Notice> notices; // before the completion
    bool answered = false;       // a RESPONSE_RECEIVED follows the real call
    DWORD received = 0;          // its count
    BOOL ok = FALSE;
    DWORD error = 0;
    State state = State::kRunning;
    bool cancelled = false;
};

struct Handle {
    Handle(const char* kind, HINTERNET real, Handle* parent, DWORD_PTR context)
        : kind(kind), real(real), parent(parent), root(parent ? parent->root : this),
          context(context)
    {
    }
    const char* kind;
    HINTERNET real;
    Handle* parent;
    Handle* root; // its chain's: the queue its real handles are made and closed on
    DWORD_PTR context;
    INTERNET_STATUS_CALLBACK callback = nullptr;
    int image = -1;      // of the korvel.dll the callback lies in; -1 outside any
    bool pinned = false; // a change was accepted while busy: the callback stays
    std::wstring server; // a connection's
    INTERNET_PORT port = 0;
    bool sent = false; // a request that went to its server
    bool closed = false;
    bool reported = false;
    bool closing = false; // HANDLE_CLOSING is on its way
    bool gone = false;    // and has returned (or there was none to send)
    std::vector<Handle*> children;
    std::shared_ptr<Op> pending; // until the library is told it completed
    int delivering = 0;          // notices on their way
    std::string readAhead;       // what a read that waited brought
    bool ended = false;
    int realCalls = 0; // running on the real handle
    bool realCloseQueued = false;
    bool realClosed = false;
    std::deque<std::function<void()>> queue; // a root's
    bool draining = false;
};

// Lives in the test program and survives every unload of the library; never
// destroyed, as layer threads may outlive the tests.
struct Layer {
    SRWLOCK lock = SRWLOCK_INIT;
    std::set<Handle*> handles;
    std::map<std::string, int> violations;
    bool heapReported = false;
    // The korvel.dll images the tests loaded, by address, under a lock of
    // their own (the loader's notice of an unload takes it).
    SRWLOCK imagesLock = SRWLOCK_INIT;
    std::vector<Image> images;
};

Layer& L()
{
    static Layer* const layer = new Layer;
    return *layer;
}

// The layer's lock. Work that must not run under it (starting threads, which
// may wait for the loader) is handed to Later and runs once it is released.
class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&L().lock); }
    ~Locked()
    {
        ReleaseSRWLockExclusive(&L().lock);
        for (const auto& work : later_)
            work();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    void Later(std::function<void()> work) { later_.push_back(std::move(work)); }

private:
    std::vector<std::function<void()>> later_;
};

// Said at once as well: a breach may crash the process before the report.
void Violation(Locked&, const std::string& what)
{
    if (L().violations[what]++ == 0)
        std::fprintf(stderr, "strict WinINet: %s\n", what.c_str());
}

// A notice whose callback lies in a korvel.dll image that has left the
// process would crash a host. A callback elsewhere (a stub of the library's
// own) is called, unloaded library or not.
int LoadedImageHolding(const void* code)
{
    const auto address = reinterpret_cast<ULONG_PTR>(code);
    int found = -1;
    AcquireSRWLockShared(&L().imagesLock);
    for (size_t i = 0; i < L().images.size(); ++i)
        if (!L().images[i].unloaded && address >= L().images[i].begin &&
            address < L().images[i].end)
            found = int(i);
    ReleaseSRWLockShared(&L().imagesLock);
    return found;
}

bool Unloaded(int image)
{
    AcquireSRWLockShared(&L().imagesLock);
    const bool unloaded = image >= 0 && L().images[image].unloaded;
    ReleaseSRWLockShared(&L().imagesLock);
    return unloaded;
}

// Whether every page of the range is committed and open to the access, so
// that a record the library freed cannot crash the layer.
bool Accessible(const void* where, size_t bytes, DWORD protections)
{
    const auto* at = static_cast<const BYTE*>(where);
    for (const BYTE* const end = at + bytes; at < end;) {
        MEMORY_BASIC_INFORMATION region = {};
        if (VirtualQuery(at, &region, sizeof region) == 0 || region.State != MEM_COMMIT ||
            (region.Protect & PAGE_GUARD) != 0 || (region.Protect & protections) == 0)
            return false;
        at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

constexpr DWORD kWritable =
    PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kReadable = kWritable | PAGE_READONLY | PAGE_EXECUTE_READ;
constexpr DWORD kExecutable =
    PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// Writes into the caller's memory as WinINet does at a completion.
void Put(void* where, const void* from, size_t bytes, const char* what)
{
    if (bytes == 0)
        return;
    if (!Accessible(where, bytes, kWritable)) {
        Locked lock;
        return Violation(lock, std::string("the ") + what + " a completion writes was freed");
    }
    std::memcpy(where, from, bytes);
}

std::string NoticeName(DWORD status)
{
#define KORVEL_NOTICE(name) std::make_pair(INTERNET_STATUS_##name, #name)
    static const std::map<DWORD, const char*> names = {
        KORVEL_NOTICE(RESOLVING_NAME),       KORVEL_NOTICE(NAME_RESOLVED),
        KORVEL_NOTICE(CONNECTING_TO_SERVER), KORVEL_NOTICE(CONNECTED_TO_SERVER),
        KORVEL_NOTICE(SENDING_REQUEST),      KORVEL_NOTICE(REQUEST_SENT),
        KORVEL_NOTICE(RECEIVING_RESPONSE),   KORVEL_NOTICE(RESPONSE_RECEIVED),
        KORVEL_NOTICE(CLOSING_CONNECTION),   KORVEL_NOTICE(CONNECTION_CLOSED),
        KORVEL_NOTICE(HANDLE_CREATED),       KORVEL_NOTICE(HANDLE_CLOSING),
        KORVEL_NOTICE(REQUEST_COMPLETE)};
#undef KORVEL_NOTICE
    return names.at(status);
}

template <class Work> void OnLayerThread(Work work)
{
    const auto run = [](PTP_CALLBACK_INSTANCE, void* context) {
        std::unique_ptr<Work>(static_cast<Work*>(context))->operator()();
    };
    if (!TrySubmitThreadpoolCallback(run, new Work(std::move(work)), nullptr))
        std::abort();
}

// The handle behind a value the library passed; null (a violation, and
// ERROR_INVALID_HANDLE) for one it closed or never had.
Handle* Use(Locked& lock, HINTERNET value, const char* call)
{
    auto* handle = static_cast<Handle*>(value);
    const bool known = L().handles.count(handle) != 0;
    if (known && !handle->closed)
        return handle;
    Violation(lock,
              std::string(call) + (known ? " on a handle after closing it" : " on a stray handle"));
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

// A call of the handle or of one made from it that the library has not seen
// complete; with notices, anything it has still to hear of them.
bool Pending(const Handle* handle, bool orNotices)
{
    return handle->pending || (orNotices && handle->delivering != 0) ||
           std::any_of(handle->children.begin(), handle->children.end(),
                       [orNotices](const Handle* child) { return Pending(child, orNotices); });
}

// Runs the chain's real makes and closes one at a time: WinINet links and
// unlinks a handle in its parent's list of children without a lock.
void Serially(Locked& lock, Handle* root, std::function<void()> work)
{
    root->queue.push_back(std::move(work));
    if (std::exchange(root->draining, true))
        return;
    lock.Later([root] {
        OnLayerThread([root] {
            for (;;) {
                std::function<void()> next;
                {
                    Locked drained;
                    if (root->queue.empty()) {
                        root->draining = false;
                        return;
                    }
                    next = std::move(root->queue.front());
                    root->queue.pop_front();
                }
                next();
            }
        });
    });
}

// The real handle goes once the library closed it, no real call runs on it
// and those made from it are gone: children before parents.
void RealCloseDue(Locked& lock, Handle* handle)
{
    if (!handle->closed || handle->realCloseQueued || handle->realCalls != 0 ||
        std::any_of(handle->children.begin(), handle->children.end(),
                    [](const Handle* child) { return !child->realClosed; }))
        return;
    handle->realCloseQueued = true;
    Serially(lock, handle->root, [handle] {
        InternetCloseHandle(handle->real);
        Locked closed;
        handle->realClosed = true;
        if (handle->parent != nullptr)
            RealCloseDue(closed, handle->parent);
    });
}

// Calls the library's callback, unless the code it points at has gone.
void Notify(Handle* handle, DWORD status, void* information, DWORD length)
{
    INTERNET_STATUS_CALLBACK callback = nullptr;
    {
        Locked lock;
        callback = handle->callback;
        const std::string notice = NoticeName(status) + " of a " + handle->kind;
        if (callback == nullptr || handle->context == 0) {
            if (status == INTERNET_STATUS_REQUEST_COMPLETE)
                Violation(lock, notice + " could not be delivered: no callback or no context");
            return;
        }
        if (Unloaded(handle->image))
            return Violation(lock,
                             notice + " came after korvel.dll was unloaded: a host would crash");
        if (!Accessible(reinterpret_cast<const void*>(callback), 1, kExecutable))
            return Violation(lock, notice + " found its callback gone: a host would crash");
    }
    callback(handle, handle->context, status, information, length);
}

void SendClosing(Handle* handle);

// HANDLE_CLOSING may go once nothing of the handle is pending, none of its
// other notices is on its way, and every child has had its own.
bool ClaimClosing(const Locked&, Handle* handle)
{
    if (!handle->closed || handle->closing || Pending(handle, true) ||
        std::any_of(handle->children.begin(), handle->children.end(),
                    [](const Handle* child) { return !child->gone; }))
        return false;
    handle->closing = true;
    return true;
}

void ClosingDue(Locked& lock, Handle* handle)
{
    if (ClaimClosing(lock, handle))
        lock.Later([handle] { OnLayerThread([handle] { SendClosing(handle); }); });
}

// One notice, counted as on its way meanwhile; with an operation, only while
// no completion of it has been claimed.
bool Say(Handle* handle, const Notice& notice, const Op* whileRunning = nullptr)
{
    {
        Locked lock;
        if (whileRunning != nullptr && whileRunning->state != State::kRunning &&
            whileRunning->state != State::kReady)
            return false;
        ++handle->delivering;
    }
    std::string information = notice.information;
    Notify(handle, notice.status, information.empty() ? nullptr : information.data(),
           DWORD(information.size()));
    Locked lock;
    --handle->delivering;
    ClosingDue(lock, handle);
    return true;
}

void SendClosing(Handle* handle)
{
    if (handle->sent) {
        Say(handle, {INTERNET_STATUS_CLOSING_CONNECTION, {}});
        Say(handle, {INTERNET_STATUS_CONNECTION_CLOSED, {}});
    }
    HINTERNET value = handle;
    Notify(handle, INTERNET_STATUS_HANDLE_CLOSING, &value, sizeof value);
    Locked lock;
    handle->gone = true;
    if (handle->parent != nullptr)
        ClosingDue(lock, handle->parent);
}

// Takes an operation for delivery; false when another thread has.
bool Claim(const Locked&, Op& op)
{
    if (op.state == State::kDelivering || op.state == State::kDone)
        return false;
    op.state = State::kDelivering;
    ++op.handle->delivering;
    op.handle->pending.reset();
    return true;
}

// Memory of the caller's that changed since the call was freed or reused; a
// completion still writes into it, as WinINet would, so that a heap check
// sees the damage.
void WriteResults(Op& op, bool succeeded)
{
    bool freed = false;
    bool changed = false;
    for (const auto& [where, bytes] : op.watched) {
        if (!Accessible(where, bytes.size(), kReadable))
            freed = true;
        else if (std::memcmp(where, bytes.data(), bytes.size()) != 0)
            changed = true;
    }
    if (freed || changed) {
        Locked lock;
        Violation(lock, std::string("a record or buffer of a call on a ") + op.handle->kind +
                            (freed ? " was freed" : " changed") + " before its completion");
    }
    if (!freed && op.results)
        op.results(succeeded);
}

void Complete(const std::shared_ptr<Op>& op)
{
    const bool succeeded = op->ok && !op->cancelled;
    WriteResults(*op, succeeded);
    INTERNET_ASYNC_RESULT result = {};
    result.dwResult = succeeded;
    result.dwError = op->cancelled ? ERROR_INTERNET_OPERATION_CANCELLED
                     : succeeded   ? kSuccessNoise
                                   : op->error;
    Notify(op->handle, INTERNET_STATUS_REQUEST_COMPLETE, &result, sizeof result);
    Locked lock;
    op->state = State::kDone;
    --op->handle->delivering;
    ClosingDue(lock, op->handle);
}

// The real call, on a layer thread and the layer's synchronous handle, then
// the notices the caller's thread did not get, then the completion.
void Run(const std::shared_ptr<Op>& op)
{
    Handle* const handle = op->handle;
    op->ok = op->call(handle->real);
    op->error = op->ok ? ERROR_SUCCESS : GetLastError();
    {
        Locked lock;
        --handle->realCalls;
        RealCloseDue(lock, handle);
        if (op->state != State::kRunning)
            return; // a close ended it first
        op->state = State::kReady;
    }
    if (op->ok && op->answered)
        op->notices.push_back(With(INTERNET_STATUS_RESPONSE_RECEIVED, op->received));
    for (const Notice& notice : op->notices)
        if (!Say(handle, notice, op.get()))
            return;
    if (Random(0, 7) == 0)
        Sleep(Random(1, 30));
    {
        Locked lock;
        if (!Claim(lock, *op))
            return;
    }
    Complete(op);
}

// Holds the handle's real one for a call on the caller's thread.
Handle* Begin(HINTERNET value, const char* name)
{
    Locked lock;
    Handle* handle = Use(lock, value, name);
    if (handle == nullptr)
        return nullptr;
    // Calls on a request are made in order, each after the previous completed.
    if (handle->pending) {
        Violation(lock,
                  std::string(name) + " while a call on the " + handle->kind + " was pending");
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return nullptr;
    }
    ++handle->realCalls;
    return handle;
}

void End(Handle* handle)
{
    const DWORD error = GetLastError();
    {
        Locked lock;
        --handle->realCalls;
        RealCloseDue(lock, handle);
    }
    SetLastError(error);
}

// What a call tells of its way to the server and back.
enum class Talk { kNone, kSend, kSendOnly, kReceive };

std::vector<Notice> Notices(const Handle& request, Talk talk, DWORD sentBytes)
{
    std::vector<Notice> notices;
    if (talk == Talk::kSend || talk == Talk::kSendOnly) {
        const Handle& connection = *request.parent;
        notices = {Text(INTERNET_STATUS_RESOLVING_NAME, connection.server),
                   Text(INTERNET_STATUS_NAME_RESOLVED, connection.server),
                   Address(INTERNET_STATUS_CONNECTING_TO_SERVER, connection.port),
                   Address(INTERNET_STATUS_CONNECTED_TO_SERVER, connection.port),
                   {INTERNET_STATUS_SENDING_REQUEST, {}},
                   With(INTERNET_STATUS_REQUEST_SENT, sentBytes)};
    }
    if (talk == Talk::kSend || talk == Talk::kReceive)
        notices.push_back({INTERNET_STATUS_RECEIVING_RESPONSE, {}});
    return notices;
}

BOOL Start(HINTERNET value, const char* name, const std::shared_ptr<Op>& op, Talk talk,
           DWORD sentBytes = 0)
{
    Handle* handle = Begin(value, name);
    if (handle == nullptr)
        return FALSE;
    {
        Locked lock;
        op->handle = handle;
        op->notices = Notices(*handle, talk, sentBytes);
        op->answered = talk == Talk::kSend || talk == Talk::kReceive;
        handle->sent = handle->sent || talk == Talk::kSend || talk == Talk::kSendOnly;
        handle->pending = op;
    }
    const size_t here = Random(0, int(op->notices.size()));
    for (size_t i = 0; i < here; ++i)
        Say(op->handle, op->notices[i], op.get());
    op->notices.erase(op->notices.begin(), op->notices.begin() + here);
    OnLayerThread([op] { Run(op); });
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

// Watches the caller's bytes and returns the layer's copy of them.
std::string Watch(Op& op, const void* where, size_t bytes)
{
    if (where == nullptr)
        return std::string();
    op.watched.emplace_back(where, std::string(static_cast<const char*>(where), bytes));
    return op.watched.back().second;
}

std::wstring WatchHeaders(Op& op, const wchar_t* headers, DWORD length)
{
    const size_t chars = headers == nullptr ? 0 : length == DWORD(-1) ? wcslen(headers) : length;
    const std::string bytes = Watch(op, headers, chars * sizeof(wchar_t));
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), chars);
}

template <class T> auto OrNull(T& copy)
{
    using Pointer = decltype(copy.data());
    return copy.empty() ? Pointer() : copy.data();
}

DWORD ResponseHeadBytes(HINTERNET real)
{
    DWORD length = 0;
    HttpQueryInfoW(real, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &length, nullptr);
    return length / sizeof(wchar_t);
}

// The operation pending on the handle ends as cancelled; HANDLE_CLOSING
// follows once the handle's notices and its children's are done.
void FinishClose(Handle* closed)
{
    Sleep(Random(10, 150));
    std::shared_ptr<Op> cancelled;
    bool claimed = false;
    {
        Locked lock;
        cancelled = closed->pending;
        claimed = cancelled && Claim(lock, *cancelled);
    }
    if (claimed) {
        cancelled->cancelled = true;
        Complete(cancelled);
    }
    {
        Locked lock;
        claimed = ClaimClosing(lock, closed);
    }
    if (claimed)
        SendClosing(closed);
}

// Runs a call that never goes asynchronous on the real handle.
template <class Call, class... A>
auto OnReal(HINTERNET value, const char* name, Call call, A... arguments)
{
    Handle* handle = Begin(value, name);
    if (handle == nullptr)
        return decltype(call(value, arguments...))();
    const auto result = call(handle->real, arguments...);
    End(handle);
    return result;
}

// Makes a handle from the parent on the chain's queue and adopts it; children
// inherit their parent's callback when they are made.
template <class Make>
Handle* Made(HINTERNET value, const char* name, const char* kind, DWORD_PTR context, Make make)
{
    Handle* parent = Begin(value, name);
    if (parent == nullptr)
        return nullptr;
    HINTERNET real = nullptr;
    DWORD error = ERROR_SUCCESS;
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr)
        std::abort();
    {
        Locked lock;
        Serially(lock, parent->root, [&, parent] {
            real = make(parent->real);
            error = GetLastError();
            SetEvent(done);
        });
    }
    WaitForSingleObject(done, INFINITE);
    CloseHandle(done);
    Handle* handle = real == nullptr ? nullptr : new Handle(kind, real, parent, context);
    if (handle != nullptr) {
        Locked lock;
        handle->callback = parent->callback;
        handle->image = parent->image;
        parent->children.push_back(handle);
        L().handles.insert(handle);
    }
    SetLastError(error);
    End(parent);
    return handle;
}

// ---- What korvel.dll gets in place of WinINet's functions ----

HINTERNET WINAPI OpenW(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags)
{
    // The real handles are synchronous: the layer makes calls asynchronous itself.
    HINTERNET real = InternetOpenW(agent, access, proxy, bypass, flags & ~INTERNET_FLAG_ASYNC);
    if (real == nullptr)
        return nullptr;
    auto* handle = new Handle("internet", real, nullptr, 0);
    Locked lock;
    if ((flags & INTERNET_FLAG_ASYNC) == 0)
        Violation(lock, "InternetOpenW without INTERNET_FLAG_ASYNC: a transfer would block");
    L().handles.insert(handle);
    return handle;
}

INTERNET_STATUS_CALLBACK WINAPI SetStatusCallbackW(HINTERNET value,
                                                   INTERNET_STATUS_CALLBACK callback)
{
    const int image = LoadedImageHolding(reinterpret_cast<const void*>(callback));
    Locked lock;
    Handle* handle = Use(lock, value, "InternetSetStatusCallbackW");
    if (handle == nullptr)
        return INTERNET_INVALID_STATUS_CALLBACK;
    if (callback != handle->callback && (handle->pinned || Pending(handle, true))) {
        if (RefusesChange()) {
            SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
            return INTERNET_INVALID_STATUS_CALLBACK;
        }
        handle->pinned = true;
        return handle->callback;
    }
    handle->image = image;
    return std::exchange(handle->callback, callback);
}

HINTERNET WINAPI ConnectW(HINTERNET value, LPCWSTR server, INTERNET_PORT port, LPCWSTR user,
                          LPCWSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    Handle* connection =
        Made(value, "InternetConnectW", "connection", context, [&](HINTERNET real) {
            return InternetConnectW(real, server, port, user, password, service, flags, 0);
        });
    if (connection == nullptr)
        return nullptr;
    connection->server = server == nullptr ? L"" : server;
    connection->port = port;
    // Documented for InternetConnect: the handle, before the call returns.
    INTERNET_ASYNC_RESULT created = {reinterpret_cast<DWORD_PTR>(connection), 0};
    Say(connection, With(INTERNET_STATUS_HANDLE_CREATED, created));
    return connection;
}

HINTERNET WINAPI OpenRequestW(HINTERNET value, LPCWSTR verb, LPCWSTR path, LPCWSTR version,
                              LPCWSTR referrer, LPCWSTR* types, DWORD flags, DWORD_PTR context)
{
    return Made(value, "HttpOpenRequestW", "request", context, [&](HINTERNET real) {
        return HttpOpenRequestW(real, verb, path, version, referrer, types, flags, 0);
    });
}

// The options also of no handle, the process's.
BOOL WINAPI SetOptionW(HINTERNET value, DWORD option, LPVOID buffer, DWORD length)
{
    return value == nullptr
               ? InternetSetOptionW(nullptr, option, buffer, length)
               : OnReal(value, "InternetSetOptionW", InternetSetOptionW, option, buffer, length);
}

BOOL WINAPI QueryOptionW(HINTERNET value, DWORD option, LPVOID buffer, LPDWORD length)
{
    return value == nullptr ? InternetQueryOptionW(nullptr, option, buffer, length)
                            : OnReal(value, "InternetQueryOptionW", InternetQueryOptionW, option,
                                     buffer, length);
}

BOOL WINAPI AddRequestHeadersW(HINTERNET value, LPCWSTR headers, DWORD length, DWORD modifiers)
{
    return OnReal(value, "HttpAddRequestHeadersW", HttpAddRequestHeadersW, headers, length,
                  modifiers);
}

BOOL WINAPI QueryInfoW(HINTERNET value, DWORD level, LPVOID buffer, LPDWORD length, LPDWORD index)
{
    return OnReal(value, "HttpQueryInfoW", HttpQueryInfoW, level, buffer, length, index);
}

DWORD WINAPI ErrorDlg(HWND window, HINTERNET value, DWORD error, DWORD flags, LPVOID* data)
{
    return OnReal(value, "InternetErrorDlg", [&](HINTERNET real) {
        return InternetErrorDlg(window, real, error, flags, data);
    });
}

BOOL WINAPI SendRequestW(HINTERNET value, LPCWSTR headers, DWORD headersLength, LPVOID body,
                         DWORD bodyLength)
{
    const auto op = std::make_shared<Op>();
    const std::wstring headerCopy = WatchHeaders(*op, headers, headersLength);
    op->call = [op = op.get(), headers = headerCopy,
                body = Watch(*op, body, bodyLength)](HINTERNET real) mutable {
        const BOOL ok = HttpSendRequestW(real, OrNull(headers), DWORD(headers.size()), OrNull(body),
                                         DWORD(body.size()));
        op->received = ResponseHeadBytes(real);
        return ok;
    };
    return Start(value, "HttpSendRequestW", op, Talk::kSend,
                 DWORD(headerCopy.size() * sizeof(wchar_t) + bodyLength));
}

BOOL WINAPI SendRequestExW(HINTERNET value, LPINTERNET_BUFFERSW in, LPINTERNET_BUFFERSW, DWORD,
                           DWORD_PTR)
{
    const auto op = std::make_shared<Op>();
    if (in == nullptr) {
        op->call = [](HINTERNET real) { return HttpSendRequestExW(real, nullptr, nullptr, 0, 0); };
        return Start(value, "HttpSendRequestExW", op, Talk::kSendOnly);
    }
    Watch(*op, in, sizeof *in);
    op->call = [record = *in, headers = WatchHeaders(*op, in->lpcszHeader, in->dwHeadersLength),
                body = Watch(*op, in->lpvBuffer, in->dwBufferLength)](HINTERNET real) mutable {
        record.Next = nullptr;
        record.lpcszHeader = OrNull(headers);
        record.lpvBuffer = OrNull(body);
        return HttpSendRequestExW(real, &record, nullptr, 0, 0);
    };
    return Start(value, "HttpSendRequestExW", op, Talk::kSendOnly, in->dwBufferLength);
}

BOOL WINAPI WriteFileW(HINTERNET value, LPCVOID buffer, DWORD length, LPDWORD written)
{
    const auto op = std::make_shared<Op>();
    Watch(*op, written, sizeof *written);
    const auto count = std::make_shared<DWORD>(0);
    op->call = [count, bytes = Watch(*op, buffer, length)](HINTERNET real) {
        return InternetWriteFile(real, bytes.data(), DWORD(bytes.size()), count.get());
    };
    op->results = [count, written](bool succeeded) {
        const DWORD value = succeeded ? *count : 0;
        Put(written, &value, sizeof value, "written count");
    };
    return Start(value, "InternetWriteFile", op, Talk::kNone);
}

BOOL WINAPI EndRequestW(HINTERNET value, LPINTERNET_BUFFERSW, DWORD, DWORD_PTR)
{
    const auto op = std::make_shared<Op>();
    op->call = [op = op.get()](HINTERNET real) {
        const BOOL ok = HttpEndRequestW(real, nullptr, 0, 0);
        op->received = ResponseHeadBytes(real);
        return ok;
    };
    return Start(value, "HttpEndRequestW", op, Talk::kReceive);
}

// What has arrived is taken at once; told not to wait, a read takes any part
// of it, as only WinINet knows how much is available. A read that has to wait
// waits for data into the handle's read-ahead. Told not to wait, its
// completion says only that data came (Wine's tests show Windows so): the
// record is left alone and the next read takes the data. What the buffer
// holds meanwhile, or after a cancel, Microsoft leaves to WinINet: the layer
// writes there.
BOOL WINAPI ReadFileExA(HINTERNET value, LPINTERNET_BUFFERSA buffers, DWORD flags, DWORD_PTR)
{
    const bool noWait = (flags & IRF_NO_WAIT) != 0;
    void* const into = buffers->lpvBuffer;
    const DWORD size = buffers->dwBufferLength;
    {
        Locked lock;
        Handle* handle = Use(lock, value, "InternetReadFileExA");
        if (handle == nullptr)
            return FALSE;
        std::string& ahead = handle->readAhead;
        if (!handle->pending && (!ahead.empty() || handle->ended)) {
            DWORD taken = std::min<DWORD>(size, ahead.size());
            if (noWait && taken > 1 && Random(0, 1) == 1)
                taken = Random(1, int(taken));
            std::memcpy(into, ahead.data(), taken);
            ahead.erase(0, taken);
            buffers->dwBufferLength = taken;
            return TRUE;
        }
    }
    const auto op = std::make_shared<Op>();
    Watch(*op, buffers, sizeof *buffers);
    op->call = [op = op.get(), size, noWait](HINTERNET real) {
        DWORD available = size;
        if (noWait && !InternetQueryDataAvailable(real, &available, 0, 0))
            return FALSE;
        std::string block(std::min(size, available), '\0');
        INTERNET_BUFFERSA record = {};
        record.dwStructSize = sizeof record;
        record.lpvBuffer = block.data();
        record.dwBufferLength = DWORD(block.size());
        const BOOL ok = InternetReadFileExA(real, &record, 0, 0);
        op->received = ok ? record.dwBufferLength : 0;
        Locked lock;
        op->handle->readAhead.append(block.data(), op->received);
        op->handle->ended = ok && record.dwBufferLength == 0;
        return ok;
    };
    op->results = [op = op.get(), buffers, into, size, noWait](bool succeeded) {
        const bool fills = succeeded && !noWait;
        std::string bytes;
        {
            Locked lock;
            std::string& ahead = op->handle->readAhead;
            bytes = ahead.empty() && !succeeded ? std::string(std::min<DWORD>(size, 64), '\xCD')
                                                : ahead.substr(0, size);
            if (fills)
                ahead.erase(0, bytes.size());
        }
        Put(into, bytes.data(), bytes.size(), "read buffer");
        const DWORD length = DWORD(bytes.size());
        if (fills)
            Put(&buffers->dwBufferLength, &length, sizeof length, "read record");
    };
    return Start(value, "InternetReadFileExA", op, Talk::kReceive);
}

// HANDLE_CLOSING comes inside the close when nothing of the handle is still to
// come, or later from another thread; the last error says whether calls were
// pending, as Microsoft's page has it.
BOOL WINAPI CloseHandleW(HINTERNET value)
{
    Handle* handle = nullptr;
    bool pending = false;
    bool here = false;
    {
        Locked lock;
        handle = Use(lock, value, "InternetCloseHandle");
        if (handle == nullptr)
            return FALSE;
        handle->closed = true;
        pending = Pending(handle, false);
        RealCloseDue(lock, handle);
        here = Random(0, 1) == 1 && ClaimClosing(lock, handle);
    }
    if (here)
        SendClosing(handle);
    else
        OnLayerThread([handle] { FinishClose(handle); });
    SetLastError(pending ? ERROR_IO_PENDING : ERROR_SUCCESS);
    return TRUE;
}

template <class F> FARPROC AsProc(F* function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

FARPROC WINAPI LookUp(HMODULE module, LPCSTR name)
{
    static const std::map<std::string, FARPROC> replacements = {
        {"InternetOpenW", AsProc(&OpenW)},
        {"InternetSetStatusCallbackW", AsProc(&SetStatusCallbackW)},
        {"InternetConnectW", AsProc(&ConnectW)},
        {"HttpOpenRequestW", AsProc(&OpenRequestW)},
        {"InternetSetOptionW", AsProc(&SetOptionW)},
        {"InternetQueryOptionW", AsProc(&QueryOptionW)},
        {"HttpAddRequestHeadersW", AsProc(&AddRequestHeadersW)},
        {"HttpQueryInfoW", AsProc(&QueryInfoW)},
        {"InternetErrorDlg", AsProc(&ErrorDlg)},
        {"HttpSendRequestW", AsProc(&SendRequestW)},
        {"HttpSendRequestExW", AsProc(&SendRequestExW)},
        {"InternetWriteFile", AsProc(&WriteFileW)},
        {"HttpEndRequestW", AsProc(&EndRequestW)},
        {"InternetReadFileExA", AsProc(&ReadFileExA)},
        {"InternetCloseHandle", AsProc(&CloseHandleW)},
    };
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && module == GetModuleHandleW(L"wininet.dll")) {
        const auto replacement = replacements.find(name);
        if (replacement != replacements.end())
            return replacement->second;
    }
    return GetProcAddress(module, name);
}

// The loader's word that a DLL left the process (LDR_DLL_NOTIFICATION_DATA).
struct DllNotification {
    ULONG flags;
    const UNICODE_STRING* fullName;
    const UNICODE_STRING* baseName;
    void* base;
};

// Runs under the loader lock: it takes no lock but the images'.
void CALLBACK OnDll(ULONG reason, const DllNotification* dll, void*)
{
    constexpr ULONG kUnloaded = 2;
    if (reason != kUnloaded)
        return;
    AcquireSRWLockExclusive(&L().imagesLock);
    for (Image& image : L().images)
        if (image.begin == reinterpret_cast<ULONG_PTR>(dll->base))
            image.unloaded = true;
    ReleaseSRWLockExclusive(&L().imagesLock);
}

void WatchUnloads()
{
    using Register = NTSTATUS(NTAPI*)(ULONG, decltype(&OnDll), void*, void**);
    static const bool watching = [] {
        const auto watch = reinterpret_cast<Register>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
        void* cookie = nullptr;
        return watch != nullptr && watch(0, &OnDll, nullptr, &cookie) >= 0;
    }();
    if (!watching)
        std::abort();
}

// A write into freed memory, by the library or by a completion the layer
// wrote into a freed record, leaves a heap that fails its check.
bool HeapsIntact()
{
    HANDLE heaps[256];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(256, heaps), 256);
    return std::all_of(heaps, heaps + count,
                       [](HANDLE heap) { return HeapValidate(heap, 0, nullptr) != FALSE; });
}

} // namespace

void StrictWinInet::Install(HMODULE korvel)
{
    WatchUnloads();
    if (!PatchImport(korvel, "kernel32.dll", "GetProcAddress", AsProc(&LookUp)))
        std::abort();
    const auto begin = reinterpret_cast<ULONG_PTR>(korvel);
    AcquireSRWLockExclusive(&L().imagesLock);
    // A module that another reference kept loaded is the same image.
    if (std::none_of(L().images.begin(), L().images.end(), [begin](const Image& image) {
            return !image.unloaded && image.begin == begin;
        }))
        L().images.push_back(
            {begin, begin + ImageHeaders(korvel).OptionalHeader.SizeOfImage, false});
    ReleaseSRWLockExclusive(&L().imagesLock);
}

std::vector<std::string> StrictWinInet::TakeReport(DWORD maxWaitMs)
{
    const auto waitedFor = [](const Handle* handle) {
        return handle->closed && !handle->gone && !handle->reported;
    };
    std::vector<std::string> report;
    for (const DWORD start = GetTickCount();; Sleep(5)) {
        Locked lock;
        if (std::none_of(L().handles.begin(), L().handles.end(), waitedFor))
            break;
        if (GetTickCount() - start >= maxWaitMs) {
            report.push_back("notices still undelivered after " + std::to_string(maxWaitMs) +
                             " ms");
            for (Handle* handle : L().handles)
                handle->reported = handle->reported || waitedFor(handle);
            break;
        }
    }
    const bool heapsIntact = HeapsIntact();
    Locked lock;
    if (!heapsIntact && !std::exchange(L().heapReported, true))
        Violation(lock, "a heap is damaged: something wrote into memory after it was freed");
    for (Handle* handle : L().handles) {
        if (!handle->closed && !handle->reported) {
            handle->reported = true;
            Violation(lock, std::string(handle->kind) + " handle never closed");
        }
    }
    for (const auto& [what, times] : L().violations)
        report.push_back(what + " (" + std::to_string(times) + " times)");
    L().violations.clear();
    return report;
}

} // namespace korvel::test
