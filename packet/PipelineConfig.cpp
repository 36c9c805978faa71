#include "packet/PipelineConfig.h"

#include "base/Registry.h"
#include "base/TextUtils.h"
#include "packet/DeploymentHosts.h"

namespace korvel {

namespace {

WsString DefaultUrl(bool secure)
{
    return WsString(secure ? L"https" : L"http") + L"://" + kDefaultPipelineHost +
           L"/lumq/pipeline";
}

WsString ReadServerUrl(bool secure, const WsString& wrapperlibName)
{
    WsString url = DefaultUrl(secure);
    const WsString name = secure ? L"S_URL" : L"URL";
    const WsString wrapperKey = PipelineKeyPath() + L"\\" + wrapperlibName;
    if (!wrapperlibName.empty() && RegistryValueExists(wrapperKey, name)) {
        ReadRegistryString(wrapperKey, name, url);
        return url;
    }
    ReadRegistryString(PipelineKeyPath(), name, url);
    return url;
}

} // namespace

WsString GetServerUrl(bool secure, const WsString& wrapperlibName)
{
    try {
        return ReadServerUrl(secure, wrapperlibName);
    } catch (...) {
        return DefaultUrl(secure);
    }
}

bool IsEncodingEnabled()
{
    WsString disable;
    try {
        ReadRegistryString(PipelineKeyPath(), L"DisableEncoding", disable);
    } catch (...) {
        disable.clear();
    }
    return !ParseBool(disable);
}

const WsString& PacketNamespaceUri()
{
    static const WsString uri = WsString(L"http://") + kSchemaHost + L"/Schemas/RHO/2.0";
    return uri;
}

} // namespace korvel
