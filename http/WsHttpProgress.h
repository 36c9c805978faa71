#pragma once

#include <cstdint>

namespace korvel {

// A transfer's progress, copied out whole while the worker updates it field
// by field: a copy may mix values of two consecutive reads.
struct WsHttpProgress {
    uint64_t bytesReceived = 0; // includes what a resumed file already held
    uint64_t bytesVerified = 0; // bytes of the finished file read by the checksum
    uint64_t totalBytes = 0;    // bytesReceived at the size query plus the Content-Length
    uint32_t elapsedMs = 0;
    uint32_t secondsRemaining = 0;
    double currentRate = 0.0; // bytes per millisecond of the latest block
    double averageRate = 0.0; // bytes per second since the read loop started
    uint32_t status = 0;      // a transfer state while running, the final code afterwards
};

} // namespace korvel
