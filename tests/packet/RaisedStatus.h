#pragma once

#include "base/WsStatus.h"

#include <type_traits>

namespace korvel::test {

// The status that action raises; otherwise what it returns, or kStatusSuccess when it returns
// nothing.
template <typename Action> uint32_t RaisedStatus(Action&& action)
{
    try {
        if constexpr (std::is_void_v<decltype(action())>) {
            action();
            return kStatusSuccess;
        } else {
            return action();
        }
    } catch (WsStatus status) {
        return status;
    }
}

} // namespace korvel::test
