#pragma once

// Publisher keys and signed packages made as a publisher makes them: openssl
// and tools/package-signing/sign-package.py, Linux programs that Wine starts
// by their Unix paths. Files live below Z:, Wine's view of the Linux root.
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedServer.h"

#include <algorithm>
#include <string>

namespace korvel::test {

inline std::string UnixPath(const std::wstring& path)
{
    std::string unix(path.begin() + 2, path.end());
    std::replace(unix.begin(), unix.end(), '\\', '/');
    return unix;
}

// The exit status of a shell command run in a folder below Z:, or -1. Wine
// neither waits for a Linux program nor learns its exit code, so the command
// leaves its status in a file, waited for 30 s at most.
inline int RunShell(const std::string& command, const std::wstring& folder)
{
    const std::wstring status =
        folder + L"\\shell-" + std::to_wstring(GetTickCount64()) + L".status";
    const std::string line = "cd " + UnixPath(folder) + " && (" + command + "); echo $? > " +
                             UnixPath(status) + ".part && mv " + UnixPath(status) + ".part " +
                             UnixPath(status);
    RunProgram(L"/bin/sh", {L"-c", std::wstring(line.begin(), line.end())});
    for (int i = 0; i < 3000 && GetFileAttributesW(status.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(10);
    const std::string text = ReadWholeFile(status).value_or("");
    DeleteFileW(status.c_str());
    return text.empty() ? -1 : std::stoi(text);
}

struct SigningKey {
    std::string pem;          // its file name in the folder
    std::wstring packageKeys; // the registry value that trusts it
};

// A new EC P-256 key in a folder below Z:.
inline SigningKey MakeSigningKey(const std::wstring& folder, const std::string& name)
{
    const std::string pem = name + ".pem";
    RunShell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + pem +
                 " && openssl pkey -in " + pem + " -pubout -outform DER | base64 -w0 > " + pem +
                 ".b64",
             folder);
    const std::wstring value = folder + L"\\" + std::wstring(pem.begin(), pem.end()) + L".b64";
    const std::string text = ReadWholeFile(value).value_or("");
    DeleteFileW(value.c_str());
    return {pem, std::wstring(text.begin(), text.end())};
}

// Signs a package in the key's folder.
inline bool SignPackage(const std::wstring& folder, const std::wstring& package,
                        const SigningKey& key)
{
    return RunShell("python3 " KORVEL_SOURCE_DIR "/tools/package-signing/sign-package.py --key " +
                        key.pem + " " + UnixPath(package) + " >/dev/null",
                    folder) == 0;
}

} // namespace korvel::test
