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

} // namespace

// A value that exists decides, even when empty: the default then stands and
// the pipeline key is not read.
ServerUrlSource FindServerUrl(bool secure, const WsString& wrapperlibName)
{
    const WsString name = secure ? L"S_URL" : L"URL";
    const WsString wrapperKey = PipelineKeyPath() + L"\\" + wrapperlibName;
    ServerUrlSource source;
    source.key = !wrapperlibName.empty() && RegistryValueExists(wrapperKey, name)
                     ? wrapperKey
                     : PipelineKeyPath();
    ReadRegistryString(source.key, name, source.url);
    source.fromRegistry = !source.url.empty();
    if (!source.fromRegistry)
        source.url = DefaultUrl(secure);
    return source;
}

WsString GetServerUrl(bool secure, const WsString& wrapperlibName)
{
    try {
        return FindServerUrl(secure, wrapperlibName).url;
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

WsString PacketNamespaceUri()
{
    return WsString(L"http://") + kSchemaHost + L"/Schemas/RHO/2.0";
}

} // namespace korvel
