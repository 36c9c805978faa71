#include "http/WinInetApi.h"

#include "base/SystemLibrary.h"
#include "base/WsStatus.h"

#include <type_traits>

namespace korvel {

namespace {

template <class Function> void Resolve(const SystemLibrary& library, const char* name, Function& f)
{
    f = library.Find<std::remove_pointer_t<Function>>(name);
}

// Null when the library or one of its functions is missing.
const WinInetApi* Load()
{
    // Never freed: see WinInet().
    auto* library = new SystemLibrary(L"wininet.dll");
    auto* api = new WinInetApi{};
    Resolve(*library, "InternetOpenW", api->InternetOpenW);
    Resolve(*library, "InternetSetStatusCallbackW", api->InternetSetStatusCallbackW);
    Resolve(*library, "InternetConnectW", api->InternetConnectW);
    Resolve(*library, "InternetCrackUrlW", api->InternetCrackUrlW);
    Resolve(*library, "InternetSetOptionW", api->InternetSetOptionW);
    Resolve(*library, "InternetQueryOptionW", api->InternetQueryOptionW);
    Resolve(*library, "HttpOpenRequestW", api->HttpOpenRequestW);
    Resolve(*library, "HttpAddRequestHeadersW", api->HttpAddRequestHeadersW);
    Resolve(*library, "HttpSendRequestW", api->HttpSendRequestW);
    Resolve(*library, "HttpSendRequestExW", api->HttpSendRequestExW);
    Resolve(*library, "InternetWriteFile", api->InternetWriteFile);
    Resolve(*library, "HttpEndRequestW", api->HttpEndRequestW);
    Resolve(*library, "HttpQueryInfoW", api->HttpQueryInfoW);
    Resolve(*library, "InternetReadFileExA", api->InternetReadFileExA);
    Resolve(*library, "InternetErrorDlg", api->InternetErrorDlg);
    Resolve(*library, "DeleteUrlCacheEntryW", api->DeleteUrlCacheEntryW);
    Resolve(*library, "InternetCloseHandle", api->InternetCloseHandle);
    const void* const* entry = reinterpret_cast<const void* const*>(api);
    for (size_t i = 0; i < sizeof(WinInetApi) / sizeof(void*); ++i)
        if (entry[i] == nullptr)
            return nullptr;
    return api;
}

} // namespace

const WinInetApi& WinInet()
{
    static const WinInetApi* const api = Load();
    if (api == nullptr)
        Raise(kStatusInternetOpenFailed);
    return *api;
}

} // namespace korvel
