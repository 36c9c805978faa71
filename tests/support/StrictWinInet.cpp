#include "tests/support/StrictWinInet.h"

#include <wininet.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <utility>

namespace korvel::test {

namespace {

// What a success carries in dwError: that field means something on failure only.
constexpr DWORD kSuccessNoise = 0x0BADF00D;
// A close's notices come this long after InternetCloseHandle returned.
constexpr int kCloseDelayMinMs = 10;
constexpr int kCloseDelayMaxMs = 150;
constexpr int kCompletionDelayMaxMs = 30;

enum class Kind { kSend, kSendEx, kWrite, kEnd, kRead };
enum class State { kRunning, kReady, kDelivering, kDone };

struct Handle;

// A call that may go asynchronous. The real call gets the layer's own copies
// of what the caller passed; the caller's memory is watched until completion.
struct Op {
    Kind kind;
    Handle* handle = nullptr;
    std::vector<std::pair<const void*, std::string>> watched;
    std::wstring headers;
    std::string data;
    INTERNET_BUFFERSW sendBuffers = {};
    bool hasSendBuffers = false;
    bool noWait = false;
    void* out = nullptr; // INTERNET_BUFFERSA* of a read, DWORD* of a write
    DWORD size = 0;
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD count = 0;
    State state = State::kRunning;
    bool cancelled = false;
    HANDLE finished = nullptr; // synchronous handles: the caller waits on it
};

struct Handle {
    Handle(const char* kind, HINTERNET real, bool async, DWORD_PTR context)
        : kind(kind), real(real), async(async), context(context)
    {
    }
    const char* kind;
    HINTERNET real;
    bool async;
    DWORD_PTR context;
    INTERNET_STATUS_CALLBACK callback = nullptr;
    int generation = 0; // of the korvel.dll that set the callback
    bool closed = false;
    bool reported = false;
    std::vector<Handle*> children;
    std::shared_ptr<Op> pending; // until the library is told it completed
    int delivering = 0;
    std::string readAhead; // what an IRF_NO_WAIT read waited for
    bool ended = false;
};

// The layer's state: it lives in the test program and survives every unload
// of the library. Never destroyed: layer threads may outlive the tests.
struct Layer {
    SRWLOCK lock = SRWLOCK_INIT;
    std::set<Handle*> handles;
    std::map<std::string, int> violations;
    std::mt19937 random{20240522};
    int closesUnderWay = 0;
    int deliveriesDue = 0;
    std::atomic<int> liveGeneration{0};
    std::atomic<void*> liveBase{nullptr};
    int lastGeneration = 0;
};

Layer& L()
{
    static Layer* const layer = new Layer;
    return *layer;
}

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&L().lock); }
    ~Locked() { ReleaseSRWLockExclusive(&L().lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// Lock held.
void Violation(const std::string& what)
{
    ++L().violations[what];
}

int Random(int low, int high)
{
    Locked lock;
    return std::uniform_int_distribution<int>(low, high)(L().random);
}

template <class Work> void OnLayerThread(Work work)
{
    auto* task = new Work(std::move(work));
    const auto run = [](PTP_CALLBACK_INSTANCE, void* context) {
        std::unique_ptr<Work> owned(static_cast<Work*>(context));
        (*owned)();
    };
    if (!TrySubmitThreadpoolCallback(run, task, nullptr))
        std::abort();
}

// The handle behind a value the library passed; null (a violation) for one it
// closed or never had. Lock held.
Handle* Use(HINTERNET value, const char* call)
{
    auto* handle = static_cast<Handle*>(value);
    if (L().handles.count(handle) == 0) {
        Violation(std::string(call) + " on a handle the layer never gave out");
        return nullptr;
    }
    if (handle->closed) {
        Violation(std::string(call) + " on a " + handle->kind + " handle after closing it");
        return nullptr;
    }
    return handle;
}

// An operation of the handle or of one made from it that the library has not
// seen complete, or a notice being delivered. Lock held.
bool Busy(const Handle* handle)
{
    return handle->pending || handle->delivering != 0 ||
           std::any_of(handle->children.begin(), handle->children.end(), Busy);
}

void Subtree(Handle* handle, std::vector<Handle*>& all)
{
    all.push_back(handle);
    for (Handle* child : handle->children)
        Subtree(child, all);
}

HINTERNET Adopt(const char* kind, HINTERNET real, Handle* parent, bool async, DWORD_PTR context)
{
    if (real == nullptr)
        return nullptr;
    auto* handle = new Handle(kind, real, async, context);
    Locked lock;
    if (parent != nullptr) {
        // Children inherit their parent's callback when they are made.
        handle->callback = parent->callback;
        handle->generation = parent->generation;
        parent->children.push_back(handle);
    }
    L().handles.insert(handle);
    return handle;
}

// The real handle for a call that does not go asynchronous; null (with
// ERROR_INVALID_HANDLE) for a closed one.
HINTERNET Real(HINTERNET value, const char* call)
{
    Locked lock;
    Handle* handle = Use(value, call);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Calls on a request are made in order, each after the previous completed.
    if (handle->pending)
        Violation(std::string(call) + " while an operation of the " + handle->kind +
                  " was pending");
    return handle->real;
}

// Calls the library's callback, unless the code it points at has gone.
void Notify(Handle* handle, DWORD status, void* information, DWORD length)
{
    INTERNET_STATUS_CALLBACK callback = nullptr;
    DWORD_PTR context = 0;
    {
        Locked lock;
        callback = handle->callback;
        context = handle->context;
        const char* name =
            status == INTERNET_STATUS_HANDLE_CLOSING ? "HANDLE_CLOSING" : "REQUEST_COMPLETE";
        if (callback == nullptr || context == 0) {
            Violation(std::string(name) + " of a " + handle->kind +
                      " could not be delivered: no callback or no context");
            return;
        }
        if (handle->generation != L().liveGeneration.load()) {
            Violation(std::string(name) + " of a " + handle->kind +
                      " came after korvel.dll was unloaded: a host would crash");
            return;
        }
    }
    callback(handle, context, status, information, length);
}

// Takes an operation for delivery; false when another thread has. Lock held.
bool Claim(Op& op)
{
    if (op.state == State::kDelivering || op.state == State::kDone)
        return false;
    if (op.state == State::kRunning)
        ++L().deliveriesDue;
    op.state = State::kDelivering;
    ++op.handle->delivering;
    op.handle->pending.reset();
    return true;
}

// True when the caller's memory is as it was at the call. Read without
// trusting it: a library that freed it must not crash the layer.
bool Unchanged(const Op& op)
{
    for (const auto& [where, bytes] : op.watched) {
        std::string now(bytes.size(), '\0');
        SIZE_T read = 0;
        if (!ReadProcessMemory(GetCurrentProcess(), where, now.data(), now.size(), &read) ||
            now != bytes)
            return false;
    }
    return true;
}

// Hands what the real call produced to the caller's memory.
void WriteResults(Op& op)
{
    if (op.kind == Kind::kWrite) {
        *static_cast<DWORD*>(op.out) = op.count;
    } else if (op.kind == Kind::kRead && (!op.noWait || !op.handle->async)) {
        auto* buffers = static_cast<INTERNET_BUFFERSA*>(op.out);
        Locked lock;
        std::string& ahead = op.handle->readAhead;
        buffers->dwBufferLength = static_cast<DWORD>(std::min<size_t>(op.size, ahead.size()));
        std::memcpy(buffers->lpvBuffer, ahead.data(), buffers->dwBufferLength);
        ahead.erase(0, buffers->dwBufferLength);
    }
}

void Deliver(const std::shared_ptr<Op>& op)
{
    const bool intact = Unchanged(*op);
    if (!intact) {
        Locked lock;
        Violation(std::string("a record or buffer of a pending call on a ") + op->handle->kind +
                  " changed or was freed before its completion");
    } else if (op->ok && !op->cancelled) {
        WriteResults(*op);
    }
    INTERNET_ASYNC_RESULT result = {};
    result.dwResult = op->ok && !op->cancelled;
    result.dwError = op->cancelled ? ERROR_INTERNET_OPERATION_CANCELLED
                     : op->ok      ? kSuccessNoise
                                   : op->error;
    Notify(op->handle, INTERNET_STATUS_REQUEST_COMPLETE, &result, sizeof result);
    Locked lock;
    op->state = State::kDone;
    --op->handle->delivering;
    --L().deliveriesDue;
}

void RunReal(Op& op)
{
    const HINTERNET real = op.handle->real;
    switch (op.kind) {
    case Kind::kSend:
        op.ok = HttpSendRequestW(real, op.headers.empty() ? nullptr : op.headers.c_str(),
                                 static_cast<DWORD>(op.headers.size()),
                                 op.data.empty() ? nullptr : op.data.data(),
                                 static_cast<DWORD>(op.data.size()));
        break;
    case Kind::kSendEx:
        op.sendBuffers.lpcszHeader = op.headers.empty() ? nullptr : op.headers.c_str();
        op.sendBuffers.lpvBuffer = op.data.empty() ? nullptr : op.data.data();
        op.ok =
            HttpSendRequestExW(real, op.hasSendBuffers ? &op.sendBuffers : nullptr, nullptr, 0, 0);
        break;
    case Kind::kWrite:
        op.ok =
            InternetWriteFile(real, op.data.data(), static_cast<DWORD>(op.data.size()), &op.count);
        break;
    case Kind::kEnd:
        op.ok = HttpEndRequestW(real, nullptr, 0, 0);
        break;
    case Kind::kRead: {
        // The real handle is synchronous: this waits for data, then takes
        // what has arrived.
        std::string block(op.size, '\0');
        INTERNET_BUFFERSA buffers = {};
        buffers.dwStructSize = sizeof buffers;
        buffers.lpvBuffer = block.data();
        buffers.dwBufferLength = op.size;
        op.ok = InternetReadFileExA(real, &buffers, 0, 0);
        Locked lock;
        if (op.ok) {
            op.handle->readAhead.append(block.data(), buffers.dwBufferLength);
            op.handle->ended = buffers.dwBufferLength == 0;
        }
        break;
    }
    }
    op.error = op.ok ? ERROR_SUCCESS : GetLastError();
}

// The real call runs on a layer thread, on the layer's synchronous handle.
void Run(const std::shared_ptr<Op>& op)
{
    RunReal(*op);
    {
        Locked lock;
        if (op->state != State::kRunning)
            return; // a close ended it first
        if (!op->handle->async) {
            op->state = State::kDone;
            op->handle->pending.reset();
            SetEvent(op->finished);
            return;
        }
        op->state = State::kReady;
        ++L().deliveriesDue;
    }
    Sleep(Random(0, kCompletionDelayMaxMs));
    {
        Locked lock;
        if (!Claim(*op))
            return;
    }
    Deliver(op);
}

// A read that finds data already there (or the end) takes it at once, as
// Windows does; an IRF_NO_WAIT read that waits fills nothing when it
// completes, and the data goes to the next read. Lock held.
bool ReadAtOnce(Handle* handle, INTERNET_BUFFERSA* buffers)
{
    if (handle->readAhead.empty() && !handle->ended)
        return false;
    buffers->dwBufferLength =
        static_cast<DWORD>(std::min<size_t>(buffers->dwBufferLength, handle->readAhead.size()));
    std::memcpy(buffers->lpvBuffer, handle->readAhead.data(), buffers->dwBufferLength);
    handle->readAhead.erase(0, buffers->dwBufferLength);
    return true;
}

BOOL Start(HINTERNET value, const char* call, const std::shared_ptr<Op>& op)
{
    bool async = false;
    {
        Locked lock;
        Handle* handle = Use(value, call);
        if (handle == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (handle->pending) {
            Violation(std::string(call) + " while an operation of the " + handle->kind +
                      " was pending");
            SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
            return FALSE;
        }
        op->handle = handle;
        if (op->kind == Kind::kRead && ReadAtOnce(handle, static_cast<INTERNET_BUFFERSA*>(op->out)))
            return TRUE;
        async = handle->async;
        if (!async)
            op->finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        handle->pending = op;
    }
    OnLayerThread([op] { Run(op); });
    if (async) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // A close from another thread ends this wait at once.
    WaitForSingleObject(op->finished, INFINITE);
    CloseHandle(op->finished);
    if (op->cancelled) {
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return FALSE;
    }
    if (op->ok)
        WriteResults(*op);
    SetLastError(op->error);
    return op->ok;
}

template <class T> void Watch(Op& op, const T* where, size_t bytes)
{
    if (where != nullptr && bytes != 0)
        op.watched.emplace_back(where, std::string(reinterpret_cast<const char*>(where), bytes));
}

std::wstring Headers(const wchar_t* headers, DWORD length)
{
    if (headers == nullptr)
        return std::wstring();
    return length == DWORD(-1) ? std::wstring(headers) : std::wstring(headers, length);
}

std::shared_ptr<Op> NewOp(Kind kind)
{
    auto op = std::make_shared<Op>();
    op->kind = kind;
    return op;
}

// The handle's operations end as cancelled, its HANDLE_CLOSING comes last.
void FinishClose(Handle* closed)
{
    Sleep(Random(kCloseDelayMinMs, kCloseDelayMaxMs));
    std::vector<std::shared_ptr<Op>> cancelled;
    {
        Locked lock;
        std::vector<Handle*> all;
        Subtree(closed, all);
        for (Handle* handle : all) {
            const std::shared_ptr<Op> op = handle->pending;
            if (op && handle->async && Claim(*op)) {
                op->cancelled = true;
                cancelled.push_back(op);
            }
        }
    }
    for (const auto& op : cancelled)
        Deliver(op);
    for (int waited = 0; waited < 5000; waited += 5, Sleep(5)) {
        Locked lock;
        if (closed->delivering == 0)
            break;
    }
    bool notify = false;
    {
        Locked lock;
        notify = closed->callback != nullptr && closed->context != 0;
    }
    if (notify) {
        HINTERNET value = closed;
        Notify(closed, INTERNET_STATUS_HANDLE_CLOSING, &value, sizeof value);
    }
    Locked lock;
    --L().closesUnderWay;
}

// ---- The functions korvel.dll gets in place of WinINet's ----

HINTERNET WINAPI OpenW(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags)
{
    // The real handles are synchronous: the layer makes the calls
    // asynchronous itself, the same way on every platform.
    return Adopt("internet",
                 InternetOpenW(agent, access, proxy, bypass, flags & ~INTERNET_FLAG_ASYNC), nullptr,
                 (flags & INTERNET_FLAG_ASYNC) != 0, 0);
}

INTERNET_STATUS_CALLBACK WINAPI SetStatusCallbackW(HINTERNET value,
                                                   INTERNET_STATUS_CALLBACK callback)
{
    Locked lock;
    Handle* handle = Use(value, "InternetSetStatusCallbackW");
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INTERNET_INVALID_STATUS_CALLBACK;
    }
    // Documented: the callback stays while calls or callbacks are pending.
    if (callback != handle->callback && Busy(handle)) {
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return INTERNET_INVALID_STATUS_CALLBACK;
    }
    handle->generation = L().liveGeneration.load();
    return std::exchange(handle->callback, callback);
}

HINTERNET WINAPI ConnectW(HINTERNET value, LPCWSTR server, INTERNET_PORT port, LPCWSTR user,
                          LPCWSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    const HINTERNET parent = Real(value, "InternetConnectW");
    if (parent == nullptr)
        return nullptr;
    const auto* handle = static_cast<Handle*>(value);
    return Adopt("connection",
                 InternetConnectW(parent, server, port, user, password, service, flags, 0),
                 static_cast<Handle*>(value), handle->async, context);
}

HINTERNET WINAPI OpenRequestW(HINTERNET value, LPCWSTR verb, LPCWSTR path, LPCWSTR version,
                              LPCWSTR referrer, LPCWSTR* types, DWORD flags, DWORD_PTR context)
{
    const HINTERNET parent = Real(value, "HttpOpenRequestW");
    if (parent == nullptr)
        return nullptr;
    const auto* handle = static_cast<Handle*>(value);
    return Adopt("request",
                 HttpOpenRequestW(parent, verb, path, version, referrer, types, flags, 0),
                 static_cast<Handle*>(value), handle->async, context);
}

BOOL WINAPI SetOptionW(HINTERNET value, DWORD option, LPVOID buffer, DWORD length)
{
    const HINTERNET real = value == nullptr ? nullptr : Real(value, "InternetSetOptionW");
    if (value != nullptr && real == nullptr)
        return FALSE;
    return InternetSetOptionW(real, option, buffer, length);
}

BOOL WINAPI QueryOptionW(HINTERNET value, DWORD option, LPVOID buffer, LPDWORD length)
{
    const HINTERNET real = value == nullptr ? nullptr : Real(value, "InternetQueryOptionW");
    if (value != nullptr && real == nullptr)
        return FALSE;
    return InternetQueryOptionW(real, option, buffer, length);
}

BOOL WINAPI AddRequestHeadersW(HINTERNET value, LPCWSTR headers, DWORD length, DWORD modifiers)
{
    const HINTERNET real = Real(value, "HttpAddRequestHeadersW");
    return real != nullptr && HttpAddRequestHeadersW(real, headers, length, modifiers);
}

BOOL WINAPI QueryInfoW(HINTERNET value, DWORD level, LPVOID buffer, LPDWORD length, LPDWORD index)
{
    const HINTERNET real = Real(value, "HttpQueryInfoW");
    return real != nullptr && HttpQueryInfoW(real, level, buffer, length, index);
}

DWORD WINAPI ErrorDlg(HWND window, HINTERNET value, DWORD error, DWORD flags, LPVOID* data)
{
    const HINTERNET real = Real(value, "InternetErrorDlg");
    return real == nullptr ? ERROR_INVALID_HANDLE
                           : InternetErrorDlg(window, real, error, flags, data);
}

BOOL WINAPI SendRequestW(HINTERNET value, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                         DWORD optionalLength)
{
    const auto op = NewOp(Kind::kSend);
    op->headers = Headers(headers, headersLength);
    Watch(*op, headers, op->headers.size() * sizeof(wchar_t));
    if (optional != nullptr)
        op->data.assign(static_cast<const char*>(optional), optionalLength);
    Watch(*op, static_cast<const char*>(optional), optionalLength);
    return Start(value, "HttpSendRequestW", op);
}

BOOL WINAPI SendRequestExW(HINTERNET value, LPINTERNET_BUFFERSW in, LPINTERNET_BUFFERSW, DWORD,
                           DWORD_PTR)
{
    const auto op = NewOp(Kind::kSendEx);
    if (in != nullptr) {
        op->hasSendBuffers = true;
        op->sendBuffers = *in;
        op->sendBuffers.Next = nullptr;
        op->headers = Headers(in->lpcszHeader, in->dwHeadersLength);
        if (in->lpvBuffer != nullptr)
            op->data.assign(static_cast<const char*>(in->lpvBuffer), in->dwBufferLength);
        Watch(*op, in, sizeof *in);
        Watch(*op, in->lpcszHeader, op->headers.size() * sizeof(wchar_t));
        Watch(*op, static_cast<const char*>(in->lpvBuffer), op->data.size());
    }
    return Start(value, "HttpSendRequestExW", op);
}

BOOL WINAPI WriteFileW(HINTERNET value, LPCVOID buffer, DWORD length, LPDWORD written)
{
    const auto op = NewOp(Kind::kWrite);
    op->data.assign(static_cast<const char*>(buffer), length);
    op->out = written;
    Watch(*op, static_cast<const char*>(buffer), length);
    Watch(*op, written, sizeof *written);
    return Start(value, "InternetWriteFile", op);
}

BOOL WINAPI EndRequestW(HINTERNET value, LPINTERNET_BUFFERSW out, DWORD, DWORD_PTR)
{
    if (out != nullptr) {
        Locked lock;
        Violation("HttpEndRequestW with a reserved argument set");
    }
    return Start(value, "HttpEndRequestW", NewOp(Kind::kEnd));
}

BOOL WINAPI ReadFileExA(HINTERNET value, LPINTERNET_BUFFERSA buffers, DWORD flags, DWORD_PTR)
{
    const auto op = NewOp(Kind::kRead);
    op->noWait = (flags & IRF_NO_WAIT) != 0;
    op->size = buffers->dwBufferLength;
    op->out = buffers;
    Watch(*op, buffers, sizeof *buffers);
    return Start(value, "InternetReadFileExA", op);
}

BOOL WINAPI CloseHandleW(HINTERNET value)
{
    std::vector<std::shared_ptr<Op>> blocked;
    Handle* handle = nullptr;
    {
        Locked lock;
        handle = Use(value, "InternetCloseHandle");
        if (handle == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        handle->closed = true;
        ++L().closesUnderWay;
        // A blocking call on the handle (or one made from it) ends at once.
        std::vector<Handle*> all;
        Subtree(handle, all);
        for (Handle* each : all) {
            const std::shared_ptr<Op> op = each->pending;
            if (op && !each->async && op->state == State::kRunning) {
                op->cancelled = true;
                op->state = State::kDone;
                each->pending.reset();
                SetEvent(op->finished);
            }
        }
    }
    // Some WinINet implementations read an unread body to its end on the
    // closing thread: the real close must not hold up the library.
    const HINTERNET real = handle->real;
    OnLayerThread([real] { InternetCloseHandle(real); });
    OnLayerThread([handle] { FinishClose(handle); });
    return TRUE;
}

struct Replacement {
    const char* name;
    FARPROC function;
};

template <class F> FARPROC AsProc(F* function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

const Replacement kReplacements[] = {
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

FARPROC WINAPI LookUp(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && module == GetModuleHandleW(L"wininet.dll"))
        for (const Replacement& replacement : kReplacements)
            if (std::strcmp(replacement.name, name) == 0)
                return replacement.function;
    return GetProcAddress(module, name);
}

// ---- Knowing when korvel.dll leaves the process ----

struct DllNotification {
    ULONG flags;
    const UNICODE_STRING* fullName;
    const UNICODE_STRING* baseName;
    void* base;
    ULONG size;
};
using DllNotify = void(CALLBACK*)(ULONG, const DllNotification*, void*);
using RegisterDllNotification = NTSTATUS(NTAPI*)(ULONG, DllNotify, void*, void**);
constexpr ULONG kDllUnloaded = 2;

void CALLBACK OnDll(ULONG reason, const DllNotification* data, void*)
{
    if (reason == kDllUnloaded && data->base == L().liveBase.load())
        L().liveGeneration = 0;
}

void WatchUnloads()
{
    static const bool watching = [] {
        const auto registerNotification =
            reinterpret_cast<RegisterDllNotification>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
        void* cookie = nullptr;
        return registerNotification != nullptr &&
               registerNotification(0, &OnDll, nullptr, &cookie) >= 0;
    }();
    if (!watching)
        std::abort();
}

// Points korvel.dll's import of KERNEL32!GetProcAddress at LookUp.
bool PatchLookUp(HMODULE korvel)
{
    auto* base = reinterpret_cast<BYTE*>(korvel);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        if (_stricmp(reinterpret_cast<const char*>(base + dll->Name), "kernel32.dll") != 0)
            continue;
        auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)
                        ->Name,
                    "GetProcAddress") != 0)
                continue;
            DWORD protection = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                           &protection);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(&LookUp);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return true;
        }
    }
    return false;
}

} // namespace

