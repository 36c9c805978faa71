#include "tests/support/StrictWinInet.h"

#include <wininet.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
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

enum class State { kRunning, kReady, kDelivering, kDone };

struct Handle;

// A call that may go asynchronous. The real call works on the layer's own
// copies; the caller's memory is watched until the completion.
struct Op {
    Handle* handle = nullptr;
    std::function<BOOL(HINTERNET)> call;
    std::function<void()> results; // into the caller's memory, on success
    std::vector<std::pair<const void*, std::string>> watched;
    BOOL ok = FALSE;
    DWORD error = 0;
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
    std::string readAhead; // what a read that waited brought
    bool ended = false;
};

// Lives in the test program and survives every unload of the library; never
// destroyed, as layer threads may outlive the tests.
struct Layer {
    SRWLOCK lock = SRWLOCK_INIT;
    std::set<Handle*> handles;
    std::map<std::string, int> violations;
    std::mt19937 random{20240522};
    int undelivered = 0; // closes and completions still to be delivered
    std::atomic<int> liveGeneration{0};
    std::atomic<void*> liveBase{nullptr};
    int lastGeneration = 0;
};

Layer& L()
{
    static Layer* const layer = new Layer;
    return *layer;
}

struct Locked {
    Locked() { AcquireSRWLockExclusive(&L().lock); }
    ~Locked() { ReleaseSRWLockExclusive(&L().lock); }
};

// Lock held.
void Violation(const std::string& what)
{
    ++L().violations[what];
}

