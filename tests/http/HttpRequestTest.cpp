// The request runner's own part: the URL it builds and the messages it lets through while the
// calling thread waits. The parameters a request carries are the library's own; their encoding
// on the wire is PipelineRequest.QueryOnTheWire's. Polling, failures, expired waits and cancels are
// tested through the exports (tests/api).
#include "base/WsStatus.h"
#include "http/WsHttpRequest.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

using namespace korvel;
using korvel::test::ScriptedServer;

TEST(HttpRequest, UrlFromBaseCommandAndParameters)
{
    WsHttpRequest request(L"app", L"1.0");
    request.SetBaseUrl(L"http://h/p");
    EXPECT_EQ(request.Url(), L"http://h/p");
    request.AddParameter(L"a b", L"x/y");
    EXPECT_EQ(request.Url(), L"http://h/p?&a%20b=x%2Fy");
    request.SetCommand(L"ContentCmd:Query");
    request.AddParameter(L"MaxHits", 25u);
    EXPECT_EQ(request.Url(), L"http://h/p?cmd=ContentCmd:Query&a%20b=x%2Fy&MaxHits=25");
    request.Reset(true);
    EXPECT_EQ(request.Url(), L"http://h/p?cmd=ContentCmd:Query");
}

// A host's timers and windows keep working while it waits inside a request, in Run and in Check.
TEST(HttpRequest, MessagesAreDispatchedWhileWaiting)
{
    static int fired = 0;
    for (const bool polled : {false, true}) {
        fired = 0;
        const UINT_PTR timer = SetTimer(nullptr, 0, 150, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            ++fired;
        });
        ASSERT_NE(timer, 0u);
        WsHttpRequest request(L"app", L"1.0");
        request.SetBaseUrl(ScriptedServer::Get().Url(L"delay=600;size=10"));
        if (polled) {
            EXPECT_EQ(request.Run(0, false), kStatusPending);
            EXPECT_EQ(request.Check(5000), kStatusSuccess);
        } else {
            EXPECT_EQ(request.Run(5000, false), kStatusSuccess);
        }
        EXPECT_EQ(fired, 1) << (polled ? "in Check" : "in Run");
        KillTimer(nullptr, timer);
    }
}
