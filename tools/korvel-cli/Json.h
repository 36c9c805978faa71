#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::cli {

// The JSON texts of single values; UTF-8 in, UTF-8 out.
std::string JsonString(std::string_view utf8);
std::string JsonNumber(uint64_t value);
std::string JsonNumber(double value);
// A number when the text is one (digits only, as the server writes sizes and
// counts), else null.
std::string JsonNumberOrNull(const std::optional<std::string>& text);
std::string JsonArray(const std::vector<std::string>& values);

// A JSON object built member by member, in the order added; values are JSON
// texts made with the functions above or another JsonObject.
class JsonObject {
public:
    JsonObject& Add(std::string_view name, std::string value);
    std::string Text() const;

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

} // namespace korvel::cli
