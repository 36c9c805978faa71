#pragma once

#include "base/KernelHandle.h"
#include "http/IWsHttpSession.h"
#include "http/InternetHandle.h"

#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// HTTP over synchronous WinINet. Every step blocks and reports failure by
// throwing a WsStatus; Submit runs a whole transaction on the caller's thread
// while other threads may only call Abort and GetProgress.
class WsHttpSession : public IWsHttpSession {
public:
    // The one media type an Accept header can name.
    static constexpr uint32_t kAcceptXml = 1;

    WsHttpSession();
    ~WsHttpSession();
    WsHttpSession(const WsHttpSession&) = delete;
    WsHttpSession& operator=(const WsHttpSession&) = delete;

    void Abort() override;
    void Submit(const WsString& url, const WsString& postData, std::string& response) override;
    void GetProgress(WsHttpProgress& progress) const override { progress = progress_; }
    void SetStreamToFile(bool enable, const WsString& file, const WsString& checksum) override;
    void SetStreamToFile(bool enable, const WsString& file) override;
    void SetStreamToFile(bool enable) override;
    const WsString& GetStreamFile() const override { return targetFile_; }
    void SetPostFile(const WsString& path) override { postFile_ = path; }
    void AddUserAgentComponent(const WsString& token) override;
    void SetSilent(bool silent) override { silent_ = silent; }
    void SetParentWindow(HWND window) override { parentWindow_ = window; }
    void SetAcceptTypes(uint32_t types) override { acceptTypes_ = types; }
    void SetUseCompression(bool use) override { useCompression_ = use; }
    void SetApiKey(const WsString& key) override { apiKey_ = key; }
    void SetBearerToken(const WsString& token) override { bearerToken_ = token; }

    // A new session with this one's settings and none of its state.
    std::unique_ptr<WsHttpSession> CopySettings() const;

    static bool IsSecureUrl(const WsString& url);
    static uint32_t RequestFlags(const WsString& url);
    // Called by the owner before it starts the next transaction: forgets an
    // earlier Abort (one arriving from now on stops the transaction even before
    // it has opened its handles) and shows the transaction as started.
    void PrepareTransaction();

    // The user agent of this session's requests.
    WsString UserAgent() const;

    // Maps the answer's HTTP status; public so that the mapping can be checked
    // against a live request.
    uint32_t CheckStatusCode(bool afterPostFailure);

private:
    // Connection and request steps.
    void OpenSession();
    bool CrackUrl(const WsString& url, WsString& host, WsString& path, INTERNET_PORT& port);
    void OpenConnection(const WsString& host, INTERNET_PORT port);
    void OpenRequest(const wchar_t* verb, const WsString& path, uint32_t flags);
    void SendGetRequest(const WsString& path, uint32_t flags);
    void SendPostRequest(const WsString& path, const WsString& postData, uint32_t flags);
    uint64_t PostBodyLength(const WsString& postData) const;
    void WritePostBody(const WsString& postData);
    void WritePostFile();
    void AddRequestHeaders();
    void AddRangeHeader();
    void RetryFailedSend(bool isPost, INTERNET_BUFFERSW* buffers, uint32_t flags);
    bool AskForAuthentication();
    void EvaluateInternetErrorCode(uint32_t error, uint32_t status);
    void Close(uint32_t status);

    // Transaction steps.
    void RunTransaction(const WsString& url, const WsString& postData, std::string& response);
    void SendUntilAuthenticated(const WsString& path, const WsString& postData, uint32_t flags);
    void OpenTargetHandle();
    void OpenTargetFile();
    void RecreateTargetFile();
    void PrepareResume(const WsString& path, uint32_t flags, bool lengthKnown);
    void ResubmitGetRequest(const WsString& path, uint32_t flags);
    void RestartWholeBody(const WsString& path, uint32_t flags);
    bool GetTotalDataSize();
    void CheckContentType();
    void GetContentEncoding(WsString& encoding);
    bool QueryHeader(DWORD query, WsString& value);
    void ReadBody(std::string& response);
    void AccountBlock(uint32_t bytes, uint64_t startReceived);
    void CheckReadOutcome();
    void DecodeBody(std::string& response);
    void FinishFile(const WsString& url, std::string& response);

    bool IsAborted() const { return internet_.load() == nullptr; }
    HINTERNET Internet() const { return internet_.load(); }

    WsHttpProgress progress_;
    uint32_t lastTickMs_ = 0;
    uint32_t startTickMs_ = 0;
    bool streamToFile_ = false;
    WsString targetFile_;
    WsString expectedChecksum_;
    bool silent_ = false;
    HWND parentWindow_ = nullptr;
    uint32_t acceptTypes_ = 0;
    bool useCompression_ = false;
    WsString apiKey_;
    WsString bearerToken_;
    // Abort clears it from another thread; whoever exchanges it out closes it.
    std::atomic<HINTERNET> internet_{nullptr};
    bool abortRequested_ = false; // guarded by the abort lock
    InternetHandle request_;
    InternetHandle connection_;
    FileHandle file_;
    std::vector<WsString> userAgentComponents_;
    uint32_t lastError_ = 0;
    WsString postFile_;
};

} // namespace korvel
