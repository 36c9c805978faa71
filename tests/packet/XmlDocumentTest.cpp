// The XML document under the packets: what is read from an answer and the
// life of its copies. What is written is checked as whole request texts by
// PacketTest and ContentQueryTest, the only forms a request takes.
#include "packet/WsXmlDocument.h"
#include "packet/WsXmlSerializable.h"
#include "tests/packet/RaisedStatus.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace korvel {
namespace {

using test::RaisedStatus;

// Counts pugixml's live blocks, so that a test sees when a document's memory
// is given back. Blocks are counted from construction; the functions it
// replaces use the same heap, so blocks may cross the change.
class LiveBlocks {
public:
    LiveBlocks() { pugi::set_memory_management_functions(Allocate, Deallocate); }
    ~LiveBlocks() { pugi::set_memory_management_functions(allocate_, deallocate_); }
    LiveBlocks(const LiveBlocks&) = delete;
    LiveBlocks& operator=(const LiveBlocks&) = delete;

    long Count() const { return count_; }

private:
    static void* Allocate(size_t size)
    {
        void* block = std::malloc(size);
        count_ += block != nullptr;
        return block;
    }
    static void Deallocate(void* block)
    {
        count_ -= block != nullptr;
        std::free(block);
    }

    static inline std::atomic<long> count_{0};
    // Taken before the constructor's body replaces them.
    const pugi::allocation_function allocate_ = pugi::get_memory_allocation_function();
    const pugi::deallocation_function deallocate_ = pugi::get_memory_deallocation_function();
};

WsXmlDocument Parsed(const std::string& bytes)
{
    WsXmlDocument document;
    document.Parse(bytes);
    return document;
}

TEST(XmlDocumentTest, TextComesFromTheFirstNonEmptyTextChildWithCrLfLineEnds)
{
    const std::tuple<const char*, const wchar_t*> cases[] = {
        {"<r>a\nb</r>", L"a\r\nb"},           {"<r>a\r\nb\rc</r>", L"a\r\nb\r\nc"},
        {"<r>&lt;&#10;</r>", L"<\r\n"},       {"<r><![CDATA[x<\ny]]>tail</r>", L"x<\r\ny"},
        {"<r><c>inner</c>tail</r>", L"tail"}, {"<r><![CDATA[]]>second</r>", L"second"},
        {"<r><c>inner</c></r>", L""},         {"<r/>", L""}};
    for (const auto& [xml, expected] : cases)
        EXPECT_EQ(GetText(Parsed(xml).Root()), expected) << xml;
}

TEST(XmlDocumentTest, ParseFailsWithoutAnElementOrOnMalformedMarkupAndLeavesTheDocumentEmpty)
{
    const std::tuple<std::string, WsStatus> cases[] = {
        {"", kStatusXmlNoRoot},
        {" \r\n\t", kStatusXmlNoRoot},
        {"just text", kStatusXmlNoRoot},
        {"<?xml version=\"1.0\"?><!-- c --><?pi x?>", kStatusXmlNoRoot},
        {"<a>", kStatusXmlParseFailed},
        {"<a><b></a>", kStatusXmlParseFailed},
        {"<a></b>", kStatusXmlParseFailed},
        {"<a x=1/>", kStatusXmlParseFailed},
        {"<a b=\"1/>", kStatusXmlParseFailed}};
    for (const auto& [bytes, status] : cases) {
        WsXmlDocument document = Parsed("<old/>");
        const WsXmlDocument copy = document;
        EXPECT_EQ(RaisedStatus([&] { document.Parse(bytes); }), status) << bytes;
        EXPECT_FALSE(document.IsValid());
        EXPECT_FALSE(document.Root());
        EXPECT_EQ(document.ToString(true, true), L"");
        EXPECT_STREQ(copy.Root().name(), L"old");
    }
}

TEST(XmlDocumentTest, ParseDetectsTheEncodingAndKeepsOnlyTheElement)
{
    const std::string utf16("\xFF\xFE<\0r\0>\0\xE9\0<\0/\0r\0>\0", 18);
    const std::string utf8 = "\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- c -->\n<r>\xC3\xA9</r><?pi?>";
    for (const std::string& bytes : {utf16, utf8}) {
        const WsXmlDocument document = Parsed(bytes);
        EXPECT_TRUE(document.IsValid());
        EXPECT_STREQ(document.Root().name(), L"r");
        EXPECT_EQ(GetText(document.Root()), L"\u00e9");
        EXPECT_EQ(document.ToString(false, false), L"\uFEFF<r>\u00e9</r>");
    }
}

// Copies share one parsed document, also on several threads at once; it lives until its last
// copy goes, and then all its memory is given back.
TEST(XmlDocumentTest, ParsedDocumentLivesUntilItsLastCopyGoesOnAnyThread)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 5000;
    LiveBlocks blocks;
    const long before = blocks.Count();
    {
        auto original = std::make_unique<WsXmlDocument>(Parsed("<r><a>text</a></r>"));
        const long parsed = blocks.Count();
        EXPECT_GT(parsed, before);
        const WsXmlDocument shared(*original);
        WsXmlDocument assigned;
        assigned = shared;
        assigned = assigned;
        original->Parse("<other/>");
        original.reset();
        EXPECT_EQ(blocks.Count(), parsed);
        std::atomic<int> misreads{0};
        std::vector<std::thread> threads;
        for (int thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&] {
                for (int round = 0; round < kRounds; ++round) {
                    WsXmlDocument copy(shared);
                    WsXmlDocument own(L"own", L"");
                    WsXmlDocument mixed = own;
                    mixed = copy;
                    misreads += GetChildText(mixed.Root(), L"a") != L"text";
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(misreads, 0);
        EXPECT_EQ(blocks.Count(), parsed);
        EXPECT_STREQ(shared.Root().name(), L"r");
        EXPECT_EQ(GetChildText(assigned.Root(), L"a"), L"text");
    }
    EXPECT_EQ(blocks.Count(), before);
}

} // namespace
} // namespace korvel
