#include "packet/WsPipelineServerPing.h"

#include "base/WsStatus.h"
#include "packet/PipelineConfig.h"
#include "packet/WsPipelineRequest.h"

namespace korvel {

// The pipeline identity and compression of a query request are not applied:
// a ping carries only the application's token and what the caller adds.
WsPipelineServerPing::WsPipelineServerPing(const WsClientInfo& client, const WsString& locale,
                                           bool secure)
    : WsPacketRequest(client, locale)
{
    SetBaseUrl(GetServerUrl(secure, client.wrapperlibName));
    SetCommand(L"PingCmd:Ping");
    AddParameter(L"module", L"Pipeline");
}

uint32_t WsPipelineServerPing::SubmitPing(uint32_t timeoutMs, bool silent)
{
    const uint32_t status = SubmitPacket(timeoutMs, silent, false);
    if (status == kStatusSuccess)
        resultStatus_ = EvaluateResponse();
    return status;
}

uint32_t WsPipelineServerPing::EvaluateResponse()
{
    const WsPacketHeader& header = GetResponsePacket().Header();
    resultDate_ = header.Date();
    const int32_t code = header.StatusCode();
    return code == 0 ? kStatusSuccess : MapPipelineStatus(code);
}

} // namespace korvel
