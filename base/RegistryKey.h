#pragma once

#include "base/WsString.h"

#include <windows.h>

#include <utility>

namespace korvel {

// Owns one registry key opened for reading values; the key is closed when the owner goes.
class RegistryKey {
public:
    RegistryKey(HKEY hive, const WsString& subkey)
    {
        if (RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }

    ~RegistryKey() { Close(); }

    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}

    RegistryKey& operator=(RegistryKey&& other) noexcept
    {
        if (this != &other) {
            Close();
            key_ = std::exchange(other.key_, nullptr);
        }
        return *this;
    }

    bool IsOpen() const { return key_ != nullptr; }
    HKEY Get() const { return key_; }

private:
    void Close()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

    HKEY key_ = nullptr;
};

} // namespace korvel
