// The result catalog's own index check. The library never fills a catalog, so
// a host meets only an empty one (Exports.EntriesOfAnEmptyCatalogFail) and
// never reaches the lookups of an entry's install conditions.
#include "session/WsContentCatalog.h"
#include "tests/packet/RaisedStatus.h"

#include <gtest/gtest.h>

using namespace korvel;
using korvel::test::RaisedStatus;

TEST(Catalog, IndexIsCheckedUnsigned)
{
    WsContentCatalog<WsUpdateEntry> catalog;
    WsUpdateEntry entry;
    entry.id = L"entry-1";
    catalog.Add(entry);
    EXPECT_EQ(catalog.Count(), 1u);
    EXPECT_EQ(catalog.At(0).id, L"entry-1");
    for (uint32_t index : {1u, 2u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(RaisedStatus([&] { catalog.At(index); }), kStatusEntryIndex) << index;
}
