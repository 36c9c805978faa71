#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli {

// The pipeline URL the library uses for a session, and where it comes from,
// for messages that must tell "nothing configured" from "server down".
struct PipelineLocation {
    std::string url;    // UTF-8
    std::string source; // "the registry value S_URL under HKLM\...", or the built-in default
};

// Reads the registry as the library does when a request starts: S_URL under
// the wrapper library's subkey, then under the pipeline key, else the default
// built into the library.
PipelineLocation FindPipelineLocation(const std::wstring& wrapperlibName);

// For a ping or query that failed with status: where the request went and
// why there, on two lines; empty when the failure says the pipeline answered
// (a server status), so the address is not in doubt.
std::string PipelineDetail(uint32_t status, const std::wstring& wrapperlibName);

} // namespace korvel::cli
