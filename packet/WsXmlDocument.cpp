#include "packet/WsXmlDocument.h"

#include "base/CriticalSection.h"
#include "base/WsStatus.h"
#include "packet/WsXmlSerializable.h"

#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <utility>

namespace korvel {

namespace {

// Reference counts of the pugixml documents that WsXmlDocument copies share.
// Host threads copy and destroy documents of different sessions at the same
// time, so every change, the final delete included, runs under one lock.
class DocumentRegistry {
public:
    // Never destroyed: documents held by static objects are released during
    // library unload, after function-local statics may already be gone.
    static DocumentRegistry& Get()
    {
        static DocumentRegistry* const registry = new DocumentRegistry;
        return *registry;
    }

    void AddRef(pugi::xml_document* document)
    {
        if (!document)
            return;
        CriticalSectionLock lock(lock_);
        ++counts_[document];
    }

    void Release(pugi::xml_document* document)
    {
        if (!document)
            return;
        CriticalSectionLock lock(lock_);
        const auto entry = counts_.find(document);
        if (entry == counts_.end())
            return;
        if (entry->second < 2) {
            counts_.erase(entry);
            delete document;
        } else {
            --entry->second;
        }
    }

private:
    CriticalSection lock_;
    std::map<pugi::xml_document*, std::uint32_t> counts_;
};

pugi::xml_document* NewDocument()
{
    auto document = std::make_unique<pugi::xml_document>();
    DocumentRegistry::Get().AddRef(document.get());
    return document.release();
}

bool CanHaveChildren(pugi::xml_node node)
{
    return node.type() == pugi::node_document || node.type() == pugi::node_element;
}

bool IsText(pugi::xml_node node)
{
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The parser turns every line end into LF; the library's callers expect CR LF.
WsString WithCrLf(const wchar_t* text)
{
    WsString result;
    for (; *text; ++text) {
        if (*text == L'\n')
            result += L'\r';
        result += *text;
    }
    return result;
}

} // namespace

WsXmlDocument::WsXmlDocument(const WsString& rootName, const WsString& namespaceUri)
    : document_(NewDocument())
{
    root_ = document_->append_child(rootName.c_str());
    SetAttribute(root_, L"xmlns", namespaceUri, false);
}

WsXmlDocument::WsXmlDocument(const WsXmlDocument& other)
    : valid_(other.valid_), document_(other.document_), root_(other.root_)
{
    DocumentRegistry::Get().AddRef(document_);
}

WsXmlDocument& WsXmlDocument::operator=(const WsXmlDocument& other)
{
    if (this != &other) {
        WsXmlDocument copy(other);
        Swap(copy);
    }
    return *this;
}

WsXmlDocument::~WsXmlDocument()
{
    Clear();
}

void WsXmlDocument::Swap(WsXmlDocument& other) noexcept
{
    std::swap(valid_, other.valid_);
    std::swap(document_, other.document_);
    std::swap(root_, other.root_);
}

void WsXmlDocument::Clear()
{
    valid_ = false;
    root_ = pugi::xml_node();
    DocumentRegistry::Get().Release(std::exchange(document_, nullptr));
}

void WsXmlDocument::AddNamespace(const WsString& prefix, const WsString& uri)
{
    SetAttribute(root_, L"xmlns:" + prefix, uri, false);
}

WsString WsXmlDocument::ToString(bool indent, bool withDeclaration) const
{
    // pugixml hands over the UTF-16 output in pieces whose size is in bytes.
    class Writer : public pugi::xml_writer {
    public:
        explicit Writer(WsString& target) : target_(target) {}
        void write(const void* data, size_t size) override
        {
            target_.append(static_cast<const wchar_t*>(data), size / sizeof(wchar_t));
        }

    private:
        WsString& target_;
    };

    if (!document_)
        return WsString();
    unsigned int flags = (indent ? pugi::format_indent : pugi::format_raw) | pugi::format_write_bom;
    if (!withDeclaration)
        flags |= pugi::format_no_declaration;
    WsString text;
    try {
        Writer writer(text);
        document_->save(writer, L"\t", flags, pugi::encoding_utf16_le);
    } catch (...) {
        return WsString();
    }
    return text;
}

void WsXmlDocument::Parse(const std::string& bytes)
{
    Clear();
    document_ = NewDocument();
    pugi::xml_parse_result result;
    try {
        std::istringstream stream(bytes);
        result = document_->load(stream, pugi::parse_default, pugi::encoding_auto);
    } catch (...) {
        Clear();
        Raise(kStatusXmlParseFailed);
    }
    // Input without any element is a missing root, whether or not this
    // pugixml release counts it as a load failure.
    if (!result && result.status != pugi::status_no_document_element) {
        Clear();
        Raise(kStatusXmlParseFailed);
    }
    root_ = document_->first_child();
    if (!root_) {
        Clear();
        Raise(kStatusXmlNoRoot);
    }
    valid_ = true;
}

pugi::xml_node AppendElement(pugi::xml_node node, const WsString& name)
{
    if (!CanHaveChildren(node))
        return pugi::xml_node();
    return node.append_child(name.c_str());
}

void AppendText(pugi::xml_node node, const WsString& text)
{
    if (CanHaveChildren(node))
        node.append_child(pugi::node_pcdata).set_value(text.c_str());
}

void AppendTextElement(pugi::xml_node node, const WsString& name, const WsString& text, bool force)
{
    if (text.empty() && !force)
        return;
    const pugi::xml_node child = AppendElement(node, name);
    if (!text.empty())
        AppendText(child, text);
}

pugi::xml_node AppendObject(pugi::xml_node node, const WsString& name, WsXmlDocument& document,
                            const WsXmlSerializable& object)
{
    const pugi::xml_node child = AppendElement(node, name);
    if (child)
        object.Serialize(document, child);
    return child;
}

void SetAttribute(pugi::xml_node node, const WsString& name, const WsString& value, bool force)
{
    if (value.empty() && !force)
        return;
    pugi::xml_attribute attribute = node.attribute(name.c_str());
    if (!attribute)
        attribute = node.append_attribute(name.c_str());
    attribute.set_value(value.c_str());
}

WsString GetAttribute(pugi::xml_node node, const WsString& name)
{
    return node.attribute(name.c_str()).value();
}

pugi::xml_node FindChild(pugi::xml_node node, const WsString& name)
{
    return node.child(name.c_str());
}

WsString GetText(pugi::xml_node node)
{
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (IsText(child) && *child.value())
            return WithCrLf(child.value());
    }
    return WsString();
}

WsString GetChildText(pugi::xml_node node, const WsString& name)
{
    return GetText(FindChild(node, name));
}

} // namespace korvel
