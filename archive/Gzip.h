#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace korvel {

// True when the data begins with the two bytes that open every gzip member (1F 8B).
bool StartsWithGzipMagic(const char* data, std::size_t size);

// How a decoding ended.
enum class GunzipResult {
    kDecoded,
    kCorrupt,    // empty, truncated, corrupt, not gzip, or followed by anything but members
    kTooLarge,   // the decoded bytes would pass the bound given for them
    kVolumeFull, // the target's volume would fall below its reserve, or is full
    kFileFailed, // a file could not be opened, read or written
    kStopped,    // the caller's proceed function said no
};

// Decodes a whole gzip stream held in memory, into at most maxDecoded bytes. Concatenated members
// are decoded one after the other, as gzip itself does. Anything but kDecoded leaves the output as
// it was.
GunzipResult GunzipBuffer(const std::string& compressed, std::string& decoded,
                          std::size_t maxDecoded);

// Decodes the gzip file at source into target, which is created or replaced. The file is streamed
// in blocks and never held in memory whole; every block keeps the reserve of the target's volume
// (base/VolumeReserve.h). On any result but kDecoded the target is deleted, so a half-decoded file
// is never mistaken for a result. A proceed function, when given, is asked before every block.
GunzipResult GunzipFile(const std::wstring& source, const std::wstring& target,
                        const std::function<bool()>& proceed = {});

} // namespace korvel
