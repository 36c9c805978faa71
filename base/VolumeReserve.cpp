#include "base/VolumeReserve.h"

#include <windows.h>

#include <algorithm>

namespace korvel {

namespace {

// The free space is asked again once this share of the allowance is used.
constexpr std::uint64_t kRemeasureDivisor = 4;
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
    const bool remeasure =
        used_ + bytes > allowance_ || used_ > allowance_ - allowance_ / kRemeasureDivisor;
    if (remeasure && !Measure())
        return false;
    if (used_ + bytes > allowance_)
        return false;
    used_ += bytes;
    return true;
}

} // namespace korvel