void StrictWinInet::Install(HMODULE korvel)
{
    WatchUnloads();
    if (!PatchLookUp(korvel))
        std::abort();
    Locked lock;
    // A module already there (another reference kept it) is the same instance.
    if (L().liveGeneration.load() == 0 || L().liveBase.load() != korvel) {
        L().liveBase = korvel;
        L().liveGeneration = ++L().lastGeneration;
    }
}

std::vector<std::string> StrictWinInet::TakeReport(DWORD maxWaitMs)
{
    std::vector<std::string> report;
    for (const DWORD start = GetTickCount();; Sleep(5)) {
        Locked lock;
        if (L().closesUnderWay == 0 && L().deliveriesDue == 0)
            break;
        if (GetTickCount() - start >= maxWaitMs) {
            report.push_back("notices still undelivered after " + std::to_string(maxWaitMs) +
                             " ms");
            break;
        }
    }
    Locked lock;
    std::map<std::string, int> open;
    for (Handle* handle : L().handles) {
        if (!handle->closed && !handle->reported) {
            handle->reported = true;
            ++open[std::string(handle->kind) + " handle never closed"];
        }
    }
    for (const auto* list : {&open, &L().violations})
        for (const auto& [what, times] : *list)
            report.push_back(what + " (" + std::to_string(times) + " times)");
    L().violations.clear();
    return report;
}

} // namespace korvel::test
