#pragma once

#include "base/WsStatus.h"

#include <cstdint>

namespace korvel {

// Runs an operation and turns whatever it raises into a status: a WsStatus
// unchanged, anything else (memory exhaustion, a standard-library error) into
// kStatusUnexpected. No exception leaves this function.
template <class Operation> uint32_t CallWithinFailureBoundary(Operation&& operation) noexcept
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
