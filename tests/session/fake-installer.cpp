// The installer that the install tests put into their packages.
//
//     fake-installer.exe [--exit CODE] [--sleep MS] [--record FILE] [anything else]
//
// It writes a record of where it runs to FILE (by default fake-installer.record next to itself),
// sleeps, writes the record again with the line "ended=1", and exits with CODE (default 0).
// The record is UTF-16LE text of key=value lines:
//     module=<full path of this program>
//     cwd=<current directory>
//     commandline=<the command line as received>
//     arg=<each argument after the program name, in order>
//     dir=<each folder below the program's folder, relative, ending in a backslash>
//     file=<each file below the program's folder, relative>|<size in bytes>
// Each version replaces the previous one whole, so a reader never sees half a record.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring ModulePath()
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring CurrentDirectory()
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(path.size()), path.data());
    path.resize(length);
    return path;
}

std::vector<std::wstring> Arguments()
{
    int count = 0;
    LPWSTR* values = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int index = 1; values != nullptr && index < count; ++index)
        arguments.emplace_back(values[index]);
    LocalFree(values);
    return arguments;
}

void ListTree(const std::wstring& folder, const std::wstring& prefix, std::wstring& lines)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            lines += L"dir=" + prefix + name + L"\\\n";
            ListTree(folder + name + L"\\", prefix + name + L"\\", lines);
        } else {
            const unsigned long long size =
                (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            lines += L"file=" + prefix + name + L"|" + std::to_wstring(size) + L"\n";
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool WriteRecord(const std::wstring& path, const std::wstring& text)
{
    const std::wstring temporary = path + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    const bool wrote = WriteFile(file, text.data(), size, &written, nullptr) && written == size;
    CloseHandle(file);
    return wrote && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

int main()
{
    const std::wstring module = ModulePath();
    const std::vector<std::wstring> arguments = Arguments();
    unsigned long exitCode = 0;
    unsigned long sleepMs = 0;
    std::wstring recordPath = FolderOf(module) + L"fake-installer.record";
    for (std::size_t index = 0; index + 1 < arguments.size(); ++index) {
        if (arguments[index] == L"--exit")
            exitCode = std::wcstoul(arguments[index + 1].c_str(), nullptr, 10);
        else if (arguments[index] == L"--sleep")
            sleepMs = std::wcstoul(arguments[index + 1].c_str(), nullptr, 10);
        else if (arguments[index] == L"--record")
            recordPath = arguments[index + 1];
    }

    std::wstring record = L"module=" + module + L"\ncwd=" + CurrentDirectory() + L"\ncommandline=" +
                          GetCommandLineW() + L"\n";
    for (const std::wstring& argument : arguments)
        record += L"arg=" + argument + L"\n";
    ListTree(FolderOf(module), L"", record);
    if (!WriteRecord(recordPath, record))
        return 90;
    Sleep(sleepMs);
    if (!WriteRecord(recordPath, record + L"ended=1\n"))
        return 91;
    return static_cast<int>(exitCode);
}
