#pragma once

#include "base/WsString.h"

#include <windows.h>

#include <cstdint>

namespace korvel {

// How a write that keeps the volume's reserve ended.
enum class WriteOutcome {
    kWritten,    // every byte
    kVolumeFull, // the reserve did not allow the bytes, or the volume is full
    kFailed,     // the write failed otherwise, or took only some of the bytes
};

// The free space every write of the library leaves on a volume: 5 % of the
// volume, at most 1 GiB. A download, a decoding or an extraction asks before
// each block, so an answer or a package that lies about its size can fill the
// volume only down to the reserve, never to the last byte.
class VolumeReserve {
public:
    // Takes the volume of the folder or file at path. A path whose volume
    // cannot be asked about allows nothing.
    explicit VolumeReserve(const WsString& path);

    // Writes the bytes at the file's pointer when the reserve allows them. A
    // write that fails or falls short may have written some of them.
    WriteOutcome Write(HANDLE file, const void* data, DWORD size);

    static constexpr std::uint64_t kMaxReserveBytes = 1ull << 30;

private:
    // True when bytes more can be written and the volume still keeps its
    // reserve. The bytes are counted as written: the free space is asked
    // again only after a share of what was left (at most 64 MiB) has been
    // used, or when the count says the reserve is reached, so that another
    // program's writes are seen without a query per block.
    bool Allows(std::uint64_t bytes);
    bool Measure();

    WsString folder_;
    std::uint64_t reserve_ = 0;
    // What may still be written since the last measure, and how much of it has been.
    std::uint64_t allowance_ = 0;
    std::uint64_t used_ = 0;
};

} // namespace korvel
