// The exports as a host uses them: korvel.dll loaded with LoadLibraryW and
// reached through GetProcAddress. Every test loads the library afresh, so
// session ids start again at 1.
#include "tests/support/ScopedRegistryValue.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using korvel::host::KorvelLibrary;

namespace {

constexpr uint32_t kNoSuchId = 0xFFFFFFFF;

uint32_t Open(const KorvelLibrary& korvel, uint32_t flags = 0)
{
    uint32_t id = 0;
    EXPECT_EQ(korvel->WsUdOpen2(L"host", L"1.0", L"wrapper", L"2.0", L"en-US", flags, &id), 0u);
    return id;
}

// A VARIANT that the host owns; cleared when the test ends.
class Variant {
public:
    Variant() { VariantInit(&value_); }
    ~Variant() { VariantClear(&value_); }
    VARIANT* operator&() { return &value_; }
    bool HoldsEmptyBstr() const
    {
        return V_VT(&value_) == VT_BSTR && V_BSTR(&value_) != nullptr &&
               SysStringLen(V_BSTR(&value_)) == 0;
    }

private:
    VARIANT value_;
};

// Counts its references, to see that the library releases what a VARIANT held.
class CountedObject : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    ULONG references = 1;
};

// One export that reads a text result, called with its outputs prepared so
// that what it leaves behind can be checked.
struct TextCall {
    const char* name;
    std::function<uint32_t(const KorvelLibrary&, uint32_t id, wchar_t* buffer, VARIANT* variant)>
        call;
};

std::vector<TextCall> EntryTextCalls()
{
    return {
        {"GetId",
         [](auto& k, uint32_t id, wchar_t* b, VARIANT*) { return k->WsUdQueryGetId(id, 0, b); }},
        {"GetIdVariant", [](auto& k, uint32_t id, wchar_t*,
                            VARIANT* v) { return k->WsUdQueryGetIdVariant(id, 0, v); }},
        {"GetType",
         [](auto& k, uint32_t id, wchar_t* b, VARIANT*) { return k->WsUdQueryGetType(id, 0, b); }},
        {"GetTypeVariant", [](auto& k, uint32_t id, wchar_t*,
                              VARIANT* v) { return k->WsUdQueryGetTypeVariant(id, 0, v); }},
        {"GetUPC",
         [](auto& k, uint32_t id, wchar_t* b, VARIANT*) { return k->WsUdQueryGetUPC(id, 0, b); }},
        {"GetUPCVariant", [](auto& k, uint32_t id, wchar_t*,
                             VARIANT* v) { return k->WsUdQueryGetUPCVariant(id, 0, v); }},
        {"GetUPCVersion", [](auto& k, uint32_t id, wchar_t* b,
                             VARIANT*) { return k->WsUdQueryGetUPCVersion(id, 0, b); }},
        {"GetUPCVersionVariant",
         [](auto& k, uint32_t id, wchar_t*, VARIANT* v) {
             return k->WsUdQueryGetUPCVersionVariant(id, 0, v);
         }},
        {"GetUPCMinVersion", [](auto& k, uint32_t id, wchar_t* b,
                                VARIANT*) { return k->WsUdQueryGetUPCMinVersion(id, 0, b); }},
        {"GetUPCMinVersionVariant",
         [](auto& k, uint32_t id, wchar_t*, VARIANT* v) {
             return k->WsUdQueryGetUPCMinVersionVariant(id, 0, v);
         }},
        {"GetDownloadGuid", [](auto& k, uint32_t id, wchar_t* b,
                               VARIANT*) { return k->WsUdQueryGetDownloadGuid(id, 0, b); }},
        {"GetDownloadGuidVariant",
         [](auto& k, uint32_t id, wchar_t*, VARIANT* v) {
             return k->WsUdQueryGetDownloadGuidVariant(id, 0, v);
         }},
        {"GetInstallConditionsType",
         [](auto& k, uint32_t id, wchar_t* b, VARIANT*) {
             return k->WsUdQueryGetInstallConditionsType(id, 0, 0, b);
         }},
        {"GetInstallConditionsTypeVariant",
         [](auto& k, uint32_t id, wchar_t*, VARIANT* v) {
             return k->WsUdQueryGetInstallConditionsTypeVariant(id, 0, 0, v);
         }},
        {"GetInstallConditions",
         [](auto& k, uint32_t id, wchar_t* b, VARIANT*) {
             return k->WsUdQueryGetInstallConditions(id, 0, L"A", 0, b);
         }},
        {"GetInstallConditionsVariant",
         [](auto& k, uint32_t id, wchar_t*, VARIANT* v) {
             return k->WsUdQueryGetInstallConditionsVariant(id, 0, L"A", 0, v);
         }},
    };
}

