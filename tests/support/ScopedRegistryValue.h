#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace korvel::test {

// Sets a string value under HKEY_LOCAL_MACHINE for the life of a test and
// puts back what was there before (or removes it).
class ScopedRegistryValue {
public:
    ScopedRegistryValue(std::wstring key, std::wstring name, const std::wstring& value)
        : key_(std::move(key)), name_(std::move(name)), previous_(Read(key_, name_))
    {
        Write(value);
    }
    ~ScopedRegistryValue()
    {
        if (previous_)
            Write(*previous_);
        else
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str());
    }
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
    void Write(const std::wstring& value) const
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str(), REG_SZ, value.c_str(),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

    std::wstring key_;
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

// Removes a registry value for the life of a test, restoring it afterwards.
class ScopedRegistryValueAbsent {
public:
    ScopedRegistryValueAbsent(std::wstring key, std::wstring name)
        : key_(std::move(key)), name_(std::move(name)),
          previous_(ScopedRegistryValue::Read(key_, name_))
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str());
    }
    ~ScopedRegistryValueAbsent()
    {
        if (previous_)
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str(), REG_SZ,
                            previous_->c_str(),
                            static_cast<DWORD>((previous_->size() + 1) * sizeof(wchar_t)));
    }
    ScopedRegistryValueAbsent(const ScopedRegistryValueAbsent&) = delete;
    ScopedRegistryValueAbsent& operator=(const ScopedRegistryValueAbsent&) = delete;

private:
    std::wstring key_;
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

} // namespace korvel::test
