// The request runner: a transaction on a worker thread that the calling
// thread starts, polls, waits for and cancels while its messages flow.
#include "http/UrlEncode.h"
#include "http/WsHttpRequest.h"
#include "tests/http/TransferFixture.h"

#include <chrono>
#include <thread>

using namespace korvel;
using namespace korvel::test;

namespace {

const ScriptedServer& Server()
{
    return ScriptedServer::Get();
}

uint32_t StatusOf(const std::function<uint32_t()>& call)
{
    try {
        return call();
    } catch (WsStatus status) {
        return status;
    }
}

// A message-only window that counts the messages dispatched to it.
class CountingWindow {
public:
    CountingWindow()
    {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &CountingWindow::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KorvelTestCountingWindow";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
    }
    ~CountingWindow() { DestroyWindow(window_); }

    HWND Handle() const { return window_; }
    static int Count() { return count_; }
    static void ResetCount() { count_ = 0; }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_APP) {
            ++count_;
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
    static inline int count_ = 0;
};

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

} // namespace

TEST(HttpRequest, UrlEncodeTable)
{
    const struct {
        const wchar_t* text;
        const wchar_t* encoded;
    } cases[] = {
        {L"", L""},
        {L" ", L"%20"},
        {L"/", L"%2F"},
        {L"-", L"%2D"},
        {L".", L"%2E"},
        {L"_", L"%5F"},
        {L"~", L"%7E"},
        {L"AZaz09", L"AZaz09"},
        {L"ContentCmd:Query", L"ContentCmd%3AQuery"},
        {L"\x00E9", L"\x00E9"},
        {L"\x2013", L"%13"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UrlEncode(c.text), c.encoded) << static_cast<int>(c.text[0]);
}

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

TEST(HttpRequest, CommandAndParametersReachTheServer)
{
    const std::string tag = ScriptedServer::UniqueTag("query");
    WsHttpRequest request(L"host app", L"19.0.0");
    request.SetBaseUrl(Server().Url(L"tag=" + ToWideText(tag) + L";body=ok", L"pipeline"));
    request.SetCommand(L"ContentCmd:Query");
    request.AddParameter(L"MaxHits", 7u);
    request.AddParameter(L"pipeline_version", L"2.0");
    EXPECT_EQ(request.Run(5000, false), kStatusSuccess);
    EXPECT_EQ(request.GetResponse(), "ok");
    const std::string head = Server().RecordedHead(tag).value_or("");
    EXPECT_NE(
        head.find("/pipeline?cmd=ContentCmd:Query&MaxHits=7&pipeline%5Fversion=2%2E0 HTTP/1.1"),
        std::string::npos)
        << head;
    EXPECT_NE(head.find("(vostrel 19.0.0;host app 19.0.0;)"), std::string::npos) << head;
}

TEST(HttpRequest, PollingSeesExactlyOneCompletion)
{
    WsHttpRequest request(L"app", L"1.0");
    request.SetBaseUrl(Server().Url(L"delay=300;size=1000"));
    ASSERT_EQ(request.Run(0, false), kStatusPending);
    int completions = 0;
    int pending = 0;
    for (int i = 0; i < 500 && completions == 0; ++i) {
        const uint32_t status = request.Check(10);
        if (status == kStatusSuccess)
            ++completions;
        else if (status == kStatusPending)
            ++pending;
        else
            FAIL() << std::hex << status;
    }
    EXPECT_EQ(completions, 1);
    EXPECT_GT(pending, 0);
    EXPECT_EQ(request.Check(0), kStatusNotRunning);
    EXPECT_EQ(request.GetResponse(), ScriptedServer::PatternBytes(0, 1000));
}

TEST(HttpRequest, FailureIsRaisedOnceByTheJoiningCheck)
{
    WsHttpRequest request(L"app", L"1.0");
    request.SetBaseUrl(Server().Url(L"status=404"));
    ASSERT_EQ(request.Run(0, false), kStatusPending);
    uint32_t status = kStatusPending;
    for (int i = 0; i < 500 && status == kStatusPending; ++i)
        status = StatusOf([&] { return request.Check(10); });
    EXPECT_EQ(status, kStatusNotFound);
    EXPECT_EQ(request.Check(0), kStatusNotRunning);
    EXPECT_EQ(StatusOf([&] { return request.Run(5000, false); }), kStatusNotFound);
}

TEST(HttpRequest, ExpiredWaitCancelsAndLeavesNoWorker)
{
    WsHttpRequest request(L"app", L"1.0");
    request.SetBaseUrl(Server().Url(L"delay=3000;size=10"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusOf([&] { return request.Run(300, false); }), kStatusTimeout);
    const auto elapsed = Since(start);
    EXPECT_GE(elapsed.count(), 290);
    EXPECT_LT(elapsed.count(), 2900) << "the cancel must not wait for the server's answer";
    EXPECT_EQ(request.Check(0), kStatusNotRunning);
}

TEST(HttpRequest, CancelWithoutWaitKeepsTheWorkerUntilJoined)
{
    WsHttpRequest request(L"app", L"1.0");
    request.SetBaseUrl(Server().Url(L"delay=500;size=10"));
    ASSERT_EQ(request.Run(0, false), kStatusPending);
    request.Cancel(false);
    EXPECT_EQ(StatusOf([&] { return request.Run(0, false); }), kStatusAlreadyRunning);
    request.Cancel(true);
    EXPECT_EQ(request.Check(0), kStatusNotRunning);
    request.SetBaseUrl(Server().Url(L"size=10"));
    EXPECT_EQ(request.Run(5000, false), kStatusSuccess) << "a cancelled request runs again";
}

TEST(HttpRequest, WindowMessagesFlowWhileWaiting)
{
    CountingWindow window;
    CountingWindow::ResetCount();
    WsHttpRequest request(L"app", L"1.0");
    request.SetBaseUrl(Server().Url(L"delay=600;size=10"));
    std::thread poster([&] {
        Sleep(150);
        PostMessageW(window.Handle(), WM_APP, 0, 0);
    });
    EXPECT_EQ(request.Run(5000, false), kStatusSuccess);
    poster.join();
    EXPECT_EQ(CountingWindow::Count(), 1) << "dispatched during Run";

    request.SetBaseUrl(Server().Url(L"delay=600;size=10"));
    ASSERT_EQ(request.Run(0, false), kStatusPending);
    std::thread secondPoster([&] {
        Sleep(150);
        PostMessageW(window.Handle(), WM_APP, 0, 0);
    });
    EXPECT_EQ(request.Check(5000), kStatusSuccess);
    secondPoster.join();
    EXPECT_EQ(CountingWindow::Count(), 2) << "dispatched during Check";
}