// Every export that looks its session up, with outputs it may write.
std::vector<std::pair<const char*, std::function<uint32_t(const KorvelLibrary&, uint32_t)>>>
SessionCalls()
{
    static wchar_t buffer[260];
    static uint32_t u32;
    static uint64_t u64a, u64b;
    static double progress;
    static uint8_t flag;
    static uint8_t bytes[16];
    using K = const KorvelLibrary&;
    auto variant = [](auto&& call) {
        Variant v;
        return call(&v);
    };
    return {
        {"ServerPing",
         [=](K k, uint32_t id) {
             return variant([&](VARIANT* v) { return k->WsUdServerPing(id, 0, v); });
         }},
        {"SetParentWindow", [](K k, uint32_t id) { return k->WsUdSetParentWindow(id, nullptr); }},
        {"QueryOpenGroup", [](K k, uint32_t id) { return k->WsUdQueryOpenGroup(id, 0); }},
        {"QueryCloseGroup", [](K k, uint32_t id) { return k->WsUdQueryCloseGroup(id); }},
        {"QueryAddTerm", [](K k, uint32_t id) { return k->WsUdQueryAddTerm(id, L"f", L"v"); }},
        {"QueryAddText",
         [](K k, uint32_t id) { return k->WsUdQueryAddText(id, L"f", L"v", 0, 1); }},
        {"QueryReset", [](K k, uint32_t id) { return k->WsUdQueryReset(id); }},
        {"QuerySubmit", [](K k, uint32_t id) { return k->WsUdQuerySubmit(id, 10, 0); }},
        {"QueryCheck", [](K k, uint32_t id) { return k->WsUdQueryCheck(id, 0); }},
        {"QueryCancel", [](K k, uint32_t id) { return k->WsUdQueryCancel(id); }},
        {"QueryResultSize", [](K k, uint32_t id) { return k->WsUdQueryResultSize(id, &u32); }},
        {"QueryResult", [](K k, uint32_t id) { return k->WsUdQueryResult(id, bytes); }},
        {"QueryResultVariant",
         [=](K k, uint32_t id) {
             return variant([&](VARIANT* v) { return k->WsUdQueryResultVariant(id, v); });
         }},
        {"QueryStatus", [](K k, uint32_t id) { return k->WsUdQueryStatus(id, &u32); }},
        {"QueryGetHitCount", [](K k, uint32_t id) { return k->WsUdQueryGetHitCount(id, &u32); }},
        {"QueryGetId", [](K k, uint32_t id) { return k->WsUdQueryGetId(id, 0, buffer); }},
        {"QueryGetDownloadSize",
         [](K k, uint32_t id) { return k->WsUdQueryGetDownloadSize(id, 0, &u32); }},
        {"QueryGetInstallConditionsTypeCount",
         [](K k, uint32_t id) { return k->WsUdQueryGetInstallConditionsTypeCount(id, 0, &u32); }},
        {"QueryGetInstallConditionsCount",
         [](K k, uint32_t id) { return k->WsUdQueryGetInstallConditionsCount(id, 0, L"A", &u32); }},
        {"DownloadSubmit",
         [](K k, uint32_t id) {
             return k->WsUdDownloadSubmit(id, L"http://127.0.0.1:9/", 0, &progress, &flag);
         }},
        {"DownloadCheck",
         [](K k, uint32_t id) { return k->WsUdDownloadCheck(id, 0, &progress, &flag); }},
        {"DownloadCancel", [](K k, uint32_t id) { return k->WsUdDownloadCancel(id); }},
        {"DownloadSubmit2",
         [](K k, uint32_t id) { return k->WsUdDownloadSubmit2(id, L"http://127.0.0.1:9/", L"x"); }},
        {"DownloadCheck2",
         [](K k, uint32_t id) { return k->WsUdDownloadCheck2(id, 0, &u64a, &u64b); }},
        {"DownloadCancel2", [](K k, uint32_t id) { return k->WsUdDownloadCancel2(id); }},
        {"InstallSubmit", [](K k, uint32_t id) { return k->WsUdInstallSubmit(id, 0); }},
        {"InstallCheck", [](K k, uint32_t id) { return k->WsUdInstallCheck(id, 0); }},
        {"InstallCancel", [](K k, uint32_t id) { return k->WsUdInstallCancel(id); }},
    };
}

} // namespace

