#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli {

// 1843200 as "1.8 MiB"; counts below 1 KiB in bytes ("512 B").
std::string FormatByteCount(uint64_t bytes);

// A rate in bytes per second, as "1.2 MiB/s".
std::string FormatRate(double bytesPerSecond);

// Seconds as "0:07", "12:30" or "1:02:03".
std::string FormatDuration(uint64_t seconds);

} // namespace korvel::cli
