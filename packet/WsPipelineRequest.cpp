#include "packet/WsPipelineRequest.h"

#include "base/WsStatus.h"
#include "packet/PipelineConfig.h"
#include "packet/WsPipelineServerPing.h"

namespace korvel {

namespace {

// How often PingServer looks at a ping that is still running.
constexpr uint32_t kPingPollMs = 10;

} // namespace

WsPipelineRequest::WsPipelineRequest(const WsClientInfo& client, const WsString& command,
                                     const WsPacket& packet, bool secure)
    : WsPacketRequest(client, command, packet, secure)
{
    Configure(client, secure);
}

WsPipelineRequest::WsPipelineRequest(const WsClientInfo& client, bool secure)
    : WsPacketRequest(client, secure)
{
    Configure(client, secure);
}

// With the application's token added by the base, the user agent names the
// application, this library and the wrapper library, in that order.
void WsPipelineRequest::Configure(const WsClientInfo& client, bool secure)
{
    SetBaseUrl(GetServerUrl(secure, client.wrapperlibName));
    SetCompression(IsEncodingEnabled());
    AddUserAgentComponent(client.corelibName + L" " + client.corelibVersion);
    AddUserAgentComponent(client.wrapperlibName + L" " + client.wrapperlibVersion);
}

uint32_t WsPipelineRequest::Run(uint32_t timeoutMs, bool silent)
{
    AddParameter(L"pipeline_version", L"2.0");
    return SubmitPacket(timeoutMs, silent, true);
}

uint32_t WsPipelineRequest::PingServer(uint32_t timeoutMs, bool silent,
                                       const WsString& invocationToken, WsString& date)
{
    WsPipelineServerPing ping(Client(), L"en-XX", true);
    ping.ShareConnections(*this);
    if (ParentWindow() != nullptr)
        ping.SetParentWindow(ParentWindow());
    if (!invocationToken.empty())
        ping.AddUserAgentComponent(invocationToken);
    const uint32_t submitted = ping.SubmitPing(timeoutMs, silent);
    uint32_t status = submitted;
    do {
        Sleep(kPingPollMs);
        status = ping.Check(kPingPollMs);
    } while (status == kStatusPending);
    // A ping that ended after the submit returned is evaluated now, so that
    // the caller gets its date and status whatever the wait was.
    uint32_t result = ping.ResultStatus();
    if (submitted == kStatusPending && status == kStatusSuccess)
        result = ping.EvaluateResponse();
    date = ping.ResultDate();
    return result;
}

uint32_t MapPipelineStatus(int32_t code)
{
    switch (code) {
    case 10:
        return kStatusServer10;
    case 100:
    case 200:
        return kStatusServer100;
    case 300:
    case 400:
    case 500:
    case 600:
        return kStatusServer300;
    case 700:
    case 800:
        return kStatusServer700;
    case 900:
        return kStatusServer900;
    case 6000:
        return kStatusServer6000;
    default:
        return kStatusBadResponse;
    }
}

} // namespace korvel