TEST(Exports, ExactlyTheFiftyFunctionsAreExportedByName)
{
    KorvelLibrary korvel;
    const auto* base = reinterpret_cast<const BYTE*>(korvel.Module());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const auto& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    EXPECT_EQ(exports->NumberOfFunctions, 50u);
    ASSERT_EQ(exports->NumberOfNames, 50u);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(base + names[i])).rfind("WsUd", 0), 0u);
}

TEST(Exports, VersionResourceNamesTheProduct)
{
    KorvelLibrary korvel;
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(korvel.Module(), path, MAX_PATH), 0u);
    DWORD ignored = 0;
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path, &ignored));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(data.size()), data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 19u << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, 19u << 16);
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {{L"ProductName", L"KORVEL"},
                                                                 {L"InternalName", L"korvel"},
                                                                 {L"FileVersion", L"19.0.0"},
                                                                 {L"ProductVersion", L"19.0.0"}};
    for (const auto& [name, expected] : strings) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        ASSERT_TRUE(
            VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &size));
        EXPECT_STREQ(value, expected);
    }
}

TEST(Exports, IdsFollowTheOrderOfOpeningAndAreNeverReused)
{
    KorvelLibrary korvel;
    EXPECT_EQ(Open(korvel), 1u);
    EXPECT_EQ(Open(korvel), 2u);
    EXPECT_EQ(Open(korvel), 3u);
    EXPECT_EQ(korvel->WsUdClose(2), 0u);
    EXPECT_EQ(Open(korvel), 4u);
    for (const auto& [name, call] : SessionCalls()) {
        EXPECT_EQ(call(korvel, 2), 0x80001001u) << name;
        EXPECT_EQ(call(korvel, 0), 0x80001001u) << name;
        EXPECT_EQ(call(korvel, 5), 0x80001001u) << name;
        EXPECT_EQ(call(korvel, kNoSuchId), 0x80001001u) << name;
    }
    EXPECT_EQ(korvel->WsUdQueryCheck(1, 0), 0x40001001u) << "an open session is unharmed";
}

TEST(Exports, CloseOfIdsThatNameNoSession)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    EXPECT_EQ(korvel->WsUdClose(id), 0u);
    EXPECT_EQ(korvel->WsUdClose(id), 0u) << "closed again";
    EXPECT_EQ(korvel->WsUdClose(0), 0u);
    EXPECT_EQ(korvel->WsUdClose(kNoSuchId), 0u) << "taken as -1";
    EXPECT_EQ(korvel->WsUdClose(id + 1), 0x80001002u) << "never issued";
    EXPECT_EQ(Open(korvel), id + 1) << "a failed close uses no slot";
}

TEST(Exports, OpenAcceptsNullTextsAndEveryFlag)
{
    KorvelLibrary korvel;
    uint32_t id = 77;
    EXPECT_EQ(korvel->WsUdOpen(L"host", L"1.0", L"", L"", L"", &id), 0u);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(korvel->WsUdOpen2(nullptr, nullptr, nullptr, nullptr, nullptr, 0xFFFFFFFF, &id), 0u)
        << "null texts are empty and every flag bit is accepted";
    EXPECT_EQ(id, 2u);
    EXPECT_EQ(korvel->WsUdOpen(L"host", L"1.0", L"", L"", L"", nullptr), 0u);
    EXPECT_EQ(Open(korvel), 4u);
}

TEST(Exports, OpenAndCloseOfDownloadsAndInstallsNeedNoSession)
{
    KorvelLibrary korvel;
    for (uint32_t id : {0u, 1u, 12345u, kNoSuchId}) {
        EXPECT_EQ(korvel->WsUdDownloadOpen(id), 0u);
        EXPECT_EQ(korvel->WsUdDownloadClose(id), 0u);
        EXPECT_EQ(korvel->WsUdInstallOpen(id), 0u);
        EXPECT_EQ(korvel->WsUdInstallClose(id), 0u);
    }
    EXPECT_EQ(korvel->WsUdInstallCancel(0), 0x80001001u);
    EXPECT_EQ(korvel->WsUdInstallCancel(Open(korvel)), 0u);
}

