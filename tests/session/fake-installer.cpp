// The installer that the install tests put into their packages.
//
//     fake-installer.exe [--exit CODE] [--sleep MS] [--record FILE] [anything else]
//
// It writes a record of where it runs to FILE, sleeps, writes the record again
// with the line "ended=1", and exits with CODE (default 0). The record is
// UTF-16LE text of the lines module=<its path>, cwd=<current folder>,
// commandline=<as received> and arg=<each argument after the program name>.
// Each version replaces the previous one whole, so a reader never sees half a
// record.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

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
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring record = std::wstring(L"module=") + module + L"\ncwd=" + cwd + L"\ncommandline=" +
                          GetCommandLineW() + L"\n";
    unsigned long exitCode = 0;
    unsigned long sleepMs = 0;
    std::wstring recordPath;
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; arguments != nullptr && i < count; ++i) {
        record += std::wstring(L"arg=") + arguments[i] + L"\n";
        const std::wstring option = arguments[i];
        const wchar_t* value = i + 1 < count ? arguments[i + 1] : L"";
        if (option == L"--exit")
            exitCode = std::wcstoul(value, nullptr, 10);
        else if (option == L"--sleep")
            sleepMs = std::wcstoul(value, nullptr, 10);
        else if (option == L"--record")
            recordPath = value;
    }
    LocalFree(arguments);
    if (!recordPath.empty() && !WriteRecord(recordPath, record))
        return 90;
    Sleep(sleepMs);
    if (!recordPath.empty() && !WriteRecord(recordPath, record + L"ended=1\n"))
        return 91;
    return static_cast<int>(exitCode);
}
