#pragma once

#include "packet/WsPacketRequest.h"

namespace korvel {

// A packet request to the pipeline service: its URL from the registry or the
// default, compression as configured, the library's identity in the user
// agent, and the protocol version on every run.
class WsPipelineRequest : public WsPacketRequest {
public:
    WsPipelineRequest(const WsClientInfo& client, const WsString& command, const WsPacket& packet,
                      bool secure);
    // Without command and packet: a source of pings.
    WsPipelineRequest(const WsClientInfo& client, bool secure);

    // Adds the protocol version (once per run, so a request runs once) and
    // submits the packet as the body.
    uint32_t Run(uint32_t timeoutMs, bool silent) override;

    // Asks the service to answer with a separate request made from this one's
    // identity and parent window, and waits for it to end. The date is the
    // answer's; the status is 0 or the mapped server status.
    uint32_t PingServer(uint32_t timeoutMs, bool silent, const WsString& invocationToken,
                        WsString& date);

private:
    void Configure(const WsClientInfo& client, bool secure);
};

// The library status for a non-zero status code in a ping's answer.
uint32_t MapPipelineStatus(int32_t code);

} // namespace korvel
