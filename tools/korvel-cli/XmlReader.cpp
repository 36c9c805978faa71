#include "tools/korvel-cli/XmlReader.h"

#include "tools/korvel-cli/Text.h"

#include <cstdint>
#include <cstdlib>

namespace korvel::cli {

namespace {

// Deeper elements are read past without being kept, so that a hostile
// answer cannot exhaust the stack of the recursive tree operations.
constexpr size_t kMaxDepth = 256;

std::string_view LocalName(std::string_view name)
{
    const size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The character an entity reference stands for, or nothing when the
// reference is unknown or malformed (it is then kept as written).
std::optional<std::string> DecodeEntity(std::string_view name)
{
    if (name == "lt")
        return "<";
    if (name == "gt")
        return ">";
    if (name == "amp")
        return "&";
    if (name == "quot")
        return "\"";
    if (name == "apos")
        return "'";
    if (name.size() < 2 || name[0] != '#')
        return std::nullopt;
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string digits(name.substr(hex ? 2 : 1));
    char* end = nullptr;
    const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
    if (digits.empty() || *end != '\0' || code == 0 || code > 0x10FFFF)
        return std::nullopt;
    std::string text;
    AppendUtf8(text, static_cast<uint32_t>(code));
    return text;
}

std::string DecodeText(std::string_view raw)
{
    std::string text;
    size_t pos = 0;
    while (pos < raw.size()) {
        const size_t amp = raw.find('&', pos);
        if (amp == std::string_view::npos) {
            text += raw.substr(pos);
            break;
        }
        text += raw.substr(pos, amp - pos);
        const size_t semicolon = raw.find(';', amp);
        std::optional<std::string> decoded;
        if (semicolon != std::string_view::npos && semicolon - amp <= 12)
            decoded = DecodeEntity(raw.substr(amp + 1, semicolon - amp - 1));
        if (decoded) {
            text += *decoded;
            pos = semicolon + 1;
        } else {
            text += '&';
            pos = amp + 1;
        }
    }
    return text;
}

std::string FromUtf16Le(std::string_view bytes)
{
    std::wstring wide;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return ToUtf8(wide);
}

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) { stack_.push_back(&document_); }

    std::optional<XmlElement> Read()
    {
        while (pos_ < text_.size()) {
            if (text_[pos_] == '<')
                ReadMarkup();
            else
                ReadText();
        }
        if (document_.children.empty())
            return std::nullopt;
        return std::move(document_.children.front());
    }

private:
    void ReadMarkup()
    {
        if (StartsWith("<!--")) {
            SkipPast("-->");
        } else if (StartsWith("<![CDATA[")) {
            const size_t begin = pos_ + 9;
            const size_t end = text_.find("]]>", begin);
            const size_t stop = end == std::string_view::npos ? text_.size() : end;
            AddText(std::string(text_.substr(begin, stop - begin)));
            pos_ = stop == text_.size() ? stop : stop + 3;
        } else if (StartsWith("<?")) {
            SkipPast("?>");
        } else if (StartsWith("<!")) {
            SkipDeclaration();
        } else if (StartsWith("</")) {
            ReadEndTag();
        } else {
            ReadStartTag();
        }
    }

    void ReadText()
    {
        const size_t end = text_.find('<', pos_);
        const size_t stop = end == std::string_view::npos ? text_.size() : end;
        AddText(DecodeText(text_.substr(pos_, stop - pos_)));
        pos_ = stop;
    }

    void AddText(const std::string& text)
    {
        if (stack_.size() > 1)
            stack_.back()->text += text;
    }

    void ReadStartTag()
    {
        ++pos_;
        XmlElement element;
        element.name = std::string(LocalName(ReadName()));
        bool selfClosing = false;
        while (pos_ < text_.size()) {
            SkipSpace();
            if (pos_ >= text_.size())
                break;
            if (text_[pos_] == '>') {
                ++pos_;
                break;
            }
            if (StartsWith("/>")) {
                pos_ += 2;
                selfClosing = true;
                break;
            }
            ReadAttribute(element);
        }
        if (element.name.empty() || depthSkipped_ > 0 || stack_.size() > kMaxDepth) {
            if (!selfClosing && !element.name.empty())
                ++depthSkipped_;
            return;
        }
        XmlElement& parent = *stack_.back();
        parent.children.push_back(std::move(element));
        if (!selfClosing)
            stack_.push_back(&parent.children.back());
    }

