#include "base/Registry.h"

#include "base/RegistryKey.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace korvel {

namespace {

constexpr DWORD FirstReadBytes = 1024;

WsString TextUpToFirstNul(const wchar_t* data, std::size_t count)
{
    return WsString(data, static_cast<std::size_t>(std::find(data, data + count, L'\0') - data));
}

bool MajorVersionAtLeast(std::int32_t minimum)
{
    const WsString text = GetInternetExplorerVersion();
    if (text.empty()) {
        return false;
    }
    return static_cast<std::int32_t>(ParseIeVersion(text).major) >= minimum;
}

} // namespace

const WsString& CompanyKeyPath()
{
    static const WsString path(L"SOFTWARE\\Talvessa");
    return path;
}

const WsString& PipelineKeyPath()
{
    static const WsString path(CompanyKeyPath() + L"\\Pipeline");
    return path;
}

const WsString& InternalTestingKeyPath()
{
    static const WsString path(CompanyKeyPath() + L"\\InternalTesting");
    return path;
}

const WsString& InternetExplorerKeyPath()
{
    static const WsString path(L"SOFTWARE\\Microsoft\\Internet Explorer");
    return path;
}

bool RegistryKeyExists(const WsString& subkey, HKEY hive)
{
    return RegistryKey(hive, subkey).IsOpen();
}

bool RegistryValueExists(const WsString& subkey, const WsString& valueName, HKEY hive)
{
    const RegistryKey key(hive, subkey);
    if (!key.IsOpen()) {
        return false;
    }
    std::vector<BYTE> buffer(FirstReadBytes);
    DWORD size = FirstReadBytes;
    const LONG result =
        RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, nullptr, buffer.data(), &size);
    return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

bool ReadRegistryString(const WsString& subkey, const WsString& valueName, WsString& output,
                        HKEY hive)
{
    const RegistryKey key(hive, subkey);
    if (!key.IsOpen()) {
        return false;
    }
    DWORD bufferBytes = FirstReadBytes;
    for (;;) {
        std::vector<wchar_t> buffer(bufferBytes / sizeof(wchar_t) + 1);
        DWORD size = bufferBytes;
        const LONG result = RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (result == ERROR_SUCCESS && size > 0) {
            output = TextUpToFirstNul(buffer.data(), size / sizeof(wchar_t));
        }
        if (result != ERROR_MORE_DATA) {
            return true;
        }
        // The value may grow between two reads; the margin makes a second retry unlikely.
        bufferBytes = size + FirstReadBytes;
    }
}

WsString GetInternetExplorerVersion()
{
    WsString version;
    ReadRegistryString(InternetExplorerKeyPath(), L"Version", version);
    return version;
}

IeVersion ParseIeVersion(const WsString& text)
{
    IeVersion version;
    const int filled = std::swscanf(text.c_str(), L"%u.%u.%u.%u", &version.major, &version.minor,
                                    &version.build, &version.revision);
    version.fieldCount = std::max(filled, 0);
    return version;
}

bool IsInternetExplorer7OrLater()
{
    return MajorVersionAtLeast(7);
}

bool IsInternetExplorer8OrLater()
{
    return MajorVersionAtLeast(8);
}

} // namespace korvel
