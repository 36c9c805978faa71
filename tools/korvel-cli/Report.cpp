#include "tools/korvel-cli/Report.h"

#include "api/korvel_status.h"
#include "tools/korvel-cli/Console.h"

#include <cstdio>

namespace korvel::cli {

std::string StatusHex(uint32_t status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    return hex;
}

std::string DescribeStatus(uint32_t status)
{
    const char* name = KorvelStatusName(status);
    return StatusHex(status) + " " + (name ? name : "unknown status");
}

namespace {

std::string Indented(const std::string& lines)
{
    std::string text;
    size_t begin = 0;
    while (begin < lines.size()) {
        const size_t end = lines.find('\n', begin);
        text += "  " + lines.substr(begin, end - begin) + "\n";
        begin = end == std::string::npos ? lines.size() : end + 1;
    }
    return text;
}

} // namespace

void ReportFailure(const std::string& action, uint32_t status, const std::string& detail)
{
    const char* meaning = KorvelStatusMeaning(status);
    Err().Write("korvel-cli: " + action + ": " + DescribeStatus(status) + "\n" +
                Indented(meaning ? meaning : "The library returned a code it does not document.") +
                Indented(detail));
}

void ReportError(const std::string& message, const std::string& detail)
{
    Err().Write("korvel-cli: " + message + "\n" + Indented(detail));
}

} // namespace korvel::cli
