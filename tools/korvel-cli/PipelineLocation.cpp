#include "tools/korvel-cli/PipelineLocation.h"

#include "base/Registry.h"
#include "packet/DeploymentHosts.h"
#include "tools/korvel-cli/Text.h"

namespace korvel::cli {

namespace {

const wchar_t kValueName[] = L"S_URL";

std::string KeyName(const std::wstring& subkey)
{
    return "HKLM\\" + ToUtf8(subkey);
}

} // namespace

PipelineLocation FindPipelineLocation(const std::wstring& wrapperlibName)
{
    const std::wstring mainKey = PipelineKeyPath();
    const std::wstring wrapperKey = mainKey + L"\\" + wrapperlibName;
    // A value that exists decides, even when empty: the library then keeps
    // its default and does not look further.
    std::wstring key = mainKey;
    if (!wrapperlibName.empty() && RegistryValueExists(wrapperKey, kValueName))
        key = wrapperKey;
    WsString url;
    ReadRegistryString(key, kValueName, url);
    if (!url.empty())
        return {ToUtf8(url), "the registry value S_URL under " + KeyName(key)};
    const std::string searched = wrapperlibName.empty() || key == wrapperKey
                                     ? KeyName(key)
                                     : KeyName(wrapperKey) + " or " + KeyName(mainKey);
    return {"https://" + ToUtf8(kDefaultPipelineHost) + "/lumq/pipeline",
            "the library's built-in default, as there is no S_URL under " + searched};
}

std::string PipelineDetail(uint32_t status, const std::wstring& wrapperlibName)
{
    // 0x8000800x: the pipeline answered, with a status of its own.
    if ((status & 0xFFFFF000u) == 0x80008000u)
        return {};
    const PipelineLocation location = FindPipelineLocation(wrapperlibName);
    return "pipeline: " + location.url + "\n(from " + location.source + ")";
}

} // namespace korvel::cli
