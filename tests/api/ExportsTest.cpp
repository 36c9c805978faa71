// The exports' table, their session ids and what they leave in their outputs.
// Every test loads the library afresh, so session ids start again at 1.
#include "tests/api/ExportFixture.h"

#include <oleauto.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <type_traits>

using namespace korvel::test;

namespace {

constexpr uint32_t kNoSuchId = 0xFFFFFFFF;

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

// The outputs one call gets, prepared so that what it leaves can be checked:
// the text buffer says "stale" and the VARIANT holds an object.
struct Outputs {
    Outputs()
    {
        VariantInit(&variant);
        V_VT(&variant) = VT_UNKNOWN;
        V_UNKNOWN(&variant) = &object;
    }
    ~Outputs() { VariantClear(&variant); }
    bool VariantEmptied() const
    {
        return object.references == 0 && V_VT(&variant) == VT_BSTR && V_BSTR(&variant) != nullptr &&
               SysStringLen(V_BSTR(&variant)) == 0;
    }
    // What every failure leaves: text and VARIANT outputs emptied, what the
    // VARIANT held released, and a number untouched (the result's size is 0).
    bool LeftByAFailure(uint32_t number = 99) const
    {
        return (!textGiven || text[0] == L'\0') && (!variantGiven || VariantEmptied()) &&
               u32 == number;
    }

    CountedObject object;
    VARIANT variant;
    wchar_t text[WSUD_TEXT_BUFFER_SIZE] = L"stale";
    bool textGiven = false;
    bool variantGiven = false;
    uint32_t index = 0; // also the wait, the flags and every other number
    uint32_t u32 = 99;
    uint64_t u64 = 99;
    double progress = 0;
    uint8_t bytes[16] = {};
};

// Each argument after the session id, taken from the outputs; an index 0,
// a zero wait and a URL nothing listens on.
template <typename T> T Argument(Outputs& o)
{
    if constexpr (std::is_same_v<T, uint32_t>)
        return o.index;
    else if constexpr (std::is_same_v<T, const wchar_t*>)
        return L"http://127.0.0.1:9/";
    else if constexpr (std::is_same_v<T, wchar_t*>)
        return o.textGiven = true, o.text;
    else if constexpr (std::is_same_v<T, VARIANT*>)
        return o.variantGiven = true, &o.variant;
    else if constexpr (std::is_same_v<T, uint32_t*>)
        return &o.u32;
    else if constexpr (std::is_same_v<T, uint64_t*>)
        return &o.u64;
    else if constexpr (std::is_same_v<T, double*>)
        return &o.progress;
    else if constexpr (std::is_same_v<T, uint8_t*>)
        return o.bytes;
    else
        return T{};
}

template <typename... A>
std::optional<uint32_t> CallWithId(uint32_t (*call)(uint32_t, A...), uint32_t id, Outputs& o)
{
    return call(id, Argument<A>(o)...);
}
// The opens take no session.
template <typename F> std::optional<uint32_t> CallWithId(F, uint32_t, Outputs&)
{
    return std::nullopt;
}

struct Export {
    std::string name;
    std::function<std::optional<uint32_t>(const korvel::host::KorvelApi&, uint32_t, Outputs&)> call;
};

// Every export of the public header, each called with a session id.
std::vector<Export> AllExports()
{
    return {
#define KORVEL_EXPORT(name)                                                                        \
    {#name, [](const korvel::host::KorvelApi& k, uint32_t id, Outputs& o) {                        \
         return CallWithId(k.name, id, o);                                                         \
     }},
#include "tests/api/ExportList.h"
#undef KORVEL_EXPORT
    };
}

using Exports = ExportFixture;

} // namespace

TEST_F(Exports, ExactlyTheFiftyFunctionsAreExportedByName)
{
    const auto* base = reinterpret_cast<const BYTE*>(Library().Module());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
        base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    EXPECT_EQ(exports->NumberOfFunctions, 50u);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> exported;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        exported.insert(reinterpret_cast<const char*>(base + names[i]));
    std::set<std::string> declared;
    for (const Export& e : AllExports())
        declared.insert(e.name);
    EXPECT_EQ(exported, declared);
    EXPECT_EQ(declared.size(), 50u);
}

// Ids follow the order of opening, also of an open with null texts, every
// flag or no place for the id, and are never reused; every export that takes
// one refuses an id that names no session (never issued, closed, 0, -1), and
// a failed close uses no slot.
TEST_F(Exports, IdsThatNameNoSessionAreRefusedByEveryExport)
{
    uint32_t opened = 77;
    EXPECT_EQ(K().WsUdOpen(L"host", L"1.0", L"", L"", L"", &opened), 0u);
    EXPECT_EQ(opened, 1u);
    EXPECT_EQ(K().WsUdOpen2(nullptr, nullptr, nullptr, nullptr, nullptr, 0xFFFFFFFF, &opened), 0u);
    EXPECT_EQ(opened, 2u);
    EXPECT_EQ(K().WsUdOpen(L"host", L"1.0", L"", L"", L"", nullptr), 0u);
    EXPECT_EQ(K().WsUdClose(2), 0u);
    EXPECT_EQ(Open(), 4u);
    // Closing and the download and install handles ask for no session.
    const std::set<std::string> lenient = {"WsUdClose", "WsUdDownloadOpen", "WsUdDownloadClose",
                                           "WsUdInstallOpen", "WsUdInstallClose"};
    int refusing = 0;
    for (const Export& e : AllExports()) {
        for (const uint32_t id : {2u, 0u, 5u, kNoSuchId}) {
            Outputs outputs;
            const std::optional<uint32_t> status = e.call(K(), id, outputs);
            if (!status)
                continue;
            if (lenient.count(e.name) == 0) {
                EXPECT_EQ(*status, kStatusInvalidSession) << e.name << " " << id;
                EXPECT_TRUE(outputs.LeftByAFailure(e.name == "WsUdQueryResultSize" ? 0 : 99))
                    << e.name << " " << id;
                refusing += id == 0;
            } else if (e.name != "WsUdClose" || id != 5) {
                EXPECT_EQ(*status, 0u) << e.name << " " << id;
            }
        }
    }
    EXPECT_EQ(refusing, 50 - 2 - 5);
    EXPECT_EQ(K().WsUdClose(5), 0x80001002u) << "never issued";
    EXPECT_EQ(Open(), 5u) << "a failed close uses no slot";
    EXPECT_EQ(K().WsUdQueryCheck(1, 0), kStatusNotRunning) << "an open session is unharmed";
}

