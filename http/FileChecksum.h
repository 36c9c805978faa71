#pragma once

#include "base/WsString.h"

#include <cstdint>
#include <functional>

namespace korvel {

// The MD5 digest of a file as 32 lower-case hexadecimal digits. The counter is set to 0 and then
// advanced by every block hashed, so another thread can follow the progress. A file that cannot be
// opened yields the digest of empty input; an empty result means that no digest could be made.
// A proceed function, when given, is asked before every block; when it says no, hashing stops and
// the result is empty.
WsString ComputeFileChecksum(const WsString& path, std::uint64_t& counter,
                             const std::function<bool()>& proceed = {});

// Whether the volume of the file's folder (the text before the last separator, or the whole path
// when it has none) offers the calling user more than the given number of bytes. A failed query
// gives false.
bool HasEnoughDiskSpace(const WsString& path, std::uint64_t bytes);

} // namespace korvel
