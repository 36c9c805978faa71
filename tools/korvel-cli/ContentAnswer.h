#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::cli {

// One update of a content answer, as the pipeline server lists it (UTF-8).
struct UpdateEntry {
    std::string id;
    std::string type;
    std::string upc;
    std::string upcVersion;
    std::string upcMinVersion;
    std::string downloadGuid;
    std::string downloadSize;
    std::string downloadUrl;
    std::vector<std::pair<std::string, std::string>> conditions; // type, value
    std::vector<std::pair<std::string, std::string>> metadata;   // field, value
};

struct ContentAnswer {
    std::string date;
    std::string statusText;
    std::optional<std::string> count; // entries listed
    std::optional<std::string> total; // entries matching
    std::vector<UpdateEntry> entries;
};

// The entries of a response packet's body, as far as the text reads as XML;
// nothing when it holds no element at all.
std::optional<ContentAnswer> ReadContentAnswer(std::string_view body);

// The readable listing `korvel-cli query` prints: a headline, then each
// entry with its product, download and remaining fields.
std::string FormatContentAnswer(const ContentAnswer& answer);

// The answer as one JSON object for scripts (`korvel-cli query --json`):
// the server status, then every entry with its fields; fields that repeat
// (install conditions, metadata) become lists. One line, ending with "\n".
std::string ContentAnswerJson(const ContentAnswer& answer, int32_t serverStatus);

} // namespace korvel::cli