void SleepRandomly(int lowMs, int highMs)
{
    int ms = 0;
    {
        Locked lock;
        ms = std::uniform_int_distribution<int>(lowMs, highMs)(L().random);
    }
    Sleep(ms);
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
// ERROR_INVALID_HANDLE) for one it closed or never had. Lock held.
Handle* Use(HINTERNET value, const char* call)
{
    auto* handle = static_cast<Handle*>(value);
    const bool known = L().handles.count(handle) != 0;
    if (known && !handle->closed)
        return handle;
    Violation(std::string(call) + (known ? " on a handle after closing it" : " on a stray handle"));
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

// Something of the handle or of one made from it that the library has not
// seen complete: a call, or a notice on its way. Lock held.
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

// Runs a call that never goes asynchronous on the real handle.
template <class Call> auto OnReal(HINTERNET value, const char* name, Call call)
{
    Handle* handle = nullptr;
    {
        Locked lock;
        handle = Use(value, name);
        // Calls on a request are made in order, each after the previous completed.
        if (handle != nullptr && handle->pending)
            Violation(std::string(name) + " while a call on the " + handle->kind + " was pending");
    }
    return handle == nullptr ? decltype(call(value))() : call(handle->real);
}

// Calls the library's callback, unless the code it points at has gone.
void Notify(Handle* handle, DWORD status, void* information, DWORD length)
{
    INTERNET_STATUS_CALLBACK callback = nullptr;
    {
        Locked lock;
        callback = handle->callback;
        const std::string notice =
            std::string(status == INTERNET_STATUS_HANDLE_CLOSING ? "HANDLE_CLOSING"
                                                                 : "REQUEST_COMPLETE") +
            " of a " + handle->kind;
        if (callback == nullptr || handle->context == 0)
            return Violation(notice + " could not be delivered: no callback or no context");
        if (handle->generation != L().liveGeneration.load())
            return Violation(notice + " came after korvel.dll was unloaded: a host would crash");
    }
    callback(handle, handle->context, status, information, length);
}

// Takes an operation for delivery; false when another thread has. Lock held.
bool Claim(Op& op)
{
    if (op.state == State::kDelivering || op.state == State::kDone)
        return false;
    L().undelivered += op.state == State::kRunning;
    op.state = State::kDelivering;
    ++op.handle->delivering;
    op.handle->pending.reset();
    return true;
}

// The caller's memory as it was at the call, read without trusting it: a
// library that freed it must not crash the layer.
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

void Deliver(const std::shared_ptr<Op>& op)
{
    if (!Unchanged(*op)) {
        Locked lock;
        Violation(std::string("a record or buffer of a call on a ") + op->handle->kind +
                  " changed or was freed before its completion");
    } else if (op->ok && !op->cancelled && op->results) {
        op->results();
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
    --L().undelivered;
}

// The real call, on a layer thread and the layer's synchronous handle.
void Run(const std::shared_ptr<Op>& op)
{
    op->ok = op->call(op->handle->real);
    op->error = op->ok ? ERROR_SUCCESS : GetLastError();
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
        ++L().undelivered;
    }
    SleepRandomly(0, 30);
    {
        Locked lock;
        if (!Claim(*op))
            return;
    }
    Deliver(op);
}

BOOL Start(HINTERNET value, const char* name, const std::shared_ptr<Op>& op,
           INTERNET_BUFFERSA* read = nullptr)
{
    bool async = false;
    {
        Locked lock;
        Handle* handle = Use(value, name);
        if (handle == nullptr)
            return FALSE;
        if (handle->pending) {
            Violation(std::string(name) + " while a call on the " + handle->kind + " was pending");
            SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
            return FALSE;
        }
        // A read that finds data (or the end) there takes it at once, as on Windows.
        std::string& ahead = handle->readAhead;
        if (read != nullptr && (!ahead.empty() || handle->ended)) {
            read->dwBufferLength = std::min<DWORD>(read->dwBufferLength, ahead.size());
            std::memcpy(read->lpvBuffer, ahead.data(), read->dwBufferLength);
            ahead.erase(0, read->dwBufferLength);
            return TRUE;
        }
        op->handle = handle;
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
    if (op->ok && op->results)
        op->results();
    SetLastError(op->error);
    return op->ok;
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

// The operations pending on the handle and on those made from it end as
// cancelled, then the handle's HANDLE_CLOSING comes, last of its notices.
void FinishClose(Handle* closed)
{
    SleepRandomly(10, 150);
    std::vector<std::shared_ptr<Op>> cancelled;
    {
        Locked lock;
        std::vector<Handle*> all;
        Subtree(closed, all);
        for (Handle* handle : all) {
            const std::shared_ptr<Op> op = handle->pending;
            if (op && handle->async && Claim(*op))
                cancelled.push_back(op);
        }
    }
    for (const auto& op : cancelled) {
        op->cancelled = true;
        Deliver(op);
    }
    for (int waits = 0; waits < 1000; ++waits, Sleep(5)) {
        Locked lock;
        if (closed->delivering == 0)
            break;
    }
    if (closed->callback != nullptr && closed->context != 0) {
        HINTERNET value = closed;
        Notify(closed, INTERNET_STATUS_HANDLE_CLOSING, &value, sizeof value);
    }
    Locked lock;
    --L().undelivered;
}

// ---- What korvel.dll gets in place of WinINet's functions ----

HINTERNET WINAPI OpenW(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags)
{
    // The real handles are synchronous: the layer makes calls asynchronous itself.
    return Adopt("internet",
                 InternetOpenW(agent, access, proxy, bypass, flags & ~INTERNET_FLAG_ASYNC), nullptr,
                 (flags & INTERNET_FLAG_ASYNC) != 0, 0);
}

INTERNET_STATUS_CALLBACK WINAPI SetStatusCallbackW(HINTERNET value,
                                                   INTERNET_STATUS_CALLBACK callback)
{
    Locked lock;
    Handle* handle = Use(value, "InternetSetStatusCallbackW");
    if (handle == nullptr)
        return INTERNET_INVALID_STATUS_CALLBACK;
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
    return OnReal(value, "InternetConnectW", [&](HINTERNET real) {
        auto* parent = static_cast<Handle*>(value);
        return Adopt("connection",
                     InternetConnectW(real, server, port, user, password, service, flags, 0),
                     parent, parent->async, context);
    });
}

HINTERNET WINAPI OpenRequestW(HINTERNET value, LPCWSTR verb, LPCWSTR path, LPCWSTR version,
                              LPCWSTR referrer, LPCWSTR* types, DWORD flags, DWORD_PTR context)
{
    return OnReal(value, "HttpOpenRequestW", [&](HINTERNET real) {
        auto* parent = static_cast<Handle*>(value);
        return Adopt("request",
                     HttpOpenRequestW(real, verb, path, version, referrer, types, flags, 0), parent,
                     parent->async, context);
    });
}

BOOL WINAPI SetOptionW(HINTERNET value, DWORD option, LPVOID buffer, DWORD length)
{
    if (value == nullptr)
        return InternetSetOptionW(nullptr, option, buffer, length);
    return OnReal(value, "InternetSetOptionW",
                  [&](HINTERNET real) { return InternetSetOptionW(real, option, buffer, length); });
}

BOOL WINAPI QueryOptionW(HINTERNET value, DWORD option, LPVOID buffer, LPDWORD length)
{
    if (value == nullptr)
        return InternetQueryOptionW(nullptr, option, buffer, length);
    return OnReal(value, "InternetQueryOptionW", [&](HINTERNET real) {
        return InternetQueryOptionW(real, option, buffer, length);
    });
}

BOOL WINAPI AddRequestHeadersW(HINTERNET value, LPCWSTR headers, DWORD length, DWORD modifiers)
{
    return OnReal(value, "HttpAddRequestHeadersW", [&](HINTERNET real) {
        return HttpAddRequestHeadersW(real, headers, length, modifiers);
    });
}

BOOL WINAPI QueryInfoW(HINTERNET value, DWORD level, LPVOID buffer, LPDWORD length, LPDWORD index)
{
    return OnReal(value, "HttpQueryInfoW", [&](HINTERNET real) {
        return HttpQueryInfoW(real, level, buffer, length, index);
    });
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
    op->call = [headers = WatchHeaders(*op, headers, headersLength),
                body = Watch(*op, body, bodyLength)](HINTERNET real) mutable {
        return HttpSendRequestW(real, OrNull(headers), DWORD(headers.size()), OrNull(body),
                                DWORD(body.size()));
    };
    return Start(value, "HttpSendRequestW", op);
}

BOOL WINAPI SendRequestExW(HINTERNET value, LPINTERNET_BUFFERSW in, LPINTERNET_BUFFERSW, DWORD,
                           DWORD_PTR)
{
    const auto op = std::make_shared<Op>();
    if (in == nullptr) {
        op->call = [](HINTERNET real) { return HttpSendRequestExW(real, nullptr, nullptr, 0, 0); };
    } else {
        Watch(*op, in, sizeof *in);
        op->call = [record = *in, headers = WatchHeaders(*op, in->lpcszHeader, in->dwHeadersLength),
                    body = Watch(*op, in->lpvBuffer, in->dwBufferLength)](HINTERNET real) mutable {
            record.Next = nullptr;
            record.lpcszHeader = OrNull(headers);
            record.lpvBuffer = OrNull(body);
            return HttpSendRequestExW(real, &record, nullptr, 0, 0);
        };
    }
    return Start(value, "HttpSendRequestExW", op);
}

BOOL WINAPI WriteFileW(HINTERNET value, LPCVOID buffer, DWORD length, LPDWORD written)
{
    const auto op = std::make_shared<Op>();
    Watch(*op, written, sizeof *written);
    const auto count = std::make_shared<DWORD>(0);
    op->call = [count, bytes = Watch(*op, buffer, length)](HINTERNET real) {
        return InternetWriteFile(real, bytes.data(), DWORD(bytes.size()), count.get());
    };
    op->results = [count, written] { *written = *count; };
    return Start(value, "InternetWriteFile", op);
}

BOOL WINAPI EndRequestW(HINTERNET value, LPINTERNET_BUFFERSW, DWORD, DWORD_PTR)
{
    const auto op = std::make_shared<Op>();
    op->call = [](HINTERNET real) { return HttpEndRequestW(real, nullptr, 0, 0); };
    return Start(value, "HttpEndRequestW", op);
}

// A read that has to wait waits for data into the handle's read-ahead. With
// IRF_NO_WAIT its completion fills nothing (Wine's tests show Windows doing
// so) and the next read takes the data at once; without it, the completion
// fills the caller's buffer.
BOOL WINAPI ReadFileExA(HINTERNET value, LPINTERNET_BUFFERSA buffers, DWORD flags, DWORD_PTR)
{
    const auto op = std::make_shared<Op>();
    Watch(*op, buffers, sizeof *buffers);
    const bool noWait = (flags & IRF_NO_WAIT) != 0;
    op->call = [op = op.get(), size = buffers->dwBufferLength, noWait](HINTERNET real) {
        // Without IRF_NO_WAIT a read waits until it fills its buffer or the body ends.
        DWORD available = size;
        if (noWait && !InternetQueryDataAvailable(real, &available, 0, 0))
            return FALSE;
        std::string block(std::min(size, available), '\0');
        INTERNET_BUFFERSA into = {};
        into.dwStructSize = sizeof into;
        into.lpvBuffer = block.data();
        into.dwBufferLength = DWORD(block.size());
        const BOOL ok = InternetReadFileExA(real, &into, 0, 0);
        Locked lock;
        op->handle->readAhead.append(block.data(), ok ? into.dwBufferLength : 0);
        op->handle->ended = ok && into.dwBufferLength == 0;
        return ok;
    };
    if (!noWait)
        op->results = [op = op.get(), buffers] {
            Locked lock;
            std::string& ahead = op->handle->readAhead;
            buffers->dwBufferLength = std::min<DWORD>(buffers->dwBufferLength, ahead.size());
            std::memcpy(buffers->lpvBuffer, ahead.data(), buffers->dwBufferLength);
            ahead.erase(0, buffers->dwBufferLength);
        };
    return Start(value, "InternetReadFileExA", op, buffers);
}

BOOL WINAPI CloseHandleW(HINTERNET value)
{
    Handle* handle = nullptr;
    {
        Locked lock;
        handle = Use(value, "InternetCloseHandle");
        if (handle == nullptr)
            return FALSE;
        handle->closed = true;
        ++L().undelivered;
        // A blocking call on the handle (or on one made from it) ends at once.
        std::vector<Handle*> all;
        Subtree(handle, all);
        for (Handle* each : all) {
            if (each->pending && !each->async && each->pending->state == State::kRunning) {
                each->pending->cancelled = true;
                each->pending->state = State::kDone;
                SetEvent(each->pending->finished);
                each->pending.reset();
            }
        }
    }
    // Some WinINet implementations read an unread body to its end on the
    // closing thread: the real close must not hold up the library.
    OnLayerThread([real = handle->real] { InternetCloseHandle(real); });
    OnLayerThread([handle] { FinishClose(handle); });
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

void CALLBACK OnDll(ULONG reason, const DllNotification* dll, void*)
{
    constexpr ULONG kUnloaded = 2;
    if (reason == kUnloaded && dll->base == L().liveBase.load())
        L().liveGeneration = 0;
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

// Points korvel.dll's import of KERNEL32!GetProcAddress at LookUp.
bool PatchLookUp(HMODULE korvel)
{
    auto* base = reinterpret_cast<BYTE*>(korvel);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports);
         dll->Name != 0; ++dll) {
        if (_stricmp(reinterpret_cast<const char*>(base + dll->Name), "kernel32.dll") != 0)
            continue;
        auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(reinterpret_cast<const char*>(byName->Name), "GetProcAddress") != 0)
                continue;
            DWORD protection = 0;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(&LookUp);
            VirtualProtect(slot, sizeof *slot, protection, &protection);
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
    // A module that another reference kept loaded is the same instance.
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
        if (L().undelivered == 0)
            break;
        if (GetTickCount() - start >= maxWaitMs) {
            report.push_back("notices still undelivered after " + std::to_string(maxWaitMs) +
                             " ms");
            break;
        }
    }
    Locked lock;
    for (Handle* handle : L().handles) {
        if (!handle->closed && !handle->reported) {
            handle->reported = true;
            Violation(std::string(handle->kind) + " handle never closed");
        }
    }
    for (const auto& [what, times] : L().violations)
        report.push_back(what + " (" + std::to_string(times) + " times)");
    L().violations.clear();
    return report;
}

} // namespace korvel::test
