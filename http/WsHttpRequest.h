#pragma once

#include "http/TransferWorker.h"
#include "http/WsHttpSession.h"

#include <memory>
#include <string>

namespace korvel {

// One HTTP transaction at a time, run on a worker that the calling thread
// starts, polls, waits for and cancels. The URL is the base URL, then "?cmd="
// with the command and the encoded parameters.
//
// A wait dispatches the host's window messages, and a message may call back
// into the same request: a check, a cancel or the end of its owner. Only the
// outermost wait on a thread takes the worker's result and lets go of the
// worker; nested calls report what is known and leave both alone, and a
// request shared with its owner outlives a nested call that drops it.
class WsHttpRequest : public std::enable_shared_from_this<WsHttpRequest> {
public:
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
    // Transactions of both requests share one set of connections.
    void ShareConnections(const WsHttpRequest& other)
    {
        session_->UseConnections(other.session_->Connections());
    }
    void UseConnections(const std::shared_ptr<ConnectionSet>& connections)
    {
        session_->UseConnections(connections);
    }
    void GetProgress(WsHttpProgress& progress) const { session_->GetProgress(progress); }
    HWND ParentWindow() const { return parentWindow_; }

    // The last joined transaction's body, or the target file's path.
    const std::string& GetResponse() const { return response_; }
    // The URL a transaction of this request goes to.
    WsString Url() const;

protected:
    WsHttpSession& Session() { return *session_; }

private:
    // What a worker needs of its transaction: its own copies, so that a reset
    // that does not wait cannot touch what the worker is still writing.
    struct Job {
        WsHttpSession* session = nullptr;
        WsString url;
        WsString postData;
        std::string response;
        uint32_t status = 0;
    };

    static std::function<void()> Execute(Job& job);
    bool Await(uint32_t timeoutMs);
    void Join();
    uint32_t Outcome();

    std::unique_ptr<WsHttpSession> session_;
    uint32_t status_;
    WsString baseUrl_;
    WsString command_;
    WsString parameters_;
    WsString postData_;
    std::string response_;
    HWND parentWindow_ = nullptr;
    std::shared_ptr<TransferWorker> worker_;
    std::shared_ptr<Job> job_;
    // Waits of this request in progress, nested ones included.
    int waits_ = 0;
    // A reset that did not wait drops the result its worker will bring.
    bool discardResult_ = false;
};

} // namespace korvel
