#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli {

// "0x80002007": a status in the hexadecimal form the documentation uses.
std::string StatusHex(uint32_t status);

// "0x80002007 kStatusNotFound" (or "0x12345678 unknown status"): a status
// as korvel-cli prints it, with its name from api/korvel_status.h.
std::string DescribeStatus(uint32_t status);

// Prints "korvel-cli: ACTION: 0x80002007 kStatusNotFound" and, indented on
// the next line, what the status means, to standard error; then the detail
// lines, if any, indented the same.
void ReportFailure(const std::string& action, uint32_t status, const std::string& detail = {});

// Prints "korvel-cli: MESSAGE" to standard error, then the detail lines,
// if any, indented by two blanks.
void ReportError(const std::string& message, const std::string& detail = {});

} // namespace korvel::cli
