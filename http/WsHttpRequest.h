#pragma once

#include "http/WorkerThread.h"
#include "http/WsHttpSession.h"

#include <memory>
#include <string>

namespace korvel {

// One HTTP transaction at a time, run on a worker thread that the calling
// thread starts, polls, waits for and cancels. The URL is the base URL,
// then "?cmd=" with the command and the encoded parameters.
class WsHttpRequest {
public:
    // What a worker needs of its transaction: its own copies, so that a reset
    // that does not wait cannot touch what the worker is still writing.
    struct Job {
        WsHttpSession* session = nullptr;
        WsString url;
        WsString postData;
        std::string response;
        uint32_t status = 0;
    };

    // The name and version become a token of the user agent; the third
    // argument is accepted for callers that pass one and has no effect.
    WsHttpRequest(const WsString& name, const WsString& version, int reserved = 0);
    virtual ~WsHttpRequest();
    WsHttpRequest(const WsHttpRequest&) = delete;
    WsHttpRequest& operator=(const WsHttpRequest&) = delete;

    // 0 when the transaction ended well within timeoutMs; with a timeout of 0,
    // kStatusPending while it runs on. Raises kStatusTimeout (after
    // cancelling) when a non-zero wait expires, and a failed transaction's
    // status when it has ended.
    virtual uint32_t Run(uint32_t timeoutMs, bool silent);
    uint32_t Check(uint32_t timeoutMs);
    // Aborts the transaction. With wait, the worker has ended when this returns.
    void Cancel(bool wait);
    void Reset(bool wait);
    // True from Run until the worker is joined, also when it has already ended.
    bool IsRunning() const { return worker_ != nullptr; }

    void AddParameter(const WsString& name, const WsString& value);
    void AddParameter(const WsString& name, uint32_t value);
    void SetBaseUrl(const WsString& url) { baseUrl_ = url; }
    void SetCommand(const WsString& command) { command_ = command; }
    void SetPostData(const WsString& data) { postData_ = data; }
    void SetParentWindow(HWND window);
    void SetStreaming(bool enable, const WsString& file)
    {
        session_->SetStreamToFile(enable, file);
    }
    void SetCompression(bool use) { session_->SetUseCompression(use); }
    void AddUserAgentComponent(const WsString& token) { session_->AddUserAgentComponent(token); }
    void GetProgress(WsHttpProgress& progress) const { session_->GetProgress(progress); }
    HWND ParentWindow() const { return parentWindow_; }

    // The last joined transaction's body, or the target file's path.
    const std::string& GetResponse() const { return response_; }
    // The URL a transaction of this request goes to.
    WsString Url() const;
    // What the worker finishes after its owner stopped waiting: the handles
    // of an aborted transaction.
    static std::unique_ptr<WorkerTail> TakeTail(Job& job);

protected:
    WsHttpSession& Session() { return *session_; }

private:
    using Worker = CWorkerThread<WsHttpRequest>;

    static void Execute(Job& job);
    void AwaitAbortedWorker();
    void Join();

    std::unique_ptr<WsHttpSession> session_;
    uint32_t status_;
    WsString baseUrl_;
    WsString command_;
    WsString parameters_;
    WsString postData_;
    std::string response_;
    HWND parentWindow_ = nullptr;
    std::unique_ptr<Worker> worker_;
    // A reset that did not wait drops the result its worker will bring.
    bool discardResult_ = false;
};

} // namespace korvel
