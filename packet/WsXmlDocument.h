#pragma once

#include "base/WsString.h"

#include <pugixml.hpp>

#include <string>

namespace korvel {

class WsXmlSerializable;

// One XML document. Copies share the underlying pugixml document, which is
// freed with the last copy, so node handles stay usable as long as any copy
// lives. Copies may be made and destroyed on different threads at once; one
// value and the nodes of its document are used by one thread at a time.
class WsXmlDocument {
public:
    WsXmlDocument() = default;
    // A new document holding one root element; an "xmlns" attribute is added
    // when namespaceUri is not empty.
    WsXmlDocument(const WsString& rootName, const WsString& namespaceUri);
    WsXmlDocument(const WsXmlDocument& other);
    WsXmlDocument& operator=(const WsXmlDocument& other);
    virtual ~WsXmlDocument();

    pugi::xml_node Root() const { return root_; }
    // True only after a successful Parse.
    bool IsValid() const { return valid_; }
    // Declares prefix on the root as "xmlns:<prefix>"; nothing when uri is empty.
    void AddNamespace(const WsString& prefix, const WsString& uri);
    // The whole document as UTF-16 text beginning with U+FEFF: tab-indented
    // with indent, on one line without; empty for an empty document.
    WsString ToString(bool indent, bool withDeclaration) const;
    // Replaces the content by the document in bytes, in any encoding pugixml
    // detects. Raises kStatusXmlParseFailed for malformed markup and
    // kStatusXmlNoRoot when no element remains; the document is then empty.
    void Parse(const std::string& bytes);

private:
    void Swap(WsXmlDocument& other) noexcept;
    void Clear();

    bool valid_ = false;
    pugi::xml_document* document_ = nullptr;
    pugi::xml_node root_;
};

// Node operations. A null handle, or a node that cannot take the new child,
// makes them add nothing and return a null handle or an empty string.

// Only document and element nodes take children.
pugi::xml_node AppendElement(pugi::xml_node node, const WsString& name);
// Adds one more text child, even an empty one: the element then prints with
// a start and an end tag rather than in the empty-element form.
void AppendText(pugi::xml_node node, const WsString& text);
// An element holding text; an empty text adds nothing unless forced, and a
// forced empty text gives an element without children.
void AppendTextElement(pugi::xml_node node, const WsString& name, const WsString& text, bool force);
// A new element that object then fills.
pugi::xml_node AppendObject(pugi::xml_node node, const WsString& name, WsXmlDocument& document,
                            const WsXmlSerializable& object);
// An existing attribute keeps its position; an empty value is skipped unless forced.
void SetAttribute(pugi::xml_node node, const WsString& name, const WsString& value, bool force);
WsString GetAttribute(pugi::xml_node node, const WsString& name);
// First child with exactly this name: case-sensitive, prefixes compared as text.
pugi::xml_node FindChild(pugi::xml_node node, const WsString& name);
// The first non-empty text or CDATA child, with CR LF line ends.
WsString GetText(pugi::xml_node node);
WsString GetChildText(pugi::xml_node node, const WsString& name);

} // namespace korvel
