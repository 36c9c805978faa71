#include "session/PackageTrust.h"

#include "base/Registry.h"
#include "base/WsLog.h"
#include "session/PackageSignature.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace korvel {

namespace {

constexpr wchar_t kKeysValue[] = L"PackageKeys";
constexpr size_t kCoordinateBytes = 32;
// The curve parameter of a P-256 key: the DER of OID 1.2.840.10045.3.1.7.
constexpr BYTE kP256Parameters[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
// An uncompressed point: 0x04 and both coordinates.
constexpr DWORD kP256PointBytes = 1 + 2 * kCoordinateBytes;
constexpr DWORD kDigestBlockBytes = 64 * 1024;
// A P-256 SubjectPublicKeyInfo: its algorithm and curve, then the point.
constexpr DWORD kP256KeyInfoBytes = 91;
// Half the order of P-256, big-endian. Of the two values of s that verify
// with the same r (s and n - s), only the one not above this is taken.
constexpr uint8_t kHalfOrder[kCoordinateBytes] = {
    0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xDE, 0x73, 0x7D, 0x56, 0xD3, 0x8B, 0xCF, 0x42, 0x79, 0xDC, 0xE5, 0x61, 0x7E, 0x31, 0x92, 0xA8};
constexpr wchar_t kBase64Alphabet[] =
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

struct LocalMemory {
    void operator()(void* memory) const { LocalFree(memory); }
};

WsString Trimmed(const WsString& text)
{
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == WsString::npos)
        return WsString();
    return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

// An INTEGER of a DER signature at the start of bytes: in the fewest bytes
// that keep it positive, with a length in the short form.
bool IsMinimalInteger(const uint8_t* bytes, size_t available, size_t& used)
{
    if (available < 3 || bytes[0] != 0x02)
        return false;
    const size_t length = bytes[1];
    if (length == 0 || length >= 0x80 || length + 2 > available || (bytes[2] & 0x80) != 0)
        return false;
    if (bytes[2] == 0 && (length == 1 || (bytes[3] & 0x80) == 0))
        return false;
    used = length + 2;
    return true;
}

// SEQUENCE { INTEGER r, INTEGER s } as DER writes it and nothing else: a
// longer length form, a padded integer or bytes after the sequence would give
// one package many signed copies.
bool IsCanonicalSignature(const std::string& der)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(der.data());
    const size_t size = der.size();
    size_t r = 0;
    size_t s = 0;
    return size >= 2 && bytes[0] == 0x30 && bytes[1] < 0x80 && bytes[1] + 2u == size &&
           IsMinimalInteger(bytes + 2, size - 2, r) &&
           IsMinimalInteger(bytes + 2 + r, size - 2 - r, s) && 2 + r + s == size;
}

} // namespace

std::optional<WsString> PackageTrust::ReadKeysSetting(const WsString& wrapperlibName)
{
    const WsString wrapperKey = PipelineKeyPath() + L"\\" + wrapperlibName;
    const WsString& key = !wrapperlibName.empty() && RegistryValueExists(wrapperKey, kKeysValue)
                              ? wrapperKey
                              : PipelineKeyPath();
    if (!RegistryValueExists(key, kKeysValue))
        return std::nullopt;
    WsString keys;
    ReadRegistryString(key, kKeysValue, keys);
    return keys;
}

PackageTrust::PackageTrust(const WsString& keys) : crypt32_(L"crypt32.dll"), bcrypt_(L"bcrypt.dll")
{
    if (!LoadFunctions()) {
        problem_ = L"The system's CryptoAPI lacks a function that the package check needs";
        LogError(problem_);
        return;
    }
    size_t part = 1;
    for (size_t start = 0; start <= keys.size(); ++part) {
        const size_t end = std::min(keys.find(L';', start), keys.size());
        const WsString piece = Trimmed(keys.substr(start, end - start));
        if (!piece.empty() && !AddKey(piece))
            RefusePart(part, piece);
        start = end + 1;
    }
    if (problem_.empty() && keys_.empty())
        problem_ = L"PackageKeys names no key";
    if (!problem_.empty())
        LogError(problem_);
}

// The first part refused is the one named: the host's administrator learns
// which to mend, and a typo never quietly trusts fewer keys than meant.
void PackageTrust::RefusePart(size_t part, const WsString& piece)
{
    if (!problem_.empty())
        return;
    constexpr size_t kShownChars = 24;
    WsString shown = piece.substr(0, kShownChars);
    if (piece.size() > kShownChars)
        shown += L"...";
    problem_ = L"PackageKeys part " + std::to_wstring(part) + L" (\"" + shown +
               L"\") is not the base64 of an EC P-256 public key";
    if (piece.find_first_not_of(kBase64Alphabet) != WsString::npos)
        problem_ += L"; keys are separated by ';'";
}

PackageTrust::~PackageTrust()
{
    for (BCRYPT_KEY_HANDLE key : keys_)
        destroyKey_(key);
}

