#include "tools/korvel-cli/ContentAnswer.h"

#include "tools/korvel-cli/Units.h"
#include "tools/korvel-cli/XmlReader.h"

#include <cstdlib>

namespace korvel::cli {

namespace {

std::string Trim(std::string_view text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos)
        return {};
    const size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

std::optional<std::string> OptionalAttribute(const XmlElement& element, std::string_view name)
{
    if (!element.HasAttribute(name))
        return std::nullopt;
    return element.Attribute(name);
}

UpdateEntry ReadEntry(const XmlElement& element)
{
    UpdateEntry entry;
    entry.id = element.Attribute("id");
    entry.type = element.Attribute("type");
    if (const XmlElement* upc = element.Child("upc")) {
        entry.upc = Trim(upc->text);
        entry.upcVersion = upc->Attribute("version");
        entry.upcMinVersion = upc->Attribute("minVersion");
    }
    if (const XmlElement* download = element.Child("download")) {
        entry.downloadGuid = download->Attribute("guid");
        entry.downloadSize = download->Attribute("size");
        entry.downloadUrl = download->Attribute("url");
    }
    if (const XmlElement* conditions = element.Child("installConditions"))
        for (const XmlElement* condition : conditions->Children("condition"))
            entry.conditions.emplace_back(condition->Attribute("type"), Trim(condition->text));
    for (const XmlElement* metadata : element.Children("metadata"))
        entry.metadata.emplace_back(metadata->Attribute("field"), Trim(metadata->text));
    return entry;
}

// Values of one field, which may repeat (a list field), joined in order.
std::vector<std::pair<std::string, std::string>>
JoinRepeatedFields(const std::vector<std::pair<std::string, std::string>>& fields)
{
    std::vector<std::pair<std::string, std::string>> joined;
    for (const auto& [name, value] : fields) {
        auto it = joined.begin();
        while (it != joined.end() && it->first != name)
            ++it;
        if (it == joined.end())
            joined.emplace_back(name, value);
        else
            it->second += ", " + value;
    }
    return joined;
}

void AddLine(std::string& out, const std::string& label, const std::string& value)
{
    if (value.empty())
        return;
    std::string padded = label;
    if (padded.size() < 12)
        padded.resize(12, ' ');
    out += "    " + padded + " " + value + "\n";
}

std::string ProductLine(const UpdateEntry& entry)
{
    std::string line = entry.upc;
    if (!entry.upcVersion.empty())
        line += (line.empty() ? "" : " ") + entry.upcVersion;
    if (!entry.upcMinVersion.empty())
        line += " (updates " + entry.upcMinVersion + " and later)";
    return line;
}

std::string DownloadLine(const UpdateEntry& entry)
{
    std::string line;
    char* end = nullptr;
    const unsigned long long size = std::strtoull(entry.downloadSize.c_str(), &end, 10);
    if (!entry.downloadSize.empty() && *end == '\0' && size > 0)
        line = FormatByteCount(size);
    if (!entry.downloadUrl.empty())
        line += (line.empty() ? "" : "  ") + entry.downloadUrl;
    return line;
}

std::string ConditionsLine(const UpdateEntry& entry)
{
    std::string line;
    for (const auto& [type, value] : entry.conditions)
        line += (line.empty() ? "" : "; ") + type + " " + value;
    return line;
}

std::string Headline(const ContentAnswer& answer)
{
    const size_t listed = answer.entries.size();
    if (listed == 0)
        return answer.total && *answer.total != "0"
                   ? "No updates listed (" + *answer.total + " matching).\n"
                   : "No matching updates.\n";
    const std::string noun = listed == 1 ? " update" : " updates";
    if (answer.total && *answer.total != std::to_string(listed))
        return std::to_string(listed) + " of " + *answer.total + " matching updates:\n";
    return std::to_string(listed) + " matching" + noun + ":\n";
}

} // namespace

std::optional<ContentAnswer> ReadContentAnswer(std::string_view body)
{
    const std::optional<XmlElement> root = ReadXml(body);
    if (!root)
        return std::nullopt;
    ContentAnswer answer;
    if (const XmlElement* header = root->Child("header")) {
        if (const XmlElement* date = header->Child("date"))
            answer.date = Trim(date->text);
        if (const XmlElement* status = header->Find("status"))
            answer.statusText = Trim(status->text);
    }
    if (const XmlElement* result = root->Find("contentResult")) {
        answer.count = OptionalAttribute(*result, "count");
        answer.total = OptionalAttribute(*result, "total");
        for (const XmlElement* entry : result->Children("entry"))
            answer.entries.push_back(ReadEntry(*entry));
    }
    return answer;
}

std::string FormatContentAnswer(const ContentAnswer& answer)
{
    std::string out = Headline(answer);
    for (const UpdateEntry& entry : answer.entries) {
        out += "\n  " + (entry.id.empty() ? std::string("(no id)") : entry.id);
        if (!entry.type.empty())
            out += "  [" + entry.type + "]";
        out += "\n";
        AddLine(out, "product", ProductLine(entry));
        AddLine(out, "download", DownloadLine(entry));
        AddLine(out, "guid", entry.downloadGuid);
        AddLine(out, "conditions", ConditionsLine(entry));
        for (const auto& [field, value] : JoinRepeatedFields(entry.metadata))
            AddLine(out, field, value);
    }
    return out;
}

} // namespace korvel::cli
