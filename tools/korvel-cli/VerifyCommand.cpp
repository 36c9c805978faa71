// korvel-cli verify: checks a package's signature against publisher keys
// with the library's own check, as a build server does before it publishes
// the package. It needs no korvel.dll and no server.
#include "base/KernelHandle.h"
#include "session/PackageTrust.h"
#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/ExitCodes.h"
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/Text.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace korvel::cli {

namespace {

constexpr char kPemBegin[] = "-----BEGIN PUBLIC KEY-----";
constexpr char kPemEnd[] = "-----END PUBLIC KEY-----";

// The keys as the registry value holds them: the argument itself, or the
// file it names, where each PEM public key counts as one key.
std::wstring KeysText(const std::wstring& argument)
{
    std::ifstream file(argument.c_str(), std::ios::binary);
    if (!file)
        return argument;
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (text.find(kPemBegin) == std::string::npos)
        return std::wstring(text.begin(), text.end());
    std::wstring keys;
    bool inside = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == kPemBegin) {
            inside = true;
            keys += keys.empty() ? L"" : L";";
        } else if (line == kPemEnd) {
            inside = false;
        } else if (inside) {
            keys += std::wstring(line.begin(), line.end());
        }
    }
    return keys;
}

const char* Refusal(PackageTrust::Verdict verdict)
{
    switch (verdict) {
    case PackageTrust::Verdict::kBadKeys:
        return "the keys cannot be used: each must be the base64 of an EC P-256 public key "
               "(openssl pkey -pubout -outform DER | base64 -w0), several separated by ';'";
    case PackageTrust::Verdict::kUnsigned:
        return "the package carries no signature (tools/package-signing/sign-package.py "
               "signs it)";
    case PackageTrust::Verdict::kNotTrusted:
        return "the package is not signed by these keys, or it changed after it was signed";
    case PackageTrust::Verdict::kUnreadable:
        return "the package cannot be read";
    case PackageTrust::Verdict::kTrusted:
        break;
    }
    return "";
}

} // namespace

int RunVerify(const CommandLine& line)
{
    const PackageTrust trust(KeysText(line.keys));
    const FileHandle package(CreateFileW(line.package.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!package.IsOpen()) {
        ReportError("cannot open " + ToUtf8(line.package) + ", error " +
                    std::to_string(GetLastError()));
        return kExitFailed;
    }
    const PackageTrust::Verdict verdict = trust.Check(package.Get());
    if (verdict != PackageTrust::Verdict::kTrusted) {
        // A refused key is named before the rule the keys break.
        const std::string problem = verdict == PackageTrust::Verdict::kBadKeys
                                        ? ToUtf8(trust.Problem()) + "\n"
                                        : std::string();
        ReportError(ToUtf8(line.package) + " would not be installed", problem + Refusal(verdict));
        return kExitFailed;
    }
    Out().Write(ToUtf8(line.package) + " is signed by one of the given keys (" +
                std::to_string(trust.KeyCount()) + "): hosts that trust them install it\n");
    return kExitSuccess;
}

} // namespace korvel::cli
