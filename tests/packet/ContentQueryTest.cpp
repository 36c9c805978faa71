// The content query as it is written into a request; the queries that are refused are
// QueryExports.QueriesThatCannotBeWritten's.
#include "packet/WsContentQuery.h"
#include "packet/WsXmlDocument.h"
#include "tests/packet/RaisedStatus.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

#include <iterator>

namespace korvel {
namespace {

using test::RaisedStatus;

// The query as written into a "contentQuery" element, without BOM or declaration.
WsString Written(const WsContentQuery& query)
{
    WsXmlDocument document(L"contentQuery", L"");
    query.Serialize(document, document.Root());
    return document.ToString(true, false).substr(1);
}

TEST(ContentQueryTest, NestedGroupsAreWrittenTermsFirstThenTextsThenGroups)
{
    WsContentQuery query;
    query.OpenGroup(kGroupAnd);
    query.AddText(L"Title", L"driver", kCompareContains);
    query.AddTerm(L"ProductId", L"1234");
    query.OpenGroup(kGroupOr);
    query.AddTerm(L"Os", L"Windows");
    query.AddTerm(L"Os", L"Linux <6 & later>");
    query.CloseGroup();
    query.CloseGroup();
    query.AddRequestMetadata(L"extra");
    query.AddRequestMetadata(L"");
    EXPECT_EQ(Written(query),
              L"<contentQuery>\n"
              L"\t<query type=\"And\">\n"
              L"\t\t<metadata field=\"ProductId\">1234</metadata>\n"
              L"\t\t<text compareType=\"Contains\" field=\"Title\">driver</text>\n"
              L"\t\t<query type=\"Or\">\n"
              L"\t\t\t<metadata field=\"Os\">Windows</metadata>\n"
              L"\t\t\t<metadata field=\"Os\">Linux &lt;6 &amp; later&gt;</metadata>\n"
              L"\t\t</query>\n"
              L"\t</query>\n"
              L"\t<requestMetadata>extra</requestMetadata>\n"
              L"\t<requestMetadata />\n"
              L"</contentQuery>\n");
}

// After a reset nothing of the query before is left; a closed root keeps the cursor and takes
// later items and groups.
TEST(ContentQueryTest, ResetStartsAfreshAndAClosedRootTakesLaterItems)
{
    WsContentQuery query;
    query.OpenGroup(kGroupOr);
    query.AddTerm(L"F", L"v");
    query.AddRequestMetadata(L"extra");
    query.Reset();
    query.OpenGroup(kGroupAnd);
    query.CloseGroup();
    EXPECT_EQ(RaisedStatus([&] { query.CloseGroup(); }), kStatusSuccess);
    query.AddTerm(L"Empty", L"");
    query.OpenGroup(kGroupOr);
    EXPECT_EQ(Written(query), L"<contentQuery>\n"
                              L"\t<query type=\"And\">\n"
                              L"\t\t<metadata field=\"Empty\"></metadata>\n"
                              L"\t\t<query type=\"Or\" />\n"
                              L"\t</query>\n"
                              L"</contentQuery>\n");
}

TEST(ContentQueryTest, OnlyCompareTypesOneToSixAreWrittenAndBeforeTheField)
{
    const wchar_t* const names[] = {
        nullptr,     L"NotEqual",      L"Contains", L"GreaterThan", L"GreaterThanEqual",
        L"LessThan", L"LessThanEqual", nullptr,     nullptr,        nullptr};
    for (uint32_t compareType = 0; compareType < std::size(names); ++compareType) {
        WsContentQuery query;
        query.OpenGroup(kGroupOr);
        query.AddText(L"F", L"v", compareType);
        query.CloseGroup();
        const WsString attribute =
            names[compareType] ? L"compareType=\"" + WsString(names[compareType]) + L"\" " : L"";
        EXPECT_EQ(Written(query), L"<contentQuery>\n\t<query type=\"Or\">\n\t\t<text " + attribute +
                                      L"field=\"F\">v</text>\n\t</query>\n</contentQuery>\n")
            << compareType;
    }
}

} // namespace
} // namespace korvel
