#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::cli {

// An element as the tolerant reader sees it: names without their namespace
// prefix, attribute values and text with entities decoded (UTF-8).
struct XmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text; // the element's own text, its children's not included
    std::vector<XmlElement> children;

    // The attribute's value, or an empty string when it is absent.
    std::string Attribute(std::string_view attributeName) const;
    bool HasAttribute(std::string_view attributeName) const;
    const XmlElement* Child(std::string_view childName) const;
    std::vector<const XmlElement*> Children(std::string_view childName) const;
    // The first element of that name at any depth below this one.
    const XmlElement* Find(std::string_view elementName) const;
};

// Reads a document well enough to show what it holds: it skips the
// declaration, comments and processing instructions, keeps CDATA as text,
// closes elements left open and ignores stray end tags. UTF-16 with a
// byte-order mark is converted first. Returns nothing when the text holds no
// element at all.
std::optional<XmlElement> ReadXml(std::string_view document);

} // namespace korvel::cli
