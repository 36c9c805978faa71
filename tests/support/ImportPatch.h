#pragma once

// Points one import of a loaded module at a stand-in: the module's calls of
// that function then reach the stand-in, and nobody else's do.
#include <windows.h>

#include <cstring>

namespace korvel::test {

inline const IMAGE_NT_HEADERS& ImageHeaders(HMODULE module)
{
    auto* base = reinterpret_cast<const BYTE*>(module);
    return *reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
}

// Replaces the module's import of dll!function (imported by name) with
// stand-in; false when the module imports no such function.
inline bool PatchImport(HMODULE module, const char* dll, const char* function, FARPROC standIn)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const DWORD imports = ImageHeaders(module)
                              .OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
                              .VirtualAddress;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports);
         entry->Name != 0; ++entry) {
        if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), dll) != 0)
            continue;
        auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD protection = 0;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(standIn);
            VirtualProtect(slot, sizeof *slot, protection, &protection);
            return true;
        }
    }
    return false;
}

} // namespace korvel::test
