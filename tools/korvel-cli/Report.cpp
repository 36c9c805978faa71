#include "tools/korvel-cli/Report.h"

#include "tools/host/StatusNames.h"
#include "tools/korvel-cli/Console.h"

namespace korvel::cli {

void ReportFailure(const std::string& action, uint32_t status)
{
    const char* meaning = host::StatusMeaning(status);
    Err().Write("korvel-cli: " + action + ": " + host::DescribeStatus(status) + "\n  " +
                (meaning ? meaning : "The library returned a code it does not document.") + "\n");
}

void ReportError(const std::string& message)
{
    Err().Write("korvel-cli: " + message + "\n");
}

} // namespace korvel::cli
