// The log as a host meets it: switched on in the registry before the library
// is loaded, closed when it is unloaded.
#include "tests/api/ExportFixture.h"

using namespace korvel::test;

using LogThroughLibrary = ExportFixture;

TEST_F(LogThroughLibrary, UnloadClosesTheManagerBeforeItsSessions)
{
    const std::wstring path = TempTarget("unload.log");
    Reload(path);
    Open();
    Open();
    K().WsUdClose(1);
    Unload();
    EXPECT_EQ(ReadWholeFile(path).value_or("").substr(0, 2), "\xFF\xFE");
    const std::vector<std::wstring> expected = {
        L"WsHttp Library",
        std::wstring(48, L'-'),
        L"<WsUpdatesManager::WsUpdatesManager>",
        L"<WsUpdatesSession::WsUpdatesSession>",
        L"<WsUpdatesSession::WsUpdatesSession>",
        L"</WsUpdatesSession::~WsUpdatesSession>",
        L"</WsUpdatesManager::WsUpdatesManager>",
        L"</WsUpdatesSession::~WsUpdatesSession>",
        std::wstring(48, L'-'),
        L"***SUMMARY***",
        std::wstring(48, L'-'),
    };
    EXPECT_EQ(LogMessages(path), expected);
    DeleteFileW(path.c_str());
}
