#include "tools/korvel-cli/Units.h"

#include <cstdio>
#include <iterator>

namespace korvel::cli {

std::string FormatByteCount(uint64_t bytes)
{
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    // 1023.95 KiB would print as "1024.0 KiB"; move up before rounding does.
    while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatRate(double bytesPerSecond)
{
    if (!(bytesPerSecond >= 0.0))
        bytesPerSecond = 0.0;
    const double capped = bytesPerSecond > 1e18 ? 1e18 : bytesPerSecond;
    return FormatByteCount(static_cast<uint64_t>(capped + 0.5)) + "/s";
}

std::string FormatDuration(uint64_t seconds)
{
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu",
                      static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    return text;
}

} // namespace korvel::cli
