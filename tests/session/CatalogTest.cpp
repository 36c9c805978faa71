#include "session/WsContentCatalog.h"
#include "tests/packet/RaisedStatus.h"

#include <gtest/gtest.h>

using namespace korvel;
using korvel::test::RaisedStatus;

namespace {

WsUpdateEntry EntryWithConditions()
{
    WsUpdateEntry entry;
    entry.id = L"entry-1";
    entry.downloadSize = 0x100000001ull;
    entry.installConditions[L"A"] = {L"first", L"second"};
    entry.installConditions[L"AB"] = {L"third"};
    return entry;
}

} // namespace

TEST(Catalog, IndexIsCheckedUnsigned)
{
    WsContentCatalog<WsUpdateEntry> catalog;
    EXPECT_EQ(RaisedStatus([&] { catalog.At(0); }), kStatusEntryIndex);
    catalog.Add(EntryWithConditions());
    EXPECT_EQ(catalog.Count(), 1u);
    EXPECT_EQ(catalog.At(0).id, L"entry-1");
    for (uint32_t index : {1u, 2u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(RaisedStatus([&] { catalog.At(index); }), kStatusEntryIndex) << index;
}

TEST(Catalog, ConditionLookupIsExact)
{
    const WsUpdateEntry entry = EntryWithConditions();
    struct Case {
        const wchar_t* type;
        uint32_t count;
    } counts[] = {{L"A", 2}, {L"AB", 1}, {L"a", 0}, {L"A ", 0}, {L"", 0}, {L"B", 0}};
    for (const auto& c : counts)
        EXPECT_EQ(InstallConditionCount(entry, c.type), c.count) << c.type;

    EXPECT_EQ(InstallCondition(entry, L"A", 1), L"second");
    EXPECT_EQ(InstallCondition(entry, L"AB", 0), L"third");
    EXPECT_EQ(RaisedStatus([&] { InstallCondition(entry, L"A", 2); }), kStatusNoSuchItem);
    EXPECT_EQ(RaisedStatus([&] { InstallCondition(entry, L"B", 0); }), kStatusNoSuchItem);
    EXPECT_EQ(RaisedStatus([&] { InstallCondition(entry, L"a", 0); }), kStatusNoSuchItem);
}

TEST(Catalog, TypeListIsIndependentOfTheConditionMap)
{
    WsUpdateEntry entry = EntryWithConditions();
    EXPECT_EQ(RaisedStatus([&] { InstallConditionType(entry, 0); }), kStatusNoSuchItem)
        << "the map holds types but the list is empty";
    entry.installConditionTypes = {L"Z"};
    EXPECT_EQ(InstallConditionType(entry, 0), L"Z");
    EXPECT_EQ(InstallConditionCount(entry, L"Z"), 0u);
    EXPECT_EQ(RaisedStatus([&] { InstallConditionType(entry, 1); }), kStatusNoSuchItem);
}
