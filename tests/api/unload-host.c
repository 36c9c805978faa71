/* A host that unloads the library right after its first download has been
 * submitted, in a process where nothing has run a transfer before:
 *     unload-host.exe <url> <target file>
 * Exit code 0: FreeLibrary returned within a second; 2: it took longer;
 * 3: the library or an export was missing; 4: the submit failed. */
#include "api/korvel.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 3;
    HMODULE korvel = LoadLibraryW(L"korvel.dll");
    if (korvel == NULL)
        return 3;
    PFN_WsUdOpen open = (PFN_WsUdOpen)(void (*)(void))GetProcAddress(korvel, "WsUdOpen");
    PFN_WsUdDownloadSubmit2 submit =
        (PFN_WsUdDownloadSubmit2)(void (*)(void))GetProcAddress(korvel, "WsUdDownloadSubmit2");
    uint32_t id = 0;
    if (open == NULL || submit == NULL || open(L"UnloadHost", L"1.0", L"", L"", L"en-US", &id) != 0)
        return 3;
    const uint32_t status = submit(id, argv[1], argv[2]);
    if (status != 0 && status != 0x40001002u)
        return 4;
    const ULONGLONG start = GetTickCount64();
    FreeLibrary(korvel);
    return GetTickCount64() - start < 1000 ? 0 : 2;
}
