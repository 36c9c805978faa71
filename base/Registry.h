#pragma once

#include "base/WsString.h"

#include <windows.h>

#include <cstdint>

namespace korvel {

// Key paths under HKEY_LOCAL_MACHINE.
WsString CompanyKeyPath();         // "SOFTWARE\Talvessa"
WsString PipelineKeyPath();        // CompanyKeyPath() + "\Pipeline"
WsString InternalTestingKeyPath(); // CompanyKeyPath() + "\InternalTesting"
WsString InternetExplorerKeyPath();

// True when the key opens for reading values.
bool RegistryKeyExists(const WsString& subkey, HKEY hive = HKEY_LOCAL_MACHINE);

// True when the value can be read, including when it is too long for a first 1024-byte read.
bool RegistryValueExists(const WsString& subkey, const WsString& valueName,
                         HKEY hive = HKEY_LOCAL_MACHINE);

// False only when the key cannot be opened. Whatever its type, a value with data is taken as
// UTF-16 text up to its first NUL and never beyond its size; a missing value leaves the output
// unchanged, so callers preset it with their default.
bool ReadRegistryString(const WsString& subkey, const WsString& valueName, WsString& output,
                        HKEY hive = HKEY_LOCAL_MACHINE);

// Closes the keys that reads keep open, at the library's unload; later reads open their own.
void CloseCachedRegistryKeys();

// The installed browser's "Version" text, or the empty string.
WsString GetInternetExplorerVersion();

struct IeVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::uint32_t revision = 0;
    int fieldCount = 0;
};

// Parses "major.minor.build.revision"; fields that are not present stay 0.
IeVersion ParseIeVersion(const WsString& text);

// Both read the version afresh; the large-transfer checks depend on them.
bool IsInternetExplorer7OrLater();
bool IsInternetExplorer8OrLater();

} // namespace korvel
