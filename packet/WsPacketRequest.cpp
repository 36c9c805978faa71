#include "packet/WsPacketRequest.h"

#include "packet/PipelineConfig.h"

namespace korvel {

WsPacketRequest::WsPacketRequest(const WsClientInfo& client, const WsString& command,
                                 const WsPacket& packet, bool secure)
    : WsHttpRequest(client.swappName, client.swappVersion, secure), client_(client), packet_(packet)
{
    SetCommand(command);
}

WsPacketRequest::WsPacketRequest(const WsClientInfo& client, const WsString& locale)
    : WsHttpRequest(client.swappName, client.swappVersion), client_(client),
      packet_(WsPacketHeader(client, locale))
{
}

WsPacketRequest::WsPacketRequest(const WsClientInfo& client, bool secure)
    : WsHttpRequest(client.swappName, client.swappVersion, secure), client_(client)
{
}

uint32_t WsPacketRequest::SubmitPacket(uint32_t timeoutMs, bool silent, bool buildBody)
{
    if (buildBody) {
        WsXmlDocument document(L"packet", PacketNamespaceUri());
        packet_.Serialize(document, document.Root());
        SetPostData(document.ToString(true, true));
    }
    return WsHttpRequest::Run(timeoutMs, silent);
}

const WsPacket& WsPacketRequest::GetResponsePacket()
{
    if (!response_) {
        WsXmlDocument document;
        document.Parse(GetResponse());
        response_ = std::make_unique<WsPacket>(document);
    }
    return *response_;
}

} // namespace korvel
