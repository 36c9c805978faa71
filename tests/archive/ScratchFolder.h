#pragma once

#include "base/DirectoryTree.h"
#include "base/TempPath.h"

#include <windows.h>

#include <set>
#include <string>

namespace korvel::test {

// A new folder under the temporary folder for one test, removed with its contents afterwards.
// Its name holds non-ASCII letters and a blank, so every path built on it exercises wide paths.
class ScratchFolder {
public:
    ScratchFolder()
    {
        static unsigned serial = 0;
        path_ = TempFolder() + L"korvel \u00e9\u4e2d-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(++serial);
        RemoveDirectoryTree(path_);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { RemoveDirectoryTree(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

    // Every file and folder below, relative to this folder; folders end with a backslash.
    std::set<std::wstring> List() const
    {
        std::set<std::wstring> entries;
        Collect(path_, L"", entries);
        return entries;
    }

private:
    static void Collect(const std::wstring& folder, const std::wstring& prefix,
                        std::set<std::wstring>& entries)
    {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                entries.insert(prefix + name + L"\\");
                Collect(folder + L"\\" + name, prefix + name + L"\\", entries);
            } else {
                entries.insert(prefix + name);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }

    std::wstring path_;
};

inline bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    return CloseHandle(file) && ok;
}

// The whole file, or nothing when it cannot be read; tests compare the result with what they
// expect, so a missing file shows as a mismatch.
inline std::string ReadBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    LARGE_INTEGER size{};
    std::string bytes;
    DWORD read = 0;
    if (GetFileSizeEx(file, &size)) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
            read = 0;
        bytes.resize(read);
    }
    CloseHandle(file);
    return bytes;
}

inline bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Reproducible bytes that deflate cannot shrink.
inline std::string NoiseBytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Reproducible text that deflate shrinks with back references and Huffman codes.
inline std::string TextBytes(std::size_t size)
{
    static const std::string kWords[] = {"korvel ", "package ", "update ", "folder ", "\r\n"};
    std::string text;
    for (std::size_t index = 0; text.size() < size; ++index)
        text += kWords[(index * 7 + index / 5) % 5];
    text.resize(size);
    return text;
}

} // namespace korvel::test
