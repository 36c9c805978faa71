#pragma once

#include "base/WsString.h"

#include <cstdint>
#include <map>
#include <vector>

namespace korvel {

// One update as the result catalog holds it.
struct WsUpdateEntry {
    WsString id;
    WsString type;
    WsString upc;
    WsString upcVersion;
    WsString upcMinVersion;
    WsString downloadGuid;
    uint64_t downloadSize = 0;
    // Conditions by type, ordered by code unit; the type list is kept apart
    // and need not match the map's keys.
    std::map<WsString, std::vector<WsString>> installConditions;
    std::vector<WsString> installConditionTypes;
};

} // namespace korvel