TEST(Exports, TextOutputsAreEmptiedOnEveryFailure)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    for (const auto& [name, call] : EntryTextCalls()) {
        for (auto [session, expected] : {std::pair{id, 0x80003002u}, std::pair{0u, 0x80001001u}}) {
            wchar_t buffer[260] = L"stale";
            Variant variant;
            V_VT(&variant) = VT_BSTR;
            V_BSTR(&variant) = SysAllocString(L"stale");
            EXPECT_EQ(call(korvel, session, buffer, &variant), expected) << name;
            if (std::string(name).find("Variant") != std::string::npos)
                EXPECT_TRUE(variant.HoldsEmptyBstr()) << name;
            else
                EXPECT_STREQ(buffer, L"") << name;
        }
    }
}

TEST(Exports, VariantOutputsReleaseWhatTheyHeld)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    const std::function<uint32_t(VARIANT*)> calls[] = {
        [&](VARIANT* v) { return korvel->WsUdQueryGetIdVariant(id, 0, v); },
        [&](VARIANT* v) { return korvel->WsUdQueryResultVariant(id, v); },
        [&](VARIANT* v) { return korvel->WsUdServerPing(0, 0, v); },
    };
    for (const auto& call : calls) {
        CountedObject object;
        Variant variant;
        V_VT(&variant) = VT_UNKNOWN;
        V_UNKNOWN(&variant) = &object;
        call(&variant);
        EXPECT_EQ(object.references, 0u);
        EXPECT_TRUE(variant.HoldsEmptyBstr());
    }
}

TEST(Exports, EmptyCatalogAndNoQueryYet)
{
    KorvelLibrary korvel;
    const uint32_t id = Open(korvel);
    uint32_t count = 99;
    EXPECT_EQ(korvel->WsUdQueryGetHitCount(id, &count), 0u);
    EXPECT_EQ(count, 0u);
    for (uint32_t index : {0u, 1u, kNoSuchId}) {
        uint32_t untouched = 99;
        EXPECT_EQ(korvel->WsUdQueryGetDownloadSize(id, index, &untouched), 0x80003002u);
        EXPECT_EQ(korvel->WsUdQueryGetInstallConditionsTypeCount(id, index, &untouched),
                  0x80003002u);
        EXPECT_EQ(korvel->WsUdQueryGetInstallConditionsCount(id, index, L"A", &untouched),
                  0x80003002u);
        EXPECT_EQ(untouched, 99u);
    }
    uint32_t size = 99;
    EXPECT_EQ(korvel->WsUdQueryResultSize(id, &size), 0u);
    EXPECT_EQ(size, 0u);
    uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(korvel->WsUdQueryResult(id, bytes), 0u);
    EXPECT_EQ(bytes[0], 1);
    Variant result;
    EXPECT_EQ(korvel->WsUdQueryResultVariant(id, &result), 0u);
    EXPECT_TRUE(result.HoldsEmptyBstr());
    EXPECT_EQ(korvel->WsUdQueryCheck(id, 0), 0x40001001u);
    EXPECT_EQ(korvel->WsUdQueryCancel(id), 0u);
    EXPECT_EQ(korvel->WsUdQueryCheck(id, 0), 0x40001001u);
    EXPECT_EQ(korvel->WsUdSetParentWindow(id, GetDesktopWindow()), 0u);
}

TEST(Exports, ConcurrentOpensGetUniqueIds)
{
    KorvelLibrary korvel;
    constexpr int kThreads = 8;
    constexpr int kOpensEach = 25;
    std::vector<std::vector<uint32_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kOpensEach; ++i) {
                uint32_t id = 0;
                korvel->WsUdOpen(L"host", L"1", L"", L"", L"", &id);
                ids[t].push_back(id);
                if (i % 2 == 0)
                    korvel->WsUdClose(id);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::set<uint32_t> unique;
    for (const auto& list : ids)
        unique.insert(list.begin(), list.end());
    EXPECT_EQ(unique.size(), size_t{kThreads * kOpensEach});
    EXPECT_EQ(*unique.begin(), 1u);
    EXPECT_EQ(*unique.rbegin(), uint32_t{kThreads * kOpensEach});
    EXPECT_EQ(Open(korvel), uint32_t{kThreads * kOpensEach + 1});
}
