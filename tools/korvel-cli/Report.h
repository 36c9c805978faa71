#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli {

// Prints "korvel-cli: ACTION: 0x80002007 kStatusNotFound" and, indented on
// the next line, what the status means, to standard error.
void ReportFailure(const std::string& action, uint32_t status);

// Prints "korvel-cli: MESSAGE" to standard error.
void ReportError(const std::string& message);

} // namespace korvel::cli
