// The installer inside the demo's sample package: it says what it installs,
// leaves a receipt in the user's temporary folder and exits with 0 (or with
// the code given by --exit, to show how the library reports a failed or
// cancelled install).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

void WriteReceipt(const std::wstring& product, const std::wstring& folder)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring receipt = std::wstring(temp) + L"korvel-demo-receipt.txt";
    if (FILE* file = _wfopen(receipt.c_str(), L"w")) {
        std::fwprintf(file, L"%ls installed from %ls\n", product.c_str(), folder.c_str());
        std::fclose(file);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring product = L"the sample update";
    int exitCode = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--product") == 0)
            product = argv[i + 1];
        else if (std::wcscmp(argv[i], L"--exit") == 0)
            exitCode = _wtoi(argv[i + 1]);
    }
    const std::wstring folder = ProgramFolder();
    std::wprintf(L"    sample installer: installing %ls from %ls\n", product.c_str(),
                 folder.c_str());
    std::fflush(stdout);
    Sleep(500);
    if (exitCode == 0)
        WriteReceipt(product, folder);
    std::wprintf(L"    sample installer: %ls\n", exitCode == 0 ? L"done" : L"stopped");
    return exitCode;
}
