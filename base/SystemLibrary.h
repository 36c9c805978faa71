#pragma once

#include <windows.h>

#include <utility>

namespace korvel {

// Owns a reference on a DLL of the system folder. A DLL that is not one of
// the system's known DLLs would otherwise be looked for in the host's folder
// and the current directory first, where anyone who may write there could
// plant a copy; loading it by name from the system folder alone takes none of
// those, and leaves the host process's own search settings as they are.
class SystemLibrary {
public:
    SystemLibrary() = default;
    explicit SystemLibrary(const wchar_t* name)
        : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
    }
    ~SystemLibrary()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    SystemLibrary(SystemLibrary&& other) noexcept : module_(std::exchange(other.module_, nullptr))
    {
    }
    SystemLibrary& operator=(SystemLibrary&& other) noexcept
    {
        std::swap(module_, other.module_);
        return *this;
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    bool IsLoaded() const { return module_ != nullptr; }
    HMODULE Get() const { return module_; }

    // The export of that name as a pointer of the function's type; null when
    // the library or the export is missing.
    template <class Function> Function* Find(const char* name) const
    {
        if (module_ == nullptr)
            return nullptr;
        return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_ = nullptr;
};

} // namespace korvel
