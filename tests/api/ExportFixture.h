#pragma once

// The library as a host meets it: korvel.dll loaded with LoadLibraryW and
// reached through GetProcAddress, a session opened, the pipeline URL pointed
// at the scripted server through the registry, and the polling loops a host
// writes. Every wait is bounded.
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ImportPatch.h"
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/StrictWinInet.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::test {

// A cancel, a close or an unload returns within this.
constexpr DWORD kPromptMs = 300;
// Long enough for any transfer of these tests, short enough to end a hung one.
constexpr uint32_t kLongWaitMs = 30000;
// What the strict WinINet may still have to say once the library is gone.
constexpr DWORD kLastNoticesMs = 500;

// Set in the run that puts the strict WinINet under the library: every load
// gets it, and every test ends with its report.
inline bool UnderStrictWinInet()
{
    static const bool strict = GetEnvironmentVariableW(L"KORVEL_STRICT_WININET", nullptr, 0) != 0;
    return strict;
}

// Set in the run that stands for a process that refuses code made at run time
// (Arbitrary Code Guard): every load's VirtualProtect then refuses executable
// memory as the system does there, with ERROR_DYNAMIC_CODE_BLOCKED.
inline bool RefusesRuntimeCode()
{
    static const bool refuses =
        GetEnvironmentVariableW(L"KORVEL_REFUSE_RUNTIME_CODE", nullptr, 0) != 0;
    return refuses;
}

inline BOOL WINAPI ProtectWithoutExecution(void* address, SIZE_T size, DWORD protection,
                                           DWORD* previous)
{
    constexpr DWORD kExecutable =
        PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    constexpr DWORD kDynamicCodeBlocked = 1655;
    if ((protection & kExecutable) != 0) {
        SetLastError(kDynamicCodeBlocked);
        return FALSE;
    }
    return VirtualProtect(address, size, protection, previous);
}

inline const ScriptedServer& Server()
{
    return ScriptedServer::Get();
}

inline std::wstring Tagged(const std::string& tag, const std::wstring& script)
{
    return L"tag=" + Widened(tag) + L";" + script;
}

// The script of an answer with a pipeline packet; extra items go before the body.
inline std::wstring PipelineScript(const std::string& tag, const std::string& packet,
                                   const std::wstring& extra = L"")
{
    return Tagged(tag, L"ctype=text%2Fxml;" + extra + L"body=" + PercentEncode(packet));
}

const std::string kOkPacket = ResponsePacket("<status code=\"0\">OK</status>", "today");

// A path in the temporary folder that nothing holds yet.
inline std::wstring TempTarget(const std::string& name)
{
    const auto path = std::filesystem::temp_directory_path() / ("korvel-test-" + name);
    std::filesystem::remove(path);
    return path.wstring();
}

inline void WritePattern(const std::wstring& path, uint64_t size)
{
    std::filesystem::remove(path);
    if (size != 0)
        WriteBytes(path, ScriptedServer::PatternBytes(0, size));
}

// Packages that first-version downloads keep in the temporary folder, or the
// files beside them whose names end as given.
inline int PackageFiles(const std::wstring& ending = L".pkg")
{
    int count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        const std::wstring name = entry.path().filename().wstring();
        count += name.rfind(L"korvel-", 0) == 0 && name.size() > ending.size() &&
                 name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
    }
    return count;
}

// The messages of a UTF-16 log, without their byte order mark and time stamps.
inline std::vector<std::wstring> LogMessages(const std::wstring& path)
{
    const std::wstring text = Utf16Text(ReadWholeFile(path).value_or(""));
    std::wistringstream stream(text.substr(text.empty() ? 0 : 1));
    std::vector<std::wstring> lines;
    for (std::wstring line; std::getline(stream, line);) {
        const auto end = line.find(L"]: ");
        lines.push_back(line.rfind(L"[", 0) == 0 && end != std::wstring::npos ? line.substr(end + 3)
                                                                              : line);
    }
    return lines;
}

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

// How a first-version download ended.
struct PackageOutcome {
    uint32_t status = kStatusPending; // 0 once it completed
    int completions = 0;
    double progress = -1.0;
    uint8_t sizeKnown = 2;
};

class ExportFixture : public testing::Test {
public:
    ExportFixture() { Load(); }
    // After the unload and the platform's last notices: no handle was left
    // open, nothing broke the contract, and the module left the process at once.
    ~ExportFixture() override
    {
        if (!UnderStrictWinInet())
            return;
        Unload();
        EXPECT_EQ(GetModuleHandleW(L"korvel.dll"), nullptr) << "korvel.dll outlived its unload";
        for (const std::string& problem : StrictWinInet::TakeReport(kLastNoticesMs))
            ADD_FAILURE() << "strict WinINet: " << problem;
    }

    const host::KorvelApi& K() const { return library_->Api(); }
    const host::KorvelLibrary& Library() const { return *library_; }

    // Loads the library afresh, with the log switched on when a path is given.
    void Reload(const std::wstring& logPath = L"")
    {
        Unload();
        if (!logPath.empty()) {
            DeleteFileW(logPath.c_str());
            log_.emplace(L"SOFTWARE\\Talvessa\\InternalTesting", L"vostrellogging", logPath);
        }
        Load();
    }
    void Unload()
    {
        id_.reset();
        library_.reset();
        log_.reset();
    }

