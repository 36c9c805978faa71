/* check-for-updates: the whole life of an update in one small host of
 * korvel.dll, to copy from.
 *
 *     check-for-updates [--install] [PRODUCT-ID]
 *
 * opens a session, pings the update service (the pipeline), asks it for the
 * English updates of a product newer than the version this host claims to be
 * (ProductId PRODUCT-ID, 1234 when not given), lists them, downloads the
 * first one's package with a progress line (Ctrl+C cancels the download) and,
 * with --install, installs it. Every call's status is printed by its name;
 * the exit code is 0 when every step succeeded.
 *
 * WsUdInstallSubmit installs the package of the session's last finished
 * WsUdDownloadSubmit, kept by the library; a file saved with
 * WsUdDownloadSubmit2 is never installed. So the package is downloaded once,
 * with WsUdDownloadSubmit, and installed in the same session.
 *
 * The library reads the pipeline's URL from the registry: value S_URL under
 * HKLM\SOFTWARE\Talvessa\Pipeline\CheckForUpdates (the wrapper library name
 * this host opens its session with), else under HKLM\SOFTWARE\Talvessa\Pipeline
 * (docs/API.md, "Registry values"). */
#define COBJMACROS
#include <korvel.h>
#include <korvel_status.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define HOST_VERSION L"2.0.9"

/* Set by the Ctrl+C handler, which the console runs on a thread of its own.
 * The download loop cancels on the main thread: a session takes calls from
 * one thread at a time. */
static volatile LONG cancelRequested;

static BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    InterlockedExchange(&cancelRequested, 1);
    return TRUE;
}

/* "step: kStatusName", and what a failure means; 1 for success. */
static int Report(const char* step, uint32_t status)
{
    const char* name = KorvelStatusName(status);

    if (name == NULL)
        printf("%s: 0x%08X\n", step, (unsigned)status);
    else if (status == kStatusSuccess)
        printf("%s: %s\n", step, name);
    else
        printf("%s: %s (%s)\n", step, name, KorvelStatusMeaning(status));
    return status == kStatusSuccess;
}

static int Ping(uint32_t session)
{
    VARIANT date;
    int ok;

    VariantInit(&date);
    ok = Report("ping", WsUdServerPing(session, 10000, &date));
    if (ok)
        printf("  server date %ls\n", V_BSTR(&date));
    VariantClear(&date);
    return ok;
}

/* ProductId = product AND Language = en AND Version > HOST_VERSION. Returns
 * the raw answer (malloc'ed, its length in *size) or NULL. */
static uint8_t* Query(uint32_t session, const wchar_t* product, uint32_t* size)
{
    uint32_t serverStatus = 0;
    uint32_t status = WsUdQueryOpenGroup(session, 0); /* 0: And */
    uint8_t* answer;

    if (status == kStatusSuccess)
        status = WsUdQueryAddTerm(session, L"ProductId", product);
    if (status == kStatusSuccess)
        status = WsUdQueryAddTerm(session, L"Language", L"en");
    if (status == kStatusSuccess)
        status = WsUdQueryAddText(session, L"Version", HOST_VERSION, 0, 3); /* 3: GreaterThan */
    if (status == kStatusSuccess)
        status = WsUdQueryCloseGroup(session);
    /* Start without waiting, then poll: each check waits up to 100 ms. */
    if (status == kStatusSuccess)
        status = WsUdQuerySubmit(session, 20, 0);
    while (status == kStatusPending)
        status = WsUdQueryCheck(session, 100);
    /* The exchange went well; the answer carries the service's own code. */
    if (status == kStatusSuccess)
        status = WsUdQueryStatus(session, &serverStatus);
    if (!Report("query", status))
        return NULL;
    if (serverStatus != 0) {
        printf("  the service answered with code %u\n", (unsigned)serverStatus);
        return NULL;
    }
    WsUdQueryResultSize(session, size);
    answer = (uint8_t*)malloc(*size + 1);
    if (answer != NULL)
        WsUdQueryResult(session, answer);
    return answer;
}

typedef HRESULT(WINAPI* PFN_CreateXmlReader)(REFIID riid, void** reader, IMalloc* malloc);
static const IID kXmlReaderIid = {
    0x7279fc81, 0x709d, 0x4095, {0xb6, 0x3d, 0x69, 0xfe, 0x4b, 0x0d, 0x90, 0x30}};

static int Attribute(IXmlReader* reader, const wchar_t* name, const wchar_t** value)
{
    return IXmlReader_MoveToAttributeByName(reader, name, NULL) == S_OK &&
           IXmlReader_GetValue(reader, value, NULL) == S_OK;
}

/* Lists the updates of an answer, <entry id="..."> each with its
 * <download url="..."/> and the text of its <metadata field="Title">, and
 * copies the first package's URL into firstUrl. Returns the number of
 * updates, or -1 when the answer cannot be read (docs/API.md, "The answer").
 * XmlLite comes with Windows; MinGW-w64 has no import library for it, so it
 * is loaded from the system folder. */
