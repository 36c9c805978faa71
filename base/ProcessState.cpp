#include "base/ProcessState.h"

#include <atomic>

namespace korvel {

namespace {
std::atomic<bool> processExiting{false};
} // namespace

void MarkProcessExiting()
{
    processExiting = true;
}

bool ProcessIsExiting()
{
    return processExiting;
}

} // namespace korvel
