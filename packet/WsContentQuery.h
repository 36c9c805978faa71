#pragma once

#include "base/WsString.h"
#include "packet/WsXmlSerializable.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace korvel {

// How a group combines its items. Other values are accepted while building
// and refused when the query is written.
enum GroupType : uint32_t { kGroupAnd = 0, kGroupOr = 1 };

// How a text item compares its field with its value. kCompareEqual and values
// above kCompareLessThanEqual are written without a "compareType" attribute.
enum CompareType : uint32_t {
    kCompareEqual = 0,
    kCompareNotEqual = 1,
    kCompareContains = 2,
    kCompareGreaterThan = 3,
    kCompareGreaterThanEqual = 4,
    kCompareLessThan = 5,
    kCompareLessThanEqual = 6
};

// A field and a value, written as the text of a "metadata" or "text" element.
class WsMetadata : public WsXmlSerializable {
public:
    WsMetadata(const WsString& field, const WsString& value, uint32_t compareType = kCompareEqual)
        : field_(field), value_(value), compareType_(compareType)
    {
    }

    void Serialize(WsXmlDocument& document, pugi::xml_node element) const override;

private:
    WsString field_;
    WsString value_;
    uint32_t compareType_;
};

// An "And" or "Or" group of terms, text items and nested groups.
class WsContentQueryGroup : public WsXmlSerializable {
public:
    WsContentQueryGroup(uint32_t type, WsContentQueryGroup* parent) : type_(type), parent_(parent)
    {
    }
    WsContentQueryGroup(const WsContentQueryGroup&) = delete;
    WsContentQueryGroup& operator=(const WsContentQueryGroup&) = delete;

    WsContentQueryGroup* Parent() const { return parent_; }
    bool IsClosed() const { return closed_; }
    void Close() { closed_ = true; }

    void AddTerm(const WsString& field, const WsString& value);
    void AddText(const WsString& field, const WsString& value, uint32_t compareType);
    WsContentQueryGroup& AddGroup(uint32_t type);

    // Terms first, then text items, then nested groups, whatever the order
    // in which they were added. Raises kStatusBadGroupType for a type other
    // than "And" or "Or", here or in a nested group.
    void Serialize(WsXmlDocument& document, pugi::xml_node element) const override;

private:
    bool closed_ = false;
    uint32_t type_;
    WsContentQueryGroup* parent_;
    std::vector<std::unique_ptr<WsMetadata>> terms_;
    std::vector<std::unique_ptr<WsMetadata>> texts_;
    std::vector<std::unique_ptr<WsContentQueryGroup>> groups_;
};

// A query built step by step: OpenGroup and CloseGroup move a cursor through
// a tree of groups, and terms and text items go into the group at the cursor.
// Once the outermost group is closed the cursor stays on it, so later items
// and groups go into it.
class WsContentQuery : public WsXmlSerializable {
public:
    WsContentQuery() = default;
    WsContentQuery(const WsContentQuery&) = delete;
    WsContentQuery& operator=(const WsContentQuery&) = delete;

    WsContentQueryGroup& OpenGroup(uint32_t type);
    // The following three raise kStatusNoGroup before the first OpenGroup.
    void CloseGroup();
    void AddTerm(const WsString& field, const WsString& value);
    void AddText(const WsString& field, const WsString& value, uint32_t compareType);
    // An extra "requestMetadata" element written after the query.
    void AddRequestMetadata(const WsString& item);
    void Reset();

    // Raises kStatusQueryEmpty without any group, kStatusGroupNotClosed while
    // the outermost group is open, kStatusBadGroupType as the groups do.
    void Serialize(WsXmlDocument& document, pugi::xml_node element) const override;

private:
    WsContentQueryGroup& Cursor() const;

    WsContentQueryGroup* cursor_ = nullptr;
    std::unique_ptr<WsContentQueryGroup> root_;
    std::vector<WsString> requestMetadata_;
};

} // namespace korvel
