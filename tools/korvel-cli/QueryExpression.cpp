#include "tools/korvel-cli/QueryExpression.h"

#include "tools/korvel-cli/Text.h"

#include <cwctype>

namespace korvel::cli {

namespace {

struct SyntaxError {
    std::string message;
    size_t column;
};

struct Operator {
    std::wstring_view text;
    CompareType compare;
};

// Two-character operators first, so that ">=" is not read as ">".
constexpr Operator kOperators[] = {
    {L"!=", CompareType::NotEqual},      {L">=", CompareType::GreaterThanEqual},
    {L"<=", CompareType::LessThanEqual}, {L"=", CompareType::Equal},
    {L"~", CompareType::Contains},       {L">", CompareType::GreaterThan},
    {L"<", CompareType::LessThan},
};

constexpr std::wstring_view kOperatorChars = L"=!~<>";
constexpr const char* kOperatorList = "=, !=, ~, >, >=, <, <=";

bool IsOperatorChar(wchar_t c)
{
    return kOperatorChars.find(c) != std::wstring_view::npos;
}

bool EndsBareWord(wchar_t c)
{
    return std::iswspace(c) || c == L'(' || c == L')' || c == L'"';
}

const char* ConnectiveName(GroupType type)
{
    return type == GroupType::And ? "and" : "or";
}

class Parser {
public:
    explicit Parser(std::wstring_view text) : text_(text) {}

    QueryGroup ParseExpression()
    {
        SkipSpace();
        if (AtEnd())
            Fail("empty expression; expected a condition such as ProductId=1234", pos_);
        QueryGroup top = ParseSequence(std::wstring_view::npos);
        if (top.items.size() == 1 && !top.items.front().condition)
            return std::move(top.items.front().group);
        return top;
    }

private:
    // Operands joined by one kind of connective, up to the end of the text
    // or, inside parentheses, the closing one (left unread).
    QueryGroup ParseSequence(size_t openedAt)
    {
        QueryGroup group;
        group.items.push_back(ParseOperand());
        std::optional<GroupType> type;
        size_t typeColumn = 0;
        for (;;) {
            SkipSpace();
            if (AtEnd()) {
                if (openedAt != std::wstring_view::npos)
                    Fail("missing ')' for the '(' at column " + std::to_string(openedAt + 1), pos_);
                break;
            }
            if (text_[pos_] == L')') {
                if (openedAt == std::wstring_view::npos)
                    Fail("')' without a matching '('", pos_);
                break;
            }
            const size_t column = pos_;
            const GroupType next = ReadConnective(openedAt != std::wstring_view::npos);
            if (type && *type != next)
                Fail(std::string("cannot mix 'and' and 'or' in one group without parentheses: "
                                 "this '") +
                         ConnectiveName(next) + "' follows an '" + ConnectiveName(*type) +
                         "' at column " + std::to_string(typeColumn + 1) +
                         "; group them, as in a=1 and (b=2 or c=3)",
                     column);
            if (!type) {
                type = next;
                typeColumn = column;
            }
            group.items.push_back(ParseOperand());
        }
        group.type = type.value_or(GroupType::And);
        return group;
    }

    QueryItem ParseOperand()
    {
        SkipSpace();
        if (AtEnd())
            Fail("expected a condition at the end of the expression", pos_);
        if (text_[pos_] == L')')
            Fail("expected a condition before ')'", pos_);
        if (text_[pos_] != L'(')
            return QueryItem{ParseCondition(), {}};
        const size_t openedAt = pos_++;
        QueryGroup inner = ParseSequence(openedAt);
        ++pos_; // the ')' that ParseSequence stopped at
        if (inner.items.size() == 1)
            return std::move(inner.items.front());
        return QueryItem{std::nullopt, std::move(inner)};
    }

    QueryCondition ParseCondition()
    {
        QueryCondition condition;
        const size_t fieldColumn = pos_;
        condition.field = ReadText(true);
        if (condition.field.empty())
            Fail("expected a field name, found '" + Snippet(fieldColumn) + "'", fieldColumn);
        SkipSpace();
        const size_t operatorColumn = pos_;
        const Operator* op = ReadOperator();
        if (!op)
            Fail(std::string("expected an operator (") + kOperatorList + ") after the field '" +
                     ToUtf8(condition.field) + "'" +
                     (AtEnd() ? "" : ", found '" + Snippet(operatorColumn) + "'"),
                 operatorColumn);
        condition.compare = op->compare;
        SkipSpace();
        const size_t valueColumn = pos_;
        if (!AtEnd() && IsOperatorChar(text_[pos_]))
            Fail("a value cannot begin with '" + ToUtf8(text_.substr(pos_, 1)) +
                     "'; put the value in double quotes",
                 valueColumn);
        const bool quoted = !AtEnd() && text_[pos_] == L'"';
        condition.value = ReadText(false);
        if (condition.value.empty() && !quoted)
            Fail("expected a value after '" + ToUtf8(condition.field) + ToUtf8(op->text) +
                     "' (write \"\" for an empty value)",
                 valueColumn);
        return condition;
    }

