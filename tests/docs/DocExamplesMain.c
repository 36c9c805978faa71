/* The C examples of docs/API.md run as one host's day: open a session, ping,
 * find and list the updates, download the first one's package to a file,
 * download and install it, close. The examples themselves come from the
 * guide (fragments.c); only this order is written here.
 *
 * Usage: doc-examples TARGET_FILE */
#include "fragments.c"

int wmain(int argc, wchar_t** argv)
{
    uint32_t session = 0, status;
    wchar_t url[2048];
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: doc-examples TARGET_FILE\n");
        return 2;
    }
    status = WsUdOpen(L"HostApp", L"2.1", L"HostWrap", L"1.0", L"en-US", &session);
    if (status != kStatusSuccess) {
        ReportStatus("WsUdOpen", status);
        return 1;
    }
    ok = Ping(session) && ShowUpdates(session, url, sizeof url / sizeof url[0]) > 0 &&
         DownloadToFile(session, url, argv[1]) && Update(session, url);
    status = WsUdClose(session);
    if (status != kStatusSuccess)
        ReportStatus("WsUdClose", status);
    return ok && status == kStatusSuccess ? 0 : 1;
}
