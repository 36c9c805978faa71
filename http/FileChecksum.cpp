#include "http/FileChecksum.h"

#include "base/KernelHandle.h"

#include <windows.h>

#include <wincrypt.h>

#include <algorithm>

namespace korvel {
namespace {

constexpr DWORD kReadBlockSize = 16384;
constexpr DWORD kMd5Size = 16;

class CryptProvider {
public:
    CryptProvider()
        : acquired_(CryptAcquireContextW(&handle_, nullptr, nullptr, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT) != FALSE)
    {
    }
    ~CryptProvider()
    {
        if (acquired_)
            CryptReleaseContext(handle_, 0);
    }
    CryptProvider(const CryptProvider&) = delete;
    CryptProvider& operator=(const CryptProvider&) = delete;

    bool IsValid() const { return acquired_; }
    HCRYPTPROV Get() const { return handle_; }

private:
    HCRYPTPROV handle_ = 0;
    bool acquired_;
};

class CryptHash {
public:
    CryptHash(HCRYPTPROV provider, ALG_ID algorithm)
        : created_(CryptCreateHash(provider, algorithm, 0, 0, &handle_) != FALSE)
    {
    }
    ~CryptHash()
    {
        if (created_)
            CryptDestroyHash(handle_);
    }
    CryptHash(const CryptHash&) = delete;
    CryptHash& operator=(const CryptHash&) = delete;

    bool IsValid() const { return created_; }
    HCRYPTHASH Get() const { return handle_; }

private:
    HCRYPTHASH handle_ = 0;
    bool created_;
};

// A file that cannot be opened adds nothing, and a read error ends the input early; either way
// the digest then fails the caller's comparison. Only a failure of the hash itself is reported.
bool HashFile(const WsString& path, HCRYPTHASH hash, std::uint64_t& counter,
              const std::function<bool()>& proceed)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsOpen())
        return true;
    BYTE buffer[kReadBlockSize];
    DWORD read = 0;
    // Every pass reads at least one byte, so the end of the file ends the loop.
    while (ReadFile(file.Get(), buffer, kReadBlockSize, &read, nullptr) && read > 0) {
        if ((proceed && !proceed()) || !CryptHashData(hash, buffer, read, 0))
            return false;
        counter += read;
    }
    return true;
}

WsString ToLowerHex(const BYTE* bytes, DWORD size)
{
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    WsString text;
    text.reserve(size * 2);
    for (DWORD index = 0; index < size; ++index) {
        text += kDigits[bytes[index] >> 4];
        text += kDigits[bytes[index] & 0x0F];
    }
    return text;
}

} // namespace

WsString ComputeFileChecksum(const WsString& path, std::uint64_t& counter,
                             const std::function<bool()>& proceed)
{
    counter = 0;
    CryptProvider provider;
    if (!provider.IsValid())
        return WsString();
    CryptHash hash(provider.Get(), CALG_MD5);
    if (!hash.IsValid() || !HashFile(path, hash.Get(), counter, proceed))
        return WsString();
    BYTE value[kMd5Size];
    DWORD length = kMd5Size;
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, value, &length, 0) || length != kMd5Size)
        return WsString();
    return ToLowerHex(value, length);
}

bool HasEnoughDiskSpace(const WsString& path, std::uint64_t bytes)
{
    std::wstring folder = path;
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    const std::size_t cut = folder.rfind(L'\\');
    if (cut != std::wstring::npos)
        folder.erase(cut);
    ULARGE_INTEGER freeToCaller{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &freeToCaller, nullptr, nullptr))
        return false;
    return freeToCaller.QuadPart > bytes;
}

} // namespace korvel
