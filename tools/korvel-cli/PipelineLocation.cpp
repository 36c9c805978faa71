#include "tools/korvel-cli/PipelineLocation.h"

#include "base/Registry.h"
#include "packet/PipelineConfig.h"
#include "tools/korvel-cli/Text.h"

namespace korvel::cli {

namespace {

std::string KeyName(const std::wstring& subkey)
{
    return "HKLM\\" + ToUtf8(subkey);
}

} // namespace

PipelineLocation FindPipelineLocation(const std::wstring& wrapperlibName)
{
    const ServerUrlSource found = FindServerUrl(true, wrapperlibName);
    if (found.fromRegistry)
        return {ToUtf8(found.url), "the registry value S_URL under " + KeyName(found.key)};
    const std::wstring mainKey = PipelineKeyPath();
    const std::string searched =
        wrapperlibName.empty() || found.key != mainKey
            ? KeyName(found.key)
            : KeyName(mainKey + L"\\" + wrapperlibName) + " or " + KeyName(mainKey);
    return {ToUtf8(found.url),
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
