#pragma once

#include "base/WsStatus.h"

namespace korvel::test {

// The status that action raises, or kStatusSuccess when it returns.
template <typename Action> WsStatus RaisedStatus(Action&& action)
{
    try {
        action();
    } catch (WsStatus status) {
        return status;
    }
    return kStatusSuccess;
}

} // namespace korvel::test