    uint32_t Open(uint32_t flags = 0)
    {
        uint32_t id = 0;
        EXPECT_EQ(K().WsUdOpen2(L"HostApp", L"2.1", L"", L"", L"en-US", flags, &id), 0u);
        return id;
    }
    // The test's session, opened on first use.
    uint32_t Id()
    {
        if (!id_)
            id_ = Open(flags_);
        return *id_;
    }
    void SetFlags(uint32_t flags) { flags_ = flags; }

    // Points every pipeline request at a URL.
    void PointPipelineAt(const std::wstring& url)
    {
        pipeline_.reset();
        pipeline_.emplace(L"SOFTWARE\\Talvessa\\Pipeline", L"S_URL", url);
    }
    void AnswerPipeline(const std::string& tag, const std::string& packet,
                        const std::wstring& extra = L"")
    {
        PointPipelineAt(Server().Url(PipelineScript(tag, packet, extra), L"lumq/pipeline"));
    }

    void BuildQuery(uint32_t id)
    {
        EXPECT_EQ(K().WsUdQueryReset(id), 0u);
        EXPECT_EQ(K().WsUdQueryOpenGroup(id, 0), 0u);
        EXPECT_EQ(K().WsUdQueryAddTerm(id, L"ProductId", L"1234"), 0u);
        EXPECT_EQ(K().WsUdQueryAddText(id, L"Title", L"driver", 77, 2), 0u);
        EXPECT_EQ(K().WsUdQueryCloseGroup(id), 0u);
    }
    uint32_t Query(uint32_t waitMs = kLongWaitMs)
    {
        BuildQuery(Id());
        return K().WsUdQuerySubmit(Id(), 5, waitMs);
    }
    // Counts the answers that the query is over.
    uint32_t QueryToEnd(int& completions)
    {
        for (int i = 0; i < 1000; ++i) {
            const uint32_t status = K().WsUdQueryCheck(Id(), 10);
            completions += status == kStatusSuccess;
            if (status != kStatusPending)
                return status;
        }
        return kStatusPending;
    }
    // The body of the last query, checked not to spill past its size.
    std::string QueryResult()
    {
        uint32_t size = 0;
        EXPECT_EQ(K().WsUdQueryResultSize(Id(), &size), 0u);
        std::vector<uint8_t> buffer(size + 4, 0xAA);
        EXPECT_EQ(K().WsUdQueryResult(Id(), buffer.data()), 0u);
        EXPECT_EQ(std::string(buffer.begin() + size, buffer.end()), std::string(4, '\xAA'))
            << "written past the body";
        return std::string(buffer.begin(), buffer.begin() + size);
    }
    uint32_t Ping(uint32_t waitMs = kLongWaitMs)
    {
        VARIANT date;
        VariantInit(&date);
        const uint32_t status = K().WsUdServerPing(Id(), waitMs, &date);
        VariantClear(&date);
        return status;
    }

    // A first-version download with a wait long enough for all of it.
    uint32_t Download(const std::wstring& url, uint32_t waitMs = kLongWaitMs)
    {
        double progress = 0;
        uint8_t sizeKnown = 0;
        return K().WsUdDownloadSubmit(Id(), url.c_str(), waitMs, &progress, &sizeKnown);
    }
    PackageOutcome DownloadToEnd(uint32_t id)
    {
        PackageOutcome outcome;
        for (int i = 0; i < 1000 && outcome.status == kStatusPending; ++i) {
            outcome.status = K().WsUdDownloadCheck(id, 10, &outcome.progress, &outcome.sizeKnown);
            outcome.completions += outcome.status == kStatusSuccess;
        }
        return outcome;
    }

    uint32_t FileDownloadToEnd(uint32_t id)
    {
        uint64_t received = 0;
        uint64_t total = 0;
        for (int i = 0; i < 2000; ++i, Sleep(5)) {
            const uint32_t state = K().WsUdDownloadCheck2(id, 0, &received, &total);
            if (state != kStatusTransferStarted && state != kStatusTransferResuming &&
                state != kStatusTransferReceiving && state != kStatusTransferVerifying)
                return state;
        }
        return kStatusTransferReceiving;
    }
    uint32_t DownloadToFile(const std::wstring& url, const std::wstring& target, uint32_t id = 0)
    {
        id = id == 0 ? Id() : id;
        // A transfer may end before the submit returns, which then says 0.
        const uint32_t state = K().WsUdDownloadSubmit2(id, url.c_str(), target.c_str());
        return state == kStatusPending || state == kStatusSuccess ? FileDownloadToEnd(id) : state;
    }

private:
    void Load()
    {
        library_.emplace();
        if (UnderStrictWinInet())
            StrictWinInet::Install(library_->Module());
        if (RefusesRuntimeCode()) {
            ASSERT_TRUE(PatchImport(
                library_->Module(), "kernel32.dll", "VirtualProtect",
                reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ProtectWithoutExecution))));
        }
    }

    std::optional<ScopedRegistryValue> log_;
    std::optional<host::KorvelLibrary> library_;
    std::optional<ScopedRegistryValue> pipeline_;
    std::optional<uint32_t> id_;
    uint32_t flags_ = 0;
};

} // namespace korvel::test
