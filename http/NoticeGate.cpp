#include "http/NoticeGate.h"

#include "http/HandleContext.h"

#include <cstdint>
#include <cstring>

namespace korvel {

namespace {

// The gate's code, for x64, in the first page of its memory:
//     lock inc qword [rip + inFlight]
//     mov rax, [rip + receiver]
//     test rax, rax
//     jz done
//     sub rsp, 38h            ; shadow space, the fifth argument, alignment
//     mov r10, [rsp + 60h]    ; the caller's fifth argument
//     mov [rsp + 20h], r10
//     call rax
//     add rsp, 38h
// done:
//     lock dec qword [rip + inFlight]
//     ret
constexpr unsigned char kCode[] = {
    0xF0, 0x48, 0xFF, 0x05, 0,    0, 0, 0, // lock inc qword [rip + rel32]
    0x48, 0x8B, 0x05, 0,    0,    0, 0,    // mov rax, [rip + rel32]
    0x48, 0x85, 0xC0,                      // test rax, rax
    0x74, 0x14,                            // jz done
    0x48, 0x83, 0xEC, 0x38,                // sub rsp, 38h
    0x4C, 0x8B, 0x54, 0x24, 0x60,          // mov r10, [rsp + 60h]
    0x4C, 0x89, 0x54, 0x24, 0x20,          // mov [rsp + 20h], r10
    0xFF, 0xD0,                            // call rax
    0x48, 0x83, 0xC4, 0x38,                // add rsp, 38h
    0xF0, 0x48, 0xFF, 0x0D, 0,    0, 0, 0, // done: lock dec qword [rip + rel32]
    0xC3,                                  // ret
};
constexpr size_t kIncrementDisplacement = 4;
constexpr size_t kLoadEnd = 15;
constexpr size_t kLoadDisplacement = 11;
constexpr size_t kPrologEnd = 24;
constexpr size_t kDone = 40;
constexpr size_t kDecrementDisplacement = 44;
constexpr DWORD kPage = 4096;

// The gate's data, in the second page, which stays writable. The unwind
// record describes the frame the code sets up, so that stack walks and
// exception dispatch see through it; from done on the code is a leaf.
struct GateData {
    volatile LONG64 inFlight;
    void* volatile receiver;
    RUNTIME_FUNCTION function;
    unsigned char unwind[8];
};

GateData* gate = nullptr;
bool gateTried = false;
SRWLOCK gateLock = SRWLOCK_INIT;

void CALLBACK Receive(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD)
{
    if (context != 0)
        HandleContext::Notice(context, status, information);
}

void PatchDisplacement(unsigned char* code, size_t at, size_t instructionEnd,
                       const volatile void* target)
{
    const auto displacement = static_cast<int32_t>(
        reinterpret_cast<const volatile unsigned char*>(target) - (code + instructionEnd));
    std::memcpy(code + at, &displacement, sizeof displacement);
}

// Null where the process refuses executable memory made at run time.
GateData* MakeGate()
{
    auto* memory = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (memory == nullptr)
        return nullptr;
    auto* data = reinterpret_cast<GateData*>(memory + kPage);
    std::memcpy(memory, kCode, sizeof kCode);
    PatchDisplacement(memory, kIncrementDisplacement, kIncrementDisplacement + 4, &data->inFlight);
    PatchDisplacement(memory, kLoadDisplacement, kLoadEnd, &data->receiver);
    PatchDisplacement(memory, kDecrementDisplacement, kDecrementDisplacement + 4, &data->inFlight);
    DWORD previous = 0;
    if (!VirtualProtect(memory, kPage, PAGE_EXECUTE_READ, &previous)) {
        VirtualFree(memory, 0, MEM_RELEASE);
        return nullptr;
    }
    FlushInstructionCache(GetCurrentProcess(), memory, kPage);
    // Version 1, a prolog of kPrologEnd bytes with one code: UWOP_ALLOC_SMALL of 38h.
    const unsigned char unwind[] = {1, kPrologEnd, 1, 0, kPrologEnd, 0x62, 0, 0};
    std::memcpy(data->unwind, unwind, sizeof unwind);
    data->function.BeginAddress = 0;
    data->function.EndAddress = kDone;
    data->function.UnwindData = static_cast<DWORD>(kPage + offsetof(GateData, unwind));
    RtlAddFunctionTable(&data->function, 1, reinterpret_cast<DWORD64>(memory));
    data->receiver = reinterpret_cast<void*>(&Receive);
    return data;
}

// Without the gate a notice may reach the module's own function at any time,
// so the module is never unloaded: FreeLibrary then ends no transfer either,
// which a host can still cancel.
void PinModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&Receive), &module);
}

} // namespace

namespace NoticeGate {

INTERNET_STATUS_CALLBACK Open()
{
    AcquireSRWLockExclusive(&gateLock);
    if (!gateTried) {
        gateTried = true;
        gate = MakeGate();
        if (gate == nullptr)
            PinModule();
    }
    ReleaseSRWLockExclusive(&gateLock);
    if (gate == nullptr)
        return &Receive;
    return reinterpret_cast<INTERNET_STATUS_CALLBACK>(reinterpret_cast<unsigned char*>(gate) -
                                                      kPage);
}

void Close()
{
    if (gate == nullptr)
        return;
    // A notice that counted itself before the receiver went is awaited; one
    // that counts itself after it finds no receiver.
    InterlockedExchangePointer(const_cast<void**>(&gate->receiver), nullptr);
    while (InterlockedCompareExchange64(&gate->inFlight, 0, 0) != 0)
        Sleep(1);
}

} // namespace NoticeGate

} // namespace korvel