TEST_F(Exports, EntriesOfAnEmptyCatalogFail)
{
    const uint32_t id = Open();
    for (const Export& e : AllExports()) {
        if (e.name.find("WsUdQueryGet") != 0 || e.name == "WsUdQueryGetHitCount")
            continue;
        for (const uint32_t index : {0u, 1u, kNoSuchId}) {
            Outputs outputs;
            outputs.index = index;
            EXPECT_EQ(e.call(K(), id, outputs), kStatusEntryIndex) << e.name << " " << index;
            EXPECT_TRUE(outputs.LeftByAFailure()) << e.name << " " << index;
        }
    }
    Outputs result;
    EXPECT_EQ(K().WsUdQueryResultVariant(id, &result.variant), 0u) << "no query yet";
    EXPECT_TRUE(result.VariantEmptied());
}

// Before any query or download: empty answers, untouched outputs, and
// cancels with nothing to do.
TEST_F(Exports, NothingSubmittedYet)
{
    uint32_t count = 99;
    uint32_t size = 99;
    EXPECT_EQ(K().WsUdQueryGetHitCount(Id(), &count), 0u);
    EXPECT_EQ(K().WsUdQueryResultSize(Id(), &size), 0u);
    EXPECT_EQ(count + size, 0u);
    uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(K().WsUdQueryResult(Id(), bytes), 0u);
    EXPECT_EQ(bytes[0], 1);
    double progress = 0.25;
    uint8_t sizeKnown = 7;
    EXPECT_EQ(K().WsUdDownloadCheck(Id(), 0, &progress, &sizeKnown), 0u);
    uint64_t received = 11;
    uint64_t total = 12;
    EXPECT_EQ(K().WsUdDownloadCheck2(Id(), 0, &received, &total), 0u);
    EXPECT_EQ(progress + sizeKnown + received + total, 0.25 + 7 + 11 + 12);
    for (const auto cancel : {K().WsUdQueryCancel, K().WsUdDownloadCancel, K().WsUdDownloadCancel2})
        EXPECT_EQ(cancel(Id()), 0u);
    EXPECT_EQ(K().WsUdSetParentWindow(Id(), GetDesktopWindow()), 0u);
}

// Hosts on many threads open, use and close sessions at once, released
// together on a freshly loaded library, so that the table grows from nothing,
// is searched and loses entries on several threads at the same moment: every
// id is issued once, in order, and each session stays open or closed as its
// host left it.
TEST_F(Exports, ConcurrentOpensGetUniqueIds)
{
    constexpr int kRounds = 40;
    constexpr int kThreads = 8;
    constexpr int kOpensEach = 16;
    constexpr uint32_t kOpens = kThreads * kOpensEach;
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Reload();
        std::atomic<int> ready{0};
        std::vector<uint32_t> ids[kThreads];
        std::vector<std::string> failures[kThreads];
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                // All start at the same moment, as far as the processors allow.
                ++ready;
                for (int spin = 0; ready < kThreads && spin < 10000000; ++spin)
                    std::this_thread::yield();
                for (int i = 0; i < kOpensEach; ++i) {
                    uint32_t id = 0;
                    K().WsUdOpen(L"host", L"1", L"", L"", L"", &id);
                    ids[t].push_back(id);
                    if (K().WsUdInstallCancel(id) != 0)
                        failures[t].push_back("session " + std::to_string(id) + " not found");
                    if (i % 2 == 0 && (K().WsUdClose(id) != 0 || K().WsUdInstallCancel(id) == 0))
                        failures[t].push_back("session " + std::to_string(id) + " stayed open");
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        std::set<uint32_t> unique;
        for (int t = 0; t < kThreads; ++t) {
            unique.insert(ids[t].begin(), ids[t].end());
            for (const std::string& failure : failures[t])
                ADD_FAILURE() << "thread " << t << ": " << failure;
            for (size_t i = 0; i < ids[t].size(); ++i)
                EXPECT_EQ(K().WsUdInstallCancel(ids[t][i]), i % 2 == 0 ? kStatusInvalidSession : 0u)
                    << "session " << ids[t][i] << " of thread " << t;
        }
        EXPECT_EQ(unique.size(), size_t{kOpens});
        EXPECT_EQ(*unique.begin(), 1u);
        EXPECT_EQ(*unique.rbegin(), kOpens);
        EXPECT_EQ(Open(), kOpens + 1);
    }
}
