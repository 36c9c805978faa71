#pragma once

#include "api/korvel.h"

#include <cstdint>

namespace korvel {

// Raises a failure inside the library; the failure boundary below turns it
// back into the status an export returns.
[[noreturn]] inline void Raise(WsStatus status)
{
    throw status;
}

// Runs an operation and turns whatever it raises into a status: a WsStatus
// unchanged, anything else (memory exhaustion, a standard-library error) into
// kStatusUnexpected. No exception leaves this function.
template <class Operation>
uint32_t CallWithinFailureBoundary(Operation&& operation) noexcept
{
    try {
        return operation();
    } catch (WsStatus status) {
        return status;
    } catch (...) {
        return kStatusUnexpected;
    }
}

} // namespace korvel
