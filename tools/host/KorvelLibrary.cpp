#include "tools/host/KorvelLibrary.h"

#include <stdexcept>

namespace korvel::host {

namespace {

template <class Function> void Resolve(HMODULE module, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (function == nullptr)
        throw std::runtime_error(std::string("korvel.dll does not export ") + name);
}

void ResolveAll(HMODULE module, KorvelApi& api)
{
    Resolve(module, "WsUdOpen", api.WsUdOpen);
    Resolve(module, "WsUdOpen2", api.WsUdOpen2);
    Resolve(module, "WsUdClose", api.WsUdClose);
    Resolve(module, "WsUdServerPing", api.WsUdServerPing);
    Resolve(module, "WsUdSetParentWindow", api.WsUdSetParentWindow);
    Resolve(module, "WsUdQueryOpenGroup", api.WsUdQueryOpenGroup);
    Resolve(module, "WsUdQueryCloseGroup", api.WsUdQueryCloseGroup);
    Resolve(module, "WsUdQueryAddTerm", api.WsUdQueryAddTerm);
    Resolve(module, "WsUdQueryAddText", api.WsUdQueryAddText);
    Resolve(module, "WsUdQueryReset", api.WsUdQueryReset);
    Resolve(module, "WsUdQuerySubmit", api.WsUdQuerySubmit);
    Resolve(module, "WsUdQueryCheck", api.WsUdQueryCheck);
    Resolve(module, "WsUdQueryCancel", api.WsUdQueryCancel);
    Resolve(module, "WsUdQueryResultSize", api.WsUdQueryResultSize);
    Resolve(module, "WsUdQueryResult", api.WsUdQueryResult);
    Resolve(module, "WsUdQueryResultVariant", api.WsUdQueryResultVariant);
    Resolve(module, "WsUdQueryStatus", api.WsUdQueryStatus);
    Resolve(module, "WsUdQueryGetHitCount", api.WsUdQueryGetHitCount);
    Resolve(module, "WsUdQueryGetId", api.WsUdQueryGetId);
    Resolve(module, "WsUdQueryGetIdVariant", api.WsUdQueryGetIdVariant);
    Resolve(module, "WsUdQueryGetType", api.WsUdQueryGetType);
    Resolve(module, "WsUdQueryGetTypeVariant", api.WsUdQueryGetTypeVariant);
    Resolve(module, "WsUdQueryGetUPC", api.WsUdQueryGetUPC);
    Resolve(module, "WsUdQueryGetUPCVariant", api.WsUdQueryGetUPCVariant);
    Resolve(module, "WsUdQueryGetUPCVersion", api.WsUdQueryGetUPCVersion);
    Resolve(module, "WsUdQueryGetUPCVersionVariant", api.WsUdQueryGetUPCVersionVariant);
    Resolve(module, "WsUdQueryGetUPCMinVersion", api.WsUdQueryGetUPCMinVersion);
    Resolve(module, "WsUdQueryGetUPCMinVersionVariant", api.WsUdQueryGetUPCMinVersionVariant);
    Resolve(module, "WsUdQueryGetDownloadGuid", api.WsUdQueryGetDownloadGuid);
    Resolve(module, "WsUdQueryGetDownloadGuidVariant", api.WsUdQueryGetDownloadGuidVariant);
    Resolve(module, "WsUdQueryGetDownloadSize", api.WsUdQueryGetDownloadSize);
    Resolve(module, "WsUdQueryGetInstallConditionsTypeCount",
            api.WsUdQueryGetInstallConditionsTypeCount);
    Resolve(module, "WsUdQueryGetInstallConditionsType", api.WsUdQueryGetInstallConditionsType);
    Resolve(module, "WsUdQueryGetInstallConditionsTypeVariant",
            api.WsUdQueryGetInstallConditionsTypeVariant);
    Resolve(module, "WsUdQueryGetInstallConditionsCount", api.WsUdQueryGetInstallConditionsCount);
    Resolve(module, "WsUdQueryGetInstallConditions", api.WsUdQueryGetInstallConditions);
    Resolve(module, "WsUdQueryGetInstallConditionsVariant",
            api.WsUdQueryGetInstallConditionsVariant);
    Resolve(module, "WsUdDownloadOpen", api.WsUdDownloadOpen);
    Resolve(module, "WsUdDownloadSubmit", api.WsUdDownloadSubmit);
    Resolve(module, "WsUdDownloadCheck", api.WsUdDownloadCheck);
    Resolve(module, "WsUdDownloadCancel", api.WsUdDownloadCancel);
    Resolve(module, "WsUdDownloadClose", api.WsUdDownloadClose);
    Resolve(module, "WsUdDownloadSubmit2", api.WsUdDownloadSubmit2);
    Resolve(module, "WsUdDownloadCheck2", api.WsUdDownloadCheck2);
    Resolve(module, "WsUdDownloadCancel2", api.WsUdDownloadCancel2);
    Resolve(module, "WsUdInstallOpen", api.WsUdInstallOpen);
    Resolve(module, "WsUdInstallSubmit", api.WsUdInstallSubmit);
    Resolve(module, "WsUdInstallCheck", api.WsUdInstallCheck);
    Resolve(module, "WsUdInstallCancel", api.WsUdInstallCancel);
    Resolve(module, "WsUdInstallClose", api.WsUdInstallClose);
}

} // namespace

KorvelLibrary::KorvelLibrary(const std::wstring& path)
{
    module_ = LoadLibraryW(path.c_str());
    if (module_ == nullptr)
        throw std::runtime_error("cannot load korvel.dll, error " + std::to_string(GetLastError()));
    try {
        ResolveAll(module_, api_);
    } catch (...) {
        FreeLibrary(module_);
        throw;
    }
}

KorvelLibrary::~KorvelLibrary()
{
    FreeLibrary(module_);
}

} // namespace korvel::host
