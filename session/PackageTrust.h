#pragma once

#include "base/SystemLibrary.h"
#include "base/WsString.h"

#include <windows.h>
// wincrypt.h and bcrypt.h only for their types: both DLLs are loaded from the
// system folder when a package is checked.
#include <bcrypt.h>
#include <wincrypt.h>

#include <optional>
#include <vector>

namespace korvel {

// The publisher keys a host trusts for its packages and the check of a
// package file against them. The keys are given as one text: one or more
// base64 DER SubjectPublicKeyInfo of EC P-256 keys, separated by ';'
// (several allow a key to be replaced without a gap). A text that names no
// key, or any piece of it that is not such a key, trusts nothing. Only one
// spelling of a signature verifies: canonical DER with the lower of the two
// values of s, as tools/package-signing/sign-package.py writes it.
class PackageTrust {
public:
    enum class Verdict {
        kTrusted,
        kBadKeys,    // the keys' text cannot be used
        kUnsigned,   // the file carries no signature block
        kNotTrusted, // no key made the signature over these bytes
        kUnreadable, // the file cannot be read to its end
    };

    // The registry value "PackageKeys": under the pipeline key's subkey named
    // after the wrapper library when it holds the value, else under the
    // pipeline key. None when neither does: packages are then not checked.
    static std::optional<WsString> ReadKeysSetting(const WsString& wrapperlibName);

    explicit PackageTrust(const WsString& keys);
    ~PackageTrust();
    PackageTrust(const PackageTrust&) = delete;
    PackageTrust& operator=(const PackageTrust&) = delete;

    size_t KeyCount() const { return problem_.empty() ? keys_.size() : 0; }
    // Why the keys' text cannot be used, naming the first part refused; empty when it can.
    const WsString& Problem() const { return problem_; }

    // Reads the file through the handle only, so a caller that holds it
    // against writes knows the bytes checked are the bytes it keeps.
    Verdict Check(HANDLE file) const;

private:
    bool LoadFunctions();
    bool AddKey(const WsString& base64);
    void RefusePart(size_t part, const WsString& piece);
    bool Digest(HANDLE file, uint64_t bytes, std::vector<uint8_t>& digest) const;
    bool SignatureFromDer(const std::string& der, std::vector<uint8_t>& signature) const;

    SystemLibrary crypt32_;
    SystemLibrary bcrypt_;
    decltype(::CryptStringToBinaryW)* stringToBinary_ = nullptr;
    decltype(::CryptDecodeObjectEx)* decodeObject_ = nullptr;
    decltype(::CryptImportPublicKeyInfoEx2)* importPublicKey_ = nullptr;
    decltype(::BCryptDestroyKey)* destroyKey_ = nullptr;
    decltype(::BCryptOpenAlgorithmProvider)* openAlgorithm_ = nullptr;
    decltype(::BCryptCloseAlgorithmProvider)* closeAlgorithm_ = nullptr;
    decltype(::BCryptCreateHash)* createHash_ = nullptr;
    decltype(::BCryptHashData)* hashData_ = nullptr;
    decltype(::BCryptFinishHash)* finishHash_ = nullptr;
    decltype(::BCryptDestroyHash)* destroyHash_ = nullptr;
    decltype(::BCryptVerifySignature)* verifySignature_ = nullptr;
    std::vector<BCRYPT_KEY_HANDLE> keys_;
    // Empty exactly when the keys can be used.
    WsString problem_;
};

} // namespace korvel
