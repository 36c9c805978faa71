#include "tools/korvel-cli/ContentAnswer.h"

#include "tools/korvel-cli/Json.h"
#include "tools/korvel-cli/Text.h"
#include "tools/korvel-cli/Units.h"

#include <pugixml.hpp>
#include <windows.h>

#include <cstdlib>
#include <cstring>

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

// Element names are compared without a namespace prefix, whatever prefix the
// server chose.
bool HasLocalName(pugi::xml_node node, const wchar_t* name)
{
    const wchar_t* full = node.name();
    const wchar_t* colon = std::wcschr(full, L':');
    return std::wcscmp(colon != nullptr ? colon + 1 : full, name) == 0;
}

pugi::xml_node Child(pugi::xml_node node, const wchar_t* name)
{
    for (pugi::xml_node child : node.children())
        if (child.type() == pugi::node_element && HasLocalName(child, name))
            return child;
    return {};
}

std::vector<pugi::xml_node> Children(pugi::xml_node node, const wchar_t* name)
{
    std::vector<pugi::xml_node> found;
    for (pugi::xml_node child : node.children())
        if (child.type() == pugi::node_element && HasLocalName(child, name))
            found.push_back(child);
    return found;
}

// The first element of that name at any depth below node.
pugi::xml_node Find(pugi::xml_node node, const wchar_t* name)
{
    return node.find_node([name](pugi::xml_node candidate) {
        return candidate.type() == pugi::node_element && HasLocalName(candidate, name);
    });
}

std::string Attribute(pugi::xml_node node, const wchar_t* name)
{
    return ToUtf8(node.attribute(name).value());
}

std::optional<std::string> OptionalAttribute(pugi::xml_node node, const wchar_t* name)
{
    const pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute)
        return std::nullopt;
    return ToUtf8(attribute.value());
}

std::string Text(pugi::xml_node node)
{
    return Trim(ToUtf8(node.child_value()));
}

UpdateEntry ReadEntry(pugi::xml_node element)
{
    UpdateEntry entry;
    entry.id = Attribute(element, L"id");
    entry.type = Attribute(element, L"type");
    if (const pugi::xml_node upc = Child(element, L"upc")) {
        entry.upc = Text(upc);
        entry.upcVersion = Attribute(upc, L"version");
        entry.upcMinVersion = Attribute(upc, L"minVersion");
    }
    if (const pugi::xml_node download = Child(element, L"download")) {
        entry.downloadGuid = Attribute(download, L"guid");
        entry.downloadSize = Attribute(download, L"size");
        entry.downloadUrl = Attribute(download, L"url");
    }
    for (const pugi::xml_node condition :
         Children(Child(element, L"installConditions"), L"condition"))
        entry.conditions.emplace_back(Attribute(condition, L"type"), Text(condition));
    for (const pugi::xml_node metadata : Children(element, L"metadata"))
        entry.metadata.emplace_back(Attribute(metadata, L"field"), Text(metadata));
    return entry;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;
using Groups = std::vector<std::pair<std::string, std::vector<std::string>>>;

// The values of each name, which may repeat (a list field), in the order the
// names first appear.
Groups Grouped(const Pairs& pairs)
{
    Groups groups;
    for (const auto& [name, value] : pairs) {
        auto it = groups.begin();
        while (it != groups.end() && it->first != name)
            ++it;
        if (it == groups.end())
            it = groups.insert(groups.end(), {name, {}});
        it->second.push_back(value);
    }
    return groups;
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

std::string GroupedJson(const Pairs& pairs)
{
    JsonObject object;
    for (const auto& [name, values] : Grouped(pairs)) {
        std::vector<std::string> texts;
        for (const std::string& value : values)
            texts.push_back(JsonString(value));
        object.Add(name, JsonArray(texts));
    }
    return object.Text();
}

std::string EntryJson(const UpdateEntry& entry)
{
    return JsonObject()
        .Add("id", JsonString(entry.id))
        .Add("type", JsonString(entry.type))
        .Add("upc", JsonString(entry.upc))
        .Add("upcVersion", JsonString(entry.upcVersion))
        .Add("upcMinVersion", JsonString(entry.upcMinVersion))
        .Add("downloadGuid", JsonString(entry.downloadGuid))
        .Add("downloadSize", JsonNumberOrNull(entry.downloadSize))
        .Add("downloadUrl", JsonString(entry.downloadUrl))
        .Add("installConditions", GroupedJson(entry.conditions))
        .Add("metadata", GroupedJson(entry.metadata))
        .Text();
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
    pugi::xml_document document;
    document.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_auto);
    const pugi::xml_node root = document.document_element();
    if (!root)
        return std::nullopt;
    ContentAnswer answer;
    if (const pugi::xml_node header = Child(root, L"header")) {
        answer.date = Text(Child(header, L"date"));
        answer.statusText = Text(Find(header, L"status"));
    }
    if (const pugi::xml_node result = Find(root, L"contentResult")) {
        answer.count = OptionalAttribute(result, L"count");
        answer.total = OptionalAttribute(result, L"total");
        for (const pugi::xml_node entry : Children(result, L"entry"))
            answer.entries.push_back(ReadEntry(entry));
    }
    return answer;
}

std::string ContentAnswerJson(const ContentAnswer& answer, int32_t serverStatus)
{
    std::vector<std::string> entries;
    for (const UpdateEntry& entry : answer.entries)
        entries.push_back(EntryJson(entry));
    return JsonObject()
               .Add("serverStatus", std::to_string(serverStatus))
               .Add("statusText", JsonString(answer.statusText))
               .Add("date", JsonString(answer.date))
               .Add("count", JsonNumberOrNull(answer.count))
               .Add("total", JsonNumberOrNull(answer.total))
               .Add("entries", JsonArray(entries))
               .Text() +
           "\n";
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
        for (const auto& [field, values] : Grouped(entry.metadata)) {
            std::string joined;
            for (const std::string& value : values)
                joined += (joined.empty() ? "" : ", ") + value;
            AddLine(out, field, joined);
        }
    }
    return out;
}

} // namespace korvel::cli
