#pragma once

#include "http/WsHttpRequest.h"
#include "packet/WsClientInfo.h"
#include "packet/WsPacket.h"

#include <memory>

namespace korvel {

// An HTTP request that carries a packet and reads the packet that answers it.
class WsPacketRequest : public WsHttpRequest {
public:
    WsPacketRequest(const WsClientInfo& client, const WsString& command, const WsPacket& packet,
                    bool secure);
    // A packet with a header and no body.
    WsPacketRequest(const WsClientInfo& client, const WsString& locale);
    WsPacketRequest(const WsClientInfo& client, bool secure);

    void SetPacket(const WsPacket& packet) { packet_ = packet; }

    // With buildBody the packet is written as the body, which makes the
    // transaction a POST; then the transaction runs as WsHttpRequest::Run.
    uint32_t SubmitPacket(uint32_t timeoutMs, bool silent, bool buildBody);

    // The answer, parsed once on first use and kept. Raises the parse
    // failures of an answer that is not XML or holds no element.
    const WsPacket& GetResponsePacket();

protected:
    const WsClientInfo& Client() const { return client_; }

private:
    WsClientInfo client_;
    WsPacket packet_;
    std::unique_ptr<WsPacket> response_;
};

} // namespace korvel
