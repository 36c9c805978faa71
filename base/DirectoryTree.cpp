#include "base/DirectoryTree.h"

#include <windows.h>

#include <utility>

namespace korvel {

namespace {

class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() { Close(); }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

    void Close()
    {
        if (IsOpen())
            FindClose(std::exchange(handle_, INVALID_HANDLE_VALUE));
    }

private:
    HANDLE handle_;
};

bool IsDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool RemoveEntry(const WsString& path, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL))
        return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return DeleteFileW(path.c_str()) != FALSE;
    // Following a link to a folder would empty its target, which lies outside the tree.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return RemoveDirectoryW(path.c_str()) != FALSE;
    return RemoveDirectoryTree(path + L"\\");
}

} // namespace

bool RemoveDirectoryTree(WsString folder)
{
    // An empty path would stand for the root of the current drive.
    if (folder.empty())
        return false;
    if (folder.back() != L'\\')
        folder += L'\\';
    WIN32_FIND_DATAW found{};
    FindHandle search(FindFirstFileW((folder + L"*").c_str(), &found));
    if (!search.IsOpen())
        return false;
    do {
        if (!IsDotEntry(found.cFileName) &&
            !RemoveEntry(folder + found.cFileName, found.dwFileAttributes))
            return false;
    } while (FindNextFileW(search.Get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        return false;
    search.Close();
    return RemoveDirectoryW(folder.c_str()) != FALSE;
}

} // namespace korvel
