#include "tools/korvel-cli/Json.h"

#include <cmath>
#include <cstdio>

namespace korvel::cli {

std::string JsonString(std::string_view utf8)
{
    std::string text = "\"";
    for (const char c : utf8) {
        switch (c) {
        case '"':
            text += "\\\"";
            break;
        case '\\':
            text += "\\\\";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\r':
            text += "\\r";
            break;
        case '\t':
            text += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                text += escape;
            } else {
                text += c;
            }
        }
    }
    return text + "\"";
}

std::string JsonNumber(uint64_t value)
{
    return std::to_string(value);
}

std::string JsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string JsonNumberOrNull(const std::optional<std::string>& text)
{
    if (!text || text->empty() || text->size() > 19 ||
        text->find_first_not_of("0123456789") != std::string::npos)
        return "null";
    return JsonNumber(std::stoull(*text));
}

std::string JsonArray(const std::vector<std::string>& values)
{
    std::string text = "[";
    for (const std::string& value : values)
        text += (text.size() > 1 ? "," : "") + value;
    return text + "]";
}

JsonObject& JsonObject::Add(std::string_view name, std::string value)
{
    members_.emplace_back(JsonString(name), std::move(value));
    return *this;
}

std::string JsonObject::Text() const
{
    std::string text = "{";
    for (const auto& [name, value] : members_)
        text += (text.size() > 1 ? "," : "") + name + ":" + value;
    return text + "}";
}

} // namespace korvel::cli
