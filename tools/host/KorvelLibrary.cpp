#include "tools/host/KorvelLibrary.h"

#include <stdexcept>

namespace korvel::host {

namespace {

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    std::string utf8(
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, utf8.data(),
                        static_cast<int>(utf8.size()), nullptr, nullptr);
    return utf8;
}

// The system's own text for an error, on one line without its final period.
std::string SystemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    return Utf8(message);
}

// What a failed LoadLibraryW means for this path. Error 126 is the common
// one and says only that some module was not found: the file itself, or a
// DLL that it needs.
std::string LoadFailure(const std::wstring& path, DWORD error)
{
    std::string meaning;
    if (error == ERROR_MOD_NOT_FOUND)
        meaning = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES
                      ? "module not found: there is no such file"
                      : "module not found: the file exists, but a DLL it needs is missing";
    else if (error == ERROR_BAD_EXE_FORMAT)
        meaning = "not a DLL for 64-bit Windows";
    else
        meaning = SystemMessage(error);
    return "cannot load " + Utf8(path) + ": error " + std::to_string(error) +
           (meaning.empty() ? "" : " (" + meaning + ")");
}

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
        throw std::runtime_error(LoadFailure(path, GetLastError()));
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