    // A quoted text, or a bare word; a field's bare word also ends at an
    // operator character.
    std::wstring ReadText(bool isField)
    {
        if (!AtEnd() && text_[pos_] == L'"')
            return ReadQuoted();
        const size_t begin = pos_;
        while (!AtEnd() && !EndsBareWord(text_[pos_]) && !(isField && IsOperatorChar(text_[pos_])))
            ++pos_;
        return std::wstring(text_.substr(begin, pos_ - begin));
    }

    // "..." where \" and \\ stand for a quote and a backslash; any other
    // backslash is literal, so Windows paths need no doubling.
    std::wstring ReadQuoted()
    {
        const size_t begin = pos_++;
        std::wstring value;
        while (!AtEnd() && text_[pos_] != L'"') {
            if (text_[pos_] == L'\\' && pos_ + 1 < text_.size() &&
                (text_[pos_ + 1] == L'"' || text_[pos_ + 1] == L'\\'))
                ++pos_;
            value += text_[pos_++];
        }
        if (AtEnd())
            Fail("the quoted text that begins at column " + std::to_string(begin + 1) +
                     " has no closing '\"'",
                 begin);
        ++pos_;
        return value;
    }

    const Operator* ReadOperator()
    {
        for (const Operator& op : kOperators) {
            if (text_.substr(pos_, op.text.size()) == op.text) {
                pos_ += op.text.size();
                return &op;
            }
        }
        return nullptr;
    }

    GroupType ReadConnective(bool insideParentheses)
    {
        const size_t begin = pos_;
        while (!AtEnd() && std::iswalpha(text_[pos_]))
            ++pos_;
        const std::wstring_view word = text_.substr(begin, pos_ - begin);
        const bool separated = AtEnd() || EndsBareWord(text_[pos_]);
        if (separated && EqualsAsciiNoCase(word, L"and"))
            return GroupType::And;
        if (separated && EqualsAsciiNoCase(word, L"or"))
            return GroupType::Or;
        Fail(std::string("expected 'and', 'or'") + (insideParentheses ? " or ')'" : "") +
                 " after a condition, found '" + Snippet(begin) + "'",
             begin);
    }

    [[noreturn]] void Fail(const std::string& message, size_t column)
    {
        throw SyntaxError{"column " + std::to_string(column + 1) + ": " + message, column};
    }

    // The text from a position to the next blank, shortened, for messages.
    std::string Snippet(size_t from) const
    {
        size_t end = from;
        while (end < text_.size() && !std::iswspace(text_[end]) && end - from < 24)
            ++end;
        return ToUtf8(text_.substr(from, end - from));
    }

    void SkipSpace()
    {
        while (!AtEnd() && std::iswspace(text_[pos_]))
            ++pos_;
    }

    bool AtEnd() const { return pos_ >= text_.size(); }

    std::wstring_view text_;
    size_t pos_ = 0;
};

} // namespace

QueryParseResult ParseQueryExpression(std::wstring_view text)
{
    QueryParseResult result;
    try {
        result.query = Parser(text).ParseExpression();
    } catch (const SyntaxError& error) {
        result.query = {};
        result.error = error.message;
        result.column = error.column;
    }
    return result;
}

uint32_t BuildQuery(const QueryGroup& query, QueryBuilder& builder)
{
    if (const uint32_t status = builder.OpenGroup(query.type))
        return status;
    for (const QueryItem& item : query.items) {
        uint32_t status = 0;
        if (!item.condition)
            status = BuildQuery(item.group, builder);
        else if (item.condition->compare == CompareType::Equal)
            status = builder.AddTerm(item.condition->field, item.condition->value);
        else
            status = builder.AddText(item.condition->field, item.condition->value,
                                     item.condition->compare);
        if (status != 0)
            return status;
    }
    return builder.CloseGroup();
}

} // namespace korvel::cli
