#include "session/PackageSignature.h"

#include <algorithm>
#include <cstring>

namespace korvel {

namespace {

constexpr char kMarker[] = "KORVEL-SIGNATURE";
constexpr size_t kMarkerBytes = sizeof kMarker - 1;
constexpr uint8_t kFormatVersion = 1;
constexpr size_t kHeaderBytes = kMarkerBytes + 2;
constexpr size_t kMaxDerBytes = PackageSignature::kCommentBytes - kHeaderBytes;
// The end of central directory record without its comment; its last two
// bytes are the comment's length.
constexpr size_t kEndRecordBytes = 22;
constexpr uint8_t kEndRecordTag[] = {'P', 'K', 5, 6};

} // namespace

bool ReadFileAt(HANDLE file, uint64_t offset, void* buffer, DWORD size)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, &at) && read == size;
}

// The block sits at a fixed distance from the end, so a byte appended, a
// comment of another length or a second end record behind it all leave the
// package without a signature.
std::optional<PackageSignature> PackageSignature::Read(HANDLE file)
{
    uint8_t tail[kEndRecordBytes + kCommentBytes];
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || static_cast<uint64_t>(size.QuadPart) < sizeof tail)
        return std::nullopt;
    const uint64_t commentStart = static_cast<uint64_t>(size.QuadPart) - kCommentBytes;
    if (!ReadFileAt(file, commentStart - kEndRecordBytes, tail, sizeof tail))
        return std::nullopt;
    const unsigned commentLength = tail[kEndRecordBytes - 2] | (tail[kEndRecordBytes - 1] << 8);
    const uint8_t* comment = tail + kEndRecordBytes;
    const size_t derBytes = comment[kMarkerBytes + 1];
    const uint8_t* der = comment + kHeaderBytes;
    if (std::memcmp(tail, kEndRecordTag, sizeof kEndRecordTag) != 0 ||
        commentLength != kCommentBytes || std::memcmp(comment, kMarker, kMarkerBytes) != 0 ||
        comment[kMarkerBytes] != kFormatVersion || derBytes == 0 || derBytes > kMaxDerBytes ||
        std::any_of(der + derBytes, comment + kCommentBytes, [](uint8_t b) { return b != 0; }))
        return std::nullopt;
    return PackageSignature{commentStart, std::string(der, der + derBytes)};
}

} // namespace korvel
