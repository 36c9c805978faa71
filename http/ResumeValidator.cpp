#include "http/ResumeValidator.h"

#include "base/KernelHandle.h"

#include <windows.h>

#include <string>
#include <utility>

namespace korvel {

namespace {

// A header value longer than this is not a validator worth keeping.
constexpr DWORD kMaxValidatorBytes = 4096;

WsString ValidatorPath(const WsString& target)
{
    return target + L".validator";
}

} // namespace

WsString ReadResumeValidator(const WsString& target)
{
    FileHandle file(CreateFileW(ValidatorPath(target).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsOpen())
        return WsString();
    std::wstring validator(kMaxValidatorBytes / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!ReadFile(file.Get(), validator.data(), kMaxValidatorBytes, &read, nullptr))
        return WsString();
    validator.resize(read / sizeof(wchar_t));
    return WsString(std::move(validator));
}

WriteOutcome WriteResumeValidator(const WsString& target, const WsString& validator,
                                  VolumeReserve& reserve)
{
    const DWORD bytes = static_cast<DWORD>(validator.size() * sizeof(wchar_t));
    if (validator.empty() || bytes > kMaxValidatorBytes) {
        RemoveResumeValidator(target);
        return WriteOutcome::kWritten;
    }
    const WsString path = ValidatorPath(target);
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    const WriteOutcome outcome =
        file.IsOpen() ? reserve.Write(file.Get(), validator.data(), bytes) : WriteOutcome::kFailed;
    file.Close();
    // A record that is not whole must not name a version.
    if (outcome != WriteOutcome::kWritten)
        DeleteFileW(path.c_str());
    return outcome;
}

void RemoveResumeValidator(const WsString& target)
{
    DeleteFileW(ValidatorPath(target).c_str());
}

} // namespace korvel
