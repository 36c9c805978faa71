#pragma once

#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace korvel::test {

// One session opened the way a host opens it, and the network calls of the
// proxy and HTTPS tests, each waited for to its end (every wait bounded).
class HostSession {
public:
    HostSession(const host::KorvelLibrary& korvel, uint32_t flags) : korvel_(korvel)
    {
        EXPECT_EQ(korvel_->WsUdOpen2(L"HostApp", L"2.1", L"", L"", L"en-US", flags, &id_), 0u);
    }
    ~HostSession() { korvel_->WsUdClose(id_); }
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Points every pipeline request of the session at a URL.
    void SetPipelineUrl(const std::wstring& url)
    {
        pipelineUrl_.reset();
        pipelineUrl_ =
            std::make_unique<ScopedRegistryValue>(L"SOFTWARE\\Talvessa\\Pipeline", L"S_URL", url);
    }

    uint32_t Ping()
    {
        VARIANT date;
        VariantInit(&date);
        const uint32_t status = korvel_->WsUdServerPing(id_, kWaitMs, &date);
        VariantClear(&date);
        return status;
    }

    uint32_t Query()
    {
        korvel_->WsUdQueryReset(id_);
        korvel_->WsUdQueryOpenGroup(id_, 0);
        korvel_->WsUdQueryAddTerm(id_, L"ProductId", L"1234");
        korvel_->WsUdQueryCloseGroup(id_);
        return korvel_->WsUdQuerySubmit(id_, 5, kWaitMs);
    }

    // The body of the last finished query.
    std::string QueryResult()
    {
        uint32_t size = 0;
        korvel_->WsUdQueryResultSize(id_, &size);
        std::vector<char> bytes(size + 1);
        korvel_->WsUdQueryResult(id_, reinterpret_cast<uint8_t*>(bytes.data()));
        return std::string(bytes.data(), size);
    }

    // The package download: 0x40001001 when it finished within the wait.
    uint32_t Download(const std::wstring& url)
    {
        double progress = 0;
        uint8_t sizeKnown = 0;
        return korvel_->WsUdDownloadSubmit(id_, url.c_str(), kWaitMs, &progress, &sizeKnown);
    }

    // The file download's final state: 0x40002005 when it is complete.
    uint32_t DownloadToFile(const std::wstring& url, const std::wstring& target)
    {
        uint32_t state = korvel_->WsUdDownloadSubmit2(id_, url.c_str(), target.c_str());
        if (state != kStatusPending)
            return state;
        uint64_t received = 0;
        uint64_t total = 0;
        for (int i = 0; i < kWaitMs / kPollMs; ++i) {
            state = korvel_->WsUdDownloadCheck2(id_, 0, &received, &total);
            if (state != kStatusTransferStarted && state != kStatusTransferResuming &&
                state != kStatusTransferReceiving && state != kStatusTransferVerifying)
                break;
            Sleep(kPollMs);
        }
        return state;
    }

private:
    static constexpr int kWaitMs = 10000;
    static constexpr int kPollMs = 5;

    const host::KorvelLibrary& korvel_;
    uint32_t id_ = 0;
    std::unique_ptr<ScopedRegistryValue> pipelineUrl_;
};

// What a call returned and how long it took.
struct TimedStatus {
    uint32_t status;
    DWORD ms;
};

template <typename Call> TimedStatus Timed(Call call)
{
    const DWORD start = GetTickCount();
    const uint32_t status = call();
    return {status, GetTickCount() - start};
}

// The script of a scripted-server URL that answers with a pipeline packet.
inline std::wstring PipelineScript(const std::string& tag, const std::string& packet)
{
    return L"tag=" + std::wstring(tag.begin(), tag.end()) + L";ctype=text%2Fxml;body=" +
           PercentEncode(packet);
}

} // namespace korvel::test