static int ListUpdates(const uint8_t* answer, uint32_t size, wchar_t* firstUrl, size_t urlChars)
{
    HMODULE xmllite = LoadLibraryExW(L"xmllite.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    PFN_CreateXmlReader createXmlReader =
        xmllite ? (PFN_CreateXmlReader)(void (*)(void))GetProcAddress(xmllite, "CreateXmlReader")
                : NULL;
    IStream* stream = SHCreateMemStream(answer, size);
    IXmlReader* reader = NULL;
    XmlNodeType type;
    const wchar_t *name, *value;
    HRESULT result = E_FAIL;
    int updates = 0, inTitle = 0;

    firstUrl[0] = L'\0';
    if (createXmlReader != NULL && stream != NULL &&
        createXmlReader(&kXmlReaderIid, (void**)&reader, NULL) == S_OK &&
        IXmlReader_SetInput(reader, (IUnknown*)stream) == S_OK) {
        while ((result = IXmlReader_Read(reader, &type)) == S_OK) {
            /* An element's text is the node after its start tag. */
            if (inTitle && type == XmlNodeType_Text &&
                IXmlReader_GetValue(reader, &value, NULL) == S_OK)
                printf("    title %ls\n", value);
            inTitle = 0;
            if (type != XmlNodeType_Element || IXmlReader_GetLocalName(reader, &name, NULL) != S_OK)
                continue;
            if (wcscmp(name, L"metadata") == 0)
                inTitle = Attribute(reader, L"field", &value) && wcscmp(value, L"Title") == 0;
            else if (wcscmp(name, L"entry") == 0 && Attribute(reader, L"id", &value)) {
                printf("  update %ls\n", value);
                ++updates;
            } else if (wcscmp(name, L"download") == 0 && Attribute(reader, L"url", &value)) {
                printf("    package %ls\n", value);
                if (updates == 1 && wcslen(value) < urlChars)
                    wcscpy(firstUrl, value);
            }
        }
    }
    if (reader != NULL)
        IXmlReader_Release(reader);
    if (stream != NULL)
        stream->lpVtbl->Release(stream);
    if (xmllite != NULL)
        FreeLibrary(xmllite);
    return result == S_FALSE ? updates : -1; /* S_FALSE: the end of the document */
}

/* Downloads the package for the install step into a file of the session's
 * own, the file Install takes; Ctrl+C cancels it. */
static int Download(uint32_t session, const wchar_t* url)
{
    double progress = 0.0;
    uint8_t sizeKnown = 0;
    uint32_t status;
    int shown = 0;

    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    status = WsUdDownloadSubmit(session, url, 0, &progress, &sizeKnown);
    while (status == kStatusPending && !cancelRequested) {
        if (sizeKnown) {
            printf("\rdownload: %5.1f %%", progress * 100.0);
            fflush(stdout);
            shown = 1;
        }
        status = WsUdDownloadCheck(session, 250, &progress, &sizeKnown);
    }
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    if (shown)
        printf("\n");
    if (status == kStatusPending) {
        Report("download cancelled", WsUdDownloadCancel(session)); /* returns once it stopped */
        return 0;
    }
    /* kStatusNotRunning: the download had ended inside the submit's wait. */
    Report("download", status);
    return status == kStatusSuccess || status == kStatusNotRunning;
}

/* Extracts the package of the last WsUdDownloadSubmit and runs the installer
 * it names. */
static int Install(uint32_t session)
{
    uint32_t status = WsUdInstallSubmit(session, 0);

    while (status == kStatusPending)
        status = WsUdInstallCheck(session, 500);
    return Report("install", status);
}

static int CheckForUpdates(uint32_t session, const wchar_t* product, int install)
{
    wchar_t url[2048];
    uint32_t size = 0;
    uint8_t* answer;
    int updates;

    if (!Ping(session) || (answer = Query(session, product, &size)) == NULL)
        return 0;
    updates = ListUpdates(answer, size, url, sizeof url / sizeof url[0]);
    free(answer);
    if (updates <= 0 || url[0] == L'\0') {
        printf(updates < 0 ? "the answer is no XML\n" : "no update to download\n");
        return updates == 0;
    }
    return Download(session, url) && (!install || Install(session));
}

int main(int argc, char** argv)
{
    const char* productId = "1234";
    wchar_t product[64];
    uint32_t session = 0;
    int install = 0, ok, i;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--install") == 0)
            install = 1;
        else
            productId = argv[i];
    }
    if (MultiByteToWideChar(CP_ACP, 0, productId, -1, product, 64) == 0) {
        fprintf(stderr, "usage: check-for-updates [--install] [PRODUCT-ID]\n");
        return 2;
    }
    /* This host's name and version, the wrapper library's name and version
     * (it selects the registry key of the pipeline URL), the locale. */
    if (!Report("open",
                WsUdOpen(L"HostApp", HOST_VERSION, L"CheckForUpdates", L"1.0", L"en-US", &session)))
        return 1;
    ok = CheckForUpdates(session, product, install);
    /* Closing cancels what still runs and deletes the downloaded package. */
    ok = Report("close", WsUdClose(session)) && ok;
    return ok ? 0 : 1;
}
