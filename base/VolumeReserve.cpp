#include "base/VolumeReserve.h"

#include <windows.h>

#include <algorithm>

namespace korvel {

namespace {

// The free space is asked again once this share of the allowance, or this
// many bytes, have been used: transfers that run side by side on one volume
// each count only their own bytes, and together may overshoot by no more.
constexpr std::uint64_t kRemeasureDivisor = 4;
constexpr std::uint64_t kMaxUnmeasuredBytes = 64ull << 20;
constexpr std::uint64_t kReserveDivisor = 20;

// The folder of a file path; GetDiskFreeSpaceExW wants a folder, and a path
// of a file not yet created names none.
WsString FolderOf(const WsString& path)
{
    WsString folder = path;
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    const size_t cut = folder.find_last_of(L'\\');
    return cut == WsString::npos ? folder : folder.substr(0, cut + 1);
}

} // namespace

VolumeReserve::VolumeReserve(const WsString& path) : folder_(FolderOf(path))
{
    Measure();
}

bool VolumeReserve::Measure()
{
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    used_ = 0;
    allowance_ = 0;
    if (!GetDiskFreeSpaceExW(folder_.c_str(), &available, &total, nullptr))
        return false;
    reserve_ = std::min(total.QuadPart / kReserveDivisor, kMaxReserveBytes);
    if (available.QuadPart > reserve_)
        allowance_ = available.QuadPart - reserve_;
    return true;
}

bool VolumeReserve::Allows(std::uint64_t bytes)
{
    const bool remeasure = bytes > allowance_ - used_ ||
                           used_ >= std::min(allowance_ / kRemeasureDivisor, kMaxUnmeasuredBytes);
    if (remeasure && !Measure())
        return false;
    if (bytes > allowance_ - used_)
        return false;
    used_ += bytes;
    return true;
}

WriteOutcome VolumeReserve::Write(HANDLE file, const void* data, DWORD size)
{
    if (!Allows(size))
        return WriteOutcome::kVolumeFull;
    DWORD written = 0;
    if (WriteFile(file, data, size, &written, nullptr))
        return written == size ? WriteOutcome::kWritten : WriteOutcome::kFailed;
    const DWORD error = GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? WriteOutcome::kVolumeFull
                                                                       : WriteOutcome::kFailed;
}

} // namespace korvel
