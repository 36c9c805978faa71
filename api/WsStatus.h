#pragma once

#include "api/korvel.h"

namespace korvel {

// Raises a failure inside the library. The session manager's forwarders turn
// it back into the status an export returns.
[[noreturn]] inline void Raise(WsStatus status)
{
    throw status;
}

// Failures have the top bit set; 0 and the 0x4000xxxx states are not failures.
inline bool IsFailure(uint32_t status)
{
    return static_cast<int32_t>(status) < 0;
}

} // namespace korvel
