/* A host as a developer writes it against the release archive: compiled
 * against include/, linked with lib/libkorvel.dll.a and run with korvel.dll
 * beside it. It reports the version resource of the korvel.dll it loaded, then
 * opens a session for the wrapper library KorvelDistHost, whose pipeline URL no
 * other test sets, pings the pipeline and closes the session, one line per
 * step:
 *
 *     version <FileVersion text>
 *     open <status> <session id>
 *     ping <status> <server date>
 *     close <status>
 *
 * The exit code is 0 when every step succeeded. */
#include <korvel.h>

#include <stdio.h>
#include <stdlib.h>

static int PrintVersion(void)
{
    wchar_t path[MAX_PATH];
    DWORD unused = 0;
    DWORD size;
    void* data;
    wchar_t* text = NULL;
    UINT length = 0;
    int ok;

    if (GetModuleFileNameW(GetModuleHandleW(L"korvel.dll"), path, MAX_PATH) == 0)
        return 0;
    size = GetFileVersionInfoSizeW(path, &unused);
    data = size ? malloc(size) : NULL;
    if (data == NULL)
        return 0;
    ok = GetFileVersionInfoW(path, 0, size, data) &&
         VerQueryValueW(data, L"\\StringFileInfo\\040904b0\\FileVersion", (void**)&text, &length);
    if (ok)
        printf("version %ls\n", text);
    free(data);
    return ok;
}

int main(void)
{
    uint32_t session = 0;
    uint32_t status;
    VARIANT date;
    int ok = PrintVersion();

    status = WsUdOpen(L"DistHostApp", L"1.0", L"KorvelDistHost", L"1.0", L"en-US", &session);
    printf("open 0x%08X %u\n", (unsigned)status, (unsigned)session);
    if (status != kStatusSuccess)
        return 1;
    VariantInit(&date);
    status = WsUdServerPing(session, 30000, &date);
    printf("ping 0x%08X %ls\n", (unsigned)status,
           V_VT(&date) == VT_BSTR && V_BSTR(&date) ? V_BSTR(&date) : L"(no date)");
    VariantClear(&date);
    ok = ok && status == kStatusSuccess;
    status = WsUdClose(session);
    printf("close 0x%08X\n", (unsigned)status);
    return ok && status == kStatusSuccess ? 0 : 1;
}
