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

// Signs until the signature takes at most 70 bytes (an r without a sign
// byte; s never needs one), so that every spelling of it still fits the 72
// bytes the signature block holds.
inline bool SignPackageToFit(const std::wstring& folder, const std::wstring& package,
                             const SigningKey& key)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (!SignPackage(folder, package, key))
            return false;
        const std::string bytes = ReadWholeFile(package).value_or("");
        if (bytes.size() >= 90 && static_cast<uint8_t>(bytes[bytes.size() - 90 + 17]) <= 70)
            return true;
    }
    return false;
}

// The ways of spelling a package's signature anew that leave its numbers
// valid: each would verify if any spelling of the numbers did.
enum class Respelling { kOtherS, kPaddedR, kLongLength, kBytesAfter };

// The signed package with its signature spelt as said. Its 90-byte comment
// holds the signature's length at 17 and the signature from 18.
inline std::string Respelled(std::string package, Respelling how)
{
    const size_t comment = package.size() - 90;
    std::string der = package.substr(comment + 18, static_cast<uint8_t>(package[comment + 17]));
    const size_t rBytes = static_cast<uint8_t>(der[3]);
    std::string r = der.substr(2, 2 + rBytes);
    std::string s = der.substr(4 + rBytes);
    if (how == Respelling::kOtherS) {
        // s becomes n - s, n the order of P-256.
        static const uint8_t order[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84,
                                          0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};
        std::string value = s.substr(2 + (s.size() > 34));
        value.insert(0, 32 - value.size(), '\0');
        int borrow = 0;
        for (int i = 31; i >= 0; --i) {
            const int digit = order[i] - static_cast<uint8_t>(value[i]) - borrow;
            borrow = digit < 0;
            value[i] = static_cast<char>(digit + 256 * borrow);
        }
        value.erase(0, std::min(value.find_first_not_of('\0'), size_t{31}));
        if (static_cast<uint8_t>(value[0]) & 0x80)
            value.insert(0, 1, '\0');
        s = std::string{'\x02', static_cast<char>(value.size())} + value;
    }
    if (how == Respelling::kPaddedR)
        r = std::string{'\x02', static_cast<char>(rBytes + 1), '\0'} + r.substr(2);
    std::string body = r + s + (how == Respelling::kBytesAfter ? std::string("\x05\x00", 2) : "");
    const std::string length = how == Respelling::kLongLength
                                   ? std::string{'\x81', static_cast<char>(body.size())}
                                   : std::string{static_cast<char>(body.size())};
    der = "\x30" + length + body;
    if (how == Respelling::kBytesAfter)
        der = "\x30" + std::string{static_cast<char>(body.size() - 2)} + body;
    package[comment + 17] = static_cast<char>(der.size());
    std::fill(package.begin() + comment + 18, package.end(), '\0');
    package.replace(comment + 18, der.size(), der);
    return package;
}

} // namespace korvel::test
