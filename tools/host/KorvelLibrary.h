#pragma once

#include "api/korvel.h"

#include <string>

namespace korvel::host {

// The library as a host sees it: loaded by path and reached through
// GetProcAddress. Each member points at the export of the same name.
struct KorvelApi {
    decltype(&::WsUdOpen) WsUdOpen = nullptr;
    decltype(&::WsUdOpen2) WsUdOpen2 = nullptr;
    decltype(&::WsUdClose) WsUdClose = nullptr;
    decltype(&::WsUdServerPing) WsUdServerPing = nullptr;
    decltype(&::WsUdSetParentWindow) WsUdSetParentWindow = nullptr;
    decltype(&::WsUdQueryOpenGroup) WsUdQueryOpenGroup = nullptr;
    decltype(&::WsUdQueryCloseGroup) WsUdQueryCloseGroup = nullptr;
    decltype(&::WsUdQueryAddTerm) WsUdQueryAddTerm = nullptr;
    decltype(&::WsUdQueryAddText) WsUdQueryAddText = nullptr;
    decltype(&::WsUdQueryReset) WsUdQueryReset = nullptr;
    decltype(&::WsUdQuerySubmit) WsUdQuerySubmit = nullptr;
    decltype(&::WsUdQueryCheck) WsUdQueryCheck = nullptr;
    decltype(&::WsUdQueryCancel) WsUdQueryCancel = nullptr;
    decltype(&::WsUdQueryResultSize) WsUdQueryResultSize = nullptr;
    decltype(&::WsUdQueryResult) WsUdQueryResult = nullptr;
    decltype(&::WsUdQueryResultVariant) WsUdQueryResultVariant = nullptr;
    decltype(&::WsUdQueryStatus) WsUdQueryStatus = nullptr;
    decltype(&::WsUdQueryGetHitCount) WsUdQueryGetHitCount = nullptr;
    decltype(&::WsUdQueryGetId) WsUdQueryGetId = nullptr;
    decltype(&::WsUdQueryGetIdVariant) WsUdQueryGetIdVariant = nullptr;
    decltype(&::WsUdQueryGetType) WsUdQueryGetType = nullptr;
    decltype(&::WsUdQueryGetTypeVariant) WsUdQueryGetTypeVariant = nullptr;
    decltype(&::WsUdQueryGetUPC) WsUdQueryGetUPC = nullptr;
    decltype(&::WsUdQueryGetUPCVariant) WsUdQueryGetUPCVariant = nullptr;
    decltype(&::WsUdQueryGetUPCVersion) WsUdQueryGetUPCVersion = nullptr;
    decltype(&::WsUdQueryGetUPCVersionVariant) WsUdQueryGetUPCVersionVariant = nullptr;
    decltype(&::WsUdQueryGetUPCMinVersion) WsUdQueryGetUPCMinVersion = nullptr;
    decltype(&::WsUdQueryGetUPCMinVersionVariant) WsUdQueryGetUPCMinVersionVariant = nullptr;
    decltype(&::WsUdQueryGetDownloadGuid) WsUdQueryGetDownloadGuid = nullptr;
    decltype(&::WsUdQueryGetDownloadGuidVariant) WsUdQueryGetDownloadGuidVariant = nullptr;
    decltype(&::WsUdQueryGetDownloadSize) WsUdQueryGetDownloadSize = nullptr;
    decltype(&::WsUdQueryGetInstallConditionsTypeCount) WsUdQueryGetInstallConditionsTypeCount =
        nullptr;
    decltype(&::WsUdQueryGetInstallConditionsType) WsUdQueryGetInstallConditionsType = nullptr;
    decltype(&::WsUdQueryGetInstallConditionsTypeVariant) WsUdQueryGetInstallConditionsTypeVariant =
        nullptr;
    decltype(&::WsUdQueryGetInstallConditionsCount) WsUdQueryGetInstallConditionsCount = nullptr;
    decltype(&::WsUdQueryGetInstallConditions) WsUdQueryGetInstallConditions = nullptr;
    decltype(&::WsUdQueryGetInstallConditionsVariant) WsUdQueryGetInstallConditionsVariant =
        nullptr;
    decltype(&::WsUdDownloadOpen) WsUdDownloadOpen = nullptr;
    decltype(&::WsUdDownloadSubmit) WsUdDownloadSubmit = nullptr;
    decltype(&::WsUdDownloadCheck) WsUdDownloadCheck = nullptr;
    decltype(&::WsUdDownloadCancel) WsUdDownloadCancel = nullptr;
    decltype(&::WsUdDownloadClose) WsUdDownloadClose = nullptr;
    decltype(&::WsUdDownloadSubmit2) WsUdDownloadSubmit2 = nullptr;
    decltype(&::WsUdDownloadCheck2) WsUdDownloadCheck2 = nullptr;
    decltype(&::WsUdDownloadCancel2) WsUdDownloadCancel2 = nullptr;
    decltype(&::WsUdInstallOpen) WsUdInstallOpen = nullptr;
    decltype(&::WsUdInstallSubmit) WsUdInstallSubmit = nullptr;
    decltype(&::WsUdInstallCheck) WsUdInstallCheck = nullptr;
    decltype(&::WsUdInstallCancel) WsUdInstallCancel = nullptr;
    decltype(&::WsUdInstallClose) WsUdInstallClose = nullptr;
};

// Owns a loaded korvel.dll and its resolved exports; unloading it destroys
// the library's remaining sessions.
class KorvelLibrary {
public:
    // Throws std::runtime_error naming what failed: the load, or the first
    // export that is missing.
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
