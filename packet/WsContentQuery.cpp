#include "packet/WsContentQuery.h"

#include "base/WsStatus.h"
#include "packet/WsXmlDocument.h"

#include <iterator>

namespace korvel {

namespace {

const wchar_t* GroupTypeName(uint32_t type)
{
    switch (type) {
    case kGroupAnd:
        return L"And";
    case kGroupOr:
        return L"Or";
    default:
        Raise(kStatusBadGroupType);
    }
}

// Null for an equality and for values the service does not know.
const wchar_t* CompareTypeName(uint32_t compareType)
{
    static const wchar_t* const names[] = {nullptr,         L"NotEqual",         L"Contains",
                                           L"GreaterThan",  L"GreaterThanEqual", L"LessThan",
                                           L"LessThanEqual"};
    return compareType < std::size(names) ? names[compareType] : nullptr;
}

} // namespace

void WsMetadata::Serialize(WsXmlDocument&, pugi::xml_node element) const
{
    AppendText(element, value_);
    if (const wchar_t* name = CompareTypeName(compareType_))
        SetAttribute(element, L"compareType", name, true);
    SetAttribute(element, L"field", field_, true);
}

void WsContentQueryGroup::AddTerm(const WsString& field, const WsString& value)
{
    terms_.push_back(std::make_unique<WsMetadata>(field, value));
}

void WsContentQueryGroup::AddText(const WsString& field, const WsString& value,
                                  uint32_t compareType)
{
    texts_.push_back(std::make_unique<WsMetadata>(field, value, compareType));
}

WsContentQueryGroup& WsContentQueryGroup::AddGroup(uint32_t type)
{
    groups_.push_back(std::make_unique<WsContentQueryGroup>(type, this));
    return *groups_.back();
}

void WsContentQueryGroup::Serialize(WsXmlDocument& document, pugi::xml_node element) const
{
    SetAttribute(element, L"type", GroupTypeName(type_), true);
    for (const auto& term : terms_)
        AppendObject(element, L"metadata", document, *term);
    for (const auto& text : texts_)
        AppendObject(element, L"text", document, *text);
    for (const auto& group : groups_)
        AppendObject(element, L"query", document, *group);
}

WsContentQueryGroup& WsContentQuery::OpenGroup(uint32_t type)
{
    if (!root_) {
        root_ = std::make_unique<WsContentQueryGroup>(type, nullptr);
        cursor_ = root_.get();
    } else {
        cursor_ = &cursor_->AddGroup(type);
    }
    return *cursor_;
}

void WsContentQuery::CloseGroup()
{
    WsContentQueryGroup& group = Cursor();
    group.Close();
    cursor_ = group.Parent() ? group.Parent() : root_.get();
}

void WsContentQuery::AddTerm(const WsString& field, const WsString& value)
{
    Cursor().AddTerm(field, value);
}

void WsContentQuery::AddText(const WsString& field, const WsString& value, uint32_t compareType)
{
    Cursor().AddText(field, value, compareType);
}

void WsContentQuery::AddRequestMetadata(const WsString& item)
{
    requestMetadata_.push_back(item);
}

void WsContentQuery::Reset()
{
    cursor_ = nullptr;
    root_.reset();
    requestMetadata_.clear();
}

void WsContentQuery::Serialize(WsXmlDocument& document, pugi::xml_node element) const
{
    if (!root_)
        Raise(kStatusQueryEmpty);
    if (!root_->IsClosed())
        Raise(kStatusGroupNotClosed);
    AppendObject(element, L"query", document, *root_);
    for (const WsString& item : requestMetadata_)
        AppendTextElement(element, L"requestMetadata", item, true);
}

WsContentQueryGroup& WsContentQuery::Cursor() const
{
    if (!cursor_)
        Raise(kStatusNoGroup);
    return *cursor_;
}

} // namespace korvel
