#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::cli {

// The values the query exports take for a group's kind and an item's
// comparison.
enum class GroupType : uint32_t { And = 0, Or = 1 };
enum class CompareType : uint32_t {
    Equal = 0,
    NotEqual = 1,
    Contains = 2,
    GreaterThan = 3,
    GreaterThanEqual = 4,
    LessThan = 5,
    LessThanEqual = 6,
};

struct QueryCondition {
    std::wstring field;
    CompareType compare = CompareType::Equal;
    std::wstring value;
};

struct QueryItem;

struct QueryGroup {
    GroupType type = GroupType::And;
    std::vector<QueryItem> items;
};

// Either a condition or a nested group.
struct QueryItem {
    std::optional<QueryCondition> condition;
    QueryGroup group;
};

struct QueryParseResult {
    QueryGroup query;
    std::string error; // empty on success; UTF-8, names the column
    size_t column = 0; // 0-based position of the fault in the expression
    bool Ok() const { return error.empty(); }
};

// Parses the expression syntax of `korvel-cli query`, for example
//     ProductId=1234 and (Os=Windows or Os=Linux) and Title~"graphics driver"
// Conditions are FIELD OP VALUE with OP one of = != ~ > >= < <=; "and" and
// "or" (any case) join them, and one group may not mix the two without
// parentheses. The outermost group is the whole expression (or the single
// parenthesised group it consists of); parentheses around a single
// condition add no group.
QueryParseResult ParseQueryExpression(std::wstring_view text);

// Receives the calls that build a query, in the order the library's query
// exports expect them; each returns the export's status.
class QueryBuilder {
public:
    virtual ~QueryBuilder() = default;
    virtual uint32_t OpenGroup(GroupType type) = 0;
    virtual uint32_t CloseGroup() = 0;
    virtual uint32_t AddTerm(const std::wstring& field, const std::wstring& value) = 0;
    virtual uint32_t AddText(const std::wstring& field, const std::wstring& value,
                             CompareType compare) = 0;
};

// Replays a parsed query as builder calls: equality conditions as terms, the
// other comparisons as texts. Stops at the first call that does not return
// 0 and returns its status.
uint32_t BuildQuery(const QueryGroup& query, QueryBuilder& builder);

} // namespace korvel::cli
