#include "base/ProcessState.h"

#include <atomic>

namespace korvel {

namespace {
std::atomic<bool> processExiting{false};
std::atomic<bool> moduleUnloading{false};
} // namespace

void MarkProcessExiting()
{
    processExiting = true;
}

bool ProcessIsExiting()
{
    return processExiting;
}

void MarkModuleUnloading()
{
    moduleUnloading = true;
}

bool ModuleIsUnloading()
{
    return moduleUnloading;
}

HMODULE TakeModuleReference()
{
    HMODULE module = nullptr;
    if (ModuleIsUnloading() ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&TakeModuleReference), &module))
        return nullptr;
    return module;
}

} // namespace korvel
