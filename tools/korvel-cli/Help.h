#pragma once

#include "tools/korvel-cli/CommandLine.h"

#include <string>

namespace korvel::cli {

// The --help text of a command, or of the program for Command::None.
std::string HelpText(Command command);

} // namespace korvel::cli
