#pragma once

#include "tools/host/KorvelLibrary.h"
#include "tools/korvel-cli/CommandLine.h"

namespace korvel::cli {

// Everything a command needs: the loaded library and the parsed command
// line. A command returns its exit code (ExitCodes.h) and throws
// StatusError for a failed library call.
struct CommandContext {
    const host::KorvelApi& api;
    const CommandLine& line;
};

int RunPing(const CommandContext& context);
int RunQuery(const CommandContext& context);
int RunDownload(const CommandContext& context);
int RunInstall(const CommandContext& context);
// Needs no library.
int RunVerify(const CommandLine& line);

// How often running operations are polled and progress redrawn.
constexpr uint32_t kPollIntervalMs = 100;

} // namespace korvel::cli
