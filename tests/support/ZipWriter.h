#pragma once

#include <minizip/zip.h>
// iowin32.h relies on the declarations of zip.h.
#include <minizip/iowin32.h>

#include <algorithm>
#include <string>
#include <vector>

namespace korvel::test {

struct ZipEntry {
    std::string name;
    std::string data;
    // 0 stores the data, 1 to 9 deflate it.
    int level = 6;
    uLong flags = 0;
    const char* password = nullptr;
    // Written after the data as many times as told: an entry larger than the memory it takes.
    std::string filler = {};
    int fillerCopies = 0;
};

// Writes archives with minizip's writer, which the library itself does not use.
class ZipWriter {
public:
    explicit ZipWriter(const std::wstring& path)
    {
        zlib_filefunc64_def functions{};
        fill_win32_filefunc64W(&functions);
        file_ = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    }
    ~ZipWriter() { Close(); }
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    bool Add(const ZipEntry& entry)
    {
        const zip_fileinfo info{};
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                                static_cast<uInt>(entry.data.size()));
        bool written = file_ != nullptr &&
                       zipOpenNewFileInZip4_64(
                           file_, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                           entry.level == 0 ? 0 : Z_DEFLATED, entry.level, 0, -MAX_WBITS, 8,
                           Z_DEFAULT_STRATEGY, entry.password, crc, 0, entry.flags, 0) == ZIP_OK &&
                       zipWriteInFileInZip(file_, entry.data.data(),
                                           static_cast<unsigned>(entry.data.size())) == ZIP_OK;
        for (int copy = 0; written && copy < entry.fillerCopies; ++copy)
            written = zipWriteInFileInZip(file_, entry.filler.data(),
                                          static_cast<unsigned>(entry.filler.size())) == ZIP_OK;
        return written && zipCloseFileInZip(file_) == ZIP_OK;
    }

    bool Close()
    {
        if (file_ == nullptr)
            return false;
        const bool closed = zipClose(file_, nullptr) == ZIP_OK;
        file_ = nullptr;
        return closed;
    }

private:
    zipFile file_ = nullptr;
};

inline bool WriteZip(const std::wstring& path, const std::vector<ZipEntry>& entries)
{
    ZipWriter writer(path);
    return std::all_of(entries.begin(), entries.end(),
                       [&writer](const ZipEntry& entry) { return writer.Add(entry); }) &&
           writer.Close();
}

} // namespace korvel::test
