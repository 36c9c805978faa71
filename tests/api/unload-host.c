/* A host that ends while its downloads run, in a process where nothing has run
 * a transfer before:
 *     unload-host.exe <url> <target file> [<exit after ms>]
 * Without the third argument it submits one download and unloads the library
 * at once; exit code 0: FreeLibrary returned within a second; 2: it took
 * longer. With it, it submits eight downloads on eight sessions (to
 * <target file>.1 to .8), sleeps that long and calls ExitProcess(7) with the
 * library loaded. 3: the library or an export was missing; 4: a submit failed. */
#include "api/korvel.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && argc != 4)
        return 3;
    const int downloads = argc == 4 ? 8 : 1;
    HMODULE korvel = LoadLibraryW(L"korvel.dll");
    if (korvel == NULL)
        return 3;
    PFN_WsUdOpen open = (PFN_WsUdOpen)(void (*)(void))GetProcAddress(korvel, "WsUdOpen");
    PFN_WsUdDownloadSubmit2 submit =
        (PFN_WsUdDownloadSubmit2)(void (*)(void))GetProcAddress(korvel, "WsUdDownloadSubmit2");
    if (open == NULL || submit == NULL)
        return 3;
    for (int i = 1; i <= downloads; ++i) {
        wchar_t target[MAX_PATH];
        uint32_t id = 0;
        if (_snwprintf(target, MAX_PATH, downloads == 1 ? L"%ls" : L"%ls.%d", argv[2], i) < 0 ||
            open(L"UnloadHost", L"1.0", L"", L"", L"en-US", &id) != 0)
            return 3;
        const uint32_t status = submit(id, argv[1], target);
        if (status != 0 && status != 0x40001002u)
            return 4;
    }
    if (argc == 4) {
        Sleep((DWORD)_wtoi(argv[3]));
        ExitProcess(7);
    }
    const ULONGLONG start = GetTickCount64();
    FreeLibrary(korvel);
    return GetTickCount64() - start < 1000 ? 0 : 2;
}
