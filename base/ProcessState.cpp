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

} // namespace korvel
