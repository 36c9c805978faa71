#include "base/Registry.h"

#include "base/RegistryKey.h"
#include "base/SrwLockGuard.h"

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

namespace korvel {

namespace {

constexpr DWORD FirstReadBytes = 1024;

WsString TextUpToFirstNul(const wchar_t* data, std::size_t count)
{
    return WsString(data, static_cast<std::size_t>(std::find(data, data + count, L'\0') - data));
}

// Keys whose values have been read stay open for the next reads: opening and
// closing a key would cost two more system calls per value, on every query.
// Each read still asks the registry for the value as it is now, and a key that
// has been deleted since (and perhaps created again) is opened afresh by its
// path, so what a read returns is what a newly opened key would give.
class OpenKeys {
public:
    // RegQueryValueExW on the key of the path; false when the key does not open.
    bool Query(HKEY hive, const WsString& subkey, const WsString& valueName, BYTE* data,
               DWORD* size, LONG& result)
    {
        const SrwExclusiveLock lock(lock_);
        const auto entry = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& open) {
            return open.hive == hive && open.subkey == subkey;
        });
        if (entry != entries_.end()) {
            result =
                RegQueryValueExW(entry->key.Get(), valueName.c_str(), nullptr, nullptr, data, size);
            if (result != ERROR_KEY_DELETED)
                return true;
            entries_.erase(entry);
        }
        RegistryKey key(hive, subkey);
        if (!key.IsOpen())
            return false;
        result = RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, nullptr, data, size);
        if (!closed_ && entries_.size() < kPlaces)
            entries_.push_back(Entry{hive, subkey, std::move(key)});
        return true;
    }

    void CloseAll()
    {
        const SrwExclusiveLock lock(lock_);
        closed_ = true;
        std::vector<Entry>().swap(entries_);
    }

private:
    static constexpr std::size_t kPlaces = 8;
    struct Entry {
        HKEY hive;
        WsString subkey;
        RegistryKey key;
    };
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<Entry> entries_;
    bool closed_ = false;
};

// Never destroyed, so that reads made during the library's teardown still
// work; the teardown only closes the keys.
OpenKeys& Keys()
{
    static OpenKeys* const keys = new OpenKeys;
    return *keys;
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

WsString CompanyKeyPath()
{
    return L"SOFTWARE\\Talvessa";
}

WsString PipelineKeyPath()
{
    return CompanyKeyPath() + L"\\Pipeline";
}

WsString InternalTestingKeyPath()
{
    return CompanyKeyPath() + L"\\InternalTesting";
}

WsString InternetExplorerKeyPath()
{
    return L"SOFTWARE\\Microsoft\\Internet Explorer";
}

void CloseCachedRegistryKeys()
{
    Keys().CloseAll();
}

bool RegistryKeyExists(const WsString& subkey, HKEY hive)
{
    return RegistryKey(hive, subkey).IsOpen();
}

bool RegistryValueExists(const WsString& subkey, const WsString& valueName, HKEY hive)
{
    std::vector<BYTE> buffer(FirstReadBytes);
    DWORD size = FirstReadBytes;
    LONG result = ERROR_SUCCESS;
    if (!Keys().Query(hive, subkey, valueName, buffer.data(), &size, result)) {
        return false;
    }
    return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

bool ReadRegistryString(const WsString& subkey, const WsString& valueName, WsString& output,
                        HKEY hive)
{
    DWORD bufferBytes = FirstReadBytes;
    for (;;) {
        std::vector<wchar_t> buffer(bufferBytes / sizeof(wchar_t) + 1);
        DWORD size = bufferBytes;
        LONG result = ERROR_SUCCESS;
        if (!Keys().Query(hive, subkey, valueName, reinterpret_cast<BYTE*>(buffer.data()), &size,
                          result)) {
            return false;
        }
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
