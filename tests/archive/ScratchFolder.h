#pragma once

#include "base/DirectoryTree.h"
#include "base/TempPath.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path_)) {
            const std::wstring relative = entry.path().wstring().substr(path_.size() + 1);
            entries.insert(entry.is_directory() ? relative + L"\\" : relative);
        }
        return entries;
    }

private:
    std::wstring path_;
};

inline bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    return file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && file.flush();
}

// The whole file, or nothing when it cannot be read; tests compare the result with what they
// expect, so a missing file shows as a mismatch.
inline std::string ReadBytes(const std::wstring& path)
{
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

inline bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ASCII text (tags, paths of the tests' own making) as wide text.
inline std::wstring Widened(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Little-endian UTF-16 bytes as text; a byte order mark stays in the text.
inline std::wstring Utf16Text(const std::string& bytes)
{
    std::wstring text(bytes.size() / 2, L'\0');
    bytes.copy(reinterpret_cast<char*>(text.data()), text.size() * 2);
    return text;
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
