#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// The signature a publisher puts into a package. It travels as the ZIP
// archive comment, so a signed package stays an ordinary ZIP for every other
// reader. The comment is always kCommentBytes long:
//   "KORVEL-SIGNATURE" (16 ASCII bytes), the format version 1 (one byte), the
//   length L of the signature (one byte, 1 to 72), the ECDSA P-256 signature
//   over SHA-256 in DER (L bytes), zero bytes up to the end.
// It signs every byte before the comment: the end record, with its comment
// length of 90, is signed with the rest.
struct PackageSignature {
    static constexpr uint32_t kCommentBytes = 90;

    uint64_t signedBytes = 0;
    std::string der;

    // The signature of the file read through the handle; none unless the
    // file ends with an end record whose comment is such a block.
    static std::optional<PackageSignature> Read(HANDLE file);
};

// Reads size bytes at offset through the handle; false unless all arrive.
bool ReadFileAt(HANDLE file, uint64_t offset, void* buffer, DWORD size);

} // namespace korvel
