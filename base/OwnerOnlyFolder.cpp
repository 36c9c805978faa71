#include "base/OwnerOnlyFolder.h"

#include "base/KernelHandle.h"

#include <windows.h>

#include <vector>

namespace korvel {

namespace {

// The user the calling thread acts for: the one it impersonates, or the process's.
bool ReadCallerUser(std::vector<BYTE>& user)
{
    HANDLE raw = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    const KernelHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0)
        return false;
    user.resize(size);
    return GetTokenInformation(token.Get(), TokenUser, user.data(), size, &size) != FALSE;
}

} // namespace

bool CreateOwnerOnlyFolder(const WsString& path)
{
    std::vector<BYTE> user;
    if (!ReadCallerUser(user))
        return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    // DWORD-aligned, as InitializeAcl requires.
    std::vector<DWORD> acl(
        (sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid)) / sizeof(DWORD) + 1);
    auto* dacl = reinterpret_cast<ACL*>(acl.data());
    SECURITY_DESCRIPTOR descriptor{};
    if (!InitializeAcl(dacl, static_cast<DWORD>(acl.size() * sizeof(DWORD)), ACL_REVISION) ||
        !AddAccessAllowedAceEx(dacl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                               FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor, sid, FALSE) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

} // namespace korvel
