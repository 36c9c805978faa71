#pragma once

#include "packet/WsPacketRequest.h"

namespace korvel {

// A ping of the pipeline service: a GET of "PingCmd:Ping" whose answer's
// header gives the server's date and status.
class WsPipelineServerPing : public WsPacketRequest {
public:
    WsPipelineServerPing(const WsClientInfo& client, const WsString& locale, bool secure);

    // Sends the ping without a body; when it has ended within the wait, its
    // answer is evaluated at once.
    uint32_t SubmitPing(uint32_t timeoutMs, bool silent);
    // Reads the answer: 0 for a status code of 0 (or none), else the mapped status.
    uint32_t EvaluateResponse();

    const WsString& ResultDate() const { return resultDate_; }
    uint32_t ResultStatus() const { return resultStatus_; }

private:
    WsString resultDate_;
    uint32_t resultStatus_ = 0;
};

} // namespace korvel
