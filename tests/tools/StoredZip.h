#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korvel::test {

// A ZIP archive of uncompressed entries, small enough to travel in a
// scripted server's URL: enough for an install package in a test.
inline std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files)
{
    auto crc32 = [](const std::string& data) {
        uint32_t crc = 0xFFFFFFFFu;
        for (const unsigned char byte : data) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    };
    auto le = [](std::string& out, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    std::string archive;
    std::string directory;
    for (const auto& [name, data] : files) {
        const uint32_t offset = static_cast<uint32_t>(archive.size());
        const uint32_t crc = crc32(data);
        const uint32_t size = static_cast<uint32_t>(data.size());
        const uint16_t nameLength = static_cast<uint16_t>(name.size());
        // Local header: version 10, no flags, stored, no time, sizes, name.
        le(archive, 0x04034b50, 4);
        le(archive, 10, 2);
        le(archive, 0, 2);
        le(archive, 0, 2);
        le(archive, 0, 4);
        le(archive, crc, 4);
        le(archive, size, 4);
        le(archive, size, 4);
        le(archive, nameLength, 2);
        le(archive, 0, 2);
        archive += name + data;
        // Central directory entry for the same file.
        le(directory, 0x02014b50, 4);
        le(directory, 10, 2);
        le(directory, 10, 2);
        le(directory, 0, 2);
        le(directory, 0, 2);
        le(directory, 0, 4);
        le(directory, crc, 4);
        le(directory, size, 4);
        le(directory, size, 4);
        le(directory, nameLength, 2);
        le(directory, 0, 2);
        le(directory, 0, 2);
        le(directory, 0, 2);
        le(directory, 0, 2);
        le(directory, 0, 4);
        le(directory, offset, 4);
        directory += name;
    }
    const uint32_t directoryOffset = static_cast<uint32_t>(archive.size());
    archive += directory;
    le(archive, 0x06054b50, 4);
    le(archive, 0, 2);
    le(archive, 0, 2);
    le(archive, static_cast<uint32_t>(files.size()), 2);
    le(archive, static_cast<uint32_t>(files.size()), 2);
    le(archive, static_cast<uint32_t>(directory.size()), 4);
    le(archive, directoryOffset, 4);
    le(archive, 0, 2);
    return archive;
}

} // namespace korvel::test