bool PackageTrust::LoadFunctions()
{
    stringToBinary_ = crypt32_.Find<decltype(::CryptStringToBinaryW)>("CryptStringToBinaryW");
    decodeObject_ = crypt32_.Find<decltype(::CryptDecodeObjectEx)>("CryptDecodeObjectEx");
    importPublicKey_ =
        crypt32_.Find<decltype(::CryptImportPublicKeyInfoEx2)>("CryptImportPublicKeyInfoEx2");
    destroyKey_ = bcrypt_.Find<decltype(::BCryptDestroyKey)>("BCryptDestroyKey");
    openAlgorithm_ =
        bcrypt_.Find<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
    closeAlgorithm_ =
        bcrypt_.Find<decltype(::BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
    createHash_ = bcrypt_.Find<decltype(::BCryptCreateHash)>("BCryptCreateHash");
    hashData_ = bcrypt_.Find<decltype(::BCryptHashData)>("BCryptHashData");
    finishHash_ = bcrypt_.Find<decltype(::BCryptFinishHash)>("BCryptFinishHash");
    destroyHash_ = bcrypt_.Find<decltype(::BCryptDestroyHash)>("BCryptDestroyHash");
    verifySignature_ = bcrypt_.Find<decltype(::BCryptVerifySignature)>("BCryptVerifySignature");
    return stringToBinary_ && decodeObject_ && importPublicKey_ && destroyKey_ && openAlgorithm_ &&
           closeAlgorithm_ && createHash_ && hashData_ && finishHash_ && destroyHash_ &&
           verifySignature_;
}

// Only an EC key on P-256 is taken: a key of another curve or kind would
// meet signatures this format cannot carry.
bool PackageTrust::AddKey(const WsString& base64)
{
    // The decoder skips blanks and line breaks, which would join two keys
    // written with the wrong separator into one text whose first key decodes.
    if (base64.find_first_not_of(kBase64Alphabet) != WsString::npos)
        return false;
    DWORD size = 0;
    const DWORD length = static_cast<DWORD>(base64.size());
    if (!stringToBinary_(base64.c_str(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                         nullptr))
        return false;
    std::vector<BYTE> der(size);
    if (!stringToBinary_(base64.c_str(), length, CRYPT_STRING_BASE64, der.data(), &size, nullptr,
                         nullptr) ||
        size != kP256KeyInfoBytes)
        return false;
    CERT_PUBLIC_KEY_INFO* decoded = nullptr;
    DWORD decodedSize = 0;
    if (!decodeObject_(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), size,
                       CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &decodedSize))
        return false;
    const std::unique_ptr<CERT_PUBLIC_KEY_INFO, LocalMemory> info(decoded);
    const CRYPT_OBJID_BLOB& parameters = info->Algorithm.Parameters;
    if (info->Algorithm.pszObjId == nullptr ||
        std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
        parameters.cbData != sizeof kP256Parameters ||
        std::memcmp(parameters.pbData, kP256Parameters, sizeof kP256Parameters) != 0 ||
        info->PublicKey.cbData != kP256PointBytes)
        return false;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!importPublicKey_(X509_ASN_ENCODING, info.get(), 0, nullptr, &key))
        return false;
    keys_.push_back(key);
    return true;
}

// BCrypt verifies r and s as two big-endian numbers of the curve's size; the
// decoder gives them little-endian and only as long as they need.
bool PackageTrust::SignatureFromDer(const std::string& der, std::vector<uint8_t>& signature) const
{
    if (!IsCanonicalSignature(der))
        return false;
    CERT_ECC_SIGNATURE* decoded = nullptr;
    DWORD size = 0;
    if (!decodeObject_(X509_ASN_ENCODING, X509_ECC_SIGNATURE,
                       reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                       CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size))
        return false;
    const std::unique_ptr<CERT_ECC_SIGNATURE, LocalMemory> parts(decoded);
    signature.assign(2 * kCoordinateBytes, 0);
    const CRYPT_UINT_BLOB* numbers[] = {&parts->r, &parts->s};
    for (size_t n = 0; n < 2; ++n) {
        DWORD bytes = numbers[n]->cbData;
        while (bytes > kCoordinateBytes && numbers[n]->pbData[bytes - 1] == 0)
            --bytes;
        if (bytes > kCoordinateBytes)
            return false;
        uint8_t* end = signature.data() + (n + 1) * kCoordinateBytes;
        for (DWORD i = 0; i < bytes; ++i)
            *(end - 1 - i) = numbers[n]->pbData[i];
    }
    const uint8_t* s = signature.data() + kCoordinateBytes;
    return !std::lexicographical_compare(kHalfOrder, kHalfOrder + kCoordinateBytes, s,
                                         s + kCoordinateBytes);
}

bool PackageTrust::Digest(HANDLE file, uint64_t bytes, std::vector<uint8_t>& digest) const
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (openAlgorithm_(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool hashed = createHash_(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    std::vector<uint8_t> block(kDigestBlockBytes);
    for (uint64_t done = 0; hashed && done < bytes;) {
        const DWORD size = static_cast<DWORD>(std::min<uint64_t>(block.size(), bytes - done));
        hashed = ReadFileAt(file, done, block.data(), size) &&
                 hashData_(hash, block.data(), size, 0) == 0;
        done += size;
    }
    digest.assign(kCoordinateBytes, 0);
    hashed = hashed && finishHash_(hash, digest.data(), kCoordinateBytes, 0) == 0;
    if (hash != nullptr)
        destroyHash_(hash);
    closeAlgorithm_(algorithm, 0);
    return hashed;
}

PackageTrust::Verdict PackageTrust::Check(HANDLE file) const
{
    if (!problem_.empty())
        return Verdict::kBadKeys;
    const std::optional<PackageSignature> signature = PackageSignature::Read(file);
    if (!signature)
        return Verdict::kUnsigned;
    std::vector<uint8_t> raw;
    if (!SignatureFromDer(signature->der, raw))
        return Verdict::kNotTrusted;
    std::vector<uint8_t> digest;
    if (!Digest(file, signature->signedBytes, digest))
        return Verdict::kUnreadable;
    for (BCRYPT_KEY_HANDLE key : keys_)
        if (verifySignature_(key, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                             raw.data(), static_cast<ULONG>(raw.size()), 0) == 0)
            return Verdict::kTrusted;
    return Verdict::kNotTrusted;
}

} // namespace korvel