    void ReadAttribute(XmlElement& element)
    {
        const std::string_view name = ReadName();
        if (name.empty()) {
            ++pos_; // a stray character inside the tag
            return;
        }
        SkipSpace();
        std::string value;
        if (pos_ < text_.size() && text_[pos_] == '=') {
            ++pos_;
            SkipSpace();
            value = ReadAttributeValue();
        }
        element.attributes.emplace_back(std::string(name), std::move(value));
    }

    std::string ReadAttributeValue()
    {
        if (pos_ >= text_.size())
            return {};
        const char quote = text_[pos_];
        if (quote == '"' || quote == '\'') {
            const size_t end = text_.find(quote, pos_ + 1);
            const size_t stop = end == std::string_view::npos ? text_.size() : end;
            std::string value = DecodeText(text_.substr(pos_ + 1, stop - pos_ - 1));
            pos_ = stop == text_.size() ? stop : stop + 1;
            return value;
        }
        const size_t begin = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_]) && text_[pos_] != '>' &&
               !StartsWith("/>"))
            ++pos_;
        return DecodeText(text_.substr(begin, pos_ - begin));
    }

    void ReadEndTag()
    {
        pos_ += 2;
        const std::string_view name = LocalName(ReadName());
        SkipPast(">");
        if (depthSkipped_ > 0) {
            --depthSkipped_;
            return;
        }
        for (size_t i = stack_.size(); i-- > 1;) {
            if (stack_[i]->name == name) {
                stack_.resize(i);
                return;
            }
        }
    }

    std::string_view ReadName()
    {
        const size_t begin = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_]) && text_[pos_] != '>' &&
               text_[pos_] != '/' && text_[pos_] != '=' && text_[pos_] != '<')
            ++pos_;
        return text_.substr(begin, pos_ - begin);
    }

    // <!DOCTYPE ...> with an internal subset in brackets.
    void SkipDeclaration()
    {
        int brackets = 0;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '[')
                ++brackets;
            else if (c == ']')
                --brackets;
            else if (c == '>' && brackets <= 0)
                return;
        }
    }

    void SkipPast(std::string_view marker)
    {
        const size_t found = text_.find(marker, pos_);
        pos_ = found == std::string_view::npos ? text_.size() : found + marker.size();
    }

    void SkipSpace()
    {
        while (pos_ < text_.size() && IsSpace(text_[pos_]))
            ++pos_;
    }

    bool StartsWith(std::string_view prefix) const
    {
        return text_.substr(pos_, prefix.size()) == prefix;
    }

    std::string_view text_;
    size_t pos_ = 0;
    XmlElement document_;
    std::vector<XmlElement*> stack_;
    size_t depthSkipped_ = 0;
};

} // namespace

std::string XmlElement::Attribute(std::string_view attributeName) const
{
    for (const auto& [name, value] : attributes)
        if (name == attributeName)
            return value;
    return {};
}

bool XmlElement::HasAttribute(std::string_view attributeName) const
{
    for (const auto& attribute : attributes)
        if (attribute.first == attributeName)
            return true;
    return false;
}

const XmlElement* XmlElement::Child(std::string_view childName) const
{
    for (const XmlElement& child : children)
        if (child.name == childName)
            return &child;
    return nullptr;
}

std::vector<const XmlElement*> XmlElement::Children(std::string_view childName) const
{
    std::vector<const XmlElement*> found;
    for (const XmlElement& child : children)
        if (child.name == childName)
            found.push_back(&child);
    return found;
}

const XmlElement* XmlElement::Find(std::string_view elementName) const
{
    for (const XmlElement& child : children) {
        if (child.name == elementName)
            return &child;
        if (const XmlElement* found = child.Find(elementName))
            return found;
    }
    return nullptr;
}

std::optional<XmlElement> ReadXml(std::string_view document)
{
    if (document.size() >= 2 && static_cast<unsigned char>(document[0]) == 0xFF &&
        static_cast<unsigned char>(document[1]) == 0xFE) {
        const std::string converted = FromUtf16Le(document.substr(2));
        return Reader(converted).Read();
    }
    if (document.substr(0, 3) == "\xEF\xBB\xBF")
        document.remove_prefix(3);
    return Reader(document).Read();
}

} // namespace korvel::cli
