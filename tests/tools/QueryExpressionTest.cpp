// The query expression of `korvel-cli query`: which export calls an
// expression turns into, and how a bad one is reported.
#include "tools/korvel-cli/QueryExpression.h"
#include "tools/korvel-cli/Text.h"

#include <gtest/gtest.h>

#include <string>

using namespace korvel::cli;

namespace {

// Writes the calls as text, for example "Open(0) Term(a,1) Text(b,2,2) Close".
class RecordingBuilder : public QueryBuilder {
public:
    explicit RecordingBuilder(int failAtCall = -1) : failAtCall_(failAtCall) {}

    uint32_t OpenGroup(GroupType type) override
    {
        return Record("Open(" + std::to_string(static_cast<uint32_t>(type)) + ")");
    }
    uint32_t CloseGroup() override { return Record("Close"); }
    uint32_t AddTerm(const std::wstring& field, const std::wstring& value) override
    {
        return Record("Term(" + ToUtf8(field) + "," + ToUtf8(value) + ")");
    }
    uint32_t AddText(const std::wstring& field, const std::wstring& value,
                     CompareType compare) override
    {
        return Record("Text(" + ToUtf8(field) + "," + ToUtf8(value) + "," +
                      std::to_string(static_cast<uint32_t>(compare)) + ")");
    }

    std::string calls;

private:
    uint32_t Record(const std::string& call)
    {
        calls += (calls.empty() ? "" : " ") + call;
        return ++count_ == failAtCall_ ? 0x80003003u : 0u;
    }

    int failAtCall_;
    int count_ = 0;
};

std::string Calls(const std::wstring& expression)
{
    const QueryParseResult parsed = ParseQueryExpression(expression);
    if (!parsed.Ok())
        return "error: " + parsed.error;
    RecordingBuilder builder;
    EXPECT_EQ(BuildQuery(parsed.query, builder), 0u);
    return builder.calls;
}

struct ValidCase {
    const wchar_t* expression;
    const char* calls;
};

const ValidCase kValid[] = {
    {L"ProductId=1234", "Open(0) Term(ProductId,1234) Close"},
    {L"ProductId=1234 and (Os=Windows or Os=Linux) and Title~driver and Version>=2.0 and "
     L"Lang!=de",
     "Open(0) Term(ProductId,1234) Open(1) Term(Os,Windows) Term(Os,Linux) Close "
     "Text(Title,driver,2) Text(Version,2.0,4) Text(Lang,de,1) Close"},
    {L"a=1 or b!=2 or c~3 or d>4 or e>=5 or f<6 or g<=7",
     "Open(1) Term(a,1) Text(b,2,1) Text(c,3,2) Text(d,4,3) Text(e,5,4) Text(f,6,5) "
     "Text(g,7,6) Close"},
    {L"a=1 AND b=2 And c=3", "Open(0) Term(a,1) Term(b,2) Term(c,3) Close"},
    {L"  Version  >=  2.0  ", "Open(0) Text(Version,2.0,4) Close"},
    {L"((a=1)) and b=2", "Open(0) Term(a,1) Term(b,2) Close"},
    {L"a=1 or (b=2 and (c=3 or d=4))",
     "Open(1) Term(a,1) Open(0) Term(b,2) Open(1) Term(c,3) Term(d,4) Close Close Close"},
    {L"a=1 and(b=2 or c=3)", "Open(0) Term(a,1) Open(1) Term(b,2) Term(c,3) Close Close"},
    {L"Title~\"graphics driver\"", "Open(0) Text(Title,graphics driver,2) Close"},
    {L"Note=\"say \\\"hi\\\" \\\\ok\"", "Open(0) Term(Note,say \"hi\" \\ok) Close"},
    {L"Path=\"C:\\dir\\x\"", "Open(0) Term(Path,C:\\dir\\x) Close"},
    {L"Name=\"a (b) or c\"", "Open(0) Term(Name,a (b) or c) Close"},
    {L"Lang=\"\"", "Open(0) Term(Lang,) Close"},
    {L"\"Display Name\"~Host", "Open(0) Text(Display Name,Host,2) Close"},
    {L"Url=http://h/p?a=b&c>d", "Open(0) Term(Url,http://h/p?a=b&c>d) Close"},
    {L"Titel~Gr\u00f6\u00dfe", "Open(0) Text(Titel,Gr\xC3\xB6\xC3\x9F"
                               "e,2) Close"},
    {L"a=1\tand\tb=2", "Open(0) Term(a,1) Term(b,2) Close"},
};

TEST(QueryExpression, ValidExpressionsBecomeTheseCalls)
{
    for (const ValidCase& c : kValid)
        EXPECT_EQ(Calls(c.expression), c.calls) << ToUtf8(c.expression);
}

struct InvalidCase {
    const wchar_t* expression;
    size_t column;     // 0-based
    const char* error; // a part of the message
};

const InvalidCase kInvalid[] = {
    {L"", 0, "empty expression"},
    {L"   ", 3, "empty expression"},
    {L"a=1 and b=2 or c=3", 12,
     "cannot mix 'and' and 'or' in one group without parentheses: this 'or' follows an 'and' "
     "at column 5"},
    {L"(a=1 or b=2 and c=3)", 12, "cannot mix"},
    {L"(a=1 or b=2", 11, "missing ')' for the '(' at column 1"},
    {L"a=1)", 3, "')' without a matching '('"},
    {L"a=1 and", 7, "expected a condition at the end"},
    {L"a=1 and ()", 9, "expected a condition before ')'"},
    {L"a", 1, "expected an operator (=, !=, ~, >, >=, <, <=) after the field 'a'"},
    {L"a b=2", 2, "expected an operator (=, !=, ~, >, >=, <, <=) after the field 'a', found 'b=2'"},
    {L"a==1", 2, "a value cannot begin with '='"},
    {L"a=", 2, "expected a value after 'a='"},
    {L"a>=", 3, "expected a value after 'a>='"},
    {L"a=\"x", 2, "the quoted text that begins at column 3 has no closing '\"'"},
    {L"a=1 b=2", 4, "expected 'and', 'or' after a condition, found 'b=2'"},
    {L"(a=1 b=2)", 5, "expected 'and', 'or' or ')' after a condition"},
    {L"a=1 andb=2", 4, "found 'andb=2'"},
    {L"=1", 0, "expected a field name, found '=1'"},
};

TEST(QueryExpression, InvalidExpressionsNameTheFaultAndItsColumn)
{
    for (const InvalidCase& c : kInvalid) {
        const QueryParseResult parsed = ParseQueryExpression(c.expression);
        const std::string label = "expression: " + ToUtf8(c.expression);
        ASSERT_FALSE(parsed.Ok()) << label;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << label << "\n" << parsed.error;
        EXPECT_EQ(parsed.column, c.column) << label << "\n" << parsed.error;
        EXPECT_EQ(parsed.error.rfind("column " + std::to_string(c.column + 1) + ": ", 0), 0u)
            << label << "\n"
            << parsed.error;
    }
}

TEST(QueryExpression, BuildingStopsAtTheFirstFailingCall)
{
    const QueryParseResult parsed = ParseQueryExpression(L"a=1 and b~2 and (c=3 or d=4)");
    ASSERT_TRUE(parsed.Ok());
    RecordingBuilder builder(3);
    EXPECT_EQ(BuildQuery(parsed.query, builder), 0x80003003u);
    EXPECT_EQ(builder.calls, "Open(0) Term(a,1) Text(b,2,2)");
}

} // namespace
