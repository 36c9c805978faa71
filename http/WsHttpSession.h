#pragma once

#include "base/KernelHandle.h"
#include "base/VolumeReserve.h"
#include "base/WsStatus.h"
#include "http/IWsHttpSession.h"
#include "http/InternetConnection.h"
#include "http/InternetHandle.h"

#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

// HTTP over asynchronous WinINet. Every step reports failure by throwing a
// WsStatus; Submit runs a whole transaction on the caller's thread while other
// threads may only call Abort and GetProgress. An abort interrupts the wait of
// the transaction's WinINet call and every later one, so it ends the
// transaction at once, whatever the server does.
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

    static bool IsSecureUrl(const WsString& url);
    static uint32_t RequestFlags(const WsString& url);
    // Called by the owner before it starts the next transaction: forgets an
    // earlier Abort (one arriving from now on stops the transaction even before
    // it has opened its handles) and shows the transaction as started.
    void PrepareTransaction();
    // Ends a transaction whose worker never began, as an aborted one ends.
    void EndUnstarted() { progress_.status = kStatusTransferIdle; }
    // The close of the request an aborted transaction left open, to be run
    // off the owner's wait, once; empty when it closed it itself.
    std::function<void()> TakeDeferredClose() noexcept { return std::move(deferredClose_); }

    // The connections this session's transactions use; shared with other
    // sessions of the same owner.
    const std::shared_ptr<ConnectionSet>& Connections() const { return connections_; }
    void UseConnections(const std::shared_ptr<ConnectionSet>& connections)
    {
        connections_ = connections;
    }

    // The user agent of this session's requests.
    WsString UserAgent() const;

    // Maps the answer's HTTP status; public so that the mapping can be checked
    // against a live request.
    uint32_t CheckStatusCode(bool afterPostFailure);

private:
    // What a file transfer does with the bytes its target already holds.
    enum class FilePlan {
        kRewrite, // the answer is the whole body: written from byte 0
        kAppend,  // the answer continues the file where it ends
        kHeld,    // the file already holds the whole body: nothing is read
    };
    // What the answer to a ranged GET leaves to do.
    enum class RangeOutcome {
        kProceed,      // go on with this answer
        kAskAgain,     // send the request again, without the range
        kFileComplete, // the file is whole; the answer carries nothing to read
    };

    // Connection and request steps.
    void OpenSession();
    bool CrackUrl(const WsString& url, WsString& host, WsString& path, INTERNET_PORT& port);
    void OpenConnection(const WsString& host, INTERNET_PORT port);
    bool MakeRequest(const wchar_t* verb, const WsString& path, uint32_t flags);
    void OpenRequest(const wchar_t* verb, const WsString& path, uint32_t flags);
    void CloseRequest();
    void SendGetRequest(const WsString& path, uint32_t flags);
    void SendPostRequest(const WsString& path, const WsString& postData, uint32_t flags);
    bool AnsweredWithProxyDemand(const WsString& path, uint32_t flags);
    DWORD HeadStatus(const WsString& path, uint32_t flags);
    void SendPostFile(uint32_t flags);
    DWORD PostFileLength() const;
    void WritePostFile();
    void AddRequestHeaders();
    void AddRangeHeader();
    // Issues one send call of the current request; the revocation retry issues it again.
    using SendCall = std::function<BOOL()>;
    DWORD SendAndAwait(const SendCall& send);
    DWORD AwaitCall(const SendCall& call);
    void RetryFailedSend(bool isPost, const SendCall& send, uint32_t flags);
    bool AskForAuthentication();
    void EvaluateInternetErrorCode(uint32_t error, uint32_t status);
    void Close(uint32_t status);
    struct EndingRequest;
    void EndChain();

    // Transaction steps.
    void RunTransaction(const WsString& url, const WsString& postData, std::string& response);
    void MeasurePartialFile();
    void SendUntilAuthenticated(const WsString& path, const WsString& postData, uint32_t flags);
    RangeOutcome PlanFromRangedAnswer();
    bool ContinuesFile();
    bool AnswerIsHeldVersion();
    WsString AnswerValidator();
    void RecordAnswerValidator();
    void RaiseUnlessWritten(WriteOutcome outcome);
    void HoldCompleteFile();
    void StartFromByteZero();
    DWORD HttpStatus();
    void OpenTargetFile();
    bool GetTotalDataSize();
    void CheckContentType();
    void GetContentEncoding(WsString& encoding);
    bool QueryHeader(DWORD query, WsString& value);
    void ReadBody(std::string& response, bool lengthKnown);
    DWORD ReadAvailable(char* block, DWORD size, DWORD& read);
    void StoreBlock(const char* block, DWORD size, std::string& response);
    void TruncateHeldBytes();
    void AccountBlock(uint32_t bytes, uint64_t startReceived);
    void CheckReadOutcome(bool lengthKnown, uint64_t bodyBytes);
    void DecodeBody(std::string& response);
    void DecodeFile();
    WriteOutcome CopyInto(const WsString& source, const WsString& target);
    void ClearTarget();
    void FinishFile(const WsString& url, std::string& response);

    bool IsAborted() const;

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
    std::shared_ptr<ConnectionSet> connections_;
    WsString agent_;
    InternetHandle request_;
    FileHandle file_;
    std::vector<WsString> userAgentComponents_;
    uint32_t lastError_ = 0;
    WsString postFile_;

    // Set by Abort, cleared by PrepareTransaction. The abort lock orders Abort
    // with the chain's coming and going, so that it interrupts the chain in
    // use, if any.
    std::atomic<bool> aborted_{false};
    // The transaction's connection, and the context of its requests with the
    // memory of their calls; body blocks land in its read buffer, up to 1 MiB
    // at a time.
    InternetConnection* connection_ = nullptr;
    HandleContext* chain_ = nullptr;
    // The request of an aborted transaction, closed by the worker once its
    // owner has stopped waiting.
    std::function<void()> deferredClose_;
    // Bytes the target file held before the transaction, and what to do with them.
    uint64_t partialSize_ = 0;
    FilePlan filePlan_ = FilePlan::kRewrite;
    // The held bytes go only when the first byte of a new body has arrived.
    bool truncatePending_ = false;
    // The complete length that an appended range ends at.
    uint64_t rangeCompleteLength_ = 0;
    // The version the held bytes were written from, and the one the answer
    // names; the file's record changes with its first new byte.
    WsString heldValidator_;
    WsString answerValidator_;
    bool validatorPending_ = false;
    // The reserve of the target's volume, which every write of the transfer keeps.
    std::optional<VolumeReserve> reserve_;
};

} // namespace korvel
