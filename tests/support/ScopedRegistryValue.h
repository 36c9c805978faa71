#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace korvel::test {

// Sets a string value under HKEY_LOCAL_MACHINE (or removes it, given no
// value or a null one) for the life of a test and puts back what was there
// before.
class ScopedRegistryValue {
public:
    ScopedRegistryValue(std::wstring key, std::wstring name,
                        const std::optional<std::wstring>& value)
        : key_(std::move(key)), name_(std::move(name)), previous_(Read(key_, name_))
    {
        Write(value);
    }
    ScopedRegistryValue(std::wstring key, std::wstring name, const wchar_t* value)
        : ScopedRegistryValue(std::move(key), std::move(name),
                              value ? std::optional<std::wstring>(value) : std::nullopt)
    {
    }
    ~ScopedRegistryValue() { Write(previous_); }
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

    static std::optional<std::wstring> Read(const std::wstring& key, const std::wstring& name)
    {
        wchar_t data[4096];
        DWORD size = sizeof data;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                         data, &size) != ERROR_SUCCESS)
            return std::nullopt;
        return std::wstring(data);
    }

private:
    void Write(const std::optional<std::wstring>& value) const
    {
        if (value)
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str(), REG_SZ, value->c_str(),
                            static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str());
    }

    std::wstring key_;
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

} // namespace korvel::test
