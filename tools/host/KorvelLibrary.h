#pragma once

#include "api/korvel.h"

#include <string>

namespace korvel::host {

// The library as a host sees it: loaded by path and reached through
// GetProcAddress. Each member points at the export of the same name.
struct KorvelApi {
    PFN_WsUdOpen WsUdOpen = nullptr;
    PFN_WsUdOpen2 WsUdOpen2 = nullptr;
    PFN_WsUdClose WsUdClose = nullptr;
    PFN_WsUdServerPing WsUdServerPing = nullptr;
    PFN_WsUdSetParentWindow WsUdSetParentWindow = nullptr;
    PFN_WsUdQueryOpenGroup WsUdQueryOpenGroup = nullptr;
    PFN_WsUdQueryCloseGroup WsUdQueryCloseGroup = nullptr;
    PFN_WsUdQueryAddTerm WsUdQueryAddTerm = nullptr;
    PFN_WsUdQueryAddText WsUdQueryAddText = nullptr;
    PFN_WsUdQueryReset WsUdQueryReset = nullptr;
    PFN_WsUdQuerySubmit WsUdQuerySubmit = nullptr;
    PFN_WsUdQueryCheck WsUdQueryCheck = nullptr;
    PFN_WsUdQueryCancel WsUdQueryCancel = nullptr;
    PFN_WsUdQueryResultSize WsUdQueryResultSize = nullptr;
    PFN_WsUdQueryResult WsUdQueryResult = nullptr;
    PFN_WsUdQueryResultVariant WsUdQueryResultVariant = nullptr;
    PFN_WsUdQueryStatus WsUdQueryStatus = nullptr;
    PFN_WsUdQueryGetHitCount WsUdQueryGetHitCount = nullptr;
    PFN_WsUdQueryGetId WsUdQueryGetId = nullptr;
    PFN_WsUdQueryGetIdVariant WsUdQueryGetIdVariant = nullptr;
    PFN_WsUdQueryGetType WsUdQueryGetType = nullptr;
    PFN_WsUdQueryGetTypeVariant WsUdQueryGetTypeVariant = nullptr;
    PFN_WsUdQueryGetUPC WsUdQueryGetUPC = nullptr;
    PFN_WsUdQueryGetUPCVariant WsUdQueryGetUPCVariant = nullptr;
    PFN_WsUdQueryGetUPCVersion WsUdQueryGetUPCVersion = nullptr;
    PFN_WsUdQueryGetUPCVersionVariant WsUdQueryGetUPCVersionVariant = nullptr;
    PFN_WsUdQueryGetUPCMinVersion WsUdQueryGetUPCMinVersion = nullptr;
    PFN_WsUdQueryGetUPCMinVersionVariant WsUdQueryGetUPCMinVersionVariant = nullptr;
    PFN_WsUdQueryGetDownloadGuid WsUdQueryGetDownloadGuid = nullptr;
    PFN_WsUdQueryGetDownloadGuidVariant WsUdQueryGetDownloadGuidVariant = nullptr;
    PFN_WsUdQueryGetDownloadSize WsUdQueryGetDownloadSize = nullptr;
    PFN_WsUdQueryGetInstallConditionsTypeCount WsUdQueryGetInstallConditionsTypeCount = nullptr;
    PFN_WsUdQueryGetInstallConditionsType WsUdQueryGetInstallConditionsType = nullptr;
    PFN_WsUdQueryGetInstallConditionsTypeVariant WsUdQueryGetInstallConditionsTypeVariant = nullptr;
    PFN_WsUdQueryGetInstallConditionsCount WsUdQueryGetInstallConditionsCount = nullptr;
    PFN_WsUdQueryGetInstallConditions WsUdQueryGetInstallConditions = nullptr;
    PFN_WsUdQueryGetInstallConditionsVariant WsUdQueryGetInstallConditionsVariant = nullptr;
    PFN_WsUdDownloadOpen WsUdDownloadOpen = nullptr;
    PFN_WsUdDownloadSubmit WsUdDownloadSubmit = nullptr;
    PFN_WsUdDownloadCheck WsUdDownloadCheck = nullptr;
    PFN_WsUdDownloadCancel WsUdDownloadCancel = nullptr;
    PFN_WsUdDownloadClose WsUdDownloadClose = nullptr;
    PFN_WsUdDownloadSubmit2 WsUdDownloadSubmit2 = nullptr;
    PFN_WsUdDownloadCheck2 WsUdDownloadCheck2 = nullptr;
    PFN_WsUdDownloadCancel2 WsUdDownloadCancel2 = nullptr;
    PFN_WsUdInstallOpen WsUdInstallOpen = nullptr;
    PFN_WsUdInstallSubmit WsUdInstallSubmit = nullptr;
    PFN_WsUdInstallCheck WsUdInstallCheck = nullptr;
    PFN_WsUdInstallCancel WsUdInstallCancel = nullptr;
    PFN_WsUdInstallClose WsUdInstallClose = nullptr;
};

// Owns a loaded korvel.dll and its resolved exports; unloading it destroys
// the library's remaining sessions.
class KorvelLibrary {
public:
    // Throws std::runtime_error naming what failed: the load (with the path
    // tried and what the system's error means), or the first export that is
    // missing.
    explicit KorvelLibrary(const std::wstring& path = L"korvel.dll");
    ~KorvelLibrary();
    KorvelLibrary(const KorvelLibrary&) = delete;
    KorvelLibrary& operator=(const KorvelLibrary&) = delete;

    const KorvelApi& Api() const { return api_; }
    const KorvelApi* operator->() const { return &api_; }
    HMODULE Module() const { return module_; }

private:
    HMODULE module_ = nullptr;
    KorvelApi api_;
};

} // namespace korvel::host
