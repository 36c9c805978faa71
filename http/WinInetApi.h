#pragma once

#include <windows.h>

#include <wininet.h>

namespace korvel {

// The WinINet functions the transport calls. wininet.dll is not one of the
// system's known DLLs: imported by name, it would be looked for in the host's
// folder first, where a planted copy would run inside the host. It is
// therefore loaded from the system folder alone and reached through this
// table.
struct WinInetApi {
    decltype(&::InternetOpenW) InternetOpenW;
    decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW;
    decltype(&::InternetConnectW) InternetConnectW;
    decltype(&::InternetCrackUrlW) InternetCrackUrlW;
    decltype(&::InternetSetOptionW) InternetSetOptionW;
    decltype(&::InternetQueryOptionW) InternetQueryOptionW;
    decltype(&::HttpOpenRequestW) HttpOpenRequestW;
    decltype(&::HttpAddRequestHeadersW) HttpAddRequestHeadersW;
    decltype(&::HttpSendRequestW) HttpSendRequestW;
    decltype(&::HttpSendRequestExW) HttpSendRequestExW;
    decltype(&::InternetWriteFile) InternetWriteFile;
    decltype(&::HttpEndRequestW) HttpEndRequestW;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW;
    decltype(&::InternetReadFileExA) InternetReadFileExA;
    decltype(&::InternetErrorDlg) InternetErrorDlg;
    decltype(&::DeleteUrlCacheEntryW) DeleteUrlCacheEntryW;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
};

// The table, loaded on first use. WinINet completes operations and delivers
// notices after this library has let go of a transaction, so once loaded it
// stays for the life of the process. Must not be first called from DllMain.
// Raises kStatusInternetOpenFailed when the system's WinINet lacks a function.
const WinInetApi& WinInet();

} // namespace korvel
